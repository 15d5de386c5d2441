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

struct Client {
  core::ComponentPtr<THttpCli> cli = core::MakeComponent<THttpCli>(nullptr);
  HttpEvents ev;
  core::TMemoryStream body;
  int locationChanges = 0;

  Client() {
    WindowSettings(*cli);
    cli->SetRequestVer("1.1");
    ev.Attach(*cli);
    cli->SetRcvdStream(&body);
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
  EXPECT_EQ(c.cli->DocName(), "o.htm");
  const std::string sent = other.Received(0);
  EXPECT_EQ(sent.rfind("GET /o.htm#frag HTTP/1.1\r\n", 0), 0u) << sent;
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
}

TEST(HttpRelocation, ThroughAProxyTheTargetKeepsItsPort) {
  ScriptedPeer proxy({testsupport::HttpScript({Redirect("/next"), HttpResponse(200, "n")})});
  Client c;
  c.cli->SetProxy("127.0.0.1");
  c.cli->SetProxyPort(std::to_string(proxy.Port()));
  ASSERT_TRUE(c.Run("http://www.example.com:8080/first"));
  EXPECT_EQ(c.body.DataString(), "n");
  EXPECT_EQ(c.cli->Location(), "http://www.example.com/next");
  EXPECT_NE(proxy.Received(0).find("GET http://www.example.com:8080/next HTTP/1.1\r\n"), std::string::npos)
      << proxy.Received(0);
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
  EXPECT_NE(sent.find("GET /a%0DInjected: 1%00b HTTP/1.1\r\n"), std::string::npos) << sent;
  EXPECT_EQ(sent.find("\rInjected"), std::string::npos);
  // A host with a line break fails like a name that does not resolve.
  ASSERT_TRUE(c.Run(Base(peer) + "/"));
  EXPECT_EQ(c.cli->StatusCode(), 404);
  EXPECT_EQ(c.cli->ReasonPhrase(), "can't resolve hostname to IP address");
  EXPECT_EQ(peer.AcceptedCount(), 1u);
}

}  // namespace
}  // namespace http::testing
