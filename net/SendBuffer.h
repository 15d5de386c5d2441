// The send buffer chain: the bytes a socket has accepted from its caller and not
// yet handed to the system, kept in fixed-size chunks with a free list.
//
// TBuffer is one chunk; TBufferLinkedList a doubly linked list that owns its
// chunks; TBufferHandler the chain itself (used chunks oldest first, emptied chunks
// kept for reuse, most recently emptied first). Chunks are allocated only when no
// free one is left and are given back to memory only when the handler is freed, so
// steady traffic allocates nothing after its first chunks.
//
// Ownership and threads: the socket owns its handler (a component). The handler's
// operations do not lock; the caller holds FLock (EnterLock/LeaveLock, or the
// handler as a BasicLockable with std::lock_guard) around each whole operation, so
// the chain can be filled from another thread. The lock is recursive.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>

#include "core/Classes.h"

namespace net {

inline constexpr int32_t kDefaultBufSize = 1460;

class TBufferLinkedList;
class TBufferHandler;

// One chunk: data is the bytes from FReadPos up to FWritePos of the block.
// Invariant: 0 <= FReadPos <= FWritePos <= FBlockSize.
class TBuffer {
 public:
  // A size of 0 or less gives a chunk of kDefaultBufSize bytes.
  explicit TBuffer(int32_t size);
  TBuffer(const TBuffer&) = delete;
  TBuffer& operator=(const TBuffer&) = delete;

  // Replaces the block by one of size bytes (0 or less: kDefaultBufSize), keeping
  // as much of the data as the new block holds.
  void Resize(int32_t size);
  // Copies up to count bytes from source + offset into the free room; returns the
  // number taken (0 when the chunk is full or count is not positive).
  int32_t Append(const void* source, int64_t offset, int64_t count);
  // Points data at the first unconsumed byte and returns the number of data bytes;
  // 0 (data unchanged) when there is none.
  int32_t Peek(const char*& data) const;
  // Consumes up to count bytes; when all data is consumed both positions return to
  // 0 so the chunk fills again from its start. Returns the number consumed.
  int32_t Consume(int64_t count);
  int32_t DataCount() const { return FWritePos - FReadPos; }

  int32_t BlockSize() const { return FBlockSize; }
  int32_t WritePos() const { return FWritePos; }
  int32_t ReadPos() const { return FReadPos; }
  TBuffer* NextBuf() const { return FNextBuf; }
  TBuffer* PrevBuf() const { return FPrevBuf; }

 private:
  friend class TBufferLinkedList;
  friend class TBufferHandler;

  std::unique_ptr<char[]> FData;
  int32_t FBlockSize = 0;
  int32_t FWritePos = 0;
  int32_t FReadPos = 0;
  TBuffer* FNextBuf = nullptr;
  TBuffer* FPrevBuf = nullptr;
};

// A doubly linked list of chunks that owns them.
class TBufferLinkedList {
 public:
  TBufferLinkedList() = default;
  ~TBufferLinkedList();
  TBufferLinkedList(const TBufferLinkedList&) = delete;
  TBufferLinkedList& operator=(const TBufferLinkedList&) = delete;

  void InsertFirst(TBuffer* chunk);
  void AddLast(TBuffer* chunk);
  // Unlinks and returns the first chunk (its own links are left for the next list
  // to set); nullptr when empty.
  TBuffer* TakeFirst();

  TBuffer* First() const { return FFirst; }
  TBuffer* Last() const { return FLast; }

 private:
  TBuffer* FFirst = nullptr;
  TBuffer* FLast = nullptr;
};

class TBufferHandler : public core::TComponent {
 public:
  explicit TBufferHandler(core::TComponent* owner);

  void EnterLock() { FLock.lock(); }
  void LeaveLock() { FLock.unlock(); }
  // BasicLockable, for std::lock_guard.
  void lock() { EnterLock(); }
  void unlock() { LeaveLock(); }

  // The size of chunks created from now on (0 or less: kDefaultBufSize). Existing
  // chunks keep theirs.
  int32_t BufSize() const { return FBufSize; }
  void SetBufSize(int32_t size) { FBufSize = size; }

  // A free chunk (whatever its size) or a new one of BufSize, appended to the used list.
  TBuffer* NewBuffer();
  // Appends count bytes: first into the room of the newest chunk, then into as many
  // further chunks as needed. Allocation failure passes to the caller.
  void Write(const void* source, int64_t count);
  // The oldest data: data points into the first used chunk; returns its data count,
  // 0 when nothing is queued.
  int32_t Peek(const char*& data) const;
  // Consumes up to count bytes of the first used chunk only, moving it to the free
  // list once empty. Raises core::Exception for a negative count or an empty chain.
  void Remove(int64_t count);
  bool IsEmpty() const;
  // Drops all queued data; the chunks stay for reuse.
  void DeleteAll();

  const TBufferLinkedList& UsedList() const { return FUsed; }
  const TBufferLinkedList& FreeList() const { return FFree; }

 private:
  TBufferLinkedList FUsed;
  TBufferLinkedList FFree;
  int32_t FBufSize = kDefaultBufSize;
  std::recursive_mutex FLock;
};

}  // namespace net
