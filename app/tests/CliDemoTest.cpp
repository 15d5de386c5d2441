// tachyload-cli --demo: the program's own page server, measured like any other;
// and --version, which comes from the build.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "app/DemoServer.h"
#include "app/tests/CliRun.h"
#include "testsupport/RawClient.h"

namespace {

using clitest::RunCli;

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

TEST(CliDemoTest, ServesTheTenKilobytePageAndCountsEveryLoad) {
  ASSERT_EQ(app::TDemoServer::Page().size(), 10240u);
  const auto r = RunCli({"--demo", "-n", "2"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_TRUE(Has(r.out, "demo: serving a 10 kB page on http://127.0.0.1:")) << r.out;
  EXPECT_TRUE(Has(r.out, "loading it 2 times")) << r.out;
  EXPECT_TRUE(Has(r.out, "Number of loads: 2\n")) << r.out;
  // The pane's characters of two loads: the page is all text lines.
  EXPECT_TRUE(Has(r.out, "Bytes downloaded: 20480\n")) << r.out;
  EXPECT_FALSE(Has(r.out, "Error!")) << r.out;
}

TEST(CliDemoTest, JsonKeepsTheStandardOutputToTheObject) {
  const auto r = RunCli({"--demo", "--json", "-n", "1"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out.rfind("{\"url\":\"http://127.0.0.1:", 0), 0u) << r.out;
  EXPECT_TRUE(Has(r.out, "\"bytes\":10240,")) << r.out;
  EXPECT_TRUE(Has(r.err, "demo: serving")) << r.err;
}

TEST(CliDemoTest, UsageAndVersion) {
  const auto withUrl = RunCli({"--demo", "http://127.0.0.1:1/"});
  EXPECT_EQ(withUrl.exitCode, 2);
  EXPECT_TRUE(Has(withUrl.err, "give it no URL")) << withUrl.err;
  EXPECT_EQ(withUrl.out, "");

  const auto version = RunCli({"--version"});
  EXPECT_EQ(version.exitCode, 0);
  EXPECT_EQ(version.out, "tachyload-cli " TL_TEST_VERSION "\n");
}

// The server lets a second server run beside it and stops when dropped, even
// while no client ever came.
TEST(CliDemoTest, ServersTakeTheirOwnPortsAndStop) {
  app::TDemoServer a, b;
  EXPECT_NE(a.Port(), 0);
  EXPECT_NE(a.Port(), b.Port());
  EXPECT_EQ(a.Answered(), 0);
}

// What each request gets, on a connection of its own that the server then closes.
TEST(CliDemoTest, AnswersGetAndHeadAndRefusesTheRest) {
  const std::string& page = app::TDemoServer::Page();
  const std::string ok =
      "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\nContent-Length: 10240\r\n"
      "Connection: close\r\n\r\n";
  const std::string refused =
      "HTTP/1.0 405 Method Not Allowed\r\nContent-Length: 0\r\nAllow: GET, HEAD\r\n\r\n";
  struct Case {
    const char* what;
    std::string request, answer;
    int answered;  // the count after it
  };
  const Case cases[] = {
      {"GET", "GET / HTTP/1.0\r\n\r\n", ok + page, 1},
      {"HEAD", "HEAD / HTTP/1.0\r\n\r\n", ok, 2},
      {"POST", "POST / HTTP/1.0\r\nContent-Length: 0\r\n\r\n", refused, 2},
      {"a head that never ends", std::string(16 * 1024, 'x'), refused, 2},
  };
  app::TDemoServer server;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    testsupport::RawClient client;
    ASSERT_TRUE(client.Connect(server.Port()));
    ASSERT_TRUE(client.Send(c.request));
    EXPECT_EQ(client.ReadToEnd(), c.answer);
    EXPECT_TRUE(client.ClosedByPeer());
    EXPECT_EQ(server.Answered(), c.answered);
  }
}

// A server dropped while a page goes out stops (frees the connection it still
// holds) and the client sees the close.
TEST(CliDemoTest, StopsWhileAPageGoesOut) {
  auto server = std::make_unique<app::TDemoServer>();
  testsupport::RawClient client;
  ASSERT_TRUE(client.Connect(server->Port()));
  ASSERT_TRUE(client.Send("GET / HTTP/1.0\r\n\r\n"));
  ASSERT_NE(client.ReadUntil("<p>Line 1:"), "");
  server.reset();
  client.ReadToEnd();
  EXPECT_TRUE(client.ClosedByPeer() || client.ResetByPeer());
}

}  // namespace
