// squid as a real HTTP forward proxy for tests, in one of four access modes:
// open, Basic proxy authentication (kUser/kPassword, basic_ncsa_auth), NTLM
// (ntlm_fake_auth: any user and password pass; its type-2 message is malformed)
// or NTLM checked (scripts/squid_ntlm_auth.py: kUser/kPassword only, run with
// Debian's python3 and its ntlm_auth module; see NtlmServer::Available).
//
// squid runs as "proxy", so its directory sits directly under /tmp (mode 755,
// owned by proxy). Each instance has its own -n service name, because squid keeps
// shared memory in /dev/shm/<name>-cf__*.shm even with -N; Stop() uses SIGKILL
// (SIGTERM takes 2 s) and deletes those files. squid resolves names through
// 127.0.0.1 only: use dotted addresses or localhost in the URLs it fetches.
//
// Lifecycle: AddConfig(), then Start(); Stop() or the destructor ends it.
// Thread: the test's. Use TL_SKIP_UNLESS_INSTALLED(testsupport::SquidServer::kBinary).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "testsupport/Process.h"

namespace testsupport {

enum class SquidAuth { kOpen, kBasic, kNtlm, kNtlmChecked };

class SquidServer {
 public:
  static constexpr const char* kBinary = "/usr/sbin/squid";
  static constexpr const char* kUser = "puser";  // Basic mode's account
  static constexpr const char* kPassword = "ppass";
  static constexpr const char* kRealm = "Test proxy";

  explicit SquidServer(SquidAuth auth = SquidAuth::kOpen);
  ~SquidServer();
  SquidServer(const SquidServer&) = delete;
  SquidServer& operator=(const SquidServer&) = delete;

  // Extra configuration lines, placed before the access rules. Before Start().
  void AddConfig(std::string_view lines);

  // Starts on a free port (3 attempts). False, with a gtest failure carrying
  // cache.log, when squid does not accept connections within 10 s.
  bool Start();
  void Stop();

  // Before Start(): listen on [::1] instead of 127.0.0.1.
  void ListenOnIPv6() { ipv6_ = true; }

  uint16_t Port() const { return port_; }
  std::string ProxyUrl() const {
    return (ipv6_ ? "http://[::1]:" : "http://127.0.0.1:") + std::to_string(port_);
  }
  std::string AccessLog() const;  // one line per transaction
  std::vector<std::string> AccessLogLines() const;
  // squid logs a transaction after it ends: wait until pattern is in the access log.
  bool WaitForAccessLog(std::string_view pattern, Millis timeout = Millis(5000)) const;
  std::string CacheLog() const;
  const std::string& Directory() const { return dir_; }

 private:
  void WriteConfig();
  bool TryStart();
  void RemoveSharedMemory() const;

  SquidAuth auth_;
  std::string dir_;
  std::string name_;
  std::string extra_;
  ChildProcess child_;
  uint16_t port_ = 0;
  bool ipv6_ = false;
};

}  // namespace testsupport
