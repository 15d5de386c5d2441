// THttpCli: following a "location" field to the next request, and the entry
// points of the authentication steps.
#include "http/HttpProt.h"
#include "http/Url.h"

namespace http {

namespace {

// A request target taken from a server's answer never carries a line break or NUL.
std::string EscapeLineBreaks(const std::string& s) {
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

bool IsAbsoluteLocation(const std::string& v) {
  return core::SameText(core::Copy(v, 1, 7), "http://") || core::SameText(core::Copy(v, 1, 8), "https://");
}

}  // namespace

std::string THttpCli::RelocationBase(const std::string& Path) {
  size_t end = Path.find('?');
  if (end == std::string::npos) end = Path.size();
  const size_t p = end == 0 ? std::string::npos : Path.find_last_of("/:", end - 1);
  return p == std::string::npos ? std::string() : Path.substr(0, p + 1);
}

// Forms the next request's target from a "location" field value.
void THttpCli::TakeLocation(const std::string& Value) {
  if (FRequestType == httpPUT) {
    FLocation = Value;
    return;
  }
  if (!FFollowRelocation) return;
  FLocationFlag = true;
  if (FProxy.empty())
    TakeDirectLocation(Value);
  else
    TakeProxyLocation(Value);
  FPath = EscapeLineBreaks(FPath);
}

// Splits a location; credentials it carries replace the current ones.
THttpCli::TParsedUrl THttpCli::ParseLocation(const std::string& Url) {
  TParsedUrl u;
  ParseURL(Url, u.Proto, u.User, u.Pass, u.Host, u.Port, u.Path);
  if (!u.User.empty() && !u.Pass.empty()) {
    FCurrUsername = u.User;
    FCurrPassword = u.Pass;
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
    FPath = proto + "://" + u.Host + (u.Port.empty() ? "" : ":" + u.Port) + V;
    return;
  }
  if (!IsAbsoluteLocation(V)) {
    FPath = RelocationBase(FPath) + V;
    FLocation = FPath;
    return;
  }
  const TParsedUrl u = ParseLocation(V);
  FPort = u.Port.empty() ? "80" : u.Port;
  if (!u.Proto.empty() && !u.Host.empty()) {
    FTargetHost = u.Host;
    FTargetPort = FPort;
    FLocation = u.Proto + "://" + u.Host + u.Path;
    FPath = u.Proto + "://" + u.Host + (u.Port.empty() ? "" : ":" + u.Port) + u.Path;
  } else {
    FLocation = (u.Proto.empty() ? std::string("http") : u.Proto) + "://" + FTargetHost +
                (FPath.empty() ? "/" : FPath);
  }
}

bool THttpCli::CountRelocation() {
  ++FLocationChangeCurCount;
  if (FLocationChangeCurCount <= FLocationChangeMaxCount) return true;
  bool allow = false;
  if (auto h = OnLocationChangeExceeded) h(this, FLocationChangeCurCount, allow);
  if (allow) return true;
  SetReady();  // the request ends with the relocating response's status
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
    if (FSocket->State() == net::wsClosed)
      RelocationAfterClose(this, 0);
    else
      FSocket->CloseDelayed();
    return;
  }
  if (auto h = OnLocationChange) h(this);
  const std::string location = FLocation;
  ResetRequestState();
  FLocation = location;
  FDocName = FPath;
  AdjustDocName();
  if (FRequestType == httpPOST) FRequestType = httpGET;
  RewindStreams();
  PostLogin();
}

void THttpCli::RelocationAfterClose(core::TComponent* /*Sender*/, uint16_t /*ErrCode*/) {
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
  FRcvdHeader.Clear();
  FHeaderLineCount = 0;
  FBodyLineCount = 0;
  FContentLength = -1;
  FContentType.clear();
  FTransferEncoding.clear();
  FContentEncoding.clear();
  FStatusCode = 0;
  FStatusLineSeen = false;
  FHeaderless = false;
  FBodyExpected = false;
  FDocTruncated = false;
  FProtocolFailed = false;
  if (!FProxy.empty()) FPort = FProxyPort;
  RewindStreams();
  PostLogin();
}

// Entry points of the authentication steps; the steps themselves come later.
bool THttpCli::AuthenticationFollows() {
  return false;
}

void THttpCli::StartAuthNTLM() {}
void THttpCli::StartProxyAuthNTLM() {}
void THttpCli::StartAuthBasic() {}
void THttpCli::StartProxyAuthBasic() {}

}  // namespace http
