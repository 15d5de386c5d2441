// TWndControl: the base of every component that receives window messages (the
// socket classes, the HTTP client).
//
// Lifecycle. A new component has no window. Reading Handle (or AllocateWindow,
// ThreadAttach) binds it to a hidden window of the calling thread and takes its
// MsgHandlersCount() private numbers there, all from the same window. Create it with
// Create<T>/MakeComponent and free it with Free (or Release): the second destruction
// phase (BeforeDestruction -> FinalizeHandle) reaches the most-derived
// FreeMsgHandlers, which a C++ destructor cannot. A component deleted without that
// phase still leaves no number behind in the routing table.
//
// Threads. The component's messages are handled, and its events raised, on the
// thread that allocated its window (ThreadID). ThreadDetach on that thread followed
// by ThreadAttach on another moves it. The pool lock is held across the whole
// allocation and release sequences, so components of different threads may be
// created and freed at the same time. Release may be called from the owning thread
// only (it may allocate the window); posting to Handle works from any thread.
// A component must not be freed while one of its own message loops is running on it.
//
// Descendants that need more numbers override MsgHandlersCount (base count plus
// theirs), AllocateMsgHandlers (base first, then RegisterMessage on FWndHandler in a
// fixed order), FreeMsgHandlers (UnregisterMessage theirs, then the base) and
// WndProc (their numbers, anything else to the base). Exceptions of their handlers
// reach HandleBackgroundError only if they wrap them as the base WndProc does.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <vector>

#include "core/Classes.h"
#include "core/WndHandler.h"
#include "platform/WinMsg.h"

namespace core {

// Raised when an exception escapes the handling of one of the component's messages.
// Leaving canClose true lets the component abort itself.
using TBgExceptionEvent = std::function<void(TComponent* sender, const std::exception& e, bool& canClose)>;

class TWndControl : public TComponent {
 public:
  explicit TWndControl(TComponent* owner);
  ~TWndControl() override;

  void BeforeDestruction() override;

  // The hidden window; reading it while there is none allocates one.
  winapi::HWND Handle();

  // Releases the window and the numbers once (the argument has no effect).
  virtual void FinalizeHandle(bool freeing);
  // Handles the component's messages: the release message, else default processing.
  virtual void WndProc(TMessage& message);
  virtual void HandleBackgroundError(const std::exception& e);
  virtual void TriggerBgException(const std::exception& e, bool& canClose);
  // Frees the component; nothing may touch it afterwards.
  virtual void WMRelease(TMessage& message);
  virtual void AllocateWindow();
  virtual void DeallocateWindow();
  virtual int MsgHandlersCount();
  virtual void AllocateMsgHandlers();
  virtual void FreeMsgHandlers();
  // Hook for descendants after a background exception; nothing in the base.
  virtual void AbortComponent();
  // Asks for the component to be freed once the current message has been handled.
  virtual void Release();
  virtual void ThreadAttach();
  // Messages the component posted to itself and has not handled yet go with it:
  // they are taken from this thread's queue and posted again once it has a window
  // on its new thread.
  virtual void ThreadDetach();

  // Message loops on the calling thread's queue (every window of the thread).
  virtual void MessageLoop();
  virtual bool PumpOneMessage();
  virtual void PumpMessages();
  virtual void MessagePump();

  bool Terminated() const { return FTerminated; }
  void SetTerminated(bool value) { FTerminated = value; }
  bool MultiThreadPump() const { return FMultiThreadPump; }
  void SetMultiThreadPump(bool value) { FMultiThreadPump = value; }
  uint32_t ThreadID() const { return FThreadID; }
  TWndHandler* WndHandler() const { return FWndHandler; }
  uint32_t MsgRelease() const { return FMsgRelease; }
  const TBgExceptionEvent& BgExceptionHandler() const { return FBgExceptionHandler; }
  void SetBgExceptionHandler(TBgExceptionEvent handler) { FBgExceptionHandler = std::move(handler); }

 protected:
  // Whether messages queued under msg are carried to the new thread by a move
  // (true); a number whose messages the system announces again itself says false.
  virtual bool FollowsThreadMove(uint32_t msg);

  bool FHandleReleased = false;
  winapi::HWND FHiddenWnd = nullptr;
  uint32_t FThreadID = 0;
  bool FTerminated = false;
  bool FMultiThreadPump = false;
  TWndHandler* FWndHandler = nullptr;
  uint32_t FMsgRelease = 0;
  TBgExceptionEvent FBgExceptionHandler;

 private:
  // A message carried across a thread move: its number by rank among ours.
  struct TCarriedMessage {
    size_t rank;
    winapi::WPARAM wParam;
    winapi::LPARAM lParam;
  };
  void DispatchOne(const winapi::MSG& msg);
  void TakeOwnMessages();
  void RepostCarriedMessages();

  std::vector<TCarriedMessage> FCarried;
};

}  // namespace core
