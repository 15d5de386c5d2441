// Downloads with the HTTP client's synchronous Get, the way the speed test does,
// from a local nginx: a 100 MiB document (into a memory stream and into a stream
// that discards), 100 loads of a 10 KB page on new connections (HTTP/1.0) and 1000
// loads of it on one kept connection (HTTP/1.1). For curl beside the client on
// such loads, see bench/compare_curl.sh and tachy_get.
//
// The server: TL_BENCH_BASE (for example http://127.0.0.1:8080, serving /100m.bin
// and /10k.html) when set, else a private nginx started here.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "bench/DiscardStream.h"
#include "core/Application.h"
#include "http/HttpProt.h"
#include "testsupport/Nginx.h"
#include "testsupport/Process.h"

namespace {

constexpr int64_t kBigSize = 100ll << 20;
constexpr int64_t kPageSize = 10 * 1000;

using bench::TDiscardStream;

// The base URL of the server, starting a private nginx on first use; empty when
// there is none.
std::string Base() {
  static std::unique_ptr<testsupport::NginxServer> server;
  static std::string base;
  if (!base.empty()) return base;
  if (const char* env = std::getenv("TL_BENCH_BASE")) {
    base = env;
    return base;
  }
  if (!testsupport::ProgramInstalled(testsupport::NginxServer::kBinary)) return base;
  server = std::make_unique<testsupport::NginxServer>();
  server->AddSparseFile("100m.bin", kBigSize);  // reads as zeros; nothing to write to disk
  server->AddPatternFile("10k.html", kPageSize);
  if (server->Start()) base = "http://127.0.0.1:" + std::to_string(server->Port());
  return base;
}

core::ComponentPtr<http::THttpCli> MakeClient(const std::string& version, core::TStream* stream) {
  auto cli = core::MakeComponent<http::THttpCli>(nullptr);
  cli->SetRequestVer(version);
  cli->SetAgent("Mozilla/3.0 (compatible)");
  cli->SetSocksLevel("5");
  cli->SetRcvdStream(stream);
  return cli;
}

void GetBig(benchmark::State& state, core::TStream& stream) {
  if (Base().empty()) {
    state.SkipWithError("no nginx (scripts/install-test-servers.sh)");
    return;
  }
  auto cli = MakeClient("1.1", &stream);
  cli->SetURL(Base() + "/100m.bin");
  for (auto _ : state) {
    stream.SetSize(0);
    cli->Get();
    if (cli->RcvdCount() != kBigSize) state.SkipWithError("short document");
  }
  state.SetBytesProcessed(state.iterations() * kBigSize);
}

void BM_Get100MiBIntoMemory(benchmark::State& state) {
  core::TMemoryStream stream;
  GetBig(state, stream);
}

void BM_Get100MiBDiscarded(benchmark::State& state) {
  TDiscardStream stream;
  GetBig(state, stream);
}

// Loads the 10 KB page once per iteration; HTTP/1.0 opens a connection for each.
void GetPage(benchmark::State& state, const std::string& version) {
  if (Base().empty()) {
    state.SkipWithError("no nginx (scripts/install-test-servers.sh)");
    return;
  }
  core::TMemoryStream stream;
  auto cli = MakeClient(version, &stream);
  cli->SetURL(Base() + "/10k.html");
  for (auto _ : state) {
    stream.SetSize(0);
    cli->Get();
    if (stream.Size() != kPageSize) state.SkipWithError("short page");
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * kPageSize);
}

void BM_Get10KNewConnections(benchmark::State& state) {
  GetPage(state, "1.0");
}
void BM_Get10KKeptConnection(benchmark::State& state) {
  GetPage(state, "1.1");
}

BENCHMARK(BM_Get100MiBIntoMemory)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_Get100MiBDiscarded)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_Get10KNewConnections)->Unit(benchmark::kMicrosecond)->Iterations(100);
BENCHMARK(BM_Get10KKeptConnection)->Unit(benchmark::kMicrosecond)->Iterations(1000);

}  // namespace

BENCHMARK_MAIN();
