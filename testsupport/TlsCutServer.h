// A TLS server (scripts/tls_cut_server.py) that answers every request with a
// response announcing length body bytes, sends sent of them and then closes the
// connection without the TLS closing alert: a document cut short, or complete,
// without the peer saying it is done. StartNotify: a document delimited by the
// close whose end is the server's close_notify alone; the server keeps TCP open
// until it has the client's close_notify, then logs "NOTIFY ANSWERED".
//
// Lifecycle: Start(), then Stop() or the destructor. Thread: the test's.
#pragma once

#include <cstdint>
#include <string>

#include "testsupport/Process.h"

namespace testsupport {

class TlsCutServer {
 public:
  static constexpr const char* kPython = "/usr/bin/python3";

  TlsCutServer() = default;
  ~TlsCutServer() { Stop(); }
  TlsCutServer(const TlsCutServer&) = delete;
  TlsCutServer& operator=(const TlsCutServer&) = delete;

  bool Start(const std::string& certFile, const std::string& keyFile, int length, int sent);
  bool StartNotify(const std::string& certFile, const std::string& keyFile, int sent);
  void Stop();
  uint16_t Port() const { return port_; }
  std::string Log() const { return child_.Log(); }

 private:
  TempDir dir_{"tltlscut"};
  ChildProcess child_;
  bool Launch(const std::vector<std::string>& args);

  uint16_t port_ = 0;
};

}  // namespace testsupport
