// THttpCli: starting a request (synchronously or not), the public request
// operations, and aborting.
#include "core/Application.h"
#include "http/HttpProt.h"
#include "http/Url.h"
#include "platform/WinMsg.h"

namespace http {

// --- starting a request ---

void THttpCli::StartRequestAsync(THttpRequest Rq) {
  if (Rq != httpCLOSE && FHttpState != httpReady)
    throw EHttpException("HTTP component " + Name() + " is busy", 1);
  if ((Rq == httpPOST || Rq == httpPUT) && !FSendStream)
    throw EHttpException("HTTP component has nothing to post or put", 2);
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
  // Request start of authentication: every state starts at 0.
  FAuthNTLMState = 0;
  FProxyAuthNTLMState = 0;
  FAuthBasicState = 0;
  FProxyAuthBasicState = 0;
  if (FSocket->State() == net::wsConnected) {
    if (FHostName == FCurrentHost && FPort == FCurrentPort && FProtocol == FCurrentProtocol) {
      SocketSessionConnected(this, 0);
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
  ParseURL(FURL, proto, user, pass, host, port, path);
  FTargetHost = host;
  FTargetPort = port.empty() ? "80" : port;
  FDocName = path;
  FProtocol = proto;
  if (!user.empty()) FCurrUsername = user;
  if (!pass.empty()) FCurrPassword = pass;
  if (FProxy.empty()) {
    FPath = path;
    FHostName = host;
    FPort = FTargetPort;
    return;
  }
  FPath =
      (proto.empty() ? std::string("http") : proto) + "://" + host + (port.empty() ? "" : ":" + port) + path;
  std::string pProto, pUser, pPass, pHost, pPort, pPath;
  ParseURL(FProxy, pProto, pUser, pPass, pHost, pPort, pPath);
  FHostName = pHost;
  FPort = pPort.empty() ? FProxyPort : pPort;
}

void THttpCli::RunRequestSync(THttpRequest Rq) {
  StartRequestAsync(Rq);
  // Between the attempts of an authentication handshake the client is ready for a
  // moment; the request goes on with the posted login.
  while (FHttpState != httpReady || FLoginPending) {
    if (FMultiThreaded) {
      FSocket->PumpMessages();
      winapi::Sleep(0);
    } else {
      core::IApplication& app = core::Application();
      app.WaitMessage(1000);
      app.ProcessMessages();
      if (app.Terminated()) {
        Abort();
        break;
      }
    }
  }
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
    FLoginPending = false;  // an authentication attempt that was about to start
    FHttpState = httpAborting;
    if (FSocket->State() != net::wsClosed) FSocket->Abort();
    FStatusCode = 200;
    FReasonPhrase = "OK";
    FRequestDoneError = 0;
    FHttpState = httpReady;
    TriggerStateChange();
    RequestDoneStep(FRequestType, FRequestDoneError);
    return;
  }
  const bool wasLookup = FHttpState == httpDnsLookup;
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
    SocketSessionClosed(this, 0);
  else
    FSocket->Close();
  StateChange(httpReady);
}

}  // namespace http
