// Pages fetched through SOCKS servers: real ones (dante, microsocks and the Perl
// script) in front of nginx, and a scripted one that shows who resolves the name.
#include <gtest/gtest.h>

#include <mutex>

#include "http/tests/HttpTestSupport.h"
#include "net/SocksWSocket.h"
#include "testsupport/Nginx.h"
#include "testsupport/Process.h"
#include "testsupport/ScriptedPeer.h"
#include "testsupport/SocksServer.h"

namespace http::testing {
namespace {

using namespace std::string_literals;
using testsupport::NginxServer;
using testsupport::SocksAuth;
using testsupport::SocksKind;
using testsupport::SocksServer;

struct ThroughSocks {
  core::ComponentPtr<THttpCli> cli = core::MakeComponent<THttpCli>(nullptr);
  core::TMemoryStream body;
  std::vector<std::string> socksErrors;

  ThroughSocks(uint16_t socksPort, const std::string& level, const std::string& socksHost = "127.0.0.1") {
    WindowSettings(*cli);
    cli->SetRcvdStream(&body);
    cli->SetSocksServer(socksHost);
    cli->SetSocksPort(std::to_string(socksPort));
    cli->SetSocksLevel(level);
    cli->OnSocksError = [this](core::TComponent*, int e, const std::string& msg) {
      socksErrors.push_back(std::to_string(e) + " " + msg);
    };
  }
  void WithUser(const std::string& user, const std::string& password) {
    cli->SetSocksAuthentication(net::socksAuthenticateUsercode);
    cli->SetSocksUsercode(user);
    cli->SetSocksPassword(password);
  }
  // The synchronous Get; the exception's message, or "" when the page came.
  std::string Get(const std::string& url) {
    cli->SetURL(url);
    try {
      cli->Get();
    } catch (const EHttpException& e) {
      return e.Message();
    }
    return {};
  }
};

struct RealCase {
  const char* what;
  SocksKind kind;
  SocksAuth auth;
  const char* level;
  bool user;         // log in with the server's user and password
  const char* host;  // of the URL: a name goes to the server at levels 4A and 5
};

const RealCase kRealCases[] = {
    {"dante 5", SocksKind::kDante, SocksAuth::kNone, "5", false, "localhost"},
    {"dante 5 dotted", SocksKind::kDante, SocksAuth::kNone, "5", false, "127.0.0.1"},
    {"dante 5 user", SocksKind::kDante, SocksAuth::kUserOrNone, "5", true, "localhost"},
    {"dante 4", SocksKind::kDante, SocksAuth::kNone, "4", false, "localhost"},
    {"dante 4 user id", SocksKind::kDante, SocksAuth::kUserOrNone, "4", true, "127.0.0.1"},
    {"microsocks 5 user", SocksKind::kMicrosocks, SocksAuth::kUserOnly, "5", true, "127.0.0.1"},
    {"perl 4A", SocksKind::kPerl, SocksAuth::kNone, "4A", false, "localhost"},
    {"perl 5 user", SocksKind::kPerl, SocksAuth::kUserOnly, "5", true, "localhost"},
};

class HttpSocksReal : public ::testing::TestWithParam<RealCase> {};

TEST_P(HttpSocksReal, PageFetchedAndWrongPasswordRefused) {
  const RealCase& c = GetParam();
  TL_SKIP_UNLESS_INSTALLED(NginxServer::kBinary);
  TL_SKIP_UNLESS(SocksServer::Available(c.kind), "SOCKS server not installed");
  NginxServer nginx;
  ASSERT_TRUE(nginx.Start());
  SocksServer socks(c.kind, c.auth);
  ASSERT_TRUE(socks.Start());
  ThroughSocks t(socks.Port(), c.level);
  if (c.user) t.WithUser(socks.User(), socks.Password());
  EXPECT_EQ(t.Get(nginx.Url("/index.html", c.host)), "");
  EXPECT_EQ(t.body.DataString(), "hello world\n");
  EXPECT_EQ(t.cli->StatusCode(), 200);
  EXPECT_TRUE(t.socksErrors.empty()) << t.socksErrors[0];
  if (!c.user || std::string(c.level) != "5" || c.auth == SocksAuth::kNone) return;
  t.WithUser(socks.User(), "wrong");
  EXPECT_NE(t.Get(nginx.Url("/index.html", c.host)), "");
  EXPECT_EQ(t.cli->StatusCode(), 404);
  EXPECT_EQ(t.socksErrors, std::vector<std::string>{"20015 socks authentication failed"});
}

INSTANTIATE_TEST_SUITE_P(Servers, HttpSocksReal, ::testing::ValuesIn(kRealCases),
                         [](const ::testing::TestParamInfo<RealCase>& p) {
                           std::string name = p.param.what;
                           for (char& ch : name)
                             if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
                           return name;
                         });

// A SOCKS 5 server on ::1 carrying a load to nginx on [::1]: the server is reached
// over IPv6 and asked for the destination as an IPv6 address.
TEST(HttpSocksIPv6, PageThroughAServerOnIPv6Loopback) {
  TL_SKIP_UNLESS_INSTALLED(NginxServer::kBinary);
  TL_SKIP_UNLESS(testsupport::IPv6LoopbackAvailable(), "no IPv6 loopback here");
  NginxServer nginx;
  ASSERT_TRUE(nginx.Start());
  for (SocksKind kind : {SocksKind::kDante, SocksKind::kMicrosocks}) {
    if (!SocksServer::Available(kind)) continue;
    SCOPED_TRACE(kind == SocksKind::kDante ? "dante" : "microsocks");
    SocksServer socks(kind);
    socks.ListenOnIPv6();
    ASSERT_TRUE(socks.Start());
    for (const char* server : {"::1", "[::1]"}) {
      ThroughSocks t(socks.Port(), "5", server);
      EXPECT_EQ(t.Get(nginx.Url("/index.html", "[::1]")), "");
      EXPECT_EQ(t.body.DataString(), "hello world\n");
      EXPECT_TRUE(t.socksErrors.empty()) << t.socksErrors[0];
      EXPECT_EQ(t.cli->Timeline().Times().ip, "::1");
    }
  }
}

// SOCKS 4 and 4A have no room for an IPv6 destination: the load fails with the
// family refused, before anything is sent to the server.
TEST(HttpSocksScripted, Level4RefusesAnIPv6Destination) {
  for (const char* level : {"4", "4A"}) {
    SCOPED_TRACE(level);
    testsupport::ScriptedPeer peer;
    ThroughSocks t(peer.Port(), level);
    EXPECT_NE(t.Get("http://[::1]:8080/"), "");
    EXPECT_EQ(t.cli->ReasonPhrase(),
              "can't connect: Address family not supported by protocol family (Error #10047)");
    EXPECT_EQ(peer.AcceptedCount(), 0u);
  }
}

std::mutex gLookupsLock;
std::vector<std::string> gLookups;  // the lookups may run on the resolver's thread

int RecordLookup(const std::string& name, bool, winapi::HostEntry& out) {
  std::lock_guard<std::mutex> lock(gLookupsLock);
  gLookups.push_back(name);
  out.officialName = name;
  out.addrs = {0x0100007F, 0x0200007F};  // 127.0.0.1, 127.0.0.2
  out.addrs6 = {in6addr_loopback};
  return 0;
}

size_t LookupCount() {
  std::lock_guard<std::mutex> lock(gLookupsLock);
  return gLookups.size();
}

// Levels 4A and 5 hand the host name to the SOCKS server and look nothing up;
// level 4 resolves it here and sends the first IPv4 address (the name has
// several of both families, and none is tried directly).
TEST(HttpSocksScripted, WhoResolvesTheName) {
  using Exchange = std::vector<std::pair<std::string, std::string>>;  // what comes in, what goes out
  const std::string name = "www.tachyload.test";
  const std::string granted4 = "\x00\x5a\x00\x00\x00\x00\x00\x00"s;
  struct Case {
    const char* level;
    Exchange exchange;
    size_t lookups;
  };
  const Case cases[] = {
      {"5",
       {{"\x05\x01\x00"s, "\x05\x00"s},
        {"\x05\x01\x00\x03\x12"s + name + "\x00\x50"s, "\x05\x00\x00\x01\x00\x00\x00\x00\x00\x00"s}},
       0},
      {"4A", {{"\x04\x01\x00\x50\x00\x00\x00\x01\x00"s + name + "\x00"s, granted4}}, 0},
      {"4", {{"\x04\x01\x00\x50\x7f\x00\x00\x01\x00"s, granted4}}, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.level);
    testsupport::Script script;
    std::string request;
    for (const auto& [in, out] : c.exchange) {
      script.ReadBytes(in.size()).Send(out);
      request += in;
    }
    script.ExpectRequest().Send(testsupport::HttpResponse(200, "through", {"Connection: close"})).Close();
    testsupport::ScriptedPeer peer({script});
    ThroughSocks t(peer.Port(), c.level);
    {
      std::lock_guard<std::mutex> lock(gLookupsLock);
      gLookups.clear();
    }
    winapi::SetResolverHookForTesting(RecordLookup);
    const std::string error = t.Get("http://" + name + "/page");
    winapi::SetResolverHookForTesting(nullptr);
    EXPECT_EQ(error, "");
    EXPECT_EQ(t.body.DataString(), "through");
    EXPECT_EQ(LookupCount(), c.lookups);
    const std::string received = peer.Received(0);
    EXPECT_EQ(received.substr(0, request.size()), request);
    EXPECT_NE(received.find("Host: " + name + "\r\n"), std::string::npos) << received;
  }
}

}  // namespace
}  // namespace http::testing
