// Hidden windows and their classes: two process-wide tables under one mutex, and
// everything that routes a message through a window handle (posting, dispatch,
// purging). Lock order: this table, then a thread queue's lock; a window procedure
// always runs with no lock held.
#include <cassert>
#include <map>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/ThreadQueueImpl.h"

namespace winapi {
namespace {

struct ClassRec {
  WNDCLASS wc;
  std::string name;  // as registered; wc.lpszClassName points here
  int windows = 0;
};

struct WindowRec {
  detail::ThreadQueue* owner;
  WNDPROC proc;
  std::string className;  // key into Tables::classes
  std::vector<LONG_PTR> slots;
};

// On the heap and never destroyed: windows may be posted to or destroyed from
// other threads' exit paths after static destruction has begun.
struct Tables {
  std::mutex mu;
  std::map<std::string, ClassRec> classes;          // key: ASCII-lowercased name
  std::unordered_map<uint32_t, WindowRec> windows;  // key: handle value
  uint32_t lastHandle = 0;
  WORD lastAtom = 0xC000;
};

Tables& T() {
  static Tables* tables = new Tables;
  return *tables;
}

// Class names compare case-insensitively, ASCII only.
std::string ClassKey(const char* name) {
  std::string key = name != nullptr ? name : "";
  for (char& c : key) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return key;
}

uint32_t HandleValue(HWND hwnd) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(hwnd));
}
HWND MakeHandle(uint32_t value) {
  return reinterpret_cast<HWND>(static_cast<uintptr_t>(value));
}

// Caller holds T().mu. Handles above 32 bits cannot exist, so they are unknown too.
WindowRec* FindLocked(HWND hwnd) {
  if (reinterpret_cast<uintptr_t>(hwnd) > UINT32_MAX) return nullptr;
  auto it = T().windows.find(HandleValue(hwnd));
  return it == T().windows.end() ? nullptr : &it->second;
}

// Caller holds T().mu. The counter skips 0 and live handles, so a message posted
// late to a destroyed window cannot reach a newer one until 2^32 windows later.
uint32_t NextHandleLocked() {
  do {
    ++T().lastHandle;
  } while (T().lastHandle == 0 || T().windows.count(T().lastHandle) != 0);
  return T().lastHandle;
}

// Caller holds T().mu. Slot index from the byte offset given to Get/SetWindowLong.
LONG_PTR* SlotLocked(HWND hwnd, int index) {
  WindowRec* w = FindLocked(hwnd);
  if (w == nullptr) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return nullptr;
  }
  if (index < 0 || index % 4 != 0 || static_cast<size_t>(index / 4) >= w->slots.size()) {
    SetLastError(ERROR_INVALID_INDEX);
    return nullptr;
  }
  return &w->slots[static_cast<size_t>(index / 4)];
}

void EraseLocked(std::unordered_map<uint32_t, WindowRec>::iterator it) {
  auto cls = T().classes.find(it->second.className);
  if (cls != T().classes.end()) --cls->second.windows;
  T().windows.erase(it);
}

}  // namespace

HINSTANCE GetModuleHandle(std::nullptr_t) {
  static char token;
  return reinterpret_cast<HINSTANCE>(&token);
}

WORD RegisterClass(const WNDCLASS* wc) {
  assert(wc != nullptr && wc->lpszClassName != nullptr);
  std::lock_guard lock(T().mu);
  auto [it, inserted] = T().classes.try_emplace(ClassKey(wc->lpszClassName));
  if (!inserted) {
    SetLastError(ERROR_CLASS_ALREADY_EXISTS);
    return 0;
  }
  it->second.wc = *wc;
  it->second.name = wc->lpszClassName;
  it->second.wc.lpszClassName = it->second.name.c_str();
  if (++T().lastAtom == 0) T().lastAtom = 0xC000;
  return T().lastAtom;
}

BOOL GetClassInfo(HINSTANCE, const char* cls, WNDCLASS* out) {
  std::lock_guard lock(T().mu);
  auto it = T().classes.find(ClassKey(cls));
  if (it == T().classes.end()) {
    SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
    return 0;
  }
  if (out != nullptr) *out = it->second.wc;
  return 1;
}

BOOL UnregisterClass(const char* cls, HINSTANCE) {
  std::lock_guard lock(T().mu);
  auto it = T().classes.find(ClassKey(cls));
  if (it == T().classes.end()) {
    SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
    return 0;
  }
  if (it->second.windows > 0) {
    SetLastError(ERROR_CLASS_HAS_WINDOWS);
    return 0;
  }
  T().classes.erase(it);
  return 1;
}

HWND CreateWindowEx(DWORD, const char* cls, const char*, DWORD, int, int, int, int, HWND, void*, HINSTANCE,
                    void*) {
  detail::ThreadQueue* owner = detail::CurrentQueue();
  std::lock_guard lock(T().mu);
  auto it = T().classes.find(ClassKey(cls));
  if (it == T().classes.end()) {
    SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
    return nullptr;
  }
  const int extra = it->second.wc.cbWndExtra;
  const uint32_t handle = NextHandleLocked();
  T().windows.emplace(handle,
                      WindowRec{owner, it->second.wc.lpfnWndProc, it->first,
                                std::vector<LONG_PTR>(extra > 0 ? static_cast<size_t>(extra / 4) : 0)});
  ++it->second.windows;
  return MakeHandle(handle);
}

BOOL DestroyWindow(HWND hwnd) {
  detail::ThreadQueue* self = detail::CurrentQueue();
  {
    std::lock_guard lock(T().mu);
    WindowRec* w = FindLocked(hwnd);
    if (w == nullptr) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return 0;
    }
    if (w->owner != self) {
      SetLastError(ERROR_ACCESS_DENIED);
      return 0;
    }
    EraseLocked(T().windows.find(HandleValue(hwnd)));
    // Still under the table lock: no poster can slip a message in between.
    self->PurgeWindow(hwnd);
  }
  self->KillTimers(hwnd);
  return 1;
}

BOOL IsWindow(HWND hwnd) {
  std::lock_guard lock(T().mu);
  return FindLocked(hwnd) != nullptr ? 1 : 0;
}

LONG_PTR SetWindowLong(HWND hwnd, int index, LONG_PTR value) {
  std::lock_guard lock(T().mu);
  LONG_PTR* slot = SlotLocked(hwnd, index);
  if (slot == nullptr) return 0;
  const LONG_PTR old = *slot;
  *slot = value;
  return old;
}

LONG_PTR GetWindowLong(HWND hwnd, int index) {
  std::lock_guard lock(T().mu);
  LONG_PTR* slot = SlotLocked(hwnd, index);
  return slot != nullptr ? *slot : 0;
}

LRESULT DefWindowProc(HWND, UINT, WPARAM, LPARAM) {
  return 0;
}

BOOL PostMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  const MSG m{hwnd, msg, wParam, lParam, GetTickCount()};
  if (hwnd == nullptr) {
    if (detail::CurrentQueue()->Post(m)) return 1;
    SetLastError(ERROR_NOT_ENOUGH_QUOTA);
    return 0;
  }
  // The table lock is held while posting, so the window cannot be destroyed (and
  // its queue purged, or its thread's queue freed) between lookup and push.
  std::lock_guard lock(T().mu);
  WindowRec* w = FindLocked(hwnd);
  if (w == nullptr) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  if (w->owner->Post(m)) return 1;
  SetLastError(ERROR_NOT_ENOUGH_QUOTA);
  return 0;
}

namespace detail {

BOOL PostCoalesced(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  const MSG m{hwnd, msg, wParam, lParam, GetTickCount()};
  std::lock_guard lock(T().mu);
  WindowRec* w = FindLocked(hwnd);
  if (w == nullptr) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  if (w->owner->PostCoalesced(m)) return 1;
  SetLastError(ERROR_NOT_ENOUGH_QUOTA);
  return 0;
}

}  // namespace detail

LRESULT DispatchMessage(const MSG* msg) {
  if (msg == nullptr || msg->hwnd == nullptr) return 0;  // thread messages have no procedure
  WNDPROC proc;
  {
    std::lock_guard lock(T().mu);
    WindowRec* w = FindLocked(msg->hwnd);
    if (w == nullptr) return 0;  // destroyed since it was queued
    proc = w->proc;
  }
  return proc != nullptr ? proc(msg->hwnd, msg->message, msg->wParam, msg->lParam)
                         : DefWindowProc(msg->hwnd, msg->message, msg->wParam, msg->lParam);
}

void PurgePostedMessages(HWND hwnd, UINT msg) {
  std::vector<MSG> removed;
  {
    std::lock_guard lock(T().mu);
    if (WindowRec* w = FindLocked(hwnd)) w->owner->Purge(hwnd, msg, nullptr, &removed);
  }
  // After the window table lock: the socket table comes first in the lock order.
  if (!removed.empty()) detail::ForgetDroppedNotifications(removed);
}

std::vector<MSG> TakePostedMessages(HWND hwnd, const std::vector<UINT>& msgs) {
  std::vector<MSG> taken;
  std::lock_guard lock(T().mu);
  if (WindowRec* w = FindLocked(hwnd)) w->owner->Take(hwnd, msgs, taken);
  return taken;
}

namespace detail {

ThreadQueue* QueueOfWindow(HWND hwnd) {
  std::lock_guard lock(T().mu);
  WindowRec* w = FindLocked(hwnd);
  return w != nullptr ? w->owner : nullptr;
}

void PurgeMessages(HWND hwnd, UINT msg, WPARAM wParam) {
  std::lock_guard lock(T().mu);
  if (WindowRec* w = FindLocked(hwnd)) w->owner->Purge(hwnd, msg, &wParam);
}

void ForgetWindowsOf(ThreadQueue* q) {
  std::lock_guard lock(T().mu);
  for (auto it = T().windows.begin(); it != T().windows.end();) {
    auto next = std::next(it);
    if (it->second.owner == q) EraseLocked(it);
    it = next;
  }
}

}  // namespace detail
}  // namespace winapi
