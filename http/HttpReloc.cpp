// THttpCli: following a "location" field to the next request.
#include "http/HostName.h"
#include "http/HttpProt.h"
#include "http/UriRef.h"
#include "http/Url.h"

namespace http {

namespace {

// A request target taken from a server's answer carries no control byte (it
// would split or corrupt the request line), no blank (it would end the target
// early) and no byte from 0x80 on (no part of a URL): those are percent-encoded,
// as browsers send them.
std::string EscapeForRequest(const std::string& s) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(s.size());
  for (char c : s) {
    const auto b = static_cast<unsigned char>(c);
    if (b <= 0x20 || b >= 0x7F) {
      out += '%';
      out += kHex[b >> 4];
      out += kHex[b & 15];
    } else {
      out += c;
    }
  }
  return out;
}

std::string PortOrDefault(const std::string& port, const std::string& scheme) {
  return port.empty() ? DefaultPort(scheme) : port;
}

// The port as written after a host: nothing for the scheme's own port.
std::string PortSuffix(const std::string& port, const std::string& scheme) {
  return port == DefaultPort(scheme) ? std::string() : ":" + port;
}

}  // namespace

// Scheme, host (in any case) and port of the document being requested.
std::string THttpCli::TargetOrigin() const {
  const std::string scheme = TargetScheme();
  return scheme + "://" + core::LowerCase(FTargetHost) + ":" +
         (FTargetPort.empty() ? DefaultPort(scheme) : FTargetPort);
}

// The scheme of the document being requested, lower-cased.
std::string THttpCli::TargetScheme() const {
  std::string scheme = FProtocol;
  if (!FProxy.empty() && !FTunnel) {
    // Through a proxy the target is a whole URL and FProtocol is the proxy's.
    std::string user, pass, host, port, path;
    ParseURL(FPath, scheme, user, pass, host, port, path);
  }
  return scheme.empty() ? std::string("http") : core::LowerCase(scheme);
}

// The document being requested: what a relative location is resolved against.
TUriRef THttpCli::DocumentUri() const {
  if (!FProxy.empty() && !FTunnel) {
    TUriRef base = SplitUriRef(FPath);  // through a proxy the target is a whole URL
    base.HasFragment = false;
    return base;
  }
  TUriRef base;
  base.HasScheme = true;
  base.Scheme = TargetScheme();
  base.HasAuthority = true;
  base.Authority = FTargetHost + PortSuffix(PortOrDefault(FTargetPort, base.Scheme), base.Scheme);
  const size_t query = FPath.find('?');
  base.Path = FPath.substr(0, query);
  if (query != std::string::npos) {
    base.HasQuery = true;
    base.Query = FPath.substr(query + 1);
  }
  return base;
}

// Forms the next request's target from a "location" field value.
void THttpCli::TakeLocation(const std::string& Value) {
  if (FRequestType == httpPUT) {
    FLocation = Value;
    return;
  }
  if (!FFollowRelocation) return;
  FLocationFlag = true;
  const std::string origin = TargetOrigin();
  FLocationCredentials = false;
  // Blanks after the value are no part of it (browsers drop them too).
  const TUriRef ref = SplitUriRef(Value.substr(0, Value.find_last_not_of(" \t") + 1));
  TakeTarget(ResolveUriRef(DocumentUri(), ref), ref.HasAuthority);
  const std::string target = TargetOrigin();
  if (target != origin) LeaveOrigin();
  FOtherOrigin = target != FRequestOrigin;
}

// Credentials and the state of a server's authentication are meant for that
// server alone; a location that names its own credentials brings them along. The
// proxy's stay, since the proxy does not change.
void THttpCli::LeaveOrigin() {
  FAuthNTLMState = kNtlmIdle;
  FAuthBasicState = kBasicIdle;
  if (FLocationCredentials) return;
  FCurrUsername.clear();
  FCurrPassword.clear();
}

// Credentials in a location's own authority replace the current ones.
void THttpCli::TakeLocationCredentials(const std::string& UserInfo) {
  const size_t colon = UserInfo.find(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == UserInfo.size()) return;
  FCurrUsername = UserInfo.substr(0, colon);
  FCurrPassword = UserInfo.substr(colon + 1);
  FLocationCredentials = true;
}

// Addresses the next request to the resolved target T. OwnAuthority: the
// location named its own server. A location with an empty host stays on the
// current document's server. The port is not written into FLocation.
void THttpCli::TakeTarget(const TUriRef& T, bool OwnAuthority) {
  std::string userInfo, host, port;
  if (T.HasAuthority) SplitAuthority(T.Authority, userInfo, host, port);
  host = AsciiHostName(host);
  if (OwnAuthority) TakeLocationCredentials(userInfo);
  if (T.HasAuthority && host.empty()) {
    host = FTargetHost;
    if (port.empty()) port = FTargetPort;
  }
  const std::string query = T.HasQuery ? "?" + EscapeForRequest(T.Query) : std::string();
  FProtocol = T.Scheme;
  FTargetHost = host;
  FTargetPort = PortOrDefault(port, T.Scheme);
  if (!T.HasAuthority) {
    // Another scheme without a server ("javascript:..."): the request ends as not
    // implemented, without any lookup.
    FLocation = T.Scheme + ":" + EscapeForRequest(T.Path) + query;
    FPath = FLocation;
    FTunnel = false;
    if (FProxy.empty()) FHostName.clear();
    return;
  }
  // An empty path is sent as "/".
  const std::string target = EscapeForRequest(T.Path.empty() ? std::string("/") : T.Path) + query;
  FLocation = T.Scheme + "://" + host + target;
  if (FProxy.empty()) {
    FHostName = host;
    FPort = FTargetPort;
    FPath = target;
    return;
  }
  // Through a proxy an https target goes through a tunnel, with only its path in
  // the request; any other target is a whole URL, its port kept in it, or the
  // proxy would go to the scheme's default port. The connection stays the
  // proxy's: FPort does not change.
  FTunnel = T.Scheme == "https";
  FPath = FTunnel ? target : T.Scheme + "://" + host + PortSuffix(FTargetPort, T.Scheme) + target;
}

// A request that failed on a protocol error, or that the caller aborted (from an
// event of the step, or while the old connection was closing), goes no further.
bool THttpCli::RelocationCancelled() const {
  return FProtocolFailed || FHttpState == httpAborting || FHttpState == httpReady;
}

// Counts one step; false when the step is refused or the caller ended the request
// from the event.
bool THttpCli::CountRelocation() {
  ++FLocationChangeCurCount;
  if (FLocationChangeCurCount <= FLocationChangeMaxCount) return true;
  bool allow = false;
  if (auto h = OnLocationChangeExceeded) h(this, FLocationChangeCurCount, allow);
  if (RelocationCancelled()) return false;
  if (allow) return true;
  // The request ends with the relocating response's status. A connection the
  // server is closing is closed first, and its close ends the request, as after
  // any response that ends so; it must not be taken for the next request.
  if (FCloseReq && FSocket->State() != net::wsClosed)
    FSocket->CloseDelayed();
  else
    SetReady();
  return false;
}

void THttpCli::RewindStreams() {
  if (FRcvdStream && FRcvdStream->Size() != FRcvdStreamStartSize) FRcvdStream->SetSize(FRcvdStreamStartSize);
  if (FSendStream && FSentCount > 0) FSendStream->Seek(-FSentCount, core::TSeekOrigin::soCurrent);
}

void THttpCli::StartRelocation() {
  if (CheckLogOptions(core::loProtSpecInfo)) DebugLog(core::loProtSpecInfo, "Starting relocation process");
  FRcvdCount = 0;
  ClearReceiveBuffer();
  FHeaderLineCount = 0;
  FBodyLineCount = 0;
  if (!CountRelocation()) return;
  // The response accepted what authentication sent with its request.
  UpdateAuthStates();
  if (!SameConnection() || FCloseReq) {
    FSocket->OnSessionClosed = [this](core::TComponent* s, uint16_t e) { RelocationAfterClose(s, e); };
    // A socket that is closed already reports no close of its own.
    if (FSocket->State() == net::wsClosed)
      RelocationAfterClose(this, 0);
    else
      FSocket->CloseDelayed();
    return;
  }
  if (auto h = OnLocationChange) h(this);
  if (RelocationCancelled()) return;
  const std::string location = FLocation;
  ResetRequestState();
  FLocation = location;
  FDocName = FPath;
  AdjustDocName();
  if (FRequestType == httpPOST) FRequestType = httpGET;
  RewindStreams();
  FTimeline.Fold(TLoadPhase::redirect);
  PostLogin();
}

void THttpCli::RelocationAfterClose(core::TComponent* /*Sender*/, uint16_t ErrCode) {
  if (RelocationCancelled()) {
    // The close ends the request as any close does.
    FLocationFlag = false;
    HookSessionClosed();
    EndRequest(ErrCode);
    return;
  }
  std::string proto, user, pass, host, port, path;
  ParseURL(FLocation.substr(0, FLocation.find('#')), proto, user, pass, host, port, path);
  FDocName = path;
  AdjustDocName();
  FConnected = false;
  FLocationFlag = false;
  if (FRequestType == httpPOST) FRequestType = httpGET;
  HookSessionClosed();
  if (!CountRelocation()) return;
  UpdateAuthStates();
  if (auto h = OnLocationChange) h(this);
  if (RelocationCancelled()) return;
  // B6; the received count and the error code go too: a close that delimited the
  // relocating body, or reset the connection after it, says nothing about the
  // next document.
  ClearResponseState();
  RewindStreams();
  FTimeline.Fold(TLoadPhase::redirect);
  PostLogin();
}

}  // namespace http
