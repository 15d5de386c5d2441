// What the event-core tests share: a component with a configurable number of
// private messages, and a pump that waits with a watchdog instead of sleeping.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <vector>

#include "core/WndControl.h"
#include "platform/WinMsg.h"

namespace testsupport_core {

using core::TMessage;

// Takes 1 + extra numbers; OnMsg runs for the extra ones, wrapped like the socket
// wraps its handlers, so an exception becomes a background error.
class TTestControl : public core::TWndControl {
 public:
  explicit TTestControl(core::TComponent* owner = nullptr, int extra = 0)
      : TWndControl(owner), FExtraCount(extra) {}
  ~TTestControl() override {
    if (Alive) *Alive = false;
  }

  int MsgHandlersCount() override { return TWndControl::MsgHandlersCount() + FExtraCount; }
  void AllocateMsgHandlers() override {
    TWndControl::AllocateMsgHandlers();
    for (int i = 0; i < FExtraCount; ++i) Extra.push_back(FWndHandler->RegisterMessage(this));
  }
  void FreeMsgHandlers() override {
    ++FreeMsgHandlersCalls;
    if (FreeCallsOut) ++*FreeCallsOut;
    if (FWndHandler) {
      for (uint32_t& m : Extra) FWndHandler->UnregisterMessage(m);
    }
    Extra.clear();
    TWndControl::FreeMsgHandlers();
  }
  void WndProc(TMessage& m) override {
    for (size_t i = 0; i < Extra.size(); ++i) {
      if (m.Msg != Extra[i]) continue;
      try {
        if (OnMsg) OnMsg(static_cast<int>(i), m);
      } catch (const std::exception& e) {
        HandleBackgroundError(e);
      }
      return;
    }
    TWndControl::WndProc(m);
  }
  void AbortComponent() override { ++AbortCalls; }

  // Number of the extra message i (0-based).
  uint32_t Num(int i) const { return Extra.at(static_cast<size_t>(i)); }
  bool Post(int i, uintptr_t wParam = 0, intptr_t lParam = 0) {
    return winapi::PostMessage(FHiddenWnd, Num(i), wParam, lParam) != 0;
  }

  std::function<void(int, TMessage&)> OnMsg;
  std::vector<uint32_t> Extra;
  std::shared_ptr<bool> Alive;
  int FreeMsgHandlersCalls = 0;
  int* FreeCallsOut = nullptr;  // counts calls beyond the object's life
  int AbortCalls = 0;

 private:
  int FExtraCount;
};

// Dispatches the calling thread's messages until done() holds or timeoutMs passes.
inline bool PumpUntil(const std::function<bool()>& done, int timeoutMs = 5000) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    winapi::MSG msg{};
    while (winapi::PeekMessage(&msg, nullptr, 0, 0, winapi::PM_REMOVE)) {
      if (msg.message != winapi::WM_QUIT) winapi::DispatchMessage(&msg);
    }
    if (done()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    winapi::MsgWaitForMultipleObjects(0, nullptr, 0, 20, 0x1C5);
  }
}

// Dispatches whatever is queued now.
inline void PumpPending() {
  PumpUntil([] { return true; }, 0);
}

}  // namespace testsupport_core
