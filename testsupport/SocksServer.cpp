#include "testsupport/SocksServer.h"

#include <signal.h>

#include <gtest/gtest.h>

#include <iostream>
#include <sstream>
#include <vector>

namespace testsupport {
namespace {

constexpr const char* kDanted = "/usr/sbin/danted";
constexpr const char* kMicrosocks = "/usr/bin/microsocks";
constexpr const char* kPerl = "/usr/bin/perl";

std::string PerlScript() {
  return std::string(TL_SOURCE_DIR) + "/scripts/socks_server.pl";
}

}  // namespace

SocksServer::SocksServer(SocksKind kind, SocksAuth auth, std::string user, std::string password)
    : kind_(kind), auth_(auth), user_(std::move(user)), password_(std::move(password)), dir_("tlsocks") {
  if (kind_ == SocksKind::kDante) {
    user_ = kDanteUser;
    password_ = kDantePassword;
  }
}

SocksServer::~SocksServer() {
  if (CurrentTestFailed() && child_.Started()) std::cerr << "[ socks server log ]\n" << Log() << "\n";
  Stop();
}

bool SocksServer::Available(SocksKind kind) {
  switch (kind) {
    case SocksKind::kDante:
      return ProgramInstalled(kDanted);
    case SocksKind::kMicrosocks:
      return ProgramInstalled(kMicrosocks);
    case SocksKind::kPerl: {
      static const bool perl =
          ProgramInstalled(kPerl) && RunAndCapture({kPerl, "-MIO::Socket::Socks", "-e", "1"}).first == 0;
      return perl;
    }
  }
  return false;
}

bool SocksServer::Start() {
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (TryStart()) return true;
  }
  ADD_FAILURE() << "SOCKS server did not start: " << child_.Error() << "\n" << Log();
  return false;
}

bool SocksServer::TryStart() {
  port_ = kind_ == SocksKind::kPerl ? 0 : FreePort();  // the script picks its own port
  if (kind_ == SocksKind::kDante) WriteDanteConfig();
  if (!child_.Start({Command(), {}, dir_.Path(), dir_.File("output.log"), kind_ == SocksKind::kPerl})) {
    return false;
  }
  if (kind_ == SocksKind::kPerl) {
    if (auto port = ReadReadyPort(child_, Millis(10000))) port_ = *port;
  } else if (WaitForPort(port_, Millis(5000), &child_, Host()) != WaitResult::kReady) {
    port_ = 0;
  }
  if (port_ != 0) return true;
  child_.Stop(SIGKILL);
  return false;
}

std::vector<std::string> SocksServer::Command() const {
  const bool withUser = auth_ != SocksAuth::kNone;
  switch (kind_) {
    case SocksKind::kDante:
      return {kDanted, "-f", dir_.File("danted.conf"), "-p", dir_.File("danted.pid")};
    case SocksKind::kMicrosocks:
      if (withUser)
        return {kMicrosocks, "-i", Host(), "-p", std::to_string(port_), "-u", user_, "-P", password_};
      return {kMicrosocks, "-i", Host(), "-p", std::to_string(port_)};
    case SocksKind::kPerl:
      if (withUser) return {kPerl, PerlScript(), "0", user_, password_};
      return {kPerl, PerlScript(), "0"};
  }
  return {};
}

void SocksServer::WriteDanteConfig() const {
  static constexpr const char* kMethods[] = {"none", "username none", "username"};
  const char* from = ipv6_ ? "::1/128" : "127.0.0.0/8";
  const char* any = ipv6_ ? "::/0" : "0.0.0.0/0";
  std::ostringstream c;
  c << "logoutput: " << dir_.File("danted.log") << "\n"
    << "internal: " << Host() << " port = " << port_ << "\nexternal: " << Host() << "\nclientmethod: none\n"
    << "socksmethod: " << kMethods[static_cast<int>(auth_)] << "\n"
    << "user.privileged: root\nuser.unprivileged: nobody\n"
    << "client pass {\n    from: " << from << " to: " << any << "\n    log: error\n}\n";
  // Only the loopback addresses the tests use; everything else is refused.
  const std::vector<const char*> targets =
      ipv6_ ? std::vector<const char*>{"::1/128"} : std::vector<const char*>{"127.0.0.1/32", "127.0.0.2/32"};
  for (const char* to : targets) {
    c << "socks pass {\n    from: " << from << " to: " << to
      << "\n    command: connect\n    log: error connect\n}\n";
  }
  c << "socks block {\n    from: " << any << " to: " << any << "\n    log: connect error\n}\n";
  WriteFile(dir_.File("danted.conf"), c.str());
}

void SocksServer::Stop() {
  child_.Stop(SIGTERM);
}

std::string SocksServer::Log() const {
  return dir_.Read("output.log") + dir_.Read("danted.log");
}

}  // namespace testsupport
