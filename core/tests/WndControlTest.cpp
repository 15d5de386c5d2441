// The component base: window lifetime, deferred release, background errors,
// message loops and moving a component between threads.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <stdexcept>
#include <thread>

#include "core/Application.h"
#include "core/WndControl.h"
#include "core/tests/WndTestSupport.h"

using namespace core;
using testsupport_core::PumpPending;
using testsupport_core::PumpUntil;
using testsupport_core::TTestControl;

namespace {

int HandlersOfThisThread() {
  return WndHandlerPool().HandlerCount(winapi::GetCurrentThreadId());
}

template <class F>
std::string FailureOf(F&& f) {
  try {
    f();
  } catch (const ECoreException& e) {
    return e.Message();
  }
  return "(no exception)";
}

constexpr auto kWatchdog = std::chrono::seconds(5);

}  // namespace

TEST(WndControlTest, WindowComesWithTheFirstHandleAndGoesWithTheLastComponent) {
  auto a = MakeComponent<TTestControl>(nullptr, 3);
  EXPECT_EQ(a->WndHandler(), nullptr);
  EXPECT_EQ(HandlersOfThisThread(), 0);
  winapi::HWND wnd = a->Handle();
  ASSERT_NE(wnd, nullptr);
  EXPECT_EQ(a->WndHandler()->MsgCnt(), 4);
  EXPECT_EQ(a->ThreadID(), winapi::GetCurrentThreadId());
  auto b = MakeComponent<TTestControl>(nullptr, 0);
  EXPECT_EQ(b->Handle(), wnd);
  a.reset();
  EXPECT_TRUE(winapi::IsWindow(wnd));
  EXPECT_EQ(b->WndHandler()->MsgCnt(), 1);
  b.reset();
  EXPECT_FALSE(winapi::IsWindow(wnd));
  EXPECT_EQ(HandlersOfThisThread(), 0);
}

TEST(WndControlTest, FreeReachesTheMostDerivedFreeMsgHandlers) {
  auto keep = MakeComponent<TTestControl>(nullptr, 0);
  keep->Handle();
  int freeCalls = 0;
  TTestControl* c = Create<TTestControl>(nullptr, 5);
  c->FreeCallsOut = &freeCalls;
  c->Handle();
  ASSERT_EQ(keep->WndHandler()->MsgCnt(), 7);
  Free(c);
  EXPECT_EQ(freeCalls, 1);
  EXPECT_EQ(keep->WndHandler()->MsgCnt(), 1);
}

TEST(WndControlTest, DeleteWithoutTheSecondPhaseLeavesNoNumberBehind) {
  auto keep = MakeComponent<TTestControl>(nullptr, 1);
  keep->Handle();
  auto* c = new TTestControl(nullptr, 4);
  c->Handle();
  c->Post(2);  // must not reach the deleted object
  delete c;
  EXPECT_EQ(keep->WndHandler()->MsgCnt(), 2);
  int got = 0;
  keep->OnMsg = [&](int, TMessage&) { ++got; };
  keep->Post(0);
  PumpPending();
  EXPECT_EQ(got, 1);
}

TEST(WndControlTest, ReleaseFromAHandlerFreesOnlyAfterTheHandlerReturned) {
  auto alive = std::make_shared<bool>(true);
  TTestControl* c = Create<TTestControl>(nullptr, 1);
  c->Alive = alive;
  bool aliveAfterRelease = false;
  c->OnMsg = [&](int, TMessage&) {
    c->Release();
    aliveAfterRelease = *alive;
  };
  c->Handle();
  c->Post(0);
  ASSERT_TRUE(PumpUntil([&] { return !*alive; }));
  EXPECT_TRUE(aliveAfterRelease);
  EXPECT_EQ(HandlersOfThisThread(), 0);
}

TEST(WndControlTest, BackgroundExceptionAbortsUnlessTheEventSaysNo) {
  auto c = MakeComponent<TTestControl>(nullptr, 1);
  c->OnMsg = [](int, TMessage&) { throw std::runtime_error("handler failed"); };
  c->Handle();

  c->Post(0);  // no event: abort
  ASSERT_TRUE(PumpUntil([&] { return c->AbortCalls == 1; }));

  std::string seen;
  TComponent* sender = nullptr;
  bool initialCanClose = false;
  c->SetBgExceptionHandler([&](TComponent* s, const std::exception& e, bool& canClose) {
    sender = s;
    seen = e.what();
    initialCanClose = canClose;
    canClose = false;
  });
  c->Post(0);
  ASSERT_TRUE(PumpUntil([&] { return !seen.empty(); }));
  EXPECT_EQ(seen, "handler failed");
  EXPECT_EQ(sender, c.get());
  EXPECT_TRUE(initialCanClose);
  EXPECT_EQ(c->AbortCalls, 1);

  // An event that itself throws is swallowed; CanClose is still true, so abort runs.
  c->SetBgExceptionHandler(
      [](TComponent*, const std::exception&, bool&) { throw std::logic_error("event"); });
  c->Post(0);
  ASSERT_TRUE(PumpUntil([&] { return c->AbortCalls == 2; }));
}

TEST(WndControlTest, PumpOneMessageOnEmptyQueueAndOnQuit) {
  auto c = MakeComponent<TTestControl>(nullptr, 1);
  c->Handle();
  PumpPending();
  EXPECT_FALSE(c->PumpOneMessage());
  EXPECT_FALSE(c->Terminated());

  int got = 0;
  c->OnMsg = [&](int, TMessage&) { ++got; };
  c->Post(0);
  winapi::PostQuitMessage(0);
  EXPECT_TRUE(c->PumpOneMessage());  // the posted message comes first
  EXPECT_EQ(got, 1);
  EXPECT_FALSE(c->Terminated());
  EXPECT_TRUE(c->PumpOneMessage());  // the quit message: consumed, not dispatched
  EXPECT_TRUE(c->Terminated());
  EXPECT_FALSE(c->PumpOneMessage());
}

TEST(WndControlTest, MessageLoopRunsUntilQuitAndPumpMessagesEmptiesTheQueue) {
  auto c = MakeComponent<TTestControl>(nullptr, 1);
  c->Handle();
  int got = 0;
  c->OnMsg = [&](int, TMessage& m) {
    ++got;
    if (m.WParam == 1) winapi::PostQuitMessage(0);
  };
  c->Post(0);
  c->Post(0, 1);
  c->MessageLoop();
  EXPECT_EQ(got, 2);
  EXPECT_TRUE(c->Terminated());

  c->SetTerminated(false);
  for (int i = 0; i < 5; ++i) c->Post(0);
  c->PumpMessages();
  EXPECT_EQ(got, 7);
  EXPECT_FALSE(c->PumpOneMessage());
}

TEST(WndControlTest, MessagePumpGoesThroughTheApplicationUnlessMultiThreaded) {
  struct TCountingApp : IApplication {
    void ProcessMessages() override { ++calls; }
    bool WaitMessage(uint32_t) override { return false; }
    bool Terminated() const override { return false; }
    void Terminate() override {}
    int calls = 0;
  } app;
  SetApplication(&app);
  auto c = MakeComponent<TTestControl>(nullptr, 1);
  c->Handle();
  int got = 0;
  c->OnMsg = [&](int, TMessage&) { ++got; };
  c->Post(0);
  c->MessagePump();
  EXPECT_EQ(app.calls, 1);
  EXPECT_EQ(got, 0);
  c->SetMultiThreadPump(true);
  c->MessagePump();
  EXPECT_EQ(app.calls, 1);
  EXPECT_EQ(got, 1);
  SetApplication(nullptr);
}

TEST(WndControlTest, ConsoleApplicationPumpsWaitsAndMeetsQuit) {
  TConsoleApplication app;
  auto c = MakeComponent<TTestControl>(nullptr, 1);
  c->Handle();
  int got = 0;
  c->OnMsg = [&](int, TMessage&) { ++got; };
  EXPECT_FALSE(app.WaitMessage(10));
  c->Post(0);
  EXPECT_TRUE(app.WaitMessage(1000));
  app.ProcessMessages();
  EXPECT_EQ(got, 1);
  EXPECT_FALSE(app.Terminated());
  winapi::PostQuitMessage(0);
  app.ProcessMessages();
  EXPECT_TRUE(app.Terminated());
}

// Once the installed application is terminating, the console pump returns after
// the message at hand: a queue that never runs empty cannot hold a caller that
// waits for the end.
TEST(WndControlTest, ConsoleApplicationStopsBetweenMessagesOnceTerminating) {
  struct TEndingApp : IApplication {
    void ProcessMessages() override { base.ProcessMessages(); }
    bool WaitMessage(uint32_t ms) override { return base.WaitMessage(ms); }
    bool Terminated() const override { return ending; }
    void Terminate() override { ending = true; }
    TConsoleApplication base;
    bool ending = false;
  } app;
  SetApplication(&app);
  auto c = MakeComponent<TTestControl>(nullptr, 1);
  c->Handle();
  int got = 0;
  c->OnMsg = [&](int, TMessage&) {
    if (++got == 2) app.Terminate();
  };
  for (int i = 0; i < 5; ++i) c->Post(0);
  app.ProcessMessages();
  EXPECT_EQ(got, 2);
  app.ProcessMessages();
  EXPECT_EQ(got, 3);  // still one at a time, so a terminating caller makes progress
  SetApplication(nullptr);
  c->PumpMessages();
  EXPECT_EQ(got, 5);
}

TEST(WndControlTest, DetachAndAttachMoveTheComponentAndItsMessagesToAnotherThread) {
  auto c = MakeComponent<TTestControl>(nullptr, 1);
  c->Handle();
  EXPECT_EQ(FailureOf([&] { c->ThreadAttach(); }), "Cannot attach when not detached");
  c->ThreadDetach();
  EXPECT_EQ(c->ThreadID(), 0u);
  EXPECT_EQ(HandlersOfThisThread(), 0);
  EXPECT_EQ(FailureOf([&] { c->ThreadDetach(); }), "Cannot detach from another thread");

  std::promise<void> attached, handled, mayDetach;
  std::promise<std::string> detachedAgain;
  uint32_t handledOn = 0;
  c->OnMsg = [&](int, TMessage& m) {
    handledOn = winapi::GetCurrentThreadId();
    if (m.WParam == 1) winapi::PostQuitMessage(0);
  };
  std::thread worker([&] {
    c->ThreadAttach();
    attached.set_value();
    c->MessageLoop();
    handled.set_value();
    mayDetach.get_future().wait();
    c->ThreadDetach();
    detachedAgain.set_value("");
  });
  ASSERT_EQ(attached.get_future().wait_for(kWatchdog), std::future_status::ready);
  uint32_t workerId = c->ThreadID();
  EXPECT_NE(workerId, winapi::GetCurrentThreadId());
  EXPECT_EQ(FailureOf([&] { c->ThreadDetach(); }), "Cannot detach from another thread");
  c->Post(0, 1);  // from this thread, handled on the worker
  auto handledFuture = handled.get_future();
  bool reached = handledFuture.wait_for(kWatchdog) == std::future_status::ready;
  if (!reached) winapi::PostMessage(c->Handle(), c->Num(0), 1, 0);  // let the worker end anyway
  mayDetach.set_value();
  EXPECT_TRUE(reached);
  EXPECT_EQ(handledOn, workerId);
  EXPECT_EQ(detachedAgain.get_future().wait_for(kWatchdog), std::future_status::ready);
  worker.join();
  EXPECT_EQ(c->WndHandler(), nullptr);
  EXPECT_EQ(WndHandlerPool().ThreadListCount(), 0);
}
