#include "net/SendBuffer.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace net {

// --- TBuffer ------------------------------------------------------------------------

TBuffer::TBuffer(int32_t size) {
  Resize(size);
}

void TBuffer::Resize(int32_t size) {
  if (size <= 0) size = kDefaultBufSize;
  if (size == FBlockSize) return;
  auto block = std::make_unique_for_overwrite<char[]>(static_cast<size_t>(size));
  // A smaller block keeps only what fits; the positions follow so the invariant holds.
  int32_t keep = std::min(FWritePos, size);
  if (FWritePos != FReadPos && keep > 0) std::memcpy(block.get(), FData.get(), static_cast<size_t>(keep));
  FData = std::move(block);
  FBlockSize = size;
  FWritePos = keep;
  FReadPos = std::min(FReadPos, keep);
  if (FReadPos == FWritePos) FReadPos = FWritePos = 0;
}

int32_t TBuffer::Append(const void* source, int64_t offset, int64_t count) {
  int32_t room = FBlockSize - FWritePos;
  if (room < 1 || count <= 0) return 0;
  int32_t n = static_cast<int32_t>(std::min<int64_t>(room, count));
  std::memcpy(FData.get() + FWritePos, static_cast<const char*>(source) + offset, static_cast<size_t>(n));
  FWritePos += n;
  return n;
}

int32_t TBuffer::Peek(const char*& data) const {
  int32_t n = DataCount();
  if (n <= 0) return 0;
  data = FData.get() + FReadPos;
  return n;
}

int32_t TBuffer::Consume(int64_t count) {
  int32_t available = DataCount();
  if (available <= 0 || count <= 0) return 0;
  int32_t n = static_cast<int32_t>(std::min<int64_t>(count, available));
  FReadPos += n;
  if (FReadPos == FWritePos) FReadPos = FWritePos = 0;
  return n;
}

// --- TBufferLinkedList ----------------------------------------------------------------

TBufferLinkedList::~TBufferLinkedList() {
  while (TBuffer* chunk = FFirst) {
    FFirst = chunk->FNextBuf;
    delete chunk;
  }
}

void TBufferLinkedList::InsertFirst(TBuffer* chunk) {
  chunk->FPrevBuf = nullptr;
  chunk->FNextBuf = FFirst;
  if (FFirst != nullptr)
    FFirst->FPrevBuf = chunk;
  else
    FLast = chunk;
  FFirst = chunk;
}

void TBufferLinkedList::AddLast(TBuffer* chunk) {
  chunk->FNextBuf = nullptr;
  chunk->FPrevBuf = FLast;
  if (FLast != nullptr)
    FLast->FNextBuf = chunk;
  else
    FFirst = chunk;
  FLast = chunk;
}

TBuffer* TBufferLinkedList::TakeFirst() {
  TBuffer* chunk = FFirst;
  if (chunk == nullptr) return nullptr;
  FFirst = chunk->FNextBuf;
  if (FFirst != nullptr)
    FFirst->FPrevBuf = nullptr;
  else
    FLast = nullptr;
  return chunk;
}

// --- TBufferHandler -------------------------------------------------------------------

TBufferHandler::TBufferHandler(core::TComponent* owner) : core::TComponent(owner) {}

TBuffer* TBufferHandler::NewBuffer() {
  TBuffer* chunk = FFree.TakeFirst();
  if (chunk == nullptr) chunk = new TBuffer(FBufSize);
  FUsed.AddLast(chunk);
  return chunk;
}

void TBufferHandler::Write(const void* source, int64_t count) {
  TBuffer* chunk = FUsed.Last();
  if (chunk == nullptr) chunk = NewBuffer();
  int64_t done = 0;
  for (;;) {
    int32_t n = chunk->Append(source, done, count);
    if (n >= count) break;
    count -= n;
    done += n;
    chunk = NewBuffer();
  }
}

int32_t TBufferHandler::Peek(const char*& data) const {
  TBuffer* first = FUsed.First();
  return first != nullptr ? first->Peek(data) : 0;
}

void TBufferHandler::Remove(int64_t count) {
  if (count < 0) throw core::Exception("TBufferHandler.Remove: Invalid Len " + std::to_string(count));
  TBuffer* first = FUsed.First();
  if (first == nullptr) throw core::Exception("TBufferHandler.Remove: nothing to remove");
  first->Consume(count);
  if (first->DataCount() == 0) FFree.InsertFirst(FUsed.TakeFirst());
}

bool TBufferHandler::IsEmpty() const {
  TBuffer* first = FUsed.First();
  return first == nullptr || first->DataCount() == 0;
}

void TBufferHandler::DeleteAll() {
  while (TBuffer* chunk = FUsed.TakeFirst()) {
    chunk->FReadPos = chunk->FWritePos = 0;
    FFree.InsertFirst(chunk);
  }
}

}  // namespace net
