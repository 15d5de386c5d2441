// Host lookups: completions as messages, results owned by the request, cancellation
// before and after completion. Only "localhost" is resolved for real; every other
// name goes through the resolver hook.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>

#include "platform/tests/SockTestSupport.h"

namespace {

using namespace socktest;
using winapi::HANDLE;

// The fake resolver: "gate" notes that the worker reached it and blocks until
// released, "mark" notes it too, "many" has 300 addresses, "dual.test" has both
// families, and anything else but "one.test" is not found.
struct Gate {
  std::mutex mu;
  std::condition_variable cv;
  bool open = true;
  bool marked = false;
};
Gate& TheGate() {
  static Gate* gate = new Gate;
  return *gate;
}

int FakeResolver(const std::string& name, bool byAddr, winapi::HostEntry& out) {
  if (name == "mark" || name == "gate") {
    std::lock_guard lock(TheGate().mu);
    TheGate().marked = true;
    TheGate().cv.notify_all();
  }
  if (name == "gate") {
    std::unique_lock lock(TheGate().mu);
    TheGate().cv.wait(lock, [] { return TheGate().open; });
  }
  if (byAddr && name == "10.1.2.3") {
    out.officialName = "reverse.test";
    out.addrs = {::inet_addr("10.1.2.3")};
    return 0;
  }
  if (name == "one.test" || name == "gate") {
    out.officialName = name;
    out.aliases = {"alias.test"};
    out.addrs = {::inet_addr("10.0.0.1")};
    return 0;
  }
  if (name == "dual.test") {
    out.officialName = name;
    out.addrs = {::inet_addr("10.0.0.1"), ::inet_addr("10.0.0.2")};
    in6_addr a6{};
    ::inet_pton(AF_INET6, "2001:db8::1", &a6);
    out.addrs6 = {a6};
    return 0;
  }
  if (name == "many") {
    out.officialName = "many.test";
    for (uint32_t i = 0; i < 300; ++i) out.addrs.push_back(htonl(0x0A000000u + i));
    return 0;
  }
  return winapi::WSAHOST_NOT_FOUND;
}

class LookupTest : public ::testing::Test {
 protected:
  void SetUp() override { winapi::SetResolverHookForTesting(FakeResolver); }
  void TearDown() override {
    SetGate(true);
    winapi::SetResolverHookForTesting(nullptr);
  }
  static void SetGate(bool open) {
    std::lock_guard lock(TheGate().mu);
    TheGate().open = open;
    TheGate().marked = false;
    TheGate().cv.notify_all();
  }
  static bool WaitMarked() {
    std::unique_lock lock(TheGate().mu);
    return TheGate().cv.wait_for(lock, std::chrono::seconds(10), [] { return TheGate().marked; });
  }
  HANDLE ByName(const char* name, char* buf = nullptr, int len = 0) {
    return winapi::WSAAsyncGetHostByName(win_.hwnd(), kLookupMsg, name, buf, len);
  }
  // The completion of h, after pumping until it arrived.
  const Note* Completion(HANDLE h) {
    auto find = [this, h]() -> const Note* {
      for (const Note& n : win_.lookups) {
        if (n.wParam == h) return &n;
      }
      return nullptr;
    };
    PumpUntil([&] { return find() != nullptr; });
    return find();
  }

  Started started_;
  NotifyWindow win_;
};

TEST_F(LookupTest, LocalhostResolvesForReal) {
  winapi::SetResolverHookForTesting(nullptr);
  HANDLE h = ByName("localhost");
  ASSERT_NE(h, 0u);
  const Note* done = Completion(h);
  ASSERT_NE(done, nullptr);
  EXPECT_EQ(done->error, 0);
  winapi::HostEntry entry;
  ASSERT_EQ(winapi::WSATakeHostEntry(h, entry), 0);
  ASSERT_FALSE(entry.addrs.empty());
  EXPECT_EQ(entry.addrs[0], htonl(INADDR_LOOPBACK));
  EXPECT_EQ(winapi::WSATakeHostEntry(h, entry), winapi::WSAEINVAL);  // taken once

  hostent* he = winapi::gethostbyname("localhost");
  ASSERT_NE(he, nullptr);
  uint32_t first;
  std::memcpy(&first, he->h_addr_list[0], 4);
  EXPECT_EQ(first, htonl(INADDR_LOOPBACK));
}

// The system's two-family path, on a literal: no name leaves the machine (this
// host's files may not map localhost to ::1).
TEST_F(LookupTest, LiteralResolvesForRealInTheTwoFamilyLookup) {
  winapi::SetResolverHookForTesting(nullptr);
  HANDLE h = winapi::WSAAsyncGetAddrInfo(win_.hwnd(), kLookupMsg, "::1", AF_UNSPEC);
  const Note* done = Completion(h);
  ASSERT_NE(done, nullptr);
  ASSERT_EQ(done->error, 0);
  winapi::HostEntry entry;
  ASSERT_EQ(winapi::WSATakeHostEntry(h, entry), 0);
  ASSERT_FALSE(entry.addrs6.empty());
  EXPECT_TRUE(IN6_IS_ADDR_LOOPBACK(&entry.addrs6[0]));
  EXPECT_TRUE(entry.addrs.empty());
}

// A two-family lookup keeps exactly the families it asked for; a name without an
// address of the asked family is no data, not an empty success.
TEST_F(LookupTest, FamilyLookupsKeepWhatTheyAskedFor) {
  struct Case {
    const char* name;
    int family;
    int error;
    size_t v4, v6;
  };
  const Case cases[] = {{"dual.test", AF_UNSPEC, 0, 2, 1},
                        {"dual.test", AF_INET6, 0, 0, 1},
                        {"dual.test", AF_INET, 0, 2, 0},
                        {"one.test", AF_INET6, winapi::WSANO_DATA, 0, 0},
                        {"nowhere.test", AF_UNSPEC, winapi::WSAHOST_NOT_FOUND, 0, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " family " + std::to_string(c.family));
    HANDLE h = winapi::WSAAsyncGetAddrInfo(win_.hwnd(), kLookupMsg, c.name, c.family);
    ASSERT_NE(h, 0u);
    const Note* done = Completion(h);
    ASSERT_NE(done, nullptr);
    EXPECT_EQ(done->error, c.error);
    winapi::HostEntry entry;
    EXPECT_EQ(winapi::WSATakeHostEntry(h, entry), c.error == 0 ? 0 : winapi::WSAEINVAL);
    EXPECT_EQ(entry.addrs.size(), c.v4);
    EXPECT_EQ(entry.addrs6.size(), c.v6);
  }
  EXPECT_EQ(winapi::WSAAsyncGetAddrInfo(win_.hwnd(), kLookupMsg, "dual.test", AF_UNIX), 0u);
  EXPECT_EQ(winapi::WSAGetLastError(), winapi::WSAEAFNOSUPPORT);
}

// Cancelled while the worker is inside the resolver: the answer that comes back
// afterwards is dropped; no message, no result left to take.
TEST_F(LookupTest, TwoFamilyLookupCancelledMidwayLeavesNothing) {
  SetGate(false);
  HANDLE h = winapi::WSAAsyncGetAddrInfo(win_.hwnd(), kLookupMsg, "gate", AF_UNSPEC);
  ASSERT_TRUE(WaitMarked());
  EXPECT_EQ(winapi::WSACancelAsyncRequest(h), 0);
  SetGate(true);
  HANDLE later = winapi::WSAAsyncGetAddrInfo(win_.hwnd(), kLookupMsg, "dual.test", AF_UNSPEC);
  ASSERT_NE(Completion(later), nullptr);
  for (const Note& n : win_.lookups) EXPECT_NE(n.wParam, h);
  winapi::HostEntry entry;
  EXPECT_EQ(winapi::WSATakeHostEntry(h, entry), winapi::WSAEINVAL);
  EXPECT_EQ(winapi::WSACancelAsyncRequest(h), winapi::SOCKET_ERROR);
}

TEST_F(LookupTest, UnknownNameCompletesWithHostNotFound) {
  HANDLE h = ByName("nowhere.test");
  const Note* done = Completion(h);
  ASSERT_NE(done, nullptr);
  EXPECT_EQ(done->error, winapi::WSAHOST_NOT_FOUND);
  winapi::HostEntry entry;
  EXPECT_EQ(winapi::WSATakeHostEntry(h, entry), winapi::WSAEINVAL);

  EXPECT_EQ(winapi::gethostbyname("nowhere.test"), nullptr);
  EXPECT_EQ(winapi::WSAGetLastError(), winapi::WSAHOST_NOT_FOUND);
}

TEST_F(LookupTest, CancelBeforeCompletionPostsNothing) {
  SetGate(false);
  HANDLE busy = ByName("gate");  // holds the worker
  HANDLE victim = ByName("one.test");
  EXPECT_EQ(winapi::WSACancelAsyncRequest(victim), 0);
  SetGate(true);
  HANDLE later = ByName("one.test");  // completes after where victim's would have come
  ASSERT_NE(Completion(later), nullptr);
  EXPECT_NE(Completion(busy), nullptr);
  for (const Note& n : win_.lookups) EXPECT_NE(n.wParam, victim);
  winapi::HostEntry entry;
  EXPECT_EQ(winapi::WSATakeHostEntry(victim, entry), winapi::WSAEINVAL);
}

TEST_F(LookupTest, CancelAfterCompletionDropsTheResultAndSaysAlready) {
  HANDLE h = ByName("one.test");
  ASSERT_NE(Completion(h), nullptr);
  EXPECT_EQ(winapi::WSACancelAsyncRequest(h), winapi::SOCKET_ERROR);
  EXPECT_EQ(winapi::WSAGetLastError(), winapi::WSAEALREADY);
  winapi::HostEntry entry;
  EXPECT_EQ(winapi::WSATakeHostEntry(h, entry), winapi::WSAEINVAL);
  EXPECT_EQ(winapi::WSACancelAsyncRequest(0), winapi::SOCKET_ERROR);
  EXPECT_EQ(winapi::WSAGetLastError(), winapi::WSAEINVAL);
}

TEST_F(LookupTest, CompletionMeetingAFullQueueArrivesOnceThereIsRoom) {
  while (winapi::PostMessage(win_.hwnd(), winapi::WM_USER + 99, 0, 0)) {
  }
  ASSERT_EQ(winapi::GetLastError(), winapi::ERROR_NOT_ENOUGH_QUOTA);
  HANDLE h = ByName("one.test");
  HANDLE marker = ByName("mark");
  // One worker, first in first out: when it reaches "mark", h's completion has met
  // the full queue.
  ASSERT_TRUE(WaitMarked());
  const Note* done = Completion(h);
  ASSERT_NE(done, nullptr);
  EXPECT_EQ(done->error, 0);
  winapi::HostEntry entry;
  EXPECT_EQ(winapi::WSATakeHostEntry(h, entry), 0);
  EXPECT_NE(Completion(marker), nullptr);
}

TEST_F(LookupTest, ResultKeepsEveryAddressInOrder) {
  HANDLE h = ByName("many");
  ASSERT_NE(Completion(h), nullptr);
  winapi::HostEntry entry;
  ASSERT_EQ(winapi::WSATakeHostEntry(h, entry), 0);
  ASSERT_EQ(entry.addrs.size(), 300u);
  for (uint32_t i = 0; i < 300; ++i) EXPECT_EQ(ntohl(entry.addrs[i]), 0x0A000000u + i);
}

TEST_F(LookupTest, CallerBufferGetsAHostentOrTheSizeNeeded) {
  alignas(8) char small[64];
  HANDLE h = ByName("many", small, sizeof small);
  const Note* tooSmall = Completion(h);
  ASSERT_NE(tooSmall, nullptr);
  EXPECT_EQ(tooSmall->error, winapi::WSAENOBUFS);
  EXPECT_GT(tooSmall->low, 300 * 4);

  char buf[winapi::MAXGETHOSTSTRUCT + 1];
  h = ByName("one.test", buf + 1, sizeof buf - 1);  // deliberately misaligned
  const Note* done = Completion(h);
  ASSERT_NE(done, nullptr);
  EXPECT_EQ(done->error, 0);
  hostent he;
  std::memcpy(&he, buf + 1 + (8 - reinterpret_cast<uintptr_t>(buf + 1) % 8) % 8, sizeof he);
  EXPECT_STREQ(he.h_name, "one.test");
  EXPECT_STREQ(he.h_aliases[0], "alias.test");
  EXPECT_EQ(he.h_aliases[1], nullptr);
  uint32_t addr;
  std::memcpy(&addr, he.h_addr_list[0], 4);
  EXPECT_EQ(addr, ::inet_addr("10.0.0.1"));
  EXPECT_EQ(he.h_addr_list[1], nullptr);
}

TEST_F(LookupTest, AddressLookupsUseTheHookToo) {
  uint32_t addr = ::inet_addr("10.1.2.3");
  HANDLE h = winapi::WSAAsyncGetHostByAddr(win_.hwnd(), kLookupMsg, reinterpret_cast<const char*>(&addr), 4,
                                           AF_INET, nullptr, 0);
  const Note* done = Completion(h);
  ASSERT_NE(done, nullptr);
  EXPECT_EQ(done->error, 0);
  winapi::HostEntry entry;
  ASSERT_EQ(winapi::WSATakeHostEntry(h, entry), 0);
  EXPECT_EQ(entry.officialName, "reverse.test");

  hostent* he = winapi::gethostbyaddr(reinterpret_cast<const char*>(&addr), 4, AF_INET);
  ASSERT_NE(he, nullptr);
  EXPECT_STREQ(he->h_name, "reverse.test");
}

}  // namespace
