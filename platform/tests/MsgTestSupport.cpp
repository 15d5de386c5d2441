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

const char* RecordingClass() {
  static const char* name = [] {
    static const char kName[] = "MsgTestRecorder";
    winapi::WNDCLASS wc{};
    wc.lpfnWndProc = Record;
    wc.cbWndExtra = 8;
    wc.hInstance = winapi::GetModuleHandle(nullptr);
    wc.lpszClassName = kName;
    winapi::RegisterClass(&wc);
    return kName;
  }();
  return name;
}

winapi::HWND CreateRecordingWindow() {
  return winapi::CreateWindowEx(winapi::WS_EX_TOOLWINDOW, RecordingClass(), "", winapi::WS_POPUP, 0, 0, 0, 0,
                                nullptr, nullptr, winapi::GetModuleHandle(nullptr), nullptr);
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
