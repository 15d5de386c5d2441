// Synchronous waiting: straight-line code starts an operation, then the thread's
// messages keep flowing until the flag that an event handler sets turns true, the
// time limit passes, or the application (or this component's own loop) was told to
// quit.
#include <algorithm>

#include "core/Application.h"
#include "net/SyncWSocket.h"

namespace net {

namespace {
// Longest sleep between two looks at the flags: a termination requested from another
// thread wakes no queue.
constexpr uint32_t kMaxIdleWaitMs = 100;
// Posted, hot-key, sent, mouse-button and key input: what a waiting thread wakes for.
constexpr winapi::DWORD kWakeMask = 0x1C5;
}  // namespace

int TCustomSyncWSocket::RunAndWait(const std::function<void()>& Proc, bool& Done) {
  Done = false;
  if (Proc) Proc();
  return WaitUntilDone(Done);
}

int TCustomSyncWSocket::WaitUntilDone(bool& Done) {
  // Elapsed ticks are compared, never tick values: the counter wraps every 49.7 days.
  const uint32_t start = winapi::GetTickCount();
  FTimeStop = start + static_cast<uint32_t>(FTimeout);
  for (;;) {
    if (Done) return 0;
    if (WaitEnded(Done, start)) return WSocketWaitFailed;
    PumpUntilWaitEnds(Done, start);
    if (WaitEnded(Done, start)) continue;
    uint32_t idle = kMaxIdleWaitMs;
    if (FTimeout > 0)
      idle = std::min(idle, static_cast<uint32_t>(FTimeout) - (winapi::GetTickCount() - start));
    if (FMultiThreadPump)
      winapi::MsgWaitForMultipleObjects(0, nullptr, 0, idle, kWakeMask);
    else
      core::Application().WaitMessage(idle);
  }
}

bool TCustomSyncWSocket::WaitEnded(const bool& Done, uint32_t start) {
  if (Done) return true;
  if (FTimeout > 0 && winapi::GetTickCount() - start > static_cast<uint32_t>(FTimeout)) return true;
  return core::Application().Terminated() || FTerminated;
}

// Pumps what is pending, one message at a time, looking at the flags in between.
void TCustomSyncWSocket::PumpUntilWaitEnds(const bool& Done, uint32_t start) {
  const auto ended = [&] { return WaitEnded(Done, start); };
  if (FMultiThreadPump) {
    while (!ended() && PumpOneMessage()) {
    }
  } else {
    core::Application().ProcessMessagesUntil(ended);
  }
}

}  // namespace net
