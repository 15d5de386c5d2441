// Requests as they reach a scripted loopback server, byte for byte, and the ways a
// request fails before any response: lookup, refused connect, another protocol,
// misuse, abort.
#include <gtest/gtest.h>
#include <netinet/tcp.h>

#include "http/HttpUtils.h"
#include "http/tests/HttpTestSupport.h"
#include "platform/WinSock.h"
#include "testsupport/ScriptedPeer.h"

namespace http::testing {
namespace {

using testsupport::HttpResponse;
using testsupport::RefusedPort;
using testsupport::Script;
using testsupport::ScriptedPeer;

const char* const kWindowAccept = "image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*";

// A client with the window's settings and a recorder, driven asynchronously.
struct LiveClient {
  core::ComponentPtr<THttpCli> cli = core::MakeComponent<THttpCli>(nullptr);
  HttpEvents ev;
  core::TMemoryStream body;

  LiveClient() {
    cli->SetName("HttpCli1");
    WindowSettings(*cli);
    ev.Attach(*cli);
    cli->SetRcvdStream(&body);
  }
  // Starts rq on url and waits for its OnRequestDone.
  bool Run(const std::string& url, THttpRequest rq = httpGET) {
    cli->SetURL(url);
    const int before = ev.requestDone;
    switch (rq) {
      case httpPOST:
        cli->PostAsync();
        break;
      case httpPUT:
        cli->PutAsync();
        break;
      case httpHEAD:
        cli->HeadAsync();
        break;
      default:
        cli->GetAsync();
        break;
    }
    return PumpUntil([&] { return ev.requestDone > before && cli->State() == httpReady; });
  }
};

std::string Url(const ScriptedPeer& peer, const std::string& path) {
  return "http://127.0.0.1:" + std::to_string(peer.Port()) + path;
}

std::string HostLine(const ScriptedPeer& peer) {
  return "Host: 127.0.0.1:" + std::to_string(peer.Port()) + "\r\n";
}

Script Answer(const std::string& response) {
  return Script().ExpectRequest().Send(response).Close();
}

TEST(HttpRequestBytes, WindowGetSendsFiveLines) {
  ScriptedPeer peer({Answer(HttpResponse(200, "hi"))});
  LiveClient c;
  ASSERT_TRUE(c.Run(Url(peer, "/a/b?c=d")));
  EXPECT_EQ(peer.Received(0), "GET /a/b?c=d HTTP/1.0\r\nAccept: " + std::string(kWindowAccept) +
                                  "\r\nUser-Agent: Mozilla/3.0 (compatible)\r\n" + HostLine(peer) + "\r\n");
  EXPECT_EQ(c.body.DataString(), "hi");
  EXPECT_EQ(c.cli->StatusCode(), 200);
  EXPECT_EQ(c.ev.lastErr, 0);
  EXPECT_EQ(c.cli->DocName(), "b");
  EXPECT_TRUE(peer.Errors().empty());
}

TEST(HttpRequestBytes, ProxyGetsTheWholeUrl) {
  ScriptedPeer proxy({Answer(HttpResponse(200, "via proxy"))});
  LiveClient c;
  c.cli->SetProxy("127.0.0.1");
  c.cli->SetProxyPort(std::to_string(proxy.Port()));
  // Only the proxy is resolved; the document's host is text in the request.
  ASSERT_TRUE(c.Run("http://www.example.com:8080/a/b?c=d"));
  EXPECT_EQ(proxy.Received(0),
            "GET http://www.example.com:8080/a/b?c=d HTTP/1.0\r\nAccept: " + std::string(kWindowAccept) +
                "\r\nUser-Agent: Mozilla/3.0 (compatible)\r\nHost: www.example.com:8080\r\n\r\n");
  EXPECT_EQ(c.body.DataString(), "via proxy");
}

TEST(HttpRequestBytes, PostSendsTheStreamFromItsPosition) {
  ScriptedPeer peer({Answer(HttpResponse(200, "ok"))});
  LiveClient c;
  core::TMemoryStream upload;
  upload.WriteBuffer("0123456789", 10);
  upload.SetPosition(4);
  c.cli->SetSendStream(&upload);
  std::vector<std::string> sendEvents;
  c.cli->OnSendBegin = [&](core::TComponent*) { sendEvents.push_back("begin"); };
  c.cli->OnSendData = [&](core::TComponent*, const void*, int len) {
    sendEvents.push_back("data " + std::to_string(len));
  };
  c.cli->OnSendEnd = [&](core::TComponent*) { sendEvents.push_back("end"); };
  ASSERT_TRUE(c.Run(Url(peer, "/form"), httpPOST));
  EXPECT_EQ(peer.Received(0), "POST /form HTTP/1.0\r\nAccept: " + std::string(kWindowAccept) +
                                  "\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                                  "User-Agent: Mozilla/3.0 (compatible)\r\n" +
                                  HostLine(peer) + "Content-Length: 6\r\n\r\n456789");
  EXPECT_EQ(sendEvents, (std::vector<std::string>{"begin", "data 6", "end"}));
  EXPECT_EQ(c.cli->SentCount(), 6);
}

TEST(HttpRequestBytes, StreamPositionPastItsEndSendsNoBody) {
  ScriptedPeer peer({Answer(HttpResponse(200, "ok"))});
  LiveClient c;
  core::TMemoryStream upload;
  upload.WriteBuffer("0123456789", 10);
  upload.SetPosition(12);
  c.cli->SetSendStream(&upload);
  c.cli->SetContentTypePost("");
  ASSERT_TRUE(c.Run(Url(peer, "/put"), httpPUT));
  EXPECT_EQ(peer.Received(0), "PUT /put HTTP/1.0\r\nAccept: " + std::string(kWindowAccept) +
                                  "\r\nUser-Agent: Mozilla/3.0 (compatible)\r\n" + HostLine(peer) +
                                  "Content-Length: 0\r\n\r\n");
  EXPECT_EQ(c.cli->SentCount(), 0);
}

TEST(HttpRequestBytes, OptionalLinesInTheirPlaces) {
  ScriptedPeer peer({Answer(HttpResponse(200))});
  LiveClient c;
  c.cli->SetSender("me@example.com");
  c.cli->SetReference("http://ref/");
  c.cli->SetConnection("Keep-Alive");
  c.cli->SetAcceptLanguage("fr");
  c.cli->SetNoCache(true);
  c.cli->SetProxyConnection("Keep-Alive");
  c.cli->SetCookie("a=b");
  c.cli->SetModifiedSince(EncodeDateTime(1994, 11, 6, 8, 49, 37));
  c.cli->SetContentRangeBegin("100");
  ASSERT_TRUE(c.Run(Url(peer, "/")));
  EXPECT_EQ(peer.Received(0),
            "GET / HTTP/1.0\r\nFrom: me@example.com\r\nAccept: " + std::string(kWindowAccept) +
                "\r\nReferer: http://ref/\r\nConnection: Keep-Alive\r\nAccept-Language: fr\r\n"
                "User-Agent: Mozilla/3.0 (compatible)\r\n" +
                HostLine(peer) +
                "Pragma: no-cache\r\nProxy-Connection: Keep-Alive\r\n"
                "If-Modified-Since: Sun, 06 Nov 1994 08:49:37 GMT\r\nCookie: a=b\r\n"
                "Range: bytes=100-\r\n\r\n");
}

TEST(HttpRequestBytes, RangeIsRequestedOnce) {
  ScriptedPeer peer(
      {Script().ExpectRequest().Send(HttpResponse(206, "x")).ExpectRequest().Send(HttpResponse(200, "y"))});
  LiveClient c;
  c.cli->SetRequestVer("1.1");
  c.cli->SetContentRangeBegin("100");
  ASSERT_TRUE(c.Run(Url(peer, "/r")));
  ASSERT_TRUE(c.Run(Url(peer, "/r")));
  const std::string all = peer.Received(0);
  EXPECT_EQ(peer.AcceptedCount(), 1u);
  const size_t second = all.find("GET /r", 1);
  ASSERT_NE(second, std::string::npos);
  EXPECT_NE(all.substr(0, second).find("Range: bytes=100-\r\n"), std::string::npos);
  EXPECT_EQ(all.substr(second).find("Range:"), std::string::npos);
  EXPECT_EQ(c.cli->ContentRangeBegin(), "");
}

// A range a response named goes back only to the origin that named it; one the
// caller set goes wherever the request leads.
TEST(HttpRequestBytes, ReceivedRangeStaysWithItsOrigin) {
  struct Case {
    const char* name;
    bool relocate;     // the first response relocates to the second peer
    bool callerRange;  // the caller sets a range of its own before the next load
    bool sameOrigin;   // the next request goes to the first peer again
    bool rangeSent;
  };
  const Case cases[] = {
      {"next load, same origin", false, false, true, true},
      {"next load, other origin", false, false, false, false},
      {"relocation within the origin", true, false, true, true},
      {"relocation to another origin", true, false, false, false},
      {"the caller's own range, other origin", false, true, false, true},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    ScriptedPeer other({Answer(HttpResponse(200, "other"))});
    ScriptedPeer first;
    const std::string next = k.sameOrigin ? Url(first, "/next") : Url(other, "/next");
    std::vector<std::string> fields = {"Content-Range: bytes 0-4/10"};
    // The location first: the range is still the first origin's.
    if (k.relocate) fields.insert(fields.begin(), "Location: " + next);
    first.AddScript(Answer(HttpResponse(k.relocate ? 302 : 206, "part!", fields)));
    first.AddScript(Answer(HttpResponse(200, "again")));
    LiveClient c;
    ASSERT_TRUE(c.Run(Url(first, "/")));
    if (k.callerRange) c.cli->SetContentRangeBegin("7");
    if (!k.relocate) {
      ASSERT_TRUE(c.Run(next));
    }
    const std::string received = k.sameOrigin ? first.Received(1) : other.Received(0);
    ASSERT_NE(received.find("GET /next "), std::string::npos) << received;
    EXPECT_EQ(received.find("Range:") != std::string::npos, k.rangeSent) << received;
  }
}

TEST(HttpRequestBytes, OnCommandMayEmptyALine) {
  ScriptedPeer peer({Script().Expect("\r\n\r\n").Send(HttpResponse(200)).Close()});
  LiveClient c;
  c.cli->OnCommand = [](core::TComponent*, std::string& s) {
    if (s.rfind("Accept:", 0) == 0) s.clear();
  };
  ASSERT_TRUE(c.Run(Url(peer, "/")));
  ASSERT_TRUE(peer.WaitForReceived(0, HostLine(peer) + "\r\n"));
  EXPECT_EQ(peer.Received(0),
            "GET / HTTP/1.0\r\n\r\nUser-Agent: Mozilla/3.0 (compatible)\r\n" + HostLine(peer) + "\r\n");
}

TEST(HttpRequestBytes, BeforeHeaderSendMayEditTheLines) {
  ScriptedPeer peer({Answer(HttpResponse(200))});
  LiveClient c;
  std::string method;
  c.cli->OnBeforeHeaderSend = [&](core::TComponent*, const std::string& m, core::TStringList& lines) {
    method = m;
    lines.Delete(1);  // Accept
    lines.Add("X-Extra: 1");
  };
  ASSERT_TRUE(c.Run(Url(peer, "/")));
  EXPECT_EQ(method, "GET");
  EXPECT_EQ(peer.Received(0), "GET / HTTP/1.0\r\nUser-Agent: Mozilla/3.0 (compatible)\r\n" + HostLine(peer) +
                                  "X-Extra: 1\r\n\r\n");
}

TEST(HttpRequestBytes, AcceptEncodingWithAndWithoutQualities) {
  ScriptedPeer peer({Answer(HttpResponse(200)), Answer(HttpResponse(200)), Answer(HttpResponse(200)),
                     Answer(HttpResponse(200))});
  LiveClient c;
  ASSERT_TRUE(c.Run(Url(peer, "/0")));  // off, as the window has it
  EXPECT_EQ(peer.Received(0).find("Accept-Encoding"), std::string::npos);
  // The built-ins (quality 0) and x-gzip (never asked for) are left out.
  c.cli->SetOptions(httpoEnableContentCoding);
  ASSERT_TRUE(c.Run(Url(peer, "/1")));
  EXPECT_NE(peer.Received(1).find("\r\nAccept-Encoding: gzip, deflate, br, zstd\r\nUser-Agent:"),
            std::string::npos)
      << peer.Received(1);
  c.cli->SetOptions(httpoEnableContentCoding | httpoUseQuality);
  EXPECT_EQ(c.cli->Options(), httpoEnableContentCoding | httpoUseQuality);
  ASSERT_TRUE(c.Run(Url(peer, "/2")));
  EXPECT_NE(
      peer.Received(2).find("\r\nAccept-Encoding: identity;q=0, *;q=0, gzip;q=1, x-gzip;q=0, deflate;q=1, "
                            "br;q=1, zstd;q=1\r\nUser-Agent:"),
      std::string::npos)
      << peer.Received(2);
  ASSERT_TRUE(c.Run(Url(peer, "/3"), httpHEAD));
  EXPECT_EQ(peer.Received(3).rfind("HEAD /3 HTTP/1.0\r\n", 0), 0u);
  EXPECT_EQ(peer.Received(3).find("Accept-Encoding"), std::string::npos);
}

TEST(HttpRequestBytes, LargePostOnAKeptConnection) {
  ScriptedPeer peer(
      {Script().ExpectRequest().Send(HttpResponse(200, "1")).ExpectRequest().Send(HttpResponse(200, "2"))});
  LiveClient c;
  c.cli->SetRequestVer("1.1");
  std::string payload(20000, 'p');
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>('a' + i % 26);
  core::TMemoryStream upload;
  upload.WriteBuffer(payload.data(), static_cast<int64_t>(payload.size()));
  c.cli->SetSendStream(&upload);
  upload.SetPosition(0);
  ASSERT_TRUE(c.Run(Url(peer, "/p"), httpPOST));
  upload.SetPosition(0);
  ASSERT_TRUE(c.Run(Url(peer, "/p"), httpPOST));
  EXPECT_EQ(peer.AcceptedCount(), 1u);
  const std::string all = peer.Received(0);
  const size_t first = all.find("\r\n\r\n");
  ASSERT_NE(first, std::string::npos);
  EXPECT_EQ(all.substr(first + 4, payload.size()), payload);
  EXPECT_EQ(all.substr(all.size() - payload.size()), payload);
  EXPECT_EQ(c.body.DataString(), "12");
  // Sent without waiting for delayed acknowledgements.
  int noDelay = 0;
  int len = sizeof noDelay;
  ASSERT_EQ(winapi::getsockopt(c.cli->Socket()->HSocket(), IPPROTO_TCP, TCP_NODELAY,
                               reinterpret_cast<char*>(&noDelay), &len),
            0);
  EXPECT_NE(noDelay, 0);
}

// --- failures before a response ---

int FailingResolver(const std::string& name, bool, winapi::HostEntry& out) {
  if (name == "localhost" || name == "slow.test") {
    out.officialName = name;
    out.addrs = {htonl(INADDR_LOOPBACK)};
    return 0;
  }
  return winapi::WSAHOST_NOT_FOUND;
}

struct ResolverHook {
  ResolverHook() { winapi::SetResolverHookForTesting(&FailingResolver); }
  ~ResolverHook() { winapi::SetResolverHookForTesting(nullptr); }
};

TEST(HttpRequestFailure, NameLookupFails) {
  ResolverHook hook;
  LiveClient c;
  ASSERT_TRUE(c.Run("http://no-such-host.test/"));
  EXPECT_EQ(c.cli->StatusCode(), 404);
  EXPECT_EQ(c.cli->ReasonPhrase(), "can't resolve hostname to IP address");
  EXPECT_EQ(c.ev.lastErr, 11001);
  EXPECT_EQ(c.ev.requestDone, 1);
  c.cli->SetURL("http://no-such-host.test/");
  try {
    c.cli->Get();
    ADD_FAILURE() << "Get did not raise";
  } catch (const EHttpException& e) {
    EXPECT_EQ(e.Message(), "can't resolve hostname to IP address");
    EXPECT_EQ(e.ErrorNumber(), 404);
  }
}

TEST(HttpRequestFailure, EmptyUrlFailsLikeAnUnknownHost) {
  LiveClient c;
  ASSERT_TRUE(c.Run(""));
  EXPECT_EQ(c.cli->StatusCode(), 404);
  EXPECT_EQ(c.cli->ReasonPhrase(), "can't resolve hostname to IP address");
  EXPECT_EQ(c.ev.lastErr, 10022);
  EXPECT_EQ(c.ev.socketErrors, 1);  // the socket's report of the empty name
}

TEST(HttpRequestFailure, ConnectRefusedThroughTheErrorEventStillEnds) {
  LiveClient c;
  ASSERT_TRUE(c.Run("http://127.0.0.1:no-such-service/"));
  EXPECT_EQ(c.cli->StatusCode(), 404);
  EXPECT_EQ(c.cli->ReasonPhrase().rfind("can't connect: ", 0), 0u) << c.cli->ReasonPhrase();
  EXPECT_NE(c.ev.lastErr, 0);
  EXPECT_GE(c.ev.socketErrors, 1);
}

TEST(HttpRequestFailure, ConnectionRefused) {
  RefusedPort refused;
  LiveClient c;
  ASSERT_TRUE(c.Run("http://127.0.0.1:" + std::to_string(refused.Port()) + "/"));
  EXPECT_EQ(c.cli->StatusCode(), 404);
  EXPECT_EQ(c.cli->ReasonPhrase(), "Connection refused (Error #10061)");
  EXPECT_EQ(c.ev.lastErr, 10061);
  EXPECT_EQ(c.ev.requestDone, 1);
}

TEST(HttpRequestFailure, OtherProtocolIsNotCarried) {
  ScriptedPeer peer;
  LiveClient c;
  ASSERT_TRUE(c.Run("ftp://127.0.0.1:" + std::to_string(peer.Port()) + "/"));
  EXPECT_EQ(c.cli->StatusCode(), 501);
  EXPECT_EQ(c.cli->ReasonPhrase(), "Protocol \"ftp\" not implemented");
  EXPECT_EQ(peer.AcceptedCount(), 0u);
}

TEST(HttpRequestFailure, MisuseRaisesAndChangesNothing) {
  LiveClient c;
  try {
    c.cli->SetRequestVer("2.0");
    ADD_FAILURE();
  } catch (const EHttpException& e) {
    EXPECT_EQ(e.Message(), "Insupported HTTP version");
    EXPECT_EQ(e.ErrorNumber(), 5);
  }
  EXPECT_EQ(c.cli->RequestVer(), "1.0");
  c.cli->SetRequestVer("1.1");
  c.cli->SetRequestVer("1.1");
  EXPECT_EQ(c.cli->RequestVer(), "1.1");

  c.cli->SetURL("http://127.0.0.1/");
  try {
    c.cli->PostAsync();
    ADD_FAILURE();
  } catch (const EHttpException& e) {
    EXPECT_EQ(e.Message(), "HTTP component has nothing to post or put");
    EXPECT_EQ(e.ErrorNumber(), 2);
  }
  EXPECT_EQ(c.cli->State(), httpReady);

  ScriptedPeer peer({Script().ExpectRequest().Pause("go").Send(HttpResponse(200)).Close()});
  c.cli->SetURL(Url(peer, "/"));
  c.cli->GetAsync();
  try {
    c.cli->Get();
    ADD_FAILURE();
  } catch (const EHttpException& e) {
    EXPECT_EQ(e.Message(), "HTTP component HttpCli1 is busy");
    EXPECT_EQ(e.ErrorNumber(), 1);
  }
  peer.Resume("go");
  EXPECT_TRUE(PumpUntil([&] { return c.ev.requestDone == 1; }));
  EXPECT_EQ(c.cli->StatusCode(), 200);
}

TEST(HttpRequestAbort, InReadyEndsAtOnce) {
  LiveClient c;
  c.cli->Abort();
  EXPECT_EQ(c.ev.requestDone, 1);  // inside Abort
  EXPECT_EQ(c.ev.lastErr, 0);
  EXPECT_EQ(c.cli->StatusCode(), 200);
  EXPECT_EQ(c.cli->ReasonPhrase(), "OK");
}

TEST(HttpRequestAbort, DuringTheLookup) {
  ResolverHook hook;
  ScriptedPeer peer({Answer(HttpResponse(200, "after"))});
  LiveClient c;
  c.cli->SetURL("http://slow.test/");
  c.cli->GetAsync();
  ASSERT_EQ(c.cli->State(), httpDnsLookup);
  c.cli->Abort();
  EXPECT_EQ(c.cli->State(), httpReady);
  EXPECT_EQ(c.cli->StatusCode(), 404);
  EXPECT_EQ(c.cli->ReasonPhrase(), "Connection aborted on request");
  // A later request is the sentinel: every message of the aborted one came before.
  ASSERT_TRUE(PumpUntil([&] { return c.ev.requestDone == 1; }));
  EXPECT_EQ(c.ev.lastErr, 3);
  ASSERT_TRUE(c.Run(Url(peer, "/")));
  EXPECT_EQ(c.ev.requestDone, 2);
  EXPECT_EQ(c.body.DataString(), "after");
}

TEST(HttpRequestAbort, NextRequestRightAfterAnAbort) {
  ScriptedPeer slow({Script().ExpectRequest().Hold()});
  ScriptedPeer fresh({Answer(HttpResponse(200, "fresh"))});
  LiveClient c;
  std::vector<std::pair<THttpRequest, uint16_t>> done;
  c.cli->OnRequestDone = [&](core::TComponent*, THttpRequest rq, uint16_t err) {
    done.emplace_back(rq, err);
  };
  c.cli->SetURL(Url(slow, "/"));
  c.cli->GetAsync();
  ASSERT_TRUE(PumpUntil([&] { return c.cli->State() == httpWaitingHeader; }));
  c.cli->Abort();
  // What the aborted request left queued must not end this one.
  c.cli->SetURL(Url(fresh, "/"));
  c.cli->HeadAsync();
  ASSERT_TRUE(PumpUntil([&] { return done.size() == 2; }));
  EXPECT_EQ(done[0], std::make_pair(httpGET, uint16_t{3}));
  EXPECT_EQ(done[1], std::make_pair(httpHEAD, uint16_t{0}));
  EXPECT_EQ(c.cli->StatusCode(), 200);
  EXPECT_EQ(fresh.AcceptedCount(), 1u);
}

TEST(HttpRequestSocks, EmptyLevelIsReportedOncePerConnect) {
  ScriptedPeer peer({Answer(HttpResponse(200, "a")), Answer(HttpResponse(200, "b"))});
  LiveClient c;
  c.cli->SetSocksLevel("");
  ASSERT_TRUE(c.Run(Url(peer, "/")));
  EXPECT_EQ(c.ev.socketErrors, 1);
  ASSERT_TRUE(c.Run(Url(peer, "/")));
  EXPECT_EQ(c.ev.socketErrors, 2);
  EXPECT_EQ(c.body.DataString(), "ab");
  c.cli->SetSocksLevel("5");
  ScriptedPeer other({Answer(HttpResponse(200))});
  ASSERT_TRUE(c.Run(Url(other, "/")));
  EXPECT_EQ(c.ev.socketErrors, 2);
}

}  // namespace
}  // namespace http::testing
