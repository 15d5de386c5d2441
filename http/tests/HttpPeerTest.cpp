// Responses from a scripted loopback server, including hostile ones, through the
// real socket: byte-by-byte delivery, kept connections, closes and resets at every
// awkward moment, and the synchronous Get's exceptions.
#include <gtest/gtest.h>

#include "http/tests/HttpTestSupport.h"
#include "testsupport/ScriptedPeer.h"

namespace http::testing {
namespace {

using testsupport::HttpResponse;
using testsupport::Millis;
using testsupport::Script;
using testsupport::ScriptedPeer;

struct Client : TestClient {
  using TestClient::TestClient;
  // The synchronous Get; returns the exception's message and number, or "" and 0.
  std::pair<std::string, int> Get(const std::string& url) { return GetOrFailure(*cli, url); }
};

std::string Url(const ScriptedPeer& peer, const std::string& path = "/") {
  return LoopbackUrl(peer.Port(), path);
}

Script Answer200(const std::string& body) {
  return Script().ExpectRequest().Send(HttpResponse(200, body)).Close();
}

const char* const kChunked =
    "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n4\r\nabcd\r\n5\r\nefghi\r\n0\r\n\r\n";

TEST(HttpPeer, ByteByByteDeliveryGivesTheSameDocument) {
  for (const std::string& response : {std::string(kChunked), HttpResponse(200, "0123456789")}) {
    ScriptedPeer peer({Script().ExpectRequest().SendSlowly(response, 1, Millis(0))});
    Client c;
    ASSERT_TRUE(c.Run(Url(peer)));
    EXPECT_EQ(c.cli->StatusCode(), 200);
    EXPECT_EQ(c.body.DataString(), response == kChunked ? "abcdefghi" : "0123456789");
    EXPECT_EQ(c.ev.Count("HeaderBegin"), 1u);
    EXPECT_EQ(c.ev.Count("DocEnd"), 1u);
    EXPECT_EQ(c.cli->Socket()->State(), net::wsConnected);  // kept for the next request
  }
}

TEST(HttpPeer, KeptConnectionIsReused) {
  ScriptedPeer peer(
      {testsupport::HttpScript({HttpResponse(200, "one"), std::string(kChunked) + "",
                                HttpResponse(304, "", {"Content-Length: 7"}), HttpResponse(200, "four")})});
  Client c;
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(c.Run(Url(peer, "/" + std::to_string(i))));
  EXPECT_EQ(peer.AcceptedCount(), 1u);
  EXPECT_EQ(c.ev.StateCount("httpDnsLookup"), 1u);
  EXPECT_EQ(c.body.DataString(), "oneabcdefghifour");
}

// A kept connection serves its own host and port only: the same host on another
// port, or another name for the same address and port, needs a connection of its own.
TEST(HttpPeer, KeptConnectionIsNotUsedForAnotherPortOrHost) {
  struct Case {
    const char* what;
    bool otherPort;
    const char* host;
  };
  for (const Case& k :
       {Case{"another port", true, "127.0.0.1"}, Case{"another host name", false, "localhost"}}) {
    SCOPED_TRACE(k.what);
    ScriptedPeer first({testsupport::HttpScript({HttpResponse(200, "one")}),
                        testsupport::HttpScript({HttpResponse(200, "two")})});
    ScriptedPeer second({testsupport::HttpScript({HttpResponse(200, "two")})});
    const ScriptedPeer& target = k.otherPort ? second : first;
    Client c;
    ASSERT_TRUE(c.Run(Url(first, "/a")));
    ASSERT_EQ(c.cli->Socket()->State(), net::wsConnected);  // kept
    ASSERT_TRUE(c.Run(std::string("http://") + k.host + ":" + std::to_string(target.Port()) + "/b"));
    EXPECT_EQ(c.body.DataString(), "onetwo");
    EXPECT_EQ(first.AcceptedCount() + second.AcceptedCount(), 2u);
    EXPECT_EQ(target.AcceptedCount(), k.otherPort ? 1u : 2u);
  }
}

TEST(HttpPeer, TrailerThenSecondRequest) {
  ScriptedPeer peer(
      {testsupport::HttpScript({"HTTP/1.1 200 OK\r\nTransfer-Encoding: "
                                "chunked\r\n\r\n3\r\nabc\r\n0\r\nX-Check: 1\r\nX-More: 2\r\n\r\n",
                                HttpResponse(200, "next")})});
  Client c;
  ASSERT_TRUE(c.Run(Url(peer, "/a")));
  ASSERT_TRUE(c.Run(Url(peer, "/b")));
  EXPECT_EQ(c.body.DataString(), "abcnext");
  EXPECT_EQ(c.cli->StatusCode(), 200);
  EXPECT_TRUE(c.ev.pushed.empty());
  EXPECT_EQ(peer.AcceptedCount(), 1u);
}

TEST(HttpPeer, HeaderlessOldServer) {
  ScriptedPeer peer({Script().ExpectRequest().Send("<HTML><BODY>old</BODY></HTML>\r\n").Close()});
  Client c("1.0");
  ASSERT_TRUE(c.Run(Url(peer)));
  EXPECT_EQ(c.body.DataString(), "<HTML><BODY>old</BODY></HTML>\r\n");
  EXPECT_EQ(c.cli->ContentType(), "text/html");
}

TEST(HttpPeerHostile, CloseOrResetBeforeAnyResponse) {
  ScriptedPeer peer({Script().ExpectRequest().Close(), Script().ExpectRequest().Reset()});
  Client c;
  EXPECT_EQ(c.Get(Url(peer)), std::make_pair(std::string("Connection closed without response"), 404));
  ASSERT_TRUE(PumpUntil([&] { return c.ev.requestDone == 1; }));
  EXPECT_EQ(c.ev.lastErr, 10053);
  const auto reset = c.Get(Url(peer));
  EXPECT_EQ(reset.second, 404);
  EXPECT_EQ(reset.first, "Connection reset by peer (Error #10054)");
}

TEST(HttpPeerHostile, TruncatedDocumentsRaise) {
  ScriptedPeer peer(
      {Script().ExpectRequest().Send(HttpResponse(200, "", {"Content-Length: 100"}) + "short").Close(),
       Script()
           .ExpectRequest()
           .Send("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n100000000\r\nsome")
           .Close()});
  Client c;
  EXPECT_EQ(c.Get(Url(peer)),
            std::make_pair(std::string("Connection closed before the end of the document"), 200));
  EXPECT_EQ(c.body.DataString(), "short");
  EXPECT_EQ(c.Get(Url(peer)),
            std::make_pair(std::string("Connection closed before the end of the document"), 200));
  EXPECT_EQ(c.body.DataString(), "shortsome");
}

TEST(HttpPeerHostile, BadChunkSizeClosesTheConnection) {
  ScriptedPeer peer(
      {Script()
           .ExpectRequest()
           .Send("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n10000000000000000\r\nabc")
           .Hold()});
  Client c;
  EXPECT_EQ(c.Get(Url(peer)), std::make_pair(std::string("Invalid chunked encoding"), 404));
  EXPECT_TRUE(peer.WaitForClientClose(0));
}

TEST(HttpPeerHostile, EndlessLineIsCutOff) {
  ScriptedPeer peer({Script().ExpectRequest().SendForever("HTTP/1.1 200 OK but never a line end ")});
  Client c;
  EXPECT_EQ(c.Get(Url(peer)), std::make_pair(std::string("Response header too large"), 404));
  EXPECT_TRUE(peer.WaitForClientClose(0));
}

TEST(HttpPeerHostile, TenThousandHeaderLines) {
  std::string header = "HTTP/1.1 200 OK\r\n";
  for (int i = 0; i < 10000; ++i) header += "X-" + std::to_string(i) + ": yes\r\n";
  ScriptedPeer peer({Script().ExpectRequest().Send(header + "Content-Length: 2\r\n\r\nok")});
  Client c;
  EXPECT_EQ(c.Get(Url(peer)), std::make_pair(std::string(), 0));
  EXPECT_EQ(c.body.DataString(), "ok");
  EXPECT_EQ(c.cli->RcvdHeader().Count(), 10002);
}

TEST(HttpPeerHostile, EarlyHintsAndBadStatus) {
  ScriptedPeer peer({Script().ExpectRequest().Send("HTTP/1.1 103 Early Hints\r\nLink: </s.css>\r\n\r\n" +
                                                   HttpResponse(200, "final")),
                     Script().ExpectRequest().Send("HTTP/1.1 2x0 Odd\r\nContent-Length: 0\r\n\r\n").Hold()});
  Client c;
  EXPECT_EQ(c.Get(Url(peer)), std::make_pair(std::string(), 0));
  EXPECT_EQ(c.body.DataString(), "final");
  c.cli->Close();  // the next load needs a connection of its own
  EXPECT_EQ(c.Get(Url(peer)), std::make_pair(std::string("Connection closed without response"), 404));
}

// Abort from the connected event ends the request there: nothing is sent on the
// closed connection, and the client stays ready instead of waiting for an answer.
TEST(HttpPeer, AbortWhenConnectedSendsNothing) {
  for (THttpRequest rq : {httpGET, httpPOST}) {
    ScriptedPeer peer({Script().Hold()});
    Client c;
    core::TMemoryStream upload;
    upload.WriteBuffer("a=1", 3);
    upload.Seek(0, core::TSeekOrigin::soBeginning);
    c.cli->SetSendStream(&upload);
    c.cli->OnSessionConnected = [&c](core::TComponent*) { c.cli->Abort(); };
    c.cli->SetURL(Url(peer));
    if (rq == httpGET)
      c.cli->GetAsync();
    else
      c.cli->PostAsync();
    ASSERT_TRUE(PumpUntil([&] { return c.ev.requestDone > 0; }));
    core::Application().ProcessMessages();
    EXPECT_EQ(c.cli->State(), httpReady);
    EXPECT_EQ(c.ev.requestDone, 1);
    EXPECT_EQ(c.ev.lastErr, 3);
    EXPECT_EQ(c.cli->ReasonPhrase(), "Connection aborted on request");
    EXPECT_TRUE(peer.WaitForClientClose(0));
    EXPECT_EQ(peer.Received(0), "");
  }
}

TEST(HttpPeerStale, ServerClosesBetweenTwoLoads) {
  ScriptedPeer peer({Script().ExpectRequest().Send(HttpResponse(200, "first")).Close(), Answer200("second")});
  Client c;
  EXPECT_EQ(c.Get(Url(peer)), std::make_pair(std::string(), 0));
  ASSERT_TRUE(PumpUntil([&] { return c.cli->Socket()->State() == net::wsClosed; }));
  EXPECT_EQ(c.Get(Url(peer)), std::make_pair(std::string(), 0));
  EXPECT_EQ(c.body.DataString(), "firstsecond");
  EXPECT_EQ(peer.AcceptedCount(), 2u);
}

TEST(HttpPeerStale, KeptConnectionClosedUnderTheRequestIsRetriedOnce) {
  ScriptedPeer peer({Script().ExpectRequest().Send(HttpResponse(200, "first")).ExpectRequest().CloseNow(),
                     Script().ExpectRequest().Send(HttpResponse(200, "second"))});
  Client c;
  EXPECT_EQ(c.Get(Url(peer)), std::make_pair(std::string(), 0));
  EXPECT_EQ(c.Get(Url(peer)), std::make_pair(std::string(), 0));
  EXPECT_EQ(c.body.DataString(), "firstsecond");
  EXPECT_EQ(peer.AcceptedCount(), 2u);
  // Once only: a new connection that dies the same way fails the request.
  ScriptedPeer twice({Script().ExpectRequest().Send(HttpResponse(200, "x")).ExpectRequest().CloseNow(),
                      Script().ExpectRequest().CloseNow()});
  Client d;
  EXPECT_EQ(d.Get(Url(twice)), std::make_pair(std::string(), 0));
  EXPECT_EQ(d.Get(Url(twice)).second, 404);
  EXPECT_EQ(twice.AcceptedCount(), 2u);
}

}  // namespace
}  // namespace http::testing
