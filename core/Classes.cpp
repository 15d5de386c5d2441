#include "core/Classes.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

namespace core {

// --- TComponent ---

TComponent::TComponent(TComponent* owner) {
  if (owner) owner->InsertComponent(this);
}

TComponent::~TComponent() {
  // Free normally ran BeforeDestruction already; a component deleted directly (a
  // stack object in a test) still releases what it owns and tells its watchers.
  if (!FDestroying) TComponent::BeforeDestruction();
  DestroyComponents();
  if (FOwner) FOwner->RemoveComponent(this);
}

void TComponent::BeforeDestruction() {
  if (FDestroying) return;
  FDestroying = true;
  // Tell every component that watches us, and forget them.
  auto watchers = FFreeNotifies;
  FFreeNotifies.clear();
  for (TComponent* w : watchers) {
    auto& back = w->FFreeNotifies;
    back.erase(std::remove(back.begin(), back.end(), this), back.end());
    w->Notification(this, TOperation::opRemove);
  }
}

void TComponent::InsertComponent(TComponent* c) {
  FComponents.push_back(c);
  c->FOwner = this;
  Notification(c, TOperation::opInsert);
}

void TComponent::RemoveComponent(TComponent* c) {
  auto it = std::find(FComponents.begin(), FComponents.end(), c);
  if (it == FComponents.end()) return;
  FComponents.erase(it);
  c->FOwner = nullptr;
  Notification(c, TOperation::opRemove);
}

void TComponent::DestroyComponents() {
  // Freed last first; each removes itself from the list.
  while (!FComponents.empty()) {
    TComponent* c = FComponents.back();
    FComponents.pop_back();
    c->FOwner = nullptr;
    FreeComponent(c);
  }
}

void TComponent::FreeNotification(TComponent* other) {
  if (!other || other == this) return;
  if (std::find(FFreeNotifies.begin(), FFreeNotifies.end(), other) == FFreeNotifies.end())
    FFreeNotifies.push_back(other);
  if (std::find(other->FFreeNotifies.begin(), other->FFreeNotifies.end(), this) == other->FFreeNotifies.end())
    other->FFreeNotifies.push_back(this);
}

void TComponent::RemoveFreeNotification(TComponent* other) {
  if (!other) return;
  FFreeNotifies.erase(std::remove(FFreeNotifies.begin(), FFreeNotifies.end(), other), FFreeNotifies.end());
  auto& back = other->FFreeNotifies;
  back.erase(std::remove(back.begin(), back.end(), this), back.end());
}

void TComponent::Notification(TComponent*, TOperation) {}

void FreeComponent(TComponent* c) {
  if (!c) return;
  c->BeforeDestruction();
  delete c;
}

// --- TStream ---

int64_t TStream::Size() {
  const int64_t pos = Seek(0, TSeekOrigin::soCurrent);
  const int64_t size = Seek(0, TSeekOrigin::soEnd);
  Seek(pos, TSeekOrigin::soBeginning);
  return size;
}

void TStream::WriteBuffer(const void* buffer, int64_t count) {
  if (count > 0 && Write(buffer, count) != count) throw EStreamError("Stream write error");
}

// --- TMemoryStream ---

void TMemoryStream::Reserve(int64_t n) {
  if (n <= Capacity()) return;
  // Geometric growth keeps appends amortised O(1); the block is never shrunk.
  int64_t cap = std::max<int64_t>(Capacity() * 2, 8192);
  while (cap < n) cap *= 2;
  void* block = std::realloc(FData.get(), static_cast<size_t>(cap));
  if (block == nullptr) throw std::bad_alloc();
  (void)FData.release();
  FData.reset(static_cast<char*>(block));
  FCapacity = cap;
}

int64_t TMemoryStream::Read(void* buffer, int64_t count) {
  if (count <= 0 || FPosition >= FSize) return 0;
  const int64_t n = std::min(count, FSize - FPosition);
  std::memcpy(buffer, FData.get() + FPosition, static_cast<size_t>(n));
  FPosition += n;
  return n;
}

char* TMemoryStream::WriteRoom(int64_t count) {
  Reserve(FPosition + std::max<int64_t>(count, 0));
  return FData.get() + FPosition;
}

int64_t TMemoryStream::Write(const void* buffer, int64_t count) {
  if (count <= 0) return 0;
  const int64_t end = FPosition + count;
  // Bytes already received into the room at the position stay where they are.
  const bool inPlace = FData && buffer == FData.get() + FPosition && end <= FCapacity;
  Reserve(end);
  if (FPosition > FSize) std::memset(FData.get() + FSize, 0, static_cast<size_t>(FPosition - FSize));
  if (!inPlace) std::memcpy(FData.get() + FPosition, buffer, static_cast<size_t>(count));
  FPosition = end;
  if (end > FSize) FSize = end;
  return count;
}

int64_t TMemoryStream::Seek(int64_t offset, TSeekOrigin origin) {
  int64_t base = 0;
  if (origin == TSeekOrigin::soCurrent)
    base = FPosition;
  else if (origin == TSeekOrigin::soEnd)
    base = FSize;
  FPosition = std::max<int64_t>(0, base + offset);
  return FPosition;
}

void TMemoryStream::SetSize(int64_t newSize) {
  if (newSize < 0) newSize = 0;
  Reserve(newSize);
  if (newSize > FSize) std::memset(FData.get() + FSize, 0, static_cast<size_t>(newSize - FSize));
  FSize = newSize;
  if (FPosition > FSize) FPosition = FSize;
}

TMemoryStream::TBlock TMemoryStream::ReleaseBlock() {
  TBlock block{FData.release(), FSize, FCapacity};
  FCapacity = FSize = FPosition = 0;
  return block;
}

void TMemoryStream::AdoptBlock(TBlock block) {
  FData.reset(block.data);
  FCapacity = block.data ? block.capacity : 0;
  FSize = FPosition = 0;
}

void TMemoryStream::Clear() {
  FData.reset();
  FCapacity = 0;
  FSize = 0;
  FPosition = 0;
}

// --- TFileStream ---

TFileStream::TFileStream(const std::string& fileName, uint32_t mode) : FFileName(fileName) {
  int flags;
  if ((mode & 0xFF00) == fmCreate) {
    flags = O_RDWR | O_CREAT | O_TRUNC;
  } else {
    switch (mode & 3) {
      case fmOpenWrite:
        flags = O_WRONLY;
        break;
      case fmOpenReadWrite:
        flags = O_RDWR;
        break;
      default:
        flags = O_RDONLY;
        break;
    }
  }
  FFd = ::open(fileName.c_str(), flags | O_CLOEXEC, 0644);
  if (FFd < 0) {
    const std::string why = std::strerror(errno);
    if ((mode & 0xFF00) == fmCreate) throw EFCreateError("Cannot create file \"" + fileName + "\". " + why);
    throw EFOpenError("Cannot open file \"" + fileName + "\". " + why);
  }
  if ((mode & 0xFF00) != fmCreate && (mode & fmShareDenyWrite)) {
    // Linux has no share modes: an exclusive advisory lock refuses other writers
    // that ask for the same lock (our own log files do); readers are unaffected.
    if (::flock(FFd, LOCK_EX | LOCK_NB) != 0) {
      const std::string why = std::strerror(errno);
      ::close(FFd);
      FFd = -1;
      throw EFOpenError("Cannot open file \"" + fileName + "\". " + why);
    }
  }
}

TFileStream::~TFileStream() {
  if (FFd >= 0) ::close(FFd);
}

int64_t TFileStream::Read(void* buffer, int64_t count) {
  if (count <= 0) return 0;
  const ssize_t n = ::read(FFd, buffer, static_cast<size_t>(count));
  return n < 0 ? 0 : n;
}

int64_t TFileStream::Write(const void* buffer, int64_t count) {
  int64_t done = 0;
  const char* p = static_cast<const char*>(buffer);
  while (done < count) {
    const ssize_t n = ::write(FFd, p + done, static_cast<size_t>(count - done));
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    done += n;
  }
  return done;
}

int64_t TFileStream::Seek(int64_t offset, TSeekOrigin origin) {
  int whence = SEEK_SET;
  if (origin == TSeekOrigin::soCurrent)
    whence = SEEK_CUR;
  else if (origin == TSeekOrigin::soEnd)
    whence = SEEK_END;
  const off_t r = ::lseek(FFd, offset, whence);
  return r < 0 ? -1 : r;
}

void TFileStream::SetSize(int64_t newSize) {
  if (::ftruncate(FFd, newSize) != 0)
    throw EStreamError(std::string("Stream size error: ") + std::strerror(errno));
  if (Position() > newSize) SetPosition(newSize);
}

// --- TStringList ---

int TStringList::Add(std::string s) {
  FItems.push_back(std::move(s));
  return Count() - 1;
}

void TStringList::Insert(int index, std::string s) {
  index = std::clamp(index, 0, Count());
  FItems.insert(FItems.begin() + index, std::move(s));
}

void TStringList::Delete(int index) {
  if (index < 0 || index >= Count()) return;
  FItems.erase(FItems.begin() + index);
}

int TStringList::IndexOf(std::string_view s) const {
  for (int i = 0; i < Count(); ++i)
    if (FItems[static_cast<size_t>(i)] == s) return i;
  return -1;
}

std::string TStringList::Text() const {
  std::string r;
  for (const auto& s : FItems) {
    r += s;
    r += "\r\n";
  }
  return r;
}

}  // namespace core
