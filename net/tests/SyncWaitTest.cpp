// The synchronous wait: ended by its flag, by a quit message, by the application's
// termination and by its time limit, also across the tick counter's wrap and under
// a stream of messages that never lets the queue run dry.
#include <gtest/gtest.h>

#include <chrono>

#include "net/SyncWSocket.h"
#include "net/tests/WSocketTestSupport.h"
#include "testsupport/ScriptedPeer.h"

namespace net::testing {
namespace {

using Clock = std::chrono::steady_clock;

// The console application, plus a watchdog that reports termination once it fires:
// a wait that would never end returns, and the test sees that it was the watchdog.
class TWatchdogApplication : public core::IApplication {
 public:
  explicit TWatchdogApplication(std::chrono::milliseconds limit = 5s) : FDeadline(Clock::now() + limit) {
    core::SetApplication(this);
  }
  ~TWatchdogApplication() override { core::SetApplication(nullptr); }
  void ProcessMessages() override { FBase.ProcessMessages(); }
  void ProcessMessagesUntil(const std::function<bool()>& stop) override { FBase.ProcessMessagesUntil(stop); }
  bool WaitMessage(uint32_t timeoutMs) override { return FBase.WaitMessage(timeoutMs); }
  bool Terminated() const override {
    if (Clock::now() > FDeadline) FFired = true;
    return FFired || FTerminated || FBase.Terminated();
  }
  void Terminate() override { FTerminated = true; }
  bool Fired() const { return FFired; }

 private:
  core::TConsoleApplication FBase;
  Clock::time_point FDeadline;
  mutable bool FFired = false;
  bool FTerminated = false;
};

// A listening socket whose delayed close shows whether messages were pumped.
core::ComponentPtr<TWSocket> ListeningWithCloseQueued() {
  auto s = core::MakeComponent<TWSocket>(nullptr);
  s->SetAddr("127.0.0.1");
  s->SetPort("0");
  s->Listen();
  s->CloseDelayed();
  return s;
}

TEST(SyncWait, DoneInsideProcReturnsAtOnceWithoutPumping) {
  auto waiter = core::MakeComponent<TWSocket>(nullptr);
  auto other = ListeningWithCloseQueued();
  bool done = true;
  EXPECT_EQ(waiter->RunAndWait([&] { done = true; }, done), 0);
  EXPECT_EQ(other->State(), wsListening);
  PumpPending();
  EXPECT_EQ(other->State(), wsClosed);
}

TEST(SyncWait, EndsWhenAnEventSetsDone) {
  TWatchdogApplication app;
  testsupport::ScriptedPeer peer({testsupport::Script().Expect("ping\r\n").Send("pong\r\n")});
  auto s = core::MakeComponent<TWSocket>(nullptr);
  bool done = false;
  std::string reply;
  s->OnSessionConnected = [&](core::TComponent*, uint16_t) { done = true; };
  s->OnDataAvailable = [&](core::TComponent*, uint16_t) {
    reply = s->ReceiveStr();
    done = true;
  };
  s->SetAddr("127.0.0.1");
  s->SetPort(std::to_string(peer.Port()));
  s->SetLineMode(true);
  EXPECT_EQ(s->RunAndWait([&] { s->Connect(); }, done), 0);
  EXPECT_EQ(s->State(), wsConnected);
  EXPECT_EQ(s->RunAndWait([&] { s->SendLine("ping"); }, done), 0);
  EXPECT_EQ(reply, "pong\r\n");
  EXPECT_FALSE(app.Fired());
}

// The wait blocks on the thread's queue and wakes when the socket has something:
// the peer sends only once the wait is blocked, and every blocking wait must end
// because of work (waits that timed out, or no blocking wait at all, fail).
class TWakeRecorder : public TWatchdogApplication {
 public:
  std::function<void()> onFirstWait;
  std::vector<bool> woken;
  bool WaitMessage(uint32_t) override {
    if (woken.empty() && onFirstWait) onFirstWait();
    // Far longer than the wait's own idle slice: only work can end it early.
    woken.push_back(TWatchdogApplication::WaitMessage(4000));
    return woken.back();
  }
};

TEST(SyncWait, WakesAtOnceOnASocketEvent) {
  TWakeRecorder app;
  testsupport::ScriptedPeer peer({testsupport::Script().Pause("send").Send("x").Hold()});
  auto s = core::MakeComponent<TWSocket>(nullptr);
  bool done = false;
  s->OnDataAvailable = [&](core::TComponent*, uint16_t) {
    if (!s->ReceiveStr().empty()) done = true;
  };
  s->SetAddr("127.0.0.1");
  s->SetPort(std::to_string(peer.Port()));
  s->Connect();
  ASSERT_TRUE(PumpUntil([&] { return s->State() == wsConnected; }));
  PumpPending();
  app.onFirstWait = [&] { peer.Resume("send"); };
  EXPECT_EQ(s->WaitUntilDone(done), 0);
  ASSERT_FALSE(app.woken.empty());
  EXPECT_EQ(app.woken, std::vector<bool>(app.woken.size(), true));
  EXPECT_FALSE(app.Fired());
}

TEST(SyncWait, QuitMessageEndsTheWait) {
  TWatchdogApplication app;
  auto s = core::MakeComponent<TWSocket>(nullptr);
  s->SetMultiThreadPump(true);  // the component's own loop sees the quit
  bool done = false;
  EXPECT_EQ(s->RunAndWait([] { winapi::PostQuitMessage(0); }, done), WSocketWaitFailed);
  EXPECT_TRUE(s->Terminated());
  EXPECT_FALSE(app.Fired());
  s->SetTerminated(false);
}

TEST(SyncWait, ApplicationTerminationEndsTheWait) {
  TWatchdogApplication app;
  auto s = core::MakeComponent<TWSocket>(nullptr);
  auto other = ListeningWithCloseQueued();
  other->OnChangeState = [&](core::TComponent*, TSocketState, TSocketState) { app.Terminate(); };
  bool done = false;
  EXPECT_EQ(s->WaitUntilDone(done), WSocketWaitFailed);
  EXPECT_EQ(other->State(), wsClosed);
  EXPECT_FALSE(app.Fired());
}

// The limit is measured in elapsed ticks: right before the counter's sign bit flips
// and right before it wraps, a wait still lasts its time, no less, and ends.
TEST(SyncWait, TimeLimitHoldsAcrossTheTickCountersWrap) {
  for (const winapi::DWORD ticksBeforeEdge : {0x80000000u - 40u, 0u - 40u, 0u}) {
    const winapi::DWORD now = winapi::GetTickCount();
    winapi::SetTickCountOffsetForTesting(ticksBeforeEdge - now);
    TWatchdogApplication app;
    auto s = core::MakeComponent<TWSocket>(nullptr);
    s->SetTimeout(150);
    bool done = false;
    const auto start = Clock::now();
    EXPECT_EQ(s->WaitUntilDone(done), WSocketWaitFailed) << ticksBeforeEdge;
    EXPECT_GE(Clock::now() - start, 150ms) << ticksBeforeEdge;
    EXPECT_FALSE(app.Fired()) << ticksBeforeEdge;
    winapi::SetTickCountOffsetForTesting(0);
  }
}

TEST(SyncWait, NoLimitWhenTimeoutIsZero) {
  TWatchdogApplication app(300ms);
  auto s = core::MakeComponent<TWSocket>(nullptr);
  bool done = false;
  EXPECT_EQ(s->WaitUntilDone(done), WSocketWaitFailed);
  EXPECT_TRUE(app.Fired());  // only the watchdog ended it
}

// A peer that never stops sending, read a little per notification: the queue never
// empties, and the wait must still end at its limit.
TEST(SyncWait, TimeLimitHoldsUnderAStreamOfMessages) {
  TWatchdogApplication app;
  testsupport::ScriptedPeer peer({testsupport::Script().SendForever(std::string(4096, 'x'))});
  auto s = core::MakeComponent<TWSocket>(nullptr);
  s->SetComponentOptions({wsoNoReceiveLoop});
  bool streaming = false;
  s->OnDataAvailable = [&](core::TComponent*, uint16_t) {
    char buf[16];
    streaming = s->Receive(buf, sizeof buf) > 0;
  };
  s->SetAddr("127.0.0.1");
  s->SetPort(std::to_string(peer.Port()));
  s->SetTimeout(200);
  // Pumping until the queue is empty would never return from here on.
  ASSERT_EQ(s->RunAndWait([&] { s->Connect(); }, streaming), 0);
  bool done = false;
  EXPECT_EQ(s->WaitUntilDone(done), WSocketWaitFailed);
  EXPECT_FALSE(app.Fired());
  s->Abort();
}

}  // namespace
}  // namespace net::testing
