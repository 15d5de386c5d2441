// Who may scrape the probe server: --web.config.file FILE, in the shape
// exporters use for their listening side, reduced to what is supported:
//
//   basic_auth_users:
//     prometheus: $2b$10$...   # bcrypt hash of the password
//
// With users given, every request must carry Basic credentials of one of them.
// TLS on the listening side (tls_server_config) is refused with a message.
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

// Raises core::Exception with the place and the reason.
std::map<std::string, std::string> ParseWebConfig(const std::string& yaml);
std::map<std::string, std::string> LoadWebConfig(const std::string& path);

}  // namespace probe
