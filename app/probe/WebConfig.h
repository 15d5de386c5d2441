// Who may scrape the probe server: --web.config.file FILE, in the shape
// exporters use for their listening side, reduced to what is supported:
//
//   basic_auth_users:
//     prometheus: $2b$10$...   # bcrypt hash of the password
//
//   tls_server_config:
//     cert_file: server.crt    # PEM, the certificate first, then its chain
//     key_file: server.key     # PEM
//
// With users given, every request must carry Basic credentials of one of them.
// With tls_server_config, every connection speaks TLS (1.2 at least). Relative
// file names are taken from the config file's directory. Other options of that
// shape (client certificates, versions, cipher lists) are refused by name.
#pragma once

#include <map>
#include <mutex>
#include <set>
#include <string>

namespace probe {

class TBasicAuth {
 public:
  TBasicAuth() = default;
  explicit TBasicAuth(std::map<std::string, std::string> users) : FUsers(std::move(users)) {}
  bool Required() const { return !FUsers.empty(); }
  // True when authorization ("Basic base64(user:password)") names a user whose
  // bcrypt hash the password matches. Hashing is slow by design: a header that
  // matched once is remembered, so a scraper pays for it once. Any thread.
  bool Allows(const std::string& authorization) const;

 private:
  std::map<std::string, std::string> FUsers;  // user -> bcrypt hash
  mutable std::mutex FLock;
  mutable std::set<std::string> FAccepted;  // headers that matched
};

struct TWebConfig {
  std::map<std::string, std::string> basicAuthUsers;  // user -> bcrypt hash
  std::string tlsCertFile, tlsKeyFile;                // both or neither
};

// Raises core::Exception with the place and the reason. baseDir is where
// relative file names start from (empty: the working directory).
TWebConfig ParseWebConfig(const std::string& yaml, const std::string& baseDir = {});
TWebConfig LoadWebConfig(const std::string& path);

}  // namespace probe
