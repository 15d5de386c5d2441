// Notifications that must come exactly once. A receive loop that reads many times
// per read notification leaves at most one read notification waiting (without that,
// every receive that leaves data would queue one more, and a large transfer fills
// the thread's queue); yet the successor of a closed socket still gets its first one,
// and a send refused outright is followed by one write notification.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "platform/tests/SockTestSupport.h"

namespace {

using namespace socktest;

TEST(SelectCoalesceTest, ManyReceivesPerNotificationQueueOneReadNotification) {
  Started started;
  NotifyWindow win;
  sockaddr_in addr{};
  const winapi::SOCKET listener = Listen(addr);
  const int peer = RawConnect(addr);
  ASSERT_GE(peer, 0);
  const winapi::SOCKET s = winapi::accept(listener, nullptr, nullptr);
  ASSERT_NE(s, winapi::INVALID_SOCKET);
  const std::string data(64 * 1024, 'x');
  ASSERT_TRUE(RawSendAll(peer, data.data(), data.size()));
  ASSERT_EQ(winapi::WSAAsyncSelect(s, win.hwnd(), kSelectMsg, winapi::FD_READ | winapi::FD_CLOSE), 0);

  // Take the first read notification off the queue without dispatching it, then
  // receive 50 times as a receive loop would.
  winapi::MSG msg{};
  bool got = false;
  for (int waits = 0; !got && waits < 40; ++waits) {
    got = winapi::PeekMessage(&msg, nullptr, 0, 0, winapi::PM_REMOVE) != 0;
    if (!got) winapi::MsgWaitForMultipleObjects(0, nullptr, 0, 50, 0);
  }
  ASSERT_TRUE(got);
  ASSERT_EQ(msg.message, kSelectMsg);
  ASSERT_EQ(winapi::LOWORD(static_cast<uintptr_t>(msg.lParam)), winapi::FD_READ);
  char buf[100];
  for (int i = 0; i < 50; ++i) ASSERT_EQ(winapi::recv(s, buf, sizeof buf, 0), 100);

  int reads = 0;
  while (winapi::PeekMessage(&msg, nullptr, 0, 0, winapi::PM_REMOVE))
    if (msg.message == kSelectMsg && winapi::LOWORD(static_cast<uintptr_t>(msg.lParam)) == winapi::FD_READ)
      ++reads;
  EXPECT_EQ(reads, 1);

  // Once that one is taken, the next receive that leaves data posts again.
  ASSERT_EQ(winapi::recv(s, buf, sizeof buf, 0), 100);
  ASSERT_TRUE(winapi::PeekMessage(&msg, nullptr, 0, 0, winapi::PM_REMOVE));
  EXPECT_EQ(winapi::LOWORD(static_cast<uintptr_t>(msg.lParam)), winapi::FD_READ);

  winapi::closesocket(s);
  winapi::closesocket(listener);
  ::close(peer);
}

// The next socket gets the closed one's number; its identical first read
// notification must not be taken for the one the close purged.
TEST(SelectCoalesceTest, SuccessorOfAClosedSocketGetsItsOwnFirstReadNotification) {
  Started started;
  NotifyWindow win;
  sockaddr_in addr{};
  const winapi::SOCKET listener = Listen(addr);
  const int peer1 = RawConnect(addr);
  const int peer2 = RawConnect(addr);  // before the close, so it does not take the number
  const winapi::SOCKET first = winapi::accept(listener, nullptr, nullptr);
  ASSERT_NE(first, winapi::INVALID_SOCKET);
  ASSERT_EQ(winapi::WSAAsyncSelect(first, win.hwnd(), kSelectMsg, winapi::FD_READ), 0);
  ASSERT_TRUE(RawSendAll(peer1, "x", 1));
  winapi::MSG msg{};
  for (int waits = 0; waits < 200 && !winapi::PeekMessage(&msg, nullptr, 0, 0, winapi::PM_NOREMOVE); ++waits)
    winapi::MsgWaitForMultipleObjects(0, nullptr, 0, 10, 0x1C5);
  ASSERT_EQ(msg.message, kSelectMsg);
  winapi::closesocket(first);

  const winapi::SOCKET second = winapi::accept(listener, nullptr, nullptr);
  ASSERT_EQ(second, first);
  ASSERT_EQ(winapi::WSAAsyncSelect(second, win.hwnd(), kSelectMsg, winapi::FD_READ), 0);
  ASSERT_TRUE(RawSendAll(peer2, "y", 1));
  EXPECT_TRUE(PumpUntil([&] { return win.Count(winapi::FD_READ) == 1; }));
  winapi::closesocket(second);
  winapi::closesocket(listener);
  ::close(peer1);
  ::close(peer2);
}

// A send the system refuses at once (no short send before it) arms the write
// notification as a short send does: exactly one comes when there is room.
TEST(SelectCoalesceTest, WouldBlockAloneBringsExactlyOneWriteNotification) {
  Started started;
  NotifyWindow win;
  sockaddr_in addr{};
  const winapi::SOCKET listener = Listen(addr);
  const int peer = RawConnect(addr);
  const winapi::SOCKET s = winapi::accept(listener, nullptr, nullptr);
  ASSERT_NE(s, winapi::INVALID_SOCKET);
  ASSERT_EQ(winapi::WSAAsyncSelect(s, win.hwnd(), kSelectMsg, winapi::FD_WRITE), 0);
  ASSERT_TRUE(PumpUntil([&] { return win.Count(winapi::FD_WRITE) == 1; }));  // the first one
  win.selects.clear();
  const int small = 4096;  // small buffers fill after a few thousand sends
  ::setsockopt(s, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  ::setsockopt(peer, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  // One-byte sends are never short: the first failure is a would-block alone.
  int refused = 0;
  for (int i = 0; i < 10000000 && refused == 0; ++i) {
    if (winapi::send(s, "z", 1, 0) == winapi::SOCKET_ERROR) refused = winapi::WSAGetLastError();
  }
  ASSERT_EQ(refused, winapi::WSAEWOULDBLOCK);
  std::thread drain([peer] {
    char buf[4096];
    while (::recv(peer, buf, sizeof buf, 0) > 0) {
    }
  });
  EXPECT_TRUE(PumpUntil([&] { return win.Count(winapi::FD_WRITE) == 1; }));
  PumpUntil([] { return false; }, 100);
  EXPECT_EQ(win.Count(winapi::FD_WRITE), 1);
  ::shutdown(peer, SHUT_RDWR);
  drain.join();
  winapi::closesocket(s);
  winapi::closesocket(listener);
  ::close(peer);
}

// A thread whose own posts keep its queue from ever running dry still hears its
// sockets: the readiness is looked at after a bounded number of retrievals.
TEST(BusyThread, SocketNotificationsArriveWithinBoundedRetrievals) {
  Started started;
  NotifyWindow here;
  sockaddr_in addr;
  winapi::SOCKET listener = Listen(addr);
  int peer = RawConnect(addr);
  winapi::SOCKET s = winapi::INVALID_SOCKET;
  ASSERT_TRUE(
      PumpUntil([&] { return (s = winapi::accept(listener, nullptr, nullptr)) != winapi::INVALID_SOCKET; }));
  ASSERT_EQ(winapi::WSAAsyncSelect(s, here.hwnd(), kSelectMsg, winapi::FD_READ), 0);
  PumpPending();
  ASSERT_TRUE(winapi::PostMessage(here.hwnd(), winapi::WM_USER, 0, 0));
  ASSERT_TRUE(RawSendAll(peer, "x", 1));
  pollfd readable{static_cast<int>(s), POLLIN, 0};
  ASSERT_EQ(::poll(&readable, 1, 5000), 1);  // the data is there; only a harvest can see it
  int retrievals = 0;
  while (here.Count(winapi::FD_READ) == 0 && retrievals < 1000) {
    winapi::MSG m;
    ASSERT_TRUE(winapi::PeekMessage(&m, nullptr, 0, 0, winapi::PM_REMOVE));
    ++retrievals;
    if (m.message == winapi::WM_USER) winapi::PostMessage(here.hwnd(), winapi::WM_USER, 0, 0);
    winapi::DispatchMessage(&m);
  }
  // 16 retrievals may skip the look at the sockets; the notification then queues
  // behind the one post ahead of it.
  EXPECT_LE(retrievals, 20);
  EXPECT_EQ(here.Count(winapi::FD_READ), 1);
  PumpPending();
  ::close(peer);
  winapi::closesocket(s);
  winapi::closesocket(listener);
}

}  // namespace
