// A throw-away certificate authority for TLS tests, made with the openssl command
// in a private directory: a CA and, signed by it, a certificate for "localhost"
// and 127.0.0.1 (also 127.0.0.2 and ::1), one that expired in 2020, one for another host
// name only, one for the wildcard names "w*.partial.example" and "*.full.example";
// and a self-signed certificate for "localhost" and 127.0.0.1. Every
// key is EC P-256, so making them takes well under a second.
//
// Also writes nginx server blocks that serve a directory over TLS with one of them.
// Thread: the test's. Use TL_SKIP_UNLESS_INSTALLED("/usr/bin/openssl") first.
#pragma once

#include <cstdint>
#include <string>

#include "testsupport/Process.h"

namespace testsupport {

enum class TestCert { kGood, kExpired, kOtherHost, kSelfSigned, kWildcards };

class TestCa {
 public:
  static constexpr const char* kOpenSsl = "/usr/bin/openssl";

  TestCa();  // makes everything; Ok() tells whether it worked
  bool Ok() const { return ok_; }
  const std::string& Error() const { return error_; }

  std::string CaFile() const { return dir_.File("ca.pem"); }
  std::string CertFile(TestCert which) const;
  std::string KeyFile(TestCert which) const;

  // An nginx "server" block listening with TLS on 127.0.0.1:port (and 127.0.0.2)
  // with the certificate, serving root; protocols as nginx writes them
  // ("TLSv1.2 TLSv1.3"). Extra lines go inside the block.
  std::string NginxServerBlock(uint16_t port, TestCert which, const std::string& root,
                               const std::string& protocols = "TLSv1.2 TLSv1.3",
                               const std::string& extra = "") const;

 private:
  TempDir dir_{"tlca"};
  bool ok_ = false;
  std::string error_;
};

}  // namespace testsupport
