// The order of a socket's events around the end of a connection and around pauses,
// a socket freeing itself from its own event, and the waiting operations in the
// way an application uses them.
#include <gtest/gtest.h>

#include "net/tests/WSocketTestSupport.h"
#include "testsupport/ScriptedPeer.h"

namespace net::testing {
namespace {

using testsupport::Script;
using testsupport::ScriptedPeer;

// Every event with the state it saw; data events carry what they read.
struct Recorder {
  std::vector<std::string> events;
  std::string data;

  void Attach(TCustomWSocket& s) {
    s.OnChangeState = [this](core::TComponent*, TSocketState, TSocketState n) {
      events.push_back(std::string("state ") + SocketStateName(n));
    };
    s.OnSessionConnected = [this, &s](core::TComponent*, uint16_t e) { Add("connected", e, s); };
    s.OnSessionClosed = [this, &s](core::TComponent*, uint16_t e) { Add("closed", e, s); };
    s.OnDataAvailable = [this, &s](core::TComponent*, uint16_t) {
      const std::string got = s.ReceiveStr();
      data += got;
      events.push_back("data");
    };
  }
  void Add(const char* what, uint16_t e, TCustomWSocket& s) {
    events.push_back(std::string(what) + " " + std::to_string(e) + " in " + SocketStateName(s.State()));
  }
  // The events from the first one starting with prefix on.
  std::vector<std::string> From(const std::string& prefix) const {
    auto it = std::find_if(events.begin(), events.end(),
                           [&](const std::string& e) { return e.rfind(prefix, 0) == 0; });
    return {it, events.end()};
  }
};

core::ComponentPtr<TWSocket> ConnectTo(uint16_t port, Recorder& rec) {
  auto s = core::MakeComponent<TWSocket>(nullptr);
  rec.Attach(*s);
  s->SetAddr("127.0.0.1");
  s->SetPort(std::to_string(port));
  s->Connect();
  return s;
}

// The peer's close: the data first, then the close event while still connected,
// then the change to closed, and nothing after. A local close with a read still
// queued: no data event after the close event either.
TEST(WSocketEventOrder, NothingFollowsTheCloseEvent) {
  for (bool peerCloses : {true, false}) {
    SCOPED_TRACE(peerCloses ? "peer closes" : "local close");
    ScriptedPeer peer({Script().Pause("go").Send("abc").CloseNow()});
    Recorder rec;
    auto s = ConnectTo(peer.Port(), rec);
    ASSERT_TRUE(PumpUntil([&] { return s->State() == wsConnected; }));
    PumpPending();
    rec.events.clear();
    peer.Resume("go");
    if (peerCloses) {
      ASSERT_TRUE(PumpUntil([&] { return s->State() == wsClosed; }));
      PumpPending();
      EXPECT_EQ(rec.data, "abc");
      const std::vector<std::string> tail = {"closed 0 in wsConnected", "state wsClosed"};
      EXPECT_EQ(rec.From("closed"), tail) << ::testing::PrintToString(rec.events);
    } else {
      ASSERT_TRUE(peer.WaitForDone(0));
      ASSERT_TRUE(WaitUntilQueued());
      s->Close();
      PumpPending();
      const std::vector<std::string> all = {"state wsClosed", "closed 0 in wsClosed"};
      EXPECT_EQ(rec.events, all);
    }
  }
}

// A connect outcome dispatched while events are paused is delivered on resume,
// success and failure alike.
TEST(WSocketEventOrder, ConnectOutcomeMetByAPauseComesOnResume) {
  ScriptedPeer peer;
  testsupport::RefusedPort refused;
  struct Case {
    uint16_t port;
    const char* event;
    TSocketState state;
  };
  for (const Case& c : {Case{peer.Port(), "connected 0 in wsConnected", wsConnected},
                        Case{refused.Port(), "connected 10061 in wsConnected", wsClosed}}) {
    SCOPED_TRACE(c.event);
    Recorder rec;
    auto s = ConnectTo(c.port, rec);
    ASSERT_TRUE(WaitUntilQueued());
    s->PauseEvents();
    PumpPending();
    EXPECT_EQ(s->State(), wsConnecting);
    s->ResumeEvents();
    ASSERT_TRUE(PumpUntil([&] { return s->State() == c.state; }));
    EXPECT_EQ(std::count(rec.events.begin(), rec.events.end(), c.event), 1);
  }
}

TEST(WSocketEventOrder, ReleaseFromItsOwnCloseEventFreesItAfterwards) {
  ScriptedPeer peer({Script().CloseNow()});
  auto owner = core::MakeComponent<core::TComponent>(nullptr);
  TWSocket* s = core::Create<TWSocket>(owner.get());
  bool aliveAfterRelease = false;
  s->OnSessionClosed = [&](core::TComponent*, uint16_t) {
    s->Release();
    aliveAfterRelease = s->State() == wsConnected;  // freed only from the loop
  };
  s->SetAddr("127.0.0.1");
  s->SetPort(std::to_string(peer.Port()));
  s->Connect();
  ASSERT_TRUE(PumpUntil([&] { return owner->ComponentCount() == 0; }));
  EXPECT_TRUE(aliveAfterRelease);
}

TEST(WSocketEventOrder, ShutdownFlushAndWaitForCloseInNormalUse) {
  {
    SCOPED_TRACE("Shutdown(1) ends our sending; the answer still comes in");
    ScriptedPeer peer({Script().Hold().Send("answer").CloseNow()});
    Recorder rec;
    auto s = ConnectTo(peer.Port(), rec);
    ASSERT_TRUE(PumpUntil([&] { return s->State() == wsConnected; }));
    s->SendStr("question");
    s->Shutdown(1);
    ASSERT_TRUE(PumpUntil([&] { return s->State() == wsClosed; }));
    EXPECT_EQ(peer.Received(0), "question");
    EXPECT_EQ(rec.data, "answer");
  }
  {
    SCOPED_TRACE("Flush returns once everything is handed over");
    testsupport::SinkServer sink(65536, testsupport::Millis(1), 65536);
    Recorder rec;
    auto s = ConnectTo(sink.Port(), rec);
    ASSERT_TRUE(PumpUntil([&] { return s->State() == wsConnected; }));
    s->SetSocketSndBufSize(16384);  // so the queue backs up here, not in the system
    const std::string data(4 << 20, 'f');
    s->SendStr(data);
    EXPECT_FALSE(s->AllSent());
    s->Flush();
    EXPECT_TRUE(s->AllSent());
    EXPECT_EQ(s->BufferedByteCount(), 0);
    EXPECT_TRUE(sink.WaitForBytes(data.size()));
  }
  {
    SCOPED_TRACE("WaitForClose gives every byte to a slow reader, even while paused");
    ScriptedPeer peer({Script().Pause("go").Send("tail").CloseNow()});
    Recorder rec;
    auto s = ConnectTo(peer.Port(), rec);
    ASSERT_TRUE(PumpUntil([&] { return s->State() == wsConnected; }));
    s->SetComponentOptions({wsoNoReceiveLoop});
    s->OnDataAvailable = [&](core::TComponent*, uint16_t) {
      char ch;
      if (s->Receive(&ch, 1) == 1) rec.data += ch;
    };
    s->PauseEvents();  // WaitForClose alone reads now
    peer.Resume("go");
    ASSERT_TRUE(peer.WaitForDone(0));
    s->WaitForClose();
    EXPECT_EQ(rec.data, "tail");
    s->ResumeEvents();
    s->WaitForClose();
    EXPECT_EQ(s->State(), wsClosed);
    EXPECT_EQ(rec.From("closed").size(), 2u) << ::testing::PrintToString(rec.events);
  }
}

}  // namespace
}  // namespace net::testing
