// A socket rebound to a window of another thread is harvested by that thread from
// then on, and closing it from a third thread while it is armed does not hang.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <future>
#include <mutex>
#include <string>
#include <thread>

#include "platform/tests/SockTestSupport.h"

namespace {

using namespace socktest;
using winapi::SOCKET;

TEST(ThreadMoveTest, NotificationsFollowTheWindowToItsThread) {
  Started started;
  NotifyWindow here;
  sockaddr_in addr;
  SOCKET listener = Listen(addr);
  int peer = RawConnect(addr);
  SOCKET s = winapi::INVALID_SOCKET;
  ASSERT_TRUE(
      PumpUntil([&] { return (s = winapi::accept(listener, nullptr, nullptr)) != winapi::INVALID_SOCKET; }));
  ASSERT_EQ(winapi::WSAAsyncSelect(s, here.hwnd(), kSelectMsg, winapi::FD_READ | winapi::FD_CLOSE), 0);

  std::promise<winapi::HWND> windowMade;
  std::string gotThere;
  int closesThere = 0;
  std::thread other([&] {
    NotifyWindow there;
    there.onSelect = [&](const Note& n) {
      char buf[64];
      int rc = n.low == winapi::FD_READ ? winapi::recv(s, buf, sizeof buf, 0) : 0;
      if (rc > 0) gotThere.append(buf, static_cast<size_t>(rc));
      if (n.low == winapi::FD_CLOSE) ++closesThere;
    };
    windowMade.set_value(there.hwnd());
    PumpUntil([&] { return closesThere == 1; });
  });
  winapi::HWND thereHwnd = windowMade.get_future().get();
  ASSERT_EQ(winapi::WSAAsyncSelect(s, thereHwnd, kSelectMsg, winapi::FD_READ | winapi::FD_CLOSE), 0);
  ASSERT_TRUE(RawSendAll(peer, "moved", 5));
  ::close(peer);
  other.join();
  PumpPending();  // nothing arrives here: the other thread got the data and the close
  EXPECT_TRUE(here.selects.empty());
  EXPECT_EQ(gotThere, "moved");
  EXPECT_EQ(closesThere, 1);
  winapi::closesocket(s);
  winapi::closesocket(listener);
}

TEST(ThreadMoveTest, CloseFromAnotherThreadWhileTheOwnerHarvests) {
  Started started;
  NotifyWindow here;
  sockaddr_in addr;
  SOCKET listener = Listen(addr);
  for (int i = 0; i < 20; ++i) {
    int client = RawConnect(addr);
    SOCKET s = winapi::INVALID_SOCKET;
    ASSERT_TRUE(PumpUntil(
        [&] { return (s = winapi::accept(listener, nullptr, nullptr)) != winapi::INVALID_SOCKET; }));
    winapi::WSAAsyncSelect(s, here.hwnd(), kSelectMsg, winapi::FD_READ | winapi::FD_CLOSE);
    // The handler's recv and the close are kept apart (a recv on a closed number is
    // the caller's own race); the harvest is not, which is the point.
    std::mutex handlerMu;
    std::atomic<bool> closed{false};
    here.onSelect = [&, s](const Note& n) {
      std::lock_guard lock(handlerMu);
      char buf[256];
      if (n.low == winapi::FD_READ && !closed) winapi::recv(s, buf, sizeof buf, 0);
    };
    std::thread closer([&, s] {
      for (int k = 0; k < 50; ++k) RawSendAll(client, "0123456789", 10);
      std::lock_guard lock(handlerMu);
      winapi::closesocket(s);
      closed = true;
      winapi::PostMessage(here.hwnd(), winapi::WM_USER, 0, 0);  // wake the pump
    });
    EXPECT_TRUE(PumpUntil([&] { return closed.load(); }));
    closer.join();
    ::close(client);
  }
  here.onSelect = nullptr;
  winapi::closesocket(listener);
  PumpPending();
}

}  // namespace
