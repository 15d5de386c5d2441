// The socket object: construction through the class chain, defaults, setters,
// resolution and the event sequences of Connect.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "net/tests/WSocketTestSupport.h"
#include "testsupport/ScriptedPeer.h"

namespace net::testing {
namespace {

TEST(WSocketObject, NewSocketHasPerConnectionDefaults) {
  auto s = core::MakeComponent<TWSocket>(nullptr);
  EXPECT_EQ(s->State(), wsClosed);
  EXPECT_EQ(s->HSocket(), INVALID_SOCKET);
  EXPECT_EQ(s->Proto(), "tcp");
  EXPECT_EQ(s->LocalAddr(), "0.0.0.0");
  EXPECT_EQ(s->LocalPort(), "0");
  // Graceful close by default, so a close never drops bytes the system accepted.
  EXPECT_EQ(s->LingerOnOff(), wsLingerNoSet);
  EXPECT_EQ(s->LingerTimeout(), 0);
  EXPECT_EQ(s->BufSize(), 1460);
  EXPECT_EQ(s->ListenBacklog(), 5);
  EXPECT_EQ(s->MultiCastIpTTL(), 1);
  EXPECT_EQ(s->FlushTimeout(), 60);
  EXPECT_EQ(s->ReqVerLow(), 1);
  EXPECT_EQ(s->ReqVerHigh(), 1);
  EXPECT_EQ(s->SendFlags(), wsSendNormal);
  EXPECT_TRUE(s->AllSent());
  // The window and the seven numbers exist from construction on.
  ASSERT_NE(s->WndHandler(), nullptr);
  EXPECT_NE(s->MsgAsyncSelect(), 0u);
  EXPECT_NE(s->MsgLineData(), 0u);
  EXPECT_EQ(s->MsgHandlersCount(), 7);
}

TEST(WSocketObject, CreationRunsTheMostDerivedAssignDefaults) {
  // The SOCKS layer's defaults can only be there if its override ran at creation.
  auto s = core::MakeComponent<TTestSocket>(nullptr);
  EXPECT_EQ(s->AssignDefaultsRuns, 1);
  EXPECT_EQ(s->SocksLevel(), "5");
  EXPECT_EQ(s->SocksServer(), "");
  EXPECT_EQ(s->SocksPort(), "");
}

// Counts the closes that reach the most-derived class.
int closesSeen = 0;
class TCountingSocket : public TWSocket {
 public:
  using TWSocket::TWSocket;
  void Close() override {
    ++closesSeen;
    TWSocket::Close();
  }
};

TEST(WSocketObject, FreeClosesThroughTheMostDerivedClose) {
  testsupport::ScriptedPeer peer;
  auto* s = core::Create<TCountingSocket>(nullptr);
  bool sessionClosed = false;
  s->OnSessionClosed = [&](core::TComponent*, uint16_t) { sessionClosed = true; };
  s->SetAddr("127.0.0.1");
  s->SetPort(std::to_string(peer.Port()));
  s->Connect();
  ASSERT_TRUE(PumpUntil([&] { return s->State() == wsConnected; }));
  closesSeen = 0;
  core::Free(s);
  EXPECT_EQ(closesSeen, 1);
  EXPECT_FALSE(sessionClosed);  // no session event into an owner that is going away
  ASSERT_TRUE(peer.WaitForClientClose(0));
}

TEST(WSocketObject, FreeReleasesTheMessageNumbers) {
  auto* s = core::Create<TWSocket>(nullptr);
  core::TWndHandler* handler = s->WndHandler();
  ASSERT_NE(handler, nullptr);
  const int before = handler->MsgCnt();
  auto keep = core::MakeComponent<TWSocket>(nullptr);  // keeps the handler alive
  ASSERT_EQ(keep->WndHandler(), handler);
  core::Free(s);
  EXPECT_EQ(handler->MsgCnt(), before);
}

TEST(WSocketSetters, TrimAndClear) {
  auto s = core::MakeComponent<TTestSocket>(nullptr);
  s->SetPort("  80 ");
  EXPECT_EQ(s->Port(), "80");
  EXPECT_TRUE(s->PortAssigned());
  s->SetAddr(" 127.0.0.1\t");
  EXPECT_EQ(s->Addr(), "127.0.0.1");
  s->SetPort("   ");
  EXPECT_FALSE(s->PortAssigned());
  EXPECT_EQ(ReportOf([&] { s->Connect(); }), "Connect: No Port Specified");
  s->SetPort("80");
  s->SetAddr("");
  EXPECT_EQ(ReportOf([&] { s->Connect(); }), "Connect: No IP Address Specified");
  s->SetAddr("127.0.0.1");
  s->SetProto("");
  EXPECT_EQ(ReportOf([&] { s->Connect(); }), "Connect: No Protocol Specified");
  s->SetLocalAddr("");
  EXPECT_EQ(s->LocalAddr(), "0.0.0.0");
}

TEST(WSocketSetters, RefusedWhileOpenAndKeepTheOldValue) {
  testsupport::ScriptedPeer peer;
  auto s = core::MakeComponent<TWSocket>(nullptr);
  s->SetAddr("127.0.0.1");
  s->SetPort(std::to_string(peer.Port()));
  s->Connect();
  ASSERT_TRUE(PumpUntil([&] { return s->State() == wsConnected; }));
  EXPECT_EQ(ReportOf([&] { s->SetAddr("10.0.0.1"); }), "Cannot change Addr if not closed");
  EXPECT_EQ(s->Addr(), "127.0.0.1");
  EXPECT_EQ(ReportOf([&] { s->SetPort("1"); }), "Cannot change Port if not closed");
  EXPECT_EQ(ReportOf([&] { s->SetProto("udp"); }), "Cannot change Proto if not closed");
  EXPECT_EQ(ReportOf([&] { s->SetLocalPort("1"); }), "Cannot change LocalPort if not closed");
  EXPECT_EQ(ReportOf([&] { s->SetLocalAddr("1.2.3.4"); }), "Cannot change LocalAddr if not closed");
  EXPECT_EQ(ReportOf([&] { s->SetSocksServer("1.2.3.4"); }), "Can't change socks server if not closed");
  EXPECT_EQ(ReportOf([&] { s->SetSocksPort("1080"); }), "Can't change socks port if not closed");
  EXPECT_EQ(ReportOf([&] { s->SetSocksLevel("4"); }), "Can't change socks level if not closed");
  // The same value is no change, so it is accepted while open.
  EXPECT_EQ(ReportOf([&] { s->SetAddr("127.0.0.1"); }), "");
  s->Close();
}

TEST(WSocketSetters, SocksLevelAndLingerRules) {
  auto s = core::MakeComponent<TWSocket>(nullptr);
  s->SetSocksLevel("4a");
  EXPECT_EQ(s->SocksLevel(), "4A");
  EXPECT_EQ(ReportOf([&] { s->SetSocksLevel("3"); }), "Invalid socks level. Must be 4, 4A or 5.");
  EXPECT_EQ(s->SocksLevel(), "4A");
  s->SetSocksServer("  127.0.0.1 ");
  EXPECT_EQ(s->SocksServer(), "127.0.0.1");
  EXPECT_TRUE(s->SocksServerAssigned());
  s->SetAddr("0.0.0.0");
  s->SetPort("0");
  EXPECT_EQ(ReportOf([&] { s->Listen(); }), "Listening is not supported thru socks server");
  // A positive linger time would block the thread inside close: refused.
  EXPECT_NE(ReportOf([&] { s->SetLingerTimeout(5); }), "");
  EXPECT_EQ(s->LingerTimeout(), 0);
  s->SetLingerTimeout(0);
}

TEST(WSocketSetters, ReportGoesToOnErrorWhenAssigned) {
  auto s = core::MakeComponent<TWSocket>(nullptr);
  int errors = 0;
  s->OnError = [&](core::TComponent* sender) {
    EXPECT_EQ(sender, s.get());
    ++errors;
  };
  s->Connect();  // no port
  EXPECT_EQ(errors, 1);
  EXPECT_EQ(s->State(), wsClosed);
}

TEST(WSocketResolve, PortsProtocolsAndHosts) {
  EXPECT_EQ(ResolvePort("70000", "tcp") & 0xFFFF, 4464u);
  EXPECT_EQ(ResolvePort("http", "tcp"), 80u);
  EXPECT_EQ(ResolveProto("udp"), 17u);
  EXPECT_EQ(ResolveProto(" TCP "), 6u);
  EXPECT_EQ(ResolveProto("255"), 255u);
  EXPECT_EQ(ResolveHost("255.255.255.255"), 0xFFFFFFFFu);
  EXPECT_EQ(ReportOf([] { ResolvePort("", "tcp"); }), "Winsock Resolve Port: Invalid Port.");
  EXPECT_EQ(ReportOf([] { ResolveProto(""); }), "Winsock Resolve Proto: Invalid Protocol.");
  EXPECT_EQ(ReportOf([] { ResolveHost(""); }), "Winsock Resolve Host: '' Invalid Hostname.");
}

int FailEveryName(const std::string&, bool, winapi::HostEntry&) {
  return winapi::WSAHOST_NOT_FOUND;
}

struct ResolverHookGuard {
  explicit ResolverHookGuard(winapi::ResolverHook hook) { winapi::SetResolverHookForTesting(hook); }
  ~ResolverHookGuard() { winapi::SetResolverHookForTesting(nullptr); }
};

TEST(WSocketResolve, NotDottedAddressIsLookedUpAsAName) {
  ResolverHookGuard hook(FailEveryName);
  auto s = core::MakeComponent<TWSocket>(nullptr);
  s->SetAddr("300.1.1.1");
  s->SetPort("80");
  const std::string report = ReportOf([&] { s->Connect(); });
  EXPECT_EQ(report.rfind("connect: Winsock Resolve Host: Cannot convert host address '300.1.1.1'", 0), 0u)
      << report;
  EXPECT_EQ(s->State(), wsClosed);
  EXPECT_EQ(s->HSocket(), INVALID_SOCKET);
}

TEST(WSocketConnect, TcpSuccessSequence) {
  testsupport::ScriptedPeer peer;
  EventLog log;
  auto s = core::MakeComponent<TWSocket>(nullptr);
  log.Attach(*s);
  s->SetAddr("127.0.0.1");
  s->SetPort(std::to_string(peer.Port()));
  s->Connect();
  EXPECT_EQ(s->State(), wsConnecting);
  ASSERT_TRUE(PumpUntil([&] { return log.Has("connected 0"); })) << log.Text();
  const std::vector<std::string> expected = {"state wsOpened", "state wsConnecting", "state wsConnected",
                                             "connected 0"};
  EXPECT_EQ(std::vector<std::string>(log.events.begin(), log.events.begin() + 4), expected) << log.Text();
  EXPECT_EQ(s->GetPeerAddr(), "127.0.0.1");
  EXPECT_EQ(s->GetPeerPort(), std::to_string(peer.Port()));
  EXPECT_NE(s->GetBoundPort(), "error");
  s->Close();
  EXPECT_EQ(log.events.back(), "closed 0");
  EXPECT_EQ(s->GetPeerAddr(), "error");
}

TEST(WSocketConnect, RefusedSequenceClosesItself) {
  testsupport::RefusedPort refused;
  EventLog log;
  auto s = core::MakeComponent<TWSocket>(nullptr);
  log.Attach(*s);
  s->SetAddr("127.0.0.1");
  s->SetPort(std::to_string(refused.Port()));
  s->Connect();
  ASSERT_TRUE(PumpUntil([&] { return log.Has("closed 0"); })) << log.Text();
  const std::vector<std::string> expected = {"state wsOpened",  "state wsConnecting", "state wsConnected",
                                             "connected 10061", "state wsClosed",     "closed 0"};
  EXPECT_EQ(log.events, expected) << log.Text();
  EXPECT_EQ(s->State(), wsClosed);
}

TEST(WSocketConnect, RetryFromOnSessionClosedKeepsItsOwnCloseEvent) {
  testsupport::RefusedPort refused;
  testsupport::ScriptedPeer peer;
  EventLog log;
  auto s = core::MakeComponent<TWSocket>(nullptr);
  log.Attach(*s);
  s->SetAddr("127.0.0.1");
  s->SetPort(std::to_string(refused.Port()));
  bool retried = false;
  s->OnSessionClosed = [&](core::TComponent*, uint16_t e) {
    log.Add("closed", e);
    if (retried) return;
    retried = true;
    s->SetPort(std::to_string(peer.Port()));
    s->Connect();
  };
  s->Connect();
  ASSERT_TRUE(PumpUntil([&] { return log.Has("connected 0"); })) << log.Text();
  EXPECT_EQ(log.Count("closed 0"), 1u) << log.Text();
  // The retried connection is a connection of its own: its close is reported too.
  s->Close();
  EXPECT_EQ(log.Count("closed 0"), 2u) << log.Text();
  EXPECT_EQ(log.events.back(), "closed 0") << log.Text();
}

TEST(WSocketConnect, DatagramConnectsInsideConnect) {
  EventLog log;
  auto s = core::MakeComponent<TWSocket>(nullptr);
  log.Attach(*s);
  s->SetProto("udp");
  s->SetAddr("127.0.0.1");
  s->SetPort("9");
  s->Connect();
  const std::vector<std::string> expected = {"state wsOpened", "state wsConnected", "connected 0"};
  EXPECT_EQ(log.events, expected) << log.Text();
  // Binding made the system's chosen local port visible.
  EXPECT_NE(s->LocalPort(), "0");
  s->Close();
}

TEST(WSocketConnect, PortAbove65535KeepsTheLow16Bits) {
  auto s = core::MakeComponent<TTestSocket>(nullptr);
  s->OnSessionConnected = [](core::TComponent*, uint16_t) {};
  s->SetAddr("127.0.0.1");
  s->SetPort("70000");
  s->Connect();
  EXPECT_EQ(s->PortNum(), 4464u);
  EXPECT_EQ(s->SinPort(), 4464u);
  s->Abort();
}

TEST(WSocketConnect, CloseInOnChangeStateToOpenedIsReported) {
  auto s = core::MakeComponent<TWSocket>(nullptr);
  s->SetAddr("127.0.0.1");
  s->SetPort("9");
  s->OnChangeState = [&](core::TComponent*, TSocketState, TSocketState n) {
    if (n == wsOpened) s->Close();
  };
  const std::string report = ReportOf([&] { s->Connect(); });
  EXPECT_EQ(report, "Invalid argument (#10022 in Connect (Invalid operation in OnChangeState))");
  EXPECT_EQ(s->LastError(), 10022);
  EXPECT_EQ(s->State(), wsClosed);
}

TEST(WSocketConnect, AfterCloseAddrAndPortMustBeSetAgain) {
  testsupport::ScriptedPeer peer;
  auto s = core::MakeComponent<TWSocket>(nullptr);
  const std::string port = std::to_string(peer.Port());
  s->SetAddr("127.0.0.1");
  s->SetPort(port);
  s->Connect();
  ASSERT_TRUE(PumpUntil([&] { return s->State() == wsConnected; }));
  s->Close();
  EXPECT_EQ(ReportOf([&] { s->Connect(); }), "Connect: No Port Specified");
  s->SetAddr("127.0.0.1");
  s->SetPort(port);
  s->Connect();
  ASSERT_TRUE(PumpUntil([&] { return s->State() == wsConnected; }));
  EXPECT_EQ(ReportOf([&] { s->Connect(); }), "Connect: Socket already in use");
  s->Close();
}

TEST(WSocketServer, ListenAcceptAndDupGiveAConnectedSocket) {
  auto server = core::MakeComponent<TWSocket>(nullptr);
  auto client = core::MakeComponent<TWSocket>(nullptr);
  auto adopted = core::MakeComponent<TWSocket>(nullptr);
  server->SetAddr("127.0.0.1");
  server->SetPort("0");
  server->OnSessionAvailable = [&](core::TComponent*, uint16_t) { adopted->Dup(server->Accept()); };
  server->Listen();
  ASSERT_EQ(server->State(), wsListening);
  const std::string port = server->GetBoundPort();
  std::string got;
  adopted->OnDataAvailable = [&](core::TComponent*, uint16_t) { got += adopted->ReceiveStr(); };
  client->SetAddr("127.0.0.1");
  client->SetPort(port);
  client->OnSessionConnected = [&](core::TComponent*, uint16_t) { client->SendStr("ping"); };
  client->Connect();
  ASSERT_TRUE(PumpUntil([&] { return got == "ping"; })) << got;
  EXPECT_EQ(adopted->State(), wsConnected);
  EXPECT_EQ(ReportOf([&] { client->Accept(); }), "Invalid argument (#10022 in not a listening socket)");
}

TEST(WSocketConnect, BlanksAroundADottedLocalAddressAreIgnored) {
  testsupport::ScriptedPeer peer;
  auto s = core::MakeComponent<TWSocket>(nullptr);
  s->SetAddr("127.0.0.1");
  s->SetPort(std::to_string(peer.Port()));
  s->SetLocalAddr(" 127.0.0.1");
  s->Connect();
  ASSERT_TRUE(PumpUntil([&] { return s->State() == wsConnected; }));
  EXPECT_EQ(s->GetBoundAddr(), "127.0.0.1");
  EXPECT_NE(s->LocalPort(), "0");  // bound before connecting
  s->Close();
}

size_t OpenDescriptors() {
  return static_cast<size_t>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                                           std::filesystem::directory_iterator()));
}

// Whatever step fails, and whether the report raises or goes to OnError, a failed
// Listen keeps no handle: the next Listen would overwrite it.
TEST(WSocketServer, FailedListenLeavesNoHandle) {
  auto holder = core::MakeComponent<TWSocket>(nullptr);
  holder->SetAddr("127.0.0.1");
  holder->SetPort("0");
  holder->Listen();
  const std::string taken = holder->GetBoundPort();
  struct Case {
    const char* what;
    std::function<void(TWSocket&)> setUp;
    const char* step;
  };
  const Case cases[] = {
      {"port taken", [&](TWSocket& s) { s.SetPort(taken); }, "Bind"},
      {"multicast group refused",
       [](TWSocket& s) {
         s.SetProto("udp");
         s.SetPort("0");
         s.SetMultiCast(true);
         s.SetMultiCastAddrStr("10.1.2.3");
       },
       "setsockopt(IP_ADD_MEMBERSHIP)"},
  };
  for (const Case& c : cases) {
    for (bool trapped : {false, true}) {
      SCOPED_TRACE(std::string(c.what) + (trapped ? ", OnError" : ", raised"));
      const size_t before = OpenDescriptors();
      auto s = core::MakeComponent<TWSocket>(nullptr);
      ErrorTrap trap;
      if (trapped) trap.Attach(*s);
      s->SetAddr("127.0.0.1");
      c.setUp(*s);
      const std::string report = ReportOf([&] { s->Listen(); });
      if (trapped)
        EXPECT_FALSE(trap.codes.empty());
      else
        EXPECT_NE(report.find(std::string("in ") + c.step + ")"), std::string::npos) << report;
      EXPECT_EQ(s->HSocket(), INVALID_SOCKET);
      EXPECT_EQ(s->State(), wsClosed);
      EXPECT_EQ(OpenDescriptors(), before);
    }
  }
}

}  // namespace
}  // namespace net::testing
