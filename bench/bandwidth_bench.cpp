// The average rate of a throttled download over many sampling periods, against
// its limit. A scripted loopback server sends a document of exactly `periods`
// budgets as fast as it can; the client, with bandwidth control on, takes the
// first budget at once and one more per tick, so the download lasts about
// periods - 1 sampling periods.
//
// Counters: limit (bytes per second), rate (body bytes over the wall time of the
// Get) and error_pct = (rate - limit) / limit * 100. The first budget, taken before
// the first tick, makes rate read high by about 100 / (periods - 1) percent.
//
//   bandwidth_bench --benchmark_filter=BM_Throttled   (each case runs once, 1-2 s)
#include <benchmark/benchmark.h>

#include <chrono>
#include <string>

#include "bench/DiscardStream.h"
#include "http/HttpProt.h"
#include "testsupport/ScriptedPeer.h"

namespace {

// Args: limit in bytes per second, sampling period in milliseconds, periods.
void BM_ThrottledGet(benchmark::State& state) {
  const int limit = static_cast<int>(state.range(0));
  const int sampling = static_cast<int>(state.range(1));
  const int64_t size = state.range(2) * limit * sampling / 1000;
  const std::string response =
      "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(size) + "\r\n\r\n" + std::string(size, 'x');
  double rate = 0;
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
    rate = static_cast<double>(size) / seconds;
  }
  state.counters["limit"] = limit;
  state.counters["rate"] = rate;
  state.counters["error_pct"] = (rate - limit) * 100.0 / limit;
}

BENCHMARK(BM_ThrottledGet)
    ->Args({1000000, 20, 60})
    ->Args({200000, 100, 20})
    ->Args({100000, 10, 200})  // a budget of 1000 bytes, smaller than one read
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
