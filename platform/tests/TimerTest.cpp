// Timers delivered through the queue, and the tick counter's wrap.
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "platform/WinMsg.h"
#include "platform/tests/MsgTestSupport.h"

using namespace winapi;

namespace {

class TimerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    msgtest::Pump();
    msgtest::Dispatched().clear();
    hwnd_ = msgtest::CreateRecordingWindow();
  }
  void TearDown() override { DestroyWindow(hwnd_); }

  // Pumps until a WM_TIMER was dispatched or 2 s passed (a watchdog, not a delay).
  bool PumpUntilTimer() {
    for (int i = 0; i < 200; ++i) {
      MsgWaitForMultipleObjects(0, nullptr, 0, 10, 0x1C5);
      msgtest::Pump();
      for (const auto& s : msgtest::Dispatched()) {
        if (s.message == WM_TIMER) return true;
      }
    }
    return false;
  }

  HWND hwnd_ = nullptr;
};

TEST_F(TimerTest, TickCarriesItsIdAndEndsAWait) {
  ASSERT_EQ(SetTimer(hwnd_, 5, 10, nullptr), 5u);
  EXPECT_EQ(MsgWaitForMultipleObjects(0, nullptr, 0, 2000, 0x1C5), WAIT_OBJECT_0);
  ASSERT_TRUE(PumpUntilTimer());
  EXPECT_EQ(msgtest::Dispatched()[0].hwnd, hwnd_);
  EXPECT_EQ(msgtest::Dispatched()[0].wParam, 5u);
  EXPECT_TRUE(KillTimer(hwnd_, 5));
  EXPECT_FALSE(KillTimer(hwnd_, 5));
}

TEST_F(TimerTest, UnpumpedTicksCoalesceIntoOneAfterThePostedMessages) {
  SetTimer(hwnd_, 1, 10, nullptr);
  Sleep(200);  // the scenario: about 20 periods pass while nobody pumps
  for (WPARAM i = 0; i < 3; ++i) PostMessage(hwnd_, WM_USER, i, 0);
  msgtest::Pump();
  const auto& seen = msgtest::Dispatched();
  ASSERT_EQ(seen.size(), 4u);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(seen[i].message, WM_USER);
  EXPECT_EQ(seen[3].message, WM_TIMER);
  KillTimer(hwnd_, 1);
}

TEST_F(TimerTest, KilledTimerDeliversNothingEvenIfItWasDue) {
  SetTimer(hwnd_, 1, 10, nullptr);
  Sleep(30);
  MSG msg;
  ASSERT_TRUE(PeekMessage(&msg, nullptr, 0, 0, PM_NOREMOVE));  // harvested: now due
  EXPECT_TRUE(KillTimer(hwnd_, 1));
  EXPECT_FALSE(ThreadHasPendingWork());
  Sleep(30);
  EXPECT_EQ(msgtest::Pump(), 0);
}

TEST_F(TimerTest, SettingTheSameIdAgainRestartsItsPeriod) {
  SetTimer(hwnd_, 1, 10, nullptr);
  Sleep(30);  // expired, not yet harvested
  SetTimer(hwnd_, 1, 60000, nullptr);
  EXPECT_EQ(msgtest::Pump(), 0);
  KillTimer(hwnd_, 1);
}

TEST_F(TimerTest, DestroyingTheWindowKillsItsTimers) {
  HWND other = msgtest::CreateRecordingWindow();
  SetTimer(other, 1, 10, nullptr);
  DestroyWindow(other);
  EXPECT_FALSE(KillTimer(other, 1));
  Sleep(30);
  EXPECT_EQ(msgtest::Pump(), 0);
}

TEST_F(TimerTest, TimersBelongToTheWindowsThread) {
  EXPECT_EQ(SetTimer(reinterpret_cast<HWND>(uintptr_t{0xFFFFFFF0}), 1, 10, nullptr), 0u);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
}

TEST(TickCountTest, WrapsAt32BitsAndDifferencesStayRight) {
  const DWORD now = GetTickCount();
  SetTickCountOffsetForTesting(static_cast<DWORD>(0u - 20u - now));  // 20 ms before the wrap
  const DWORD before = GetTickCount();
  Sleep(40);
  const DWORD after = GetTickCount();
  SetTickCountOffsetForTesting(0);
  EXPECT_GT(before, 0xFFFFFF00u);
  EXPECT_LT(after, 1000u);
  EXPECT_GE(static_cast<DWORD>(after - before), 40u);
  EXPECT_LT(static_cast<DWORD>(after - before), 1000u);
}

TEST(KernelTest, DebugOutputGoesToTheSinkOrOneLinePerMessage) {
  static std::string captured;
  captured.clear();
  SetDebugSinkForTesting([](const char* text) { captured += text; });
  OutputDebugString("hello ");
  OutputDebugString("world");
  SetDebugSinkForTesting(nullptr);
  EXPECT_EQ(captured, "hello world");
  // Standard error, the stand-in for the debugger, shows one message per line.
  ::testing::internal::CaptureStderr();
  OutputDebugString("first");
  OutputDebugString("second\n");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "first\nsecond\n");
}

TEST(KernelTest, LastErrorIsPerThread) {
  SetLastError(1400);
  DWORD other = 1;
  std::thread([&] { other = GetLastError(); }).join();
  EXPECT_EQ(other, 0u);
  EXPECT_EQ(GetLastError(), 1400u);
  EXPECT_NE(GetModuleHandle(nullptr), nullptr);
  EXPECT_EQ(GetModuleHandle(nullptr), GetModuleHandle(nullptr));
}

}  // namespace
