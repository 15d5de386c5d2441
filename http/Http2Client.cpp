// THttpCli over HTTP/2: choosing the protocol of a connection, sending a request
// as a stream, and feeding the connection's frames to its session. The response
// comes back as HTTP/1.1 text and runs through the same header and body steps as
// an HTTP/1 response, so relocation, authentication, content coding, the
// timeline and the events behave alike.
#include <algorithm>
#include <climits>

#include "http/Http2Session.h"
#include "http/HttpProt.h"

namespace http {

namespace {

// Fields that belong to one HTTP/1 connection; HTTP/2 forbids them.
bool ConnectionSpecific(const std::string& name) {
  return name == "connection" || name == "proxy-connection" || name == "keep-alive" ||
         name == "transfer-encoding" || name == "upgrade" || name == "host";
}

}  // namespace

// Through an HTTP proxy only a tunnel (https) can carry HTTP/2.
bool THttpCli::WantsHttp2() const {
  if (FRequestVer != "2" || FNoHttp2) return false;
  return FProtocol == "https" || (FProtocol == "http" && FProxy.empty());
}

std::string THttpCli::WireVer() const {
  if (FHttp2) return "2";
  return FRequestVer == "2" ? "1.1" : FRequestVer;
}

// A kept connection serves the next request only in the protocol it speaks; one
// that never offered HTTP/2 (NTLM's) is not kept for a request that wants it.
bool THttpCli::Http2Fits() const {
  if (FHttp2) return WantsHttp2() && FHttp2->CanSubmit();
  const bool tls = FSocket->SslState() == net::sslEstablished;
  if (tls && FSocket->SslAlpn() == "h2") return false;
  if (!WantsHttp2()) return true;
  const std::vector<std::string>& offer = FSocket->SslAlpnOffer();
  return tls && std::find(offer.begin(), offer.end(), "h2") != offer.end();
}

// A new connection speaks HTTP/2 when TLS agreed on "h2", or in clear text by
// prior knowledge; a kept one goes on as it started.
void THttpCli::ChooseWireVersion(bool Reused) {
  const bool tls = FSocket->SslState() == net::sslEstablished;
  if (!FHttp2 && !Reused && WantsHttp2() && (!tls || FSocket->SslAlpn() == "h2")) {
    FHttp2 = std::make_unique<THttp2Session>(THttp2Limits{kMaxHeaderSize, kMaxHeaderLine});
    FHttp2->OnBodySent = [this](int32_t, const char* data, size_t size) {
      if (size == 0) {
        TriggerSendEnd();
        return;
      }
      FSentCount += static_cast<int64_t>(size);
      TriggerSendData(data, static_cast<int>(size));
    };
  }
  FAlpnFellBack = !FHttp2 && WantsHttp2() && tls;
  FProtocolUsed = FHttp2 ? "h2" : "http/" + WireVer();
  if (FAlpnFellBack && CheckLogOptions(core::loProtSpecInfo))
    DebugLog(core::loProtSpecInfo, "ALPN: the server chose \"" + FSocket->SslAlpn() + "\", HTTP/1.1 used");
}

// NTLM authenticates a connection, which HTTP/2 shares among streams: the
// handshake goes over a new HTTP/1.1 connection.
bool THttpCli::Http2ForNtlm() {
  const bool ntlm = (FAuthNTLMState > kNtlmIdle && FAuthNTLMState < kNtlmDone) ||
                    (FProxyAuthNTLMState > kNtlmIdle && FProxyAuthNTLMState < kNtlmDone);
  if (!FHttp2 || !ntlm) return false;
  if (CheckLogOptions(core::loProtSpecInfo))
    DebugLog(core::loProtSpecInfo, "NTLM: HTTP/1.1 on a new connection");
  FNoHttp2 = true;
  // This close ends no request: the new connection carries it on.
  FSocket->OnSessionClosed = nullptr;
  FSocket->Abort();
  HookSessionClosed();
  FHttp2.reset();
  FHttp2Stream = 0;
  return true;
}

// The request header is built as for HTTP/1 (so OnBeforeHeaderSend and OnCommand
// see the same lines) and then sent as fields: the request line gives the method
// and path, Host the authority.
void THttpCli::SendHttp2Request(const std::string& Method) {
  BandwidthRequestStart();
  FUpgradeRequested = false;
  core::TStringList headers;
  TriggerRequestHeaderBegin();
  AddRequestLines(Method, "2", headers);
  FAcceptRanges.clear();
  TriggerBeforeHeaderSend(Method, headers);
  THttp2Request rq;
  rq.scheme = FProtocol;
  for (int i = 0; i < headers.Count(); ++i) {
    std::string line = headers[i];
    if (auto h = OnCommand) h(this, line);
    if (i == 0) {
      const size_t sp = line.find(' '), last = line.rfind(' ');
      rq.method = line.substr(0, sp);
      rq.path = sp < last ? line.substr(sp + 1, last - sp - 1) : FPath;
      continue;
    }
    const size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    const std::string name = core::LowerCase(core::Trim(line.substr(0, colon)));
    const std::string value = core::Trim(line.substr(colon + 1));
    if (name == "host") rq.authority = value;
    if (!ConnectionSpecific(name)) rq.fields.emplace_back(name, value);
  }
  TriggerRequestHeaderEnd();
  const bool ntlmFirst = FAuthNTLMState == kNtlmSendMessage1 || FProxyAuthNTLMState == kNtlmSendMessage1;
  if ((FRequestType == httpPOST || FRequestType == httpPUT) && !ntlmFirst && FSendStream) {
    rq.body = FSendStream;
    TriggerSendBegin();
  }
  if (FHttp2Stream != 0) FHttp2->Forget(FHttp2Stream);
  FHttp2->SetStreamWindow(Http2WindowForRate());
  FHttp2Stream = FHttp2->Submit(rq);
  if (FHttp2Stream == 0) {
    FailProtocol(FHttp2->Failure());
    return;
  }
  if (CheckLogOptions(core::loProtSpecInfo))
    DebugLog(core::loProtSpecInfo,
             "HTTP/2 stream " + std::to_string(FHttp2Stream) + ": " + Method + " " + rq.path);
  Http2Flush();
  if (FHttp2 && FSocket->AllSent() && FHttp2->RequestWritten(FHttp2Stream)) MarkPhase(TLoadPhase::wait);
}

// Under bandwidth control the server may send about two budgets ahead, so the
// window, not a paused socket, holds it to the rate; other streams and the
// connection's own frames go on meanwhile.
int32_t THttpCli::Http2WindowForRate() const {
  if (!(FOptions & httpoBandwidthControl)) return THttp2Session::kWindow;
  const int64_t budget = std::max<int64_t>(FBandwidthPerPeriod / 1000, 0);
  return static_cast<int32_t>(std::clamp<int64_t>(2 * budget, 16384, THttp2Session::kWindow));
}

void THttpCli::Http2Flush() {
  std::string out;
  FHttp2->Produce(out);
  if (!out.empty() && FSocket->State() == net::wsConnected)
    FSocket->Send(out.data(), static_cast<int>(out.size()));
}

int THttpCli::Http2Take(void* Buffer, int BufferSize) {
  if (FHttp2Stream == 0 || BufferSize <= 0) return 0;
  return static_cast<int>(
      FHttp2->Take(FHttp2Stream, static_cast<char*>(Buffer), static_cast<size_t>(BufferSize)));
}

// One receive's frames go to the session, then the stream's text to the parser.
void THttpCli::Http2DataAvailable(uint16_t ErrCode) {
  if (FHttp2Raw.empty()) FHttp2Raw.resize(static_cast<size_t>(kReceiveRoom));
  const int n = FSocket->Receive(FHttp2Raw.data(), static_cast<int>(FHttp2Raw.size()));
  if (n > 0 && !FHttp2->Feed(FHttp2Raw.data(), static_cast<size_t>(n))) {
    // The session's GOAWAY goes out before the connection closes.
    Http2Flush();
    if (FHttpState == httpWaitingHeader || FHttpState == httpWaitingBody)
      FailProtocol(FHttp2->Failure());
    else
      CloseNow();
    return;
  }
  Http2Flush();
  Http2Deliver(ErrCode);
}

// The stream's text goes through the parser for as long as it takes some and the
// bandwidth budget lasts; a tick that pays the next budget comes back here.
void THttpCli::Http2Deliver(uint16_t ErrCode) {
  const uintptr_t serial = FRequestSerial;
  while (FHttp2 && FHttp2Stream != 0 && FHttp2->Pending(FHttp2Stream) > 0 && !FBandwidthPaused) {
    const size_t before = FHttp2->Pending(FHttp2Stream);
    ReceiveAndParse(ErrCode);
    if (!FHttp2 || FRequestSerial != serial || FHttp2->Pending(FHttp2Stream) >= before) break;
  }
  if (!FHttp2 || FRequestSerial != serial) return;
  // Taking the text opened windows: the updates go out now.
  Http2Flush();
  Http2CheckStream();
}

// A stream that failed, or ended while the parser still waits for its document,
// fails the request; the connection goes with it.
void THttpCli::Http2CheckStream() {
  if (FHttp2Stream == 0 || FLoginPending || !FLineHandler) return;
  if (FHttpState != httpWaitingHeader && FHttpState != httpWaitingBody) return;
  if (FHttp2->Pending(FHttp2Stream) > 0) return;
  const std::string failure = FHttp2->StreamFailure(FHttp2Stream);
  if (!failure.empty())
    FailProtocol(failure);
  else if (FHttp2->Closed(FHttp2Stream))
    FailProtocol("HTTP/2 stream ended before the end of the document");
}

}  // namespace http
