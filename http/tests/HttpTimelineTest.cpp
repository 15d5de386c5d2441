// The load timeline: where each load's time went, from the client's own events.
#include <gtest/gtest.h>

#include "http/HttpTimeline.h"
#include "http/tests/HttpTestSupport.h"
#include "testsupport/ScriptedPeer.h"

namespace http::testing {
namespace {

using testsupport::HttpResponse;
using testsupport::Millis;
using testsupport::Script;
using testsupport::ScriptedPeer;

constexpr int64_t kMs = 1000000;

struct TimedClient {
  core::ComponentPtr<THttpCli> cli = core::MakeComponent<THttpCli>(nullptr);
  HttpEvents ev;
  core::TMemoryStream body;

  explicit TimedClient(const std::string& version) {
    WindowSettings(*cli);
    cli->SetRequestVer(version);
    ev.Attach(*cli);
    cli->SetRcvdStream(&body);
  }
  TLoadTimes Run(const std::string& url) {
    EXPECT_TRUE(RunUntilReady(*cli, ev, url));
    return cli->Timeline().Times();
  }
};

std::string Url(const ScriptedPeer& peer, const std::string& path = "/") {
  return LoopbackUrl(peer.Port(), path);
}

int64_t Ms(const TLoadTimes& t, TLoadPhase p) {
  return t.Phase(p) / kMs;
}

// The clock runs in one phase at a time, so the phases add up to the total.
void ExpectPartition(const TLoadTimes& t) {
  int64_t sum = 0;
  for (int64_t ns : t.phaseNs) {
    EXPECT_GE(ns, 0);
    sum += ns;
  }
  EXPECT_EQ(sum, t.TotalNs());
}

TEST(HttpTimeline, FoldMovesAnAttemptIntoItsPhaseAndKeepsTheSum) {
  THttpTimeline tl;
  tl.Start(TLoadPhase::dns);
  tl.MarkPhase(TLoadPhase::request);
  tl.Received(10);
  tl.Decoded(7);
  tl.Fold(TLoadPhase::auth);
  EXPECT_EQ(tl.Current(), TLoadPhase::auth);
  tl.MarkPhase(TLoadPhase::request);
  tl.Fold(TLoadPhase::redirect);  // the auth leg belongs to the hop too
  tl.MarkPhase(TLoadPhase::wait);
  tl.Received(30);
  tl.Finish(200, false, 12);
  const TLoadTimes& t = tl.Times();
  for (TLoadPhase p : {TLoadPhase::dns, TLoadPhase::request, TLoadPhase::auth})
    EXPECT_EQ(t.Phase(p), 0) << LoadPhaseName(p);
  EXPECT_GT(t.Phase(TLoadPhase::redirect), 0);
  EXPECT_EQ(t.redirects, 1);
  EXPECT_EQ(t.headerBytes, 12);
  EXPECT_EQ(t.bodyBytes, 18);  // only the final response's bytes
  EXPECT_EQ(t.decodedBytes, 0);
  // Stopped: the owner's own work goes on its own phase afterwards.
  const int64_t before = t.TotalNs();
  tl.MarkPhase(TLoadPhase::dns);
  EXPECT_EQ(t.TotalNs(), before);
  tl.Resume(TLoadPhase::pane);
  tl.Stop();
  EXPECT_GE(t.TotalNs(), before);
  EXPECT_EQ(t.TotalNs() - before, t.Phase(TLoadPhase::pane));
}

// A peer that waits 300 ms before its status line and 200 ms between the header
// and the body: wait and transfer show those pauses. The second load on the kept
// connection neither looks up nor connects.
TEST(HttpTimeline, WaitAndTransferShowThePeersPausesAndAKeptConnectionIsWarm) {
  const std::string header = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n";
  ScriptedPeer peer({Script()
                         .ExpectRequest()
                         .Wait(Millis(300))
                         .Send(header)
                         .Wait(Millis(200))
                         .Send("hello")
                         .ExpectRequest()
                         .Send(header + "world")});
  TimedClient c("1.1");
  const TLoadTimes cold = c.Run(Url(peer));
  EXPECT_EQ(cold.status, 200);
  EXPECT_FALSE(cold.reused);
  EXPECT_GE(Ms(cold, TLoadPhase::wait), 290);
  EXPECT_LE(Ms(cold, TLoadPhase::wait), 600);
  EXPECT_GE(Ms(cold, TLoadPhase::transfer), 190);
  EXPECT_LE(Ms(cold, TLoadPhase::transfer), 500);
  EXPECT_GT(cold.Phase(TLoadPhase::connect), 0);
  EXPECT_EQ(cold.headerBytes, static_cast<int64_t>(header.size()));
  EXPECT_EQ(cold.bodyBytes, 5);
  EXPECT_EQ(cold.decodedBytes, 5);
  ExpectPartition(cold);

  const TLoadTimes warm = c.Run(Url(peer));
  EXPECT_TRUE(warm.reused);
  EXPECT_EQ(warm.Phase(TLoadPhase::dns), 0);
  EXPECT_EQ(warm.Phase(TLoadPhase::connect), 0);
  EXPECT_LT(Ms(warm, TLoadPhase::wait), 290);
  EXPECT_EQ(warm.bodyBytes, 5);
  ExpectPartition(warm);
  EXPECT_TRUE(peer.Errors().empty());
}

// Hops before the final request land in redirect, the legs before the accepted
// credentials in auth; the final request keeps its own phases.
TEST(HttpTimeline, RedirectHopsAndAuthenticationLegsLandInTheirPhases) {
  struct Case {
    const char* name;
    std::string first;
    TLoadPhase folded;
    int redirects;
  };
  const Case cases[] = {
      {"redirect", HttpResponse(302, "moved", {"Location: /next"}), TLoadPhase::redirect, 1},
      {"auth", HttpResponse(401, "who", {"WWW-Authenticate: Basic realm=\"x\""}), TLoadPhase::auth, 0},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    ScriptedPeer peer({Script()
                           .ExpectRequest()
                           .Wait(Millis(100))
                           .Send(k.first)
                           .ExpectRequest()
                           .Send(HttpResponse(200, "final"))});
    TimedClient c("1.1");
    c.cli->SetUsername("u");
    c.cli->SetPassword("p");
    const TLoadTimes t = c.Run(Url(peer));
    EXPECT_EQ(t.status, 200);
    EXPECT_EQ(t.redirects, k.redirects);
    EXPECT_GE(Ms(t, k.folded), 90);  // the first attempt's wait went there
    EXPECT_LT(Ms(t, TLoadPhase::wait), 90);
    EXPECT_EQ(t.Phase(TLoadPhase::connect), 0);  // folded with the first attempt
    EXPECT_TRUE(t.reused);
    EXPECT_EQ(t.bodyBytes, 5);
    ExpectPartition(t);
    EXPECT_TRUE(peer.Errors().empty());
  }
}

// The figures count responses followed; the client's own relocation count (and
// so its limit) counts a hop that changes connection twice, as it always has.
TEST(HttpTimeline, RedirectsCountTheResponsesFollowed) {
  struct Case {
    const char* name;
    const char* version;
    std::vector<Script> connections;
    int redirects;
    int curCount;
  };
  const std::string moved = HttpResponse(302, "", {"Location: /next"});
  const Case cases[] = {
      {"kept connection",
       "1.1",
       {Script().ExpectRequest().Send(moved).ExpectRequest().Send(HttpResponse(200, "x"))},
       1,
       1},
      {"new connection",
       "1.0",
       {Script().ExpectRequest().Send(moved).Close(),
        Script().ExpectRequest().Send(HttpResponse(200, "x")).Close()},
       1,
       2},
      {"two hops, one of them on a new connection",
       "1.1",
       {Script()
            .ExpectRequest()
            .Send(moved)
            .ExpectRequest()
            .Send(HttpResponse(302, "", {"Location: /last", "Connection: close"}))
            .Close(),
        Script().ExpectRequest().Send(HttpResponse(200, "x"))},
       2,
       3},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    ScriptedPeer peer(k.connections);
    TimedClient c(k.version);
    const TLoadTimes t = c.Run(Url(peer));
    EXPECT_EQ(t.status, 200);
    EXPECT_EQ(t.redirects, k.redirects);
    EXPECT_EQ(c.cli->LocationChangeCurCount(), k.curCount);
    EXPECT_TRUE(peer.Errors().empty());
  }
}

// Through a proxy the lookup and the connection are the proxy's.
TEST(HttpTimeline, ProxyConnectionIsTimedAsTheConnection) {
  ScriptedPeer proxy({Script()
                          .Expect("GET http://example.invalid/page HTTP/1.0")
                          .ExpectRequest()
                          .Send(HttpResponse(200, "via proxy"))});
  TimedClient c("1.0");
  c.cli->SetProxy("127.0.0.1");
  c.cli->SetProxyPort(std::to_string(proxy.Port()));
  const TLoadTimes t = c.Run("http://example.invalid/page");
  EXPECT_EQ(t.status, 200);
  EXPECT_FALSE(t.reused);
  EXPECT_GT(t.Phase(TLoadPhase::connect), 0);
  EXPECT_EQ(t.decodedBytes, 9);
  ExpectPartition(t);
  EXPECT_TRUE(proxy.Errors().empty());
}

// A SOCKS 5 server that takes 100 ms to grant the connection: the time is the
// socks phase's, between the connection to the server and the request.
TEST(HttpTimeline, SocksNegotiationIsItsOwnPhase) {
  using namespace std::string_literals;
  const std::string connect = "\x05\x01\x00\x03\x09localhost\x00\x50"s;
  ScriptedPeer socks({Script()
                          .ReadBytes(3)
                          .Send("\x05\x00"s)
                          .ReadBytes(connect.size())
                          .Wait(Millis(100))
                          .Send("\x05\x00\x00\x01\x7f\x00\x00\x01\x00\x50"s)
                          .ExpectRequest()
                          .Send(HttpResponse(200, "through"))});
  TimedClient c("1.1");
  c.cli->SetSocksServer("127.0.0.1");
  c.cli->SetSocksPort(std::to_string(socks.Port()));
  c.cli->SetSocksLevel("5");
  const TLoadTimes t = c.Run("http://localhost/");
  EXPECT_EQ(t.status, 200);
  EXPECT_GE(Ms(t, TLoadPhase::socks), 90);
  EXPECT_LE(Ms(t, TLoadPhase::socks), 400);
  EXPECT_LT(Ms(t, TLoadPhase::connect), 90);
  EXPECT_LT(Ms(t, TLoadPhase::request), 90);
  ExpectPartition(t);
  EXPECT_TRUE(socks.Errors().empty());
}

}  // namespace
}  // namespace http::testing
