// Moving a connected socket to another thread, and the socket's trace lines.
#include <gtest/gtest.h>

#include <thread>

#include "core/Logger.h"
#include "net/tests/WSocketTestSupport.h"
#include "testsupport/ScriptedPeer.h"

namespace net::testing {
namespace {

using testsupport::Script;
using testsupport::ScriptedPeer;

TEST(WSocketThreads, DetachAndAttachMoveTheNotifications) {
  ScriptedPeer peer({Script().Expect("go").Send("hello").Hold()});
  auto s = core::MakeComponent<TWSocket>(nullptr);
  s->SetAddr("127.0.0.1");
  s->SetPort(std::to_string(peer.Port()));
  s->Connect();
  ASSERT_TRUE(PumpUntil([&] { return s->State() == wsConnected; }));
  PumpPending();
  s->ThreadDetach();
  std::string got;
  uint32_t eventThread = 0;
  bool arrived = false;
  std::thread other([&] {
    s->ThreadAttach();
    s->OnDataAvailable = [&](core::TComponent*, uint16_t) {
      eventThread = winapi::GetCurrentThreadId();
      got += s->ReceiveStr();
    };
    s->SendStr("go");
    arrived = PumpUntil([&] { return got == "hello"; });
    s->ThreadDetach();
  });
  other.join();
  EXPECT_TRUE(arrived) << got;
  EXPECT_NE(eventThread, winapi::GetCurrentThreadId());
  s->ThreadAttach();
  s->Close();
  EXPECT_EQ(s->State(), wsClosed);
}

// A connect or close notification still queued for the old thread's window goes
// with the window's numbers; the new thread must hear of it all the same.
TEST(WSocketThreads, ConnectOrCloseQueuedAtDetachReachesTheNewThread) {
  struct Case {
    const char* what;
    bool peerCloses;
    TSocketState expected;
    const char* event;
  };
  for (const Case& c :
       {Case{"connect", false, wsConnected, "connected 0"}, Case{"close", true, wsClosed, "closed 0"}}) {
    SCOPED_TRACE(c.what);
    ScriptedPeer peer({Script().Pause("close").CloseNow()});
    EventLog log;  // before the socket: its close at destruction still reports here
    auto s = core::MakeComponent<TWSocket>(nullptr);
    log.Attach(*s);
    s->SetAddr("127.0.0.1");
    s->SetPort(std::to_string(peer.Port()));
    s->Connect();
    if (c.peerCloses) {
      ASSERT_TRUE(PumpUntil([&] { return log.Has("connected 0"); }));
      PumpPending();
      peer.Resume("close");
      ASSERT_TRUE(peer.WaitForDone(0));
    } else {
      ASSERT_TRUE(peer.WaitForAccepted(1));
    }
    ASSERT_TRUE(WaitUntilQueued());
    s->ThreadDetach();
    bool arrived = false;
    std::thread other([&] {
      s->ThreadAttach();
      arrived = PumpUntil([&] { return s->State() == c.expected && log.Has(c.event); });
      s->ThreadDetach();
    });
    other.join();
    EXPECT_TRUE(arrived) << log.Text();
    s->ThreadAttach();
    peer.Resume("close");
  }
}

// What the socket posted to itself before a move is handled on its new thread: a
// delayed close, and the line-data message that hands out held bytes.
TEST(WSocketThreads, OwnPostedMessagesFollowTheMove) {
  for (const bool lineData : {false, true}) {
    SCOPED_TRACE(lineData ? "line data" : "close delayed");
    ScriptedPeer peer({Script().Send("held").Hold()});
    auto s = core::MakeComponent<TWSocket>(nullptr);
    std::string got;
    s->OnDataAvailable = [&](core::TComponent*, uint16_t) { got += s->ReceiveStr(); };
    s->SetLineMode(true);
    s->SetAddr("127.0.0.1");
    s->SetPort(std::to_string(peer.Port()));
    s->Connect();
    ASSERT_TRUE(PumpUntil([&] { return s->LineBufferCount() == 4; }));
    PumpPending();
    if (lineData)
      s->SetLineMode(false);  // posts the delivery of the 4 held bytes
    else
      s->CloseDelayed();
    s->ThreadDetach();
    bool done = false;
    std::thread other([&] {
      s->ThreadAttach();
      done = PumpUntil([&] { return lineData ? got == "held" : s->State() == wsClosed; });
      s->ThreadDetach();
    });
    other.join();
    EXPECT_TRUE(done) << got;
    s->ThreadAttach();
    EXPECT_EQ(s->LineBufferCount(), 0);
  }
}

TEST(WSocketLog, TraceLinesOnlyForEnabledCategories) {
  ScriptedPeer peer;
  auto logger = core::Create<core::TLogger>(nullptr);
  std::vector<std::string> lines;
  logger->SetOnLogEvent(
      [&](core::TComponent*, core::TLogOption, const std::string& msg) { lines.push_back(msg); });
  logger->SetLogOptions({core::loDestEvent, core::loWsockInfo});
  auto s = core::MakeComponent<TWSocket>(nullptr);
  s->SetLogger(logger);
  s->SetAddr("127.0.0.1");
  s->SetPort(std::to_string(peer.Port()));
  s->Connect();
  ASSERT_TRUE(PumpUntil([&] { return s->State() == wsConnected; }));
  const std::string handle = std::to_string(s->HSocket());
  PumpPending();  // the first write notification: a dump line, not enabled
  s->Close();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "TWSocket will connect to 127.0.0.1:" + std::to_string(peer.Port()));
  EXPECT_EQ(lines[1].substr(8), " TCustomWSocket.Shutdown 1 " + handle);
  // Freeing the logger clears the socket's reference.
  core::Free(logger);
  EXPECT_EQ(s->Logger(), nullptr);
}

}  // namespace
}  // namespace net::testing
