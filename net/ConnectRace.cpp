// The connection race: attempts, their timer, and handing the winner over.
#include "net/ConnectRace.h"

#include "net/AddressText.h"
#include "net/SocketApi.h"
#include "net/SocketErrorText.h"
#include "net/WSocketInternal.h"

namespace net {

using winapi::INVALID_SOCKET;

std::string AttemptResultText(const TConnectAttempt& a) {
  switch (a.result) {
    case TAttemptResult::won:
      return "won";
    case TAttemptResult::failed:
      return "failed: " + SocketErrorText(a.error) + " (#" + std::to_string(a.error) + ")";
    case TAttemptResult::abandoned:
      return "no answer";
    case TAttemptResult::running:
      break;
  }
  return "running";
}

std::vector<std::string> InterleaveFamilies(const std::vector<std::string>& addrs) {
  std::vector<std::string> v6, v4, out;
  for (const std::string& a : addrs) (IsIPv6Literal(a) ? v6 : v4).push_back(a);
  for (size_t i = 0; i < std::max(v6.size(), v4.size()); ++i) {
    if (i < v6.size()) out.push_back(v6[i]);
    if (i < v4.size()) out.push_back(v4[i]);
  }
  return out;
}

// Counted like a socket: the API stays loaded while the race may use it.
TConnectRace::TConnectRace(core::TComponent* AOwner) : core::TWndControl(AOwner) {
  IncrementSocketUseCount();
}

TConnectRace::~TConnectRace() {
  DecrementSocketUseCount();
}

void TConnectRace::BeforeDestruction() {
  Cancel();
  core::TWndControl::BeforeDestruction();
}

int TConnectRace::MsgHandlersCount() {
  return core::TWndControl::MsgHandlersCount() + 3;
}

void TConnectRace::AllocateMsgHandlers() {
  core::TWndControl::AllocateMsgHandlers();
  FMsgSelect = FWndHandler->RegisterMessage(this);
  FMsgTimer = FWndHandler->RegisterMessage(this);
  FMsgDone = FWndHandler->RegisterMessage(this);
}

void TConnectRace::FreeMsgHandlers() {
  if (FWndHandler) {
    if (FTimerOn && FHiddenWnd) winapi::KillTimer(FHiddenWnd, FMsgTimer);
    FTimerOn = false;
    FWndHandler->UnregisterMessage(FMsgSelect);
    FWndHandler->UnregisterMessage(FMsgTimer);
    FWndHandler->UnregisterMessage(FMsgDone);
  }
  core::TWndControl::FreeMsgHandlers();
}

int64_t TConnectRace::Now() const {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - FStart)
      .count();
}

void TConnectRace::Start(const std::vector<std::string>& Addrs, uint16_t Port, bool Race) {
  Cancel();
  ++FSerial;
  FAttempts.clear();
  FPending = Addrs;
  FPort = Port;
  FRace = Race;
  FRunning = true;
  FLastError = winapi::WSAEINVAL;  // nothing to try at all
  FStart = std::chrono::steady_clock::now();
  Handle();
  StartNext();
}

// One attempt after another until one is under way (a failure at once moves on).
void TConnectRace::StartNext() {
  while (FRunning && !FPending.empty()) {
    TConnectAttempt a;
    a.addr = FPending.front();
    FPending.erase(FPending.begin());
    a.startNs = Now();
    const bool underWay = OpenAttempt(a);
    FAttempts.push_back(a);
    if (underWay) {
      SetTimer(FRace && !FPending.empty());
      return;
    }
    FLastError = a.error;
  }
  SetTimer(false);
  bool anyRunning = false;
  for (const TConnectAttempt& a : FAttempts) anyRunning |= a.result == TAttemptResult::running;
  if (FRunning && !anyRunning) Finish(FLastError);
}

bool TConnectRace::OpenAttempt(TConnectAttempt& a) {
  sockaddr_storage peer{};
  int len = 0;
  in6_addr a6{};
  if (ParseIPv6(a.addr, a6)) {
    auto& s6 = reinterpret_cast<sockaddr_in6&>(peer);
    s6.sin6_family = AF_INET6;
    s6.sin6_addr = a6;
    s6.sin6_port = api::HostToNetShort(FPort);
    a.family = AF_INET6;
    len = sizeof s6;
  } else if (auto& s4 = reinterpret_cast<sockaddr_in&>(peer);
             IsDottedAddress(a.addr) && api::inet_pton(AF_INET, a.addr.c_str(), &s4.sin_addr) == 1) {
    s4.sin_family = AF_INET;
    s4.sin_port = api::HostToNetShort(FPort);
    len = sizeof s4;
  }
  auto fail = [&](int error) {
    a.result = TAttemptResult::failed;
    a.error = static_cast<uint16_t>(error);
    a.endNs = Now();
    if (a.handle != INVALID_SOCKET) api::closesocket(a.handle);
    a.handle = INVALID_SOCKET;
    return false;
  };
  if (len == 0) return fail(winapi::WSAEINVAL);
  a.handle = api::socket(a.family, SOCK_STREAM, IPPROTO_TCP);
  if (a.handle == INVALID_SOCKET) return fail(api::WSAGetLastError());
  if (api::WSAAsyncSelect(a.handle, Handle(), FMsgSelect, winapi::FD_CONNECT) != 0)
    return fail(api::WSAGetLastError());
  if (api::connect(a.handle, reinterpret_cast<const sockaddr*>(&peer), len) != 0 &&
      api::WSAGetLastError() != winapi::WSAEWOULDBLOCK)
    return fail(api::WSAGetLastError());
  return true;
}

void TConnectRace::WndProc(core::TMessage& MsgRec) {
  if (MsgRec.Msg == FMsgSelect) {
    const auto handle = static_cast<winapi::SOCKET>(MsgRec.WParam);
    if (winapi::LOWORD(static_cast<uintptr_t>(MsgRec.LParam)) != winapi::FD_CONNECT) return;
    for (size_t i = 0; i < FAttempts.size(); ++i) {
      if (FAttempts[i].handle == handle && FAttempts[i].result == TAttemptResult::running) {
        AttemptFinished(i, detail::NotificationError(MsgRec.LParam));
        return;
      }
    }
  } else if (MsgRec.Msg == winapi::WM_TIMER && MsgRec.WParam == FMsgTimer) {
    SetTimer(false);
    StartNext();
  } else if (MsgRec.Msg == FMsgDone) {
    if (MsgRec.WParam != FSerial) return;
    if (TDoneEvent handler = OnDone) handler(this, static_cast<uint16_t>(MsgRec.LParam));
  } else {
    core::TWndControl::WndProc(MsgRec);
  }
}

void TConnectRace::AttemptFinished(size_t index, uint16_t ErrCode) {
  TConnectAttempt& a = FAttempts[index];
  a.endNs = Now();
  if (ErrCode == 0) {
    a.result = TAttemptResult::won;
    // The winner leaves the race's window; its new owner selects its own events.
    api::WSAAsyncSelect(a.handle, Handle(), 0, 0);
    FWinner = a.handle;
    a.handle = INVALID_SOCKET;
    CloseRunning(TAttemptResult::abandoned);
    Finish(0);
    return;
  }
  a.result = TAttemptResult::failed;
  a.error = ErrCode;
  api::closesocket(a.handle);
  a.handle = INVALID_SOCKET;
  FLastError = ErrCode;
  StartNext();  // a failure starts the next attempt at once
}

void TConnectRace::Finish(uint16_t ErrCode) {
  FRunning = false;
  FPending.clear();
  SetTimer(false);
  winapi::PostMessage(Handle(), FMsgDone, FSerial, ErrCode);
}

void TConnectRace::CloseRunning(TAttemptResult Result) {
  for (TConnectAttempt& a : FAttempts) {
    if (a.result != TAttemptResult::running) continue;
    a.result = Result;
    a.endNs = Now();
    if (a.handle != INVALID_SOCKET) api::closesocket(a.handle);
    a.handle = INVALID_SOCKET;
  }
}

void TConnectRace::Cancel() {
  CloseRunning(TAttemptResult::abandoned);
  if (FWinner != INVALID_SOCKET) api::closesocket(FWinner);
  FWinner = INVALID_SOCKET;
  FPending.clear();
  FRunning = false;
  SetTimer(false);
  ++FSerial;  // a posted end of the cancelled race is no longer ours
}

winapi::SOCKET TConnectRace::TakeWinner() {
  const winapi::SOCKET h = FWinner;
  FWinner = INVALID_SOCKET;
  return h;
}

const TConnectAttempt* TConnectRace::Winner() const {
  for (const TConnectAttempt& a : FAttempts)
    if (a.result == TAttemptResult::won) return &a;
  return nullptr;
}

void TConnectRace::SetTimer(bool On) {
  if (On) {
    winapi::SetTimer(Handle(), FMsgTimer, AttemptDelay, nullptr);
  } else if (FTimerOn && FHiddenWnd) {
    winapi::KillTimer(FHiddenWnd, FMsgTimer);
  }
  FTimerOn = On;
}

}  // namespace net
