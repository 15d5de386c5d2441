// The synchronous-waiting layer of the socket class chain.
#pragma once

#include <cstdint>
#include <functional>

#include "net/LineWSocket.h"

namespace net {

// The result of a wait that ended without its flag: time limit, termination or quit.
inline constexpr int WSocketWaitFailed = 12001;

// Lets straight-line code use the asynchronous socket: start an operation, then keep
// the thread's messages flowing until a flag that an event handler sets turns true.
// Timeout (milliseconds, 0 or less: none) is measured as elapsed ticks, so it holds
// across the tick counter's wrap, and it is checked between messages: a stream of
// messages cannot keep a wait past it.
class TCustomSyncWSocket : public TCustomLineWSocket {
 public:
  using TCustomLineWSocket::TCustomLineWSocket;

  // Done := false, Proc() when assigned, then WaitUntilDone(Done).
  virtual int RunAndWait(const std::function<void()>& Proc, bool& Done);
  // 0 once Done is true, WSocketWaitFailed otherwise.
  virtual int WaitUntilDone(bool& Done);

  int Timeout() const { return FTimeout; }
  void SetTimeout(int Value) { FTimeout = Value; }

 protected:
  int32_t FTimeout = 0;
  uint32_t FTimeStop = 0;

 private:
  bool WaitEnded(const bool& Done, uint32_t start);
  void PumpUntilWaitEnds(const bool& Done, uint32_t start);
};

}  // namespace net
