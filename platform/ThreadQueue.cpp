// The per-thread queue: posting, harvesting the epoll set, picking the next message
// and the registration of descriptors. See ThreadQueueImpl.h for the locking rules.
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <system_error>
#include <utility>
#include <vector>

#include "platform/SystemCalls.h"
#include "platform/ThreadQueueImpl.h"

namespace winapi::detail {
namespace {

// epoll data of the eventfd; registered descriptors carry (generation << 32 | fd).
constexpr uint64_t kWakeKey = ~uint64_t{0};

// Every queue ever made. A queue is retired at its thread's exit but never freed,
// so a pointer kept past the exit (a socket still bound to a window of that thread)
// can only reach a retired queue, which ignores it, never a newer thread's queue at
// the same address. On the heap and never destroyed: threads may exit after static
// destruction has begun.
struct AllQueues {
  std::mutex mu;
  std::vector<ThreadQueue*> queues;  // guarded by mu
};

AllQueues& All() {
  static AllQueues* all = new AllQueues;
  return *all;
}

// The calling thread's own queue, once it has one: posts from the owner need no
// wake-up, and asking this costs no system call.
thread_local ThreadQueue* t_ownQueue = nullptr;

// Consecutive retrievals that may skip the look at the epoll set while posted
// messages are queued; then the set is looked at anyway, so a thread that keeps
// posting to itself cannot starve its sockets and timers.
constexpr int kMaxHarvestSkips = 16;

[[noreturn]] void ThrowErrno(const char* what) {
  throw std::system_error(errno, std::generic_category(), what);
}

}  // namespace

ThreadQueue::ThreadQueue() : ownerTid_(gettid()) {
  epollFd_ = Counted(epoll_create1(EPOLL_CLOEXEC));
  if (epollFd_ < 0) ThrowErrno("epoll_create1");
  eventFd_ = Counted(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (eventFd_ < 0) {
    Counted(close(epollFd_));
    ThrowErrno("eventfd");
  }
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.u64 = kWakeKey;
  if (Counted(epoll_ctl(epollFd_, EPOLL_CTL_ADD, eventFd_, &ev)) != 0) {
    Counted(close(eventFd_));
    Counted(close(epollFd_));
    ThrowErrno("epoll_ctl");
  }
  std::lock_guard lock(All().mu);
  All().queues.push_back(this);
}

// Owner thread, at its exit: its windows go first, so no post can reach the queue
// any more, then its timers, messages and descriptors.
void ThreadQueue::Retire() {
  ForgetWindowsOf(this);
  while (!timers_.empty()) DropTimer(timers_.size() - 1);
  std::lock_guard lock(mu_);
  retired_ = true;
  fifo_ = MsgRing();
  registered_.clear();
  Counted(close(eventFd_));
  Counted(close(epollFd_));
  eventFd_ = epollFd_ = -1;
}

bool ThreadQueue::Post(const MSG& m) {
  std::lock_guard lock(mu_);
  if (retired_ || fifo_.Size() >= kQueueLimit) return false;
  fifo_.Push(m);
  SignalLocked();
  return true;
}

namespace {
bool SameMessage(const MSG& a, const MSG& b) {
  return a.hwnd == b.hwnd && a.message == b.message && a.wParam == b.wParam && a.lParam == b.lParam;
}
}  // namespace

bool ThreadQueue::PostCoalesced(const MSG& m) {
  std::lock_guard lock(mu_);
  for (const MSG& q : coalesced_)
    if (SameMessage(q, m)) return true;
  if (retired_ || fifo_.Size() >= kQueueLimit) return false;
  fifo_.Push(m);
  coalesced_.push_back(m);
  SignalLocked();
  return true;
}

void ThreadQueue::ForgetCoalescedLocked(const MSG& m) {
  for (auto it = coalesced_.begin(); it != coalesced_.end(); ++it) {
    if (SameMessage(*it, m)) {
      coalesced_.erase(it);
      return;
    }
  }
}

void ThreadQueue::PostQuit(int exitCode) {
  std::lock_guard lock(mu_);
  quit_ = true;
  quitCode_ = exitCode;
  SignalLocked();
}

void ThreadQueue::Purge(HWND hwnd, UINT msg, const WPARAM* wParam, std::vector<MSG>* removed) {
  std::lock_guard lock(mu_);
  auto match = [&](const MSG& m) {
    return m.hwnd == hwnd && m.message == msg && (wParam == nullptr || m.wParam == *wParam);
  };
  fifo_.RemoveIf([&](const MSG& m) {
    if (!match(m)) return false;
    if (removed != nullptr) removed->push_back(m);
    return true;
  });
  std::erase_if(coalesced_, match);
  if (!AnyWorkLocked()) UnsignalLocked();
}

void ThreadQueue::PurgeWindow(HWND hwnd) {
  std::lock_guard lock(mu_);
  fifo_.RemoveIf([&](const MSG& m) { return m.hwnd == hwnd; });
  std::erase_if(coalesced_, [&](const MSG& m) { return m.hwnd == hwnd; });
  if (!AnyWorkLocked()) UnsignalLocked();
}

void ThreadQueue::Take(HWND hwnd, const std::vector<UINT>& msgs, std::vector<MSG>& taken) {
  std::lock_guard lock(mu_);
  auto match = [&](const MSG& m) {
    return m.hwnd == hwnd && std::find(msgs.begin(), msgs.end(), m.message) != msgs.end();
  };
  fifo_.RemoveIf([&](const MSG& m) {
    if (!match(m)) return false;
    taken.push_back(m);
    return true;
  });
  std::erase_if(coalesced_, match);
  if (!AnyWorkLocked()) UnsignalLocked();
}

bool ThreadQueue::IsOwnerThread() const {
  return t_ownQueue == this;
}

bool ThreadQueue::Retrieve(MSG* out, bool remove) {
  // While posted messages wait, the next one is taken without a system call; the
  // epoll set is looked at once the queue runs dry, or after a bounded number.
  bool harvest = true;
  {
    std::lock_guard lock(mu_);
    if (!fifo_.Empty() && harvestSkips_ < kMaxHarvestSkips) {
      ++harvestSkips_;
      harvest = false;
    }
  }
  if (harvest) {
    harvestSkips_ = 0;
    Harvest();
  }
  std::lock_guard lock(mu_);
  return PickLocked(out, remove);
}

// Posted messages first, then the quit request, then one due timer: WM_QUIT and
// WM_TIMER are only delivered when nothing else is queued.
bool ThreadQueue::PickLocked(MSG* out, bool remove) {
  if (!fifo_.Empty()) {
    *out = remove ? fifo_.Pop() : fifo_.Front();
    if (remove && !coalesced_.empty()) ForgetCoalescedLocked(*out);
  } else if (quit_) {
    *out = MSG{nullptr, WM_QUIT, static_cast<WPARAM>(quitCode_), 0, GetTickCount()};
    if (remove) quit_ = false;
  } else if (Timer* t = FirstDue()) {
    *out = MSG{t->hwnd, WM_TIMER, t->id, 0, GetTickCount()};
    if (remove) t->due = false;
  } else {
    UnsignalLocked();
    return false;
  }
  if (remove && !AnyWorkLocked()) UnsignalLocked();
  return true;
}

bool ThreadQueue::AnyWorkLocked() const {
  return !fifo_.Empty() || quit_ || FirstDue() != nullptr;
}

Timer* ThreadQueue::FirstDue() const {
  for (const auto& t : timers_) {
    if (t->due) return t.get();
  }
  return nullptr;
}

// The owner itself needs no wake-up: it looks at its queue before it waits. Its
// posts are only noted, and written to the eventfd when it is about to wait on the
// descriptor from outside (FlushOwnPosts).
void ThreadQueue::SignalLocked() {
  if (signalled_) return;
  if (IsOwnerThread()) {
    deferred_ = true;
    return;
  }
  WriteSignalLocked();
}

void ThreadQueue::WriteSignalLocked() {
  deferred_ = false;
  const uint64_t one = 1;
  [[maybe_unused]] ssize_t n = Counted(write(eventFd_, &one, sizeof one));
  signalled_ = true;
}

void ThreadQueue::UnsignalLocked() {
  deferred_ = false;
  if (!signalled_) return;
  uint64_t value;
  [[maybe_unused]] ssize_t n = Counted(read(eventFd_, &value, sizeof value));
  signalled_ = false;
}

void ThreadQueue::MarkDue(Timer* t) {
  t->due = true;
  std::lock_guard lock(mu_);
  SignalLocked();
}

// The events a wait took from the epoll set, else one non-blocking look at it.
// The eventfd needs no work here (it only wakes waiters); every other ready
// descriptor's source runs without our lock. The taken events are copied first:
// a source's handler may wait again, nested, and take new ones.
void ThreadQueue::Harvest() {
  epoll_event events[kReadyMax];
  int n = std::exchange(readyCount_, 0);
  if (n > 0)
    std::copy_n(ready_, n, events);
  else
    n = Counted(epoll_wait(epollFd_, events, kReadyMax, 0));
  for (int i = 0; i < n; ++i) {
    if (events[i].data.u64 != kWakeKey) RunReady(events[i].data.u64, events[i].events);
  }
}

void ThreadQueue::RunReady(uint64_t key, uint32_t events) {
  const int fd = static_cast<int>(static_cast<uint32_t>(key));
  FdSource* source;
  {
    std::lock_guard lock(mu_);
    auto it = registered_.find(fd);
    // A registration replaced or removed since epoll_wait returned: its source may
    // be gone, and a re-armed level-triggered descriptor reports again anyway.
    if (it == registered_.end() || it->second.generation != static_cast<uint32_t>(key >> 32)) return;
    source = it->second.source;
    runningFd_ = fd;
  }
  source->OnReady(events);
  std::lock_guard lock(mu_);
  runningFd_ = -1;
  if (unregisterWaiters_ > 0) callbackDone_.notify_all();
}

void ThreadQueue::FlushOwnPosts() {
  std::lock_guard lock(mu_);
  if (deferred_ && !signalled_) WriteSignalLocked();
}

// A descriptor already in the set is modified; one that is new is added. The
// other answer is only tried when the set disagrees with our table (a descriptor
// closed behind our back and its number reused).
void ThreadQueue::Register(int fd, uint32_t events, FdSource* source) {
  std::lock_guard lock(mu_);
  if (retired_) return;
  auto it = registered_.find(fd);
  const bool known = it != registered_.end();
  Registration& reg = known ? it->second : registered_[fd];
  reg = Registration{source, ++nextGeneration_};
  epoll_event ev{};
  ev.events = events;
  ev.data.u64 = (uint64_t{reg.generation} << 32) | static_cast<uint32_t>(fd);
  const int first = known ? EPOLL_CTL_MOD : EPOLL_CTL_ADD;
  if (Counted(epoll_ctl(epollFd_, first, fd, &ev)) == 0) return;
  if (known && errno == ENOENT) Counted(epoll_ctl(epollFd_, EPOLL_CTL_ADD, fd, &ev));
  if (!known && errno == EEXIST) Counted(epoll_ctl(epollFd_, EPOLL_CTL_MOD, fd, &ev));
}

void ThreadQueue::Unregister(int fd) {
  std::unique_lock lock(mu_);
  if (retired_) return;
  registered_.erase(fd);
  Counted(epoll_ctl(epollFd_, EPOLL_CTL_DEL, fd, nullptr));
  if (IsOwnerThread() || runningFd_ != fd) return;
  ++unregisterWaiters_;
  callbackDone_.wait(lock, [this, fd] { return runningFd_ != fd; });
  --unregisterWaiters_;
}

bool ThreadQueue::HasPendingWork() {
  if (readyCount_ > 0 || HasQueuedWork()) return true;
  pollfd p{epollFd_, POLLIN, 0};
  return Counted(poll(&p, 1, 0)) > 0;
}

bool ThreadQueue::HasQueuedWork() {
  std::lock_guard lock(mu_);
  return AnyWorkLocked();
}

// Work the owner queued itself is not signalled on the descriptor, so it is
// looked for before the wait. The wait is on the epoll set itself and keeps what
// it took for the harvest that follows: one system call per wait, not two.
bool ThreadQueue::WaitForWork(int64_t timeoutMs) {
  if (readyCount_ > 0 || HasQueuedWork()) return true;
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
  for (;;) {
    int wait = -1;
    if (timeoutMs >= 0) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
      wait = static_cast<int>(std::clamp<int64_t>(left, 0, 1 << 30));
    }
    const int n = Counted(epoll_wait(epollFd_, ready_, kReadyMax, wait));
    if (n > 0) {
      readyCount_ = n;
      return true;
    }
    if (n == 0 && (timeoutMs < 0 || Clock::now() >= deadline)) return false;
  }
}

ThreadQueue* CurrentQueue() {
  // The queue is retired with its thread. A use after that (from another
  // thread_local's destructor) gets a fresh queue that is never retired.
  static thread_local ThreadQueue* queue = nullptr;
  static thread_local bool exited = false;
  struct Reaper {
    ~Reaper() {
      queue->Retire();
      queue = nullptr;
      t_ownQueue = nullptr;
      exited = true;
    }
  };
  if (queue != nullptr) return queue;
  queue = new ThreadQueue;
  t_ownQueue = queue;
  if (!exited) {
    static thread_local Reaper reaper;
    (void)reaper;
  }
  return queue;
}

void ArmFd(ThreadQueue* q, int fd, uint32_t events, FdSource* source) {
  if (events == 0) return DisarmFd(q, fd);
  q->Register(fd, events | EPOLLONESHOT, source);
}

void DisarmFd(ThreadQueue* q, int fd) {
  q->Unregister(fd);
}

}  // namespace winapi::detail
