// What the window's Options dialog sets on its HTTP client. The defaults are the
// window's own configuration (HTTP/1.0, five redirections, no proxy, SOCKS,
// login, compression, time limit or bandwidth limit, the system's trust store),
// so a window whose options were never touched behaves as it always did.
//
// No toolkit: the dialog edits the fields as text, Check() says what is wrong
// with which field, Apply() configures the client for the next loads.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace http {
class THttpCli;
}

namespace app {

struct TWindowOptions {
  std::string httpVersion = "1.0";
  std::string timeoutSeconds = "0";  // 0: no limit; fractions allowed
  bool followRedirects = true;
  std::string maxRedirects = "5";
  std::string proxy;  // HOST[:PORT]; empty: none
  std::string proxyUser, proxyPassword;
  std::string socks;  // HOST[:PORT]; empty: none
  std::string socksLevel = "5";
  std::string socksUser, socksPassword;
  std::string user, password;
  bool compressed = false;
  std::string caFile;  // PEM; empty: the system's trust store
  bool insecure = false;
  std::string ipFamily = "both";     // "both" (raced, IPv6 first), "ipv4" or "ipv6"
  bool noRace = false;               // one connection attempt at a time
  std::string bandwidthLimit = "0";  // bytes per second (k, M, G); 0: no limit
  bool recordHistory = true;         // keep every run in the history database

  bool operator==(const TWindowOptions&) const = default;
};

// A field the dialog shows and what is wrong with it.
struct TOptionProblem {
  std::string field;  // the member's name: "timeoutSeconds", "proxy", ...
  std::string message;
};
std::vector<TOptionProblem> CheckOptions(const TWindowOptions& o);

// The time limit in milliseconds (0: none), for options that passed the check.
uint32_t TimeoutMs(const TWindowOptions& o);

// The window's configuration of client with o on top. socksFailure receives the
// text of a SOCKS failure and must outlive the client's requests.
void ApplyOptions(http::THttpCli& client, const TWindowOptions& o, std::string& socksFailure);

}  // namespace app
