// The average rate of a throttled download against its limit. A scripted loopback
// server sends the document as fast as it can; the client, with bandwidth control
// on, reads at most one budget per sampling period, the first one at once, so a
// document of k budgets lasts between k - 1 and k periods.
//
// Counters: limit (bytes per second), seconds (wall time of the Get), rate
// (response bytes, which the limit counts, over that time), error_pct = (rate - limit) / limit * 100, and
// budgets (the response's size in budgets, the header included). Whole periods make rate read high by about
// 100 / (budgets - 1) percent on short documents.
//
// BM_ThrottledGet: documents of a number of whole budgets. BM_ThrottledSize: a
// document of a given size, as a user would ask for it (50,000 B at 5,000 B/s
// should take 9-11 s; 1 MB at 200 KB/s 4.5-5.5 s; a limit under one byte a period
// still moves at most about one byte a second).
//
//   bandwidth_bench --benchmark_filter=BM_Throttled   (each case runs once, 1-10 s)
#include <benchmark/benchmark.h>

#include <chrono>
#include <string>

#include "bench/DiscardStream.h"
#include "http/HttpProt.h"
#include "testsupport/ScriptedPeer.h"

namespace {

// One throttled Get of size body bytes; the figures go to state's counters.
void RunThrottled(benchmark::State& state, int limit, int sampling, int64_t size) {
  const std::string response =
      "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(size) + "\r\n\r\n" + std::string(size, 'x');
  double rate = 0;
  double elapsed = 0;
  for (auto _ : state) {
    testsupport::ScriptedPeer peer({testsupport::Script().ExpectRequest().Send(response)});
    bench::TDiscardStream sink;
    auto cli = core::MakeComponent<http::THttpCli>(nullptr);
    cli->SetRequestVer("1.1");
    cli->SetRcvdStream(&sink);
    cli->SetOptions(http::httpoBandwidthControl);
    cli->SetBandwidthLimit(limit);
    cli->SetBandwidthSampling(sampling);
    cli->SetURL("http://127.0.0.1:" + std::to_string(peer.Port()) + "/");
    const auto start = std::chrono::steady_clock::now();
    cli->Get();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    state.SetIterationTime(seconds);
    if (cli->RcvdCount() != size) {
      state.SkipWithError("short document");
      break;
    }
    rate = static_cast<double>(response.size()) / seconds;
    elapsed = seconds;
  }
  state.counters["limit"] = limit;
  state.counters["seconds"] = elapsed;
  state.counters["rate"] = rate;
  state.counters["error_pct"] = (rate - limit) * 100.0 / limit;
  state.counters["budgets"] = static_cast<double>(response.size()) * 1000.0 / (double(limit) * sampling);
}

// Args: limit in bytes per second, sampling period in milliseconds, periods.
void BM_ThrottledGet(benchmark::State& state) {
  const int limit = static_cast<int>(state.range(0));
  const int sampling = static_cast<int>(state.range(1));
  RunThrottled(state, limit, sampling, state.range(2) * limit * sampling / 1000);
}

// Args: limit in bytes per second, sampling period in milliseconds, body bytes.
void BM_ThrottledSize(benchmark::State& state) {
  RunThrottled(state, static_cast<int>(state.range(0)), static_cast<int>(state.range(1)), state.range(2));
}

BENCHMARK(BM_ThrottledGet)
    ->Args({1000000, 20, 60})
    ->Args({200000, 100, 20})
    ->Args({100000, 10, 200})  // a budget of 1000 bytes, smaller than one read
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

BENCHMARK(BM_ThrottledSize)
    ->Args({5000, 1000, 50000})      // a page under one receive block
    ->Args({200000, 1000, 1000000})  // 1 MB at 200 KB/s
    ->Args({20, 100, 20})            // 2 bytes a period: the 59-byte response in 3 s
    ->Args({5, 100, 10})             // half a byte a period: 49 bytes in about 10 s
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
