// tachyload-cli through SOCKS servers: the options' checks, the client settings
// they make, and the real program loading a page through a local SOCKS server in
// front of nginx, or failing with the SOCKS error.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <string>
#include <tuple>
#include <vector>

#include "app/CliSocks.h"
#include "http/HttpProt.h"
#include "net/SocksWSocket.h"
#include "testsupport/Nginx.h"
#include "testsupport/Process.h"
#include "testsupport/SocksServer.h"

#ifndef TL_CLI_PATH
#define TL_CLI_PATH "tachyload-cli"
#endif

namespace app {
namespace {

using testsupport::NginxServer;
using testsupport::SocksAuth;
using testsupport::SocksKind;
using testsupport::SocksServer;

TEST(CliSocksOptions, ServerAndLevelChecks) {
  for (const char* good : {"h", "127.0.0.1", "proxy.lan:1", "h:65535", "::1", "[::1]", "[2001:db8::1]:1080"})
    EXPECT_EQ(CheckSocksServer(good), "") << good;
  for (const char* bad :
       {"", ":1080", "h:", "h:0", "h:65536", "h:12x", "h:123456", "[::1", "[::1]x", "[::1]:"})
    EXPECT_NE(CheckSocksServer(bad), "") << bad;
  for (const char* good : {"4", "4a", "4A", "5"}) EXPECT_EQ(CheckSocksLevel(good), "") << good;
  for (const char* bad : {"", "3", "4B", "55"}) EXPECT_NE(CheckSocksLevel(bad), "") << bad;
}

TEST(CliSocksOptions, ClientSettings) {
  auto client = core::MakeComponent<http::THttpCli>(nullptr);
  std::string failure;
  ApplySocks(*client, {"relay", "4a", "id", ""}, failure);
  EXPECT_EQ(client->SocksServer(), "relay");
  EXPECT_EQ(client->SocksPort(), "1080");
  EXPECT_EQ(client->SocksLevel(), "4A");
  EXPECT_EQ(client->SocksUsercode(), "id");
  ApplySocks(*client, {"10.0.0.1:9050", "5", "", ""}, failure);
  EXPECT_EQ(client->SocksServer(), "10.0.0.1");
  EXPECT_EQ(client->SocksPort(), "9050");
  EXPECT_EQ(client->SocksAuthentication(), net::socksNoAuthentication);
  // An IPv6 server: bracketed with a port, or bare without one.
  for (const auto& [server, host, port] :
       {std::tuple{"[::1]:9050", "[::1]", "9050"}, {"::1", "::1", "1080"}}) {
    ApplySocks(*client, {server, "5", "", ""}, failure);
    EXPECT_EQ(client->SocksServer(), host);
    EXPECT_EQ(client->SocksPort(), port);
  }
  ApplySocks(*client, {"relay", "5", "user", "pw"}, failure);
  EXPECT_EQ(client->SocksAuthentication(), net::socksAuthenticateUsercode);
  EXPECT_EQ(client->SocksPassword(), "pw");
}

struct CliRun {
  int exitCode = -1;
  std::string out, err;
};

CliRun RunCli(const std::vector<std::string>& args) {
  testsupport::TempDir dir("tlclisocks");
  std::string cmd = TL_CLI_PATH;
  for (const auto& a : args) cmd += " '" + a + "'";  // the tests' arguments hold no quote
  cmd += " >'" + dir.File("out") + "' 2>'" + dir.File("err") + "' </dev/null";
  const int status = std::system(cmd.c_str());
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, dir.Read("out"), dir.Read("err")};
}

TEST(CliSocks, PageThroughTheServerAndTheFailureText) {
  TL_SKIP_UNLESS_INSTALLED(NginxServer::kBinary);
  TL_SKIP_UNLESS(SocksServer::Available(SocksKind::kPerl), "the Perl SOCKS server");
  NginxServer nginx;
  ASSERT_TRUE(nginx.Start());
  SocksServer socks(SocksKind::kPerl, SocksAuth::kUserOnly);
  ASSERT_TRUE(socks.Start());
  const std::string server = "127.0.0.1:" + std::to_string(socks.Port());
  const std::string url = nginx.Url("/index.html", "localhost");

  const CliRun level4A = RunCli({"--socks", server, "--socks-level", "4a", "-n", "1", url});
  EXPECT_EQ(level4A.exitCode, 0) << level4A.err;
  EXPECT_NE(level4A.out.find("Number of loads: 1"), std::string::npos) << level4A.out;

  const CliRun user = RunCli({"--socks", server, "--socks-user", socks.User(), "--socks-password",
                              socks.Password(), "-n", "1", url});
  EXPECT_EQ(user.exitCode, 0) << user.err;

  const CliRun wrong =
      RunCli({"--socks", server, "--socks-user", socks.User(), "--socks-password", "nope", "-n", "1", url});
  EXPECT_EQ(wrong.exitCode, 1);
  EXPECT_EQ(wrong.err, "tachyload: socks authentication failed (Error #20015)\n");
}

TEST(CliSocks, BadOptionsAreUsageErrors) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--socks-level", "3", "http://127.0.0.1/"},
        std::vector<std::string>{"--socks", "host:0", "http://127.0.0.1/"}}) {
    const CliRun r = RunCli(args);
    EXPECT_EQ(r.exitCode, 2) << args[0] << ": " << r.err;
  }
}

}  // namespace
}  // namespace app
