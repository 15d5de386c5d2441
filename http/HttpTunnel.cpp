// THttpCli: an https document through a proxy. The client asks the proxy for a
// tunnel to the server (CONNECT), then runs TLS inside it and sends the request as
// it would to the server itself. A proxy that asks for credentials (407) keeps
// the connection when it can, so the next CONNECT, carrying them, goes on the same
// one: NTLM authenticates the connection and needs that.
#include <algorithm>
#include <optional>
#include <string_view>

#include "core/SysUtils.h"

#include "http/HttpProt.h"

namespace http {

namespace {

// A refused CONNECT's body is read only to keep its connection; a longer one
// costs more than a new connection.
constexpr int64_t kMaxRefusalBody = 1024 * 1024;

// Where the proxy's answer ends: just past the line end of its last line
// (fields) and just past the empty line after it (all). Lines end in CR LF or,
// from a sloppy proxy, in a bare LF.
struct TAnswerEnd {
  size_t fields = 0, all = 0;
};

std::optional<TAnswerEnd> FindAnswerEnd(std::string_view data) {
  for (size_t start = 0;;) {
    const size_t lf = data.find('\n', start);
    if (lf == std::string_view::npos) return std::nullopt;
    if (lf == start || (lf == start + 1 && data[start] == '\r')) return TAnswerEnd{start, lf + 1};
    start = lf + 1;
  }
}

// "HTTP/1.1 200 Connection established" -> 200 and "Connection established";
// 0 when the line is no status line.
int ParseTunnelStatus(std::string_view line, std::string& reason) {
  if (line.size() < 12 || line.substr(0, 5) != "HTTP/" || line[8] != ' ') return 0;
  int code = 0;
  for (size_t i = 9; i < 12; ++i) {
    if (line[i] < '0' || line[i] > '9') return 0;
    code = code * 10 + (line[i] - '0');
  }
  reason = std::string(line.size() > 13 ? line.substr(13) : std::string_view());
  return code;
}

// What a CONNECT answer's header says about the connection after it.
struct TTunnelFraming {
  int64_t length = -1;  // Content-Length; -1 none, -2 unusable (not a number, two that differ)
  bool chunked = false;
  bool otherCoding = false;
  bool close = false;
  bool keepAlive = false;
  // The connection outlives the answer: its body has a known end and nobody closes it.
  bool Kept(bool http10) const {
    if (close || otherCoding || length == -2 || (http10 && !keepAlive)) return false;
    if (chunked) return true;
    return length >= 0 && length <= kMaxRefusalBody;
  }
};

int64_t ParseLength(const std::string& value) {
  if (value.empty() || value.size() > 18 || value.find_first_not_of("0123456789") != std::string::npos)
    return -2;
  return *core::TryStrToInt64(value);
}

void TakeConnectionTokens(const std::string& value, TTunnelFraming& f) {
  size_t start = 0;
  while (start <= value.size()) {
    const size_t comma = std::min(value.find(',', start), value.size());
    const std::string token = core::Trim(std::string_view(value).substr(start, comma - start));
    if (core::SameText(token, "close")) f.close = true;
    if (core::SameText(token, "keep-alive")) f.keepAlive = true;
    start = comma + 1;
  }
}

// One field line of the answer (name and value trimmed).
void TakeTunnelField(const std::string& name, const std::string& value, TTunnelFraming& f) {
  if (core::SameText(name, "content-length")) {
    const int64_t length = ParseLength(value);
    f.length = f.length == -1 || f.length == length ? length : -2;
  } else if (core::SameText(name, "transfer-encoding")) {
    const size_t comma = value.rfind(',');
    const std::string last = core::Trim(comma == std::string::npos ? value : value.substr(comma + 1));
    f.chunked = core::SameText(last, "chunked");
    f.otherCoding = !f.chunked;
  } else if (core::SameText(name, "connection") || core::SameText(name, "proxy-connection")) {
    TakeConnectionTokens(value, f);
  }
}

}  // namespace

// The authorization lines of one side of the tunnel: the proxy's go with CONNECT,
// the server's with the request inside it, and neither reaches the other.
void THttpCli::AddTunnelAuthorizationLines(core::TStringList& Headers, bool ForProxy) {
  core::TStringList lines;
  AddAuthorizationLines(lines);
  for (const std::string& line : lines.Items()) {
    if (core::SameText(core::Copy(line, 1, 20), "Proxy-Authorization:") == ForProxy) Headers.Add(line);
  }
}

// A refused CONNECT: its header as the request's (RcvdHeader), its challenges for
// the proxy authentication steps, and whether its connection can carry the next
// CONNECT. Header holds the status line and the fields, each ending in LF.
bool THttpCli::TakeTunnelFields(std::string_view Header, bool Http10) {
  FAuthChallenges.Clear();
  FRcvdHeader.Clear();
  TTunnelFraming framing;
  size_t start = 0;
  while (start < Header.size()) {
    const size_t end = std::min(Header.find('\n', start), Header.size());
    std::string line(Header.substr(start, end - start));
    start = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    FRcvdHeader.Add(line);
    const size_t colon = line.find(':');
    if (FRcvdHeader.Count() == 1 || colon == std::string::npos) continue;
    const std::string name = core::Trim(line.substr(0, colon));
    const std::string value = core::Trim(line.substr(colon + 1));
    if (core::SameText(name, "proxy-authenticate")) AddChallenges(value);
    TakeTunnelField(name, value, framing);
  }
  if (!framing.Kept(Http10)) return false;
  // The proxy keeps the connection: a handshake may go on on it.
  FCloseReq = false;
  FContentLength = framing.chunked ? -1 : framing.length;
  FTransferEncoding = framing.chunked ? "chunked" : "";
  return true;
}

std::string THttpCli::TunnelTarget() const {
  return FTunnel ? FTargetHost + ":" + FTargetPort : std::string();
}

// The open connection serves the next request: same host, port and scheme, and
// through a proxy the same tunnel.
bool THttpCli::SameConnection() const {
  return FHostName == FCurrentHost && FPort == FCurrentPort && FProtocol == FCurrentProtocol &&
         TunnelTarget() == FCurrentTunnel && Http2Fits();
}

void THttpCli::StartTunnel() {
  if (CheckLogOptions(core::loProtSpecInfo)) DebugLog(core::loProtSpecInfo, "CONNECT " + TunnelTarget());
  ClearReceiveBuffer();
  FConnected = true;
  StateChange(httpWaitingProxyConnect);
  const std::string target = TunnelTarget();
  std::string request = "CONNECT " + target + " HTTP/1.1\r\nHost: " + target + "\r\n";
  if (!FAgent.empty()) request += "User-Agent: " + FAgent + "\r\n";
  core::TStringList auth;
  BindNTLMToConnection();
  AddTunnelAuthorizationLines(auth, true);
  for (const std::string& line : auth.Items()) request += line + "\r\n";
  request += "\r\n";
  FSocket->SendStr(request);
}

// The proxy's answer to CONNECT: a 2xx opens the tunnel and TLS starts in it (the
// socket's connected event follows the handshake); anything else ends the request
// with the proxy's status. After a 407 the answer's body is read and dropped and
// the connection kept for the proxy authentication steps, unless it ends with
// the answer.
void THttpCli::TakeTunnelReply() {
  if (FTunnelBodySkip) {
    SkipTunnelBody();
    return;
  }
  const std::string_view data(FReceiveBuffer.data(), static_cast<size_t>(FReceiveLen));
  const std::optional<TAnswerEnd> end = FindAnswerEnd(data);
  if (!end) {
    if (FReceiveLen > kMaxHeaderSize) FailProtocol("Proxy answer to CONNECT too long");
    return;
  }
  std::string_view line = data.substr(0, data.find('\n'));
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  std::string reason;
  const int code = ParseTunnelStatus(line, reason);
  if (code >= 200 && code < 300) {
    FAuthChallenges.Clear();
    ClearReceiveBuffer();
    FSocket->StartSsl();
    return;
  }
  if (code == 0) {
    FailProtocol("Bad proxy answer to CONNECT");
    return;
  }
  FStatusCode = code;
  FReasonPhrase = reason;
  FStatusLineSeen = true;
  const bool kept =
      TakeTunnelFields(data.substr(0, end->fields), line.substr(0, 8) == "HTTP/1.0") && code == 407;
  // The refusal is the answer the caller gets: its header is told as a server's.
  TriggerHeaderBegin();
  TriggerHeaderEnd();
  if (FHttpState != httpWaitingProxyConnect) return;  // a handler ended the request
  if (kept) {
    CompactReceive(static_cast<int64_t>(end->all));
    FTunnelBodySkip = true;
    FRcvdCount = 0;
    NextChunk(httpChunkSize);
    FChunkTrailer = false;
    SkipTunnelBody();
    return;
  }
  // The request ends with the proxy's answer; a 407 is answered by the proxy
  // authentication steps with a new CONNECT on a new connection.
  ClearReceiveBuffer();
  FCloseReq = true;
  CloseNow();
}

// Drops the received part of a refused CONNECT's body. At its end the request is
// over on a connection still open: the authentication steps send the next CONNECT
// on it.
void THttpCli::SkipTunnelBody() {
  bool done = false;
  if (FTransferEncoding == "chunked") {
    DecodeChunks(FReceiveBuffer.data(), FReceiveLen);
    if (FProtocolFailed) return;
    done = FChunkState == httpChunkDone;
  } else {
    FRcvdCount += std::min(FReceiveLen, FContentLength - FRcvdCount);
    done = FRcvdCount == FContentLength;
  }
  // Nothing follows the body before the next CONNECT.
  ClearReceiveBuffer();
  if (done) {
    FTunnelBodySkip = false;
    SetReady();
  } else if (FRcvdCount > kMaxRefusalBody) {
    FCloseReq = true;
    CloseNow();
  }
}

}  // namespace http
