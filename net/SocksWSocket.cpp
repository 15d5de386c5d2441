// The SOCKS layer's settings and their rules, and Connect through the SOCKS
// server. The negotiation itself is in SocksNegotiation.cpp.
#include "net/SocksWSocket.h"

#include "net/AddressText.h"

namespace net {

TCustomSocksWSocket::TCustomSocksWSocket(core::TComponent* AOwner) : TCustomWSocket(AOwner) {}

void TCustomSocksWSocket::AssignDefaults() {
  TCustomWSocket::AssignDefaults();
  // Server, port and level are per connection; user code, password and the
  // authentication choice persist.
  FSocksState = socksData;
  FSocksServerText.clear();
  FSocksPortText.clear();
  FSocksLevelText = std::string("5");  // a move: GCC 12 misreads a short literal's assignment at -O3
  FSocksServerAssigned = false;
  FSocksRcvdCnt = 0;
  FSocksRcvdOffset = 0;
}

void TCustomSocksWSocket::StoreSocksServer(const std::string& Value) {
  if (FSockState != wsClosed) {
    ReportError("Can't change socks server if not closed");
    return;
  }
  FSocksServerText = core::Trim(Value);
  FSocksServerAssigned = !FSocksServerText.empty();
}

void TCustomSocksWSocket::StoreSocksPort(const std::string& Value) {
  if (FSockState != wsClosed) {
    ReportError("Can't change socks port if not closed");
    return;
  }
  FSocksPortText = core::Trim(Value);
}

void TCustomSocksWSocket::StoreSocksLevel(const std::string& Value) {
  if (FSockState != wsClosed) {
    ReportError("Can't change socks level if not closed");
    return;
  }
  if (Value != "4" && Value != "4A" && Value != "4a" && Value != "5") {
    ReportError("Invalid socks level. Must be 4, 4A or 5.");
    return;
  }
  FSocksLevelText = core::UpperCase(Value);
}

// A field the requests cannot carry is refused before anything is sent, rather
// than cut or sent with a wrapped length byte.
std::string TCustomSocksWSocket::SocksFieldsRefusal() const {
  const bool level4 = FSocksLevelText == "4";
  const bool level4A = FSocksLevelText == "4A";
  const auto tooLong = [](const std::string& s) { return s.size() > socks::kMaxFieldLength; };
  const auto hasZero = [](const std::string& s) { return s.find('\0') != std::string::npos; };
  // Level 5 sends user code and password only when it offers to authenticate.
  const bool sendsCredentials = level4 || level4A || FSocksAuthChoice == socksAuthenticateUsercode;
  // First, as no other setting would help: SOCKS 4 has room for an IPv4 address
  // only, and 4A's field is a name for the server to look up, which an IPv6
  // literal is not. Said here rather than left to the server's bare 91.
  if ((level4 || level4A) && IsIPv6Literal(FAddrStr))
    return "Connect: socks level " + FSocksLevelText + " cannot carry an IPv6 address (use level 5)";
  if (sendsCredentials && tooLong(FSocksUserText)) return "Connect: socks user code longer than 255 bytes";
  if (!level4 && tooLong(FAddrStr)) return "Connect: socks host name longer than 255 bytes";
  if (!level4 && !level4A && sendsCredentials && tooLong(FSocksPasswordText))
    return "Connect: socks password longer than 255 bytes";
  if ((level4 || level4A) && hasZero(FSocksUserText)) return "Connect: socks user code contains a zero byte";
  if (level4A && hasZero(FAddrStr)) return "Connect: socks host name contains a zero byte";
  return {};
}

// The transport goes to the SOCKS server; Addr and Port only travel in the request.
// Both are resolved before either is kept, so a failure leaves the socket as it was.
// A server given as an IPv6 literal is reached over IPv6.
bool TCustomSocksWSocket::ResolveSocksServer() {
  try {
    uint16_t sinPort = FSin.sin_port;
    uint32_t sinAddr = FSin.sin_addr.s_addr;
    in6_addr sinAddr6{};
    bool serverV6 = false;
    if (!FPortResolved)
      sinPort = api::HostToNetShort(static_cast<uint16_t>(ResolvePort(FSocksPortText, FProtoStr)));
    if (!FAddrResolved) {
      serverV6 = ParseIPv6(FSocksServerText, sinAddr6);
      if (!serverV6) sinAddr = ResolveHost(FSocksServerText);
    }
    const uint32_t destinationPort = ResolvePort(FPortStr, FProtoStr) & 0xFFFFu;
    FSin.sin_port = sinPort;
    if (!FAddrResolved) {
      FSin.sin_addr.s_addr = sinAddr;
      FSin6 = sockaddr_in6{};
      FSin6.sin6_family = AF_INET6;
      FSin6.sin6_addr = sinAddr6;
      FAddrFormat = serverV6 ? AF_INET6 : AF_INET;
    }
    FPortResolved = true;
    FAddrResolved = true;
    FPortNum = destinationPort;
  } catch (const std::exception& e) {
    ReportError("Connect: " + core::ExceptionMessage(e));
    return false;
  }
  return true;
}

void TCustomSocksWSocket::Connect() {
  // A socket in use or missing its address or port: the base reports it.
  const bool baseRefuses = (FHSocket != INVALID_SOCKET && FSockState != wsClosed) || !FPortAssigned ||
                           !FAddrAssigned || !FProtoAssigned;
  if (!FSocksServerAssigned || baseRefuses) {
    TCustomWSocket::Connect();
    return;
  }
  if (core::LowerCase(FProtoStr) != "tcp" && core::Trim(FProtoStr) != "6") {
    ReportError("TCP is the only protocol supported thru socks server");
    return;
  }
  if (const std::string refusal = SocksFieldsRefusal(); !refusal.empty()) {
    // The code a caller that only sees the error event goes by.
    FLastError =
        IsIPv6Literal(FAddrStr) && FSocksLevelText != "5" ? winapi::WSAEAFNOSUPPORT : winapi::WSAEINVAL;
    ReportError(refusal);
    return;
  }
  if (!ResolveSocksServer()) return;
  FSocksState = socksNegotiateMethods;
  FSocksRcvdCnt = 0;
  FReply.Expect(socks::TSocksReplyKind::kMethods);
  TCustomWSocket::Connect();
}

void TCustomSocksWSocket::Listen() {
  if (FSocksServerAssigned) {
    ReportError("Listening is not supported thru socks server");
    return;
  }
  TCustomWSocket::Listen();
}

void TCustomSocksWSocket::TriggerSocksConnected(uint16_t ErrCode) {
  if (TSessionConnected handler = OnSocksConnected) handler(this, ErrCode);
}

void TCustomSocksWSocket::TriggerSocksError(int Error, const std::string& Msg) {
  if (TSocksErrorEvent handler = OnSocksError) handler(this, Error, Msg);
}

void TCustomSocksWSocket::TriggerSocksAuthState(TSocksAuthState AuthState) {
  if (TSocksAuthStateEvent handler = OnSocksAuthState) handler(this, AuthState);
}

}  // namespace net
