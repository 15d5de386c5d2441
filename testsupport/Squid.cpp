#include "testsupport/Squid.h"

#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <sstream>
#include <stdexcept>

namespace testsupport {
namespace {

// Letters and digits only, unique per process and instance.
std::string UniqueName() {
  static std::atomic<int> counter{0};
  return "tl" + std::to_string(getpid()) + "n" + std::to_string(counter++);
}

std::string MakeProxyDirectory() {
  std::string templ = "/tmp/tlsquidXXXXXX";
  if (mkdtemp(templ.data()) == nullptr) throw std::runtime_error(std::string("mkdtemp: ") + strerror(errno));
  const passwd* pw = getpwnam("proxy");
  if (chmod(templ.c_str(), 0755) != 0 || pw == nullptr || chown(templ.c_str(), pw->pw_uid, pw->pw_gid) != 0) {
    throw std::runtime_error("cannot hand " + templ + " to the proxy user");
  }
  return templ;
}

std::string ApacheHash(const char* password) {
  auto [status, out] = RunAndCapture({"openssl", "passwd", "-apr1", password});
  while (!out.empty() && out.back() == '\n') out.pop_back();
  if (status != 0 || out.empty()) throw std::runtime_error("openssl passwd failed: " + out);
  return out;
}

}  // namespace

SquidServer::SquidServer(SquidAuth auth) : auth_(auth), dir_(MakeProxyDirectory()), name_(UniqueName()) {}

SquidServer::~SquidServer() {
  const bool failed = CurrentTestFailed();
  if (failed && child_.Started()) std::cerr << "[ squid cache.log ]\n" << CacheLog() << "\n";
  Stop();
  if (failed) {
    std::cerr << "[ testsupport ] kept " << dir_ << "\n";
  } else {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
}

void SquidServer::AddConfig(std::string_view lines) {
  (extra_ += lines) += "\n";
}

void SquidServer::WriteConfig() {
  const std::string& d = dir_;
  std::ostringstream c;
  c << "http_port " << (ipv6_ ? "[::1]:" : "127.0.0.1:") << port_ << "\nvisible_hostname tachyload-test\n"
    << "pid_filename " << d << "/squid.pid\ncache_log " << d << "/cache.log\n"
    << "access_log stdio:" << d << "/access.log\ncache_store_log none\ncoredump_dir " << d << "\n"
    << "cache deny all\ncache_mem 8 MB\nshutdown_lifetime 0 seconds\n"
    << "dns_nameservers 127.0.0.1\ndns_timeout 2 seconds\npinger_enable off\n"
    << extra_;
  switch (auth_) {
    case SquidAuth::kOpen:
      c << "http_access allow localhost\n";
      break;
    case SquidAuth::kBasic:
      WriteFile(d + "/passwd", std::string(kUser) + ":" + ApacheHash(kPassword) + "\n");
      c << "auth_param basic program /usr/lib/squid/basic_ncsa_auth " << d << "/passwd\n"
        << "auth_param basic children 2\nauth_param basic realm " << kRealm << "\n"
        << "acl authed proxy_auth REQUIRED\nhttp_access deny !authed\nhttp_access allow localhost authed\n";
      break;
    case SquidAuth::kNtlm:
    case SquidAuth::kNtlmChecked:
      if (auth_ == SquidAuth::kNtlm)
        c << "auth_param ntlm program /usr/lib/squid/ntlm_fake_auth\n";
      else
        c << "auth_param ntlm program /usr/bin/python3 " << TL_SOURCE_DIR << "/scripts/squid_ntlm_auth.py "
          << kUser << " " << kPassword << "\n";
      c << "auth_param ntlm children 2\n"
        << "acl authed proxy_auth REQUIRED\nhttp_access deny !authed\nhttp_access allow localhost authed\n";
      break;
  }
  c << "http_access deny all\n";
  WriteFile(d + "/squid.conf", c.str());
}

bool SquidServer::Start() {
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (TryStart()) return true;
  }
  ADD_FAILURE() << "squid did not start; cache.log:\n" << CacheLog() << "\noutput:\n" << child_.Log();
  return false;
}

bool SquidServer::TryStart() {
  port_ = FreePort();
  WriteConfig();
  if (!child_.Start(
          {{kBinary, "-N", "-n", name_, "-f", dir_ + "/squid.conf"}, {}, dir_, dir_ + "/squid.out", false})) {
    return false;
  }
  // Without the WNOHANG check inside, a squid that died at once looks like a slow one.
  if (WaitForPort(port_, Millis(10000), &child_, ipv6_ ? "::1" : "127.0.0.1") == WaitResult::kReady)
    return true;
  Stop();
  return false;
}

void SquidServer::Stop() {
  if (!child_.Started()) return;
  child_.Stop(SIGKILL);
  RemoveSharedMemory();
}

void SquidServer::RemoveSharedMemory() const {
  std::error_code ec;
  for (const char* part : {"metadata", "queues", "readers"}) {
    std::filesystem::remove("/dev/shm/" + name_ + "-cf__" + part + ".shm", ec);
  }
}

std::string SquidServer::AccessLog() const {
  return ReadFile(dir_ + "/access.log");
}

std::vector<std::string> SquidServer::AccessLogLines() const {
  std::vector<std::string> lines;
  std::istringstream in(AccessLog());
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

bool SquidServer::WaitForAccessLog(std::string_view pattern, Millis timeout) const {
  return WaitUntil([&] { return AccessLog().find(pattern) != std::string::npos; }, timeout) ==
         WaitResult::kReady;
}

std::string SquidServer::CacheLog() const {
  return ReadFile(dir_ + "/cache.log");
}

}  // namespace testsupport
