// Hidden windows and classes: the class registry rules, pointer slots, destruction
// with messages queued, handles that are never reused, and windows of exited threads.
#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include "platform/ThreadQueue.h"
#include "platform/WinMsg.h"
#include "platform/tests/MsgTestSupport.h"

using namespace winapi;

namespace {

LRESULT Nothing(HWND, UINT, WPARAM, LPARAM) {
  return 0;
}

WNDCLASS ClassNamed(const char* name) {
  WNDCLASS wc{};
  wc.lpfnWndProc = Nothing;
  wc.hInstance = GetModuleHandle(nullptr);
  wc.lpszClassName = name;
  return wc;
}

HWND Create(const char* cls) {
  return CreateWindowEx(0, cls, "", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, GetModuleHandle(nullptr),
                        nullptr);
}

TEST(WindowClassTest, RegistryRules) {
  WNDCLASS wc = ClassNamed("WindowsTestClass");
  WNDCLASS out{};
  EXPECT_FALSE(GetClassInfo(GetModuleHandle(nullptr), "WindowsTestClass", &out));
  EXPECT_NE(RegisterClass(&wc), 0);
  EXPECT_EQ(RegisterClass(&wc), 0);
  EXPECT_EQ(GetLastError(), ERROR_CLASS_ALREADY_EXISTS);
  ASSERT_TRUE(GetClassInfo(GetModuleHandle(nullptr), "windowstestclass", &out));  // names ignore case
  EXPECT_EQ(out.lpfnWndProc, &Nothing);

  HWND hwnd = Create("WindowsTestClass");
  ASSERT_NE(hwnd, nullptr);
  EXPECT_FALSE(UnregisterClass("WindowsTestClass", GetModuleHandle(nullptr)));
  EXPECT_EQ(GetLastError(), ERROR_CLASS_HAS_WINDOWS);
  EXPECT_TRUE(DestroyWindow(hwnd));
  EXPECT_TRUE(UnregisterClass("WindowsTestClass", GetModuleHandle(nullptr)));
  EXPECT_FALSE(UnregisterClass("WindowsTestClass", GetModuleHandle(nullptr)));
  EXPECT_EQ(GetLastError(), ERROR_CLASS_DOES_NOT_EXIST);
}

TEST(WindowClassTest, UnknownClassCreatesNoWindow) {
  SetLastError(0);
  EXPECT_EQ(Create("NoSuchClass"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_CANNOT_FIND_WND_CLASS);
}

TEST(WindowTest, SlotsHoldPointersAtFourByteIndexes) {
  HWND hwnd = msgtest::CreateRecordingWindow();  // cbWndExtra 8: two slots
  int anchor = 0;
  const auto ptr = reinterpret_cast<LONG_PTR>(&anchor);
  EXPECT_EQ(SetWindowLong(hwnd, 0, ptr), 0);
  EXPECT_EQ(SetWindowLong(hwnd, 4, -5), 0);
  EXPECT_EQ(GetWindowLong(hwnd, 0), ptr);
  EXPECT_EQ(GetWindowLong(hwnd, 4), -5);
  EXPECT_EQ(SetWindowLong(hwnd, 0, 1), ptr);
  EXPECT_EQ(GetWindowLong(hwnd, 8), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_INDEX);
  DestroyWindow(hwnd);
  EXPECT_EQ(GetWindowLong(hwnd, 0), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
}

TEST(WindowTest, DestroyedWindowGetsNothingMoreAndItsHandleIsNotReused) {
  msgtest::Pump();
  msgtest::Dispatched().clear();
  HWND hwnd = msgtest::CreateRecordingWindow();
  HWND other = msgtest::CreateRecordingWindow();
  for (int i = 0; i < 3; ++i) PostMessage(hwnd, WM_USER, 0, 0);
  PostMessage(other, WM_USER, 1, 0);
  EXPECT_TRUE(DestroyWindow(hwnd));
  EXPECT_FALSE(IsWindow(hwnd));
  EXPECT_FALSE(PostMessage(hwnd, WM_USER, 0, 0));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
  EXPECT_FALSE(DestroyWindow(hwnd));
  EXPECT_EQ(msgtest::Pump(), 1);
  ASSERT_EQ(msgtest::Dispatched().size(), 1u);
  EXPECT_EQ(msgtest::Dispatched()[0].hwnd, other);

  for (int i = 0; i < 100; ++i) {
    HWND fresh = msgtest::CreateRecordingWindow();
    EXPECT_NE(fresh, hwnd);
    DestroyWindow(fresh);
  }
  DestroyWindow(other);
}

TEST(WindowTest, DispatchOfAMessageForADestroyedWindowIsDropped) {
  msgtest::Dispatched().clear();
  HWND hwnd = msgtest::CreateRecordingWindow();
  const MSG msg{hwnd, WM_USER, 0, 0, 0};
  DestroyWindow(hwnd);
  EXPECT_EQ(DispatchMessage(&msg), 0);
  EXPECT_TRUE(msgtest::Dispatched().empty());
}

TEST(WindowTest, PurgeDropsOnlyTheGivenWindowAndNumber) {
  msgtest::Pump();
  msgtest::Dispatched().clear();
  HWND a = msgtest::CreateRecordingWindow();
  HWND b = msgtest::CreateRecordingWindow();
  PostMessage(a, WM_USER, 1, 0);
  PostMessage(a, WM_USER + 1, 2, 0);
  PostMessage(b, WM_USER, 3, 0);
  PostMessage(a, WM_USER, 4, 0);
  PurgePostedMessages(a, WM_USER);
  msgtest::Pump();
  ASSERT_EQ(msgtest::Dispatched().size(), 2u);
  EXPECT_EQ(msgtest::Dispatched()[0].wParam, 2u);
  EXPECT_EQ(msgtest::Dispatched()[1].wParam, 3u);

  msgtest::Dispatched().clear();
  PostMessage(a, WM_USER, 5, 0);
  PostMessage(a, WM_USER, 6, 0);
  detail::PurgeMessages(a, WM_USER, 5);  // the socket form also matches wParam
  msgtest::Pump();
  ASSERT_EQ(msgtest::Dispatched().size(), 1u);
  EXPECT_EQ(msgtest::Dispatched()[0].wParam, 6u);
  DestroyWindow(a);
  DestroyWindow(b);
}

TEST(WindowTest, OnlyTheOwnerThreadMayDestroyAWindow) {
  HWND hwnd = msgtest::CreateRecordingWindow();
  BOOL destroyed = 1;
  DWORD error = 0;
  std::thread([&] {
    destroyed = DestroyWindow(hwnd);
    error = GetLastError();
  }).join();
  EXPECT_FALSE(destroyed);
  EXPECT_EQ(error, ERROR_ACCESS_DENIED);
  EXPECT_TRUE(IsWindow(hwnd));
  DestroyWindow(hwnd);
}

TEST(WindowTest, WindowsOfAnExitedThreadAreGone) {
  HWND hwnd = nullptr;
  detail::ThreadQueue* queue = nullptr;
  std::thread([&] {
    hwnd = msgtest::CreateRecordingWindow();
    PostMessage(hwnd, WM_USER, 0, 0);  // left in the queue at exit
    queue = detail::QueueOfWindow(hwnd);
  }).join();
  EXPECT_FALSE(IsWindow(hwnd));
  EXPECT_FALSE(PostMessage(hwnd, WM_USER, 0, 0));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
  EXPECT_EQ(detail::QueueOfWindow(hwnd), nullptr);
  // A queue pointer kept past its thread's exit reaches a retired queue that ignores it.
  ASSERT_NE(queue, nullptr);
  detail::ArmFd(queue, 0, 1, nullptr);
  detail::DisarmFd(queue, 0);
}

TEST(WindowTest, PostsRacingTheOwnersExitFailCleanly) {
  std::atomic<HWND> hwnd{nullptr};
  std::thread owner([&] {
    HWND mine = msgtest::CreateRecordingWindow();
    hwnd = mine;
    MSG msg;
    for (int i = 0; i < 500 && GetMessage(&msg, nullptr, 0, 0) == 1; ++i) DispatchMessage(&msg);
  });  // exits with its window alive and messages still arriving
  while (hwnd.load() == nullptr) std::this_thread::yield();
  int accepted = 0;
  while (PostMessage(hwnd, WM_USER, 0, 0) || GetLastError() == ERROR_NOT_ENOUGH_QUOTA) ++accepted;
  EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
  EXPECT_GE(accepted, 500);
  owner.join();
}

}  // namespace
