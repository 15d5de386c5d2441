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

void TConsoleApplication::ProcessMessages() {
  ProcessMessagesUntil([] { return false; });
}

void TConsoleApplication::ProcessMessagesUntil(const std::function<bool()>& stop) {
  winapi::MSG msg{};
  while (!stop() && winapi::PeekMessage(&msg, nullptr, 0, 0, winapi::PM_REMOVE)) {
    if (msg.message == winapi::WM_QUIT) {
      Terminate();
      continue;
    }
    winapi::TranslateMessage(&msg);
    winapi::DispatchMessage(&msg);
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
