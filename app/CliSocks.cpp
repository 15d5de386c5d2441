#include "app/CliSocks.h"

#include <algorithm>
#include <cctype>

#include "core/SysUtils.h"
#include "http/HttpProt.h"
#include "net/SocksWSocket.h"

namespace app {

namespace {

constexpr const char* kDefaultSocksPort = "1080";

bool IsPortNumber(const std::string& s) {
  if (s.empty() || s.size() > 5) return false;
  if (!std::all_of(s.begin(), s.end(), [](unsigned char c) { return std::isdigit(c) != 0; })) return false;
  const int port = std::stoi(s);
  return port >= 1 && port <= 65535;
}

struct THostPort {
  std::string host, port;  // port empty: none given
  bool portGiven = false;
};

// HOST[:PORT], where an IPv6 HOST is "[::1]" (a port may follow) or a bare "::1"
// (the colons are the address's: no port).
THostPort SplitServer(const std::string& Value) {
  size_t colon = std::string::npos;
  if (!Value.empty() && Value[0] == '[') {
    const size_t close = Value.find(']');
    if (close != std::string::npos && close + 1 < Value.size() && Value[close + 1] == ':') colon = close + 1;
    if (close == std::string::npos || (close + 1 < Value.size() && colon == std::string::npos))
      return {};  // an unclosed '[' or text after the address: no host
  } else if (std::count(Value.begin(), Value.end(), ':') == 1) {
    colon = Value.find(':');
  }
  if (colon == std::string::npos) return {Value, {}, false};
  return {Value.substr(0, colon), Value.substr(colon + 1), true};
}

}  // namespace

std::string CheckSocksServer(const std::string& Value) {
  const THostPort s = SplitServer(Value);
  if (s.host.empty()) return "needs a host: HOST[:PORT]";
  if (s.portGiven && !IsPortNumber(s.port))
    return "the port must be a number from 1 to 65535: '" + Value + "'";
  return {};
}

std::string CheckSocksLevel(const std::string& Value) {
  const std::string level = core::UpperCase(Value);
  if (level == "4" || level == "4A" || level == "5") return {};
  return "must be 4, 4A or 5";
}

std::string SocksLengthProblem(const TSocksOptions& Options, const std::string& Host) {
  if (Options.server.empty()) return {};
  const std::string level = core::UpperCase(Options.level);
  if (level != "4" && Host.size() > 255) return "SOCKS: host name longer than 255 bytes";
  if (level == "5" && Options.user.size() > 255) return "SOCKS: user name longer than 255 bytes";
  if (level == "5" && Options.password.size() > 255) return "SOCKS: password longer than 255 bytes";
  return {};
}

void ApplySocks(http::THttpCli& Client, const TSocksOptions& Options, std::string& Failure) {
  if (Options.server.empty()) return;
  const THostPort s = SplitServer(Options.server);
  Client.SetSocksServer(s.host);
  Client.SetSocksPort(s.portGiven ? s.port : kDefaultSocksPort);
  Client.SetSocksLevel(core::UpperCase(Options.level));
  Client.SetSocksUsercode(Options.user);
  Client.SetSocksPassword(Options.password);
  Client.SetSocksAuthentication(Options.user.empty() ? net::socksNoAuthentication
                                                     : net::socksAuthenticateUsercode);
  Client.OnSocksError = [&Failure](core::TComponent*, int Error, const std::string& Msg) {
    Failure = Msg + " (Error #" + std::to_string(Error) + ")";
  };
}

}  // namespace app
