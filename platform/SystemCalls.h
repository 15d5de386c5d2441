// How many system calls this layer has made, so that a test can hold the cost of a
// load to a bound without tracing the process. Every call the layer makes on a
// descriptor goes through Counted; the count is process-wide (all threads).
#pragma once

#include <atomic>
#include <cstdint>

namespace winapi {

uint64_t SystemCallCount();

namespace detail {

extern std::atomic<uint64_t> g_systemCalls;

// Counts one system call and hands its result on unchanged.
template <class T>
T Counted(T result) {
  g_systemCalls.fetch_add(1, std::memory_order_relaxed);
  return result;
}

}  // namespace detail
}  // namespace winapi
