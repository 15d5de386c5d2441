// What goes on the wire after a location: references resolved against the
// document (dot segments, network paths, queries, fragments), other schemes,
// chains and loops on kept and new connections, a proxy that redirects, and the
// bytes from the network (or the caller) that must never reach a request.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include "http/tests/HttpTestSupport.h"
#include "testsupport/ScriptedPeer.h"

namespace http::testing {
namespace {

using testsupport::HttpResponse;
using testsupport::Script;
using testsupport::ScriptedPeer;

struct Client : TestClient {
  void ThroughProxy(const ScriptedPeer& proxy) {
    cli->SetProxy("127.0.0.1");
    cli->SetProxyPort(std::to_string(proxy.Port()));
  }
};

std::string Base(const ScriptedPeer& peer) {
  return "http://127.0.0.1:" + std::to_string(peer.Port());
}

std::string Redirect(const std::string& location) {
  return HttpResponse(302, "moved", {"Location: " + location});
}

// The request lines a connection received, in order.
std::vector<std::string> RequestLines(const std::string& received) {
  std::vector<std::string> lines;
  for (size_t at = 0; at < received.size();) {
    const size_t end = received.find("\r\n", at);
    if (end == std::string::npos) break;
    lines.push_back(received.substr(at, end - at));
    const size_t next = received.find("\r\n\r\n", at);
    if (next == std::string::npos) break;
    at = next + 4;
  }
  return lines;
}

TEST(HttpReference, LocationsResolvedAgainstTheDocument) {
  struct Case {
    std::string location;
    std::string target;  // of the request that follows, on the kept connection
  };
  const std::vector<Case> cases = {
      {"../g", "/b/g"},
      {"g;x?y#s", "/b/c/g;x?y"},
      {"?y", "/b/c/d;p?y"},
      {"#s", "/b/c/d;p?q"},
      {"/./g", "/g"},
      {"../../../g", "/g"},
      {"g/../h", "/b/c/h"},
      {"./g/.", "/b/c/g/"},
      {"http:g", "/b/c/g"},
      {"a b", "/b/c/a%20b"},
      {"x\x1by\tz\x7f", "/b/c/x%1By%09z%7F"},
  };
  for (const Case& k : cases) {
    ScriptedPeer peer({testsupport::HttpScript({Redirect(k.location), HttpResponse(200, "there")})});
    Client c;
    ASSERT_TRUE(c.Run(Base(peer) + "/b/c/d;p?q"));
    EXPECT_EQ(c.body.DataString(), "there") << k.location;
    EXPECT_EQ(RequestLines(peer.Received(0)),
              (std::vector<std::string>{"GET /b/c/d;p?q HTTP/1.1", "GET " + k.target + " HTTP/1.1"}))
        << k.location;
  }
  // A network-path reference or an absolute URL without a path names the server
  // itself: the same connection, "/" as the target.
  ScriptedPeer self;
  const std::string authority = "127.0.0.1:" + std::to_string(self.Port());
  self.AddScript(testsupport::HttpScript(
      {Redirect("//" + authority), Redirect("http://" + authority + "?k=v#f"), HttpResponse(200, "self")}));
  Client c;
  ASSERT_TRUE(c.Run(Base(self) + "/start"));
  EXPECT_EQ(RequestLines(self.Received(0)),
            (std::vector<std::string>{"GET /start HTTP/1.1", "GET / HTTP/1.1", "GET /?k=v HTTP/1.1"}));
  EXPECT_EQ(self.AcceptedCount(), 1u);
}

TEST(HttpReference, NetworkPathToAnotherServer) {
  ScriptedPeer other({testsupport::HttpScript({HttpResponse(200, "other")})});
  const std::string authority = "127.0.0.1:" + std::to_string(other.Port());
  ScriptedPeer peer({testsupport::HttpScript({Redirect("//" + authority + "/x/./y#frag")})});
  Client c;
  ASSERT_TRUE(c.Run(Base(peer) + "/"));
  EXPECT_EQ(c.body.DataString(), "other");
  const std::string sent = other.Received(0);
  EXPECT_EQ(RequestLines(sent), std::vector<std::string>{"GET /x/y HTTP/1.1"});
  EXPECT_NE(sent.find("\r\nHost: " + authority + "\r\n"), std::string::npos) << sent;
  EXPECT_EQ(c.cli->Location(), "http://127.0.0.1/x/y");
}

TEST(HttpReference, OtherSchemesEndNotImplemented) {
  for (bool proxied : {false, true}) {
    for (const char* location : {"javascript:alert(1)", "FTP://127.0.0.1/f", "mailto:a@b.example"}) {
      ScriptedPeer peer({testsupport::HttpScript({Redirect(location)})});
      Client c;
      if (proxied) c.ThroughProxy(peer);
      ASSERT_TRUE(c.Run(Base(peer) + "/"));
      const std::string text = location;
      const std::string scheme = core::LowerCase(text.substr(0, text.find(':')));
      EXPECT_EQ(c.cli->StatusCode(), 501) << location;
      EXPECT_EQ(c.cli->ReasonPhrase(), "Protocol \"" + scheme + "\" not implemented") << location;
      EXPECT_EQ(c.ev.requestDone, 1);
      EXPECT_EQ(RequestLines(peer.Received(0)).size(), 1u) << location;
      EXPECT_EQ(peer.AcceptedCount(), 1u) << location;
    }
  }
}

// Chains are followed to the end on the kept connection; a loop ends at the
// limit with the redirection's own status, whether each hop keeps the connection
// or needs a new one.
TEST(HttpReference, ChainsAndLoops) {
  ScriptedPeer chain({testsupport::HttpScript(
      {Redirect("/1"), Redirect("2"), Redirect("./3?x"), HttpResponse(200, "end of chain")})});
  Client c;
  ASSERT_TRUE(c.Run(Base(chain) + "/0"));
  EXPECT_EQ(c.body.DataString(), "end of chain");
  EXPECT_EQ(RequestLines(chain.Received(0)),
            (std::vector<std::string>{"GET /0 HTTP/1.1", "GET /1 HTTP/1.1", "GET /2 HTTP/1.1",
                                      "GET /3?x HTTP/1.1"}));

  ScriptedPeer loop;
  loop.AddScript(Script().ServeHttp(Redirect("/again")));
  Client kept;
  ASSERT_TRUE(kept.Run(Base(loop) + "/"));
  EXPECT_EQ(kept.cli->StatusCode(), 302);
  EXPECT_EQ(RequestLines(loop.Received(0)).size(), 6u);  // five steps allowed
  EXPECT_EQ(loop.AcceptedCount(), 1u);

  ScriptedPeer a, b;
  for (int i = 0; i < 4; ++i) {
    a.AddScript(Script().ExpectRequest().Send(Redirect(Base(b) + "/b")).Hold());
    b.AddScript(Script().ExpectRequest().Send(Redirect(Base(a) + "/a")).Hold());
  }
  Client hopping;
  ASSERT_TRUE(hopping.Run(Base(a) + "/a"));
  EXPECT_EQ(hopping.cli->StatusCode(), 302);
  EXPECT_EQ(hopping.ev.requestDone, 1);
  EXPECT_EQ(a.AcceptedCount() + b.AcceptedCount(), 3u);  // a hop to a new connection counts twice
}

TEST(HttpReference, AProxyThatRedirects) {
  // The proxy stays the peer: every hop goes on its kept connection.
  ScriptedPeer proxy({testsupport::HttpScript(
      {Redirect("../c?x#f"), Redirect("//other.example:8080/d"), HttpResponse(200, "via proxy")})});
  Client c;
  c.ThroughProxy(proxy);
  ASSERT_TRUE(c.Run("http://www.example.com/a/b#top"));
  EXPECT_EQ(c.body.DataString(), "via proxy");
  const std::string sent = proxy.Received(0);
  EXPECT_EQ(RequestLines(sent), (std::vector<std::string>{"GET http://www.example.com/a/b HTTP/1.1",
                                                          "GET http://www.example.com/c?x HTTP/1.1",
                                                          "GET http://other.example:8080/d HTTP/1.1"}));
  EXPECT_NE(sent.find("\r\nHost: other.example:8080\r\n"), std::string::npos) << sent;
  EXPECT_EQ(proxy.AcceptedCount(), 1u);
}

TEST(HttpReference, TheCallersUrlGoesWithoutFragmentAndWithAPath) {
  ScriptedPeer peer({testsupport::HttpScript({HttpResponse(200, "1"), HttpResponse(200, "2")}),
                     testsupport::HttpScript({HttpResponse(200, "3")})});
  Client c;
  ASSERT_TRUE(c.Run(Base(peer) + "/p?q#frag"));
  ASSERT_TRUE(c.Run(Base(peer) + "?k#f"));
  EXPECT_EQ(RequestLines(peer.Received(0)),
            (std::vector<std::string>{"GET /p?q HTTP/1.1", "GET /?k HTTP/1.1"}));
  Client proxied;
  proxied.ThroughProxy(peer);
  ASSERT_TRUE(proxied.Run("http://www.example.com?k#f"));
  EXPECT_EQ(RequestLines(peer.Received(1)),
            std::vector<std::string>{"GET http://www.example.com/?k HTTP/1.1"});
}

// Locations and URLs as browsers send them: blanks after a location dropped,
// bytes from 0x80 percent-encoded, internationalised host names in their ASCII
// form (request line, Host), the dot segments of the caller's URL removed; the
// same directly and through a proxy.
TEST(HttpReference, LocationsAsBrowsersSendThem) {
  winapi::SetResolverHookForTesting(&http::testing::ExampleToLoopback);
  for (const bool proxied : {false, true}) {
    SCOPED_TRACE(proxied ? "through a proxy" : "direct");
    ScriptedPeer peer;
    const std::string port = std::to_string(peer.Port());
    const std::string second = "http://\xc3\xa9t\xc3\xa9.example:" + port + "/caf\xc3\xa9?\xc3\xa9 \t";
    peer.AddScript(Script()
                       .ExpectRequest()
                       .Send(Redirect("/x.html \t "))
                       .ExpectRequest()
                       .Send(Redirect(second))
                       .ExpectRequest()
                       .Send(HttpResponse(200, "done")));
    peer.AddScript(Script().ExpectRequest().Send(HttpResponse(200, "done")));
    Client c;
    if (proxied) c.ThroughProxy(peer);
    ASSERT_TRUE(
        c.Run("http://b\xc3\xbc"
              "cher.example:" +
              port + "/please/../gimme"));
    EXPECT_EQ(c.body.DataString(), "done");
    std::string all;
    for (size_t i = 0; i < peer.AcceptedCount(); ++i) all += peer.Received(i);
    const std::string first = proxied ? "http://xn--bcher-kva.example:" + port : "";
    const std::string other = proxied ? "http://xn--t-9fab.example:" + port : "";
    EXPECT_EQ(RequestLines(all), (std::vector<std::string>{"GET " + first + "/gimme HTTP/1.1",
                                                           "GET " + first + "/x.html HTTP/1.1",
                                                           "GET " + other + "/caf%C3%A9?%C3%A9 HTTP/1.1"}));
    EXPECT_NE(all.find("\r\nHost: xn--bcher-kva.example:" + port + "\r\n"), std::string::npos) << all;
    EXPECT_NE(all.find("\r\nHost: xn--t-9fab.example:" + port + "\r\n"), std::string::npos) << all;
  }
  winapi::SetResolverHookForTesting(nullptr);
}

TEST(HttpReference, AZoneIdIsRefusedWithItsReason) {
  Client c;
  c.cli->SetURL("http://[fe80::1%25eth0]:8080/");
  try {
    c.cli->GetAsync();
    ADD_FAILURE() << "accepted";
  } catch (const EHttpException& e) {
    EXPECT_EQ(e.Message(), "IPv6 zone ids (\"%...\") are not supported in URLs");
    EXPECT_EQ(e.ErrorNumber(), 7);
  }
  EXPECT_EQ(c.cli->State(), httpReady);
}

TEST(HttpReference, AUrlWithLineBreaksIsRefusedBeforeAnythingIsSent) {
  ScriptedPeer peer;
  for (const std::string& bad : {std::string("/a\r\nX: 1"), std::string("/a\nb"), std::string("/a\0b", 4)}) {
    Client c;
    c.cli->SetURL(Base(peer) + bad);
    for (bool sync : {false, true}) {  // the asynchronous form first: it cannot hang
      try {
        if (sync)
          c.cli->Get();
        else
          c.cli->GetAsync();
        ADD_FAILURE() << "accepted";
      } catch (const EHttpException& e) {
        EXPECT_EQ(e.Message(), "Invalid character in URL");
        EXPECT_EQ(e.ErrorNumber(), 6);
      }
      EXPECT_EQ(c.cli->State(), httpReady);
    }
    core::Application().ProcessMessages();
    EXPECT_EQ(c.ev.requestDone, 0);
  }
  EXPECT_EQ(peer.AcceptedCount(), 0u);
}

// Control bytes from a server never reach the next request: not through a
// received content-range into the Range line, not through a location's host
// into the Host line of a kept proxy connection.
TEST(HttpReference, ControlBytesFromTheServerStayOffTheWire) {
  ScriptedPeer server({testsupport::HttpScript({HttpResponse(206, "part",
                                                             {"Content-Range: bytes 1\x1b"
                                                              "2-4\t9/100"}),
                                                HttpResponse(200, "next")})});
  Client c;
  ASSERT_TRUE(c.Run(Base(server) + "/r"));
  ASSERT_TRUE(c.Run(Base(server) + "/r"));
  EXPECT_NE(server.Received(0).find("\r\nRange: bytes=12-49\r\n"), std::string::npos) << server.Received(0);

  for (const char control : {'\t', '\x1b', '\x7f', '\x01'}) {
    ScriptedPeer proxy;
    const std::string port = std::to_string(proxy.Port());
    proxy.AddScript(
        testsupport::HttpScript({Redirect("http://evil" + std::string(1, control) + "X:" + port + "/x")}));
    Client viaProxy;
    viaProxy.ThroughProxy(proxy);
    ASSERT_TRUE(viaProxy.Run("http://www.example.com:" + port + "/a"));
    EXPECT_EQ(viaProxy.cli->StatusCode(), 404) << int(control);
    EXPECT_EQ(viaProxy.cli->ReasonPhrase(), "can't resolve hostname to IP address");
    EXPECT_EQ(RequestLines(proxy.Received(0)).size(), 1u) << int(control);
  }
}

}  // namespace
}  // namespace http::testing
