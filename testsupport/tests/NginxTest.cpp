#include "testsupport/Nginx.h"

#include <gtest/gtest.h>

#include <gtest/gtest-spi.h>

#include "testsupport/RawClient.h"
#include "testsupport/ScriptedPeer.h"

namespace testsupport {
namespace {

TEST(NginxServerTest, ServesFilesAndCountsConnections) {
  TL_SKIP_UNLESS_INSTALLED(NginxServer::kBinary);
  NginxServer nginx;
  nginx.AddFile("ten.html", std::string(10240, 'x'));
  nginx.AddServerConfig("location = /mine { return 302 /index.html; }");
  ASSERT_TRUE(nginx.Start());

  RawClient c;
  ASSERT_TRUE(c.Connect(nginx.Port()));
  ASSERT_TRUE(c.Send("GET /index.html HTTP/1.1\r\nHost: localhost\r\n\r\n"));
  EXPECT_NE(c.ReadUntil("hello world\n").find("Content-Length: 12"), std::string::npos);
  ASSERT_TRUE(c.Send("GET /mine HTTP/1.1\r\nHost: localhost\r\n\r\n"));
  EXPECT_NE(c.ReadUntil("</html>").find("Location: http://localhost:" + std::to_string(nginx.Port())),
            std::string::npos);

  RawClient second;  // HTTP/1.0 without keep-alive: nginx closes after the body
  ASSERT_TRUE(second.Connect(nginx.Port(), "127.0.0.2"));
  ASSERT_TRUE(second.Send("GET /ten.html HTTP/1.0\r\n\r\n"));
  std::string reply = second.ReadToEnd();
  EXPECT_TRUE(second.ClosedByPeer());
  EXPECT_EQ(reply.substr(reply.size() - 10240), std::string(10240, 'x'));

  ASSERT_TRUE(nginx.WaitForAccessLines(3));
  auto log = nginx.AccessLog();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[0].request, "GET /index.html HTTP/1.1");
  EXPECT_EQ(log[0].status, 200);
  EXPECT_EQ(log[1].status, 302);
  EXPECT_EQ(log[0].connection, log[1].connection);
  EXPECT_EQ(log[2].bytesSent, 10240u);
  EXPECT_EQ(nginx.ConnectionCount(), 2u);
}

TEST(NginxServerTest, SecondPortChunkedAndBasicAuth) {
  TL_SKIP_UNLESS_INSTALLED(NginxServer::kBinary);
  NginxServer nginx;
  ASSERT_TRUE(nginx.Start());
  RawClient c;
  ASSERT_TRUE(c.Connect(nginx.Port2()));
  ASSERT_TRUE(c.Send("GET /other.html HTTP/1.0\r\n\r\n"));
  EXPECT_NE(c.ReadToEnd().find("other port\n"), std::string::npos);

  ASSERT_TRUE(c.Connect(nginx.Port()));
  ASSERT_TRUE(c.Send("GET /ssi/multi.html HTTP/1.1\r\nHost: a\r\nConnection: close\r\n\r\n"));
  EXPECT_NE(c.ReadToEnd().find(
                "1\r\nA\r\nc\r\npage in dir\n\r\n1\r\nB\r\na\r\nnext page\n\r\n2\r\nC\n\r\n0\r\n\r\n"),
            std::string::npos);

  ASSERT_TRUE(c.Connect(nginx.Port()));
  ASSERT_TRUE(
      c.Send("GET /secret/ HTTP/1.0\r\nAuthorization: Basic dXNlcjpzZWNyZXQ=\r\n\r\n"));  // user:secret
  EXPECT_NE(c.ReadToEnd().find("secret page\n"), std::string::npos);
}

TEST(NginxServerTest, MakesLargeFilesWithoutWritingThemAll) {
  TL_SKIP_UNLESS_INSTALLED(NginxServer::kBinary);
  NginxServer nginx;
  nginx.AddSparseFile("100m.bin", 100u << 20);
  nginx.AddPatternFile("pattern.bin", 70000);
  std::string pattern = ReadFile(nginx.Root() + "/pattern.bin");
  ASSERT_EQ(pattern.size(), 70000u);
  EXPECT_EQ(pattern.substr(65536, 3), "012");
  EXPECT_EQ(pattern[64 + 10], 'a');
  ASSERT_TRUE(nginx.Start());
  RawClient c;
  ASSERT_TRUE(c.Connect(nginx.Port()));
  ASSERT_TRUE(c.Send("HEAD /100m.bin HTTP/1.0\r\n\r\n"));
  EXPECT_NE(c.ReadToEnd().find("Content-Length: 104857600"), std::string::npos);
}

// nginx retries a busy port for 2.5 s; the launcher gives up on seeing the bind
// error and reports it.
TEST(NginxServerTest, ReportsAPortThatStaysBusy) {
  TL_SKIP_UNLESS_INSTALLED(NginxServer::kBinary);
  RefusedPort taken;  // bound, so nginx's bind() fails with EADDRINUSE
  NginxServer nginx;
  nginx.AddHttpConfig("server { listen 127.0.0.1:" + std::to_string(taken.Port()) + "; }");
  bool started = true;
  EXPECT_NONFATAL_FAILURE(started = nginx.Start(), "failed (98");
  EXPECT_FALSE(started);
}

}  // namespace
}  // namespace testsupport
