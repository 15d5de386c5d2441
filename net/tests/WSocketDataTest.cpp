// The socket's data flow against real loopback peers: sending, the receive loop,
// closing in all its forms, pausing, and background exceptions.
#include <gtest/gtest.h>

#include <stdexcept>

#include "net/tests/WSocketTestSupport.h"
#include "testsupport/ScriptedPeer.h"

namespace net::testing {
namespace {

using testsupport::Script;
using testsupport::ScriptedPeer;

// A socket connected to peer's next connection, with its events recorded.
struct Connected {
  EventLog log;  // declared first: the socket's close at destruction still reports to it
  core::ComponentPtr<TTestSocket> s = core::MakeComponent<TTestSocket>(nullptr);

  explicit Connected(const ScriptedPeer& peer, TWSocketOptions options = {}) {
    log.Attach(*s);
    s->SetComponentOptions(options);
    s->SetAddr("127.0.0.1");
    s->SetPort(std::to_string(peer.Port()));
    s->Connect();
  }
  bool WaitConnected() {
    return PumpUntil([&] { return log.Has("connected 0"); });
  }
};

std::string Pattern(size_t size) {
  std::string s(size, '\0');
  for (size_t i = 0; i < size; ++i) s[i] = static_cast<char>('a' + (i * 7 + i / 1000) % 26);
  return s;
}

TEST(WSocketSend, ZeroBytesStillGivesDataSent) {
  ScriptedPeer peer;
  Connected c(peer);
  ASSERT_TRUE(c.WaitConnected());
  PumpPending();
  const size_t sentBefore = c.log.Count("sent 0");
  EXPECT_EQ(c.s->Send(nullptr, 0), 0);
  EXPECT_EQ(c.log.Count("sent 0"), sentBefore);  // never from inside Send
  ASSERT_TRUE(PumpUntil([&] { return c.log.Count("sent 0") == sentBefore + 1; }));
  EXPECT_EQ(c.s->BufferedByteCount(), 0);
}

TEST(WSocketSend, OnAClosedSocketReportsNotConnected) {
  auto s = core::MakeComponent<TWSocket>(nullptr);
  int result = 0;
  EXPECT_EQ(ReportOf([&] { result = s->SendStr("x"); }), "Socket is not connected (#10057 in Send)");
  ErrorTrap trap;
  trap.Attach(*s);
  EXPECT_EQ(s->SendStr("x"), -1);
  EXPECT_EQ(s->LastError(), 10057);
  EXPECT_EQ(trap.codes, std::vector<int>{10057});
}

TEST(WSocketSend, WhileConnectingClosesTheSocket) {
  ScriptedPeer peer;
  Connected c(peer);
  ASSERT_EQ(c.s->State(), wsConnecting);
  ErrorTrap trap;
  trap.Attach(*c.s);
  c.log.events.clear();
  EXPECT_EQ(c.s->SendStr("early"), -1);
  const std::vector<std::string> expected = {"closed 10057", "state wsClosed"};
  EXPECT_EQ(c.log.events, expected) << c.log.Text();
  EXPECT_EQ(trap.codes, std::vector<int>{10057});
  EXPECT_EQ(c.s->HSocket(), INVALID_SOCKET);
}

TEST(WSocketSend, ReconnectInsideTheFailureCloseKeepsTheNewConnection) {
  ScriptedPeer peer;
  Connected c(peer);
  ASSERT_EQ(c.s->State(), wsConnecting);
  ErrorTrap trap;
  trap.Attach(*c.s);
  bool retried = false;
  c.s->OnSessionClosed = [&](core::TComponent*, uint16_t e) {
    c.log.Add("closed", e);
    if (retried) return;
    retried = true;
    c.s->Connect();  // Addr and Port are still assigned
  };
  EXPECT_EQ(c.s->SendStr("early"), -1);
  EXPECT_EQ(trap.codes, std::vector<int>{10057});
  // The failure's close must not be laid over the connection the handler started.
  EXPECT_EQ(c.s->State(), wsConnecting) << c.log.Text();
  ASSERT_TRUE(PumpUntil([&] { return c.log.Has("connected 0"); })) << c.log.Text();
  EXPECT_EQ(c.s->SendStr("late"), 4);
  ASSERT_TRUE(peer.WaitForReceived(1, "late"));
}

TEST(WSocketSend, TwoSendsGiveTwoDataSent) {
  ScriptedPeer peer;
  Connected c(peer);
  ASSERT_TRUE(c.WaitConnected());
  PumpPending();
  const size_t before = c.log.Count("sent 0");
  int sendData = 0;
  c.s->OnSendData = [&](core::TComponent*, int n) { sendData += n; };
  EXPECT_EQ(c.s->SendStr("one"), 3);
  EXPECT_EQ(c.s->SendStr("two"), 3);
  EXPECT_EQ(sendData, 6);  // OnSendData fires inside Send
  ASSERT_TRUE(peer.WaitForReceived(0, "onetwo"));
  ASSERT_TRUE(PumpUntil([&] { return c.log.Count("sent 0") == before + 2; }));
}

TEST(WSocketSend, DataSentOnlyOnceTheWholeQueueIsHandedOver) {
  testsupport::SinkServer sink(16384, testsupport::Millis(1), 4096, /*startPaused=*/true);
  auto s = core::MakeComponent<TWSocket>(nullptr);
  s->SetAddr("127.0.0.1");
  s->SetPort(std::to_string(sink.Port()));
  s->Connect();
  ASSERT_TRUE(PumpUntil([&] { return s->State() == wsConnected; }));
  PumpPending();
  std::vector<int> queuedAtDataSent;
  s->OnDataSent = [&](core::TComponent*, uint16_t) { queuedAtDataSent.push_back(s->BufferedByteCount()); };
  s->SetSocketSndBufSize(16384);  // the queue backs up here, every run
  const std::string data = Pattern(256 << 10);
  s->SendStr(data);
  PumpPending();
  ASSERT_GT(s->BufferedByteCount(), 0);
  EXPECT_TRUE(queuedAtDataSent.empty());
  sink.Resume();
  ASSERT_TRUE(PumpUntil([&] { return !queuedAtDataSent.empty(); }));
  ASSERT_TRUE(sink.WaitForBytes(data.size()));
  PumpPending();
  EXPECT_EQ(queuedAtDataSent, std::vector<int>{0});
}

TEST(WSocketSend, SendFromOnSendDataIsQueuedNotDuplicated) {
  ScriptedPeer peer;
  Connected c(peer);
  ASSERT_TRUE(c.WaitConnected());
  const std::string first = Pattern(5000);  // several chunks
  bool nested = false;
  c.s->OnSendData = [&](core::TComponent*, int) {
    if (nested) return;
    nested = true;
    c.s->SendStr("<tail>");
  };
  c.s->SendStr(first);
  ASSERT_TRUE(peer.WaitForReceived(0, "<tail>"));
  ASSERT_TRUE(PumpUntil([&] { return c.s->AllSent(); }));
  EXPECT_EQ(peer.Received(0), first + "<tail>");
}

TEST(WSocketSend, FlushFromOnSendDataLeavesTheSendingToTheRunningLoop) {
  ScriptedPeer peer;
  Connected c(peer);
  ASSERT_TRUE(c.WaitConnected());
  const std::string first = Pattern(5000);
  bool nested = false;
  c.s->OnSendData = [&](core::TComponent*, int) {
    if (nested) return;
    nested = true;
    c.s->SendStr("<tail>");
    c.s->Flush();  // must return: the loop that called this handler sends the rest
  };
  c.s->SendStr(first);
  ASSERT_TRUE(peer.WaitForReceived(0, "<tail>"));
  EXPECT_EQ(peer.Received(0), first + "<tail>");
}

TEST(WSocketSend, SendAfterPeerResetClosesWithTheError) {
  ScriptedPeer peer({Script().Expect("x").Reset()});
  Connected c(peer);
  ASSERT_TRUE(c.WaitConnected());
  c.s->SendStr("x");
  ASSERT_TRUE(peer.WaitForDone(0));
  c.log.events.clear();
  // No pumping: the reset is met by the send itself (and must not kill the process).
  EXPECT_EQ(c.s->SendStr("after reset"), 11);
  const std::vector<std::string> expected = {"state wsClosed", "closed 10054"};
  EXPECT_EQ(c.log.events, expected) << c.log.Text();
  EXPECT_EQ(c.s->HSocket(), INVALID_SOCKET);
}

TEST(WSocketSend, MegabytesThenCloseFromOnDataSentArriveWhole) {
  ScriptedPeer peer;
  Connected c(peer);
  ASSERT_TRUE(c.WaitConnected());
  PumpPending();
  const std::string data = Pattern(8 << 20);
  c.s->OnDataSent = [&](core::TComponent*, uint16_t) {
    if (c.s->State() == wsConnected) c.s->Close();
  };
  ASSERT_EQ(c.s->SendStr(data), static_cast<int>(data.size()));
  ASSERT_TRUE(PumpUntil([&] { return c.s->State() == wsClosed; }, 30s));
  ASSERT_TRUE(peer.WaitForBytesRead(data.size(), 30s)) << peer.TotalBytesRead();
  EXPECT_TRUE(peer.Received(0) == data);
}

// Close drops only what is still in our own queue: every byte the system accepted
// reaches the peer. The peer reads nothing until after the close; with unreadInput
// it has sent bytes first that the socket never read.
uint64_t BytesAfterCloseWithPeerStalled(uint64_t& handedToSystem, bool unreadInput) {
  Script script;
  if (unreadInput) script.Send(std::string(1000, 'u'));
  ScriptedPeer sink({script.Pause("sink").DrainSlowly(65536, testsupport::Millis(1))}, {4096});
  auto s = core::MakeComponent<TWSocket>(nullptr);
  s->SetAddr("127.0.0.1");
  s->SetPort(std::to_string(sink.Port()));
  s->OnSessionConnected = [&](core::TComponent*, uint16_t) { s->PauseEvents(); };  // reads nothing
  s->Connect();
  if (!PumpUntil([&] { return s->State() == wsConnected; })) return 0;
  if (unreadInput && !PumpUntil([&] { return s->RcvdCount() == 1000; })) return 0;
  handedToSystem = 0;
  s->OnSendData = [&](core::TComponent*, int n) { handedToSystem += static_cast<uint64_t>(n); };
  s->SendStr(Pattern(16 << 20));
  PumpPending();
  s->Close();
  sink.Resume("sink");
  sink.WaitForBytesRead(handedToSystem, testsupport::Millis(10000));
  return sink.TotalBytesRead();
}

TEST(WSocketClose, GracefulCloseDeliversEverythingTheSystemAccepted) {
  for (bool unreadInput : {false, true}) {
    SCOPED_TRACE(unreadInput ? "with unread input" : "nothing to read");
    uint64_t handed = 0;
    const uint64_t read = BytesAfterCloseWithPeerStalled(handed, unreadInput);
    EXPECT_GT(handed, 0u);
    EXPECT_LT(handed, 16u << 20);  // the peer was stalled: part stayed in our queue
    EXPECT_EQ(read, handed);
  }
}

TEST(WSocketClose, HardCloseWithLingerOnZeroStillResets) {
  auto s = core::MakeComponent<TWSocket>(nullptr);
  testsupport::SinkServer sink(65536, testsupport::Millis(1), 4096, /*startPaused=*/true);
  s->SetAddr("127.0.0.1");
  s->SetPort(std::to_string(sink.Port()));
  s->SetLingerOnOff(wsLingerOn);  // before Connect: ApplyLinger sets {on, 0}
  s->Connect();
  ASSERT_TRUE(PumpUntil([&] { return s->State() == wsConnected; }));
  uint64_t handed = 0;
  s->OnSendData = [&](core::TComponent*, int n) { handed += static_cast<uint64_t>(n); };
  s->SendStr(Pattern(16 << 20));
  PumpPending();
  s->Close();
  sink.Resume();
  ASSERT_TRUE(sink.Peer().WaitForDone(0));
  EXPECT_LT(sink.BytesRead(), handed);
}

TEST(WSocketReceive, NoHandlerDiscardsAndStaysUsable) {
  ScriptedPeer peer({Script().Expect("ping").Send("junk").Expect("again").Send("pong")});
  Connected c(peer);
  ASSERT_TRUE(c.WaitConnected());
  c.s->SendStr("ping");
  ASSERT_TRUE(PumpUntil([&] { return c.s->RawBytes == 4; })) << c.s->RawBytes;
  std::string got;
  c.s->OnDataAvailable = [&](core::TComponent*, uint16_t) { got += c.s->ReceiveStr(); };
  c.s->SendStr("again");
  ASSERT_TRUE(PumpUntil([&] { return got == "pong"; })) << got;
  EXPECT_EQ(c.s->State(), wsConnected);
}

TEST(WSocketReceive, AnythingAHandlerThrowsEndsOnlyThatLoop) {
  ScriptedPeer peer({Script().Send("hello").Expect("more").Send("world").Hold()});
  Connected c(peer);
  std::string got;
  int calls = 0;
  c.s->OnDataAvailable = [&](core::TComponent*, uint16_t) {
    got += c.s->ReceiveStr();
    if (++calls == 1) throw 42;  // not derived from std::exception
  };
  ASSERT_TRUE(PumpUntil([&] { return got == "hello"; })) << got;
  EXPECT_EQ(c.s->State(), wsConnected);
  c.s->SendStr("more");
  ASSERT_TRUE(PumpUntil([&] { return got == "helloworld"; })) << got;
}

TEST(WSocketReceive, NoReceiveLoopGivesOnePassPerNotification) {
  ScriptedPeer peer({Script().Send(std::string(100, 'x')).Hold()});
  Connected c(peer, {wsoNoReceiveLoop});
  std::string got;
  int calls = 0;
  c.s->OnDataAvailable = [&](core::TComponent*, uint16_t) {
    ++calls;
    char buf[10];
    const int n = c.s->Receive(buf, sizeof buf);
    if (n > 0) got.append(buf, static_cast<size_t>(n));
  };
  ASSERT_TRUE(PumpUntil([&] { return got.size() == 100; })) << got.size();
  EXPECT_GE(calls, 10);
  EXPECT_EQ(c.s->ReadCount(), 100);
}

TEST(WSocketReceive, PeerCloseDeliversUnreadDataFirstEvenWithoutLoop) {
  ScriptedPeer peer({Script().Send(std::string(5000, 'y')).CloseNow()});
  Connected c(peer, {wsoNoReceiveLoop});
  std::string got;
  size_t atClose = 0;
  c.s->OnDataAvailable = [&](core::TComponent*, uint16_t) {
    char buf[7];
    const int n = c.s->Receive(buf, sizeof buf);
    if (n > 0) got.append(buf, static_cast<size_t>(n));
  };
  c.s->OnSessionClosed = [&](core::TComponent*, uint16_t e) {
    atClose = got.size();
    c.log.Add("closed", e);
  };
  ASSERT_TRUE(PumpUntil([&] { return c.s->State() == wsClosed; })) << c.log.Text();
  EXPECT_EQ(atClose, 5000u);
  EXPECT_EQ(c.log.Count("closed 0"), 1u);
}

TEST(WSocketClose, CloseInsideOnSessionClosedFiresOnce) {
  ScriptedPeer peer({Script().CloseNow()});
  Connected c(peer);
  c.s->OnSessionClosed = [&](core::TComponent*, uint16_t e) {
    c.log.Add("closed", e);
    c.s->Close();
  };
  ASSERT_TRUE(PumpUntil([&] { return c.s->State() == wsClosed && c.log.Has("closed 0"); })) << c.log.Text();
  PumpPending();
  EXPECT_EQ(c.log.Count("closed 0"), 1u) << c.log.Text();
  EXPECT_EQ(c.log.Count("state wsClosed"), 1u) << c.log.Text();
}

TEST(WSocketClose, CloseDelayedFromOnDataAvailableWaitsForTheHandler) {
  ScriptedPeer peer({Script().Send("data").Hold()});
  Connected c(peer);
  bool stateAfterRequest = false;
  c.s->OnDataAvailable = [&](core::TComponent*, uint16_t) {
    c.s->ReceiveStr();
    c.s->CloseDelayed();
    stateAfterRequest = c.s->State() == wsConnected;
  };
  ASSERT_TRUE(PumpUntil([&] { return c.s->State() == wsClosed; }));
  EXPECT_TRUE(stateAfterRequest);
  EXPECT_EQ(c.log.Count("closed 0"), 1u);
  ASSERT_TRUE(peer.WaitForClientClose(0));
}

TEST(WSocketClose, AbortThenNextConnectionStartsFromDefaults) {
  ScriptedPeer peer;
  Connected c(peer);
  ASSERT_TRUE(c.WaitConnected());
  c.s->SetLingerOnOff(wsLingerOn);
  c.s->QueueSendData("never", 5);
  c.log.events.clear();
  c.s->Abort();
  const std::vector<std::string> expected = {"state wsClosed", "closed 0"};
  EXPECT_EQ(c.log.events, expected) << c.log.Text();
  EXPECT_EQ(c.s->BufferedByteCount(), 0);
  EXPECT_EQ(c.s->LingerOnOff(), wsLingerNoSet);
  EXPECT_FALSE(c.s->CloseInvoked());
  EXPECT_FALSE(c.s->AddrAssigned());
  c.s->Close();  // closing a closed socket does nothing
  EXPECT_EQ(c.log.events.size(), 2u);
}

TEST(WSocketPause, ReadArrivingWhilePausedIsDeliveredOnResume) {
  ScriptedPeer peer({Script().Send("hello").Hold()});
  Connected c(peer);
  std::string got;
  c.s->OnDataAvailable = [&](core::TComponent*, uint16_t) { got += c.s->ReceiveStr(); };
  c.s->OnSessionConnected = [&](core::TComponent*, uint16_t e) {
    c.log.Add("connected", e);
    c.s->PauseEvents();
  };
  ASSERT_TRUE(c.WaitConnected());
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (c.s->RcvdCount() < 5 && std::chrono::steady_clock::now() < deadline)
    core::Application().WaitMessage(5);
  PumpPending();
  EXPECT_EQ(got, "");
  // Resuming announces the waiting data; pausing again before it is handled must
  // not lose it either.
  c.s->ResumeEvents();
  c.s->PauseEvents();
  PumpPending();
  EXPECT_EQ(got, "");
  c.s->ResumeEvents();
  ASSERT_TRUE(PumpUntil([&] { return got == "hello"; })) << got;
}

TEST(WSocketPause, CloseQueuedBeforePauseIsDeliveredOnResume) {
  // The peer closes only once the connection's own events have been handled, so
  // the close cannot be dispatched before the pause.
  ScriptedPeer peer({Script().Pause("close").CloseNow()});
  Connected c(peer);
  ASSERT_TRUE(c.WaitConnected());
  PumpPending();
  ASSERT_FALSE(c.log.Has("closed 0")) << c.log.Text();
  peer.Resume("close");
  ASSERT_TRUE(peer.WaitForDone(0));
  // Let the system queue the close notification, then pause before it is handled.
  ASSERT_TRUE(WaitUntilQueued());
  c.s->PauseEvents();
  PumpPending();
  EXPECT_FALSE(c.log.Has("closed 0")) << c.log.Text();
  c.s->ResumeEvents();
  ASSERT_TRUE(PumpUntil([&] { return c.log.Has("closed 0"); })) << c.log.Text();
  EXPECT_EQ(c.s->State(), wsClosed);
}

TEST(WSocketBackground, ExceptionInAHandlerAbortsTheSocket) {
  ScriptedPeer peer;
  Connected c(peer);
  std::string seen;
  c.s->OnBgException = [&](core::TComponent*, const std::exception& e, bool&) { seen = e.what(); };
  c.s->OnSessionConnected = [](core::TComponent*, uint16_t) { throw std::runtime_error("handler failed"); };
  ASSERT_TRUE(PumpUntil([&] { return c.s->State() == wsClosed; })) << c.log.Text();
  EXPECT_EQ(seen, "handler failed");
  EXPECT_EQ(c.log.Count("closed 0"), 1u);
}

TEST(WSocketBackground, CanCloseFalseKeepsTheConnection) {
  ScriptedPeer peer;
  Connected c(peer);
  ASSERT_TRUE(c.WaitConnected());
  std::string seen;
  c.s->OnBgException = [&](core::TComponent*, const std::exception& e, bool& canClose) {
    seen = e.what();
    canClose = false;
  };
  winapi::PostMessage(c.s->Handle(), c.s->MsgTestException(), 0, 0);
  ASSERT_TRUE(PumpUntil([&] { return !seen.empty(); }));
  EXPECT_EQ(seen, "Test exception in WSocket");
  EXPECT_EQ(c.s->State(), wsConnected);
}

}  // namespace
}  // namespace net::testing
