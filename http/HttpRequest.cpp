// THttpCli: starting a request (synchronously or not), the public request
// operations, and aborting.
#include "core/Application.h"
#include "http/HostName.h"
#include "http/HttpProt.h"
#include "http/UriRef.h"
#include "http/Url.h"
#include "platform/WinMsg.h"

namespace http {

namespace {

// "[fe80::1%25eth0]": a zone names an interface of this host, which neither the
// Host line nor a certificate can carry.
bool HasIPv6ZoneId(const std::string& url) {
  std::string proto, user, pass, host, port, path;
  ParseURL(url, proto, user, pass, host, port, path);
  return !host.empty() && host.front() == '[' && host.find('%') != std::string::npos;
}

}  // namespace

// --- starting a request ---

void THttpCli::StartRequestAsync(THttpRequest Rq) {
  if (Rq != httpCLOSE && FHttpState != httpReady)
    throw EHttpException("HTTP component " + Name() + " is busy", 1);
  if ((Rq == httpPOST || Rq == httpPUT) && !FSendStream)
    throw EHttpException("HTTP component has nothing to post or put", 2);
  // CR, LF or NUL would let the URL write lines of its own into the request.
  if (Rq != httpCLOSE && FURL.find_first_of(std::string("\r\n\0", 3)) != std::string::npos)
    throw EHttpException("Invalid character in URL", 6);
  if (Rq != httpCLOSE && HasIPv6ZoneId(FURL))
    throw EHttpException("IPv6 zone ids (\"%...\") are not supported in URLs", 7);
  ++FRequestSerial;
  FLoginPending = false;
  if (Rq == httpCLOSE) {
    StartClose();
    return;
  }
  FRequestType = Rq;
  FTimeline.Start(TLoadPhase::request);
  ResetRequestState();
  FStaleRetried = false;
  FNoHttp2 = false;
  FProtocolUsed.clear();
  // What the stream held before this request; a relocation step cuts back to it.
  FRcvdStreamStartSize = FRcvdStream ? FRcvdStream->Size() : 0;
  FCurrUsername = FUsername;
  FCurrPassword = FPassword;
  FCurrConnection = FConnection;
  FCurrProxyConnection = FProxyConnection;
  SplitRequestUrl();
  if (FProtocol.empty()) FProtocol = "http";
  if (FPath.empty()) FPath = "/";
  AdjustDocName();
  FRequestOrigin = TargetOrigin();
  FOtherOrigin = false;
  // Request start of authentication: every state starts idle.
  FAuthNTLMState = kNtlmIdle;
  FProxyAuthNTLMState = kNtlmIdle;
  FAuthBasicState = kBasicIdle;
  FProxyAuthBasicState = kBasicIdle;
  if (FSocket->State() == net::wsConnected) {
    if (SameConnection()) {
      ReuseKeptConnection();
      return;
    }
    FSocket->Abort();
  }
  StateChange(httpNotConnected);
  Login();
}

void THttpCli::StartClose() {
  FStatusCode = 200;
  FReasonPhrase = "OK";
  // Closing succeeds whatever became of the document before it.
  FDocTruncated = false;
  StateChange(httpClosing);
  if (FSocket->State() == net::wsClosed)
    SetReady();
  else
    FSocket->CloseDelayed();
}

// Where the request goes: the document's server and path, and the host and port
// the socket connects to (the proxy's when there is one).
void THttpCli::SplitRequestUrl() {
  std::string proto, user, pass, host, port, path;
  if (FProxy.empty()) path = FPath;  // a "./" or "../" URL resolves against the previous request
  // The fragment is for the caller alone; an empty path is sent as "/".
  ParseURL(FURL.substr(0, FURL.find('#')), proto, user, pass, host, port, path);
  if (path.empty() || path[0] == '?') path.insert(0, "/");
  // "/a/../b" is "/b", whichever way the request goes.
  const size_t query = path.find('?');
  path = RemoveDotSegments(path.substr(0, query)) + (query == std::string::npos ? "" : path.substr(query));
  host = AsciiHostName(host);
  FTargetHost = host;
  FTargetPort = port.empty() ? DefaultPort(proto.empty() ? std::string("http") : proto) : port;
  FDocName = path;
  FProtocol = proto;
  if (!user.empty()) FCurrUsername = user;
  if (!pass.empty()) FCurrPassword = pass;
  FTunnel = !FProxy.empty() && proto == "https";
  if (FProxy.empty()) {
    FPath = path;
    FHostName = host;
    FPort = FTargetPort;
    return;
  }
  if (FTunnel)
    FPath = path;
  else
    FPath = (proto.empty() ? std::string("http") : proto) + "://" + host + (port.empty() ? "" : ":" + port) +
            path;
  std::string pProto, pUser, pPass, pHost, pPort, pPath;
  ParseURL(FProxy, pProto, pUser, pPass, pHost, pPort, pPath);
  FHostName = pHost;
  FPort = pPort.empty() ? FProxyPort : pPort;
}

// The end of the application (or a time limit it applies) is checked between
// messages, not once the queue is empty: a server that never stops sending keeps
// it from ever emptying. A request that has ended keeps its own result. Between
// the attempts of an authentication handshake the client is ready for a moment;
// the request goes on with the posted login.
void THttpCli::WaitUntilReady() {
  core::IApplication& app = core::Application();
  while (FHttpState != httpReady || FLoginPending) {
    if (FMultiThreaded) {
      if (!FSocket->PumpOneMessage()) winapi::Sleep(0);
    } else {
      app.WaitMessage(1000);
      app.ProcessMessages();
    }
    if ((FHttpState != httpReady || FLoginPending) && (app.Terminated() || FSocket->Terminated())) {
      Abort();
      return;
    }
  }
}

void THttpCli::RunRequestSync(THttpRequest Rq) {
  StartRequestAsync(Rq);
  WaitUntilReady();
  if (FDocTruncated) throw EHttpException("Connection closed before the end of the document", FStatusCode);
  if (FStatusCode >= 400 && FStatusCode != 401 && FStatusCode != 407)
    throw EHttpException(FReasonPhrase, static_cast<uint16_t>(FStatusCode));
}

// The relocation count belongs to one call; a busy client keeps the count of the
// request it is running.
void THttpCli::Get() {
  if (FHttpState == httpReady) FLocationChangeCurCount = 0;
  RunRequestSync(httpGET);
}

void THttpCli::Post() {
  if (FHttpState == httpReady) FLocationChangeCurCount = 0;
  RunRequestSync(httpPOST);
}

void THttpCli::Put() {
  if (FHttpState == httpReady) FLocationChangeCurCount = 0;
  RunRequestSync(httpPUT);
}

void THttpCli::Head() {
  if (FHttpState == httpReady) FLocationChangeCurCount = 0;
  RunRequestSync(httpHEAD);
}

void THttpCli::Close() {
  RunRequestSync(httpCLOSE);
}

void THttpCli::GetAsync() {
  if (FHttpState == httpReady) FLocationChangeCurCount = 0;
  StartRequestAsync(httpGET);
}

void THttpCli::PostAsync() {
  if (FHttpState == httpReady) FLocationChangeCurCount = 0;
  StartRequestAsync(httpPOST);
}

void THttpCli::PutAsync() {
  if (FHttpState == httpReady) FLocationChangeCurCount = 0;
  StartRequestAsync(httpPUT);
}

void THttpCli::HeadAsync() {
  if (FHttpState == httpReady) FLocationChangeCurCount = 0;
  StartRequestAsync(httpHEAD);
}

void THttpCli::CloseAsync() {
  StartRequestAsync(httpCLOSE);
}

// --- aborting ---

void THttpCli::Abort() {
  if (FHttpState == httpReady) {
    // A request between two attempts of its authentication handshake is still
    // running: it ends as aborted, not as a success.
    const bool between = FLoginPending;
    FLoginPending = false;
    FHttpState = httpAborting;
    if (FSocket->State() != net::wsClosed) FSocket->Abort();
    FStatusCode = between ? 404 : 200;
    FReasonPhrase = between ? "Connection aborted on request" : "OK";
    FRequestDoneError = between ? 3 : 0;
    FHttpState = httpReady;
    TriggerStateChange();
    RequestDoneStep(FRequestType, FRequestDoneError);
    return;
  }
  // A running connection race has no socket event to end the request with.
  const bool racing = FRace && FRace->Running();
  if (racing) FRace->Cancel();
  const bool wasLookup = FHttpState == httpDnsLookup || racing;
  FLoginPending = false;
  // A step that is running (Abort called from one of its events) stops here.
  ClearReceiveBuffer();
  StateChange(httpAborting);
  if (wasLookup) {
    try {
      FSocket->CancelDnsLookup();
    } catch (const std::exception&) {
      // The request ends below whatever the cancel reported.
    }
  }
  FStatusCode = 404;
  FReasonPhrase = "Connection aborted on request";
  FRequestDoneError = 3;
  if (wasLookup)
    EndRequest(0);
  else
    FSocket->Close();
  StateChange(httpReady);
}

}  // namespace http
