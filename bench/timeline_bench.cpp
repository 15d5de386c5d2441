// What recording the load timeline costs, against what it measures: the
// timeline's whole part in one load (start, every phase change the client makes,
// the received and decoded counts, the end and the pane) beside a 10 KB page
// loaded from a local nginx on a kept connection (the fastest load there is, so
// the largest share). After the benchmarks, a direct measurement prints the share
// (the timeline's processor time against the load's wall time) and the program
// fails when it reaches 1 %.
//
// The server: TL_BENCH_BASE (serving /10k.html) when set, else a private nginx.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <memory>
#include <string>

#include "core/Application.h"
#include "http/HttpProt.h"
#include "http/HttpTimeline.h"
#include "testsupport/Nginx.h"
#include "testsupport/Process.h"

namespace {

constexpr int64_t kPageSize = 10 * 1000;
using Clock = std::chrono::steady_clock;

std::string Base() {
  static std::unique_ptr<testsupport::NginxServer> server;
  static std::string base;
  if (!base.empty()) return base;
  if (const char* env = std::getenv("TL_BENCH_BASE")) return base = env;
  if (!testsupport::ProgramInstalled(testsupport::NginxServer::kBinary)) return base;
  server = std::make_unique<testsupport::NginxServer>();
  server->AddPatternFile("10k.html", kPageSize);
  if (server->Start()) base = "http://127.0.0.1:" + std::to_string(server->Port());
  return base;
}

// Every timeline call of a cold load, in the client's order.
void OneLoadOfTimeline(http::THttpTimeline& tl) {
  using http::TLoadPhase;
  tl.Start(TLoadPhase::request);
  tl.MarkPhase(TLoadPhase::dns);
  tl.MarkPhase(TLoadPhase::connect);
  tl.MarkPhase(TLoadPhase::request);
  tl.MarkPhase(TLoadPhase::wait);
  tl.Received(8192);
  tl.Decoded(8000);
  tl.Received(2200);
  tl.Decoded(2000);
  tl.Finish(200, false, 200);
  tl.Resume(TLoadPhase::pane);
  tl.Stop();
  benchmark::DoNotOptimize(tl.Times());
}

void BM_TimelineOfOneLoad(benchmark::State& state) {
  http::THttpTimeline tl;
  for (auto _ : state) OneLoadOfTimeline(tl);
}

struct PageClient {
  core::TMemoryStream stream;
  core::ComponentPtr<http::THttpCli> cli = core::MakeComponent<http::THttpCli>(nullptr);
  PageClient() {
    cli->SetRequestVer("1.1");
    cli->SetRcvdStream(&stream);
    cli->SetURL(Base() + "/10k.html");
  }
  bool Load() {
    stream.SetSize(0);
    cli->Get();
    return stream.Size() == kPageSize;
  }
};

void BM_Get10KKeptConnection(benchmark::State& state) {
  if (Base().empty()) {
    state.SkipWithError("no nginx (scripts/install-test-servers.sh)");
    return;
  }
  PageClient page;
  for (auto _ : state)
    if (!page.Load()) state.SkipWithError("short page");
}

BENCHMARK(BM_TimelineOfOneLoad);
BENCHMARK(BM_Get10KKeptConnection)->Unit(benchmark::kMicrosecond)->Iterations(1000);

double NsPer(int count, const std::function<void()>& f) {
  const auto start = Clock::now();
  for (int i = 0; i < count; ++i) f();
  return std::chrono::duration<double, std::nano>(Clock::now() - start).count() / count;
}

// The timeline's part is pure computation: its cost is the processor time this
// thread spends on it. Wall time would also count the time other processes of a
// busy machine take the processor away, which the timeline does not cause.
double CpuNsPer(int count, const std::function<void()>& f) {
  auto now = [] {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e9 + static_cast<double>(ts.tv_nsec);
  };
  const double start = now();
  for (int i = 0; i < count; ++i) f();
  return (now() - start) / count;
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (Base().empty()) return 0;
  http::THttpTimeline tl;
  const double timelineNs = CpuNsPer(200000, [&] { OneLoadOfTimeline(tl); });
  PageClient page;
  page.Load();  // connects
  bool ok = true;
  const double loadNs = NsPer(500, [&] { ok = page.Load() && ok; });
  const double share = timelineNs / loadNs * 100;
  std::printf(
      "timeline: %.0f ns of processor time per load; 10 KB kept-connection load: %.1f us; share: %.3f %%\n",
      timelineNs, loadNs / 1000, share);
  return ok && share < 1 ? 0 : 1;
}
