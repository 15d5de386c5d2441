#include "platform/tests/SockTestSupport.h"

#include "platform/tests/MsgTestSupport.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

namespace socktest {
namespace {

winapi::LRESULT Proc(winapi::HWND hwnd, winapi::UINT msg, winapi::WPARAM wParam, winapi::LPARAM lParam) {
  auto* self = reinterpret_cast<NotifyWindow*>(winapi::GetWindowLong(hwnd, 0));
  if (self == nullptr) return 0;
  Note note{wParam, winapi::LOWORD(static_cast<uintptr_t>(lParam)),
            winapi::HIWORD(static_cast<uintptr_t>(lParam))};
  if (msg == kSelectMsg) {
    self->selects.push_back(note);
    if (self->onSelect) self->onSelect(note);
  } else if (msg == kLookupMsg) {
    self->lookups.push_back(note);
  }
  return 0;
}

const char* ClassName() {
  static const char* name = msgtest::RegisterTestClass("SockTestNotify", Proc);
  return name;
}

}  // namespace

NotifyWindow::NotifyWindow() : hwnd_(msgtest::CreateHiddenWindow(ClassName())) {
  winapi::SetWindowLong(hwnd_, 0, reinterpret_cast<winapi::LONG_PTR>(this));
}

NotifyWindow::~NotifyWindow() {
  winapi::DestroyWindow(hwnd_);
}

int NotifyWindow::Count(long event) const {
  int n = 0;
  for (const Note& note : selects) n += (note.low & event) != 0 ? 1 : 0;
  return n;
}

bool PumpUntil(const std::function<bool()>& done, int watchdogMs) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(watchdogMs);
  for (;;) {
    PumpPending();
    if (done()) return true;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    winapi::MsgWaitForMultipleObjects(0, nullptr, 0, static_cast<winapi::DWORD>(left), 0x1C5);
  }
}

void PumpPending() {
  winapi::MSG msg;
  while (winapi::PeekMessage(&msg, nullptr, 0, 0, winapi::PM_REMOVE)) {
    if (msg.message != winapi::WM_QUIT) winapi::DispatchMessage(&msg);
  }
}

Started::Started() {
  winapi::WSADATA data;
  winapi::WSAStartup(0x0101, &data);
}

Started::~Started() {
  winapi::WSACleanup();
}

sockaddr_in Loopback(uint16_t portNetOrder) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = portNetOrder;
  return addr;
}

winapi::SOCKET Listen(sockaddr_in& addr, int backlog) {
  winapi::SOCKET s = winapi::socket(AF_INET, SOCK_STREAM, 0);
  addr = Loopback(0);
  winapi::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  winapi::listen(s, backlog);
  int len = sizeof addr;
  winapi::getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len);
  return s;
}

sockaddr_in ClosedPort() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr = Loopback(0);
  ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  socklen_t len = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  ::close(fd);
  return addr;
}

int RawConnect(const sockaddr_in& addr) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

bool RawSendAll(int fd, const char* data, size_t len) {
  while (len > 0) {
    ssize_t n = ::send(fd, data, len, MSG_NOSIGNAL);
    if (n <= 0) return false;
    data += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

void RawReset(int fd) {
  linger lg{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
  ::close(fd);
}

}  // namespace socktest
