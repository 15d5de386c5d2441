// Internal to platform/: the per-thread queue behind the message API of WinMsg.h
// (ThreadQueue.cpp, Retrieval.cpp, Timers.cpp, Windows.cpp) that the socket half
// (socket readiness, lookup completions) plugs into.
//
// Each thread that uses the message API has one ThreadQueue, created on first use
// and retired at thread exit after its windows: a mutex-guarded FIFO of posted
// messages, an eventfd that is signalled while the FIFO is not empty, the thread's
// timerfds, and one epoll set holding all of them plus the file descriptors that
// other parts of the layer register. The epoll descriptor is the thread's "work
// pending" descriptor (GetThreadWaitFd).
//
// Retrieval first harvests: the events the last blocking wait took, else
// epoll_wait with a 0 ms timeout; each ready registered descriptor's
// FdSource::OnReady runs on the owner thread, without the queue lock, and usually
// posts messages. Registrations are one-shot: a source that wants more readiness
// re-arms itself. A blocking wait is an epoll_wait that keeps what it took for the
// next harvest on the same thread, so readiness is only ever acted on by a harvest.
//
// Lifetime: a ThreadQueue is never freed. At its thread's exit it is retired (its
// windows forgotten, timers killed, descriptors closed); ArmFd and DisarmFd on a
// retired queue do nothing, so a pointer kept past the thread's exit is harmless.
//
// Locks: these functions take the window table lock (QueueOfWindow, PurgeMessages)
// or the queue's own lock (ArmFd, DisarmFd), always last; the caller may hold its
// own table locks. OnReady is called with no lock of this layer held.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/WinMsg.h"

namespace winapi::detail {

class ThreadQueue;

// A descriptor registered in a thread's epoll set.
class FdSource {
 public:
  virtual ~FdSource() = default;
  // Owner thread, during a harvest (inside GetMessage or PeekMessage), no queue
  // lock held. events are epoll bits. It may call
  // PostMessage, ArmFd and DisarmFd (its own fd included); it must not pump messages.
  virtual void OnReady(uint32_t events) = 0;
};

// The calling thread's queue, created on first use.
ThreadQueue* CurrentQueue();
// The queue of the thread that created hwnd, or nullptr for an unknown window.
ThreadQueue* QueueOfWindow(HWND hwnd);

// Arms fd in q's epoll set for events (EPOLLONESHOT is added). events 0 removes it.
// Any thread. Re-arming with another source replaces the old one: readiness
// collected for the old registration is dropped. An fd belongs to one queue at a
// time: disarm it in the old queue before arming it in another.
void ArmFd(ThreadQueue* q, int fd, uint32_t events, FdSource* source);
// Removes fd from q's epoll set (no error if absent). Any thread. After it returns
// the source is never called again for this registration: called from another
// thread it waits until an OnReady of fd already running on the owner thread has
// returned, so do not call it while holding a lock that OnReady takes. On the owner
// thread it never waits (it may be called from OnReady itself).
void DisarmFd(ThreadQueue* q, int fd);

// PostMessage that adds nothing while an identical message posted this way is
// still queued. Read notifications use it: every receive that leaves data behind
// re-enables them, and a receive loop must not flood the queue with copies.
// Returns 0 with last error 1400 / 1816 as PostMessage does. Any thread.
BOOL PostCoalesced(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

// Drops every queued message posted to hwnd whose number is msg and whose wParam is
// wParam (closesocket uses it: descriptor numbers are reused at once). Any thread;
// nothing happens for an unknown window.
void PurgeMessages(HWND hwnd, UINT msg, WPARAM wParam);

// Told about messages a released message number took with it (PurgePostedMessages):
// socket notifications among them are announced again when their socket is next
// bound, so a socket moved to another thread learns of a connect or close that was
// queued for its old window. Takes the socket table lock; call it holding no lock
// of this layer.
void ForgetDroppedNotifications(const std::vector<MSG>& dropped);

}  // namespace winapi::detail
