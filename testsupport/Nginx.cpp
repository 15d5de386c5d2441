#include "testsupport/Nginx.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <set>
#include <sstream>
#include <stdexcept>

namespace testsupport {
namespace {

std::string BigText() {
  std::string s;
  char line[80];
  for (int i = 0; i < 2000; ++i) {
    std::snprintf(line, sizeof line, "line %05d the quick brown fox jumps over the lazy dog\n", i);
    s += line;
  }
  return s;
}

std::string RandomBytes(size_t n) {
  std::string s(n, '\0');
  int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  size_t got = 0;
  while (fd >= 0 && got < n) {
    ssize_t r = read(fd, s.data() + got, n - got);
    if (r <= 0) break;
    got += static_cast<size_t>(r);
  }
  if (fd >= 0) close(fd);
  return s;
}

std::string ApacheHash(const char* password) {
  auto [status, out] = RunAndCapture({"openssl", "passwd", "-apr1", password});
  while (!out.empty() && out.back() == '\n') out.pop_back();
  if (status != 0 || out.empty()) throw std::runtime_error("openssl passwd failed: " + out);
  return out;
}

}  // namespace

NginxServer::NginxServer() : dir_("tlnginx") {
  WriteDefaultFiles();
}

NginxServer::~NginxServer() {
  if (CurrentTestFailed() && child_.Started()) {
    std::cerr << "[ nginx error.log ]\n" << ErrorLog() << "\n";
  }
  Stop();
}

void NginxServer::WriteDefaultFiles() {
  dir_.Write("tmp/.keep", "");
  dir_.Write("html/index.html", "hello world\n");
  dir_.Write("html/dir/page.htm", "page in dir\n");
  dir_.Write("html/dir/next.htm", "next page\n");
  dir_.Write("html/secret/index.html", "secret page\n");
  dir_.Write("html/ssi/multi.html",
             "A<!--# include file=\"/dir/page.htm\" -->B<!--# include file=\"/dir/next.htm\" -->C\n");
  dir_.Write("html/big.txt", BigText());
  dir_.Write("html/1m.bin", RandomBytes(1 << 20));
  dir_.Write("htpasswd", std::string(kUser) + ":" + ApacheHash(kPassword) + "\n");
}

std::string NginxServer::AddFile(std::string_view relative, std::string_view contents) {
  return dir_.Write("html/" + std::string(relative), contents);
}

std::string NginxServer::AddSparseFile(std::string_view relative, uint64_t size) {
  std::string path = AddFile(relative, "");
  std::filesystem::resize_file(path, size);
  return path;
}

std::string NginxServer::AddPatternFile(std::string_view relative, uint64_t size) {
  static constexpr char kPattern[] = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ+/";
  std::string block;
  for (int i = 0; i < 1024; ++i) block += std::string_view(kPattern, 64);  // 64 KiB, a divisor of any offset
  std::string path = AddFile(relative, "");
  std::FILE* f = std::fopen(path.c_str(), "wb");
  for (uint64_t left = size; f != nullptr && left > 0;) {
    size_t n = left < block.size() ? static_cast<size_t>(left) : block.size();
    std::fwrite(block.data(), 1, n, f);
    left -= n;
  }
  if (f != nullptr) std::fclose(f);
  return path;
}

void NginxServer::AddServerConfig(std::string_view lines) {
  (serverExtra_ += lines) += "\n";
}

void NginxServer::AddHttpConfig(std::string_view lines) {
  (httpExtra_ += lines) += "\n";
}

void NginxServer::WriteConfig() const {
  const std::string d = dir_.Path();
  const std::string p = std::to_string(port_);
  const std::string p2 = std::to_string(port2_);
  std::ostringstream c;
  // user root: the workers must read the 0700 temporary directory.
  c << "user root;\nworker_processes 1;\npid " << d << "/nginx.pid;\nerror_log " << d << "/error.log info;\n"
    << "events { worker_connections 64; }\nhttp {\n"
    << "    log_format tl '$connection \"$request\" $status $body_bytes_sent';\n"
    << "    access_log " << d << "/access.log tl;\n"
    << "    client_body_temp_path " << d << "/tmp/body;  proxy_temp_path " << d << "/tmp/proxy;\n"
    << "    fastcgi_temp_path " << d << "/tmp/fastcgi;   uwsgi_temp_path " << d
    << "/tmp/uwsgi;   scgi_temp_path " << d << "/tmp/scgi;\n"
    << "    default_type application/octet-stream;\n    types { text/html html htm; text/plain txt; }\n"
    << "    keepalive_timeout 30;\n"
    << "    server {\n        listen 127.0.0.1:" << p << ";\n        listen 127.0.0.2:" << p << ";\n"
    << (IPv6LoopbackAvailable() ? "        listen [::1]:" + p + ";\n" : std::string())
    << "        server_name localhost;\n        root " << d << "/html;\n"
    << "        location /ssi/ { ssi on; }\n"
    << "        location = /gz/big.txt {\n            alias " << d << "/html/big.txt;\n"
    << "            gzip on; gzip_http_version 1.0; gzip_min_length 1; gzip_types text/plain;\n        }\n"
    << "        location = /r301     { return 301 /index.html; }\n"
    << "        location = /r302rel  { absolute_redirect off; return 302 /dir/page.htm; }\n"
    << "        location = /dir/rel  { absolute_redirect off; return 302 next.htm; }\n"
    << "        location = /rother   { return 302 http://127.0.0.1:" << p2 << "/other.html; }\n"
    << "        location = /r127002  { return 302 http://127.0.0.2:" << p << "/index.html; }\n"
    << "        location = /loop     { return 302 /loop; }\n"
    << "        location = /ok-with-location { add_header Location /index.html; return 200 \"moved but "
       "200\\n\"; }\n"
    << "        location /secret/    { auth_basic \"Test realm\"; auth_basic_user_file " << d
    << "/htpasswd; }\n"
    << serverExtra_ << "    }\n"
    << "    server {\n        listen 127.0.0.1:" << p2 << ";\n"
    << "        location = /other.html { return 200 \"other port\\n\"; }\n    }\n"
    << httpExtra_ << "}\n";
  WriteFile(dir_.File("nginx.conf"), c.str());
}

bool NginxServer::Start() {
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (TryStart()) return true;
  }
  ADD_FAILURE() << "nginx did not start; error.log:\n" << ErrorLog() << "\noutput:\n" << child_.Log();
  return false;
}

// nginx retries a busy port for 2.5 s before it gives up; the error log says so at
// once, so a busy port is detected there and the attempt abandoned.
bool NginxServer::TryStart() {
  port_ = FreePort();
  do port2_ = FreePort();
  while (port2_ == port_);
  WriteConfig();
  std::filesystem::remove(dir_.File("error.log"));
  const std::string conf = dir_.File("nginx.conf");
  const std::string err = dir_.File("error.log");
  if (!child_.Start({{kBinary, "-c", conf, "-e", err, "-g", "daemon off;"},
                     {},
                     dir_.Path(),
                     dir_.File("nginx.out"),
                     false})) {
    return false;
  }
  bool busy = false;
  // The ports it bound answer while it still retries a busy one, so answering
  // is not enough: nginx starts its workers only once every port is bound.
  auto ready = [&] {
    const std::string log = ErrorLog();
    busy = log.find("failed (98") != std::string::npos;
    return busy || (log.find("start worker process") != std::string::npos && CanConnect(port_) &&
                    CanConnect(port2_) && CanConnect(port_, "127.0.0.2"));
  };
  WaitResult r = WaitUntil(ready, Millis(5000), &child_);
  if (r == WaitResult::kReady && !busy) return true;
  child_.Stop(SIGKILL);
  return false;
}

void NginxServer::Stop() {
  child_.Stop(SIGTERM);
}

std::string NginxServer::Url(std::string_view path, std::string_view host) const {
  std::string p(path);
  if (p.empty() || p[0] != '/') p.insert(0, "/");
  return "http://" + std::string(host) + ":" + std::to_string(port_) + p;
}

std::vector<std::string> NginxServer::AccessLogLines() const {
  std::vector<std::string> lines;
  std::istringstream in(dir_.Read("access.log"));
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::vector<NginxLogEntry> NginxServer::AccessLog() const {
  std::vector<NginxLogEntry> entries;
  for (const auto& line : AccessLogLines()) {
    NginxLogEntry e;
    auto q1 = line.find('"');
    auto q2 = line.rfind('"');
    if (q1 == std::string::npos || q2 == q1) continue;
    e.connection = std::stoull(line.substr(0, q1));
    e.request = line.substr(q1 + 1, q2 - q1 - 1);
    std::istringstream rest(line.substr(q2 + 1));
    rest >> e.status >> e.bytesSent;
    entries.push_back(e);
  }
  return entries;
}

size_t NginxServer::ConnectionCount() const {
  std::set<uint64_t> ids;
  for (const auto& e : AccessLog()) ids.insert(e.connection);
  return ids.size();
}

bool NginxServer::WaitForAccessLines(size_t count, Millis timeout) const {
  return WaitUntil([&] { return AccessLogLines().size() >= count; }, timeout) == WaitResult::kReady;
}

std::string NginxServer::ErrorLog() const {
  return dir_.Read("error.log");
}

}  // namespace testsupport
