// The proxy's 407 to CONNECT against a scripted proxy: the next CONNECT, with the
// credentials, goes on the same connection when the answer's body has a known end
// and nobody closes, and on a new one otherwise; the answer fed whole and one
// byte at a time.
#include <gtest/gtest.h>

#include "http/MimeUtils.h"
#include "http/tests/HttpTestSupport.h"
#include "testsupport/Process.h"
#include "testsupport/ScriptedPeer.h"

namespace http::testing {
namespace {

using testsupport::Millis;
using testsupport::Script;
using testsupport::ScriptedPeer;

const std::string kChallenge = "Proxy-Authenticate: Basic realm=\"p\"\r\n";
const std::string kStatus = "HTTP/1.1 407 Proxy Authentication Required\r\n";
// The final refusal: the request ends with it, and no third CONNECT follows.
const std::string kRefusal = kStatus + kChallenge + "Content-Length: 0\r\n\r\n";

// A client of HTTP/1.1 that goes through the scripted proxy with credentials.
core::ComponentPtr<THttpCli> ClientThrough(const ScriptedPeer& proxy) {
  core::ComponentPtr<THttpCli> cli = core::MakeComponent<THttpCli>(nullptr);
  cli->SetProxy("127.0.0.1");
  cli->SetProxyPort(std::to_string(proxy.Port()));
  cli->SetProxyUsername("pu");
  cli->SetProxyPassword("pp");
  cli->SetRequestVer("1.1");
  return cli;
}

TEST(HttpTunnelPeer, SecondConnectOnTheSameConnectionWhenTheAnswerEnds) {
  struct Case {
    const char* name;
    std::string answer;
    bool sameConnection;
    bool proxyCloses = false;
    // The client may send the next CONNECT before it hears of the close.
    bool racesTheClose = false;
  };
  const Case cases[] = {
      {"length", kStatus + kChallenge + "Content-Length: 11\r\n\r\nlogin first", true},
      {"empty", kStatus + kChallenge + "Content-Length: 0\r\n\r\n", true},
      {"chunked",
       kStatus + kChallenge +
           "Transfer-Encoding: chunked\r\n\r\n5\r\nlogin\r\n6;x=y\r\n first\r\n0\r\nX: 1\r\n\r\n",
       true},
      {"1.0 keep-alive",
       "HTTP/1.0 407 Login\r\n" + kChallenge + "Proxy-Connection: keep-alive\r\nContent-Length: 2\r\n\r\nno",
       true},
      {"1.0", "HTTP/1.0 407 Login\r\n" + kChallenge + "Content-Length: 2\r\n\r\nno", false},
      {"bare line ends", "HTTP/1.1 407 Login\nProxy-Authenticate: Basic realm=\"p\"\nContent-Length: 2\n\nno",
       true},
      {"mixed line ends",
       "HTTP/1.1 407 Login\r\nProxy-Authenticate: Basic realm=\"p\"\nContent-Length: 2\r\n\nno", true},
      {"proxy-connection close",
       kStatus + kChallenge + "Proxy-Connection: close\r\nContent-Length: 2\r\n\r\nno", false},
      {"connection close",
       kStatus + kChallenge + "Connection: keep-alive, close\r\nContent-Length: 2\r\n\r\nno", false},
      {"no framing", kStatus + kChallenge + "\r\nup to the close", false, true},
      {"other coding", kStatus + kChallenge + "Transfer-Encoding: gzip\r\n\r\nxx", false, true},
      {"closed after the answer", kStatus + kChallenge + "Content-Length: 2\r\n\r\nno", false, true, true},
  };
  for (const Case& c : cases) {
    for (const bool bytewise : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (bytewise ? " byte by byte" : " whole"));
      Script first = Script().Expect("\r\n\r\n");
      if (bytewise)
        first.SendSlowly(c.answer, 1, Millis(1));
      else
        first.Send(c.answer);
      if (c.proxyCloses) first.Close();
      if (c.sameConnection) first.Expect("\r\n\r\n").Send(kRefusal);
      ScriptedPeer proxy({first, Script().Expect("\r\n\r\n").Send(kRefusal)});
      core::ComponentPtr<THttpCli> cli = ClientThrough(proxy);
      HttpEvents ev;
      ev.Attach(*cli);
      ASSERT_TRUE(RunUntilReady(*cli, ev, "https://127.0.0.1:9/x")) << ev.Text();
      EXPECT_EQ(cli->StatusCode(), 407);
      EXPECT_EQ(ev.requestDone, 1);
      // The final refusal is told as the answer's header.
      ASSERT_EQ(cli->RcvdHeader().Count(), 3);
      EXPECT_EQ(cli->RcvdHeader()[0] + "\r\n", kStatus);
      EXPECT_EQ(ev.Count("HeaderEnd"), 2u);
      const std::string credentials = "Proxy-Authorization: Basic " + EncodeBase64("pu:pp") + "\r\n";
      const std::string first0 = proxy.Received(0);
      EXPECT_EQ(first0.find("Proxy-Authorization"), first0.rfind("Proxy-Authorization")) << first0;
      if (c.sameConnection) {
        ASSERT_TRUE(proxy.WaitForReceived(0, credentials));
        EXPECT_EQ(proxy.AcceptedCount(), 1u);
      } else {
        ASSERT_TRUE(proxy.WaitForAccepted(2));
        ASSERT_TRUE(proxy.WaitForReceived(1, credentials));
        if (c.racesTheClose) continue;
        EXPECT_EQ(proxy.Received(0).find("Proxy-Authorization"), std::string::npos);
      }
      // Every CONNECT names the target; exactly two went out.
      std::string all;
      for (size_t i = 0; i < proxy.AcceptedCount(); ++i) all += proxy.Received(i);
      size_t connects = 0;
      for (size_t p = all.find("CONNECT 127.0.0.1:9 HTTP/1.1\r\n"); p != std::string::npos;
           p = all.find("CONNECT 127.0.0.1:9 HTTP/1.1\r\n", p + 1))
        ++connects;
      EXPECT_EQ(connects, 2u) << all;
      // A client that leaves the first connection closes it under the rest of the
      // answer, so the proxy's sends there may fail.
      for (const std::string& error : proxy.Errors())
        if (c.sameConnection || error.rfind("connection 0 ", 0) != 0) ADD_FAILURE() << error;
    }
  }
}

// A kept connection the proxy closes just as the next CONNECT goes out: that
// CONNECT goes once more on a new connection.
TEST(HttpTunnelPeer, KeptConnectionClosedUnderTheNextConnect) {
  const std::string answer = kStatus + kChallenge + "Content-Length: 0\r\n\r\n";
  ScriptedPeer proxy({Script().Expect("\r\n\r\n").Send(answer).Expect("\r\n\r\n").CloseNow(),
                      Script().Expect("\r\n\r\n").Send(kRefusal)});
  core::ComponentPtr<THttpCli> cli = ClientThrough(proxy);
  HttpEvents ev;
  ev.Attach(*cli);
  ASSERT_TRUE(RunUntilReady(*cli, ev, "https://127.0.0.1:9/x")) << ev.Text();
  EXPECT_EQ(cli->StatusCode(), 407) << cli->ReasonPhrase();
  ASSERT_EQ(proxy.AcceptedCount(), 2u);
  EXPECT_NE(proxy.Received(1).find("Proxy-Authorization: Basic "), std::string::npos);
}

// A proxy at an IPv6 address (a URL or a bracketed host with its port) and targets
// at IPv6 addresses: the CONNECT target, the absolute request URL and Host all
// carry the brackets.
TEST(HttpTunnelPeer, ProxyAndTargetsAtIPv6Addresses) {
  if (!testsupport::IPv6LoopbackAvailable()) GTEST_SKIP() << "no IPv6 loopback here";
  const std::string refused = "HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n";
  struct Case {
    bool proxyAsUrl;
    const char* url;
    std::string request;
  };
  const Case cases[] = {
      {true, "https://[2001:db8::1]/x", "CONNECT [2001:db8::1]:443 HTTP/1.1\r\nHost: [2001:db8::1]:443\r\n"},
      {false, "https://[2001:db8::1]:8443/x",
       "CONNECT [2001:db8::1]:8443 HTTP/1.1\r\nHost: [2001:db8::1]:8443\r\n"},
      {true, "http://[2001:db8::5]:8080/p", "GET http://[2001:db8::5]:8080/p HTTP/1.1\r\n"},
      {false, "http://[2001:db8::5]/p", "GET http://[2001:db8::5]/p HTTP/1.1\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url);
    ScriptedPeer proxy({Script().Expect("\r\n\r\n").Send(refused)}, {.ipv6 = true});
    core::ComponentPtr<THttpCli> cli = core::MakeComponent<THttpCli>(nullptr);
    cli->SetRequestVer("1.1");
    cli->SetProxy(c.proxyAsUrl ? "http://" + proxy.Address() : "[::1]");
    cli->SetProxyPort(c.proxyAsUrl ? "1" : std::to_string(proxy.Port()));
    HttpEvents ev;
    ev.Attach(*cli);
    ASSERT_TRUE(RunUntilReady(*cli, ev, c.url)) << ev.Text();
    EXPECT_EQ(cli->StatusCode(), 403) << cli->ReasonPhrase();
    const std::string received = proxy.Received(0);
    EXPECT_EQ(received.substr(0, c.request.size()), c.request) << received;
    if (c.request[0] == 'G') {
      const std::string host = std::string(c.url).substr(7, std::string(c.url).find('/', 8) - 7);
      EXPECT_NE(received.find("\r\nHost: " + host + "\r\n"), std::string::npos) << received;
    }
  }
}

}  // namespace
}  // namespace http::testing
