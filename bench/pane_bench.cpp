// What showing a downloaded page costs the window, set against what downloading it
// costs: a 1 MB page of ordinary text lines split into the page pane
// (TLinePane::AppendPage, the work each load's measured time includes), against
// one Get of the same 1 MB from a private nginx through THttpCli, done as the
// window does it (HTTP/1.0, a new connection per load, one memory stream per run,
// Qt's events and ours pumped together). The pane's work is measured twice: into
// a pane emptied by a new run (its memory kept) and into a new pane. Painting is
// not per load: the pane shows new lines at most every 40 ms however fast pages
// arrive, so one paint is measured and set against that period. The ratios are printed at the end.
//
// Runs under Qt's offscreen platform, so it needs no display.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "app/SpeedRun.h"
#include "app/qt/LinePane.h"
#include "app/qt/QtApplication.h"
#include "core/Application.h"
#include "core/Classes.h"
#include "http/HttpProt.h"
#include "testsupport/Nginx.h"

namespace {

constexpr size_t kPageSize = 1000 * 1000;

// Lines of words 0 to 119 characters long, most ending in LF, some in CR LF,
// as a text or HTML page has them; the same bytes on every run.
const std::string& Page() {
  static const std::string page = [] {
    static constexpr const char* kWords[] = {
        "the",   "quick", "brown", "fox", "jumps", "over",    "lazy", "dog", "<p>", "</p>",
        "speed", "test",  "page",  "a",   "load",  "network", "of",   "and", "to",  "href=\"/x\""};
    std::string s;
    s.reserve(kPageSize + 128);
    uint32_t seed = 12345;
    auto next = [&seed] { return (seed = seed * 1103515245u + 12345u) >> 16; };
    while (s.size() < kPageSize) {
      const size_t length = next() % 120;
      const size_t start = s.size();
      while (s.size() - start < length) (s += kWords[next() % std::size(kWords)]) += ' ';
      s += next() % 8 == 0 ? "\r\n" : "\n";
    }
    s.resize(kPageSize);
    return s;
  }();
  return page;
}

// Per-iteration times of one case, for the summary at the end.
struct TSamples {
  std::vector<double> seconds;
  double Best() const { return seconds.empty() ? 0 : *std::min_element(seconds.begin(), seconds.end()); }
  double Median() const {
    if (seconds.empty()) return 0;
    std::vector<double> s = seconds;
    std::sort(s.begin(), s.end());
    return s[s.size() / 2];
  }
};

TSamples gWarm, gCold, gPaint, gDownload;

using TClock = std::chrono::steady_clock;

double Seconds(TClock::time_point from, TClock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

// One load's pane work: the page appended to the pane emptied when TEST was
// pressed, straight after it was received (so it is in the cache, as a load
// leaves it).
void BM_PaneAppend(benchmark::State& state) {
  const std::string& page = Page();
  app::TLinePane pane;
  pane.resize(640, 400);
  pane.show();
  QCoreApplication::processEvents();
  const size_t lineCount = app::SplitPageLines(page.data(), static_cast<int64_t>(page.size())).Count();
  core::TMemoryStream received;
  for (auto _ : state) {
    pane.Clear();
    received.SetSize(0);
    received.WriteBuffer(page.data(), static_cast<int64_t>(page.size()));
    const auto t0 = TClock::now();
    pane.AppendPage(received.Memory(), received.Size());
    const auto t1 = TClock::now();
    gWarm.seconds.push_back(Seconds(t0, t1));
    state.SetIterationTime(Seconds(t0, t1));
    if (pane.Lines().Count() != lineCount) state.SkipWithError("lines lost on the way to the pane");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * page.size()));
}

// One paint of a pane holding the page, scrolled to its end as after a load.
void BM_PanePaint(benchmark::State& state) {
  const std::string& page = Page();
  app::TLinePane pane;
  pane.resize(640, 400);
  pane.show();
  pane.AppendPage(page.data(), static_cast<int64_t>(page.size()));
  QCoreApplication::processEvents();
  for (auto _ : state) {
    const auto t0 = TClock::now();
    pane.viewport()->repaint();
    const auto t1 = TClock::now();
    gPaint.seconds.push_back(Seconds(t0, t1));
    state.SetIterationTime(Seconds(t0, t1));
  }
}

// The same into a new pane: the first run after the program started.
void BM_PaneAppendCold(benchmark::State& state) {
  const std::string& page = Page();
  for (auto _ : state) {
    app::TLinePane pane;
    const auto t0 = TClock::now();
    pane.AppendPage(page.data(), static_cast<int64_t>(page.size()));
    const auto t1 = TClock::now();
    gCold.seconds.push_back(Seconds(t0, t1));
    state.SetIterationTime(Seconds(t0, t1));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * page.size()));
}

std::unique_ptr<testsupport::NginxServer> gNginx;

void BM_Download1MB(benchmark::State& state) {
  if (!gNginx) {
    gNginx = std::make_unique<testsupport::NginxServer>();
    gNginx->AddFile("page1m.html", Page());
    if (!gNginx->Start()) {
      state.SkipWithError("nginx did not start");
      return;
    }
  }
  auto cli = core::MakeComponent<http::THttpCli>(nullptr);
  app::ConfigureClient(*cli);
  cli->SetURL(gNginx->Url("/page1m.html"));
  core::TMemoryStream stream;  // one per run, emptied for every load, as the window's
  for (auto _ : state) {
    stream.SetSize(0);
    cli->SetRcvdStream(&stream);
    const auto start = TClock::now();
    cli->Get();
    const double seconds = Seconds(start, TClock::now());
    state.SetIterationTime(seconds);
    gDownload.seconds.push_back(seconds);
    cli->SetRcvdStream(nullptr);
    if (stream.Size() != static_cast<int64_t>(kPageSize)) state.SkipWithError("short page");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kPageSize));
}

// Fixed iteration counts: the summary needs samples of every case, and CI's short
// --benchmark_min_time must not shrink them to nothing.
BENCHMARK(BM_PaneAppend)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(30);
BENCHMARK(BM_PaneAppendCold)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(30);
BENCHMARK(BM_PanePaint)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(30);
BENCHMARK(BM_Download1MB)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(30);

double Ratio(double a, double b) {
  return b > 0 ? a / b : 0;
}

void PrintSummary() {
  if (gWarm.seconds.empty() || gDownload.seconds.empty()) return;
  const double download = gDownload.Median();
  std::printf(
      "1 MB page, ms (best / median): pane work %.3f / %.3f (new pane %.3f / %.3f), one paint %.3f / %.3f;\n"
      "  download %.3f / %.3f\n",
      gWarm.Best() * 1e3, gWarm.Median() * 1e3, gCold.Best() * 1e3, gCold.Median() * 1e3, gPaint.Best() * 1e3,
      gPaint.Median() * 1e3, gDownload.Best() * 1e3, download * 1e3);
  std::printf("pane work/download by medians: %.3f (new pane %.3f), target <= 0.300\n",
              Ratio(gWarm.Median(), download), Ratio(gCold.Median(), download));
  std::printf("painting: %.1f %% of the time at most (one paint per 40 ms)\n", 100 * gPaint.Median() / 0.040);
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication application(argc, argv);
  {
    // As in the window: our messages run inside Qt's event loop while Get waits.
    app::TQtApplication messages;
    core::SetApplication(&messages);
    benchmark::RunSpecifiedBenchmarks();
    core::SetApplication(nullptr);
    gNginx.reset();
  }
  benchmark::Shutdown();
  PrintSummary();
  return 0;
}
