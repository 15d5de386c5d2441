// Connection outcomes as notifications, and the error codes the socket layer tests.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "platform/tests/SockTestSupport.h"

namespace {

using namespace socktest;
using winapi::SOCKET;

constexpr long kAll = winapi::FD_READ | winapi::FD_WRITE | winapi::FD_CONNECT | winapi::FD_CLOSE;

class ConnectTest : public ::testing::Test {
 protected:
  void TearDown() override {
    if (s_ != winapi::INVALID_SOCKET) winapi::closesocket(s_);
  }
  int ConnectTo(const sockaddr_in& addr) {
    s_ = winapi::socket(AF_INET, SOCK_STREAM, 0);
    EXPECT_EQ(winapi::WSAAsyncSelect(s_, win_.hwnd(), kSelectMsg, kAll), 0);
    return winapi::connect(s_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
  }

  Started started_;
  NotifyWindow win_;
  SOCKET s_ = winapi::INVALID_SOCKET;
};

TEST_F(ConnectTest, RefusedConnectGivesOnlyConnectWithTheError) {
  EXPECT_EQ(ConnectTo(ClosedPort()), winapi::SOCKET_ERROR);
  EXPECT_EQ(winapi::WSAGetLastError(), winapi::WSAEWOULDBLOCK);
  ASSERT_TRUE(PumpUntil([this] { return !win_.selects.empty(); }));
  PumpUntil([] { return false; }, 100);  // nothing else may follow
  ASSERT_EQ(win_.selects.size(), 1u);
  EXPECT_EQ(win_.selects[0].wParam, static_cast<winapi::WPARAM>(s_));
  EXPECT_EQ(win_.selects[0].low, winapi::FD_CONNECT);
  EXPECT_EQ(win_.selects[0].error, winapi::WSAECONNREFUSED);
}

TEST_F(ConnectTest, SuccessfulConnectGivesConnectThenWriteOnce) {
  sockaddr_in addr;
  SOCKET listener = Listen(addr);
  EXPECT_EQ(ConnectTo(addr), winapi::SOCKET_ERROR);
  EXPECT_EQ(winapi::WSAGetLastError(), winapi::WSAEWOULDBLOCK);
  ASSERT_TRUE(PumpUntil([this] { return win_.selects.size() >= 2; }));
  PumpUntil([] { return false; }, 50);
  ASSERT_EQ(win_.selects.size(), 2u);
  EXPECT_EQ(win_.selects[0].low, winapi::FD_CONNECT);
  EXPECT_EQ(win_.selects[0].error, 0);
  EXPECT_EQ(win_.selects[1].low, winapi::FD_WRITE);
  winapi::closesocket(listener);
}

TEST_F(ConnectTest, CallsOnUnconnectedSocketsFailWithNotConnected) {
  s_ = winapi::socket(AF_INET, SOCK_STREAM, 0);
  char c = 'x';
  EXPECT_EQ(winapi::send(s_, &c, 1, 0), winapi::SOCKET_ERROR);
  EXPECT_EQ(winapi::WSAGetLastError(), winapi::WSAENOTCONN);
  EXPECT_EQ(winapi::recv(s_, &c, 1, 0), winapi::SOCKET_ERROR);
  EXPECT_EQ(winapi::WSAGetLastError(), winapi::WSAENOTCONN);
}

// A connected pair made synchronously: ours is accepted, the peer is raw.
class ErrorCodeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sockaddr_in addr;
    listener_ = Listen(addr);
    peer_ = RawConnect(addr);
    ASSERT_TRUE(PumpUntil([this] {
      s_ = winapi::accept(listener_, nullptr, nullptr);
      return s_ != winapi::INVALID_SOCKET;
    }));
  }
  void TearDown() override {
    winapi::closesocket(s_);
    winapi::closesocket(listener_);
    if (peer_ >= 0) ::close(peer_);
  }

  Started started_;
  SOCKET listener_ = winapi::INVALID_SOCKET, s_ = winapi::INVALID_SOCKET;
  int peer_ = -1;
};

TEST_F(ErrorCodeTest, EmptyReceiveWouldBlock) {
  char c;
  EXPECT_EQ(winapi::recv(s_, &c, 1, 0), winapi::SOCKET_ERROR);
  EXPECT_EQ(winapi::WSAGetLastError(), winapi::WSAEWOULDBLOCK);
}

TEST_F(ErrorCodeTest, SendAfterPeerResetIsResetWithoutSignal) {
  RawReset(peer_);
  peer_ = -1;
  char buf[1024] = {};
  int rc = 0;
  // The first send may still be accepted before the reset is noticed.
  for (int i = 0; i < 100 && rc != winapi::SOCKET_ERROR; ++i) rc = winapi::send(s_, buf, sizeof buf, 0);
  EXPECT_EQ(rc, winapi::SOCKET_ERROR);
  EXPECT_EQ(winapi::WSAGetLastError(), winapi::WSAECONNRESET);
}

TEST_F(ErrorCodeTest, SendAfterOwnShutdownIsShutdown) {
  EXPECT_EQ(winapi::shutdown(s_, SHUT_WR), 0);
  char c = 'x';
  EXPECT_EQ(winapi::send(s_, &c, 1, 0), winapi::SOCKET_ERROR);
  EXPECT_EQ(winapi::WSAGetLastError(), winapi::WSAESHUTDOWN);
}

TEST(SocketErrorMapTest, CodesTheSocketLayerReports) {
  EXPECT_EQ(winapi::WSAErrorFromErrno(EAGAIN), winapi::WSAEWOULDBLOCK);
  EXPECT_EQ(winapi::WSAErrorFromErrno(EINPROGRESS), winapi::WSAEWOULDBLOCK);
  EXPECT_EQ(winapi::WSAErrorFromErrno(ECONNABORTED), winapi::WSAECONNABORTED);
  EXPECT_EQ(winapi::WSAErrorFromErrno(EPIPE), winapi::WSAECONNRESET);
  EXPECT_EQ(winapi::WSAErrorFromErrno(ENOTCONN), winapi::WSAENOTCONN);
  EXPECT_EQ(winapi::WSAErrorFromErrno(ECONNREFUSED), winapi::WSAECONNREFUSED);
  EXPECT_EQ(winapi::WSAErrorFromErrno(EOWNERDEAD), winapi::WSAEINVAL);  // unmapped
}

}  // namespace
