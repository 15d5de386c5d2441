// THttpCli: resolving the host, connecting, building and sending the request
// header, and uploading the body of a POST or PUT.
#include <algorithm>

#include "http/Http2Session.h"
#include "http/HttpContCod.h"
#include "http/HttpProt.h"
#include "http/HttpUtils.h"
#include "http/Url.h"
#include "net/AddressText.h"
#include "net/SocketErrorText.h"

namespace http {

namespace {

// A control byte would split or corrupt a request line or a header line.
bool HasControlBytes(const std::string& s) {
  return std::any_of(s.begin(), s.end(), [](char c) {
    const auto b = static_cast<unsigned char>(c);
    return b < 0x20 || b == 0x7F;
  });
}

std::string ErrorWithCode(int code) {
  return net::SocketErrorText(code) + " (Error #" + std::to_string(code) + ")";
}

}  // namespace

void THttpCli::Login() {
  if (CheckLogOptions(core::loProtSpecInfo)) DebugLog(core::loProtSpecInfo, "Login " + FHostName);
  HookSessionClosed();
  // A host or port taken from a server's answer must not smuggle control bytes
  // into the request, not even on a kept proxy connection (the Host line names the
  // target); it fails like a name that does not resolve.
  const bool badAddress = HasControlBytes(FHostName) || HasControlBytes(FPort) ||
                          HasControlBytes(FTargetHost) || HasControlBytes(FTargetPort);
  if (FSocket->State() == net::wsConnected && !badAddress && !Http2ForNtlm()) {
    ReuseKeptConnection();
    return;
  }
  FDnsResult.clear();
  MarkPhase(TLoadPhase::dns);
  StateChange(httpDnsLookup);
  if (badAddress) {
    FailLookup(winapi::WSAHOST_NOT_FOUND);
    return;
  }
  // Another scheme without a server has nothing to look up.
  if (FProtocol != "http" && FProtocol != "https" && FHostName.empty()) {
    FailNotImplemented();
    return;
  }
  FSocket->SetLocalAddr(FLocalAddr);
  if (NameGoesToSocksServer()) {
    // The SOCKS server resolves the name: that is what levels 4A and 5 are for,
    // and no lookup of ours goes around the relay.
    ConnectToAddress(FHostName);
    return;
  }
  // Here through a SOCKS server means level 4, whose request has room for an IPv4
  // address only: without a family asked for, IPv6 ones would be of no use. An
  // IPv6 literal goes on to the socket, which says why it cannot go through.
  const bool socks4 = !core::Trim(FSocksServer).empty() && !net::IsIPv6Literal(FHostName);
  FSocket->SetDnsFamily(FIpFamily == httpIpV4Only   ? AF_INET
                        : FIpFamily == httpIpV6Only ? AF_INET6
                        : socks4                    ? AF_INET
                                                    : AF_UNSPEC);
  try {
    FSocket->DnsLookup(FHostName);
  } catch (const std::exception& e) {
    FStatusCode = 404;
    FReasonPhrase = core::ExceptionMessage(e);
    FConnected = false;
    StateChange(httpReady);
  }
}

void THttpCli::FailLookup(uint16_t ErrCode) {
  FRequestDoneError = ErrCode;
  FStatusCode = 404;
  FReasonPhrase = "can't resolve hostname to IP address";
  EndRequest(ErrCode);
}

void THttpCli::SetupSocket() {
  FSocket->SetAddr(FDnsResult);
  FSocket->SetLocalAddr(FLocalAddr);
  FSocket->SetPort(FPort);
  FSocket->SetProto("tcp");
  FSocket->SetSocksServer(FSocksServer);
  FSocket->SetSocksLevel(FSocksLevel);
  FSocket->SetSocksPort(FSocksPort);
  FSocket->SetSocksUsercode(FSocksUsercode);
  FSocket->SetSocksPassword(FSocksPassword);
  FSocket->SetSocksAuthentication(FSocksAuthentication);
  // In a tunnel TLS starts once the proxy has opened it.
  FSocket->SetSslEnable(FProtocol == "https" && !FTunnel);
  FSocket->SetSslAlpnOffer(WantsHttp2() ? std::vector<std::string>{"h2", "http/1.1"}
                                        : std::vector<std::string>{"http/1.1"});
  FSocket->SetSslServerName(FTargetHost);
  FSocket->SetSslServerPort(FTargetPort);
  FSocket->SetSslCaFile(FSslCaFile);
  FSocket->SetSslVerifyPeer(FSslVerifyPeer);
}

void THttpCli::SocketDNSLookupDone(core::TComponent* /*Sender*/, uint16_t ErrCode) {
  if (ErrCode != 0) {
    if (FHttpState == httpAborting) return;
    FailLookup(ErrCode);
    return;
  }
  const std::vector<std::string> addrs = FSocket->DnsResultList().Items();
  // The race connects straight to the addresses: through a SOCKS server the
  // connection is the server's to make, so the first address goes in the request.
  const bool throughSocks = !core::Trim(FSocksServer).empty();
  if (addrs.size() > 1 && !throughSocks && (FProtocol == "http" || FProtocol == "https")) {
    StartRace(addrs);
    return;
  }
  ConnectToAddress(FSocket->DnsResult());
}

// Several addresses: the race finds the connection; the socket then takes it over.
void THttpCli::StartRace(const std::vector<std::string>& Addrs) {
  uint32_t port = 0;
  try {
    port = net::ResolvePort(FPort, "tcp") & 0xFFFFu;
  } catch (const std::exception&) {
    ConnectToAddress(Addrs.front());  // the socket reports the port as it always did
    return;
  }
  FDnsResult = Addrs.front();
  StateChange(httpDnsLookupDone);
  MarkPhase(TLoadPhase::connect);
  if (!FRace) {
    FRace = core::MakeComponent<net::TConnectRace>(nullptr);
    FRace->OnDone = [this](net::TConnectRace*, uint16_t e) { RaceDone(e); };
  }
  FRace->AttemptDelay = FAttemptDelay;
  FRacePort = static_cast<uint16_t>(port);
  FConnectStart = std::chrono::steady_clock::now();
  FConnIp.clear();
  FConnFamily = 0;
  FConnAttempts.clear();
  if (CheckLogOptions(core::loProtSpecInfo))
    DebugLog(core::loProtSpecInfo,
             "connect to one of " + std::to_string(Addrs.size()) + " addresses/" + FPort);
  FRace->Start(FConnectRacing ? net::InterleaveFamilies(Addrs) : Addrs, static_cast<uint16_t>(port),
               FConnectRacing);
}

void THttpCli::RaceDone(uint16_t ErrCode) {
  if (FHttpState != httpDnsLookupDone) return;  // aborted meanwhile
  for (const net::TConnectAttempt& a : FRace->Attempts()) {
    TLoadConnectAttempt r;
    r.addr = a.addr;
    r.family = a.family;
    r.port = FRacePort;
    r.startNs = a.startNs;
    r.endNs = a.endNs;
    r.won = a.result == net::TAttemptResult::won;
    r.error = a.error;
    r.result = net::AttemptResultText(a);
    FConnAttempts.push_back(r);
  }
  if (const net::TConnectAttempt* winner = FRace->Winner(); ErrCode == 0 && winner != nullptr) {
    FConnIp = winner->addr;
    FConnFamily = winner->family;
    ConnectToAddress(winner->addr, FRace->TakeWinner());
    return;
  }
  FailConnect("", ErrCode);
}

void THttpCli::BeginSingleAttempt(const std::string& Address) {
  FConnectStart = std::chrono::steady_clock::now();
  FConnIp.clear();
  FConnFamily = 0;
  TLoadConnectAttempt a;
  a.addr = net::WithoutBrackets(Address);
  a.family = net::IsIPv6Literal(a.addr) ? AF_INET6 : net::IsDottedAddress(a.addr) ? AF_INET : 0;
  try {
    a.port = static_cast<uint16_t>(net::ResolvePort(FPort, "tcp") & 0xFFFFu);
  } catch (const std::exception&) {
    a.port = 0;  // the connect itself reports the bad port
  }
  FConnAttempts = {a};
  FSingleAttemptOpen = true;
}

// The end of the connect phase ends the one attempt: the peer answered.
void THttpCli::EndSingleAttempt(uint16_t ErrCode) {
  if (!FSingleAttemptOpen) return;
  FSingleAttemptOpen = false;
  TLoadConnectAttempt& a = FConnAttempts.back();
  a.endNs =
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - FConnectStart)
          .count();
  if (ErrCode != 0) {
    a.error = ErrCode;
    a.result = "failed: " + ErrorWithCode(ErrCode);
    return;
  }
  a.won = true;
  a.result = "won";
  std::string peer = FSocket->State() == net::wsConnected ? FSocket->GetPeerAddr() : a.addr;
  if (peer == "error") peer = a.addr;
  FConnIp = peer;
  FConnFamily = net::IsIPv6Literal(peer) ? AF_INET6 : net::IsDottedAddress(peer) ? AF_INET : 0;
}

void THttpCli::RecordConnection() {
  TLoadTimes& t = FTimeline.Times();
  t.ip = FConnIp;
  t.family = FConnFamily;
  t.connectAttempts = FConnAttempts;
}

// Level 4 (and an invalid level, which the socket refuses and then keeps its own)
// resolves here as the socket would.
bool THttpCli::NameGoesToSocksServer() const {
  if (core::Trim(FSocksServer).empty()) return false;
  const std::string level = core::UpperCase(FSocksLevel);
  const bool valid = level == "4" || level == "4A" || level == "5";
  return (valid ? level : FSocket->SocksLevel()) != "4";
}

void THttpCli::ConnectToAddress(const std::string& Address, net::SOCKET Connected) {
  FDnsResult = Address;
  StateChange(httpDnsLookupDone);
  MarkPhase(TLoadPhase::connect);
  SetupSocket();
  FCurrentHost = FHostName;
  FCurrentPort = FPort;
  FCurrentProtocol = FProtocol;
  FCurrentTunnel = TunnelTarget();
  ++FConnectionSerial;
  // A new connection speaks HTTP/2 only once it has agreed to.
  FHttp2.reset();
  FHttp2Stream = 0;
  if (FProtocol != "http" && FProtocol != "https") {
    FailNotImplemented();
    return;
  }
  if (CheckLogOptions(core::loProtSpecInfo))
    DebugLog(core::loProtSpecInfo, "connect to " + FDnsResult + "/" + FPort);
  if (Connected == net::INVALID_SOCKET) BeginSingleAttempt(Address);
  try {
    if (Connected != net::INVALID_SOCKET)
      FSocket->ConnectHandle(Connected);
    else
      FSocket->Connect();
  } catch (const std::exception&) {
    FailConnect("can't connect: ", static_cast<uint16_t>(FSocket->LastError()));
    return;
  }
  // A connect refused through the error event (OnError is assigned) neither raises
  // nor reports its end; it must still end the request.
  if (FSocket->State() == net::wsClosed && FHttpState == httpDnsLookupDone) {
    const int lastError = FSocket->LastError();
    FailConnect("can't connect: ", static_cast<uint16_t>(lastError != 0 ? lastError : winapi::WSAEINVAL));
  }
}

void THttpCli::FailNotImplemented() {
  const int lastError = FSocket->LastError();
  FRequestDoneError = static_cast<uint16_t>(lastError);
  FStatusCode = 501;
  FReasonPhrase = "Protocol \"" + FProtocol + "\" not implemented";
  FSocket->Close();
  EndRequest(static_cast<uint16_t>(lastError));
}

void THttpCli::FailConnect(const std::string& Reason, uint16_t ErrCode) {
  EndSingleAttempt(ErrCode);
  RecordConnection();
  FRequestDoneError = ErrCode;
  FStatusCode = 404;
  FReasonPhrase = Reason + ErrorWithCode(ErrCode);
  FSocket->Close();
  EndRequest(ErrCode);
}

// The socket's event: a new connection, or the reason there is none.
void THttpCli::SocketSessionConnected(core::TComponent* /*Sender*/, uint16_t ErrCode) {
  if (CheckLogOptions(core::loProtSpecInfo)) DebugLog(core::loProtSpecInfo, "SessionConnected");
  if (ErrCode != 0) {
    SessionFailed(ErrCode);
    return;
  }
  StartOnConnection(false);
}

// A kept connection takes the next request as if it had just connected.
void THttpCli::ReuseKeptConnection() {
  if (CheckLogOptions(core::loProtSpecInfo)) DebugLog(core::loProtSpecInfo, "SessionConnected");
  StartOnConnection(true);
}

void THttpCli::SessionFailed(uint16_t ErrCode) {
  EndSingleAttempt(ErrCode);
  RecordConnection();
  FRequestDoneError = ErrCode;
  FStatusCode = 404;
  // A TLS handshake that failed says why; the error code alone would not.
  const bool tlsFailed = FSocket->SslState() == net::sslFailed && !FSocket->SslFailure().empty();
  FReasonPhrase = tlsFailed ? FSocket->SslFailure() : ErrorWithCode(ErrCode);
  TriggerSessionConnected();
}

void THttpCli::StartOnConnection(bool Reused) {
  // Through a proxy the tunnel opens first, on a new connection or on one kept
  // after the proxy asked for credentials; its time is part of the connect (or of
  // the authentication).
  if (FTunnel && FSocket->SslState() != net::sslEstablished) {
    FReusedConnection = Reused;
    FResponseBytes = false;
    StartTunnel();
    return;
  }
  MarkPhase(TLoadPhase::request);
  RecordConnection();
  if (Reused) FTimeline.Times().connectAttempts.clear();
  // On a new connection bytes left from an earlier one must not prefix this
  // response.
  FReusedConnection = Reused;
  if (!FReusedConnection) ClearReceiveBuffer();
  FResponseBytes = false;
  FLocationFlag = false;
  FConnected = true;
  StateChange(httpConnected);
  TriggerSessionConnected();
  // A handler that aborted the request ended it: nothing goes out.
  if (FHttpState != httpConnected) return;
  FLineHandler = &THttpCli::GetHeaderLineNext;
  BindNTLMToConnection();
  ChooseWireVersion(Reused);
  try {
    StateChange(httpWaitingHeader);
    if (FHttp2) {
      SendHttp2Request(FRequestType == httpHEAD   ? "HEAD"
                       : FRequestType == httpPOST ? "POST"
                       : FRequestType == httpPUT  ? "PUT"
                                                  : "GET");
      return;
    }
    switch (FRequestType) {
      case httpGET:
        SendRequest("GET", WireVer());
        break;
      case httpHEAD:
        SendRequest("HEAD", WireVer());
        break;
      case httpPOST:
        SendRequest("POST", WireVer());
        StartUpload();
        break;
      case httpPUT:
        SendRequest("PUT", WireVer());
        StartUpload();
        break;
      default:
        break;
    }
  } catch (const std::exception&) {
    const bool wasClosed = FSocket->State() == net::wsClosed;
    Logout();
    // A socket that was closed already reports no close: end the request here.
    if (wasClosed && FHttpState != httpReady) EndRequest(0);
  }
}

// An NTLM negotiation request goes without its body.
void THttpCli::StartUpload() {
  if (FAuthNTLMState == kNtlmSendMessage1 || FProxyAuthNTLMState == kNtlmSendMessage1) return;
  TriggerSendBegin();
  FSending = true;
  SocketDataSent(FSocket, 0);
}

void THttpCli::SendRequest(const std::string& Method, const std::string& Version) {
  BandwidthRequestStart();
  FUpgradeRequested = false;
  core::TStringList headers;
  FRequestStream->Clear();
  try {
    TriggerRequestHeaderBegin();
    AddRequestLines(Method, Version, headers);
    FAcceptRanges.clear();
    if (CheckLogOptions(core::loProtSpecInfo))
      DebugLog(core::loProtSpecInfo,
               std::to_string(headers.Count()) + " header lines to send\r\n" + headers.Text());
    TriggerBeforeHeaderSend(Method, headers);
    for (const std::string& line : headers.Items()) SendHeaderLine(line);
    TriggerRequestHeaderEnd();
    SendHeaderLine("");
    // The header goes out as one block.
    FSocket->QueueSendData(FRequestStream->Memory(), static_cast<int>(FRequestStream->Size()));
    FRequestStream->Clear();
    FSocket->Send(nullptr, 0);
    // The last request byte is out once the socket holds nothing back; a body to
    // upload, or a header the system did not take at once, marks it in SocketDataSent.
    if (FSocket->AllSent() && FRequestType != httpPOST && FRequestType != httpPUT)
      MarkPhase(TLoadPhase::wait);
  } catch (...) {
    if (CheckLogOptions(core::loProtSpecInfo)) DebugLog(core::loProtSpecInfo, "SendRequest Done");
    throw;
  }
  if (CheckLogOptions(core::loProtSpecInfo)) DebugLog(core::loProtSpecInfo, "SendRequest Done");
}

// The request line and the fields, in their fixed order; a field without a value
// is left out.
void THttpCli::AddRequestLines(const std::string& Method, const std::string& Version,
                               core::TStringList& Headers) {
  const bool withBody = FRequestType == httpPOST || FRequestType == httpPUT;
  auto addIf = [&Headers](bool condition, const std::string& line) {
    if (condition) Headers.Add(line);
  };
  Headers.Add(Method + " " + FPath + " HTTP/" + Version);
  addIf(!FSender.empty(), "From: " + FSender);
  addIf(!FAccept.empty(), "Accept: " + FAccept);
  addIf(!FReference.empty(), "Referer: " + FReference);
  addIf(!FCurrConnection.empty(), "Connection: " + FCurrConnection);
  addIf(!FAcceptLanguage.empty(), "Accept-Language: " + FAcceptLanguage);
  if (FRequestType != httpHEAD) {
    const std::string codings = FContCodHandler->GetHeaderText();
    addIf(!codings.empty(), "Accept-Encoding: " + codings);
  }
  addIf(withBody && !FContentTypePost.empty(), "Content-Type: " + FContentTypePost);
  addIf(!FAgent.empty(), "User-Agent: " + FAgent);
  const bool defaultPort = FTargetPort == DefaultPort(TargetScheme()) || FTargetPort.empty();
  Headers.Add("Host: " + FTargetHost + (defaultPort ? "" : ":" + FTargetPort));
  addIf(FNoCache, "Pragma: no-cache");
  addIf(!FCurrProxyConnection.empty() && !FTunnel, "Proxy-Connection: " + FCurrProxyConnection);
  if (withBody) {
    // A stream positioned past its end has nothing to send.
    int64_t length = 0;
    if (FAuthNTLMState != kNtlmSendMessage1 && FProxyAuthNTLMState != kNtlmSendMessage1 && FSendStream)
      length = std::max<int64_t>(0, FSendStream->Size() - FSendStream->Position());
    Headers.Add("Content-Length: " + std::to_string(length));
  }
  if (FModifiedSince != 0) Headers.Add("If-Modified-Since: " + FormatRFC1123(FModifiedSince) + " GMT");
  if (FTunnel)
    AddTunnelAuthorizationLines(Headers, false);
  else
    AddAuthorizationLines(Headers);
  addIf(!FCookie.empty() && !FOtherOrigin, "Cookie: " + FCookie);
  FSentOrigin = TargetOrigin();
  if (!FContentRangeBegin.empty() || !FContentRangeEnd.empty()) {
    if (FContentRangeOrigin.empty() || FContentRangeOrigin == FSentOrigin)
      Headers.Add("Range: bytes=" + FContentRangeBegin + "-" + FContentRangeEnd);
    FContentRangeBegin.clear();
    FContentRangeEnd.clear();
    FContentRangeOrigin.clear();
  }
}

void THttpCli::SendHeaderLine(const std::string& Line) {
  std::string s = Line;
  if (auto h = OnCommand) h(this, s);
  // Only a request that offered an upgrade may be answered by a protocol switch.
  if (core::SameText(core::Copy(s, 1, 8), "upgrade:")) FUpgradeRequested = true;
  if (!s.empty()) FRequestStream->WriteBuffer(s.data(), static_cast<int64_t>(s.size()));
  FRequestStream->WriteBuffer("\r\n", 2);
}

// Each data-sent event (the socket's buffer has drained) brings the next block.
void THttpCli::SocketDataSent(core::TComponent* /*Sender*/, uint16_t /*ErrCode*/) {
  if (!FSending) {
    // An HTTP/2 request is written once its last frame went out (the body may
    // wait for the server's window).
    if (FHttp2 && FHttp2Stream != 0) {
      Http2Flush();
      if (!FHttp2->RequestWritten(FHttp2Stream)) return;
    }
    if (FTimeline.Current() == TLoadPhase::request) MarkPhase(TLoadPhase::wait);
    return;
  }
  constexpr int kBlock = 8192;
  if (FSendBuffer.empty()) FSendBuffer.resize(kBlock);
  const int64_t count = FSendStream ? FSendStream->Read(FSendBuffer.data(), kBlock) : 0;
  if (count <= 0) {
    FSending = false;
    MarkPhase(TLoadPhase::wait);
    TriggerSendEnd();
    return;
  }
  FSentCount += count;
  TriggerSendData(FSendBuffer.data(), static_cast<int>(count));
  FSocket->Send(FSendBuffer.data(), static_cast<int>(count));
}

void THttpCli::Logout() {
  FSocket->Close();
  FConnected = false;
}

}  // namespace http
