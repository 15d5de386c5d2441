// nginx as a real HTTP/1.0 and 1.1 origin for tests: keep-alive, chunked (SSI),
// close-delimited, redirects, 401 Basic, gzip. One private instance per object,
// on two free loopback ports (Port() for the main server, which also listens on
// 127.0.0.2 and, where the host has it, on [::1]; Port2() for the second server).
//
// Files served (under Root()): index.html "hello world\n", dir/page.htm "page in dir\n",
// dir/next.htm "next page\n", secret/index.html "secret page\n" (Basic user:secret),
// ssi/multi.html (chunked: "Apage in dir\nBnext page\nC\n"), big.txt (2000 lines,
// 110000 bytes; gzip at /gz/big.txt), 1m.bin (1 MiB random). Locations: /r301, /r302rel,
// /dir/rel, /rother (to Port2()/other.html), /r127002, /loop, /ok-with-location.
//
// Lifecycle: add files and configuration, then Start(); Stop() or the destructor
// ends it (SIGTERM, reaped). Files may also be added after Start(). Thread: the test's.
// Use TL_SKIP_UNLESS_INSTALLED(testsupport::NginxServer::kBinary) first.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "testsupport/Process.h"

namespace testsupport {

struct NginxLogEntry {
  uint64_t connection = 0;  // nginx's connection serial: equal numbers share a TCP connection
  std::string request;      // request line, e.g. "GET /index.html HTTP/1.1"
  int status = 0;
  uint64_t bytesSent = 0;  // body bytes
};

class NginxServer {
 public:
  static constexpr const char* kBinary = "/usr/sbin/nginx";
  static constexpr const char* kUser = "user";  // for /secret/
  static constexpr const char* kPassword = "secret";

  NginxServer();  // writes the default files; starts nothing
  ~NginxServer();
  NginxServer(const NginxServer&) = delete;
  NginxServer& operator=(const NginxServer&) = delete;

  // A file under Root(); returns its full path.
  std::string AddFile(std::string_view relative, std::string_view contents);
  // A file of size bytes: sparse (reads as zeros) or filled with a repeating
  // pattern ("0123456789abcdef..." by position, so a truncated copy shows where it broke).
  std::string AddSparseFile(std::string_view relative, uint64_t size);
  std::string AddPatternFile(std::string_view relative, uint64_t size);
  // Extra lines inside the main server block (e.g. "location = /x { return 302 /y; }")
  // or in the http block (e.g. a whole server block). Before Start().
  void AddServerConfig(std::string_view lines);
  void AddHttpConfig(std::string_view lines);

  // Starts on fresh ports, retrying up to 3 times when a port was taken meanwhile.
  // False (with a gtest failure carrying error.log) when nginx does not come up.
  bool Start();
  void Stop();

  uint16_t Port() const { return port_; }
  uint16_t Port2() const { return port2_; }
  // "http://127.0.0.1:<Port()>/path" (host may be "127.0.0.2" or "localhost").
  std::string Url(std::string_view path, std::string_view host = "127.0.0.1") const;
  std::string Root() const { return dir_.File("html"); }
  const TempDir& Dir() const { return dir_; }

  std::vector<std::string> AccessLogLines() const;
  std::vector<NginxLogEntry> AccessLog() const;
  // Distinct TCP connections that carried at least one logged request (both servers
  // log to the same file).
  size_t ConnectionCount() const;
  // nginx logs a request after its response: wait until count lines are there.
  bool WaitForAccessLines(size_t count, Millis timeout = Millis(5000)) const;
  std::string ErrorLog() const;

 private:
  void WriteDefaultFiles();
  void WriteConfig() const;
  bool TryStart();

  TempDir dir_;
  ChildProcess child_;
  uint16_t port_ = 0;
  uint16_t port2_ = 0;
  std::string serverExtra_;
  std::string httpExtra_;
};

}  // namespace testsupport
