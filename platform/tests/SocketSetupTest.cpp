// Start-up and clean-up counting, options the socket layer sets, and the small
// name and address services.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cstring>

#include "platform/tests/SockTestSupport.h"

namespace {

using namespace socktest;
using winapi::SOCKET;

TEST(StartupTest, CountsStartsAndRefusesUseWhenNotStarted) {
  winapi::WSADATA data;
  EXPECT_EQ(winapi::WSAStartup(0, &data), winapi::WSAVERNOTSUPPORTED);
  EXPECT_EQ(winapi::socket(AF_INET, SOCK_STREAM, 0), winapi::INVALID_SOCKET);
  EXPECT_EQ(winapi::WSAGetLastError(), winapi::WSANOTINITIALISED);
  EXPECT_EQ(winapi::WSACleanup(), winapi::SOCKET_ERROR);
  EXPECT_EQ(winapi::WSAGetLastError(), winapi::WSANOTINITIALISED);

  ASSERT_EQ(winapi::WSAStartup(0x0101, &data), 0);
  EXPECT_EQ(data.wVersion, 0x0101);
  ASSERT_EQ(winapi::WSAStartup(0x0101, &data), 0);
  SOCKET leftover = winapi::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_NE(leftover, winapi::INVALID_SOCKET);
  EXPECT_EQ(winapi::WSACleanup(), 0);
  EXPECT_NE(::fcntl(leftover, F_GETFD), -1);  // still started once
  EXPECT_EQ(winapi::WSACleanup(), 0);
  EXPECT_EQ(::fcntl(leftover, F_GETFD), -1);  // the last clean-up closed it
}

class OptionTest : public ::testing::Test {
 protected:
  void SetUp() override { s_ = winapi::socket(AF_INET, SOCK_STREAM, 0); }
  void TearDown() override { winapi::closesocket(s_); }
  int TcpOption(int name) {
    int value = -1;
    int len = sizeof value;
    winapi::getsockopt(s_, IPPROTO_TCP, name, reinterpret_cast<char*>(&value), &len);
    return value;
  }

  Started started_;
  SOCKET s_ = winapi::INVALID_SOCKET;
};

TEST_F(OptionTest, KeepAliveValuesRoundUpToWholeSeconds) {
  winapi::tcp_keepalive ka{1, 1500, 200};
  winapi::DWORD ret = 99;
  ASSERT_EQ(
      winapi::WSAIoctl(s_, winapi::SIO_KEEPALIVE_VALS, &ka, sizeof ka, nullptr, 0, &ret, nullptr, nullptr),
      0);
  EXPECT_EQ(TcpOption(TCP_KEEPIDLE), 2);
  EXPECT_EQ(TcpOption(TCP_KEEPINTVL), 1);
  EXPECT_EQ(TcpOption(TCP_KEEPCNT), 10);
  int on = 0;
  int len = sizeof on;
  winapi::getsockopt(s_, SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<char*>(&on), &len);
  EXPECT_EQ(on, 1);
}

TEST_F(OptionTest, CaptureIsNotSupported) {
  uint32_t on = 1;
  winapi::DWORD ret;
  EXPECT_EQ(winapi::WSAIoctl(s_, winapi::SIO_RCVALL, &on, sizeof on, nullptr, 0, &ret, nullptr, nullptr),
            winapi::SOCKET_ERROR);
  EXPECT_EQ(winapi::WSAGetLastError(), winapi::WSAEOPNOTSUPP);
}

TEST(NameServiceTest, ServicesProtocolsAndAddressText) {
  Started started;
  servent* http = winapi::getservbyname("http", "tcp");
  ASSERT_NE(http, nullptr);
  EXPECT_EQ(ntohs(static_cast<uint16_t>(http->s_port)), 80);
  EXPECT_EQ(winapi::getservbyname("no-such-service", "tcp"), nullptr);
  protoent* tcp = winapi::getprotobyname("tcp");
  ASSERT_NE(tcp, nullptr);
  EXPECT_EQ(tcp->p_proto, IPPROTO_TCP);

  EXPECT_EQ(winapi::inet_addr("10.0.0.1"), htonl(0x0A000001));
  EXPECT_EQ(winapi::inet_addr("1.2.3.256"), INADDR_NONE);
  in_addr a{htonl(0xC0A80102)};
  EXPECT_STREQ(winapi::inet_ntoa(a), "192.168.1.2");

  char name[256];
  EXPECT_EQ(winapi::gethostname(name, sizeof name), 0);
  EXPECT_GT(std::strlen(name), 0u);
}

}  // namespace
