// The server side of the socket: Listen for stream, datagram and raw sockets,
// Accept, and adopting an accepted handle with Dup.
#include "net/CustomWSocket.h"

namespace net {

namespace {
constexpr long kListenStreamEvents = 40;    // accept + close
constexpr long kListenDatagramEvents = 43;  // accept + close + read + write
constexpr long kDupEvents = 51;             // read + write + connect + close
}  // namespace

bool TCustomWSocket::ResolveForListen() {
  try {
    if (!FProtoResolved) {
      if (core::SameText(core::Copy(FProtoStr, 1, 4), "raw_")) {
        FType = SOCK_RAW;
        FProto = static_cast<int>(ResolveProto(core::Copy(FProtoStr, 5, 10)));
      } else {
        FProto = static_cast<int>(ResolveProto(FProtoStr));
        FType = FProto == IPPROTO_UDP ? SOCK_DGRAM : SOCK_STREAM;
      }
      FProtoResolved = true;
    }
    if (!FPortResolved) {
      FPortNum = ResolvePort(FPortStr, FProtoStr) & 0xFFFFu;
      FSin.sin_port = api::HostToNetShort(static_cast<uint16_t>(FPortNum));
      FPortResolved = true;
    }
    if (!FAddrResolved) {
      ResolveAddr();
      FAddrResolved = true;
    }
  } catch (const std::exception& e) {
    ReportError("listen: " + core::ExceptionMessage(e));
    return false;
  }
  return true;
}

void TCustomWSocket::Listen() {
  // A second handle would leak the first, which would go on listening.
  if (FHSocket != INVALID_SOCKET && FSockState != wsClosed)
    return ReportError("Listen: Socket already in use");
  const char* missing = !FPortAssigned    ? "listen: port not assigned"
                        : !FProtoAssigned ? "listen: protocol not assigned"
                        : !FAddrAssigned  ? "listen: address not assigned"
                                          : nullptr;
  if (missing) {
    api::WSASetLastError(winapi::WSAEINVAL);
    return ApiFailure(missing);
  }
  if (!ResolveForListen()) return;
  DiscardSendBuffer();
  FHSocket = api::socket(FAddrFormat, FType, FProto);
  if (FHSocket == INVALID_SOCKET) return ApiFailure("socket");
  CloseHandleOnFailure([this] { return ReadSocketBufSizes() && ListenSteps(); }, true);
}

// An event handler may close the socket (or start it anew) while Listen runs: the
// rest of Listen then belongs to no socket and stops without a report.
bool TCustomWSocket::ClosedDuringListen(SOCKET Handle) const {
  return FHSocket != Handle || FHSocket == INVALID_SOCKET;
}

bool TCustomWSocket::ListenSteps() {
  const SOCKET handle = FHSocket;
  if (FType == SOCK_DGRAM && FReuseAddr &&
      !SetIntOption(SOL_SOCKET, SO_REUSEADDR, -1, "setsockopt(SO_REUSEADDR)"))
    return false;
  // A multicast member takes Addr as the interface of its membership. Linux hands a
  // group's datagrams only to sockets bound to any address (or to the group), not to
  // one bound to the interface's own address, so the port is bound on all of them.
  sockaddr_in local = FSin;
  if (FType == SOCK_DGRAM && FMultiCast) local.sin_addr.s_addr = INADDR_ANY;
  int localLen = sizeof local;
  const sockaddr* bindTo = reinterpret_cast<const sockaddr*>(&local);
  if (FAddrFormat == AF_INET6) bindTo = ResolvedSockaddr(localLen);
  if (api::bind(FHSocket, bindTo, localLen) != 0) {
    ApiFailure("Bind");
    return false;
  }
  ChangeState(wsBound);
  if (ClosedDuringListen(handle)) return true;
  if (!ListenByType(handle)) return false;
  if (ClosedDuringListen(handle)) return true;
  FSelectEvent = FType == SOCK_STREAM ? kListenStreamEvents : kListenDatagramEvents;
  if (api::WSAAsyncSelect(FHSocket, Handle(), FMsgAsyncSelect, FSelectEvent) != 0) {
    ApiFailure("WSAASyncSelect");
    return false;
  }
  return true;
}

// A failed Listen or Connect must not keep a handle that the next call would
// overwrite: after the report (also when the report raises) the handle is closed,
// with the close events once the socket has left wsClosed, silently before.
bool TCustomWSocket::CloseHandleOnFailure(const std::function<bool()>& Steps, bool EvenWhenOpened) {
  auto closeFailed = [&] {
    if (FHSocket == INVALID_SOCKET) return;
    if (FSockState == wsClosed) {
      api::closesocket(FHSocket);
      FHSocket = INVALID_SOCKET;
    } else if (EvenWhenOpened) {
      Close();
    }
  };
  bool ok = false;
  try {
    ok = Steps();
  } catch (...) {
    closeFailed();
    throw;
  }
  if (!ok) closeFailed();
  return ok;
}

// False on a failure; true when done, also when a handler closed the socket.
bool TCustomWSocket::ListenByType(SOCKET Handle) {
  if (FType == SOCK_STREAM) {
    if (api::listen(FHSocket, FListenBacklog) != 0) {
      ApiFailure("Listen");
      return false;
    }
    ChangeState(wsListening);
    return true;
  }
  if (FType == SOCK_DGRAM) {
    if (FMultiCast) {
      ip_mreq mreq{};
      mreq.imr_multiaddr.s_addr = api::inet_addr(FMultiCastAddrStr.c_str());
      mreq.imr_interface.s_addr = ResolveHost(FAddrStr);
      if (WSocket_setsockopt(FHSocket, IPPROTO_IP, IP_ADD_MEMBERSHIP, reinterpret_cast<const char*>(&mreq),
                             sizeof mreq) != 0) {
        ApiFailure("setsockopt(IP_ADD_MEMBERSHIP)");
        return false;
      }
    }
  } else if (FType == SOCK_RAW) {
    if (FComponentOptions.Contains(wsoSIO_RCVALL)) {
      uint32_t in = 1, out = 0;
      winapi::DWORD returned = 0;
      if (WSocket_WSAIoctl(FHSocket, winapi::SIO_RCVALL, &in, sizeof in, &out, sizeof out, &returned, nullptr,
                           nullptr) == -1) {
        ApiFailure("WSAIoctl(SIO_RCVALL)");
        return false;
      }
    }
  } else {
    ApiFailure("Listen: unexpected protocol.");
    return false;
  }
  ChangeState(wsListening);
  if (ClosedDuringListen(Handle)) return true;
  ChangeState(wsConnected);
  if (ClosedDuringListen(Handle)) return true;
  TriggerSocketConnected(0);
  return true;
}

SOCKET TCustomWSocket::Accept() {
  if (FSockState != wsListening) {
    api::WSASetLastError(winapi::WSAEINVAL);
    ApiFailure("not a listening socket");
    return INVALID_SOCKET;
  }
  // The peer's address lands where its family belongs.
  sockaddr_storage peer{};
  int len = sizeof peer;
  FASocket = api::accept(FHSocket, reinterpret_cast<sockaddr*>(&peer), &len);
  if (FASocket != INVALID_SOCKET && peer.ss_family == AF_INET6)
    FSin6 = reinterpret_cast<const sockaddr_in6&>(peer);
  else if (FASocket != INVALID_SOCKET)
    FSin = reinterpret_cast<const sockaddr_in&>(peer);
  if (FASocket == INVALID_SOCKET) ApiFailure("Accept");
  return FASocket;
}

void TCustomWSocket::Dup(SOCKET NewHSocket) {
  if (NewHSocket == 0 || NewHSocket == INVALID_SOCKET) {
    api::WSASetLastError(winapi::WSAEINVAL);
    return ApiFailure("Dup");
  }
  if (FSockState != wsClosed) {
    const int r = api::closesocket(FHSocket);
    FHSocket = INVALID_SOCKET;
    // What was queued for the old peer must not reach the new one.
    DiscardSendBuffer();
    FAllSent = true;
    if (r != 0) return ApiFailure("Dup (closesocket)");
    ChangeState(wsClosed);
  }
  StartAdoptedConnection();
  FHSocket = NewHSocket;
  if (!ReadSocketBufSizes()) return;
  ApplyLinger();
  FSelectEvent = kDupEvents;
  if (api::WSAAsyncSelect(FHSocket, Handle(), FMsgAsyncSelect, FSelectEvent) != 0)
    return ApiFailure("WSAAsyncSelect");
  DupConnected();
}

// The adopted connection starts with nothing of the previous one.
void TCustomWSocket::StartAdoptedConnection() {
  FReadCount = 0;
  FCloseInvoked = false;
  FRcvdFlag = false;
  FPaused = false;
  FPausedEvents = 0;
  FPausedConnectError = 0;
  FPausedCloseError = 0;
}

void TCustomWSocket::DupConnected() {
  ChangeState(wsConnected);
}

}  // namespace net
