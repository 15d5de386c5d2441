// Pausing with mask 0 and resuming, and accepting: conditions that became true while
// nobody listened are posted when a binding is made, and each pending connection is
// announced once.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>
#include <vector>

#include "platform/tests/SockTestSupport.h"

namespace {

using namespace socktest;
using winapi::SOCKET;

constexpr long kAll = winapi::FD_READ | winapi::FD_WRITE | winapi::FD_CONNECT | winapi::FD_CLOSE;

// Ours is a winapi client bound to the window and connected; the peer is raw.
class PairTest : public ::testing::Test {
 protected:
  void SetUp() override {
    int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr = Loopback(0);
    ::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::listen(listener, 1);
    socklen_t len = sizeof addr;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
    s_ = winapi::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(winapi::WSAAsyncSelect(s_, win_.hwnd(), kSelectMsg, kAll), 0);
    winapi::connect(s_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    peer_ = ::accept(listener, nullptr, nullptr);
    ::close(listener);
    ASSERT_TRUE(PumpUntil([this] { return win_.Count(winapi::FD_WRITE) == 1; }));
    win_.selects.clear();
  }
  void TearDown() override {
    if (s_ != winapi::INVALID_SOCKET) winapi::closesocket(s_);
    if (peer_ >= 0) ::close(peer_);
  }
  // Waits until the harvest has queued a notification, without dispatching it.
  bool WaitQueued() { return PumpUntilQueued(); }
  static bool PumpUntilQueued() {
    for (int i = 0; i < 200; ++i) {
      winapi::MSG m;
      if (winapi::PeekMessage(&m, nullptr, 0, 0, winapi::PM_NOREMOVE)) return true;
      winapi::MsgWaitForMultipleObjects(0, nullptr, 0, 10, 0x1C5);
    }
    return false;
  }

  Started started_;
  NotifyWindow win_;
  SOCKET s_ = winapi::INVALID_SOCKET;
  int peer_ = -1;
};

TEST_F(PairTest, ResumePostsWhatBecameDueWhilePaused) {
  ASSERT_EQ(winapi::WSAAsyncSelect(s_, nullptr, 0, 0), 0);
  ASSERT_TRUE(RawSendAll(peer_, "hello", 5));
  ::close(peer_);
  peer_ = -1;
  PumpUntil([] { return false; }, 100);
  EXPECT_TRUE(win_.selects.empty());

  std::string got;
  win_.onSelect = [&](const Note& n) {
    char buf[16];
    if (n.low == winapi::FD_READ) {
      int rc = winapi::recv(s_, buf, sizeof buf, 0);
      if (rc > 0) got.append(buf, static_cast<size_t>(rc));
    }
  };
  ASSERT_EQ(winapi::WSAAsyncSelect(s_, win_.hwnd(), kSelectMsg, kAll), 0);
  ASSERT_TRUE(PumpUntil([&] { return win_.Count(winapi::FD_CLOSE) == 1; }));
  EXPECT_EQ(got, "hello");
  EXPECT_EQ(win_.Count(winapi::FD_WRITE), 1);
  EXPECT_EQ(win_.Count(winapi::FD_CONNECT), 0);  // already connected
  EXPECT_EQ(win_.selects.back().low, winapi::FD_CLOSE);
  EXPECT_EQ(win_.selects.back().error, 0);
}

TEST_F(PairTest, PauseKeepsNotificationsAlreadyQueued) {
  ASSERT_TRUE(RawSendAll(peer_, "x", 1));
  ASSERT_TRUE(PumpUntilQueued());
  ASSERT_EQ(winapi::WSAAsyncSelect(s_, nullptr, 0, 0), 0);
  PumpUntil([] { return false; }, 50);
  ASSERT_EQ(win_.selects.size(), 1u);
  EXPECT_EQ(win_.selects[0].low, winapi::FD_READ);
}

TEST_F(PairTest, ClosedSocketsQueuedNotificationsNeverReachItsSuccessor) {
  ASSERT_TRUE(RawSendAll(peer_, "x", 1));
  ASSERT_TRUE(PumpUntilQueued());
  SOCKET old = s_;
  winapi::closesocket(s_);
  // Lower free numbers go first; take them until the old number comes back.
  std::vector<SOCKET> fillers;
  for (s_ = winapi::socket(AF_INET, SOCK_STREAM, 0); s_ != old && fillers.size() < 16;) {
    fillers.push_back(s_);
    s_ = winapi::socket(AF_INET, SOCK_STREAM, 0);
  }
  ASSERT_EQ(s_, old);
  ASSERT_EQ(winapi::WSAAsyncSelect(s_, win_.hwnd(), kSelectMsg, kAll), 0);
  PumpUntil([] { return false; }, 100);
  EXPECT_TRUE(win_.selects.empty());
  for (SOCKET f : fillers) winapi::closesocket(f);
}

TEST_F(PairTest, IdleSocketDoesNotWakeTheThread) {
  ASSERT_TRUE(RawSendAll(peer_, "abc", 3));
  ASSERT_TRUE(PumpUntil([this] { return win_.Count(winapi::FD_READ) == 1; }));
  // Unread data after its FD_READ: nothing to do until recv.
  EXPECT_EQ(winapi::MsgWaitForMultipleObjects(0, nullptr, 0, 150, 0x1C5), winapi::WAIT_TIMEOUT);

  char buf[8];
  EXPECT_EQ(winapi::recv(s_, buf, sizeof buf, 0), 3);
  ::close(peer_);
  peer_ = -1;
  ASSERT_TRUE(PumpUntil([this] { return win_.Count(winapi::FD_CLOSE) == 1; }));
  // Closed by the peer and left open here: still quiet.
  EXPECT_EQ(winapi::MsgWaitForMultipleObjects(0, nullptr, 0, 150, 0x1C5), winapi::WAIT_TIMEOUT);
  PumpPending();
  EXPECT_EQ(win_.Count(winapi::FD_CLOSE), 1);
}

TEST(AcceptTest, EachPendingConnectionIsAnnouncedOnce) {
  Started started;
  NotifyWindow win;
  sockaddr_in addr;
  SOCKET listener = Listen(addr);
  std::vector<SOCKET> accepted;
  win.onSelect = [&](const Note& n) {
    if (n.low != winapi::FD_ACCEPT) return;
    SOCKET a = winapi::accept(listener, nullptr, nullptr);
    if (a != winapi::INVALID_SOCKET) accepted.push_back(a);
  };
  ASSERT_EQ(winapi::WSAAsyncSelect(listener, win.hwnd(), kSelectMsg, winapi::FD_ACCEPT), 0);
  int clients[3];
  for (int& c : clients) c = RawConnect(addr);  // all three wait before the first harvest

  ASSERT_TRUE(PumpUntil([&] { return accepted.size() == 3; }));
  PumpUntil([] { return false; }, 100);
  EXPECT_EQ(win.Count(winapi::FD_ACCEPT), 3);
  EXPECT_EQ(accepted.size(), 3u);

  // An accepted socket is not bound until asked; binding posts what is already true.
  ASSERT_TRUE(RawSendAll(clients[0], "z", 1));
  PumpUntil([] { return false; }, 50);
  EXPECT_EQ(win.selects.size(), 3u);
  winapi::WSAAsyncSelect(accepted[0], win.hwnd(), kSelectMsg, winapi::FD_READ | winapi::FD_WRITE);
  ASSERT_TRUE(PumpUntil([&] { return win.selects.size() == 5; }));
  EXPECT_EQ(win.Count(winapi::FD_READ), 1);
  EXPECT_EQ(win.Count(winapi::FD_WRITE), 1);

  for (int c : clients) ::close(c);
  for (SOCKET a : accepted) winapi::closesocket(a);
  winapi::closesocket(listener);
}

}  // namespace
