// What the socket-layer tests share: a window that records select notifications
// and lookup completions and may react to them, a pump with a watchdog, and
// loopback helpers. Everything runs on the calling thread unless a test starts a
// peer thread itself.
#pragma once

#include <netinet/in.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/WinSock.h"

namespace socktest {

constexpr winapi::UINT kSelectMsg = winapi::WM_USER + 11;
constexpr winapi::UINT kLookupMsg = winapi::WM_USER + 12;

struct Note {
  winapi::WPARAM wParam;  // the socket, or the lookup handle
  winapi::WORD low;       // the event, or the size needed
  winapi::WORD error;
};

// A hidden window owned by the creating thread. Notifications are recorded in
// order; onSelect, if set, runs for each select notification after recording.
class NotifyWindow {
 public:
  NotifyWindow();
  ~NotifyWindow();
  NotifyWindow(const NotifyWindow&) = delete;
  NotifyWindow& operator=(const NotifyWindow&) = delete;

  winapi::HWND hwnd() const { return hwnd_; }
  int Count(long event) const;  // select notifications with this event bit

  std::vector<Note> selects;
  std::vector<Note> lookups;
  std::function<void(const Note&)> onSelect;

 private:
  winapi::HWND hwnd_;
};

// Pumps the calling thread's queue until done() holds or watchdogMs pass. Returns done().
bool PumpUntil(const std::function<bool()>& done, int watchdogMs = 2000);
// Dispatches what is pending now.
void PumpPending();

// Makes WSAStartup/WSACleanup bracket a test.
struct Started {
  Started();
  ~Started();
};

sockaddr_in Loopback(uint16_t portNetOrder);
// A winapi socket listening on 127.0.0.1 with a free port; addr receives its address.
winapi::SOCKET Listen(sockaddr_in& addr, int backlog = 8);
// A free port with nothing listening on it (bound and closed again).
sockaddr_in ClosedPort();

// Blocking POSIX peer helpers, for peer threads.
int RawConnect(const sockaddr_in& addr);
bool RawSendAll(int fd, const char* data, size_t len);
void RawReset(int fd);  // close with SO_LINGER {1, 0}: the peer sees a reset

}  // namespace socktest
