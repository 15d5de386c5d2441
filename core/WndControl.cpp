#include "core/WndControl.h"

#include <algorithm>
#include <mutex>

#include "core/Application.h"

namespace core {

TWndControl::TWndControl(TComponent* owner) : TComponent(owner) {}

TWndControl::~TWndControl() {
  if (FHandleReleased) return;
  // Deleted without the second phase: only the base's FreeMsgHandlers is reachable
  // now, so first drop every number still pointing at this object from the routing
  // table (descendants' numbers included), then release the rest as usual.
  try {
    std::lock_guard<std::recursive_mutex> lock(WndHandlerPool().CritSect());
    if (FWndHandler) FWndHandler->ForgetComponent(this);
    FMsgRelease = 0;
    FinalizeHandle(true);
  } catch (...) {
    // A destructor must not throw; the numbers are out of the table already.
  }
}

void TWndControl::BeforeDestruction() {
  TComponent::BeforeDestruction();
  FinalizeHandle(true);
}

winapi::HWND TWndControl::Handle() {
  if (!FHiddenWnd) AllocateWindow();
  return FHiddenWnd;
}

void TWndControl::FinalizeHandle(bool /*freeing*/) {
  if (FHandleReleased) return;
  DeallocateWindow();
  FHandleReleased = true;
}

void TWndControl::WndProc(TMessage& message) {
  try {
    if (FMsgRelease != 0 && message.Msg == FMsgRelease) {
      WMRelease(message);  // this is gone now
      return;
    }
    message.Result = winapi::DefWindowProc(FHiddenWnd, message.Msg, message.WParam, message.LParam);
  } catch (const std::exception& e) {
    HandleBackgroundError(e);
  }
}

void TWndControl::HandleBackgroundError(const std::exception& e) {
  bool canClose = true;
  if (FBgExceptionHandler) {
    try {
      TriggerBgException(e, canClose);
    } catch (...) {
      // The event itself failed: the original failure still decides what happens.
    }
  }
  if (!canClose) return;
  try {
    AbortComponent();
  } catch (...) {
    // Nothing is left to report an abort failure to; the message loop must go on.
  }
}

void TWndControl::TriggerBgException(const std::exception& e, bool& canClose) {
  TBgExceptionEvent handler = FBgExceptionHandler;
  if (handler) handler(this, e, canClose);
}

void TWndControl::WMRelease(TMessage& /*message*/) {
  FreeComponent(this);
}

void TWndControl::AllocateWindow() {
  if (FHiddenWnd) return;
  FThreadID = winapi::GetCurrentThreadId();
  TWndHandlerPool& pool = WndHandlerPool();
  std::lock_guard<std::recursive_mutex> lock(pool.CritSect());
  if (!FWndHandler) FWndHandler = pool.GetWndHandler(static_cast<uint32_t>(MsgHandlersCount()), FThreadID);
  try {
    FWndHandler->AllocateWindow();
  } catch (...) {
    // Keep no reference to a handler we hold no number in: another component may
    // free it from the pool, and our next attempt would use it.
    if (FWndHandler->MsgCnt() <= 0) pool.FreeWndHandler(FWndHandler);
    FWndHandler = nullptr;
    FThreadID = 0;
    throw;
  }
  FHiddenWnd = FWndHandler->HiddenWnd();
  // A failure from here on leaves the component attached, so that freeing it
  // releases whatever numbers it did take.
  AllocateMsgHandlers();
  RepostCarriedMessages();
}

void TWndControl::DeallocateWindow() {
  if (!FHiddenWnd) return;
  TWndHandlerPool& pool = WndHandlerPool();
  std::lock_guard<std::recursive_mutex> lock(pool.CritSect());
  FreeMsgHandlers();
  if (FWndHandler && FWndHandler->MsgCnt() <= 0) pool.FreeWndHandler(FWndHandler);
  FHiddenWnd = nullptr;
  FWndHandler = nullptr;
  FThreadID = 0;
}

int TWndControl::MsgHandlersCount() {
  return 1;
}

void TWndControl::AllocateMsgHandlers() {
  FMsgRelease = FWndHandler->RegisterMessage(this);
}

void TWndControl::FreeMsgHandlers() {
  if (FWndHandler) FWndHandler->UnregisterMessage(FMsgRelease);
}

void TWndControl::AbortComponent() {}

void TWndControl::Release() {
  winapi::PostMessage(Handle(), FMsgRelease, 0, 0);
}

void TWndControl::ThreadAttach() {
  if (FHiddenWnd) throw ECoreException("Cannot attach when not detached");
  AllocateWindow();
}

void TWndControl::ThreadDetach() {
  if (winapi::GetCurrentThreadId() != FThreadID) throw ECoreException("Cannot detach from another thread");
  TakeOwnMessages();
  DeallocateWindow();
}

bool TWndControl::FollowsThreadMove(uint32_t /*msg*/) {
  return true;
}

// Releasing the numbers would drop these messages; they are kept instead, in queue
// order, until the component has numbers again.
void TWndControl::TakeOwnMessages() {
  if (!FHiddenWnd || !FWndHandler) return;
  std::lock_guard<std::recursive_mutex> lock(WndHandlerPool().CritSect());
  const std::vector<uint32_t> mine = FWndHandler->MessagesOf(this);
  std::vector<winapi::UINT> moving;
  for (uint32_t m : mine)
    if (FollowsThreadMove(m)) moving.push_back(m);
  if (moving.empty()) return;
  for (const winapi::MSG& msg : winapi::TakePostedMessages(FHiddenWnd, moving)) {
    const auto rank = static_cast<size_t>(std::find(mine.begin(), mine.end(), msg.message) - mine.begin());
    FCarried.push_back(TCarriedMessage{rank, msg.wParam, msg.lParam});
  }
}

// The numbers are taken again in the same order, so a rank names the same role.
void TWndControl::RepostCarriedMessages() {
  if (FCarried.empty() || !FWndHandler) return;
  const std::vector<uint32_t> mine = FWndHandler->MessagesOf(this);
  const std::vector<TCarriedMessage> carried = std::move(FCarried);
  FCarried.clear();
  for (const TCarriedMessage& c : carried)
    if (c.rank < mine.size()) winapi::PostMessage(FHiddenWnd, mine[c.rank], c.wParam, c.lParam);
}

void TWndControl::DispatchOne(const winapi::MSG& msg) {
  winapi::TranslateMessage(&msg);
  winapi::DispatchMessage(&msg);
}

void TWndControl::MessageLoop() {
  winapi::MSG msg{};
  // GetMessage gives -1 only for a bad window filter, which we never pass; stopping
  // on it rather than spinning keeps the loop safe all the same.
  while (winapi::GetMessage(&msg, nullptr, 0, 0) > 0) DispatchOne(msg);
  FTerminated = true;
}

bool TWndControl::PumpOneMessage() {
  winapi::MSG msg{};
  if (!winapi::PeekMessage(&msg, nullptr, 0, 0, winapi::PM_REMOVE)) return false;
  if (msg.message == winapi::WM_QUIT) {
    FTerminated = true;
  } else {
    DispatchOne(msg);
  }
  return true;
}

void TWndControl::PumpMessages() {
  while (PumpOneMessage()) {
  }
}

void TWndControl::MessagePump() {
  if (FMultiThreadPump) {
    PumpMessages();
  } else {
    Application().ProcessMessages();
  }
}

}  // namespace core
