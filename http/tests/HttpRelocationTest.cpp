// Following "location" fields: on the kept connection, to another server, after a
// POST or a PUT, within the step limit, and never with line breaks on the wire.
#include <gtest/gtest.h>

#include "http/tests/HttpTestSupport.h"
#include "testsupport/ScriptedPeer.h"

namespace http::testing {
namespace {

using testsupport::HttpResponse;
using testsupport::Script;
using testsupport::ScriptedPeer;

struct Client : TestClient {
  int locationChanges = 0;

  Client() {
    cli->OnLocationChange = [this](core::TComponent*) { ++locationChanges; };
  }
  bool Run(const std::string& url, THttpRequest rq = httpGET) {
    cli->SetURL(url);
    const int before = ev.requestDone;
    if (rq == httpPOST) {
      cli->PostAsync();
    } else if (rq == httpPUT) {
      cli->PutAsync();
    } else {
      cli->GetAsync();
    }
    return PumpUntil([&] { return ev.requestDone > before && cli->State() == httpReady; });
  }
};

std::string Base(const ScriptedPeer& peer) {
  return "http://127.0.0.1:" + std::to_string(peer.Port());
}

std::string Redirect(const std::string& location, const std::string& body = "moved") {
  return HttpResponse(302, body, {"Location: " + location});
}

TEST(HttpRelocation, HostRelativeOnTheKeptConnection) {
  ScriptedPeer peer({testsupport::HttpScript({Redirect("/next.htm"), HttpResponse(200, "target")})});
  Client c;
  ASSERT_TRUE(c.Run(Base(peer) + "/dir/page.htm?q=1"));
  EXPECT_EQ(c.cli->StatusCode(), 200);
  EXPECT_EQ(c.body.DataString(), "target");  // the 302's body was dropped
  EXPECT_EQ(c.cli->Location(), "http://127.0.0.1/next.htm");
  EXPECT_EQ(c.cli->LocationChangeCurCount(), 1);
  EXPECT_EQ(c.locationChanges, 1);
  EXPECT_EQ(c.ev.requestDone, 1);
  EXPECT_EQ(peer.AcceptedCount(), 1u);
  EXPECT_NE(peer.Received(0).find("GET /next.htm HTTP/1.1\r\n"), std::string::npos);
}

TEST(HttpRelocation, RelativeReferenceUsesTheDirectory) {
  ScriptedPeer peer({testsupport::HttpScript({Redirect("next.htm"), HttpResponse(200, "n")})});
  Client c;
  ASSERT_TRUE(c.Run(Base(peer) + "/dir/page.htm?q=1"));
  EXPECT_NE(peer.Received(0).find("GET /dir/next.htm HTTP/1.1\r\n"), std::string::npos);
  EXPECT_EQ(c.cli->DocName(), "next.htm");
}

TEST(HttpRelocation, AbsoluteToAnotherServer) {
  ScriptedPeer other({Script().ExpectRequest().Send(HttpResponse(200, "elsewhere"))});
  ScriptedPeer peer({Script().ExpectRequest().Send(Redirect(Base(other) + "/o.htm#frag"))});
  Client c;
  ASSERT_TRUE(c.Run(Base(peer) + "/"));
  EXPECT_EQ(c.body.DataString(), "elsewhere");
  EXPECT_EQ(c.cli->LocationChangeCurCount(), 2);  // one for the step, one after the close
  EXPECT_EQ(c.locationChanges, 1);
  EXPECT_EQ(c.cli->DocName(), "o.htm");
  EXPECT_EQ(c.ev.Count("SessionClosed"), 0u);  // the old connection's close does not end the request
  EXPECT_EQ(c.ev.requestDone, 1);
  const std::string sent = other.Received(0);
  EXPECT_EQ(sent.rfind("GET /o.htm HTTP/1.1\r\n", 0), 0u) << sent;  // the fragment stays home
  EXPECT_NE(sent.find("Host: 127.0.0.1:" + std::to_string(other.Port()) + "\r\n"), std::string::npos) << sent;
}

TEST(HttpRelocation, NotFollowedWhenSwitchedOffOrPastTheLimit) {
  ScriptedPeer peer({testsupport::HttpScript({Redirect("/a"), Redirect("/b")})});
  Client c;
  c.cli->SetFollowRelocation(false);
  ASSERT_TRUE(c.Run(Base(peer) + "/"));
  EXPECT_EQ(c.cli->StatusCode(), 302);
  EXPECT_EQ(c.body.DataString(), "moved");
  c.cli->SetFollowRelocation(true);
  c.cli->SetLocationChangeMaxCount(0);
  ASSERT_TRUE(c.Run(Base(peer) + "/"));
  EXPECT_EQ(c.cli->StatusCode(), 302);
  EXPECT_EQ(c.locationChanges, 0);
  EXPECT_EQ(c.ev.requestDone, 2);
}

TEST(HttpRelocation, RefusedStepOnAClosingConnectionClosesIt) {
  ScriptedPeer peer({testsupport::HttpScript({Redirect("/a")})});
  Client c;
  c.cli->SetRequestVer("1.0");
  c.cli->SetLocationChangeMaxCount(0);
  ASSERT_TRUE(c.Run(Base(peer) + "/"));
  EXPECT_EQ(c.cli->StatusCode(), 302);
  EXPECT_EQ(c.ev.Count("SessionClosed"), 1u);
  EXPECT_EQ(c.cli->Socket()->State(), net::wsClosed);
  EXPECT_TRUE(peer.WaitForClientClose(0));
}

TEST(HttpRelocation, ExceededHandlerMayAllowMore) {
  ScriptedPeer peer({testsupport::HttpScript({Redirect("/1"), Redirect("/2"), HttpResponse(200, "end")})});
  Client c;
  c.cli->SetLocationChangeMaxCount(0);
  std::vector<int> asked;
  c.cli->OnLocationChangeExceeded = [&](core::TComponent*, int count, bool& allow) {
    asked.push_back(count);
    allow = true;
  };
  ASSERT_TRUE(c.Run(Base(peer) + "/"));
  EXPECT_EQ(c.body.DataString(), "end");
  EXPECT_EQ(asked, (std::vector<int>{1, 2}));
}

TEST(HttpRelocation, PostBecomesGetAndPutOnlyStores) {
  ScriptedPeer peer(
      {testsupport::HttpScript({Redirect("/done"), HttpResponse(200, "ok"), Redirect("/stored")})});
  Client c;
  core::TMemoryStream upload;
  upload.WriteBuffer("abc", 3);
  upload.SetPosition(0);
  c.cli->SetSendStream(&upload);
  ASSERT_TRUE(c.Run(Base(peer) + "/form", httpPOST));
  EXPECT_EQ(c.body.DataString(), "ok");
  EXPECT_EQ(c.cli->RequestType(), httpGET);
  const std::string sent = peer.Received(0);
  EXPECT_NE(sent.find("GET /done HTTP/1.1\r\nAccept"), std::string::npos) << sent;
  EXPECT_EQ(sent.find("abc", sent.find("GET /done")), std::string::npos);
  upload.SetPosition(0);
  ASSERT_TRUE(c.Run(Base(peer) + "/put", httpPUT));
  EXPECT_EQ(c.cli->StatusCode(), 302);
  EXPECT_EQ(c.cli->Location(), "/stored");
  EXPECT_EQ(c.cli->LocationChangeCurCount(), 0);
  EXPECT_EQ(peer.Received(0).find("/stored"), std::string::npos);  // no second request
  EXPECT_EQ(peer.AcceptedCount(), 1u);
}

// Through a proxy the proxy stays the peer: the target's port goes in the request
// line only, and the next request goes on the kept proxy connection, also after
// an absolute location.
TEST(HttpRelocation, ThroughAProxyTheTargetKeepsItsPort) {
  for (const char* location : {"/next", "http://www.example.com:8080/next"}) {
    SCOPED_TRACE(location);
    ScriptedPeer proxy({testsupport::HttpScript({Redirect(location), HttpResponse(200, "n")})});
    Client c;
    c.cli->SetProxy("127.0.0.1");
    c.cli->SetProxyPort(std::to_string(proxy.Port()));
    ASSERT_TRUE(c.Run("http://www.example.com:8080/first"));
    EXPECT_EQ(c.body.DataString(), "n");
    EXPECT_EQ(c.cli->Location(), "http://www.example.com/next");
    EXPECT_NE(proxy.Received(0).find("GET http://www.example.com:8080/next HTTP/1.1\r\n"), std::string::npos)
        << proxy.Received(0);
    EXPECT_EQ(proxy.AcceptedCount(), 1u);
  }
}

TEST(HttpRelocation, EarlierDocumentsInTheStreamStay) {
  ScriptedPeer peer({testsupport::HttpScript(
      {HttpResponse(200, "first|"), Redirect("/t", ""), HttpResponse(200, "second")})});
  Client c;
  ASSERT_TRUE(c.Run(Base(peer) + "/a"));
  ASSERT_TRUE(c.Run(Base(peer) + "/b"));
  EXPECT_EQ(c.body.DataString(), "first|second");
}

TEST(HttpRelocation, LineBreaksFromTheServerNeverReachTheWire) {
  ScriptedPeer peer({testsupport::HttpScript({Redirect(std::string("/a\rInjected: 1\0b", 16)),
                                              HttpResponse(200, "safe"), Redirect("http://evil\rhost/")})});
  Client c;
  ASSERT_TRUE(c.Run(Base(peer) + "/"));
  EXPECT_EQ(c.body.DataString(), "safe");
  const std::string sent = peer.Received(0);
  EXPECT_NE(sent.find("GET /a%0DInjected:%201%00b HTTP/1.1\r\n"), std::string::npos) << sent;
  EXPECT_EQ(sent.find("\rInjected"), std::string::npos);
  // A host with a line break fails like a name that does not resolve.
  ASSERT_TRUE(c.Run(Base(peer) + "/"));
  EXPECT_EQ(c.cli->StatusCode(), 404);
  EXPECT_EQ(c.cli->ReasonPhrase(), "can't resolve hostname to IP address");
  EXPECT_EQ(peer.AcceptedCount(), 1u);
}

// A client that starts its request as usual but never connects, so the target a
// location forms can be read back field by field.
class TFormCli : public THttpCli {
 public:
  using THttpCli::THttpCli;
  void Start(const std::string& url) {
    FHttpState = httpReady;
    SetURL(url);
    StartRequestAsync(httpGET);
    FAuthBasicState = 2;  // as if both had answered a challenge
    FProxyAuthBasicState = 2;
  }
  void Take(const std::string& v) { TakeLocation(v); }
  std::string Formed() const {
    return FPath + " | " + FLocation + " | " + FHostName + ":" + FPort + " | " + FTargetHost + ":" +
           FTargetPort + " | " + FProtocol;
  }
  std::string Credentials() const { return FCurrUsername + ":" + FCurrPassword; }
  int AuthBasicState() const { return FAuthBasicState; }
  int ProxyAuthBasicState() const { return FProxyAuthBasicState; }
  bool CookieWithheld() const { return FOtherOrigin; }

 protected:
  void Login() override {}
};

TEST(HttpRelocation, FormingTheNextTarget) {
  struct Case {
    const char* proxy;
    const char* location;
    const char* formed;  // path | location | connect host:port | target host:port | protocol
  };
  const Case cases[] = {
      {"", "/x?a=1#top", "/x?a=1 | http://127.0.0.1/x?a=1 | 127.0.0.1:8080 | 127.0.0.1:8080 | http"},
      {"", "next.htm",
       "/dir/next.htm | http://127.0.0.1/dir/next.htm | 127.0.0.1:8080 | 127.0.0.1:8080 | http"},
      {"", "HTTP://Other.Example:81/a#b",
       "/a | http://Other.Example/a | Other.Example:81 | Other.Example:81 | http"},
      {"", "http://10.0.0.9#frag", "/ | http://10.0.0.9/ | 10.0.0.9:80 | 10.0.0.9:80 | http"},
      {"", "ftp://127.0.0.1/f", "/f | ftp://127.0.0.1/f | 127.0.0.1:80 | 127.0.0.1:80 | ftp"},
      {"", "http:///nohost", "/nohost | http://127.0.0.1/nohost | 127.0.0.1:8080 | 127.0.0.1:8080 | http"},
      {"127.0.0.1", "/x",
       "http://127.0.0.1:8080/x | http://127.0.0.1/x | 127.0.0.1:3128 | 127.0.0.1:8080 | http"},
      {"127.0.0.1", "n.htm",
       "http://127.0.0.1:8080/dir/n.htm | http://127.0.0.1/dir/n.htm | 127.0.0.1:3128 | 127.0.0.1:8080 | "
       "http"},
      {"127.0.0.1", "http://other.example/y#z",
       "http://other.example/y | http://other.example/y | 127.0.0.1:3128 | other.example:80 | http"},
      {"127.0.0.1", "http:///q",
       "http://127.0.0.1:8080/q | http://127.0.0.1/q | 127.0.0.1:3128 | 127.0.0.1:8080 | http"},
  };
  for (const Case& k : cases) {
    auto cli = core::MakeComponent<TFormCli>(nullptr);
    cli->SetProxy(k.proxy);
    cli->SetProxyPort("3128");
    cli->Start("http://127.0.0.1:8080/dir/page.htm?q=1/2");
    cli->Take(k.location);
    EXPECT_EQ(cli->Formed(), k.formed) << k.proxy << " " << k.location;
  }
  // Line breaks and NUL in a path are percent-encoded.
  auto cli = core::MakeComponent<TFormCli>(nullptr);
  cli->Start("http://127.0.0.1:8080/dir/page.htm");
  cli->Take(std::string("a\rb\nc\0d", 7));
  EXPECT_EQ(cli->Formed().substr(0, 19), "/dir/a%0Db%0Ac%00d ");
}

// Credentials and the cookie belong to the server they were given for.
TEST(HttpRelocation, CredentialsAndCookieStayWithTheirOrigin) {
  auto cli = core::MakeComponent<TFormCli>(nullptr);
  cli->SetUsername("user");
  cli->SetPassword("pw");
  cli->Start("http://www.example.com:8080/a");
  cli->Take("HTTP://WWW.Example.COM:8080/b");  // the same origin: host case does not count
  EXPECT_EQ(cli->Credentials(), "user:pw");
  EXPECT_EQ(cli->AuthBasicState(), 2);
  EXPECT_FALSE(cli->CookieWithheld());
  cli->Take("http://u2:p2@www.example.com:8080/c");  // embedded ones replace the current ones
  EXPECT_EQ(cli->Credentials(), "u2:p2");
  cli->Take("http://www.example.com:8081/d");  // another port
  EXPECT_EQ(cli->Credentials(), ":");
  EXPECT_EQ(cli->AuthBasicState(), 0);
  EXPECT_EQ(cli->ProxyAuthBasicState(), 2);  // the proxy's stay
  EXPECT_TRUE(cli->CookieWithheld());
  cli->Take("http://www.example.com:8080/e");  // back home: the cookie goes again
  EXPECT_FALSE(cli->CookieWithheld());
  EXPECT_EQ(cli->Credentials(), ":");  // but what was dropped stays dropped

  cli->Start("http://www.example.com/a");
  cli->Take("http://x:y@other.example/b");  // another host naming its own credentials
  EXPECT_EQ(cli->Credentials(), "x:y");
  EXPECT_TRUE(cli->CookieWithheld());
  cli->Start("http://www.example.com/a");
  cli->Take("https://www.example.com/b");  // another scheme
  EXPECT_EQ(cli->Credentials(), ":");
}

TEST(HttpRelocation, CookieLineOnlyForTheOriginThroughAProxy) {
  ScriptedPeer proxy({testsupport::HttpScript(
      {Redirect("http://WWW.Example.com/b"), Redirect("http://other.example/c"), HttpResponse(200, "end")})});
  Client c;
  c.cli->SetProxy("127.0.0.1");
  c.cli->SetProxyPort(std::to_string(proxy.Port()));
  c.cli->SetCookie("k=v");
  ASSERT_TRUE(c.Run("http://www.example.com/a"));
  EXPECT_EQ(c.body.DataString(), "end");
  // All three go on the kept proxy connection.
  ASSERT_EQ(proxy.AcceptedCount(), 1u);
  const std::string sent = proxy.Received(0);
  const size_t second = sent.find("GET ", 1);
  const size_t thirdAt = sent.find("GET ", second + 1);
  ASSERT_NE(thirdAt, std::string::npos) << sent;
  EXPECT_NE(sent.substr(0, second).find("\r\nCookie: k=v\r\n"), std::string::npos);
  EXPECT_NE(sent.substr(second, thirdAt - second).find("\r\nCookie: k=v\r\n"), std::string::npos) << sent;
  const std::string third = sent.substr(thirdAt);
  EXPECT_EQ(third.rfind("GET http://other.example/c HTTP/1.1\r\n", 0), 0u) << third;
  EXPECT_NE(third.find("\r\nHost: other.example\r\n"), std::string::npos) << third;
  EXPECT_EQ(third.find("Cookie"), std::string::npos) << third;
}

TEST(HttpRelocation, OtherProtocolEndsNotImplemented) {
  ScriptedPeer peer({testsupport::HttpScript({Redirect("ftp://127.0.0.1:21/file")})});
  Client c;
  ASSERT_TRUE(c.Run(Base(peer) + "/"));
  EXPECT_EQ(c.cli->StatusCode(), 501);
  EXPECT_EQ(c.cli->ReasonPhrase(), "Protocol \"ftp\" not implemented");
  EXPECT_EQ(c.cli->Location(), "ftp://127.0.0.1/file");
  EXPECT_EQ(c.ev.requestDone, 1);
}

// A long location is followed. A header that fails after its location line ends
// the request with its failure; the location is not followed.
TEST(HttpRelocation, VeryLongLocationAndAFailedHeader) {
  const std::string longPath = "/" + std::string(60 * 1024, 'p');
  const std::string failing =
      HttpResponse(302, "moved", {"Location: /qqq", "X-Big: " + std::string(70 * 1024, 'x')});
  ScriptedPeer peer({testsupport::HttpScript({Redirect(longPath), HttpResponse(200, "far"), failing})});
  Client c;
  ASSERT_TRUE(c.Run(Base(peer) + "/"));
  EXPECT_EQ(c.body.DataString(), "far");
  EXPECT_NE(peer.Received(0).find("GET " + longPath + " HTTP/1.1\r\n"), std::string::npos);
  ASSERT_TRUE(c.Run(Base(peer) + "/again"));
  EXPECT_EQ(c.cli->StatusCode(), 404);
  EXPECT_EQ(c.cli->ReasonPhrase(), "Response header too large");
  EXPECT_EQ(c.locationChanges, 1);
  EXPECT_EQ(peer.AcceptedCount(), 1u);
  EXPECT_EQ(peer.Received(0).find("/qqq"), std::string::npos);
}

// On a kept proxy connection the target host goes into the Host line unchecked by
// any name lookup: a line break there must still fail the request.
TEST(HttpRelocation, ControlBytesInTheHostOnAKeptProxyConnection) {
  ScriptedPeer proxy;
  const std::string port = std::to_string(proxy.Port());
  proxy.AddScript(testsupport::HttpScript({Redirect("http://evil\rX-Injected: 1:" + port + "/x")}));
  Client c;
  c.cli->SetProxy("127.0.0.1");
  c.cli->SetProxyPort(port);
  ASSERT_TRUE(c.Run("http://www.example.com:" + port + "/a"));
  EXPECT_EQ(c.cli->StatusCode(), 404);
  EXPECT_EQ(c.cli->ReasonPhrase(), "can't resolve hostname to IP address");
  EXPECT_EQ(proxy.AcceptedCount(), 1u);
  EXPECT_EQ(proxy.Received(0).find("X-Injected"), std::string::npos) << proxy.Received(0);
}

// A body delimited by the close (here a reset after it) is followed with a count
// and an error code of its own: neither leaks into the next document.
TEST(HttpRelocation, AfterACloseDelimitedBodyTheNextDocumentStartsClean) {
  const std::string body(100, 'b');
  ScriptedPeer peer({Script()
                         .ExpectRequest()
                         .Send("HTTP/1.1 200 OK\r\nLocation: /next\r\nConnection: close\r\n\r\n" + body)
                         .Pause("reset")
                         .Reset(),
                     Script().ExpectRequest().Send(HttpResponse(200, "target"))});
  Client c;
  c.cli->SetURL(Base(peer) + "/first");
  c.cli->GetAsync();
  // The relocating body is read for its framing only: counted, not delivered.
  ASSERT_TRUE(PumpUntil([&] { return c.cli->RcvdCount() >= 100; }));
  EXPECT_EQ(c.ev.docBytes, 0);
  peer.Resume("reset");
  ASSERT_TRUE(PumpUntil([&] { return c.ev.requestDone > 0 && c.cli->State() == httpReady; }));
  EXPECT_EQ(c.cli->StatusCode(), 200);
  EXPECT_EQ(c.body.DataString(), "target");
  EXPECT_EQ(c.cli->RcvdCount(), 6);
  EXPECT_EQ(c.ev.lastErr, 0);
  EXPECT_EQ(c.cli->LocationChangeCurCount(), 1);
  EXPECT_NE(peer.Received(1).find("GET /next HTTP/1.1\r\n"), std::string::npos);
}

// Abort from OnLocationChange ends the request there, on the kept connection and
// after the close of the old one alike.
TEST(HttpRelocation, AbortFromTheLocationChangeEvent) {
  ScriptedPeer other;
  ScriptedPeer peer({testsupport::HttpScript({Redirect("/kept")}),
                     testsupport::HttpScript({Redirect(Base(other) + "/new")}),
                     testsupport::HttpScript({HttpResponse(200, "later")})});
  Client c;
  c.cli->OnLocationChange = [&](core::TComponent*) {
    ++c.locationChanges;
    c.cli->Abort();
  };
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(c.Run(Base(peer) + "/"));
    EXPECT_EQ(c.cli->StatusCode(), 404) << i;
    EXPECT_EQ(c.cli->ReasonPhrase(), "Connection aborted on request");
    EXPECT_EQ(c.ev.requestDone, i + 1);
  }
  c.cli->OnLocationChange = nullptr;
  c.body.Clear();  // an aborted request leaves what it received
  ASSERT_TRUE(c.Run(Base(peer) + "/later"));
  EXPECT_EQ(c.body.DataString(), "later");
  EXPECT_EQ(c.ev.requestDone, 3);
  EXPECT_EQ(peer.Received(0).find("/kept"), std::string::npos);
  EXPECT_EQ(peer.AcceptedCount(), 3u);
  EXPECT_EQ(other.AcceptedCount(), 0u);
}

}  // namespace
}  // namespace http::testing
