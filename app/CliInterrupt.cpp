#include "app/CliInterrupt.h"

#include <atomic>
#include <csignal>

namespace app {

namespace {

std::atomic<bool> GInterrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the flag is set from a signal handler");

struct sigaction GPrevious;

void OnInterrupt(int) {
  GInterrupted.store(true);
}

}  // namespace

TInterruptGuard::TInterruptGuard() {
  GInterrupted.store(false);
  struct sigaction sa {};
  sa.sa_handler = OnInterrupt;
  sigemptyset(&sa.sa_mask);
  // No SA_RESTART: a wait the signal breaks returns at once, so the loop sees the
  // flag without waiting for its next wake-up.
  sa.sa_flags = SA_RESETHAND;
  sigaction(SIGINT, &sa, &GPrevious);
}

TInterruptGuard::~TInterruptGuard() {
  sigaction(SIGINT, &GPrevious, nullptr);
}

bool TInterruptGuard::Interrupted() {
  return GInterrupted.load();
}

}  // namespace app
