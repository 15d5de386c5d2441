// Descriptors registered in a thread's epoll set: one-shot readiness reported by
// the harvest, disarming, registration from other threads.
#include <sys/epoll.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include "platform/ThreadQueue.h"
#include "platform/WinMsg.h"
#include "platform/tests/MsgTestSupport.h"

using namespace winapi;

namespace {

// Posts one WM_USER (wParam = fd) to its window per readiness, like a socket does.
class PostingSource : public detail::FdSource {
 public:
  PostingSource(HWND hwnd, int fd) : hwnd_(hwnd), fd_(fd) {}
  void OnReady(uint32_t events) override {
    if (events & EPOLLIN) PostMessage(hwnd_, WM_USER, static_cast<WPARAM>(fd_), 0);
  }

 private:
  HWND hwnd_;
  int fd_;
};

class FdSourceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    msgtest::Pump();
    msgtest::Dispatched().clear();
    hwnd_ = msgtest::CreateRecordingWindow();
    ASSERT_EQ(pipe(fds_), 0);
  }
  void TearDown() override {
    detail::DisarmFd(detail::CurrentQueue(), fds_[0]);
    close(fds_[0]);
    close(fds_[1]);
    DestroyWindow(hwnd_);
  }
  void WriteByte() { ASSERT_EQ(write(fds_[1], "x", 1), 1); }

  HWND hwnd_ = nullptr;
  int fds_[2] = {-1, -1};
};

TEST_F(FdSourceTest, ReadinessBecomesOneMessagePerArming) {
  PostingSource source(hwnd_, fds_[0]);
  detail::ArmFd(detail::CurrentQueue(), fds_[0], EPOLLIN, &source);
  EXPECT_FALSE(ThreadHasPendingWork());
  WriteByte();
  EXPECT_TRUE(ThreadHasPendingWork());
  EXPECT_EQ(MsgWaitForMultipleObjects(0, nullptr, 0, 2000, 0x1C5), WAIT_OBJECT_0);
  EXPECT_EQ(msgtest::Pump(), 1);
  ASSERT_EQ(msgtest::Dispatched().size(), 1u);
  EXPECT_EQ(msgtest::Dispatched()[0].wParam, static_cast<WPARAM>(fds_[0]));

  // Still readable, but one-shot: nothing until re-armed.
  EXPECT_FALSE(ThreadHasPendingWork());
  EXPECT_EQ(msgtest::Pump(), 0);
  detail::ArmFd(detail::CurrentQueue(), fds_[0], EPOLLIN, &source);
  EXPECT_EQ(msgtest::Pump(), 1);
}

TEST_F(FdSourceTest, DisarmedDescriptorIsNotReported) {
  PostingSource source(hwnd_, fds_[0]);
  detail::ArmFd(detail::CurrentQueue(), fds_[0], EPOLLIN, &source);
  detail::DisarmFd(detail::CurrentQueue(), fds_[0]);
  WriteByte();
  EXPECT_FALSE(ThreadHasPendingWork());
  EXPECT_EQ(msgtest::Pump(), 0);
  detail::ArmFd(detail::CurrentQueue(), fds_[0], 0, &source);  // events 0 removes too
  detail::DisarmFd(detail::CurrentQueue(), fds_[0]);           // absent: no error
}

TEST_F(FdSourceTest, ArmedFromAnotherThreadWakesTheOwner) {
  PostingSource source(hwnd_, fds_[0]);
  detail::ThreadQueue* owner = detail::QueueOfWindow(hwnd_);
  ASSERT_EQ(owner, detail::CurrentQueue());
  const int fd = fds_[0];
  std::thread([&] { detail::ArmFd(owner, fd, EPOLLIN, &source); }).join();
  std::thread writer([this] { WriteByte(); });
  EXPECT_EQ(MsgWaitForMultipleObjects(0, nullptr, 0, 2000, 0x1C5), WAIT_OBJECT_0);
  writer.join();
  EXPECT_EQ(msgtest::Pump(), 1);
}

// A source whose OnReady is still running when another thread disarms it: DisarmFd
// must not return (after which the source may be freed) before OnReady has.
class SlowSource : public detail::FdSource {
 public:
  void OnReady(uint32_t) override {
    entered = true;
    Sleep(50);
    disarmedTooEarly = disarmed.load();
  }
  std::atomic<bool> entered{false};
  std::atomic<bool> disarmed{false};
  std::atomic<bool> disarmedTooEarly{false};
};

TEST_F(FdSourceTest, DisarmFromAnotherThreadWaitsForARunningCallback) {
  SlowSource source;
  detail::ThreadQueue* owner = detail::CurrentQueue();
  const int fd = fds_[0];
  detail::ArmFd(owner, fd, EPOLLIN, &source);
  WriteByte();
  std::thread other([&] {
    while (!source.entered) std::this_thread::yield();
    detail::DisarmFd(owner, fd);
    source.disarmed = true;
  });
  msgtest::Pump();
  other.join();
  EXPECT_TRUE(source.entered);
  EXPECT_FALSE(source.disarmedTooEarly);
}

}  // namespace
