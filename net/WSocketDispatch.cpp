// The socket's window messages and their dispatch, the connect and accept
// notifications, background errors, thread moves and the address queries.
#include "net/AddressText.h"
#include "net/CustomWSocket.h"
#include "net/WSocketInternal.h"

namespace net {

using namespace detail;

// --- messages and dispatch -----------------------------------------------------------

int TCustomWSocket::MsgHandlersCount() {
  return core::TWndControl::MsgHandlersCount() + 6;
}

void TCustomWSocket::AllocateMsgHandlers() {
  core::TWndControl::AllocateMsgHandlers();
  FMsgAsyncSelect = FWndHandler->RegisterMessage(this);
  FMsgHostByName = FWndHandler->RegisterMessage(this);
  FMsgHostByAddr = FWndHandler->RegisterMessage(this);
  FMsgCloseDelayed = FWndHandler->RegisterMessage(this);
  FMsgTestException = FWndHandler->RegisterMessage(this);
  FMsgLineData = FWndHandler->RegisterMessage(this);
}

void TCustomWSocket::FreeMsgHandlers() {
  if (FWndHandler) {
    FWndHandler->UnregisterMessage(FMsgAsyncSelect);
    FWndHandler->UnregisterMessage(FMsgHostByName);
    FWndHandler->UnregisterMessage(FMsgHostByAddr);
    FWndHandler->UnregisterMessage(FMsgCloseDelayed);
    FWndHandler->UnregisterMessage(FMsgTestException);
    FWndHandler->UnregisterMessage(FMsgLineData);
  }
  core::TWndControl::FreeMsgHandlers();
}

void TCustomWSocket::WndProc(core::TMessage& MsgRec) {
  const uint32_t m = MsgRec.Msg;
  try {
    if (m == 0) {
      core::TWndControl::WndProc(MsgRec);
    } else if (m == FMsgAsyncSelect) {
      HandleSelectMessage(MsgRec);
    } else if (m == FMsgHostByName) {
      HandleLookupDone(MsgRec);
    } else if (m == FMsgHostByAddr) {
      HandleReverseLookupDone(MsgRec);
    } else if (m == FMsgCloseDelayed) {
      HandleCloseDelayed(MsgRec);
    } else if (m == FMsgTestException) {
      throw ESocketException("Test exception in WSocket");
    } else {
      core::TWndControl::WndProc(MsgRec);  // may free this (release message)
    }
  } catch (const std::exception& e) {
    HandleBackgroundError(e);
  }
}

void TCustomWSocket::HandleSelectMessage(core::TMessage& Msg) {
  if (FHSocket == INVALID_SOCKET || static_cast<SOCKET>(Msg.WParam) != FHSocket) return;
  const uint16_t events = winapi::LOWORD(static_cast<uintptr_t>(Msg.LParam));
  if (FPaused) {
    // Kept for ResumeEvents: a paused socket must not lose a close or a connect
    // outcome (reads and writes are re-announced by the system on resume).
    const uint16_t errCode = NotificationError(Msg.LParam);
    FPausedEvents |= events;
    if (events & kFdConnect) FPausedConnectError = errCode;
    if (events & kFdClose) FPausedCloseError = errCode;
    return;
  }
  const SOCKET handle = FHSocket;
  struct Step {
    uint16_t bit;
    void (TCustomWSocket::*handler)(core::TMessage&);
  };
  static constexpr Step kOrder[] = {{kFdConnect, &TCustomWSocket::HandleFdConnect},
                                    {kFdRead, &TCustomWSocket::HandleFdRead},
                                    {kFdWrite, &TCustomWSocket::HandleFdWrite},
                                    {kFdAccept, &TCustomWSocket::HandleFdAccept},
                                    {kFdClose, &TCustomWSocket::HandleFdClose}};
  for (const Step& step : kOrder) {
    if (!(events & step.bit)) continue;
    // A handler that closed the socket ends the dispatch: the rest belongs to a
    // connection that no longer exists.
    if (FHSocket != handle) break;
    FCurrentEvent = step.bit;
    (this->*step.handler)(Msg);
  }
  FCurrentEvent = 0;
}

void TCustomWSocket::HandleFdConnect(core::TMessage& Msg) {
  if (FSockState == wsConnected) return;
  const uint16_t errCode = NotificationError(Msg.LParam);
  ChangeState(wsConnected);
  TriggerSocketConnected(errCode);
  if (errCode != 0 && FSockState != wsClosed) Close();
}

void TCustomWSocket::HandleFdAccept(core::TMessage& Msg) {
  TriggerSessionAvailable(NotificationError(Msg.LParam));
}

void TCustomWSocket::HandleCloseDelayed(core::TMessage& /*Msg*/) {
  Close();
}

void TCustomWSocket::PostSelfNotification(long Event, uint16_t ErrCode) {
  winapi::PostMessage(Handle(), FMsgAsyncSelect, static_cast<winapi::WPARAM>(FHSocket),
                      winapi::MAKELONG(static_cast<uint16_t>(Event), ErrCode));
}

void TCustomWSocket::HandleBackgroundError(const std::exception& E) {
  bool canClose = true;
  if (TSocketBgExceptionEvent handler = OnBgException) {
    try {
      handler(this, E, canClose);
    } catch (...) {
    }
  }
  if (!canClose) return;
  try {
    Abort();
  } catch (...) {
  }
}

void TCustomWSocket::ThreadAttach() {
  core::TWndControl::ThreadAttach();
  if (FHSocket != INVALID_SOCKET) api::WSAAsyncSelect(FHSocket, Handle(), FMsgAsyncSelect, FSelectEvent);
}

// Network notifications are announced again by the system when the socket is bound
// to its new window; carrying them too would deliver them twice.
bool TCustomWSocket::FollowsThreadMove(uint32_t Msg) {
  return Msg != FMsgAsyncSelect;
}

void TCustomWSocket::ThreadDetach() {
  if (winapi::GetCurrentThreadId() == FThreadID && FHSocket != INVALID_SOCKET)
    api::WSAAsyncSelect(FHSocket, Handle(), 0, 0);
  core::TWndControl::ThreadDetach();
}

// --- address queries ---------------------------------------------------------------

std::string TCustomWSocket::GetPeerAddr() {
  if (FSockState != wsConnected) return "error";
  sockaddr_storage peer{};
  int len = sizeof peer;
  if (api::getpeername(FHSocket, reinterpret_cast<sockaddr*>(&peer), &len) != 0) {
    ApiFailure("GetPeerName");
    return "error";
  }
  return SockaddrText(peer);
}

std::string TCustomWSocket::GetPeerPort() {
  if (FSockState != wsConnected) return "error";
  sockaddr_storage peer{};
  int len = sizeof peer;
  if (api::getpeername(FHSocket, reinterpret_cast<sockaddr*>(&peer), &len) != 0) {
    ApiFailure("GetPeerPort");
    return "error";
  }
  return std::to_string(SockaddrPort(peer));
}

int TCustomWSocket::GetPeerName(sockaddr_in& Name, int NameLen) {
  if (FSockState != wsConnected) return -1;
  return api::getpeername(FHSocket, reinterpret_cast<sockaddr*>(&Name), &NameLen);
}

int TCustomWSocket::GetSockName(sockaddr_in& Name, int& NameLen) {
  return api::getsockname(FHSocket, reinterpret_cast<sockaddr*>(&Name), &NameLen);
}

std::string TCustomWSocket::GetBoundPort() {
  if (FSockState != wsBound && FSockState != wsConnected && FSockState != wsListening) return "error";
  sockaddr_in local{};
  int len = sizeof local;
  if (GetSockName(local, len) != 0) return "error";
  return std::to_string(api::NetToHostShort(local.sin_port));
}

std::string TCustomWSocket::GetBoundAddr() {
  if (FSockState != wsBound && FSockState != wsConnected && FSockState != wsListening) return "error";
  sockaddr_storage local{};
  int len = sizeof local;
  if (api::getsockname(FHSocket, reinterpret_cast<sockaddr*>(&local), &len) != 0) return "error";
  return SockaddrText(local);
}

bool TCustomWSocket::TimeValueIsSet(const TTimeVal& T) {
  return T.tv_sec != 0 || T.tv_usec != 0;
}

void TCustomWSocket::TimeValueClear(TTimeVal& T) {
  T = TTimeVal{};
}

bool TCustomWSocket::TimeValueCompare(const TTimeVal& A, const TTimeVal& B, bool Equal) {
  const bool same = A.tv_sec == B.tv_sec && A.tv_usec == B.tv_usec;
  return Equal ? same : !same;
}

}  // namespace net
