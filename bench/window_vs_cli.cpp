// The window against the command line on the same page: does the window measure
// the network and nothing of its own? Drives the real main window from code on
// Qt's offscreen platform against a private nginx on loopback, beside
// tachyload-cli on the same 10 kB page, interleaved round by round: N loads in
// the window with Details closed, N with the command line, N in the window with
// Details open, N with the command line again. Per-load times are each load's
// whole time in microseconds (the window's details, the command line's --json
// details), pooled over the rounds; medians are compared.
//
// Exits 1 when the window's median per load exceeds 1.2 x the command line's
// + 50 us, or when the median of its last 100 loads exceeds 1.2 x that of its
// first 100 (times that grow with the run), at either Details setting.
//
// Usage: window_vs_cli [--loads N] [--rounds R]   (defaults 500 and 3)
//
// With --page-memory MIB instead: one load of a page of MIB mebibytes of text
// lines in the window, and the window process's peak memory (VmHWM) against the
// page's size; exits 1 above 1.5 x the page.
#include <QApplication>
#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "app/qt/QtApplication.h"
#include "app/qt/Unit1.h"
#include "core/Application.h"
#include "testsupport/Nginx.h"

#ifndef TL_CLI_PATH
#define TL_CLI_PATH "tachyload-cli"
#endif

namespace {

using Samples = std::vector<double>;
// Per phase (dns ... pane), the samples of every load.
using PhaseSamples = std::array<Samples, app::kDetailPhaseCount>;

double Median(Samples s) {
  if (s.empty()) return 0;
  std::sort(s.begin(), s.end());
  const size_t n = s.size();
  return n % 2 ? s[n / 2] : (s[n / 2 - 1] + s[n / 2]) / 2;
}

Samples Slice(const Samples& s, size_t from, size_t count) {
  if (from >= s.size()) return {};
  return Samples(s.begin() + static_cast<long>(from),
                 s.begin() + static_cast<long>(std::min(s.size(), from + count)));
}

// A 10 kB page of text lines, as a small HTML page would be.
std::string Page() {
  std::string page;
  for (int line = 0; page.size() < 10 * 1024; ++line)
    page += "<p>line " + std::to_string(line) + " of a small page, loaded again and again</p>\n";
  page.resize(10 * 1024);
  return page;
}

// One run of the command line: each load's whole time in microseconds.
Samples CliRun(const std::string& url, int loads, PhaseSamples& phases) {
  const std::string cmd = std::string("'") + TL_CLI_PATH + "' -q -y --json --no-save -n " +
                          std::to_string(loads) + " '" + url + "' 2>/dev/null";
  FILE* pipe = popen(cmd.c_str(), "r");
  if (pipe == nullptr) return {};
  std::string out;
  char buf[65536];
  for (size_t n; (n = fread(buf, 1, sizeof buf, pipe)) > 0;) out.append(buf, n);
  if (pclose(pipe) != 0) return {};
  Samples us;
  for (const auto& d : nlohmann::json::parse(out, nullptr, false).value("details", nlohmann::json::array())) {
    us.push_back(d.value("total_us", 0.0));
    for (size_t p = 0; p < app::kDetailPhaseCount; ++p)
      phases[p].push_back(d["phases_us"].value(app::DetailPhaseName(p), 0.0));
  }
  return us;
}

// One run in the window, as a person starts it: URL, loads, TEST.
Samples WindowRun(app::TForm1& form, const std::string& url, int loads, bool detailsOpen,
                  PhaseSamples& phases) {
  if (detailsOpen) {
    form.DetailsButtonClick();
  } else if (form.Details) {
    form.Details->hide();
  }
  for (int i = 0; i < 5; ++i) QCoreApplication::processEvents();
  form.URLEdit->setText(QString::fromStdString(url));
  form.Edit4->setText(QString::number(loads));
  form.CheckBox1->setChecked(true);
  form.GoButtonClick();
  Samples us;
  for (const app::TLoadRow& row : form.Run().rows)
    if (!row.Failed()) {
      us.push_back(static_cast<double>(row.totalUs));
      for (size_t p = 0; p < app::kDetailPhaseCount; ++p)
        phases[p].push_back(static_cast<double>(row.PhaseUs(p)));
    }
  return us;
}

struct TCase {
  const char* name;
  bool detailsOpen;
  Samples window, cli;
  std::vector<Samples> windowRuns;
  PhaseSamples windowPhases, cliPhases;
};

// Where the difference lies: the median of each phase that took time.
void PrintPhases(const char* who, const PhaseSamples& phases) {
  std::printf("  %-7s", who);
  for (size_t p = 0; p < app::kDetailPhaseCount; ++p)
    if (Median(phases[p]) > 0) std::printf(" %s %.1f", app::DetailPhaseName(p), Median(phases[p]));
  std::printf("  (us, medians)\n");
}

bool Report(const TCase& c) {
  const double window = Median(c.window), cli = Median(c.cli);
  // Growth within a run: first 100 against last 100 loads, medians over the rounds.
  Samples first, last;
  for (const Samples& run : c.windowRuns) {
    const Samples a = Slice(run, 0, 100), b = Slice(run, run.size() > 100 ? run.size() - 100 : 0, 100);
    first.insert(first.end(), a.begin(), a.end());
    last.insert(last.end(), b.begin(), b.end());
  }
  const double firstMedian = Median(first), lastMedian = Median(last);
  const bool flat = lastMedian <= 1.2 * firstMedian;
  const bool close = window <= 1.2 * cli + 50;
  std::printf("%-16s window %8.1f us  cli %8.1f us  ratio %5.2f  first100 %8.1f us  last100 %8.1f us  %s\n",
              c.name, window, cli, cli > 0 ? window / cli : 0, firstMedian, lastMedian,
              close && flat ? "ok" : (!close ? "FAIL: window slower than cli" : "FAIL: times grow"));
  PrintPhases("window", c.windowPhases);
  PrintPhases("cli", c.cliPhases);
  return close && flat;
}

// A /proc/self/status figure in bytes ("VmHWM", "VmRSS").
double StatusBytes(const char* key) {
  FILE* f = std::fopen("/proc/self/status", "r");
  if (f == nullptr) return 0;
  char line[256];
  double kb = 0;
  const size_t n = std::strlen(key);
  while (std::fgets(line, sizeof line, f))
    if (std::strncmp(line, key, n) == 0 && line[n] == ':') kb = std::atof(line + n + 1);
  std::fclose(f);
  return kb * 1024;
}

int PageMemory(app::TForm1& form, testsupport::NginxServer& nginx, int mib) {
  // Written a piece at a time: the page never sits in this process's memory.
  const std::string piece = Page();
  const uint64_t size = static_cast<uint64_t>(mib) << 20;
  FILE* f = std::fopen((nginx.Root() + "/big.html").c_str(), "wb");
  for (uint64_t written = 0; f != nullptr && written < size; written += piece.size())
    std::fwrite(piece.data(), 1, static_cast<size_t>(std::min<uint64_t>(piece.size(), size - written)), f);
  if (f == nullptr || std::fclose(f) != 0) return 2;
  // The peak counts from here: what building the window took is its base.
  if (FILE* reset = std::fopen("/proc/self/clear_refs", "w")) {
    std::fputs("5", reset);
    std::fclose(reset);
  }
  const double before = StatusBytes("VmRSS");
  PhaseSamples phases;
  const Samples loaded = WindowRun(form, nginx.Url("/big.html"), 1, false, phases);
  const double peak = StatusBytes("VmHWM"), page = static_cast<double>(size);
  std::printf("one %d MiB page in the window: peak %.1f MB (%.2f x the page; %.1f MB before the load)\n", mib,
              peak / 1e6, peak / page, before / 1e6);
  if (loaded.size() != 1) return 2;
  return peak <= 1.5 * page ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  int loads = 500, rounds = 3, pageMemory = 0;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--loads") == 0) loads = std::atoi(argv[i + 1]);
    if (std::strcmp(argv[i], "--rounds") == 0) rounds = std::atoi(argv[i + 1]);
    if (std::strcmp(argv[i], "--page-memory") == 0) pageMemory = std::atoi(argv[i + 1]);
  }
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication application(argc, argv);
  app::TQtApplication messages;
  core::SetApplication(&messages);

  testsupport::NginxServer nginx;
  nginx.AddFile("page.html", Page());
  if (!nginx.Start()) {
    std::fprintf(stderr, "window_vs_cli: nginx did not start\n");
    return 2;
  }
  const std::string url = nginx.Url("/page.html");
  int result = 0;
  {
    app::TForm1 form;
    form.ShowError = [](const QString&, const QString& text) {
      std::fprintf(stderr, "window_vs_cli: %s\n", qPrintable(text));
    };
    form.ShowMessage = form.ShowError;
    app::TWindowOptions options = form.Options();
    options.recordHistory = false;  // the comparison keeps nothing in the user's history
    form.SetOptions(options);
    form.show();
    if (pageMemory > 0) {
      result = PageMemory(form, nginx, pageMemory);
      rounds = 0;
    }
    TCase cases[] = {{"details closed", false, {}, {}, {}, {}, {}},
                     {"details open", true, {}, {}, {}, {}, {}}};
    for (int round = 0; round < rounds; ++round) {
      for (TCase& c : cases) {
        const Samples w = WindowRun(form, url, loads, c.detailsOpen, c.windowPhases),
                      k = CliRun(url, loads, c.cliPhases);
        if (w.size() != static_cast<size_t>(loads) || k.size() != static_cast<size_t>(loads)) {
          std::fprintf(stderr, "window_vs_cli: a run failed (%zu window, %zu cli loads)\n", w.size(),
                       k.size());
          return 2;
        }
        c.window.insert(c.window.end(), w.begin(), w.end());
        c.cli.insert(c.cli.end(), k.begin(), k.end());
        c.windowRuns.push_back(w);
      }
    }
    if (rounds > 0)
      std::printf("%d rounds of %d loads of a 10 kB page from nginx on loopback, medians per load\n", rounds,
                  loads);
    for (const TCase& c : cases)
      if (rounds > 0 && !Report(c)) result = 1;
  }
  core::SetApplication(nullptr);
  return result;
}
