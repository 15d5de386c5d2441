// Ctrl-C (SIGINT) during a command-line run: the handler only sets a flag; the
// run's message loop sees it through the application's Terminated() and aborts
// the running load from there.
#pragma once

namespace app {

// Installs the handler for its lifetime and restores the previous one after. A
// second Ctrl-C ends the program the usual way (the handler resets itself).
class TInterruptGuard {
 public:
  TInterruptGuard();
  ~TInterruptGuard();
  TInterruptGuard(const TInterruptGuard&) = delete;
  TInterruptGuard& operator=(const TInterruptGuard&) = delete;

  static bool Interrupted();
};

}  // namespace app
