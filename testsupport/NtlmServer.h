// The NTLM-checking HTTP origin (scripts/ntlm_server.py, run with Debian's
// /usr/bin/python3, which has python3-ntlm-auth). It answers 401 "WWW-Authenticate:
// NTLM" until a type-3 message checks out against the fixed challenge, then 200 with
// a body such as "NTLM OK mode=v1 nt_ok=True lm_ok=True user=...". Its log
// (stderr, Log()) has one line per request with an id of its connection, and
// "type3 OK|REFUSED ..." lines.
//
// Lifecycle: Start() reads the script's "READY <port>" line (the script binds port 0
// itself, so there is no port race); Stop() or the destructor ends it (SIGTERM).
// Thread: the test's. Skip with TL_SKIP_UNLESS(NtlmServer::Available(), "...").
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "testsupport/Process.h"

namespace testsupport {

struct NtlmServerOptions {
  std::string user = "user";
  std::string password = "pass";
  std::string challenge = "0123456789abcdef";  // hex, 8 bytes
  bool targetInfo = false;                     // AV pairs in the type-2 message
  bool ess = false;                            // flag 0x80000 in type 2 (curl then answers NTLMv2)
  bool basic = false;                          // also offer Basic realm="ntlm-test" in the 401
  bool http10 = false;                         // answer HTTP/1.0 and close after every response
  // The handshake belongs to its connection, as on real servers: a fresh challenge
  // per message 1, message 3 refused on a connection that got no challenge, and an
  // authenticated connection needs no more credentials. Its pages: /r?to=URL
  // relocates (with &close=1 it closes the connection after the 302).
  bool bind = false;
};

class NtlmServer {
 public:
  static constexpr const char* kPython = "/usr/bin/python3";

  explicit NtlmServer(NtlmServerOptions options = {});
  ~NtlmServer();
  NtlmServer(const NtlmServer&) = delete;
  NtlmServer& operator=(const NtlmServer&) = delete;

  // python3 and its ntlm_auth module are there (checked once per process).
  static bool Available();
  static std::string ScriptPath();
  // LM and NT responses (hex) of NTLMv1 computed by the independent library.
  static std::optional<std::pair<std::string, std::string>> ComputeV1(std::string_view password,
                                                                      std::string_view challengeHex);

  bool Start();  // false, with a gtest failure carrying the log, when READY never came
  void Stop();
  uint16_t Port() const { return port_; }
  std::string Url(std::string_view path = "/") const;
  std::string Log() const;  // the request log (stderr)

 private:
  NtlmServerOptions options_;
  TempDir dir_;
  ChildProcess child_;
  uint16_t port_ = 0;
};

}  // namespace testsupport
