// Window timers: one periodic CLOCK_MONOTONIC timerfd per (window, id) in the owner
// thread's epoll set. The harvest only marks a timer due; retrieval synthesises one
// WM_TIMER per due timer after the posted messages, so an unpumped timer never
// queues more than one tick.
#include <sys/epoll.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cstdint>

#include "platform/SystemCalls.h"
#include "platform/ThreadQueueImpl.h"

namespace winapi {
namespace detail {
namespace {

constexpr UINT kMaxTimerMs = 0x7FFFFFFF;

bool Start(int fd, UINT ms) {
  ms = std::clamp(ms, kMinTimerMs, kMaxTimerMs);
  itimerspec period{};
  period.it_interval.tv_sec = ms / 1000;
  period.it_interval.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
  period.it_value = period.it_interval;
  return Counted(timerfd_settime(fd, 0, &period, nullptr)) == 0;
}

}  // namespace

void Timer::OnReady(uint32_t) {
  uint64_t expirations = 0;
  if (Counted(read(fd, &expirations, sizeof expirations)) == sizeof expirations && expirations > 0)
    queue->MarkDue(this);
}

bool ThreadQueue::SetTimer(HWND hwnd, UINT_PTR id, UINT ms) {
  for (auto& t : timers_) {
    if (t->hwnd == hwnd && t->id == id) {
      // Setting an existing id restarts its period; a tick already due is dropped.
      t->due = false;
      return Start(t->fd, ms);
    }
  }
  auto t = std::make_unique<Timer>();
  t->queue = this;
  t->hwnd = hwnd;
  t->id = id;
  t->fd = Counted(timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC));
  if (t->fd < 0) return false;
  if (!Start(t->fd, ms)) {
    Counted(close(t->fd));
    return false;
  }
  Register(t->fd, EPOLLIN, t.get());
  timers_.push_back(std::move(t));
  return true;
}

bool ThreadQueue::KillTimer(HWND hwnd, UINT_PTR id) {
  for (size_t i = 0; i < timers_.size(); ++i) {
    if (timers_[i]->hwnd == hwnd && timers_[i]->id == id) {
      DropTimer(i);
      return true;
    }
  }
  return false;
}

void ThreadQueue::KillTimers(HWND hwnd) {
  for (size_t i = timers_.size(); i-- > 0;) {
    if (timers_[i]->hwnd == hwnd) DropTimer(i);
  }
}

void ThreadQueue::DropTimer(size_t index) {
  Unregister(timers_[index]->fd);
  Counted(close(timers_[index]->fd));
  timers_.erase(timers_.begin() + static_cast<std::ptrdiff_t>(index));
  std::lock_guard lock(mu_);
  if (!AnyWorkLocked()) UnsignalLocked();
}

}  // namespace detail

namespace {

// The calling thread's queue if it owns hwnd; otherwise sets the last error.
detail::ThreadQueue* OwnQueue(HWND hwnd) {
  detail::ThreadQueue* q = detail::QueueOfWindow(hwnd);
  if (q == nullptr) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return nullptr;
  }
  if (q != detail::CurrentQueue()) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  return q;
}

}  // namespace

UINT_PTR SetTimer(HWND hwnd, UINT_PTR id, UINT ms, TIMERPROC proc) {
  assert(proc == nullptr && "timers are delivered as WM_TIMER only");
  (void)proc;
  detail::ThreadQueue* q = OwnQueue(hwnd);
  if (q == nullptr) return 0;
  if (!q->SetTimer(hwnd, id, ms)) {
    SetLastError(ERROR_NOT_ENOUGH_QUOTA);
    return 0;
  }
  return id != 0 ? id : 1;
}

BOOL KillTimer(HWND hwnd, UINT_PTR id) {
  detail::ThreadQueue* q = OwnQueue(hwnd);
  if (q == nullptr) return 0;
  return q->KillTimer(hwnd, id) ? 1 : 0;
}

}  // namespace winapi
