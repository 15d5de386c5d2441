// The client against real servers on loopback: nginx for HTTP/1.0 and 1.1,
// keep-alive, chunked bodies and errors; squid as the HTTP proxy.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "http/tests/HttpTestSupport.h"
#include "testsupport/Nginx.h"
#include "testsupport/Squid.h"

namespace http::testing {
namespace {

using testsupport::NginxServer;
using testsupport::SquidServer;

class HttpNginx : public ::testing::Test {
 protected:
  void SetUp() override {
    TL_SKIP_UNLESS_INSTALLED(NginxServer::kBinary);
    ASSERT_TRUE(nginx_.Start());
    WindowSettings(*cli_);
    ev_.Attach(*cli_);
    cli_->SetRcvdStream(&body_);
  }
  // The synchronous Get the window uses.
  void Get(const std::string& path, const std::string& version) {
    body_.Clear();
    cli_->SetRequestVer(version);
    cli_->SetURL(nginx_.Url(path));
    cli_->Get();
  }

  NginxServer nginx_;
  core::ComponentPtr<THttpCli> cli_ = core::MakeComponent<THttpCli>(nullptr);
  HttpEvents ev_;
  core::TMemoryStream body_;
};

// A bracketed IPv6 literal reaches nginx on ::1, with the brackets in the Host
// line; as the only family allowed IPv4 does not get it.
TEST(HttpNginxIPv6, BracketedLiteralUrl) {
  TL_SKIP_UNLESS_INSTALLED(NginxServer::kBinary);
  if (!testsupport::IPv6LoopbackAvailable()) GTEST_SKIP() << "no IPv6 loopback here";
  NginxServer nginx;
  nginx.AddServerConfig("        location = /host { return 200 \"$http_host $server_addr\\n\"; }\n");
  ASSERT_TRUE(nginx.Start());
  auto cli = core::MakeComponent<THttpCli>(nullptr);
  WindowSettings(*cli);
  core::TMemoryStream body;
  cli->SetRcvdStream(&body);
  const std::string port = std::to_string(nginx.Port());
  cli->SetURL("http://[::1]:" + port + "/host");
  cli->Get();
  EXPECT_EQ(body.DataString(), "[::1]:" + port + " ::1\n");
  cli->SetIpFamily(httpIpV4Only);
  EXPECT_THROW(cli->Get(), EHttpException);
  EXPECT_EQ(cli->ReasonPhrase(), "can't resolve hostname to IP address");
}

// Names for the race, only through the hook: "dual.test" ranks IPv6 first,
// "dual4first.test" IPv4 first, "v4.test" has IPv4 only.
int DualResolver(const std::string& name, bool, winapi::HostEntry& out) {
  in6_addr loop6 = in6addr_loopback;
  out.officialName = name;
  out.addrs = {htonl(INADDR_LOOPBACK)};
  if (name == "v4.test") return 0;
  if (name != "dual.test" && name != "dual4first.test") return winapi::WSAHOST_NOT_FOUND;
  out.addrs6 = {loop6};
  out.ipv4First = name == "dual4first.test";
  return 0;
}

// Both families through the client: which address won, what the other attempts
// did, and that the Host line names the host whatever the family.
TEST(HttpNginxIPv6, RaceThroughTheResolverHook) {
  TL_SKIP_UNLESS_INSTALLED(NginxServer::kBinary);
  if (!testsupport::IPv6LoopbackAvailable()) GTEST_SKIP() << "no IPv6 loopback here";
  NginxServer nginx;
  nginx.AddServerConfig("        location = /host { return 200 \"$http_host\\n\"; }\n");
  ASSERT_TRUE(nginx.Start());
  winapi::SetResolverHookForTesting(DualResolver);
  struct Case {
    const char* name;
    std::string host;
    uint16_t port;  // Port2() listens on IPv4 only: IPv6 is refused there
    THttpIpFamily family;
    bool race;
    std::string ip;
    std::vector<std::string> attempts;  // address and result
  };
  const Case cases[] = {
      {"both answer: IPv6 wins", "dual.test", nginx.Port(), httpIpAny, true, "::1", {"::1 won"}},
      {"IPv4 ranked first still races IPv6 first",
       "dual4first.test",
       nginx.Port(),
       httpIpAny,
       true,
       "::1",
       {"::1 won"}},
      {"IPv6 refused: IPv4",
       "dual.test",
       nginx.Port2(),
       httpIpAny,
       true,
       "127.0.0.1",
       {"::1 failed: Connection refused (#10061)", "127.0.0.1 won"}},
      {"IPv4 only", "v4.test", nginx.Port(), httpIpAny, true, "127.0.0.1", {"127.0.0.1 won"}},
      {"IPv4 asked for", "dual.test", nginx.Port(), httpIpV4Only, true, "127.0.0.1", {"127.0.0.1 won"}},
      {"IPv6 asked for", "dual4first.test", nginx.Port(), httpIpV6Only, true, "::1", {"::1 won"}},
      {"no race: the resolver's order",
       "dual4first.test",
       nginx.Port(),
       httpIpAny,
       false,
       "127.0.0.1",
       {"127.0.0.1 won"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto cli = core::MakeComponent<THttpCli>(nullptr);
    WindowSettings(*cli);
    core::TMemoryStream body;
    cli->SetRcvdStream(&body);
    cli->SetIpFamily(c.family);
    cli->SetConnectRacing(c.race);
    const std::string hostPort = c.host + ":" + std::to_string(c.port);
    cli->SetURL("http://" + hostPort + (c.port == nginx.Port() ? "/host" : "/other.html"));
    cli->Get();
    EXPECT_EQ(body.DataString(), c.port == nginx.Port() ? hostPort + "\n" : "other port\n");
    const TLoadTimes& t = cli->Timeline().Times();
    EXPECT_EQ(t.ip, c.ip);
    EXPECT_EQ(t.family, c.ip == "::1" ? AF_INET6 : AF_INET);
    std::vector<std::string> attempts;
    for (const TLoadConnectAttempt& a : t.connectAttempts) {
      attempts.push_back(a.addr + " " + a.result);
      EXPECT_LE(a.startNs, a.endNs);
    }
    EXPECT_EQ(attempts, c.attempts);
    EXPECT_GT(t.Phase(TLoadPhase::connect), 0);
  }
  winapi::SetResolverHookForTesting(nullptr);
}

TEST_F(HttpNginx, SmallAndLargeDocumentsInBothVersions) {
  std::ifstream file(nginx_.AddPatternFile("big.bin", 3 * 1024 * 1024 + 17), std::ios::binary);
  const std::string expected((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  ASSERT_EQ(expected.size(), 3u * 1024 * 1024 + 17);
  for (const char* version : {"1.0", "1.1"}) {
    Get("/index.html", version);
    EXPECT_EQ(body_.DataString(), "hello world\n") << version;
    EXPECT_EQ(cli_->StatusCode(), 200);
    EXPECT_EQ(cli_->ContentLength(), 12);
    Get("/big.bin", version);
    ASSERT_EQ(body_.Size(), 3 * 1024 * 1024 + 17) << version;
    EXPECT_TRUE(body_.DataString() == expected) << version;
    EXPECT_EQ(cli_->RcvdCount(), 3 * 1024 * 1024 + 17);
  }
}

TEST_F(HttpNginx, KeepAliveReusesTheConnection) {
  cli_->SetRequestVer("1.1");
  for (int i = 0; i < 3; ++i) Get("/index.html", "1.1");
  Get("/dir/page.htm", "1.1");
  EXPECT_EQ(body_.DataString(), "page in dir\n");
  ASSERT_TRUE(nginx_.WaitForAccessLines(4));
  EXPECT_EQ(nginx_.ConnectionCount(), 1u);
  EXPECT_EQ(ev_.StateCount("httpDnsLookup"), 1u);
  EXPECT_EQ(ev_.Count("SessionConnected"), 4u);
  // HTTP/1.0 closes after every load (the first still goes out on the kept one).
  Get("/index.html", "1.0");
  Get("/index.html", "1.0");
  Get("/index.html", "1.0");
  ASSERT_TRUE(nginx_.WaitForAccessLines(7));
  EXPECT_EQ(nginx_.ConnectionCount(), 3u);
}

TEST_F(HttpNginx, ChunkedBody) {
  Get("/ssi/multi.html", "1.1");
  EXPECT_EQ(cli_->TransferEncoding(), "chunked");
  EXPECT_EQ(body_.DataString(), "Apage in dir\nBnext page\nC\n");
  EXPECT_EQ(cli_->RcvdCount(), static_cast<int64_t>(body_.Size()));
  Get("/index.html", "1.1");  // the connection is still usable
  EXPECT_EQ(body_.DataString(), "hello world\n");
  ASSERT_TRUE(nginx_.WaitForAccessLines(2));
  EXPECT_EQ(nginx_.ConnectionCount(), 1u);
}

TEST_F(HttpNginx, NotFoundRaisesWithStatusAndReason) {
  for (const char* version : {"1.0", "1.1"}) {
    try {
      Get("/missing.html", version);
      ADD_FAILURE() << "no exception";
    } catch (const EHttpException& e) {
      EXPECT_EQ(e.Message(), "Not Found");
      EXPECT_EQ(e.ErrorNumber(), 404);
    }
    EXPECT_EQ(ev_.lastErr, 0);  // a response came: the request itself succeeded
  }
  Get("/index.html", "1.1");
  EXPECT_EQ(body_.DataString(), "hello world\n");
}

TEST_F(HttpNginx, HeadReadsNoBody) {
  cli_->SetURL(nginx_.Url("/index.html"));
  cli_->SetRequestVer("1.1");
  cli_->Head();
  EXPECT_EQ(cli_->StatusCode(), 200);
  EXPECT_EQ(cli_->ContentLength(), 12);
  EXPECT_EQ(body_.Size(), 0);
  Get("/index.html", "1.1");
  EXPECT_EQ(body_.DataString(), "hello world\n");
}

TEST_F(ThroughSquid, GetArrivesThroughTheProxy) {
  cli->SetURL(nginx.Url("/dir/page.htm"));
  cli->Get();
  EXPECT_EQ(cli->StatusCode(), 200);
  EXPECT_EQ(body.DataString(), "page in dir\n");
  EXPECT_TRUE(squid.WaitForAccessLog("/dir/page.htm"));
  ASSERT_TRUE(nginx.WaitForAccessLines(1));
}

}  // namespace
}  // namespace http::testing
