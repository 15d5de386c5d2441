// THttpCli: an https document through a proxy. The client asks the proxy for a
// tunnel to the server (CONNECT), then runs TLS inside it and sends the request as
// it would to the server itself.
#include <string_view>

#include "core/SysUtils.h"

#include "http/HttpProt.h"

namespace http {

namespace {

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

// The challenges of a refused CONNECT, for the proxy authentication steps.
void THttpCli::TakeTunnelChallenges(std::string_view Header) {
  FAuthChallenges.Clear();
  size_t start = Header.find('\n');
  while (start != std::string_view::npos && start + 1 < Header.size()) {
    const size_t end = Header.find('\n', start + 1);
    std::string line(
        Header.substr(start + 1, end == std::string_view::npos ? std::string_view::npos : end - start - 1));
    start = end;
    const size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    if (core::SameText(core::Trim(line.substr(0, colon)), "proxy-authenticate"))
      FAuthChallenges.Add(core::Trim(line.substr(colon + 1)));
  }
}

std::string THttpCli::TunnelTarget() const {
  return FTunnel ? FTargetHost + ":" + FTargetPort : std::string();
}

// The open connection serves the next request: same host, port and scheme, and
// through a proxy the same tunnel.
bool THttpCli::SameConnection() const {
  return FHostName == FCurrentHost && FPort == FCurrentPort && FProtocol == FCurrentProtocol &&
         TunnelTarget() == FCurrentTunnel;
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
  AddTunnelAuthorizationLines(auth, true);
  for (const std::string& line : auth.Items()) request += line + "\r\n";
  request += "\r\n";
  FSocket->SendStr(request);
}

// The proxy's answer to CONNECT: a 2xx opens the tunnel and TLS starts in it (the
// socket's connected event follows the handshake); anything else ends the request
// with the proxy's status.
void THttpCli::TakeTunnelReply() {
  const std::string_view data(FReceiveBuffer.data(), static_cast<size_t>(FReceiveLen));
  const size_t end = data.find("\r\n\r\n");
  if (end == std::string_view::npos) {
    if (FReceiveLen > kMaxHeaderSize) FailProtocol("Proxy answer to CONNECT too long");
    return;
  }
  std::string_view line = data.substr(0, data.find('\n'));
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  std::string reason;
  const int code = ParseTunnelStatus(line, reason);
  TakeTunnelChallenges(data.substr(0, end + 2));
  ClearReceiveBuffer();
  if (code >= 200 && code < 300) {
    FSocket->StartSsl();
    return;
  }
  if (code == 0) {
    FailProtocol("Bad proxy answer to CONNECT");
    return;
  }
  // The request ends with the proxy's answer; a 407 is answered by the proxy
  // authentication steps with a new CONNECT on a new connection.
  FStatusCode = code;
  FReasonPhrase = reason;
  FStatusLineSeen = true;
  FCloseReq = true;
  CloseNow();
}

}  // namespace http
