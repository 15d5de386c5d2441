// What the socket tests share: a message pump with a watchdog, a recorder of the
// socket's events, and a socket class that shows a few protected fields.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "core/Application.h"
#include "net/WSocket.h"
#include "testsupport/MessagePump.h"

namespace net::testing {

using namespace std::chrono_literals;

using testsupport::PumpUntil;

// Dispatches everything queued now (and what that queues in turn).
inline void PumpPending() {
  core::Application().ProcessMessages();
}

// Lets the system queue the next notification (harvesting without dispatching);
// true once something is queued.
inline bool WaitUntilQueued() {
  winapi::MSG msg;
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (!winapi::ThreadHasPendingWork() && std::chrono::steady_clock::now() < deadline)
    winapi::PeekMessage(&msg, nullptr, 0, 0, winapi::PM_NOREMOVE);
  return winapi::PeekMessage(&msg, nullptr, 0, 0, winapi::PM_NOREMOVE) != 0;
}

// A socket that shows what the tests check from the inside.
class TTestSocket : public TWSocket {
 public:
  using TWSocket::TWSocket;
  uint32_t PortNum() const { return FPortNum; }
  uint16_t SinPort() const { return ntohs(FSin.sin_port); }
  uint32_t SinAddr() const { return FSin.sin_addr.s_addr; }
  bool CloseInvoked() const { return FCloseInvoked; }
  bool AddrAssigned() const { return FAddrAssigned; }
  bool PortAssigned() const { return FPortAssigned; }
  int AssignDefaultsRuns = 0;
  int64_t RawBytes = 0;  // every byte a system receive call returned
  int RecvRaw(void* Buffer, int Size, int Flags) override {
    const int n = TWSocket::RecvRaw(Buffer, Size, Flags);
    if (n > 0) RawBytes += n;
    return n;
  }
  void AssignDefaults() override {
    TWSocket::AssignDefaults();
    ++AssignDefaultsRuns;
  }
};

// Records the socket's events as short texts, in order.
struct EventLog {
  std::vector<std::string> events;

  void Attach(TCustomWSocket& s) {
    s.OnChangeState = [this](core::TComponent*, TSocketState, TSocketState n) {
      events.push_back(std::string("state ") + SocketStateName(n));
    };
    s.OnSessionConnected = [this](core::TComponent*, uint16_t e) { Add("connected", e); };
    s.OnSessionClosed = [this](core::TComponent*, uint16_t e) { Add("closed", e); };
    s.OnDataSent = [this](core::TComponent*, uint16_t e) { Add("sent", e); };
    s.OnDnsLookupDone = [this](core::TComponent*, uint16_t e) { Add("dns", e); };
  }
  void Add(const std::string& what, int code) { events.push_back(what + " " + std::to_string(code)); }
  size_t Count(const std::string& e) const {
    return static_cast<size_t>(std::count(events.begin(), events.end(), e));
  }
  bool Has(const std::string& e) const { return Count(e) > 0; }
  std::string Text() const {
    std::string t;
    for (const auto& e : events) t += e + "; ";
    return t;
  }
};

// Collects every error report instead of letting it raise.
struct ErrorTrap {
  std::vector<int> codes;
  void Attach(TCustomWSocket& s) {
    s.OnError = [this, &s](core::TComponent*) { codes.push_back(s.LastError()); };
  }
};

}  // namespace net::testing

namespace net::testing {

// The message of the ESocketException that f raises, or "" when it raises none.
inline std::string ReportOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const ESocketException& e) {
    return e.Message();
  }
  return {};
}

}  // namespace net::testing
