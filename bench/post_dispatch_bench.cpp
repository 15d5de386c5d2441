// Message throughput of the thread queue: post and dispatch on one thread, and
// posts from another thread drained by a blocking GetMessage loop. The allocation
// counters check that a warm queue posts and dispatches without the allocator
// (a counting operator new replaces the global one in this program).
#include <atomic>
#include <cstdlib>
#include <new>
#include <thread>

#include <benchmark/benchmark.h>

#include "platform/WinMsg.h"

namespace {

std::atomic<long> allocations{0};

}  // namespace

// Out of line: inlined into callers, GCC pairs malloc with the operator delete at
// the call site and reports a mismatch that is not there.
[[gnu::noinline]] void* operator new(std::size_t size) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
[[gnu::noinline]] void operator delete(void* p) noexcept {
  std::free(p);
}
[[gnu::noinline]] void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}

namespace {

using namespace winapi;

LRESULT CountingProc(HWND, UINT, WPARAM, LPARAM) {
  static thread_local long count = 0;
  return ++count;
}

HWND BenchWindow() {
  static HWND hwnd = [] {
    WNDCLASS wc{};
    wc.lpfnWndProc = CountingProc;
    wc.hInstance = GetModuleHandle(nullptr);
    wc.lpszClassName = "PostDispatchBench";
    RegisterClass(&wc);
    return CreateWindowEx(0, "PostDispatchBench", "", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                          GetModuleHandle(nullptr), nullptr);
  }();
  return hwnd;
}

void PumpAll() {
  MSG msg;
  while (PeekMessage(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessage(&msg);
}

// One message at a time: post, retrieve, dispatch.
void BM_PostDispatchOneThread(benchmark::State& state) {
  HWND hwnd = BenchWindow();
  PumpAll();
  MSG msg;
  for (int i = 0; i < 1000; ++i) {  // warm up
    PostMessage(hwnd, WM_USER, 0, 0);
    PeekMessage(&msg, nullptr, 0, 0, PM_REMOVE);
  }
  const long before = allocations.load();
  for (auto _ : state) {
    PostMessage(hwnd, WM_USER, 1, 2);
    PeekMessage(&msg, nullptr, 0, 0, PM_REMOVE);
    benchmark::DoNotOptimize(DispatchMessage(&msg));
  }
  const long allocated = allocations.load() - before;
  state.SetItemsProcessed(state.iterations());
  state.counters["allocs_per_msg"] = static_cast<double>(allocated) / static_cast<double>(state.iterations());
  if (allocated != 0) state.SkipWithError("steady posting allocated");
}
BENCHMARK(BM_PostDispatchOneThread);

// A batch queued first, then drained: the FIFO holds up to batch messages.
void BM_PostBatchThenPump(benchmark::State& state) {
  HWND hwnd = BenchWindow();
  const auto batch = static_cast<WPARAM>(state.range(0));
  for (auto _ : state) {
    for (WPARAM i = 0; i < batch; ++i) PostMessage(hwnd, WM_USER, i, 0);
    PumpAll();
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_PostBatchThenPump)->Arg(100)->Arg(5000);

// Another thread posts; this one blocks in GetMessage. The queue limit (10,000)
// throttles a poster that runs ahead.
void BM_PostCrossThread(benchmark::State& state) {
  constexpr WPARAM kPerIteration = 20000;
  HWND hwnd = BenchWindow();
  PumpAll();
  long allocated = 0;
  for (auto _ : state) {
    std::thread poster([hwnd] {
      for (WPARAM i = 0; i < kPerIteration; ++i) {
        while (!PostMessage(hwnd, WM_USER, i, 0)) std::this_thread::yield();
      }
    });
    const long before = allocations.load();
    MSG msg;
    for (WPARAM got = 0; got < kPerIteration; ++got) {
      GetMessage(&msg, nullptr, 0, 0);
      DispatchMessage(&msg);
    }
    allocated += allocations.load() - before;
    poster.join();
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(kPerIteration));
  // The first iteration may grow the FIFO; later ones must not allocate.
  state.counters["allocs"] = static_cast<double>(allocated);
}
BENCHMARK(BM_PostCrossThread)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
