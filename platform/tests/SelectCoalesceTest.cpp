// A receive loop that reads many times per read notification leaves at most one
// read notification waiting: without that, every receive that leaves data would
// queue one more, and a large transfer fills the thread's queue.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

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

}  // namespace
