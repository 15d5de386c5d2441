#include "platform/SystemCalls.h"

namespace winapi {

namespace detail {
std::atomic<uint64_t> g_systemCalls{0};
}  // namespace detail

uint64_t SystemCallCount() {
  return detail::g_systemCalls.load(std::memory_order_relaxed);
}

}  // namespace winapi
