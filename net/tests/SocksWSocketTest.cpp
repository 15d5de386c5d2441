// The SOCKS layer of the socket against scripted SOCKS servers on loopback: its
// settings, the bytes it sends at each level, each reply sent whole and one byte at
// a time, every failure with its events, and the fields a request cannot carry.
#include <gtest/gtest.h>

#include "net/SocksWSocket.h"
#include "net/tests/WSocketTestSupport.h"
#include "testsupport/Process.h"
#include "testsupport/ScriptedPeer.h"

namespace net::testing {
namespace {

using namespace std::string_literals;
using testsupport::Millis;
using testsupport::Script;
using testsupport::ScriptedPeer;

const std::string kNoAuthGreeting = "\x05\x01\x00"s;
const std::string kUserGreeting = "\x05\x01\x02"s;
const std::string kGranted5 = "\x05\x00\x00\x01\x7f\x00\x00\x01\x1f\x90"s;
const std::string kGranted4 = "\x00\x5a\x1f\x90\x7f\x00\x00\x01"s;

// The level 5 request for 127.0.0.1, port 8080.
const std::string kRequest5 =
    "\x05\x01\x00\x03\x09"
    "127.0.0.1\x1f\x90"s;

// Sends whole, or one byte at a time.
Script& Reply(Script& s, const std::string& bytes, bool slowly) {
  return slowly ? s.SendSlowly(bytes, 1, Millis(1)) : s.Send(bytes);
}

// A socket going to 127.0.0.1:8080 through peer, recording the SOCKS events with
// the others and every Receive the application makes.
struct ThroughSocks {
  EventLog log;
  std::vector<std::string> receives;
  std::vector<std::string> socksErrors;
  core::ComponentPtr<TTestSocket> s = core::MakeComponent<TTestSocket>(nullptr);

  ThroughSocks(const ScriptedPeer& peer, const std::string& level) {
    log.Attach(*s);
    s->OnSocksConnected = [this](core::TComponent*, uint16_t e) { log.Add("socks connected", e); };
    s->OnSocksError = [this](core::TComponent*, int e, const std::string& msg) {
      log.Add("socks error", e);
      socksErrors.push_back(msg);
    };
    s->OnSocksAuthState = [this](core::TComponent*, TSocksAuthState a) { log.Add("auth", a); };
    s->OnDataAvailable = [this](core::TComponent*, uint16_t) {
      char buf[4096];
      const int n = s->Receive(buf, sizeof buf);
      log.events.push_back("data");
      if (n > 0) receives.emplace_back(buf, static_cast<size_t>(n));
    };
    s->SetAddr("127.0.0.1");
    s->SetPort("8080");
    s->SetSocksServer("127.0.0.1");
    s->SetSocksPort(std::to_string(peer.Port()));
    s->SetSocksLevel(level);
  }
  std::string Received() const {
    std::string all;
    for (const auto& r : receives) all += r;
    return all;
  }
  // The SOCKS and session events, without state changes and data notifications
  // (the negotiation's own sends raise data-sent events too).
  std::vector<std::string> Outcome() const {
    std::vector<std::string> out;
    for (const auto& e : log.events)
      if (e.rfind("state", 0) != 0 && e != "data" && e != "sent 0") out.push_back(e);
    return out;
  }
  bool WaitFor(const std::string& event) {
    return PumpUntil([&] { return log.Has(event); });
  }
};

using Strings = std::vector<std::string>;

class SocksSplit : public ::testing::TestWithParam<bool> {
 protected:
  bool slowly() const { return GetParam(); }
};

TEST_P(SocksSplit, Level5ReplyFollowedByDataInOnePacket) {
  Script script;
  script.ReadBytes(3);
  Reply(script, "\x05\x00"s, slowly()).ReadBytes(kRequest5.size());
  Reply(script, kGranted5 + "HTTP/1.0 200 OK\r\n", slowly());
  ScriptedPeer peer({script});
  ThroughSocks t(peer, "5");
  t.s->Connect();
  ASSERT_TRUE(PumpUntil([&] { return t.Received() == "HTTP/1.0 200 OK\r\n"; })) << t.log.Text();
  EXPECT_EQ(peer.Received(0), kNoAuthGreeting + kRequest5);
  EXPECT_EQ(t.Outcome(), (Strings{"socks connected 0", "connected 0"})) << t.log.Text();
  // The connect event, then a data notification at once.
  const auto connected = std::find(t.log.events.begin(), t.log.events.end(), "connected 0");
  ASSERT_NE(connected, t.log.events.end());
  EXPECT_EQ(*(connected + 1), "data");
  if (!slowly()) {
    EXPECT_EQ(t.receives.front(), "HTTP/1.0 200 OK\r\n");
  }
  EXPECT_EQ(t.s->State(), wsConnected);
}

TEST_P(SocksSplit, Level5WithUserAndPassword) {
  const std::string auth = "\x01\x04user\x06secret"s;
  Script script;
  script.ReadBytes(3);
  Reply(script, "\x05\x02"s, slowly()).ReadBytes(auth.size());
  Reply(script, "\x01\x00"s, slowly()).ReadBytes(kRequest5.size());
  Reply(script, kGranted5, slowly());
  ScriptedPeer peer({script});
  ThroughSocks t(peer, "5");
  t.s->SetSocksAuthentication(socksAuthenticateUsercode);
  t.s->SetSocksUsercode("user");
  t.s->SetSocksPassword("secret");
  t.s->Connect();
  ASSERT_TRUE(t.WaitFor("connected 0")) << t.log.Text();
  EXPECT_EQ(peer.Received(0), kUserGreeting + auth + kRequest5);
  EXPECT_EQ(t.Outcome(), (Strings{"socks connected 0", "auth 0", "auth 1", "connected 0"})) << t.log.Text();
}

TEST_P(SocksSplit, Level5UserOfferedButNotRequired) {
  Script script;
  script.ReadBytes(3);
  Reply(script, "\x05\x00"s, slowly()).ReadBytes(kRequest5.size());
  Reply(script, kGranted5, slowly());
  ScriptedPeer peer({script});
  ThroughSocks t(peer, "5");
  t.s->SetSocksAuthentication(socksAuthenticateUsercode);
  t.s->SetSocksUsercode("user");
  t.s->Connect();
  ASSERT_TRUE(t.WaitFor("connected 0")) << t.log.Text();
  EXPECT_EQ(peer.Received(0), kUserGreeting + kRequest5);
  EXPECT_EQ(t.Outcome(), (Strings{"socks connected 0", "auth 3", "connected 0"})) << t.log.Text();
}

TEST_P(SocksSplit, Level4And4ARequestsAndTheirReply) {
  struct Case {
    const char* level;
    std::string request;
  };
  const Case cases[] = {
      {"4",
       "\x04\x01\x1f\x90\x7f\x00\x00\x01"
       "id\x00"s},
      {"4a",
       "\x04\x01\x1f\x90\x00\x00\x00\x01"
       "id\x00"
       "127.0.0.1\x00"s},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.level);
    Script script;
    script.ReadBytes(c.request.size());
    Reply(script, kGranted4 + "after", slowly());
    ScriptedPeer peer({script});
    ThroughSocks t(peer, c.level);
    t.s->SetSocksUsercode("id");
    t.s->Connect();
    ASSERT_TRUE(PumpUntil([&] { return t.Received() == "after"; })) << t.log.Text();
    EXPECT_EQ(peer.Received(0), c.request);
    EXPECT_EQ(t.Outcome(), (Strings{"socks connected 0", "connected 0"})) << t.log.Text();
  }
}

// An IPv6 destination goes as its 16 bytes (address type 4), with or without the
// brackets of a URL; the server's bound address may be of any type.
TEST_P(SocksSplit, Level5IPv6DestinationAndAnyBoundAddress) {
  const std::string loop6 = std::string(15, '\0') + "\x01"s;
  const std::string doc6 = "\x20\x01\x0d\xb8"s + std::string(11, '\0') + "\x01"s;
  struct Case {
    const char* addr;
    std::string request, reply;
  };
  const Case cases[] = {
      {"::1", "\x05\x01\x00\x04"s + loop6 + "\x1f\x90"s, "\x05\x00\x00\x04"s + loop6 + "\x1f\x90"s},
      {"[2001:db8::1]", "\x05\x01\x00\x04"s + doc6 + "\x1f\x90"s, kGranted5},
      {"::1", "\x05\x01\x00\x04"s + loop6 + "\x1f\x90"s, "\x05\x00\x00\x03\x03::1\x1f\x90"s},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.addr);
    Script script;
    script.ReadBytes(3);
    Reply(script, "\x05\x00"s, slowly()).ReadBytes(c.request.size());
    Reply(script, c.reply + "after", slowly());
    ScriptedPeer peer({script});
    ThroughSocks t(peer, "5");
    t.s->SetAddr(c.addr);
    t.s->Connect();
    ASSERT_TRUE(PumpUntil([&] { return t.Received() == "after"; })) << t.log.Text();
    EXPECT_EQ(peer.Received(0), kNoAuthGreeting + c.request);
    EXPECT_EQ(t.Outcome(), (Strings{"socks connected 0", "connected 0"})) << t.log.Text();
  }
}

// A server given as an IPv6 literal is reached over IPv6.
TEST(SocksNegotiation, ServerAtAnIPv6Address) {
  if (!testsupport::IPv6LoopbackAvailable()) GTEST_SKIP() << "no IPv6 loopback here";
  for (const char* server : {"::1", "[::1]"}) {
    SCOPED_TRACE(server);
    Script script;
    script.ReadBytes(3).Send("\x05\x00"s).ReadBytes(kRequest5.size()).Send(kGranted5 + "hi");
    ScriptedPeer peer({script}, {.ipv6 = true});
    ThroughSocks t(peer, "5");
    t.s->SetSocksServer(server);
    t.s->Connect();
    ASSERT_TRUE(PumpUntil([&] { return t.Received() == "hi"; })) << t.log.Text();
    EXPECT_EQ(peer.Received(0), kNoAuthGreeting + kRequest5);
    EXPECT_EQ(t.s->GetPeerAddr(), "::1");
  }
}

// Each failing reply reaches the application as the SOCKS error, then the connect
// result and the close, all with the same code.
TEST_P(SocksSplit, EveryFailingReply) {
  enum Phase { kMethods, kAuth, kConnect5, kConnect4 };
  struct Case {
    Phase phase;
    std::string reply;
    int code;
    const char* text;
  };
  const Case cases[] = {
      {kMethods, "\x04\x00"s, 20002, "socks version error"},
      {kMethods, "\x05\xff"s, 20003, "authentification method not acceptable"},
      {kAuth, "\x02\x00"s, 20002, "socks version error"},
      {kAuth, "\x01\x01"s, 20015, "socks authentication failed"},
      {kConnect5, "\x06\x00"s, 20002, "socks version error"},
      {kConnect5, "\x05\x01"s, 20004, "general SOCKS server failure"},
      {kConnect5, "\x05\x02"s, 20005, "connection not allowed by ruleset"},
      {kConnect5, "\x05\x03"s, 20006, "network unreachable"},
      {kConnect5, "\x05\x04"s, 20007, "host unreachable"},
      {kConnect5, "\x05\x05"s, 20008, "connection refused"},
      {kConnect5, "\x05\x06"s, 20009, "time to live expired"},
      {kConnect5, "\x05\x07"s, 20010, "command not supported"},
      {kConnect5, "\x05\x08"s, 20011, "address type not supported"},
      {kConnect5, "\x05\x0a"s, 20012, "unassigned error #10"},
      {kConnect5, "\x05\x00\x00\x07\x00"s, 20011, "address type not supported"},
      {kConnect4, "\x01\x5a\x00\x00\x00\x00\x00\x00"s, 20002, "socks version error"},
      {kConnect4, "\x00\x5b\x00\x00\x00\x00\x00\x00"s, 20016, "request rejected or failed"},
      {kConnect4, "\x00\x5c\x00\x00\x00\x00\x00\x00"s, 20008, "connection refused"},
      {kConnect4, "\x00\x5d\x00\x00\x00\x00\x00\x00"s, 20015, "authentification failed"},
      {kConnect4, "\x00\x63\x00\x00\x00\x00\x00\x00"s, 20012, "unassigned error #99"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    Script script;
    if (c.phase == kConnect4) {
      script.ReadBytes(9);  // request with an empty user code
    } else {
      script.ReadBytes(3);
      if (c.phase == kAuth) script.Send("\x05\x02"s).ReadBytes(3);
      if (c.phase == kConnect5) script.Send("\x05\x00"s).ReadBytes(kRequest5.size());
    }
    Reply(script, c.reply, slowly());
    ScriptedPeer peer({script});
    ThroughSocks t(peer, c.phase == kConnect4 ? "4" : "5");
    if (c.phase == kAuth) t.s->SetSocksAuthentication(socksAuthenticateUsercode);
    t.s->Connect();
    const std::string code = std::to_string(c.code);
    ASSERT_TRUE(t.WaitFor("closed " + code)) << t.log.Text();
    Strings expected{"socks connected 0"};
    if (c.phase == kAuth) expected.push_back("auth 0");
    for (const char* e : {"socks error ", "connected ", "closed "}) expected.push_back(e + code);
    EXPECT_EQ(t.Outcome(), expected) << t.log.Text();
    EXPECT_EQ(t.socksErrors, Strings{c.text});
    EXPECT_EQ(t.s->State(), wsClosed);
    EXPECT_EQ(t.s->SocksServer(), "");  // the close restored the defaults
  }
}

// Bytes left after the reply are announced again while some remain, as the system
// does for its own data, so a reader taking a little per notification gets them
// all without waiting for more from the network.
TEST(SocksNegotiation, BytesAfterTheReplyReadInSmallPieces) {
  Script script;
  script.ReadBytes(3).Send("\x05\x00"s).ReadBytes(kRequest5.size()).Send(kGranted5 + "0123456789");
  ScriptedPeer peer({script});
  ThroughSocks t(peer, "5");
  t.s->OnDataAvailable = [&t](core::TComponent*, uint16_t) {
    char buf[3];
    const int n = t.s->Receive(buf, sizeof buf);
    if (n > 0) t.receives.emplace_back(buf, static_cast<size_t>(n));
  };
  t.s->Connect();
  ASSERT_TRUE(PumpUntil([&] { return t.Received() == "0123456789"; })) << t.Received();
  EXPECT_EQ(t.receives.front(), "012");
}

// A look ahead (WaitForClose probes for the end of the stream) must not take a
// byte of what the server sent after its reply.
TEST(SocksNegotiation, LookAheadLeavesTheBytesAfterTheReply) {
  Script script;
  script.ReadBytes(3).Send("\x05\x00"s).ReadBytes(kRequest5.size()).Send(kGranted5 + "abcdef");
  script.Pause("end").CloseNow();
  ScriptedPeer peer({script});
  ThroughSocks t(peer, "5");
  int notified = 0;
  t.s->OnDataAvailable = [&](core::TComponent*, uint16_t) {
    if (++notified < 3) return;  // not ready for the first two
    if (const std::string got = t.s->ReceiveStr(); !got.empty()) t.receives.push_back(got);
    peer.Resume("end");
  };
  t.s->Connect();
  ASSERT_TRUE(PumpUntil([&] { return notified > 0; })) << t.log.Text();
  t.s->WaitForClose();
  EXPECT_EQ(t.Received(), "abcdef");
}

// Adopting a connection forgets the bytes the previous connection's SOCKS server
// left after its reply.
TEST(SocksNegotiation, DupForgetsTheLeftovers) {
  Script script;
  script.ReadBytes(3).Send("\x05\x00"s).ReadBytes(kRequest5.size()).Send(kGranted5 + "old").Hold();
  ScriptedPeer peer({script});
  ThroughSocks t(peer, "5");
  bool ready = false;
  t.s->OnDataAvailable = [&](core::TComponent*, uint16_t) {
    if (!ready) return;  // leaves the leftovers where they are
    if (const std::string got = t.s->ReceiveStr(); !got.empty()) t.receives.push_back(got);
  };
  t.s->Connect();
  ASSERT_TRUE(t.WaitFor("connected 0")) << t.log.Text();
  PumpPending();
  auto server = core::MakeComponent<TWSocket>(nullptr);
  server->SetAddr("127.0.0.1");
  server->SetPort("0");
  server->OnSessionAvailable = [&](core::TComponent*, uint16_t) { t.s->Dup(server->Accept()); };
  server->Listen();
  auto client = core::MakeComponent<TWSocket>(nullptr);
  client->SetAddr("127.0.0.1");
  client->SetPort(server->GetBoundPort());
  client->OnSessionConnected = [&](core::TComponent*, uint16_t) { client->SendStr("new"); };
  ready = true;
  client->Connect();
  ASSERT_TRUE(PumpUntil([&] { return !t.receives.empty(); })) << t.log.Text();
  EXPECT_EQ(t.Received(), "new");
  EXPECT_EQ(t.s->ReadCount(), 3);
}

// A data notification that carries an error during the negotiation ends it.
TEST(SocksNegotiation, ReceiveErrorDuringTheNegotiation) {
  Script script;
  script.ReadBytes(3).Hold();
  ScriptedPeer peer({script});
  ThroughSocks t(peer, "5");
  t.s->Connect();
  ASSERT_TRUE(t.WaitFor("socks connected 0")) << t.log.Text();
  winapi::PostMessage(t.s->Handle(), t.s->MsgAsyncSelect(), static_cast<winapi::WPARAM>(t.s->HSocket()),
                      winapi::MAKELONG(winapi::FD_READ, winapi::WSAECONNRESET));
  ASSERT_TRUE(PumpUntil([&] { return t.s->State() == wsClosed; })) << t.log.Text();
  EXPECT_EQ(t.Outcome(),
            (Strings{"socks connected 0", "socks error 10054", "connected 10054", "closed 10054"}));
  EXPECT_EQ(t.socksErrors, Strings{"data receive error"});
}

// A handler that closes the socket from a SOCKS event ends the negotiation there:
// nothing more is sent, and the next, direct, connection is not taken for one.
TEST(SocksNegotiation, HandlerClosingFromAnAuthStateEvent) {
  Script socksScript;
  socksScript.ReadBytes(3).Send("\x05\x00"s);
  ScriptedPeer socksPeer({socksScript});
  Script direct;
  direct.Send("direct data");
  ScriptedPeer directPeer({direct});
  ThroughSocks t(socksPeer, "5");
  t.s->SetSocksAuthentication(socksAuthenticateUsercode);
  t.s->OnSocksAuthState = [&t](core::TComponent*, TSocksAuthState) { t.s->Close(); };
  t.s->Connect();
  ASSERT_TRUE(PumpUntil([&] { return t.s->State() == wsClosed; })) << t.log.Text();
  ASSERT_TRUE(socksPeer.WaitForClientClose(0));
  EXPECT_EQ(socksPeer.Received(0), kUserGreeting);
  t.s->SetAddr("127.0.0.1");
  t.s->SetPort(std::to_string(directPeer.Port()));
  t.s->Connect();
  ASSERT_TRUE(PumpUntil([&] { return t.Received() == "direct data"; })) << t.log.Text();
}

INSTANTIATE_TEST_SUITE_P(WholeAndByteByByte, SocksSplit, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& p) {
                           return p.param ? "ByteByByte" : "Whole";
                         });

TEST(SocksNegotiation, ServerClosingDuringAuthenticationReportsAuthFailure) {
  Script script;
  script.ReadBytes(3).Send("\x05\x02"s).ReadBytes(3).CloseNow();
  ScriptedPeer peer({script});
  ThroughSocks t(peer, "5");
  t.s->SetSocksAuthentication(socksAuthenticateUsercode);
  t.s->Connect();
  ASSERT_TRUE(PumpUntil([&] { return t.s->State() == wsClosed; })) << t.log.Text();
  EXPECT_EQ(t.Outcome(), (Strings{"socks connected 0", "auth 0", "auth 2", "closed 0"})) << t.log.Text();
}

TEST(SocksNegotiation, TransportFailureGoesToBothConnectEvents) {
  testsupport::RefusedPort refused;
  ScriptedPeer unused;
  ThroughSocks t(unused, "5");
  t.s->SetSocksPort(std::to_string(refused.Port()));
  t.s->Connect();
  ASSERT_TRUE(PumpUntil([&] { return t.s->State() == wsClosed; })) << t.log.Text();
  const Strings outcome = t.Outcome();
  ASSERT_GE(outcome.size(), 2u) << t.log.Text();
  EXPECT_EQ(outcome[0], "socks connected 10061");
  EXPECT_EQ(outcome[1], "connected 10061");
}

int FailEveryName(const std::string&, bool, winapi::HostEntry&) {
  return winapi::WSAHOST_NOT_FOUND;
}

// Level 4 resolves the destination itself when the transport is up; a name that
// does not resolve closes the connection without a connect event and sends nothing.
TEST(SocksNegotiation, Level4DestinationThatDoesNotResolve) {
  ScriptedPeer peer;
  ThroughSocks t(peer, "4");
  t.s->SetAddr("no-such-host");
  winapi::SetResolverHookForTesting(FailEveryName);
  t.s->Connect();
  const bool closed = PumpUntil([&] { return t.s->State() == wsClosed; });
  winapi::SetResolverHookForTesting(nullptr);
  ASSERT_TRUE(closed) << t.log.Text();
  EXPECT_EQ(t.Outcome(), (Strings{"socks connected 0", "socks error 20017", "closed 20017"})) << t.log.Text();
  ASSERT_EQ(t.socksErrors.size(), 1u);
  EXPECT_EQ(t.socksErrors[0].rfind("ESocketException Winsock Resolve Host: Cannot convert host address", 0),
            0u)
      << t.socksErrors[0];
  ASSERT_TRUE(peer.WaitForClientClose(0));
  EXPECT_EQ(peer.Received(0), "");
}

TEST(SocksSettings, OnlyTcpGoesThroughTheServer) {
  auto s = core::MakeComponent<TWSocket>(nullptr);
  s->SetSocksServer("127.0.0.1");
  s->SetSocksPort("1080");
  s->SetProto("udp");
  s->SetAddr("127.0.0.1");
  s->SetPort("80");
  EXPECT_EQ(ReportOf([&] { s->Connect(); }), "TCP is the only protocol supported thru socks server");
  EXPECT_EQ(s->HSocket(), INVALID_SOCKET);
}

TEST(SocksSettings, RefusedWhileConnectedAndResetAtClose) {
  Script script;
  script.ReadBytes(3).Send("\x05\x00"s).ReadBytes(kRequest5.size()).Send(kGranted5);
  ScriptedPeer peer({script});
  ThroughSocks t(peer, "5");
  t.s->SetSocksUsercode("kept");
  t.s->Connect();
  ASSERT_TRUE(t.WaitFor("connected 0")) << t.log.Text();
  EXPECT_EQ(ReportOf([&] { t.s->SetSocksServer("x"); }), "Can't change socks server if not closed");
  EXPECT_EQ(ReportOf([&] { t.s->SetSocksPort("1"); }), "Can't change socks port if not closed");
  EXPECT_EQ(ReportOf([&] { t.s->SetSocksLevel("4"); }), "Can't change socks level if not closed");
  t.s->Close();
  EXPECT_EQ(t.s->SocksServer(), "");
  EXPECT_EQ(t.s->SocksPort(), "");
  EXPECT_EQ(t.s->SocksLevel(), "5");
  EXPECT_FALSE(t.s->SocksServerAssigned());
  EXPECT_EQ(t.s->SocksUsercode(), "kept");
}

// 255 bytes is the most a length byte (or a SOCKS 4 field) can carry; one more is
// refused before any connection is made. So is a zero byte in a SOCKS 4 field.
TEST(SocksSettings, FieldsTheRequestsCannotCarry) {
  const std::string b255(255, 'x');
  const std::string b256(256, 'x');
  struct Case {
    const char* level;
    std::string user, password, host;
    const char* refusal;
  };
  const Case cases[] = {
      {"5", b256, "", "h", "Connect: socks user code longer than 255 bytes"},
      {"5", "", b256, "h", "Connect: socks password longer than 255 bytes"},
      {"5", "", "", b256, "Connect: socks host name longer than 255 bytes"},
      {"4A", "", "", b256, "Connect: socks host name longer than 255 bytes"},
      {"4", b256, "", "h", "Connect: socks user code longer than 255 bytes"},
      {"4", "a\0b"s, "", "h", "Connect: socks user code contains a zero byte"},
      {"4A", "", "", "a\0b"s, "Connect: socks host name contains a zero byte"},
      {"4", "", "", "::1", "Connect: socks level 4 cannot carry an IPv6 address (use level 5)"},
      {"4A", "", "", "[2001:db8::1]", "Connect: socks level 4A cannot carry an IPv6 address (use level 5)"},
  };
  ScriptedPeer peer;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.refusal);
    ThroughSocks t(peer, c.level);
    t.s->SetSocksAuthentication(socksAuthenticateUsercode);
    t.s->SetSocksUsercode(c.user);
    t.s->SetSocksPassword(c.password);
    t.s->SetAddr(c.host);
    EXPECT_EQ(ReportOf([&] { t.s->Connect(); }), c.refusal);
    EXPECT_EQ(t.s->HSocket(), INVALID_SOCKET);
  }
  EXPECT_EQ(peer.AcceptedCount(), 0u);
}

// Level 5 without authentication sends neither user code nor password, so their
// length is no reason to refuse; a server that asks for them anyway gets nothing.
TEST(SocksSettings, CredentialsNeverSentAreNotRefused) {
  const std::string b256(256, 'x');
  struct Case {
    std::string methodReply;
    Strings outcome;
  };
  const Case cases[] = {
      {"\x05\x00"s, {"socks connected 0", "connected 0"}},
      {"\x05\x02"s, {"socks connected 0", "socks error 20003", "connected 20003", "closed 20003"}},
  };
  for (const Case& c : cases) {
    Script script;
    script.ReadBytes(3).Send(c.methodReply).ReadBytes(kRequest5.size()).Send(kGranted5).Hold();
    ScriptedPeer peer({script});
    ThroughSocks t(peer, "5");
    t.s->SetSocksUsercode(b256);
    t.s->SetSocksPassword(b256);
    EXPECT_EQ(ReportOf([&] { t.s->Connect(); }), "");
    ASSERT_TRUE(PumpUntil([&] { return t.Outcome().size() == c.outcome.size(); })) << t.log.Text();
    EXPECT_EQ(t.Outcome(), c.outcome);
    if (c.methodReply[1] == 2) {
      ASSERT_TRUE(peer.WaitForClientClose(0));
      EXPECT_EQ(peer.Received(0), kNoAuthGreeting);
    }
  }
}

TEST(SocksSettings, FieldsOf255BytesAreSent) {
  const std::string b255(255, 'x');
  const std::string auth = "\x01\xff"s + b255 + "\xff"s + b255;
  const std::string request = "\x05\x01\x00\x03\xff"s + b255 + "\x1f\x90"s;
  Script script;
  script.ReadBytes(3).Send("\x05\x02"s).ReadBytes(auth.size()).Send("\x01\x00"s).ReadBytes(request.size());
  script.Send(kGranted5);
  ScriptedPeer peer({script});
  ThroughSocks t(peer, "5");
  t.s->SetSocksAuthentication(socksAuthenticateUsercode);
  t.s->SetSocksUsercode(b255);
  t.s->SetSocksPassword(b255);
  t.s->SetAddr(b255);
  t.s->Connect();
  ASSERT_TRUE(t.WaitFor("connected 0")) << t.log.Text();
  EXPECT_EQ(peer.Received(0), kUserGreeting + auth + request);
}

TEST(SocksSettings, BoundNameOf255BytesInTheReply) {
  const std::string reply = "\x05\x00\x00\x03\xff"s + std::string(255, 'n') + "\x1f\x90"s;
  for (bool slowly : {false, true}) {
    Script script;
    script.ReadBytes(3).Send("\x05\x00"s).ReadBytes(kRequest5.size());
    Reply(script, reply + "tail", slowly);
    ScriptedPeer peer({script});
    ThroughSocks t(peer, "5");
    t.s->Connect();
    ASSERT_TRUE(PumpUntil([&] { return t.Received() == "tail"; })) << t.log.Text();
    EXPECT_EQ(t.Outcome(), (Strings{"socks connected 0", "connected 0"})) << t.log.Text();
  }
}

}  // namespace
}  // namespace net::testing
