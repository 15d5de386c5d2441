// Following nginx's redirections: on the kept connection, to another port or
// host, in a loop, within the step limit, with the cookie kept at home, and
// through squid, where the whole URL is the request target.
#include <gtest/gtest.h>

#include "http/tests/HttpTestSupport.h"
#include "testsupport/Nginx.h"
#include "testsupport/Squid.h"

namespace http::testing {
namespace {

using testsupport::NginxServer;
using testsupport::SquidServer;

class HttpRelocationNginx : public ::testing::Test {
 protected:
  void SetUp() override {
    TL_SKIP_UNLESS_INSTALLED(NginxServer::kBinary);
    nginx_.AddServerConfig(
        "location = /echo-cookie { return 200 \"cookie=[$http_cookie]\\n\"; }\n"
        "location = /r-echo { absolute_redirect off; return 302 /echo-cookie; }\n"
        "location = /r-echo-002 { return 302 http://127.0.0.2:$server_port/echo-cookie; }\n");
    ASSERT_TRUE(nginx_.Start());
    WindowSettings(*cli_);
    cli_->SetRequestVer("1.1");
    ev_.Attach(*cli_);
    cli_->SetRcvdStream(&body_);
    cli_->OnLocationChange = [this](core::TComponent*) { ++locationChanges_; };
  }
  // The synchronous Get the window uses.
  void Get(const std::string& path) {
    body_.Clear();
    locationChanges_ = 0;
    cli_->SetURL(nginx_.Url(path));
    cli_->Get();
  }
  // GetAsync under a watchdog, for what might otherwise run forever.
  bool GetWatched(const std::string& path) {
    body_.Clear();
    const int before = ev_.requestDone;
    cli_->SetURL(nginx_.Url(path));
    cli_->GetAsync();
    return PumpUntil([&] { return ev_.requestDone > before && cli_->State() == httpReady; });
  }
  size_t Requests(const std::string& path) const {
    size_t n = 0;
    for (const auto& e : nginx_.AccessLog()) n += e.request.find(" " + path + " ") != std::string::npos;
    return n;
  }

  NginxServer nginx_;
  core::ComponentPtr<THttpCli> cli_ = core::MakeComponent<THttpCli>(nullptr);
  HttpEvents ev_;
  core::TMemoryStream body_;
  int locationChanges_ = 0;
};

TEST_F(HttpRelocationNginx, AbsoluteHostRelativeRelativeAndA200OnTheKeptConnection) {
  Get("/r301");
  EXPECT_EQ(cli_->StatusCode(), 200);
  EXPECT_EQ(body_.DataString(), "hello world\n");
  EXPECT_EQ(cli_->Location(), "http://127.0.0.1/index.html");
  EXPECT_EQ(cli_->LocationChangeCurCount(), 1);
  Get("/r302rel");
  EXPECT_EQ(body_.DataString(), "page in dir\n");
  EXPECT_EQ(cli_->Location(), "http://127.0.0.1/dir/page.htm");
  Get("/dir/rel");
  EXPECT_EQ(body_.DataString(), "next page\n");
  EXPECT_EQ(cli_->DocName(), "next.htm");
  Get("/ok-with-location");  // a 200 carrying a location is followed too
  EXPECT_EQ(cli_->StatusCode(), 200);
  EXPECT_EQ(body_.DataString(), "hello world\n");
  EXPECT_EQ(locationChanges_, 1);
  ASSERT_TRUE(nginx_.WaitForAccessLines(8));
  EXPECT_EQ(nginx_.ConnectionCount(), 1u);
  EXPECT_EQ(ev_.requestDone, 4);
}

TEST_F(HttpRelocationNginx, AnotherHostOrPortTakesANewConnectionAndCountsTwo) {
  Get("/r127002");
  EXPECT_EQ(body_.DataString(), "hello world\n");
  EXPECT_EQ(cli_->Location(), "http://127.0.0.2/index.html");
  EXPECT_EQ(cli_->LocationChangeCurCount(), 2);
  EXPECT_EQ(locationChanges_, 1);
  EXPECT_EQ(ev_.Count("SessionClosed"), 0u);
  Get("/rother");
  EXPECT_EQ(body_.DataString(), "other port\n");
  EXPECT_EQ(cli_->LocationChangeCurCount(), 2);
  ASSERT_TRUE(nginx_.WaitForAccessLines(4));
  EXPECT_EQ(nginx_.ConnectionCount(), 4u);
  EXPECT_EQ(ev_.requestDone, 2);
}

TEST_F(HttpRelocationNginx, StepLimitEndsWithTheRedirectionsStatus) {
  cli_->SetLocationChangeMaxCount(0);
  Get("/r301");  // no exception: the status is below 400
  EXPECT_EQ(cli_->StatusCode(), 301);
  EXPECT_NE(body_.DataString().find("301 Moved Permanently"), std::string::npos) << body_.DataString();
  EXPECT_EQ(locationChanges_, 0);
  // A loop ends after the limit; on a kept connection each step counts one.
  cli_->SetLocationChangeMaxCount(3);
  ASSERT_TRUE(GetWatched("/loop"));
  EXPECT_EQ(cli_->StatusCode(), 302);
  EXPECT_EQ(cli_->LocationChangeCurCount(), 4);
  ASSERT_TRUE(nginx_.WaitForAccessLines(5));
  EXPECT_EQ(Requests("/loop"), 4u);
  // With HTTP/1.0 every step closes the connection and counts two.
  cli_->SetRequestVer("1.0");
  ASSERT_TRUE(GetWatched("/loop"));
  EXPECT_EQ(cli_->StatusCode(), 302);
  ASSERT_TRUE(nginx_.WaitForAccessLines(7));
  EXPECT_EQ(Requests("/loop"), 6u);
  // A handler may allow more; it is asked at every step past the limit.
  cli_->SetRequestVer("1.1");
  cli_->SetLocationChangeMaxCount(1);
  std::vector<int> asked;
  cli_->OnLocationChangeExceeded = [&](core::TComponent*, int count, bool& allow) {
    asked.push_back(count);
    allow = count < 4;
  };
  ASSERT_TRUE(GetWatched("/loop"));
  EXPECT_EQ(asked, (std::vector<int>{2, 3, 4}));
  ASSERT_TRUE(nginx_.WaitForAccessLines(11));
  EXPECT_EQ(Requests("/loop"), 10u);
}

TEST_F(HttpRelocationNginx, CookieIsNotSentToAnotherOrigin) {
  cli_->SetCookie("k=v");
  Get("/r-echo");
  EXPECT_EQ(body_.DataString(), "cookie=[k=v]\n");
  Get("/r-echo-002");  // 127.0.0.1 to 127.0.0.2
  EXPECT_EQ(body_.DataString(), "cookie=[]\n");
  EXPECT_EQ(cli_->Location(), "http://127.0.0.2/echo-cookie");
  Get("/r-echo");  // the next request starts at home again
  EXPECT_EQ(body_.DataString(), "cookie=[k=v]\n");
}

TEST_F(ThroughSquid, RelocationFormsTheWholeUrlAsTheTarget) {
  const struct {
    const char* path;
    const char* content;
    std::string next;
  } cases[] = {
      {"/r302rel", "page in dir\n", nginx.Url("/dir/page.htm")},
      {"/dir/rel", "next page\n", nginx.Url("/dir/next.htm")},
      {"/r301", "hello world\n", nginx.Url("/index.html")},
      {"/r127002", "hello world\n", nginx.Url("/index.html", "127.0.0.2")},
  };
  for (const auto& k : cases) {
    body.Clear();
    cli->SetURL(nginx.Url(k.path));
    cli->Get();
    EXPECT_EQ(cli->StatusCode(), 200) << k.path;
    EXPECT_EQ(body.DataString(), k.content) << k.path;
    EXPECT_TRUE(squid.WaitForAccessLog(" " + k.next + " ")) << k.path << "\n" << squid.AccessLog();
  }
}

}  // namespace
}  // namespace http::testing
