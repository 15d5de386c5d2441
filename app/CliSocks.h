// tachyload-cli's SOCKS options: the server as HOST[:PORT] (port 1080 unless
// given; an IPv6 HOST as "[::1]" or, without a port, "::1"), the level (4, 4A or 5), and the user code and
// password. A user code turns on the user/password method at level 5; at levels 4 and 4A it is the user id of
// the request.
#pragma once

#include <string>

namespace http {
class THttpCli;
}

namespace app {

struct TSocksOptions {
  std::string server;  // HOST[:PORT]; empty: no SOCKS server
  std::string level = "5";
  std::string user, password;
};

// Empty when Value is HOST or HOST:PORT with a port of 1 to 65535, else the reason.
std::string CheckSocksServer(const std::string& Value);
// Empty for 4, 4A (any case) or 5, else the reason.
std::string CheckSocksLevel(const std::string& Value);

// What the SOCKS protocol cannot carry, for a page on host: a host name (sent at
// levels 4A and 5), a user name or a password (level 5) longer than 255 bytes.
// Empty when all fits or no SOCKS server is given.
std::string SocksLengthProblem(const TSocksOptions& Options, const std::string& Host);

// Routes the client's connections through the SOCKS server of Options (when one is
// given) and keeps the text of a SOCKS failure in Failure, which must outlive the
// client's requests; a load that fails for that reason is reported with it.
void ApplySocks(http::THttpCli& Client, const TSocksOptions& Options, std::string& Failure);

}  // namespace app
