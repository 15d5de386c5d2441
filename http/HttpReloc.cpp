// THttpCli: following a "location" field to the next request.
#include "http/HttpProt.h"
#include "http/Url.h"

namespace http {

namespace {

// A request target taken from a server's answer never carries a line break or NUL.
std::string EscapeControlBytes(const std::string& s) {
  std::string out;
  out.reserve(s.size());
  for (char c : s) {
    if (c == '\r') {
      out += "%0D";
    } else if (c == '\n') {
      out += "%0A";
    } else if (c == '\0') {
      out += "%00";
    } else {
      out += c;
    }
  }
  return out;
}

// The fragment is for the client alone: it never goes into a request target (nor
// into the host or port of a location without a path).
std::string WithoutFragment(const std::string& s) {
  return s.substr(0, s.find('#'));
}

bool IsAsciiLetter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool IsSchemeChar(char c) {
  return IsAsciiLetter(c) || (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
}

// "http://", "https://" or any other "scheme://" at the start. A location on
// another protocol is followed like any other and then fails as not implemented,
// instead of being glued to the current directory as a relative reference.
bool IsAbsoluteLocation(const std::string& v) {
  if (core::SameText(core::Copy(v, 1, 7), "http://") || core::SameText(core::Copy(v, 1, 8), "https://"))
    return true;
  const size_t sep = v.find("://");
  if (sep == std::string::npos || sep == 0 || !IsAsciiLetter(v[0])) return false;
  for (size_t i = 1; i < sep; ++i) {
    if (!IsSchemeChar(v[i])) return false;
  }
  return true;
}

std::string PortSuffix(const std::string& port) {
  return port.empty() ? std::string() : ":" + port;
}

}  // namespace

std::string THttpCli::RelocationBase(const std::string& Path) {
  size_t end = Path.find('?');
  if (end == std::string::npos) end = Path.size();
  const size_t p = end == 0 ? std::string::npos : Path.find_last_of("/:", end - 1);
  return p == std::string::npos ? std::string() : Path.substr(0, p + 1);
}

// Scheme, host (in any case) and port of the document being requested.
std::string THttpCli::TargetOrigin() const {
  std::string scheme = FProtocol;
  if (!FProxy.empty()) {
    // Through a proxy the target is a whole URL and FProtocol is the proxy's.
    std::string user, pass, host, port, path;
    ParseURL(FPath, scheme, user, pass, host, port, path);
  }
  if (scheme.empty()) scheme = "http";
  return core::LowerCase(scheme) + "://" + core::LowerCase(FTargetHost) + ":" +
         (FTargetPort.empty() ? std::string("80") : FTargetPort);
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
  const std::string v = WithoutFragment(Value);
  if (FProxy.empty())
    TakeDirectLocation(v);
  else
    TakeProxyLocation(v);
  FPath = EscapeControlBytes(FPath);
  const std::string target = TargetOrigin();
  if (target != origin) LeaveOrigin();
  FOtherOrigin = target != FRequestOrigin;
}

// Credentials and the state of a server's authentication are meant for that
// server alone; a location that names its own credentials brings them along. The
// proxy's stay, since the proxy does not change.
void THttpCli::LeaveOrigin() {
  FAuthNTLMState = 0;
  FAuthBasicState = 0;
  if (FLocationCredentials) return;
  FCurrUsername.clear();
  FCurrPassword.clear();
}

// Splits a location; credentials it carries replace the current ones.
THttpCli::TParsedUrl THttpCli::ParseLocation(const std::string& Url) {
  TParsedUrl u;
  ParseURL(Url, u.Proto, u.User, u.Pass, u.Host, u.Port, u.Path);
  if (!u.User.empty() && !u.Pass.empty()) {
    FCurrUsername = u.User;
    FCurrPassword = u.Pass;
    FLocationCredentials = true;
  }
  return u;
}

void THttpCli::TakeDirectLocation(const std::string& V) {
  if (!V.empty() && V[0] == '/') {
    FPath = V;
    FLocation = "http://" + FHostName + FPath;
    return;
  }
  if (!IsAbsoluteLocation(V)) {
    FPath = RelocationBase(FPath) + V;
    FLocation = "http://" + FHostName + FPath;
    return;
  }
  TParsedUrl u = ParseLocation(V);
  FHostName = u.Host;
  FPath = u.Path;
  FPort = u.Port.empty() ? "80" : u.Port;
  FProtocol = u.Proto;
  FTargetPort = FPort;  // the Host line must name the new port too
  if (!u.Proto.empty() && !FHostName.empty()) {
    FTargetHost = FHostName;
    if (FPath.empty()) {
      FPath = "/";
      FLocation = u.Proto + "://" + FHostName;
    } else {
      FLocation = u.Proto + "://" + FHostName + FPath;
    }
    return;
  }
  const std::string proto = u.Proto.empty() ? "http" : u.Proto;
  if (FPath.empty()) {
    FLocation = proto + "://" + FTargetHost + "/";
    FPath = FLocation;
  } else {
    FLocation = proto + "://" + FTargetHost + FPath;
  }
  FHostName = FTargetHost;
}

// Through a proxy the target is a whole URL; its port stays in it, or the proxy
// would go to port 80. The location itself is written without the port.
void THttpCli::TakeProxyLocation(const std::string& V) {
  if (!V.empty() && V[0] == '/') {
    const TParsedUrl u = ParseLocation(FPath);
    const std::string proto = u.Proto.empty() ? "http" : u.Proto;
    FLocation = proto + "://" + u.Host + V;
    FPath = proto + "://" + u.Host + PortSuffix(u.Port) + V;
    return;
  }
  if (!IsAbsoluteLocation(V)) {
    FPath = RelocationBase(FPath) + V;
    FLocation = FPath;
    return;
  }
  const TParsedUrl u = ParseLocation(V);
  FPort = u.Port.empty() ? "80" : u.Port;
  const std::string proto = u.Proto.empty() ? "http" : u.Proto;
  if (!u.Proto.empty() && !u.Host.empty()) {
    FTargetHost = u.Host;
    FTargetPort = FPort;
    FLocation = proto + "://" + u.Host + u.Path;
    FPath = proto + "://" + u.Host + PortSuffix(u.Port) + u.Path;
    return;
  }
  // No host: the location's path on the current document's server (the current
  // target is a whole URL here, so it cannot serve as the path).
  const std::string path = u.Path.empty() ? "/" : u.Path;
  FLocation = proto + "://" + FTargetHost + path;
  FPath = proto + "://" + FTargetHost + PortSuffix(FTargetPort == "80" ? "" : FTargetPort) + path;
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
  if (FCurrentHost != FHostName || FCurrentPort != FPort || FCurrentProtocol != FProtocol || FCloseReq) {
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

void THttpCli::RelocationAfterClose(core::TComponent* Sender, uint16_t ErrCode) {
  if (RelocationCancelled()) {
    // The close ends the request as any close does.
    FLocationFlag = false;
    HookSessionClosed();
    SocketSessionClosed(Sender, ErrCode);
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
  if (auto h = OnLocationChange) h(this);
  if (RelocationCancelled()) return;
  // B6; the received count and the error code go too: a close that delimited the
  // relocating body, or reset the connection after it, says nothing about the
  // next document.
  ClearResponseState();
  if (!FProxy.empty()) FPort = FProxyPort;
  RewindStreams();
  FTimeline.Fold(TLoadPhase::redirect);
  PostLogin();
}

}  // namespace http
