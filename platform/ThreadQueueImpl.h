// Internal to the message half of platform/: the definition of ThreadQueue (see
// ThreadQueue.h for what the rest of the layer may call).
//
// Locking: mu_ guards the FIFO, the quit flag, the eventfd's signalled state and
// the table of registered descriptors. Timers are touched by the owner thread only
// and need no lock. Lock order: window table, then a queue's mu_.
//
// The eventfd is signalled while the owner has something to retrieve that another
// thread made appear: a posted message, a pending quit or a due timer. Whoever
// makes work appear signals it under mu_; a retrieval that leaves nothing behind
// reads it back under mu_. The owner's own posts are only noted (deferred_): the
// owner looks at its queue before every wait of its own, and FlushOwnPosts signals
// them before a wait from outside. So the epoll descriptor (GetThreadWaitFd) is
// readable, after FlushOwnPosts, exactly while work is pending or a registered
// descriptor is ready to be harvested.
#pragma once

#include <sys/epoll.h>
#include <sys/types.h>

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "platform/MsgRing.h"
#include "platform/ThreadQueue.h"

namespace winapi::detail {

constexpr size_t kQueueLimit = 10000;  // posted messages per thread
constexpr UINT kMinTimerMs = 10;

class ThreadQueue;

// One SetTimer: a periodic timerfd whose expirations mark it due; retrieval turns a
// due timer into a single WM_TIMER, so ticks never pile up.
struct Timer final : FdSource {
  ThreadQueue* queue = nullptr;
  HWND hwnd = nullptr;
  UINT_PTR id = 0;
  int fd = -1;
  bool due = false;
  void OnReady(uint32_t events) override;
};

class ThreadQueue {
 public:
  ThreadQueue();  // throws std::system_error when the descriptors cannot be made
  // Never destroyed (see CurrentQueue); Retire releases what it holds.
  ~ThreadQueue() = delete;
  void Retire();
  ThreadQueue(const ThreadQueue&) = delete;
  ThreadQueue& operator=(const ThreadQueue&) = delete;

  int WaitFd() const { return epollFd_; }
  pid_t Owner() const { return ownerTid_; }

  // Any thread. False when the queue already holds kQueueLimit messages.
  bool Post(const MSG& m);
  // As Post, but nothing is added while an identical message posted this way is
  // still queued (true then too).
  bool PostCoalesced(const MSG& m);
  void PostQuit(int exitCode);
  // Drops queued messages to hwnd numbered msg (and with that wParam if given);
  // appends them to removed when given.
  void Purge(HWND hwnd, UINT msg, const WPARAM* wParam, std::vector<MSG>* removed = nullptr);
  void PurgeWindow(HWND hwnd);
  // Removes the messages to hwnd numbered one of msgs, in queue order, into taken.
  void Take(HWND hwnd, const std::vector<UINT>& msgs, std::vector<MSG>& taken);

  // Owner thread: harvest, then the first posted message, else WM_QUIT, else one
  // WM_TIMER. False when there is nothing.
  bool Retrieve(MSG* out, bool remove);
  // Owner thread, non-blocking.
  bool HasPendingWork();
  // Posted messages, quit or a due timer, without looking at the epoll set.
  bool HasQueuedWork();
  // Owner thread, before it waits on WaitFd from outside: signals the posts it
  // made itself, which are otherwise not announced on the descriptor.
  void FlushOwnPosts();
  // Owner thread: waits until the epoll set has something or timeoutMs (-1: no
  // limit) has passed; what it took waits for the next harvest. True when there
  // is work.
  bool WaitForWork(int64_t timeoutMs);

  // Any thread. events are the raw epoll bits (callers add EPOLLONESHOT).
  void Register(int fd, uint32_t events, FdSource* source);
  // From another thread, waits until an OnReady of fd already running has returned.
  void Unregister(int fd);

  // Owner thread.
  bool SetTimer(HWND hwnd, UINT_PTR id, UINT ms);
  bool KillTimer(HWND hwnd, UINT_PTR id);
  void KillTimers(HWND hwnd);
  void MarkDue(Timer* t);

 private:
  struct Registration {
    FdSource* source;
    uint32_t generation;
  };

  void Harvest();
  void RunReady(uint64_t key, uint32_t events);
  bool PickLocked(MSG* out, bool remove);
  bool AnyWorkLocked() const;
  Timer* FirstDue() const;
  bool IsOwnerThread() const;
  void SignalLocked();
  void WriteSignalLocked();
  void UnsignalLocked();
  void DropTimer(size_t index);
  void ForgetCoalescedLocked(const MSG& m);

  const pid_t ownerTid_;
  int epollFd_ = -1;
  int eventFd_ = -1;

  std::mutex mu_;
  std::condition_variable callbackDone_;  // Unregister from another thread waits on it
  MsgRing fifo_;                          // guarded by mu_
  bool retired_ = false;                  // guarded by mu_
  bool quit_ = false;                     // guarded by mu_
  int quitCode_ = 0;                      // guarded by mu_
  bool signalled_ = false;                // guarded by mu_
  bool deferred_ = false;                 // guarded by mu_: owner's posts not yet signalled
  int harvestSkips_ = 0;                  // owner thread only
  static constexpr int kReadyMax = 64;
  epoll_event ready_[kReadyMax];  // owner thread only: events a wait took, not yet harvested
  int readyCount_ = 0;
  std::vector<MSG> coalesced_;                        // guarded by mu_: queued PostCoalesced messages
  std::unordered_map<int, Registration> registered_;  // guarded by mu_
  uint32_t nextGeneration_ = 0;                       // guarded by mu_
  int runningFd_ = -1;                                // guarded by mu_: OnReady in progress
  int unregisterWaiters_ = 0;                         // guarded by mu_

  std::vector<std::unique_ptr<Timer>> timers_;  // owner thread only
};

// Windows.cpp: forgets the windows of a queue whose thread is exiting.
void ForgetWindowsOf(ThreadQueue* q);

}  // namespace winapi::detail
