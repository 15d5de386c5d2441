// The owner thread's side of its queue: retrieval, waiting and the quit request.
// Filters are not supported: every caller in the program pumps everything.
#include <cassert>

#include "platform/ThreadQueueImpl.h"

namespace winapi {

BOOL GetMessage(MSG* msg, HWND hwnd, UINT filterMin, UINT filterMax) {
  assert(hwnd == nullptr && filterMin == 0 && filterMax == 0 && "message filters are not supported");
  (void)hwnd, (void)filterMin, (void)filterMax;
  if (msg == nullptr) return -1;
  detail::ThreadQueue* q = detail::CurrentQueue();
  while (!q->Retrieve(msg, true)) q->WaitForWork(-1);
  return msg->message == WM_QUIT ? 0 : 1;
}

BOOL PeekMessage(MSG* msg, HWND hwnd, UINT filterMin, UINT filterMax, UINT remove) {
  assert(hwnd == nullptr && filterMin == 0 && filterMax == 0 && "message filters are not supported");
  (void)hwnd, (void)filterMin, (void)filterMax;
  MSG scratch;
  return detail::CurrentQueue()->Retrieve(msg != nullptr ? msg : &scratch, (remove & PM_REMOVE) != 0) ? 1 : 0;
}

BOOL TranslateMessage(const MSG*) {
  return 0;
}

void PostQuitMessage(int exitCode) {
  detail::CurrentQueue()->PostQuit(exitCode);
}

// Only the thread's own queue is waited for (nCount 0), and any pending work ends
// the wait, not only work that arrived since the last look: the caller pumps right
// after, so an early return costs one pass while the stricter rule could sleep on
// queued work. For the same reason the wake mask is not applied: a due timer or a
// ready socket also ends the wait.
DWORD MsgWaitForMultipleObjects(DWORD nCount, const HANDLE*, BOOL, DWORD ms, DWORD) {
  assert(nCount == 0 && "only the thread's own queue can be waited for");
  (void)nCount;
  detail::ThreadQueue* q = detail::CurrentQueue();
  const int64_t timeout = ms == INFINITE ? -1 : static_cast<int64_t>(ms);
  return q->WaitForWork(timeout) ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

int GetThreadWaitFd() {
  return detail::CurrentQueue()->WaitFd();
}

void PrepareThreadWait() {
  detail::CurrentQueue()->FlushOwnPosts();
}

bool ThreadHasPendingWork() {
  return detail::CurrentQueue()->HasPendingWork();
}

}  // namespace winapi
