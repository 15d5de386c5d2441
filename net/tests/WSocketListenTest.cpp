// The server and datagram side: Listen for stream, datagram and raw sockets and its
// refusals, accepting and adopting a connection, datagrams with explicit addresses,
// address reuse, multicast membership on the loopback interface, buffer sizes.
#include <gtest/gtest.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "net/tests/WSocketTestSupport.h"

namespace net::testing {
namespace {

// A socket set up for Listen on loopback with the system's choice of port.
core::ComponentPtr<TWSocket> ListenSocket(const std::string& proto, EventLog& log) {
  auto s = core::MakeComponent<TWSocket>(nullptr);
  log.Attach(*s);
  s->SetAddr("127.0.0.1");
  s->SetPort("0");
  s->SetProto(proto);
  return s;
}

// A datagram socket "connected" to port on loopback (no traffic until it sends).
core::ComponentPtr<TWSocket> DatagramClient(const std::string& addr, const std::string& port) {
  auto c = core::MakeComponent<TWSocket>(nullptr);
  c->SetProto("udp");
  c->SetAddr(addr);
  c->SetPort(port);
  c->SetLocalAddr("127.0.0.1");
  return c;
}

// The backlog the system keeps for the IPv4 TCP socket listening on port, as its
// socket diagnostics report it (the receive-queue field of a listener), or -1.
int SystemBacklogOf(uint16_t port) {
  const int nl = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
  if (nl < 0) return -1;
  struct {
    nlmsghdr h;
    inet_diag_req_v2 r;
  } req{};
  req.h.nlmsg_len = sizeof req;
  req.h.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  req.h.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  req.r.sdiag_family = AF_INET;
  req.r.sdiag_protocol = IPPROTO_TCP;
  req.r.idiag_states = 1u << 10;  // TCP_LISTEN
  int backlog = -1;
  if (::send(nl, &req, sizeof req, 0) == static_cast<ssize_t>(sizeof req)) {
    alignas(nlmsghdr) char buf[16384];
    bool done = false;
    while (!done) {
      int n = static_cast<int>(::recv(nl, buf, sizeof buf, 0));
      if (n <= 0) break;
      for (auto* h = reinterpret_cast<nlmsghdr*>(buf); NLMSG_OK(h, n); h = NLMSG_NEXT(h, n)) {
        if (h->nlmsg_type == NLMSG_DONE || h->nlmsg_type == NLMSG_ERROR) {
          done = true;
          break;
        }
        const auto* m = static_cast<const inet_diag_msg*>(NLMSG_DATA(h));
        if (ntohs(m->id.idiag_sport) == port) backlog = static_cast<int>(m->idiag_wqueue);
      }
    }
  }
  ::close(nl);
  return backlog;
}

TEST(WSocketListen, RefusalsNameWhatIsMissingOrWrong) {
  struct Case {
    std::string addr, port, proto, report;
  };
  const Case cases[] = {
      {"127.0.0.1", "", "tcp", "Invalid argument (#10022 in listen: port not assigned)"},
      {"127.0.0.1", "0", "", "Invalid argument (#10022 in listen: protocol not assigned)"},
      {"", "0", "tcp", "Invalid argument (#10022 in listen: address not assigned)"},
      {"127.0.0.1", "0", "nosuchproto",
       "listen: Winsock Resolve Proto: Cannot convert protocol 'nosuchproto' - No Data (#11004)"},
      {"127.0.0.1", "nosuchservice", "tcp",
       "listen: Winsock Resolve Port: Cannot convert port 'nosuchservice' - No Data (#11004)"},
      // Only the raw_ form gives a raw socket: "raw" is a stream of protocol 255.
      {"127.0.0.1", "0", "raw", "Protocol not supported (#10043 in socket)"},
  };
  for (const Case& c : cases) {
    auto s = core::MakeComponent<TWSocket>(nullptr);
    s->SetAddr(c.addr);
    s->SetPort(c.port);
    s->SetProto(c.proto);
    EXPECT_EQ(ReportOf([&] { s->Listen(); }), c.report) << c.proto << " " << c.port;
    EXPECT_EQ(s->State(), wsClosed);
  }
}

TEST(WSocketListen, StreamListensAcceptsAndAdoptsWithoutASessionEvent) {
  EventLog serverLog, adoptedLog;
  auto server = ListenSocket("tcp", serverLog);
  auto adopted = core::MakeComponent<TWSocket>(nullptr);
  adoptedLog.Attach(*adopted);
  int available = 0;
  server->OnSessionAvailable = [&](core::TComponent*, uint16_t e) {
    ++available;
    EXPECT_EQ(e, 0);
    adopted->Dup(server->Accept());
  };
  server->Listen();
  EXPECT_EQ(serverLog.Text(), "state wsBound; state wsListening; ");
  const std::string port = server->GetBoundPort();
  EXPECT_NE(port, "0");
  auto client = core::MakeComponent<TWSocket>(nullptr);
  client->SetAddr("127.0.0.1");
  client->SetPort(port);
  client->OnSessionConnected = [&](core::TComponent*, uint16_t) { client->SendStr("ping"); };
  std::string got;
  adopted->OnDataAvailable = [&](core::TComponent*, uint16_t) { got += adopted->ReceiveStr(); };
  client->Connect();
  ASSERT_TRUE(PumpUntil([&] { return got == "ping"; })) << got;
  EXPECT_EQ(available, 1);
  EXPECT_EQ(adoptedLog.Text(), "state wsConnected; sent 0; ");  // no session event
  EXPECT_EQ(adopted->GetPeerPort(), client->GetBoundPort());
  EXPECT_EQ(server->State(), wsListening);

  // Adopting another handle closes the current one without a session event.
  auto second = core::MakeComponent<TWSocket>(nullptr);
  second->SetAddr("127.0.0.1");
  second->SetPort(port);
  second->Connect();
  ASSERT_TRUE(PumpUntil([&] { return available == 2; }));
  EXPECT_EQ(adoptedLog.Text(), "state wsConnected; sent 0; state wsClosed; state wsConnected; sent 0; ");
  EXPECT_EQ(adopted->GetPeerPort(), second->GetBoundPort());
  ASSERT_TRUE(PumpUntil([&] { return client->State() == wsClosed; }));  // its peer went away
}

// A handler may close the socket from any event Listen raises; Listen then stops
// without a report.
TEST(WSocketListen, EventsThatCloseTheSocketEndListenQuietly) {
  struct Case {
    const char* proto;
    TSocketState closeAt;  // wsInvalidState: at the session event
  };
  for (const Case& c : {Case{"tcp", wsBound}, Case{"tcp", wsListening}, Case{"udp", wsBound},
                        Case{"udp", wsListening}, Case{"udp", wsConnected}, Case{"udp", wsInvalidState}}) {
    SCOPED_TRACE(std::string(c.proto) + " " + SocketStateName(c.closeAt));
    EventLog log;
    auto s = ListenSocket(c.proto, log);
    s->OnChangeState = [&](core::TComponent*, TSocketState, TSocketState n) {
      if (n == c.closeAt) s->Close();
    };
    s->OnSessionConnected = [&](core::TComponent*, uint16_t) {
      if (c.closeAt == wsInvalidState) s->Close();
    };
    EXPECT_EQ(ReportOf([&] { s->Listen(); }), "");
    EXPECT_EQ(s->State(), wsClosed);
    EXPECT_EQ(s->HSocket(), INVALID_SOCKET);
  }
}

// Listen takes the system's buffer sizes and the backlog to the system; a second
// Listen is refused and leaves the first handle in place.
TEST(WSocketListen, BufferSizesBacklogAndASecondListen) {
  EventLog log;
  auto s = ListenSocket("tcp", log);
  s->SetListenBacklog(3);
  s->Listen();
  EXPECT_GT(s->SocketRcvBufSize(), 0);
  EXPECT_GT(s->SocketSndBufSize(), 0);
  const std::string port = s->GetBoundPort();
  EXPECT_EQ(SystemBacklogOf(static_cast<uint16_t>(std::stoi(port))), 3);
  const SOCKET first = s->HSocket();
  EXPECT_EQ(ReportOf([&] { s->Listen(); }), "Listen: Socket already in use");
  EXPECT_EQ(s->HSocket(), first);
  EXPECT_EQ(s->State(), wsListening);
  EXPECT_EQ(s->GetBoundPort(), port);
}

// Accept writes the peer's address into the listening socket's address record.
TEST(WSocketListen, AcceptFillsThePeerAddress) {
  auto server = core::MakeComponent<TTestSocket>(nullptr);
  server->SetAddr("0.0.0.0");
  server->SetPort("0");
  SOCKET accepted = INVALID_SOCKET;
  server->OnSessionAvailable = [&](core::TComponent*, uint16_t) { accepted = server->Accept(); };
  server->Listen();
  auto client = core::MakeComponent<TWSocket>(nullptr);
  client->SetAddr("127.0.0.1");
  client->SetPort(server->GetBoundPort());
  client->Connect();
  ASSERT_TRUE(PumpUntil([&] { return accepted != INVALID_SOCKET && client->State() == wsConnected; }));
  EXPECT_EQ(server->SinAddr(), htonl(INADDR_LOOPBACK));
  EXPECT_EQ(std::to_string(server->SinPort()), client->GetBoundPort());
  winapi::closesocket(accepted);
}

TEST(WSocketListen, DupRefusesAnInvalidHandle) {
  auto s = core::MakeComponent<TWSocket>(nullptr);
  for (SOCKET h : {SOCKET{0}, INVALID_SOCKET})
    EXPECT_EQ(ReportOf([&] { s->Dup(h); }), "Invalid argument (#10022 in Dup)");
  EXPECT_EQ(s->State(), wsClosed);
}

TEST(WSocketListen, DatagramReceivesFromAndSendsToItsSender) {
  EventLog log;
  auto server = ListenSocket("udp", log);
  server->OnDataAvailable = [&](core::TComponent*, uint16_t) {
    char buf[100];
    sockaddr_in from{};
    int fromLen = sizeof from;
    const int n = server->ReceiveFrom(buf, sizeof buf, from, fromLen);
    if (n > 0) server->SendTo(from, fromLen, buf, n);
  };
  server->Listen();
  EXPECT_EQ(log.Text(), "state wsBound; state wsListening; state wsConnected; connected 0; ");
  PumpPending();
  const size_t sentBefore = log.Count("sent 0");  // the system's first "ready to send"
  auto client = DatagramClient("127.0.0.1", server->GetBoundPort());
  std::string echoed;
  client->OnDataAvailable = [&](core::TComponent*, uint16_t) {
    if (const std::string d = client->ReceiveStr(); !d.empty()) echoed += d + "|";
  };
  client->Connect();
  for (const char* d : {"one", "two", "three"}) client->SendStr(d);
  ASSERT_TRUE(PumpUntil([&] { return echoed == "one|two|three|"; })) << echoed;
  ASSERT_TRUE(PumpUntil([&] { return log.Count("sent 0") == sentBefore + 3; }))
      << log.Text();  // one per SendTo
  EXPECT_EQ(server->ReadCount(), 11);
}

bool LoopbackV6Available() {
  const int fd = ::socket(AF_INET6, SOCK_STREAM, 0);
  sockaddr_in6 a{};
  a.sin6_family = AF_INET6;
  a.sin6_addr = in6addr_loopback;
  const bool ok = fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  if (fd >= 0) ::close(fd);
  return ok;
}

// Both kinds of socket on ::1: the stream echo through Listen, Accept and Dup,
// the datagram echo through the address-of-either-family calls; literals with and
// without brackets.
TEST(WSocketListen, StreamAndDatagramEchoOverIPv6) {
  if (!LoopbackV6Available()) GTEST_SKIP() << "no IPv6 loopback here";
  for (const char* proto : {"tcp", "udp"}) {
    SCOPED_TRACE(proto);
    EventLog log;
    auto server = ListenSocket(proto, log);
    server->SetAddr("::1");
    auto adopted = core::MakeComponent<TWSocket>(nullptr);
    auto echo = [](TWSocket& s) {
      s.OnDataAvailable = [&s](core::TComponent*, uint16_t) {
        char buf[100];
        sockaddr_storage from{};
        int fromLen = sizeof from;
        const int n = s.ReceiveFrom(buf, sizeof buf, from, fromLen);
        if (n > 0) s.SendTo(from, fromLen, buf, n);
      };
    };
    echo(*server);
    echo(*adopted);
    server->OnSessionAvailable = [&](core::TComponent*, uint16_t) { adopted->Dup(server->Accept()); };
    server->Listen();
    ASSERT_EQ(server->AddrFamily(), AF_INET6);
    EXPECT_EQ(server->GetBoundAddr(), "::1");
    auto client = core::MakeComponent<TWSocket>(nullptr);
    client->SetProto(proto);
    client->SetAddr("[::1]");
    client->SetPort(server->GetBoundPort());
    std::string echoed;
    client->OnDataAvailable = [&](core::TComponent*, uint16_t) { echoed += client->ReceiveStr(); };
    client->OnSessionConnected = [&](core::TComponent*, uint16_t e) {
      EXPECT_EQ(e, 0);
      client->SendStr("ping6");
    };
    client->Connect();  // a datagram socket "connects" at once
    ASSERT_TRUE(PumpUntil([&] { return echoed == "ping6"; })) << echoed;
    if (std::string(proto) == "tcp") {
      EXPECT_EQ(client->GetPeerAddr(), "::1");
      EXPECT_EQ(adopted->GetPeerPort(), client->GetBoundPort());
    }
  }
}

TEST(WSocketListen, DatagramPortsAreSharedOnlyWithReuseAddr) {
  EventLog log1, log2;
  auto first = ListenSocket("udp", log1);
  first->SetReuseAddr(true);
  first->Listen();
  const std::string port = first->GetBoundPort();
  for (const bool reuse : {true, false}) {
    auto second = ListenSocket("udp", log2);
    second->SetPort(port);
    second->SetReuseAddr(reuse);
    const std::string report = ReportOf([&] { second->Listen(); });
    if (reuse) {
      EXPECT_EQ(report, "");
      EXPECT_EQ(second->State(), wsConnected);
    } else {
      EXPECT_EQ(report, "Address already in use (#10048 in Bind)");
      EXPECT_EQ(second->State(), wsClosed);
    }
  }
}

TEST(WSocketListen, RawSocketAndTheUnsupportedReceiveAllMode) {
  EventLog log;
  auto s = ListenSocket("raw_icmp", log);
  const std::string report = ReportOf([&] { s->Listen(); });
  if (report.find("#10013") != std::string::npos) GTEST_SKIP() << "raw sockets need CAP_NET_RAW: " << report;
  EXPECT_EQ(report, "");
  EXPECT_EQ(log.Text(), "state wsBound; state wsListening; state wsConnected; connected 0; ");
  s->Close();

  auto all = ListenSocket("RAW_1", log);
  all->SetComponentOptions({wsoSIO_RCVALL});
  EXPECT_EQ(ReportOf([&] { all->Listen(); }),
            "Operation not supported on socket (#10045 in WSAIoctl(SIO_RCVALL))");
  // With OnError assigned the report returns and the socket is closed.
  ErrorTrap trap;
  trap.Attach(*all);
  all->Close();
  all->SetAddr("127.0.0.1");
  all->SetPort("0");
  all->SetProto("raw_1");
  all->Listen();
  EXPECT_EQ(trap.codes, std::vector<int>{10045});
  EXPECT_EQ(all->State(), wsClosed);
}

TEST(WSocketListen, MulticastMemberOnTheLoopbackInterface) {
  EventLog log;
  auto member = ListenSocket("udp", log);
  member->SetMultiCast(true);
  member->SetMultiCastAddrStr("239.255.42.99");
  const std::string report = ReportOf([&] { member->Listen(); });
  if (report.find("IP_ADD_MEMBERSHIP") != std::string::npos)
    GTEST_SKIP() << "this system refuses multicast membership on loopback: " << report;
  ASSERT_EQ(report, "");
  EXPECT_EQ(log.Text(), "state wsBound; state wsListening; state wsConnected; connected 0; ");
  std::string got;
  member->OnDataAvailable = [&](core::TComponent*, uint16_t) { got += member->ReceiveStr(); };
  auto notAGroup = ListenSocket("udp", log);
  notAGroup->SetMultiCast(true);
  notAGroup->SetMultiCastAddrStr("10.1.2.3");
  EXPECT_EQ(ReportOf([&] { notAGroup->Listen(); }),
            "Invalid argument (#10022 in setsockopt(IP_ADD_MEMBERSHIP))");

  auto sender = DatagramClient("239.255.42.99", member->GetBoundPort());
  sender->SetMultiCast(true);
  sender->SetMultiCastIpTTL(0);  // never beyond this host
  sender->Connect();
  sender->SendStr("to the group");
  EXPECT_TRUE(PumpUntil([&] { return got == "to the group"; })) << got;
}

TEST(WSocketListen, BufferSizeSetters) {
  EventLog log;
  auto s = ListenSocket("udp", log);
  EXPECT_EQ(ReportOf([&] { s->SetSocketRcvBufSize(8192); }),
            "Socket operation on non-socket (#10038 in setsockopt(SO_RCVBUF))");
  s->Listen();
  const int sndBefore = s->SocketSndBufSize();
  s->SetSocketRcvBufSize(8192);
  EXPECT_EQ(s->SocketRcvBufSize(), 8192);
  EXPECT_EQ(s->SocketSndBufSize(), sndBefore);
  s->SetSocketSndBufSize(16384);
  EXPECT_EQ(s->SocketSndBufSize(), 16384);
}

}  // namespace
}  // namespace net::testing
