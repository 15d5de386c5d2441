// The connection race on loopback: both families answering, IPv6 refused, IPv6
// silent (a listener whose accept queue is full drops the SYN), IPv4 only, one
// attempt at a time, nothing answering; and a winner taken over by a socket.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "net/ConnectRace.h"
#include "net/tests/WSocketTestSupport.h"
#include "testsupport/Process.h"

namespace net::testing {
namespace {

// A raw listener on ::1 or 127.0.0.1; closed with the object.
struct Listener {
  int fd = -1;
  ~Listener() {
    if (fd >= 0) ::close(fd);
  }
  bool Open(int family, uint16_t port, int backlog) {
    fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_storage a{};
    socklen_t len;
    if (family == AF_INET6) {
      ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
      auto& s6 = reinterpret_cast<sockaddr_in6&>(a);
      s6.sin6_family = AF_INET6;
      s6.sin6_addr = in6addr_loopback;
      s6.sin6_port = htons(port);
      len = sizeof s6;
    } else {
      auto& s4 = reinterpret_cast<sockaddr_in&>(a);
      s4.sin_family = AF_INET;
      s4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      s4.sin_port = htons(port);
      len = sizeof s4;
    }
    return ::bind(fd, reinterpret_cast<sockaddr*>(&a), len) == 0 && ::listen(fd, backlog) == 0;
  }
};

// With a backlog of 0 one connection fills the accept queue; the system then
// drops further SYNs, so the next attempt hears nothing.
int FillAcceptQueue(uint16_t port) {
  const int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in6 a{};
  a.sin6_family = AF_INET6;
  a.sin6_addr = in6addr_loopback;
  a.sin6_port = htons(port);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

enum class V6 { listening, refused, silent };

struct Case {
  const char* name;
  std::vector<std::string> addrs;
  V6 v6;
  bool race;
  uint16_t doneError;
  std::vector<std::pair<std::string, TAttemptResult>> attempts;
};

class ConnectRace : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testsupport::IPv6LoopbackAvailable()) GTEST_SKIP() << "no IPv6 loopback here";
  }
  // A port free in both families.
  uint16_t PortForBoth() {
    for (int i = 0; i < 20; ++i) {
      const uint16_t p = testsupport::FreePort();
      Listener probe;
      if (probe.Open(AF_INET6, p, 1)) return p;
    }
    return 0;
  }
};

TEST_F(ConnectRace, AttemptsAndTheirResults) {
  using R = TAttemptResult;
  const Case cases[] = {
      {"both answer: IPv6 wins", {"::1", "127.0.0.1"}, V6::listening, true, 0, {{"::1", R::won}}},
      {"IPv6 refused: IPv4 at once",
       {"::1", "127.0.0.1"},
       V6::refused,
       true,
       0,
       {{"::1", R::failed}, {"127.0.0.1", R::won}}},
      {"IPv6 silent: IPv4 after the delay",
       {"::1", "127.0.0.1"},
       V6::silent,
       true,
       0,
       {{"::1", R::abandoned}, {"127.0.0.1", R::won}}},
      {"IPv4 only", {"127.0.0.1"}, V6::refused, true, 0, {{"127.0.0.1", R::won}}},
      {"no race: the given order", {"127.0.0.1", "::1"}, V6::listening, false, 0, {{"127.0.0.1", R::won}}},
      {"no race: next after a failure",
       {"::1", "127.0.0.1"},
       V6::refused,
       false,
       0,
       {{"::1", R::failed}, {"127.0.0.1", R::won}}},
      {"not a literal", {"host.test"}, V6::refused, true, winapi::WSAEINVAL, {{"host.test", R::failed}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const uint16_t port = PortForBoth();
    ASSERT_NE(port, 0);
    Listener v4, v6;
    ASSERT_TRUE(v4.Open(AF_INET, port, 8));
    int filler = -1;
    if (c.v6 != V6::refused) {
      ASSERT_TRUE(v6.Open(AF_INET6, port, c.v6 == V6::silent ? 0 : 8));
    }
    if (c.v6 == V6::silent) {
      ASSERT_GE(filler = FillAcceptQueue(port), 0);
    }

    auto race = core::MakeComponent<TConnectRace>(nullptr);
    std::vector<uint16_t> done;
    race->OnDone = [&](TConnectRace*, uint16_t e) { done.push_back(e); };
    race->Start(c.addrs, port, c.race);
    ASSERT_TRUE(PumpUntil([&] { return !done.empty(); }));
    PumpPending();
    EXPECT_EQ(done, std::vector<uint16_t>{c.doneError});
    const auto& attempts = race->Attempts();
    ASSERT_EQ(attempts.size(), c.attempts.size());
    for (size_t i = 0; i < attempts.size(); ++i) {
      EXPECT_EQ(attempts[i].addr, c.attempts[i].first) << i;
      EXPECT_EQ(attempts[i].result, c.attempts[i].second) << i << " " << AttemptResultText(attempts[i]);
      EXPECT_LE(attempts[i].startNs, attempts[i].endNs);
    }
    if (c.v6 == V6::refused && attempts.size() == 2) {
      EXPECT_EQ(attempts[0].error, winapi::WSAECONNREFUSED);
      EXPECT_GE(attempts[1].startNs, attempts[0].endNs);  // started by the failure
    }
    if (c.v6 == V6::silent) {
      // The next attempt waited for the delay (a timer never fires early).
      EXPECT_GE(attempts[1].startNs, int64_t{TConnectRace::kDefaultAttemptDelay} * 1000000);
      EXPECT_EQ(AttemptResultText(attempts[0]), "no answer");
    }
    const winapi::SOCKET winner = race->TakeWinner();
    EXPECT_EQ(winner != winapi::INVALID_SOCKET, c.doneError == 0);
    if (winner != winapi::INVALID_SOCKET) winapi::closesocket(winner);
    if (filler >= 0) ::close(filler);
  }
}

TEST(ConnectRaceOrder, FamiliesInterleaveStartingWithIPv6) {
  EXPECT_EQ(InterleaveFamilies({"10.0.0.1", "10.0.0.2", "2001:db8::1", "2001:db8::2", "2001:db8::3"}),
            (std::vector<std::string>{"2001:db8::1", "10.0.0.1", "2001:db8::2", "10.0.0.2", "2001:db8::3"}));
  EXPECT_EQ(InterleaveFamilies({"10.0.0.1", "10.0.0.2"}), (std::vector<std::string>{"10.0.0.1", "10.0.0.2"}));
}

// The winner's handle goes on in a socket as if the socket had connected it.
TEST_F(ConnectRace, SocketTakesTheWinnerOver) {
  const uint16_t port = PortForBoth();
  Listener v6;
  ASSERT_TRUE(v6.Open(AF_INET6, port, 8));
  auto race = core::MakeComponent<TConnectRace>(nullptr);
  bool raced = false;
  race->OnDone = [&](TConnectRace*, uint16_t) { raced = true; };
  race->Start({"::1"}, port, true);
  ASSERT_TRUE(PumpUntil([&] { return raced; }));
  EventLog log;  // outlives the socket, whose closing it hears
  auto s = core::MakeComponent<TWSocket>(nullptr);
  log.Attach(*s);
  s->SetAddr("::1");
  s->SetPort(std::to_string(port));
  s->ConnectHandle(race->TakeWinner());
  ASSERT_TRUE(PumpUntil([&] { return log.Has("connected 0"); })) << log.Text();
  EXPECT_EQ(s->State(), wsConnected);
  EXPECT_EQ(s->GetPeerAddr(), "::1");
  const int accepted = ::accept(v6.fd, nullptr, nullptr);
  ASSERT_GE(accepted, 0);
  s->SendStr("over");
  char buf[8] = {};
  EXPECT_EQ(::recv(accepted, buf, sizeof buf, 0), 4);
  ::close(accepted);
}

}  // namespace
}  // namespace net::testing
