// Message numbers, hidden windows and routing, on real per-thread queues.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <set>
#include <thread>
#include <vector>

#include "core/WndHandler.h"
#include "core/tests/WndTestSupport.h"

using namespace core;
using testsupport_core::PumpPending;
using testsupport_core::PumpUntil;
using testsupport_core::TTestControl;

namespace {

ComponentPtr<TTestControl> Attached(int extra) {
  auto c = MakeComponent<TTestControl>(nullptr, extra);
  c->Handle();
  return c;
}

int HandlersOfThisThread() {
  return WndHandlerPool().HandlerCount(winapi::GetCurrentThreadId());
}

bool ClassRegistered() {
  winapi::WNDCLASS wc{};
  return winapi::GetClassInfo(winapi::GetModuleHandle(nullptr), WndControlWindowClassName, &wc) != 0;
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

}  // namespace

TEST(WndHandlerPoolTest, RoutesEachNumberToItsOwnerWithItsParameters) {
  auto a = Attached(2);
  auto b = Attached(1);
  ASSERT_EQ(a->Handle(), b->Handle());  // one window serves both
  std::vector<std::string> seen;
  a->OnMsg = [&](int i, TMessage& m) {
    seen.push_back("a" + std::to_string(i) + ":" + std::to_string(m.WParam) + "," + std::to_string(m.LParam));
  };
  b->OnMsg = [&](int i, TMessage& m) {
    seen.push_back("b" + std::to_string(i) + ":" + std::to_string(m.WParam) + "," + std::to_string(m.LParam));
  };
  a->Post(1, 7, -3);
  b->Post(0, 1, 2);
  a->Post(0, 9, 9);
  ASSERT_TRUE(PumpUntil([&] { return seen.size() == 3; }));
  EXPECT_EQ(seen, (std::vector<std::string>{"a1:7,-3", "b0:1,2", "a0:9,9"}));
}

TEST(WndHandlerPoolTest, FullWindowSendsTheNextComponentToASecondWindowStartingAt1025) {
  auto full = Attached(99);  // 1 + 99 = the whole block
  EXPECT_EQ(full->MsgRelease(), 1025u);
  EXPECT_EQ(full->Num(98), 1124u);
  EXPECT_EQ(full->WndHandler()->MsgLeft(), 0);
  auto next = Attached(0);
  EXPECT_NE(next->Handle(), full->Handle());
  EXPECT_EQ(next->MsgRelease(), 1025u);
  EXPECT_EQ(HandlersOfThisThread(), 2);
  full.reset();
  next.reset();
  EXPECT_EQ(HandlersOfThisThread(), 0);
}

TEST(WndHandlerPoolTest, ComponentGoesToTheFirstWindowWithRoomForAllItsNumbers) {
  auto a1 = Attached(59);  // 60 numbers in window 1
  auto a2 = Attached(39);  // 40 more fill window 1 exactly: they share it
  EXPECT_EQ(a2->Handle(), a1->Handle());
  auto b = Attached(49);  // 50 in window 2
  ASSERT_NE(b->Handle(), a1->Handle());
  a2.reset();             // window 1 has 40 free, window 2 has 50
  auto c = Attached(29);  // 30 fit in window 1
  EXPECT_EQ(c->Handle(), a1->Handle());
  auto d = Attached(44);  // 45: window 1 has only 10 left
  EXPECT_EQ(d->Handle(), b->Handle());
  auto e = Attached(59);  // 60 fit nowhere: a third window
  EXPECT_NE(e->Handle(), a1->Handle());
  EXPECT_NE(e->Handle(), b->Handle());
  EXPECT_EQ(HandlersOfThisThread(), 3);
}

TEST(WndHandlerPoolTest, ReleasedNumbersAreReusedLowestFirst) {
  auto keep = Attached(0);
  auto a = Attached(0);
  auto b = Attached(0);
  auto c = Attached(0);
  EXPECT_EQ(a->MsgRelease(), 1026u);
  EXPECT_EQ(b->MsgRelease(), 1027u);
  b.reset();
  a.reset();
  auto d = Attached(2);  // takes 1026, 1027, then 1029 after c's 1028
  EXPECT_EQ(d->MsgRelease(), 1026u);
  EXPECT_EQ(d->Num(0), 1027u);
  EXPECT_EQ(d->Num(1), 1029u);
}

TEST(WndHandlerPoolTest, LastNumberTakesTheWindowAndItsQueuedMessagesWithIt) {
  auto a = Attached(1);
  winapi::HWND old = a->Handle();
  int got = 0;
  a->OnMsg = [&](int, TMessage&) { ++got; };
  a->Post(0);
  a->Post(0);
  a.reset();
  EXPECT_FALSE(winapi::IsWindow(old));
  EXPECT_EQ(winapi::PostMessage(old, 1026, 0, 0), 0);
  EXPECT_EQ(HandlersOfThisThread(), 0);

  auto b = Attached(1);  // same numbers, new window
  int gotB = 0;
  b->OnMsg = [&](int, TMessage&) { ++gotB; };
  PumpPending();
  EXPECT_EQ(got, 0);
  EXPECT_EQ(gotB, 0);
}

TEST(WndHandlerPoolTest, ReleasedNumberDropsItsQueuedMessagesButNotOthers) {
  auto keep = Attached(1);  // keeps the window alive
  auto a = Attached(1);
  int keepGot = 0, staleGot = 0;
  keep->OnMsg = [&](int, TMessage&) { ++keepGot; };
  a->OnMsg = [&](int, TMessage&) { ++staleGot; };
  uint32_t number = a->Num(0);
  a->Post(0);
  keep->Post(0);
  a->Post(0);
  a.reset();
  auto b = Attached(1);  // inherits the released numbers of the same window
  ASSERT_EQ(b->Handle(), keep->Handle());
  ASSERT_EQ(b->Num(0), number);
  int newOwnerGot = 0;
  b->OnMsg = [&](int, TMessage&) { ++newOwnerGot; };
  PumpPending();
  EXPECT_EQ(keepGot, 1);
  EXPECT_EQ(staleGot, 0);
  EXPECT_EQ(newOwnerGot, 0);
}

TEST(WndHandlerPoolTest, ClassIsUnregisteredWithTheLastWindowAndRegisteredAgain) {
  ASSERT_EQ(LiveHiddenWindowCount(), 0);
  auto a = Attached(0);
  auto b = Attached(99);  // a second window
  EXPECT_EQ(LiveHiddenWindowCount(), 2);
  a.reset();
  EXPECT_TRUE(ClassRegistered());
  b.reset();
  EXPECT_EQ(LiveHiddenWindowCount(), 0);
  EXPECT_FALSE(ClassRegistered());
  auto c = Attached(0);
  EXPECT_TRUE(ClassRegistered());
  EXPECT_EQ(LiveHiddenWindowCount(), 1);
}

TEST(WndHandlerPoolTest, RegistrationAndReleaseFailuresCarryTheirMessages) {
  std::lock_guard<std::recursive_mutex> lock(WndHandlerPool().CritSect());
  TTestControl owner;
  TWndHandler undefined(nullptr, 1000);
  uint32_t some = 1025;
  EXPECT_EQ(FailureOf([&] { undefined.RegisterMessage(&owner); }), "MsgLow not defined");
  EXPECT_EQ(FailureOf([&] { undefined.UnregisterMessage(some); }), "MsgLow not defined");
  EXPECT_EQ(undefined.HiddenWnd(), nullptr);

  TWndHandler h(nullptr, 1025);
  std::vector<uint32_t> nums;
  for (int i = 0; i < 100; ++i) nums.push_back(h.RegisterMessage(&owner));
  EXPECT_EQ(nums.front(), 1025u);
  EXPECT_EQ(nums.back(), 1124u);
  EXPECT_EQ(FailureOf([&] { h.RegisterMessage(&owner); }), "No more free message");
  uint32_t below = 1024, above = 1125;
  EXPECT_EQ(FailureOf([&] { h.UnregisterMessage(below); }), "Msg value out of bound");
  EXPECT_EQ(FailureOf([&] { h.UnregisterMessage(above); }), "Msg value out of bound");
  EXPECT_EQ(below, 1024u);  // a refused release leaves the variable alone
  uint32_t n = nums[5];
  h.UnregisterMessage(nums[5]);
  EXPECT_EQ(nums[5], 0u);
  EXPECT_EQ(FailureOf([&] { h.UnregisterMessage(n); }), "Msg not registered");
  EXPECT_EQ(h.MsgCnt(), 99);

  uint32_t zero = 0;
  h.UnregisterMessage(zero);     // nothing happens
  h.UnregisterMessage(nums[5]);  // already 0 after the first release
  EXPECT_EQ(h.MsgCnt(), 99);
  for (uint32_t& m : nums) h.UnregisterMessage(m);
  EXPECT_EQ(h.HiddenWnd(), nullptr);  // the last number took the window
}

TEST(WndHandlerPoolTest, FreeNumbersAndForeignMessagesGetDefaultProcessing) {
  auto a = Attached(1);
  TWndHandler* h = a->WndHandler();
  int got = 0;
  a->OnMsg = [&](int, TMessage&) { ++got; };
  for (uint32_t msg : {1090u, 1024u, 1125u, 0x113u}) {
    TMessage m{msg, 1, 2, 77};
    h->WndProc(m);
    EXPECT_EQ(m.Result, 0) << msg;  // the default procedure's answer
  }
  EXPECT_EQ(winapi::PostMessage(a->Handle(), 1090, 0, 0), 1);
  PumpPending();
  EXPECT_EQ(got, 0);
  // A window whose slot is empty (as during creation) is answered by default too.
  EXPECT_EQ(WndControlWindowProc(nullptr, 1026, 0, 0), 0);
}

TEST(WndHandlerPoolTest, HandlerCatchesWhatAComponentLetsEscape) {
  struct TThrowing : TTestControl {
    using TTestControl::TTestControl;
    void WndProc(TMessage& m) override {
      if (m.Msg == Num(0)) throw std::runtime_error("escaped");
      TTestControl::WndProc(m);
    }
  };
  auto c = MakeComponent<TThrowing>(nullptr, 1);
  c->Handle();
  std::string seen;
  c->WndHandler()->SetBgExceptionHandler(
      [&](TWndHandler*, const std::exception& e, bool&) { seen = e.what(); });
  TMessage m{c->Num(0), 0, 0, 0};
  EXPECT_NO_THROW(c->WndHandler()->WndProc(m));
  EXPECT_EQ(seen, "escaped");
  c->WndHandler()->SetBgExceptionHandler(nullptr);
  EXPECT_NO_THROW(c->WndHandler()->WndProc(m));  // discarded without an event
}

TEST(WndHandlerPoolTest, PostsFromOtherThreadsArriveInPostingOrder) {
  auto c = Attached(1);
  constexpr int kThreads = 4, kPerThread = 500;
  std::vector<std::vector<intptr_t>> got(kThreads);
  int total = 0;
  c->OnMsg = [&](int, TMessage& m) {
    got[m.WParam].push_back(m.LParam);
    ++total;
  };
  winapi::HWND wnd = c->Handle();
  uint32_t number = c->Num(0);
  std::vector<std::thread> posters;
  for (int t = 0; t < kThreads; ++t) {
    posters.emplace_back([=] {
      for (int i = 0; i < kPerThread; ++i) winapi::PostMessage(wnd, number, static_cast<uintptr_t>(t), i);
    });
  }
  for (auto& p : posters) p.join();
  ASSERT_TRUE(PumpUntil([&] { return total == kThreads * kPerThread; }));
  for (int t = 0; t < kThreads; ++t) {
    ASSERT_EQ(got[t].size(), static_cast<size_t>(kPerThread));
    for (int i = 0; i < kPerThread; ++i) ASSERT_EQ(got[t][i], i) << "thread " << t;
  }
}

TEST(WndHandlerPoolTest, ThreadsAllocateAndFreeConcurrentlyWithoutSharingWindows) {
  constexpr int kThreads = 4;
  std::vector<std::set<winapi::HWND>> windows(kThreads);
  std::vector<std::thread> workers;
  for (int t = 0; t < kThreads; ++t) {
    workers.emplace_back([&, t] {
      for (int round = 0; round < 30; ++round) {
        std::vector<ComponentPtr<TTestControl>> mine;
        for (int i = 0; i < 12; ++i) mine.push_back(Attached(i % 7));  // spills into a second window
        for (auto& c : mine) {
          EXPECT_EQ(c->ThreadID(), winapi::GetCurrentThreadId());
          windows[t].insert(c->Handle());
        }
      }
      EXPECT_EQ(HandlersOfThisThread(), 0);
    });
  }
  for (auto& w : workers) w.join();
  // Handles are never reused soon, so a handle seen by two threads was shared.
  std::set<winapi::HWND> all;
  size_t sum = 0;
  for (auto& s : windows) {
    all.insert(s.begin(), s.end());
    sum += s.size();
  }
  EXPECT_EQ(all.size(), sum);
  EXPECT_EQ(WndHandlerPool().ThreadListCount(), 0);
  EXPECT_EQ(LiveHiddenWindowCount(), 0);
}

TEST(WndHandlerPoolTest, TimerWhoseIdIsANumberReachesThatNumbersOwner) {
  struct TTimed : TTestControl {
    using TTestControl::TTestControl;
    void WndProc(TMessage& m) override {
      if (m.Msg == winapi::WM_TIMER) {
        ticks.push_back(m.WParam);
        return;
      }
      TTestControl::WndProc(m);
    }
    std::vector<uintptr_t> ticks;
  };
  auto other = Attached(1);
  auto timed = MakeComponent<TTimed>(nullptr, 1);
  ASSERT_EQ(timed->Handle(), other->Handle());
  // Ids that name no number of this component: a small one and the other component's number.
  ASSERT_NE(winapi::SetTimer(timed->Handle(), 1, 10, nullptr), 0u);
  ASSERT_NE(winapi::SetTimer(timed->Handle(), other->Num(0), 10, nullptr), 0u);
  ASSERT_NE(winapi::SetTimer(timed->Handle(), timed->Num(0), 10, nullptr), 0u);
  ASSERT_TRUE(PumpUntil([&] { return timed->ticks.size() >= 3; }));
  for (uintptr_t id : timed->ticks) EXPECT_EQ(id, timed->Num(0));
  for (uintptr_t id : {uintptr_t{1}, uintptr_t{other->Num(0)}, uintptr_t{timed->Num(0)}})
    winapi::KillTimer(timed->Handle(), id);
}
