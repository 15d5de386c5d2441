// The thread queue: order, cross-thread posting, WM_QUIT, the wait descriptor and
// MsgWaitForMultipleObjects, on real threads and real descriptors.
#include <poll.h>

#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include "platform/WinMsg.h"
#include "platform/tests/MsgTestSupport.h"

using namespace winapi;

namespace {

class MessageQueueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    msgtest::Pump();
    msgtest::Dispatched().clear();
    hwnd_ = msgtest::CreateRecordingWindow();
    ASSERT_NE(hwnd_, nullptr);
  }
  void TearDown() override {
    DestroyWindow(hwnd_);
    msgtest::Pump();
  }
  HWND hwnd_ = nullptr;
};

bool WaitFdReadable() {
  PrepareThreadWait();
  pollfd p{GetThreadWaitFd(), POLLIN, 0};
  return poll(&p, 1, 0) == 1;
}

TEST_F(MessageQueueTest, PostedMessagesAreDispatchedInOrder) {
  for (WPARAM i = 0; i < 100; ++i) ASSERT_TRUE(PostMessage(hwnd_, WM_USER, i, 0));
  EXPECT_EQ(msgtest::Pump(), 100);
  ASSERT_EQ(msgtest::Dispatched().size(), 100u);
  for (WPARAM i = 0; i < 100; ++i) {
    EXPECT_EQ(msgtest::Dispatched()[i].wParam, i);
    EXPECT_EQ(msgtest::Dispatched()[i].hwnd, hwnd_);
  }
}

TEST_F(MessageQueueTest, PeekWithoutRemoveLeavesTheMessage) {
  MSG msg;
  EXPECT_FALSE(PeekMessage(&msg, nullptr, 0, 0, PM_REMOVE));
  EXPECT_FALSE(PeekMessage(&msg, nullptr, 0, 0, PM_NOREMOVE));
  PostMessage(hwnd_, WM_USER + 1, 7, 8);
  ASSERT_TRUE(PeekMessage(&msg, nullptr, 0, 0, PM_NOREMOVE));
  EXPECT_EQ(msg.message, WM_USER + 1);
  ASSERT_TRUE(PeekMessage(&msg, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(msg.wParam, 7u);
  EXPECT_EQ(msg.lParam, 8);
  EXPECT_FALSE(PeekMessage(&msg, nullptr, 0, 0, PM_REMOVE));
}

TEST_F(MessageQueueTest, QuitComesAfterEverythingPostedAndEndsGetMessage) {
  PostMessage(hwnd_, WM_USER, 1, 0);
  PostQuitMessage(42);
  PostMessage(hwnd_, WM_USER, 2, 0);  // posted after the quit request, still delivered first
  MSG msg;
  EXPECT_EQ(GetMessage(&msg, nullptr, 0, 0), 1);
  EXPECT_EQ(msg.wParam, 1u);
  EXPECT_EQ(GetMessage(&msg, nullptr, 0, 0), 1);
  EXPECT_EQ(msg.wParam, 2u);
  EXPECT_EQ(GetMessage(&msg, nullptr, 0, 0), 0);
  EXPECT_EQ(msg.message, WM_QUIT);
  EXPECT_EQ(static_cast<int>(msg.wParam), 42);
  EXPECT_FALSE(PeekMessage(&msg, nullptr, 0, 0, PM_REMOVE));  // retrieved once only
}

TEST_F(MessageQueueTest, ThreadMessagesReachNoProcedure) {
  ASSERT_TRUE(PostMessage(nullptr, WM_USER + 5, 3, 0));
  MSG msg;
  ASSERT_TRUE(PeekMessage(&msg, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(msg.hwnd, nullptr);
  EXPECT_EQ(msg.message, WM_USER + 5);
  EXPECT_EQ(DispatchMessage(&msg), 0);
  EXPECT_TRUE(msgtest::Dispatched().empty());
}

TEST_F(MessageQueueTest, WaitFdIsReadableExactlyWhileWorkIsPending) {
  EXPECT_FALSE(WaitFdReadable());
  EXPECT_FALSE(ThreadHasPendingWork());
  PostMessage(hwnd_, WM_USER, 0, 0);
  PostMessage(hwnd_, WM_USER, 1, 0);
  EXPECT_TRUE(WaitFdReadable());
  MSG msg;
  PeekMessage(&msg, nullptr, 0, 0, PM_REMOVE);
  EXPECT_TRUE(WaitFdReadable());
  EXPECT_TRUE(ThreadHasPendingWork());
  PeekMessage(&msg, nullptr, 0, 0, PM_REMOVE);
  EXPECT_FALSE(WaitFdReadable());
  EXPECT_FALSE(ThreadHasPendingWork());
  PostQuitMessage(0);
  EXPECT_TRUE(WaitFdReadable());
  PeekMessage(&msg, nullptr, 0, 0, PM_NOREMOVE);
  EXPECT_TRUE(WaitFdReadable());
  PeekMessage(&msg, nullptr, 0, 0, PM_REMOVE);
  EXPECT_FALSE(WaitFdReadable());
}

TEST_F(MessageQueueTest, QueueRefusesPostsBeyondItsLimit) {
  int accepted = 0;
  while (PostMessage(hwnd_, WM_USER, 0, 0) && accepted <= 10000) ++accepted;
  EXPECT_EQ(accepted, 10000);
  EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_QUOTA);
  MSG msg;
  PeekMessage(&msg, nullptr, 0, 0, PM_REMOVE);
  EXPECT_TRUE(PostMessage(hwnd_, WM_USER, 0, 0));  // room again after one retrieval
  EXPECT_EQ(msgtest::Pump(), 10000);
}

TEST_F(MessageQueueTest, MsgWaitTimesOutOnAnEmptyQueueAndReturnsAtOnceWithWork) {
  EXPECT_EQ(MsgWaitForMultipleObjects(0, nullptr, 0, 20, 0x1C5), WAIT_TIMEOUT);
  EXPECT_EQ(MsgWaitForMultipleObjects(0, nullptr, 0, 0, 0x1C5), WAIT_TIMEOUT);
  PostMessage(hwnd_, WM_USER, 0, 0);
  EXPECT_EQ(MsgWaitForMultipleObjects(0, nullptr, 0, 0, 0x1C5), WAIT_OBJECT_0);
}

TEST_F(MessageQueueTest, MsgWaitWakesOnAPostFromAnotherThread) {
  std::atomic<bool> waiting{false};
  HWND target = hwnd_;
  std::thread poster([&] {
    while (!waiting.load()) std::this_thread::yield();
    Sleep(20);  // most likely inside the wait by now; either way the result is the same
    PostMessage(target, WM_USER, 9, 0);
  });
  waiting = true;
  EXPECT_EQ(MsgWaitForMultipleObjects(0, nullptr, 0, 5000, 0x1C5), WAIT_OBJECT_0);  // 5 s: watchdog
  poster.join();
  EXPECT_EQ(msgtest::Pump(), 1);
}

TEST_F(MessageQueueTest, ManyPostsFromAnotherThreadArriveInOrderThroughGetMessage) {
  constexpr WPARAM kCount = 200000;
  HWND target = hwnd_;
  std::thread poster([target] {
    for (WPARAM i = 0; i < kCount; ++i) {
      // The queue holds 10,000; a fast poster waits for the reader to catch up.
      while (!PostMessage(target, WM_USER, i, 0)) std::this_thread::yield();
    }
    // The end mark may meet a full queue too.
    while (!PostMessage(target, WM_USER + 1, 0, 0)) std::this_thread::yield();
  });
  MSG msg;
  WPARAM expected = 0;
  bool inOrder = true;
  while (GetMessage(&msg, nullptr, 0, 0) == 1 && msg.message == WM_USER) {
    inOrder = inOrder && msg.wParam == expected;
    ++expected;
  }
  poster.join();
  EXPECT_TRUE(inOrder);
  EXPECT_EQ(expected, kCount);
  EXPECT_EQ(msg.message, WM_USER + 1);
}

TEST_F(MessageQueueTest, QuitPostedByTheOwnerEndsABlockedGetMessageLoop) {
  HWND target = hwnd_;
  std::thread poster([target] {
    for (WPARAM i = 0; i < 1000; ++i) PostMessage(target, WM_USER, i, 0);
    PostMessage(target, WM_USER + 2, 0, 0);  // asks the owner to quit
  });
  MSG msg;
  int got = 0;
  while (GetMessage(&msg, nullptr, 0, 0) == 1) {
    if (msg.message == WM_USER + 2) PostQuitMessage(7);
    ++got;
  }
  poster.join();
  EXPECT_EQ(got, 1001);
  EXPECT_EQ(msg.wParam, 7u);
}

}  // namespace
