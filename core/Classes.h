// The component model and the small class library the network stack assumes:
// components with an owner, a name, a tag and free notification; streams; a
// string list.
//
// Construction and destruction have a second phase that reaches the most-derived
// overrides, which C++ constructors and destructors cannot: create components with
// Create<T>(...) (runs AfterConstruction) and free them with Free(...) (runs
// BeforeDestruction, then deletes). An owner frees the components it owns, through
// Free, before its own destructor body ends. Nothing here is thread-safe; a
// component belongs to one thread at a time.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/SysUtils.h"

namespace core {

enum class TOperation { opInsert, opRemove };

class TComponent {
 public:
  explicit TComponent(TComponent* owner);
  virtual ~TComponent();
  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;

  // Second phase of construction, run by Create<T> once the object is complete.
  virtual void AfterConstruction() {}
  // First phase of destruction, run by Free before the destructors: overrides may
  // still call virtual operations of the most-derived class here.
  virtual void BeforeDestruction();

  TComponent* Owner() const { return FOwner; }
  const std::string& Name() const { return FName; }
  void SetName(std::string name) { FName = std::move(name); }
  intptr_t Tag() const { return FTag; }
  void SetTag(intptr_t tag) { FTag = tag; }
  // True once Free has started on this component.
  bool Destroying() const { return FDestroying; }
  // Components are never designed at run time here; kept for the algorithms that ask.
  bool Designing() const { return false; }

  int ComponentCount() const { return static_cast<int>(FComponents.size()); }
  TComponent* Components(int index) const { return FComponents.at(static_cast<size_t>(index)); }

  // Asks other to call our Notification(other, opRemove) when it is freed (and
  // the other way round, as the classic model does).
  void FreeNotification(TComponent* other);
  void RemoveFreeNotification(TComponent* other);

 protected:
  // Told when a component we own or asked to watch is inserted or removed.
  virtual void Notification(TComponent* component, TOperation operation);

 private:
  friend void FreeComponent(TComponent*);
  void InsertComponent(TComponent* c);
  void RemoveComponent(TComponent* c);
  void DestroyComponents();

  TComponent* FOwner = nullptr;
  std::string FName;
  intptr_t FTag = 0;
  bool FDestroying = false;
  std::vector<TComponent*> FComponents;
  std::vector<TComponent*> FFreeNotifies;
};

// Runs BeforeDestruction and deletes. nullptr is ignored.
void FreeComponent(TComponent* c);

template <class T>
void Free(T*& p) {
  T* q = p;
  p = nullptr;
  FreeComponent(q);
}

template <class T, class... Args>
T* Create(Args&&... args) {
  T* p = new T(std::forward<Args>(args)...);
  p->AfterConstruction();
  return p;
}

// A unique_ptr that frees through the second phase.
struct ComponentDeleter {
  void operator()(TComponent* c) const { FreeComponent(c); }
};
template <class T>
using ComponentPtr = std::unique_ptr<T, ComponentDeleter>;
template <class T, class... Args>
ComponentPtr<T> MakeComponent(Args&&... args) {
  return ComponentPtr<T>(Create<T>(std::forward<Args>(args)...));
}

// --- streams ---
enum class TSeekOrigin { soBeginning, soCurrent, soEnd };

class TStream {
 public:
  virtual ~TStream() = default;
  // Reads up to count bytes at the position; returns the number read.
  virtual int64_t Read(void* buffer, int64_t count) = 0;
  // Writes count bytes at the position; returns the number written.
  virtual int64_t Write(const void* buffer, int64_t count) = 0;
  virtual int64_t Seek(int64_t offset, TSeekOrigin origin) = 0;
  virtual int64_t Size();
  virtual void SetSize(int64_t newSize) = 0;
  int64_t Position() { return Seek(0, TSeekOrigin::soCurrent); }
  void SetPosition(int64_t pos) { Seek(pos, TSeekOrigin::soBeginning); }
  // Writes all of buffer or raises EStreamError "Stream write error".
  void WriteBuffer(const void* buffer, int64_t count);
};

// Memory stream: keeps its capacity when truncated and grows geometrically.
class TMemoryStream : public TStream {
 public:
  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
  int64_t Size() override { return FSize; }
  void SetSize(int64_t newSize) override;
  // The memory block, or nullptr when the stream never had one.
  char* Memory() { return FData.get(); }
  const char* Memory() const { return FData.get(); }
  int64_t Capacity() const { return FCapacity; }
  void Clear();  // size and position 0, block released
  std::string DataString() const { return std::string(Memory() ? Memory() : "", static_cast<size_t>(FSize)); }
  // Makes room for at least n bytes in one step, so a writer that knows the final
  // size spares the growth steps. Raises std::bad_alloc when the block cannot grow.
  void Reserve(int64_t n);
  // Room for count bytes at the position, for a reader to fill in place (a socket,
  // say) instead of filling a buffer of its own and copying it. Writing them then
  // with Write from that same address copies nothing; the room stays valid until
  // the next call that may grow the block.
  char* WriteRoom(int64_t count);
  // A malloc'ed block with its bytes in use and its size.
  struct TBlock {
    char* data = nullptr;
    int64_t size = 0, capacity = 0;
  };
  // Hands the block over, to be freed with std::free by its taker; the stream is
  // left empty, without a block.
  TBlock ReleaseBlock();
  // Takes a block handed over (malloc'ed, capacity bytes) as its memory, emptied:
  // a block already faulted in is written again without the system's help.
  void AdoptBlock(TBlock block);

 private:
  struct FreeBlock {
    void operator()(char* p) const { std::free(p); }
  };
  // Grown in place where the allocator can (realloc): a large block is remapped
  // rather than copied and faulted in again. Grown without clearing: only bytes
  // below FSize are ever read, and a write past the end clears the gap it leaves.
  std::unique_ptr<char, FreeBlock> FData;
  int64_t FCapacity = 0;
  int64_t FSize = 0;
  int64_t FPosition = 0;
};

// Open modes of TFileStream.
enum : uint32_t {
  fmCreate = 0xFF00,  // create or truncate, read/write
  fmOpenRead = 0x0000,
  fmOpenWrite = 0x0001,
  fmOpenReadWrite = 0x0002,
  fmShareDenyWrite = 0x0020,  // an advisory lock: other writers that ask are refused
};

// File stream over a POSIX descriptor. Raises EFCreateError / EFOpenError with the
// system's message when the file cannot be created or opened.
class TFileStream : public TStream {
 public:
  TFileStream(const std::string& fileName, uint32_t mode);
  ~TFileStream() override;
  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
  void SetSize(int64_t newSize) override;
  const std::string& FileName() const { return FFileName; }

 private:
  std::string FFileName;
  int FFd = -1;
};

// --- string list ---
class TStringList {
 public:
  int Count() const { return static_cast<int>(FItems.size()); }
  const std::string& Strings(int i) const { return FItems.at(static_cast<size_t>(i)); }
  std::string& Strings(int i) { return FItems.at(static_cast<size_t>(i)); }
  const std::string& operator[](int i) const { return Strings(i); }
  int Add(std::string s);
  void Insert(int index, std::string s);
  void Delete(int index);
  void Clear() { FItems.clear(); }
  int IndexOf(std::string_view s) const;  // exact match, -1 when absent
  // The lines, each followed by CR LF.
  std::string Text() const;
  const std::vector<std::string>& Items() const { return FItems; }

 private:
  std::vector<std::string> FItems;
};

}  // namespace core
