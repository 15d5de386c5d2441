// Resolution of address, port and protocol, Connect step by step, binding and
// the socket options Connect applies.
#include <cstring>

#include "net/AddressText.h"
#include "net/CustomWSocket.h"
#include "net/SocketErrorText.h"
#include "net/WSocketInternal.h"

namespace net {

using detail::DottedText;

namespace {
// Read, write, accept, connect and close: what a connecting socket listens for.
constexpr long kConnectEvents = 59;
}  // namespace

// --- resolution -----------------------------------------------------------------

uint32_t ResolveHost(const std::string& host) {
  if (host.empty()) throw ESocketException("Winsock Resolve Host: '" + host + "' Invalid Hostname.");
  if (IsDottedAddress(host)) {
    // A dotted address may come with blanks around it; the conversion takes none.
    const std::string dotted = core::Trim(host);
    const uint32_t a = api::inet_addr(dotted.c_str());
    if (a == INADDR_NONE && dotted != "255.255.255.255")
      throw ESocketException("Winsock Resolve Host: '" + host + "' Invalid IP address.");
    return a;
  }
  hostent* he = api::gethostbyname(host.c_str());
  if (!he || !he->h_addr_list || !he->h_addr_list[0])
    throw ESocketException("Winsock Resolve Host: Cannot convert host address '" + host + "' - " +
                           SocketErrorMessage(api::WSAGetLastError()));
  uint32_t a = 0;
  std::memcpy(&a, he->h_addr_list[0], sizeof a);
  return a;
}

uint32_t ResolvePort(const std::string& port, const std::string& proto) {
  if (port.empty()) throw ESocketException("Winsock Resolve Port: Invalid Port.");
  if (proto.empty()) throw ESocketException("Winsock Resolve Port: Invalid Proto.");
  if (IsDigitChar(port[0])) return ParseDigits(port);
  servent* se = api::getservbyname(port.c_str(), proto.c_str());
  if (!se)
    throw ESocketException("Winsock Resolve Port: Cannot convert port '" + port + "' - " +
                           SocketErrorMessage(api::WSAGetLastError()));
  return api::NetToHostShort(static_cast<uint16_t>(se->s_port));
}

uint32_t ResolveProto(const std::string& proto) {
  if (proto.empty()) throw ESocketException("Winsock Resolve Proto: Invalid Protocol.");
  if (IsDigitChar(proto[0])) return ParseDigits(proto);
  const std::string name = core::LowerCase(core::Trim(proto));
  if (name == "tcp") return IPPROTO_TCP;
  if (name == "udp") return IPPROTO_UDP;
  if (name == "raw") return IPPROTO_RAW;
  protoent* pe = api::getprotobyname(name.c_str());
  if (!pe)
    throw ESocketException("Winsock Resolve Proto: Cannot convert protocol '" + proto + "' - " +
                           SocketErrorMessage(api::WSAGetLastError()));
  return static_cast<uint32_t>(pe->p_proto);
}

// --- Connect ----------------------------------------------------------------------

bool TCustomWSocket::ResolveForConnect() {
  try {
    if (!FProtoResolved) {
      FProto = static_cast<int>(ResolveProto(FProtoStr));
      FType = FProto == IPPROTO_TCP ? SOCK_STREAM : FProto == IPPROTO_UDP ? SOCK_DGRAM : SOCK_RAW;
      FProtoResolved = true;
    }
    if (!FPortResolved) {
      FPortNum = ResolvePort(FPortStr, FProtoStr) & 0xFFFFu;
      FSin.sin_port = api::HostToNetShort(static_cast<uint16_t>(FPortNum));
      FPortResolved = true;
    }
    if (!FLocalPortResolved) {
      FLocalPortNum = ResolvePort(FLocalPortStr, FProtoStr) & 0xFFFFu;
      FLocalPortResolved = true;
    }
    if (!FAddrResolved) {
      ResolveAddr();
      FAddrResolved = true;
    }
  } catch (const std::exception& e) {
    ReportError("connect: " + core::ExceptionMessage(e));
    return false;
  }
  return true;
}

// An IPv6 literal is taken as it is; anything else as the IPv4 resolution has it.
void TCustomWSocket::ResolveAddr() {
  in6_addr a6{};
  if (ParseIPv6(FAddrStr, a6)) {
    FSin6 = sockaddr_in6{};
    FSin6.sin6_family = AF_INET6;
    FSin6.sin6_addr = a6;
    FAddrFormat = AF_INET6;
    return;
  }
  FSin.sin_addr.s_addr = ResolveHost(FAddrStr);
  FAddrFormat = AF_INET;
}

const sockaddr* TCustomWSocket::ResolvedSockaddr(int& Len) {
  if (FAddrFormat == AF_INET6) {
    FSin6.sin6_port = FSin.sin_port;
    Len = sizeof FSin6;
    return reinterpret_cast<const sockaddr*>(&FSin6);
  }
  Len = sizeof FSin;
  return reinterpret_cast<const sockaddr*>(&FSin);
}

bool TCustomWSocket::ReadSocketBufSizes() {
  int len = sizeof FSocketSndBufSize;
  if (WSocket_getsockopt(FHSocket, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<char*>(&FSocketSndBufSize),
                         &len) != 0) {
    ApiFailure("getsockopt(SO_SNDBUF)");
    return false;
  }
  len = sizeof FSocketRcvBufSize;
  if (WSocket_getsockopt(FHSocket, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<char*>(&FSocketRcvBufSize),
                         &len) != 0) {
    ApiFailure("getsockopt(SO_RCVBUF)");
    return false;
  }
  return true;
}

bool TCustomWSocket::SetIntOption(int Level, int Name, int Value, const char* FailName) {
  if (WSocket_setsockopt(FHSocket, Level, Name, reinterpret_cast<const char*>(&Value), sizeof Value) == 0)
    return true;
  ApiFailure(FailName);
  return false;
}

bool TCustomWSocket::ApplyDatagramOptions() {
  Bind();
  if (FMultiCast) {
    if (FMultiCastIpTTL != 1 &&
        !SetIntOption(IPPROTO_IP, IP_MULTICAST_TTL, FMultiCastIpTTL, "setsockopt(IP_MULTICAST_TTL)"))
      return false;
    if (FLocalAddr != "0.0.0.0") {
      in_addr iface{};
      iface.s_addr = ResolveHost(FLocalAddr);
      if (WSocket_setsockopt(FHSocket, IPPROTO_IP, IP_MULTICAST_IF, reinterpret_cast<const char*>(&iface),
                             sizeof iface) != 0) {
        ApiFailure("setsockopt(IP_MULTICAST_IF)");
        return false;
      }
    }
  }
  if (FSin.sin_addr.s_addr == INADDR_NONE &&
      !SetIntOption(SOL_SOCKET, SO_BROADCAST, 1, "setsockopt(SO_BROADCAST)"))
    return false;
  return true;
}

bool TCustomWSocket::ApplyStreamOptions(bool BindLocal) {
  if (!SetIntOption(SOL_SOCKET, SO_REUSEADDR, -1, "setsockopt(SO_REUSEADDR)")) return false;
  if (FComponentOptions.Contains(wsoTcpNoDelay) &&
      !SetIntOption(IPPROTO_TCP, TCP_NODELAY, -1, "setsockopt(IPPROTO_TCP, TCP_NODELAY)"))
    return false;
  ApplyLinger();
  ApplyKeepAlive();
  if (BindLocal && (FLocalPortNum != 0 || FLocalAddr != "0.0.0.0")) Bind();
  return true;
}

void TCustomWSocket::Connect() {
  if (FHSocket != INVALID_SOCKET && FSockState != wsClosed) {
    ReportError("Connect: Socket already in use");
    return;
  }
  if (!FPortAssigned) return ReportError("Connect: No Port Specified");
  if (!FAddrAssigned) return ReportError("Connect: No IP Address Specified");
  if (!FProtoAssigned) return ReportError("Connect: No Protocol Specified");
  if (!ResolveForConnect()) return;
  DiscardSendBuffer();

  FHSocket = api::socket(FAddrFormat, FType, FProto);
  if (FHSocket == INVALID_SOCKET) return ApiFailure("Connect (socket)");
  // Until the socket leaves wsClosed nothing else could close this handle.
  if (!CloseHandleOnFailure([this] { return ReadSocketBufSizes(); }, false)) return;
  ChangeState(wsOpened);
  if (FSockState != wsOpened) {
    api::WSASetLastError(winapi::WSAEINVAL);
    return ApiFailure("Connect (Invalid operation in OnChangeState)");
  }
  if (FType == SOCK_DGRAM) {
    if (!ApplyDatagramOptions()) return;
  } else if (!ApplyStreamOptions()) {
    return;
  }
  FSelectEvent = kConnectEvents;
  if (api::WSAAsyncSelect(FHSocket, Handle(), FMsgAsyncSelect, FSelectEvent) != 0)
    return ApiFailure("WSAAsyncSelect");
  if (FType == SOCK_DGRAM) {
    ChangeState(wsConnected);
    TriggerSocketConnected(0);
    return;
  }
  const std::string peerText =
      FAddrFormat == AF_INET6 ? IPv6Text(FSin6.sin6_addr) : DottedText(FSin.sin_addr.s_addr);
  if (LogEnabled(core::loWsockInfo))
    WriteLog(core::loWsockInfo, "TWSocket will connect to " + HostPortText(peerText, FPortNum));
  int peerLen = 0;
  const sockaddr* peer = ResolvedSockaddr(peerLen);
  if (api::connect(FHSocket, peer, peerLen) == 0 || api::WSAGetLastError() == winapi::WSAEWOULDBLOCK) {
    ChangeState(wsConnecting);
    return;
  }
  FLastError = api::WSAGetLastError();
  ApiFailure("Connect");
}

void TCustomWSocket::ConnectHandle(SOCKET Handle) {
  if (FHSocket != INVALID_SOCKET && FSockState != wsClosed) {
    api::closesocket(Handle);
    return ReportError("Connect: Socket already in use");
  }
  const char* missing = !FPortAssigned   ? "Connect: No Port Specified"
                        : !FAddrAssigned ? "Connect: No IP Address Specified"
                                         : nullptr;
  if (missing || !ResolveForConnect()) {
    api::closesocket(Handle);
    if (missing) ReportError(missing);
    return;
  }
  DiscardSendBuffer();
  FHSocket = Handle;
  if (!CloseHandleOnFailure([this] { return ReadSocketBufSizes(); }, false)) return;
  ChangeState(wsOpened);
  if (FSockState != wsOpened) return;
  // The handle is connected already: nothing to bind.
  if (!ApplyStreamOptions(false)) return;
  ChangeState(wsConnecting);
  if (FSockState != wsConnecting) return;
  // The completion the system gave the race, posted before the selection so that
  // it comes ahead of the write notification the selection brings.
  PostSelfNotification(winapi::FD_CONNECT);
  FSelectEvent = kConnectEvents;
  if (api::WSAAsyncSelect(FHSocket, this->Handle(), FMsgAsyncSelect, FSelectEvent) != 0)
    ApiFailure("WSAAsyncSelect");
}

// --- binding and options -----------------------------------------------------------

void TCustomWSocket::Bind() {
  // An IPv6 socket binds an IPv6 local address; the default "0.0.0.0" means any.
  // Both families go through one sockaddr_storage so the bind and the reading
  // back of the port the system chose are written once.
  sockaddr_storage local{};
  int len = 0;
  in6_addr local6{};
  const bool v6Local = ParseIPv6(FLocalAddr, local6);
  const auto port = api::HostToNetShort(static_cast<uint16_t>(FLocalPortNum));
  if (v6Local || FAddrFormat == AF_INET6) {
    auto& a = reinterpret_cast<sockaddr_in6&>(local);
    a.sin6_family = AF_INET6;
    a.sin6_port = port;
    if (v6Local) a.sin6_addr = local6;
    len = sizeof a;
  } else {
    auto& a = reinterpret_cast<sockaddr_in&>(local);
    a.sin_family = AF_INET;
    a.sin_port = port;
    a.sin_addr.s_addr = ResolveHost(FLocalAddr);
    len = sizeof a;
  }
  auto* addr = reinterpret_cast<sockaddr*>(&local);
  if (api::bind(FHSocket, addr, len) != 0)
    ReportError("Bind socket failed - " + SocketErrorMessage(api::WSAGetLastError()));
  if (api::getsockname(FHSocket, addr, &len) != 0) {
    ReportError("Winsock get socket name failed - " + SocketErrorMessage(api::WSAGetLastError()));
    return;
  }
  FLocalPortNum =
      api::NetToHostShort(local.ss_family == AF_INET6 ? reinterpret_cast<const sockaddr_in6&>(local).sin6_port
                                                      : reinterpret_cast<const sockaddr_in&>(local).sin_port);
  FLocalPortStr = std::to_string(FLocalPortNum);
}

void TCustomWSocket::ApplyLinger() {
  if (FLingerOnOff == wsLingerNoSet) return;
  if (FHSocket == INVALID_SOCKET) {
    ReportError("Cannot set linger option at this time");
    return;
  }
  linger li{};
  li.l_onoff = FLingerOnOff == wsLingerOn ? 1 : 0;
  li.l_linger = FLingerTimeout;
  if (WSocket_setsockopt(FHSocket, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&li), sizeof li) != 0)
    ApiFailure("setsockopt(SO_LINGER)");
}

void TCustomWSocket::ApplyKeepAlive() {
  if (FKeepAliveOnOff == wsKeepAliveOff) return;
  if (!SetIntOption(SOL_SOCKET, SO_KEEPALIVE, 1, "setsockopt(SO_KEEPALIVE)")) return;
  if (FKeepAliveOnOff != wsKeepAliveOnCustom) return;
  winapi::tcp_keepalive in{1, FKeepAliveTime, FKeepAliveInterval};
  winapi::tcp_keepalive out{};
  winapi::DWORD returned = 0;
  if (WSocket_WSAIoctl(FHSocket, winapi::SIO_KEEPALIVE_VALS, &in, sizeof in, &out, sizeof out, &returned,
                       nullptr, nullptr) != 0)
    ApiFailure("WSocket_WSAIoctl(SIO_KEEPALIVE_VALS)");
}

}  // namespace net
