// Flow control: a sender that stops at a short send or a would-block and resumes on
// FD_WRITE gets all of a large transfer through to a reader that keeps it waiting.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "platform/tests/SockTestSupport.h"

namespace {

using namespace socktest;
using winapi::SOCKET;

TEST(FlowControlTest, LargeTransferCompletesThroughShortSendsAndWriteNotifications) {
  Started started;
  NotifyWindow win;
  constexpr size_t kSize = 8u << 20;
  std::string data(kSize, '\0');
  for (size_t i = 0; i < kSize; ++i) data[i] = static_cast<char>(i * 7 + (i >> 12));

  int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr = Loopback(0);
  ::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  ::listen(listener, 1);
  socklen_t len = sizeof addr;
  ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);

  std::string received;
  std::thread reader([&] {
    int peer = ::accept(listener, nullptr, nullptr);
    char buf[16 * 1024];
    for (ssize_t n; (n = ::recv(peer, buf, sizeof buf, 0)) > 0;) received.append(buf, static_cast<size_t>(n));
    ::close(peer);
  });

  SOCKET s = winapi::socket(AF_INET, SOCK_STREAM, 0);
  size_t sent = 0;
  int shortSends = 0, wouldBlocks = 0;
  bool done = false;
  win.onSelect = [&](const Note& n) {
    if (n.low != winapi::FD_WRITE || done) return;
    while (sent < kSize) {  // send until the system takes less than offered
      int chunk = static_cast<int>(std::min<size_t>(kSize - sent, 256 * 1024));
      int rc = winapi::send(s, data.data() + sent, chunk, 0);
      if (rc == winapi::SOCKET_ERROR) {
        ASSERT_EQ(winapi::WSAGetLastError(), winapi::WSAEWOULDBLOCK);
        ++wouldBlocks;
        return;
      }
      sent += static_cast<size_t>(rc);
      if (rc < chunk) {
        ++shortSends;
        return;
      }
    }
    done = true;
    winapi::shutdown(s, SHUT_WR);
  };
  ASSERT_EQ(winapi::WSAAsyncSelect(s, win.hwnd(), kSelectMsg, winapi::FD_WRITE | winapi::FD_CONNECT), 0);
  winapi::connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr);

  EXPECT_TRUE(PumpUntil([&] { return done; }, 10000));
  reader.join();
  EXPECT_EQ(received.size(), kSize);
  EXPECT_TRUE(received == data);
  EXPECT_GT(shortSends + wouldBlocks, 0);  // the buffers did fill up
  winapi::closesocket(s);
  ::close(listener);
}

}  // namespace
