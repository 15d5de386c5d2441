// Private message numbers on hidden windows, and the routing of each arriving
// message to the component that owns its number.
//
// Every thread that owns window-bound components has a list of hidden windows, one
// TWndHandler each. A handler hands out the numbers 1025 to 1124 of its window (the
// numbers are private to a window, so windows may share them); a component takes
// all its numbers from one handler of its own thread. One process-wide
// TWndHandlerPool holds the per-thread lists.
//
// Locking: the pool lock serialises GetWndHandler, RegisterMessage,
// UnregisterMessage, FreeWndHandler and the handler's window creation; callers
// (the component base) hold it, none of these operations takes it. The window-class
// lock guards the class registration, window creation with its pointer slot, the
// live-window count and the unregistration, and is always taken inside the pool
// lock. Routing (WndControlWindowProc, TWndHandler::WndProc) runs on the window's
// own thread and takes no lock.
#pragma once

#include <array>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/WinMsg.h"

namespace core {

class TWndControl;
class TWndHandler;
class TWndHandlerList;

// The record a window message travels in, from the window procedure to the
// component that owns its number.
struct TMessage {
  uint32_t Msg;
  uintptr_t WParam;
  intptr_t LParam;
  intptr_t Result;
};

// Called when an exception escapes the routing of a message. The flag is kept for
// the components' event of the same shape; the handler does not look at it.
using THandlerBgExceptionEvent =
    std::function<void(TWndHandler* sender, const std::exception& e, bool& canClose)>;

constexpr const char* WndControlWindowClassName = "WndControlWindowClass";
constexpr int WndHandlerMsgCount = 100;         // numbers per hidden window
constexpr uint32_t WndHandlerMinMsgLow = 1024;  // below this, the block is "not defined"

// One hidden window and its block of 100 message numbers. Owned by its
// TWndHandlerList; the window lives while at least one number is registered (or it
// was created explicitly). Methods other than WndProc need the pool lock.
class TWndHandler {
 public:
  TWndHandler(TWndHandlerList* ownerList, uint32_t msgLow);
  ~TWndHandler();
  TWndHandler(const TWndHandler&) = delete;
  TWndHandler& operator=(const TWndHandler&) = delete;

  void AllocateWindow();
  void DeallocateWindow();
  // The lowest free number, now owned by obj. Creates the window if there is none.
  uint32_t RegisterMessage(TWndControl* obj);
  // Releases msg (0 does nothing) and sets it to 0; the messages still queued for
  // that number are dropped so that they never reach the number's next owner.
  void UnregisterMessage(uint32_t& msg);
  int MsgLeft() const { return WndHandlerMsgCount - FMsgCnt; }
  // Routes one message record; owner thread only. A timer message goes to the
  // owner of the number its id names.
  void WndProc(TMessage& message);
  // Releases every number still held by obj (a component destroyed without its
  // second destruction phase must not stay in the routing table).
  void ForgetComponent(TWndControl* obj);
  // The numbers obj holds here, lowest first: the order it registered them in, as
  // each registration takes the lowest free number.
  std::vector<uint32_t> MessagesOf(const TWndControl* obj) const;

  winapi::HWND HiddenWnd() const { return FHiddenWnd; }
  uint32_t MsgLow() const { return FMsgLow; }
  int MsgCnt() const { return FMsgCnt; }
  TWndHandlerList* OwnerList() const { return FOwnerList; }
  const THandlerBgExceptionEvent& BgExceptionHandler() const { return FBgExceptionHandler; }
  void SetBgExceptionHandler(THandlerBgExceptionEvent handler) { FBgExceptionHandler = std::move(handler); }

 private:
  friend class TWndHandlerPool;
  void RouteMessage(TMessage& message);
  void ReportBgException(const std::exception& e);

  winapi::HWND FHiddenWnd = nullptr;
  std::array<TWndControl*, WndHandlerMsgCount> FMsgMap{};
  uint32_t FMsgLow;
  int32_t FMsgCnt = 0;
  TWndHandlerList* FOwnerList;
  THandlerBgExceptionEvent FBgExceptionHandler;
};

// The handlers of one thread, in creation order.
class TWndHandlerList {
 public:
  explicit TWndHandlerList(uint32_t ownerThread) : OwnerThread(ownerThread) {}
  int Count() const { return static_cast<int>(FItems.size()); }
  TWndHandler* Items(int index) const { return FItems.at(static_cast<size_t>(index)).get(); }

  const uint32_t OwnerThread;

 private:
  friend class TWndHandlerPool;
  std::vector<std::unique_ptr<TWndHandler>> FItems;
};

// The per-thread handler lists of the process, behind the pool lock.
class TWndHandlerPool {
 public:
  TWndHandlerPool() = default;
  ~TWndHandlerPool() = default;
  TWndHandlerPool(const TWndHandlerPool&) = delete;
  TWndHandlerPool& operator=(const TWndHandlerPool&) = delete;

  // A handler of ownerThread with at least msgCnt free numbers; a new one (without a
  // window yet) when none of the thread's handlers has room. Caller holds the lock.
  TWndHandler* GetWndHandler(uint32_t msgCnt, uint32_t ownerThread);
  // Removes handler from its list and frees it, then sets handler to nullptr; a
  // handler that is in no list is left alone. Caller holds the lock.
  void FreeWndHandler(TWndHandler*& handler);
  void Lock() { FCritSect.lock(); }
  void Unlock() { FCritSect.unlock(); }
  std::recursive_mutex& CritSect() { return FCritSect; }

  // Inspection, under the lock.
  int ThreadListCount();
  // The handler count of the thread, 0 when it has no list.
  int HandlerCount(uint32_t ownerThread);

 private:
  TWndHandlerList* FindThreadList(uint32_t ownerThread);

  std::vector<std::unique_ptr<TWndHandlerList>> FThreadLists;
  std::recursive_mutex FCritSect;
};

// The process's one pool.
TWndHandlerPool& WndHandlerPool();
// The number of hidden windows alive in the process (window-class lock).
int32_t LiveHiddenWindowCount();

// The procedure of the hidden window class.
winapi::LRESULT WndControlWindowProc(winapi::HWND window, winapi::UINT msg, winapi::WPARAM wParam,
                                     winapi::LPARAM lParam);

}  // namespace core
