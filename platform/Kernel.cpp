// The few kernel services the program uses: ticks, sleeping, thread ids, the last
// error and debug output.
#include <sched.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/WinMsg.h"

namespace winapi {
namespace {

std::atomic<DWORD> tickOffset{0};
std::atomic<DebugSink> debugSink{nullptr};
thread_local DWORD lastError = 0;

}  // namespace

// Milliseconds of CLOCK_MONOTONIC, truncated to 32 bits: wraps every 49.7 days, and
// tests move the offset close to 2^32 to make callers meet the wrap.
DWORD GetTickCount() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  const uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
  return static_cast<DWORD>(ms + tickOffset.load(std::memory_order_relaxed));
}

void SetTickCountOffsetForTesting(DWORD offset) {
  tickOffset.store(offset, std::memory_order_relaxed);
}

void Sleep(DWORD ms) {
  if (ms == 0) {
    sched_yield();
    return;
  }
  for (;;) {
    const DWORD chunk = ms == INFINITE ? 1000000u : ms;
    timespec req{static_cast<time_t>(chunk / 1000), static_cast<long>(chunk % 1000) * 1000000L};
    while (nanosleep(&req, &req) != 0 && errno == EINTR) {
    }
    if (ms != INFINITE) return;
  }
}

DWORD GetCurrentThreadId() {
  return static_cast<DWORD>(gettid());
}

DWORD GetLastError() {
  return lastError;
}

void SetLastError(DWORD code) {
  lastError = code;
}

void OutputDebugString(const char* text) {
  if (text == nullptr) return;
  if (DebugSink sink = debugSink.load(std::memory_order_acquire)) {
    sink(text);
  } else {
    // A debugger shows each message as an entry of its own; on a terminal that
    // takes a line end, or consecutive messages run together.
    const size_t len = std::strlen(text);
    std::fputs(text, stderr);
    if (len == 0 || text[len - 1] != '\n') std::fputc('\n', stderr);
  }
}

void SetDebugSinkForTesting(DebugSink sink) {
  debugSink.store(sink, std::memory_order_release);
}

}  // namespace winapi
