// Internal to platform/: the per-thread queue that WinMsg.cpp implements and that
// WinSock.cpp (socket readiness, lookup completions) plugs into.
//
// Each thread that uses the message API has one ThreadQueue, created on first use
// and destroyed at thread exit after its windows: a mutex-guarded FIFO of posted
// messages, an eventfd that is signalled while the FIFO is not empty, the thread's
// timerfds, and one epoll set holding all of them plus the file descriptors that
// other parts of the layer register. The epoll descriptor is the thread's "work
// pending" descriptor (GetThreadWaitFd).
//
// Retrieval first harvests: epoll_wait with a 0 ms timeout; each ready registered
// descriptor's FdSource::OnReady runs on the owner thread, without the queue lock,
// and usually posts messages. Registrations are one-shot: a source that wants more
// readiness re-arms itself.
#pragma once

#include <cstdint>

#include "platform/WinMsg.h"

namespace winapi::detail {

class ThreadQueue;

// A descriptor registered in a thread's epoll set.
class FdSource {
 public:
  virtual ~FdSource() = default;
  // Owner thread, during a harvest, no queue lock held. events are epoll bits.
  virtual void OnReady(uint32_t events) = 0;
};

// The calling thread's queue, created on first use.
ThreadQueue* CurrentQueue();
// The queue of the thread that created hwnd, or nullptr for an unknown window.
ThreadQueue* QueueOfWindow(HWND hwnd);

// Arms fd in q's epoll set for events (EPOLLONESHOT is added). events 0 removes it.
// Any thread. source must stay valid until DisarmFd returns.
void ArmFd(ThreadQueue* q, int fd, uint32_t events, FdSource* source);
// Removes fd from q's epoll set (no error if absent). Any thread.
void DisarmFd(ThreadQueue* q, int fd);

// Drops every queued message posted to hwnd whose number is msg and whose wParam is
// wParam (closesocket uses it: descriptor numbers are reused at once).
void PurgeMessages(HWND hwnd, UINT msg, WPARAM wParam);

}  // namespace winapi::detail
