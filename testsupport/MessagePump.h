// Pumping the calling thread's messages from a test, through the application
// object (the console one unless a test installed another), with a watchdog.
// Header-only: the test programs that include it link the event core.
#pragma once

#include <chrono>
#include <functional>

#include "core/Application.h"

namespace testsupport {

// Pumps until done() holds; false when the watchdog fires first.
inline bool PumpUntil(const std::function<bool()>& done,
                      std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    core::Application().ProcessMessages();
    if (done()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    core::Application().WaitMessage(20);
  }
}

}  // namespace testsupport
