// The probe server's module file (--config FILE): YAML in the shape HTTP probe
// exporters use, reduced to what Tachyload measures with:
//
//   modules:
//     http_2xx:
//       prober: http
//       timeout: 5s
//       http:
//         valid_status_codes: [200, 204]       # default: any 2xx
//         valid_http_versions: ["HTTP/1.1", "HTTP/2.0"]
//         method: GET
//         follow_redirects: true
//         preferred_ip_protocol: ip4           # ip4 or ip6
//         ip_protocol_fallback: false          # true (default): either family
//         compression: gzip                    # ask for compressed pages
//         enable_http2: true
//         proxy_url: http://proxy:3128
//         tls_config: {ca_file: /etc/ca.pem, insecure_skip_verify: false}
//         basic_auth: {username: u, password_file: /etc/tachyload/pw}
//         tachyload:                           # what only Tachyload has
//           http_version: "1.0"                # 1.0, 1.1 or 2
//           max_redirects: 5
//           socks: {server: "127.0.0.1:1080", level: "5", username: u, password_file: /etc/pw}
//
// A key the file does not know is an error: a misspelt option would otherwise
// leave the probe measuring something else than the file says.
#pragma once

#include <string>

#include "app/probe/ProbeServer.h"

namespace probe {

// The modules of a file's text; raises core::Exception with the place and the
// reason. Relative password files are read from baseDir.
TModules ParseModules(const std::string& yaml, const std::string& baseDir = ".");
// The same for a file.
TModules LoadModules(const std::string& path);

// "5s", "1m30s", "500ms", "1.5s": seconds; raises core::Exception otherwise.
double ParseDuration(const std::string& text);

}  // namespace probe
