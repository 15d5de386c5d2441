// Ctrl-C (SIGINT) during a command-line run. The handler only sets a flag and
// writes a byte to a pipe; a watcher thread reads the byte and wakes the run's
// thread (the message wait does not return on a signal), whose loop then sees
// the flag through the application's Terminated() and aborts the running load.
#pragma once

#include <functional>
#include <thread>

namespace app {

// Installs the handler for its lifetime and restores the previous one after. A
// second Ctrl-C ends the program the usual way (the handler resets itself).
class TInterruptGuard {
 public:
  // wake runs on the watcher thread after Ctrl-C; it must be safe from any thread.
  explicit TInterruptGuard(std::function<void()> wake);
  ~TInterruptGuard();
  TInterruptGuard(const TInterruptGuard&) = delete;
  TInterruptGuard& operator=(const TInterruptGuard&) = delete;

  static bool Interrupted();

 private:
  void Watch();

  std::function<void()> FWake;
  int FPipe[2] = {-1, -1};
  std::thread FWatcher;
};

}  // namespace app
