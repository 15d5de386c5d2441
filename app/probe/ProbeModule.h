// A probe module: how the probe server measures a target, named by the
// scrape's module parameter. The defaults are those of a plain GET over
// HTTP/1.1 that follows redirections and counts any 2xx as success.
#pragma once

#include <string>
#include <vector>

#include "app/CliSocks.h"

namespace http {
class THttpCli;
}

namespace probe {

struct TProbeModule {
  double timeoutSeconds = 0;        // 0: the scrape's own timeout alone caps the probe
  std::string httpVersion = "1.1";  // "1.0", "1.1" or "2"
  bool followRedirects = true;
  int maxRedirects = 5;
  std::vector<int> validStatusCodes;        // empty: 200 to 299
  std::vector<std::string> validProtocols;  // "http/1.0", "http/1.1", "h2"; empty: any
  std::string caFile;                       // empty: the system's
  bool insecure = false;                    // no check of the server's certificate
  bool compression = false;                 // Accept-Encoding with what the client decodes
  std::string ipFamily = "any";             // "any", "ip4" or "ip6"
  std::string proxyHost, proxyPort = "80";
  app::TSocksOptions socks;
  std::string user, password;  // credentials for the target
  bool ValidStatus(int status) const;
};

// Sets the client up for the module (after ConfigureClient); a SOCKS failure's
// text goes to socksFailure, which must outlive the client's requests.
void ApplyModule(http::THttpCli& client, const TProbeModule& module, std::string& socksFailure);

}  // namespace probe
