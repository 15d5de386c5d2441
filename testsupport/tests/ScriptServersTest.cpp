#include <gtest/gtest.h>

#include "testsupport/Nginx.h"
#include "testsupport/NtlmServer.h"
#include "testsupport/RawClient.h"
#include "testsupport/SocksServer.h"

namespace testsupport {
namespace {

std::string Be16(uint16_t v) {
  return {static_cast<char>(v >> 8), static_cast<char>(v & 0xff)};
}

TEST(NtlmServerTest, ChallengesAndComputesPublishedV1Vector) {
  TL_SKIP_UNLESS(NtlmServer::Available(), "python3-ntlm-auth is not installed");
  auto v1 = NtlmServer::ComputeV1("Password", "0123456789abcdef");
  ASSERT_TRUE(v1.has_value());
  EXPECT_EQ(v1->first, "98def7b87f88aa5dafe2df779688a172def11c7d5ccdef13");
  EXPECT_EQ(v1->second, "67c43011f30298a2ad35ece64f16331c44bdbed927841f94");

  NtlmServer server;
  ASSERT_TRUE(server.Start());
  RawClient c;
  ASSERT_TRUE(c.Connect(server.Port()));
  ASSERT_TRUE(c.Send("GET /x HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
  std::string reply = c.ReadUntil("need NTLM\n");
  EXPECT_NE(reply.find("401"), std::string::npos) << reply;
  EXPECT_NE(reply.find("WWW-Authenticate: NTLM\r\n"), std::string::npos) << reply;
}

// SOCKS 5 without authentication through each server to nginx's index page.
class SocksServerTest : public ::testing::TestWithParam<SocksKind> {};

TEST_P(SocksServerTest, RelaysAConnectToNginx) {
  TL_SKIP_UNLESS(SocksServer::Available(GetParam()), "the SOCKS server is not installed");
  TL_SKIP_UNLESS_INSTALLED(NginxServer::kBinary);
  NginxServer nginx;
  ASSERT_TRUE(nginx.Start());
  SocksServer socks(GetParam());
  ASSERT_TRUE(socks.Start());
  RawClient c;
  ASSERT_TRUE(c.Connect(socks.Port()));
  ASSERT_TRUE(c.Send(std::string("\x05\x01\x00", 3)));
  EXPECT_EQ(c.ReadBytes(2), std::string("\x05\x00", 2));
  ASSERT_TRUE(c.Send(std::string("\x05\x01\x00\x01\x7f\x00\x00\x01", 8) + Be16(nginx.Port())));
  EXPECT_EQ(c.ReadBytes(10).substr(0, 4), std::string("\x05\x00\x00\x01", 4));
  ASSERT_TRUE(c.Send("GET /index.html HTTP/1.0\r\n\r\n"));
  EXPECT_NE(c.ReadToEnd().find("hello world\n"), std::string::npos);
}

TEST_P(SocksServerTest, AcceptsOnlyTheRightPassword) {
  TL_SKIP_UNLESS(SocksServer::Available(GetParam()), "the SOCKS server is not installed");
  SocksServer socks(GetParam(), SocksAuth::kUserOnly);
  ASSERT_TRUE(socks.Start());
  auto login = [&](const std::string& password) {
    RawClient c;
    EXPECT_TRUE(c.Connect(socks.Port()));
    c.Send(std::string("\x05\x01\x02", 3));
    EXPECT_EQ(c.ReadBytes(2), std::string("\x05\x02", 2));
    c.Send(std::string("\x01", 1) + static_cast<char>(socks.User().size()) + socks.User() +
           static_cast<char>(password.size()) + password);
    return c.ReadBytes(2);
  };
  EXPECT_EQ(login(socks.Password()), std::string("\x01\x00", 2));
  EXPECT_NE(login("wrong"), std::string("\x01\x00", 2));
}

TEST(PerlSocksServerTest, ResolvesLocalhostForSocks4a) {
  TL_SKIP_UNLESS(SocksServer::Available(SocksKind::kPerl), "libio-socket-socks-perl is not installed");
  TL_SKIP_UNLESS_INSTALLED(NginxServer::kBinary);
  NginxServer nginx;
  ASSERT_TRUE(nginx.Start());
  SocksServer socks(SocksKind::kPerl);
  ASSERT_TRUE(socks.Start());
  RawClient c;
  ASSERT_TRUE(c.Connect(socks.Port()));
  // Version 4, connect, port, 0.0.0.1 (a name follows), empty user id, the name.
  ASSERT_TRUE(
      c.Send(std::string("\x04\x01", 2) + Be16(nginx.Port()) + std::string("\0\0\0\x01\0localhost\0", 15)));
  EXPECT_EQ(c.ReadBytes(8).substr(0, 2), std::string("\x00\x5a", 2));
  ASSERT_TRUE(c.Send("GET /index.html HTTP/1.0\r\n\r\n"));
  EXPECT_NE(c.ReadToEnd().find("hello world\n"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Kinds, SocksServerTest,
                         ::testing::Values(SocksKind::kDante, SocksKind::kMicrosocks, SocksKind::kPerl));

}  // namespace
}  // namespace testsupport
