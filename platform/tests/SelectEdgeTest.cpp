// Datagram sockets (read from readiness, an empty datagram included) and a socket
// whose window is destroyed while it is still bound.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>

#include "platform/tests/SockTestSupport.h"

namespace {

using namespace socktest;
using winapi::SOCKET;

TEST(DatagramTest, EveryDatagramIsAnnouncedEvenAnEmptyOne) {
  Started started;
  NotifyWindow win;
  SOCKET s = winapi::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in addr = Loopback(0);
  ASSERT_EQ(winapi::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  int len = sizeof addr;
  winapi::getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len);
  std::vector<int> sizes;
  win.onSelect = [&](const Note& n) {
    char buf[64];
    if (n.low == winapi::FD_READ) sizes.push_back(winapi::recvfrom(s, buf, sizeof buf, 0, nullptr, nullptr));
  };
  ASSERT_EQ(winapi::WSAAsyncSelect(s, win.hwnd(), kSelectMsg, winapi::FD_READ | winapi::FD_WRITE), 0);

  int peer = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ::sendto(peer, "", 0, 0, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  ::sendto(peer, "abc", 3, 0, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  ASSERT_TRUE(PumpUntil([&] { return sizes.size() == 2; }));
  EXPECT_EQ(sizes[0], 0);
  EXPECT_EQ(sizes[1], 3);
  EXPECT_EQ(win.Count(winapi::FD_WRITE), 1);  // writable when bound
  ::close(peer);
  winapi::closesocket(s);
}

TEST(DestroyedWindowTest, BoundSocketGoesQuietWhenItsWindowIsDestroyed) {
  Started started;
  sockaddr_in addr;
  SOCKET listener = Listen(addr);
  int peer = RawConnect(addr);
  SOCKET s = winapi::INVALID_SOCKET;
  ASSERT_TRUE(
      PumpUntil([&] { return (s = winapi::accept(listener, nullptr, nullptr)) != winapi::INVALID_SOCKET; }));
  auto win = std::make_unique<NotifyWindow>();
  ASSERT_EQ(winapi::WSAAsyncSelect(s, win->hwnd(), kSelectMsg, winapi::FD_READ | winapi::FD_CLOSE), 0);
  win.reset();
  ASSERT_TRUE(RawSendAll(peer, "data", 4));
  ::close(peer);
  PumpUntil([] { return false; }, 50);  // the harvest finds nobody to tell
  EXPECT_EQ(winapi::MsgWaitForMultipleObjects(0, nullptr, 0, 100, 0x1C5), winapi::WAIT_TIMEOUT);
  winapi::closesocket(s);
  winapi::closesocket(listener);
}

}  // namespace
