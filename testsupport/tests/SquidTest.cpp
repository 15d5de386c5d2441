#include "testsupport/Squid.h"

#include <gtest/gtest.h>

#include "testsupport/Nginx.h"
#include "testsupport/RawClient.h"

namespace testsupport {
namespace {

TEST(SquidServerTest, OpenProxyFetchesFromNginx) {
  TL_SKIP_UNLESS_INSTALLED(SquidServer::kBinary);
  TL_SKIP_UNLESS_INSTALLED(NginxServer::kBinary);
  NginxServer nginx;
  ASSERT_TRUE(nginx.Start());
  SquidServer squid;
  ASSERT_TRUE(squid.Start());
  RawClient c;
  ASSERT_TRUE(c.Connect(squid.Port()));
  ASSERT_TRUE(c.Send("GET " + nginx.Url("/index.html") + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
  std::string reply = c.ReadUntil("hello world\n");
  EXPECT_NE(reply.find("HTTP/1.1 200 OK"), std::string::npos) << reply;
  EXPECT_NE(reply.find("Via: 1.1 tachyload-test"), std::string::npos) << reply;
}

TEST(SquidServerTest, BasicModeAsksForProxyCredentials) {
  TL_SKIP_UNLESS_INSTALLED(SquidServer::kBinary);
  TL_SKIP_UNLESS_INSTALLED(NginxServer::kBinary);
  NginxServer nginx;
  ASSERT_TRUE(nginx.Start());
  SquidServer squid(SquidAuth::kBasic);
  ASSERT_TRUE(squid.Start());
  RawClient c;
  ASSERT_TRUE(c.Connect(squid.Port()));
  const std::string request = "GET " + nginx.Url("/index.html") + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
  ASSERT_TRUE(c.Send(request + "\r\n"));
  std::string reply = c.ReadUntil("\r\n\r\n");
  EXPECT_NE(reply.find("407"), std::string::npos) << reply;
  EXPECT_NE(reply.find("Proxy-Authenticate: Basic realm=\"Test proxy\""), std::string::npos) << reply;

  RawClient d;
  ASSERT_TRUE(d.Connect(squid.Port()));
  ASSERT_TRUE(d.Send(request + "Proxy-Authorization: Basic cHVzZXI6cHBhc3M=\r\n\r\n"));  // puser:ppass
  EXPECT_NE(d.ReadUntil("hello world\n"), "");
  EXPECT_TRUE(squid.WaitForAccessLog(" puser ")) << squid.AccessLog();
}

TEST(SquidServerTest, NtlmModeOffersNtlm) {
  TL_SKIP_UNLESS_INSTALLED(SquidServer::kBinary);
  SquidServer squid(SquidAuth::kNtlm);
  ASSERT_TRUE(squid.Start());
  RawClient c;
  ASSERT_TRUE(c.Connect(squid.Port()));
  ASSERT_TRUE(c.Send("GET http://127.0.0.1:1/ HTTP/1.1\r\nHost: 127.0.0.1:1\r\n\r\n"));
  std::string reply = c.ReadUntil("\r\n\r\n");
  EXPECT_NE(reply.find("407"), std::string::npos) << reply;
  EXPECT_NE(reply.find("Proxy-Authenticate: NTLM\r\n"), std::string::npos) << reply;
}

}  // namespace
}  // namespace testsupport
