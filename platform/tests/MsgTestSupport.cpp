#include "platform/tests/MsgTestSupport.h"

namespace msgtest {
namespace {

winapi::LRESULT Record(winapi::HWND hwnd, winapi::UINT msg, winapi::WPARAM wParam, winapi::LPARAM) {
  Dispatched().push_back(Seen{hwnd, msg, wParam});
  return 0;
}

}  // namespace

std::vector<Seen>& Dispatched() {
  thread_local std::vector<Seen> seen;
  return seen;
}

const char* RegisterTestClass(const char* name, winapi::WNDPROC proc) {
  winapi::WNDCLASS existing{};
  if (winapi::GetClassInfo(winapi::GetModuleHandle(nullptr), name, &existing)) return name;
  winapi::WNDCLASS wc{};
  wc.lpfnWndProc = proc;
  wc.cbWndExtra = 8;
  wc.hInstance = winapi::GetModuleHandle(nullptr);
  wc.lpszClassName = name;
  winapi::RegisterClass(&wc);
  return name;
}

winapi::HWND CreateHiddenWindow(const char* className) {
  return winapi::CreateWindowEx(winapi::WS_EX_TOOLWINDOW, className, "", winapi::WS_POPUP, 0, 0, 0, 0,
                                nullptr, nullptr, winapi::GetModuleHandle(nullptr), nullptr);
}

const char* RecordingClass() {
  static const char* name = RegisterTestClass("MsgTestRecorder", Record);
  return name;
}

winapi::HWND CreateRecordingWindow() {
  return CreateHiddenWindow(RecordingClass());
}

int Pump() {
  int n = 0;
  winapi::MSG msg;
  while (winapi::PeekMessage(&msg, nullptr, 0, 0, winapi::PM_REMOVE)) {
    ++n;
    if (msg.message == winapi::WM_QUIT) continue;
    winapi::DispatchMessage(&msg);
  }
  return n;
}

}  // namespace msgtest
