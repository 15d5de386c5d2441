// SOCKS servers for tests, on 127.0.0.1 (or ::1 for dante and microsocks, after
// ListenOnIPv6()) and a free port:
//  - kDante (danted): SOCKS 4 and 5, no 4A. Its user/password method checks the
//    system account tachysocks/s0ckspw (made by scripts/install-test-servers.sh).
//    Its rules let it reach 127.0.0.1 and 127.0.0.2 only (on ::1: ::1 only).
//  - kMicrosocks: SOCKS 5 only; answers any SOCKS 4 request with "05 ff". It
//    connects wherever asked: give it loopback destinations only.
//  - kPerl (scripts/socks_server.pl): SOCKS 4, 4A and 5, loopback destinations only;
//    handshakes are served one at a time.
// User() and Password() give the credentials the server accepts.
//
// Lifecycle: Start(), then Stop() or the destructor (SIGTERM to the process group,
// reaped). Thread: the test's. Skip with TL_SKIP_UNLESS(SocksServer::Available(kind), ...).
#pragma once

#include <cstdint>
#include <string>

#include "testsupport/Process.h"

namespace testsupport {

enum class SocksKind { kDante, kMicrosocks, kPerl };

enum class SocksAuth {
  kNone,        // no authentication
  kUserOrNone,  // dante: user/password or none, whichever the client offers
  kUserOnly,    // user/password required (the Perl script still takes SOCKS 4 with any user id)
};

class SocksServer {
 public:
  static constexpr const char* kDanteUser = "tachysocks";
  static constexpr const char* kDantePassword = "s0ckspw";

  // user and password are for microsocks and the Perl script; dante uses its account.
  explicit SocksServer(SocksKind kind, SocksAuth auth = SocksAuth::kNone, std::string user = "suser",
                       std::string password = "spass");
  ~SocksServer();
  SocksServer(const SocksServer&) = delete;
  SocksServer& operator=(const SocksServer&) = delete;

  static bool Available(SocksKind kind);

  // Before Start(): listen on ::1 and connect from there (dante and microsocks).
  void ListenOnIPv6() { ipv6_ = true; }
  bool Start();  // false, with a gtest failure carrying the log, when it does not come up
  void Stop();
  uint16_t Port() const { return port_; }
  const char* Host() const { return ipv6_ ? "::1" : "127.0.0.1"; }
  const std::string& User() const { return user_; }
  const std::string& Password() const { return password_; }
  std::string Log() const;  // its output and, for dante, its log file

 private:
  bool TryStart();
  void WriteDanteConfig() const;
  std::vector<std::string> Command() const;

  SocksKind kind_;
  SocksAuth auth_;
  std::string user_;
  std::string password_;
  TempDir dir_;
  ChildProcess child_;
  uint16_t port_ = 0;
  bool ipv6_ = false;
};

}  // namespace testsupport
