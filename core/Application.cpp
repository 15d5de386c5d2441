#include "core/Application.h"

#include "platform/WinMsg.h"

namespace core {

namespace {

// Every message kind a waiting thread cares about except timers: posted, hot-key,
// sent, mouse-button and key input (QS_ALLPOSTMESSAGE | QS_HOTKEY | QS_SENDMESSAGE |
// QS_MOUSEBUTTON | QS_KEY).
constexpr winapi::DWORD WaitWakeMask = 0x1C5;

std::atomic<IApplication*> GInstalled{nullptr};

TConsoleApplication& ConsoleApplication() {
  // Never destroyed: code running from other static destructors may still pump.
  static auto* app = new TConsoleApplication;
  return *app;
}

}  // namespace

// A server that never stops sending keeps the queue from ever running empty: the
// loop also ends, after at least one message, once the program is terminating
// (this object, or the application installed around it, such as one that ends
// at a time limit), so a waiting caller gets to see it.
void TConsoleApplication::ProcessMessages() {
  ProcessMessagesUntil([] { return false; });
}

void TConsoleApplication::ProcessMessagesUntil(const std::function<bool()>& stop) {
  winapi::MSG msg{};
  while (!stop() && winapi::PeekMessage(&msg, nullptr, 0, 0, winapi::PM_REMOVE)) {
    if (msg.message == winapi::WM_QUIT) {
      Terminate();
    } else {
      winapi::TranslateMessage(&msg);
      winapi::DispatchMessage(&msg);
    }
    if (Terminated() || Application().Terminated()) return;
  }
}

bool TConsoleApplication::WaitMessage(uint32_t timeoutMs) {
  return winapi::MsgWaitForMultipleObjects(0, nullptr, 0, timeoutMs, WaitWakeMask) == winapi::WAIT_OBJECT_0;
}

IApplication& Application() {
  IApplication* app = GInstalled.load();
  return app ? *app : ConsoleApplication();
}

void SetApplication(IApplication* app) {
  GInstalled.store(app);
}

}  // namespace core
