#include "app/Cli.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <clocale>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <numeric>
#include <optional>
#include <ostream>

#include <unistd.h>

#include "app/CliHistory.h"
#include "app/CliInterrupt.h"
#include "app/CliOptions.h"
#include "app/CliProgress.h"
#include "app/CliSecrets.h"
#include "app/CliVerdict.h"
#include "app/DemoServer.h"
#include "app/HistoryRecord.h"
#include "app/LoadReport.h"
#include "app/SpeedRun.h"
#include "app/TerminalText.h"
#include "core/Application.h"
#include "core/Classes.h"
#include "core/SysUtils.h"
#include "http/HttpProt.h"
#include "platform/WinMsg.h"

namespace app {

namespace {

const char kUsageHint[] = "usage: tachyload-cli [options] URL (--help lists the options)\n";
constexpr int kExitInterrupted = 130;  // 128 + SIGINT, as shells report it

// Ends a load that runs past its time limit or that Ctrl-C interrupted: the
// client's synchronous wait asks the application whether it is terminating and
// aborts the request when it is. The limit is a steady-clock deadline, so long
// limits neither overflow nor wrap with the tick counter.
class CliApplication : public core::IApplication {
 public:
  using Clock = std::chrono::steady_clock;
  explicit CliApplication(double limitSeconds) : FLimit(LimitFor(limitSeconds)) {}
  void StartLoad() {
    FArmed = FLimit.has_value();
    if (FArmed) FDeadline = Clock::now() + *FLimit;
    FTimedOut = false;
  }
  void StopLoad() { FArmed = false; }
  bool TimedOut() const { return FTimedOut; }
  // Called on every wait of a load, at least every 200 ms: the progress bar.
  void SetOnWait(std::function<void()> onWait) { FOnWait = std::move(onWait); }
  void ProcessMessages() override { FBase.ProcessMessages(); }
  bool WaitMessage(uint32_t timeoutMs) override {
    if (TInterruptGuard::Interrupted()) return true;
    if (FOnWait) {
      FOnWait();
      timeoutMs = std::min<uint32_t>(timeoutMs, 200);
    }
    if (FArmed) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(FDeadline - Clock::now()).count();
      timeoutMs = static_cast<uint32_t>(std::clamp<int64_t>(left, 0, timeoutMs));
    }
    return FBase.WaitMessage(timeoutMs);
  }
  bool Terminated() const override {
    if (FArmed && Clock::now() >= FDeadline) FTimedOut = true;
    return FTimedOut || TInterruptGuard::Interrupted() || FBase.Terminated();
  }
  void Terminate() override { FBase.Terminate(); }

 private:
  // No limit for 0, and none beyond a century: no load lasts that long, and the
  // deadline must not overflow the clock.
  static std::optional<Clock::duration> LimitFor(double seconds) {
    if (!(seconds > 0) || seconds > 3.2e9) return std::nullopt;
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  }

  core::TConsoleApplication FBase;
  std::optional<Clock::duration> FLimit;
  std::function<void()> FOnWait;
  Clock::time_point FDeadline;
  bool FArmed = false;
  mutable bool FTimedOut = false;
};

class TerminalView : public ISpeedTestView {
 public:
  TerminalView(const CliOptions& o, CliApplication& app, TCliVerdict& verdict, TProgressBar& progress)
      : FOptions(o), FApp(app), FVerdict(verdict), FProgress(progress) {}
  std::string UrlText() override { return FOptions.url; }
  std::string LoadsText() override { return FOptions.loads; }
  void ClearResults() override {
    FPages.Clear();
    FChars = 0;
  }
  bool LoadsConfirmed() override { return FOptions.confirm; }
  void AskForConfirmation(const std::string& message) override { FConfirmation = message; }
  void SetCaption(const std::string&) override {}
  void SetTestEnabled(bool enabled) override {
    if (enabled)
      FApp.StopLoad();
    else
      FApp.StartLoad();
  }
  void PrepareLoad(http::THttpCli& client) override {
    // The run resets the proxy port for every load; a proxy's own port must
    // hold for the redirections too.
    client.SetProxy(FOptions.proxyHost);
    if (!FOptions.proxyHost.empty()) client.SetProxyPort(FOptions.proxyPort);
    FVerdict.StartLoad(FOptions.url);
    FClient = &client;
  }
  void CheckLoad(http::THttpCli& client) override {
    FVerdict.Check();
    if (FOptions.compressed && client.ContentEncoding().empty()) ++FUncompressed;
    if (client.AlpnFellBack()) ++FAlpnFellBack;
  }
  void AppendPage(const char* data, int64_t size) override {
    const int64_t before = FPages.CharCount();
    FPages.AppendPage(data, size);
    FChars += FPages.CharCount() - before;
    ++FLoadsDone;
  }
  bool CountsCharactersOnly() override { return !FOptions.pages; }
  void AddPageChars(int64_t count) override {
    FChars += count;
    ++FLoadsDone;
  }
  int64_t PageCharCount() override { return FChars; }
  void ShowTotals(const std::string&, const std::string&, const std::string&) override {}
  void AppendHistory(const std::vector<std::string>& lines) override {
    FHistory.clear();
    for (const std::string& l : lines) FHistory.push_back(MaskUrlPasswords(l));
  }
  // Every load started is timed; one that failed is kept with its figures as
  // far as it got, so the times, the details and the statistics list the same loads.
  void LoadTimed(int, uint32_t elapsedMs) override {
    FLoadMs.push_back(elapsedMs);
    if (FTimes.size() < FLoadMs.size()) {
      FTimes.push_back(FClient ? FClient->Timeline().Times() : http::TLoadTimes{});
      FTimes.back().status = FVerdict.ServerCode();
      FTlsResumed.push_back(false);
    }
    if (!TInterruptGuard::Interrupted()) FProgress.Update(FLoadsDone);
  }
  // A new connection's handshake that resumed the TLS session of an earlier one.
  void LoadMeasured(const http::TLoadTimes& times) override {
    FTimes.push_back(times);
    FTlsResumed.push_back(!times.reused && times.Phase(http::TLoadPhase::tls) > 0 && FClient &&
                          FClient->Socket() && FClient->Socket()->SslResumed());
  }
  std::string ShortDateToday() override { return LocaleShortDate(); }
  char DecimalSeparator() override {
    const std::lconv* lc = std::localeconv();
    return lc && lc->decimal_point && lc->decimal_point[0] ? lc->decimal_point[0] : '.';
  }

  // The time of the loads whose page counted.
  int64_t DoneMs() const {
    const auto n = std::min(FLoadMs.size(), static_cast<size_t>(FLoadsDone));
    return std::accumulate(FLoadMs.begin(), FLoadMs.begin() + static_cast<ptrdiff_t>(n), int64_t{0});
  }

  const CliOptions& FOptions;
  CliApplication& FApp;
  TCliVerdict& FVerdict;
  TProgressBar& FProgress;
  http::THttpCli* FClient = nullptr;
  std::vector<http::TLoadTimes> FTimes;
  std::vector<bool> FTlsResumed;
  TPageLines FPages;
  std::vector<std::string> FHistory;
  std::vector<uint32_t> FLoadMs;
  std::string FConfirmation;
  int64_t FChars = 0;
  int32_t FLoadsDone = 0;
  int32_t FUncompressed = 0;  // pages sent without compression although asked for
  int32_t FAlpnFellBack = 0;  // loads over HTTP/1.1 because the server chose it in ALPN
};

// The JSON object of a run. Numbers come out with a dot whatever the locale;
// bytes that are not UTF-8 (a URL, a server's reason phrase) become U+FFFD. Every
// load started is in load_ms and details, and time_ms is their sum; bytes and
// the statistics count the completed loads.
nlohmann::ordered_json RunJson(const TerminalView& view, const TUrlLoads& run, const std::string& date,
                               const std::string& startedAt, const std::string& error) {
  const int64_t total = std::accumulate(view.FLoadMs.begin(), view.FLoadMs.end(), int64_t{0});
  const int64_t bytes = view.FChars;
  nlohmann::ordered_json j;
  j["url"] = run.url;
  j["date"] = date;
  j["started_at"] = startedAt;
  j["loads"] = view.FOptions.loadCount;
  j["time_ms"] = total;
  j["bytes"] = bytes;
  if (total != 0)
    j["speed"] = static_cast<double>(bytes) / static_cast<double>(total) * 1000;
  else
    j["speed"] = nullptr;
  j["load_ms"] = view.FLoadMs;
  if (error.empty())
    j["error"] = nullptr;
  else
    j["error"] = MaskUrlPasswords(error);
  j["details"] = DetailsJson(run);
  j["stats"] = StatsJson(run);
  return j;
}

// "2026-12-07T19:04:05.123Z": the moment a run started, in UTC.
std::string IsoUtcNow() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm tm{};
  gmtime_r(&seconds, &tm);
  char buf[64];
  const size_t n = std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &tm);
  std::snprintf(buf + n, sizeof buf - n, ".%03dZ", static_cast<int>(ms));
  return buf;
}

void PrintError(std::ostream& err, const std::string& message) {
  err << "tachyload: " << TerminalSafe(MaskUrlPasswords(message)) << "\n";
}

// One URL: its object as it always was. Several: {"runs": [...], "comparison": [...]}.
void PrintJson(std::ostream& out, const nlohmann::ordered_json& runJsons,
               const std::vector<TUrlLoads>& runs) {
  nlohmann::ordered_json j;
  if (runJsons.size() == 1) {
    j = runJsons.front();
  } else {
    j["runs"] = runJsons;
    j["comparison"] = ComparisonJson(runs);
  }
  out << j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
}

std::string SecondsText(double seconds) {
  char buf[64];
  const auto res = std::to_chars(buf, buf + sizeof buf, seconds);
  return std::string(buf, res.ptr);
}

// "interrupted after K of N loads" with the figures of the K loads.
std::string InterruptedText(TerminalView& view, const CliOptions& o) {
  const int64_t ms = view.DoneMs();
  const std::string speed =
      ms == 0 ? "Error!"
              : FormatGeneral(static_cast<long double>(view.FChars) / ms * 1000, view.DecimalSeparator());
  return "interrupted after " + std::to_string(view.FLoadsDone) + " of " + std::to_string(o.loadCount) +
         " loads (Time: " + std::to_string(ms) + " ms, Bytes downloaded: " + std::to_string(view.FChars) +
         ", Average Speed: " + speed + " bps)";
}

// A file the run writes, opened before the first load: a path that cannot be
// written fails at once with the system's reason, not after the whole run.
struct TOutputFile {
  std::string path;
  std::ofstream stream;
  void Open(const std::string& file, std::ios::openmode mode) {
    path = file;
    if (file.empty()) return;
    errno = 0;
    stream.open(file, std::ios::binary | mode);
    if (!stream) throw core::Exception("cannot write " + file + ": " + std::strerror(errno ? errno : EIO));
  }
  void Check() {
    stream.flush();
    if (!stream) throw core::Exception("cannot write " + path);
  }
};

void AppendHistoryFile(TOutputFile& file, const std::vector<std::string>& lines) {
  for (const auto& l : lines) file.stream << l << "\r\n";
  file.Check();
}

void ConfigureForCli(http::THttpCli& client, const CliOptions& o) {
  ConfigureClient(client);
  client.SetRequestVer(o.httpVersion);
  client.SetFollowRelocation(o.followRedirects);
  client.SetSslCaFile(o.caCertFile);
  client.SetSslVerifyPeer(!o.insecure);
  client.SetIpFamily(o.ipv4Only ? http::httpIpV4Only : o.ipv6Only ? http::httpIpV6Only : http::httpIpAny);
  client.SetConnectRacing(!o.noRace);
  if (o.limitRate > 0) {
    client.SetOptions(client.Options() | http::httpoBandwidthControl);
    client.SetBandwidthLimit(o.limitRate);
    // The first period's budget arrives at once: short periods keep that burst
    // small, so a page of a few budgets still takes about size / rate.
    client.SetBandwidthSampling(100);
  }
  client.SetUsername(o.user);
  client.SetPassword(o.password);
  client.SetProxyUsername(o.proxyUser);
  client.SetProxyPassword(o.proxyPassword);
  // NTLMv2 unless asked: the LM response of v1 gives the password away to offline cracking.
  client.SetNtlmVersion(o.ntlmV1 ? 1 : 2);
  if (o.compressed) client.SetOptions(client.Options() | http::httpoEnableContentCoding);
}

void WriteExport(TOutputFile& file, const std::vector<TUrlLoads>& runs,
                 void (*write)(std::ostream&, const std::vector<TUrlLoads>&)) {
  if (file.path.empty()) return;
  write(file.stream, runs);
  file.Check();
}

// What every URL of a run shares.
struct TCliRun {
  CliOptions& o;
  CliEnvironment env;
  CliApplication& application;
  http::THttpCli& client;
  TCliVerdict& verdict;
  const std::string& socksFailure;  // written by the client's SOCKS error event
  TProgressBar& progress;
  std::ostream& out;
  std::ostream& err;
  std::vector<TUrlLoads> runs;
  nlohmann::ordered_json runJsons = nlohmann::ordered_json::array();
  TOutputFile history, csv, markdown;
  std::unique_ptr<store::THistoryStore> db;  // none with --no-save unless --compare-last reads it
};

// The warm-up loads of the selected URL: the same loads, nothing kept.
void RunWarmup(TCliRun& run) {
  CliOptions warm = run.o;
  warm.loads = std::to_string(run.o.warmup);
  warm.loadCount = run.o.warmup;
  warm.confirm = true;
  warm.pages = false;
  TerminalView view(warm, run.application, run.verdict, run.progress);
  run.progress.Begin("warm-up", warm.loadCount);
  RunSpeedTest(run.client, view);
}

// The options that change what a load measures: runs compare only with runs
// made the same way.
std::string MeasuredOptions(const CliOptions& o) {
  std::string text = "http=" + o.httpVersion;
  if (!o.proxyHost.empty()) text += " proxy=" + o.proxyHost + ":" + o.proxyPort;
  if (!o.socks.server.empty()) text += " socks=" + o.socks.server + " socks-level=" + o.socks.level;
  if (o.compressed) text += " compressed";
  if (o.limitRate > 0) text += " limit-rate=" + std::to_string(o.limitRate);
  if (o.warmup > 0) text += " warmup=" + std::to_string(o.warmup);
  if (o.pages) text += " pages";
  if (o.ipv4Only) text += " ipv4";
  if (o.ipv6Only) text += " ipv6";
  if (o.noRace) text += " no-race";
  return text;
}

// After the report: the comparison with the previous run, then this run into
// the history database. A database that fails costs a message, never the run.
void KeepRun(TCliRun& run, const TerminalView& view, const TUrlLoads& record, const std::string& startedAt,
             const std::string& outcome) {
  if (!run.db) return;
  const CliOptions& o = run.o;
  TRunFacts facts{startedAt,
                  o.loadCount,
                  o.httpVersion,
                  MeasuredOptions(o),
                  outcome,
                  ProgramVersion(),
                  std::accumulate(view.FLoadMs.begin(), view.FLoadMs.end(), int64_t{0}),
                  view.FChars};
  try {
    if (o.compareLast && outcome == "ok") {
      store::TRunQuery q;
      q.url = record.url;
      q.options = facts.options;
      q.okOnly = q.newestFirst = true;
      q.limit = 1;
      const auto last = run.db->Runs(q);
      (o.json ? run.err : run.out)
          << (last.empty() ? std::string("no earlier run of this URL with these options to compare with")
                           : CompareLastText(TotalSummary(record.Completed()), last.front()))
          << "\n";
    }
    if (!o.noSave) run.db->Record(RunRow(record, facts));
  } catch (const store::EHistory& e) {
    PrintError(run.err, e.Message() + (o.noSave ? "" : "; this run was not recorded"));
  }
  for (const std::string& notice : run.db->TakeNotices()) PrintError(run.err, notice);
}

// Measures the selected URL; returns the exit status (0: go on).
int MeasureUrl(TCliRun& run) {
  const CliOptions& o = run.o;
  TerminalView view(o, run.application, run.verdict, run.progress);
  const std::string shownUrl = MaskUrlPasswords(o.url);
  const std::string startedAt = IsoUtcNow();
  std::string error;
  try {
    if (o.warmup > 0) RunWarmup(run);
    run.progress.Begin(shownUrl, o.loadCount);
    RunSpeedTest(run.client, view);
  } catch (const std::exception& e) {
    // A SOCKS failure says more than the connect error it causes.
    error = run.socksFailure.empty() ? run.verdict.Explain(e) : run.socksFailure;
    if (run.application.TimedOut())
      error = "load timed out after " + SecondsText(o.timeoutSeconds) + " s (" + error + ")";
  }
  run.progress.Clear();
  const bool interrupted = TInterruptGuard::Interrupted();
  TUrlLoads record{shownUrl, view.FTimes, interrupted ? "interrupted" : MaskUrlPasswords(error),
                   view.FTlsResumed};
  // A run stopped between two loads has no failed load of its own.
  if (!record.error.empty() && static_cast<int32_t>(record.loads.size()) == view.FLoadsDone)
    record.error.clear();
  if (interrupted) error = InterruptedText(view, o);
  if (!view.FConfirmation.empty()) {
    run.err << view.FConfirmation << "\n";
    return 2;
  }
  run.runs.push_back(record);
  // With --json the standard output holds the object alone.
  std::ostream& pagesOut = o.json ? run.err : run.out;
  const bool pagesOnTerminal = isatty(o.json ? STDERR_FILENO : STDOUT_FILENO) == 1;
  // On a terminal an escape sequence in a page could rewrite the screen; a file
  // or a pipe gets the bytes as they came.
  for (size_t i = 0; o.pages && i < view.FPages.Count(); ++i) {
    if (pagesOnTerminal)
      pagesOut << TerminalSafePage(std::string(view.FPages.Line(i))) << "\n";
    else
      pagesOut << view.FPages.Line(i) << "\n";
  }
  const std::string date = view.ShortDateToday();
  if (o.json) run.runJsons.push_back(RunJson(view, record, date, startedAt, error));
  if (!error.empty()) {
    if (o.json) PrintJson(run.out, run.runJsons, run.runs);
    PrintError(run.err, error);
    KeepRun(run, view, record, startedAt, interrupted ? "interrupted" : "failed");
    return interrupted ? kExitInterrupted : 1;
  }
  if (!o.json) {
    for (const auto& l : view.FHistory) run.out << l << "\n";
    if (o.details) {
      PrintLoadTable(run.out, view.FTimes);
      PrintSummary(run.out, record);
      if (view.FUncompressed > 0)
        run.out << "Note: the server sent " << view.FUncompressed << " of " << view.FLoadsDone
                << " pages uncompressed although --compressed asked for compression.\n";
      if (view.FAlpnFellBack > 0)
        run.out << "Note: the server chose HTTP/1.1 in ALPN for " << view.FAlpnFellBack << " of "
                << view.FLoadsDone << " loads although HTTP/2 was asked for.\n";
    }
  }
  KeepRun(run, view, record, startedAt, "ok");
  if (!o.historyFile.empty()) {
    try {
      AppendHistoryFile(run.history, view.FHistory);
    } catch (const std::exception& e) {
      PrintError(run.err, core::ExceptionMessage(e));
      return 1;
    }
  }
  return 0;
}

// The exports, also after a failed load: they hold the loads so far and the
// failed one with its error.
int WriteExports(TCliRun& run) {
  try {
    WriteExport(run.csv, run.runs, WriteCsv);
    WriteExport(run.markdown, run.runs, WriteMarkdown);
  } catch (const std::exception& e) {
    PrintError(run.err, core::ExceptionMessage(e));
    return 1;
  }
  return 0;
}

// After the last URL: the comparison, the JSON object and the exports.
int FinishRun(TCliRun& run) {
  if (run.o.json) {
    PrintJson(run.out, run.runJsons, run.runs);
  } else if (run.runs.size() > 1) {
    for (const std::string& line : ComparisonLines(run.runs)) run.out << TerminalSafe(line) << "\n";
  }
  return WriteExports(run);
}

}  // namespace

int RunCli(int argc, char** argv, std::ostream& out, std::ostream& err) {
  if (argc > 1 && std::string_view(argv[1]) == "history") return RunHistoryCli(argc - 1, argv + 1, out, err);
  // The options are parsed from a copy: the passwords in argv itself are
  // overwritten at once, as anyone on the machine can read them there.
  std::vector<std::string> args(argv, argv + argc);
  std::vector<char*> argPointers;
  argPointers.reserve(args.size());
  for (std::string& a : args) argPointers.push_back(a.data());
  ScrubPasswordArgs(argc, argv);
  CliOptions o;
  const CliEnvironment env = CliEnvironment::FromProcess();
  std::unique_ptr<TDemoServer> demo;  // outlives the run that loads its page
  try {
    // Numbers on the command line are written with a dot whatever the locale
    // ("--timeout 0.5"): the user's locale applies only after parsing.
    if (!ParseCliOptions(argc, argPointers.data(), o, out)) return 0;
    std::setlocale(LC_ALL, "");
    ResolvePasswords(o, ProcessPasswordSources());
    if (o.demo) demo = StartDemo(o, o.json ? err : out);
    CheckCliOptions(o, env);
  } catch (const ECliUsage& e) {
    err << "tachyload: " << TerminalSafe(MaskUrlPasswords(e.Message())) << "\n" << kUsageHint;
    return 2;
  } catch (const core::Exception& e) {
    PrintError(err, e.Message());
    return 1;
  }
  CliApplication application(o.timeoutSeconds);
  core::SetApplication(&application);
  struct Restore {
    ~Restore() { core::SetApplication(nullptr); }
  } restore;

  std::string socksFailure;  // outlives the client, whose SOCKS error event writes it
  auto client = core::MakeComponent<http::THttpCli>(nullptr);
  client->SetName("HttpCli1");
  ConfigureForCli(*client, o);
  ApplySocks(*client, o.socks, socksFailure);
  // Any message wakes the run's wait; the window ignores this one.
  const winapi::HWND wakeWindow = client->Handle();
  TInterruptGuard interruptGuard([wakeWindow] { winapi::PostMessage(wakeWindow, winapi::WM_NULL, 0, 0); });
  TCliVerdict verdict(*client, o.maxRedirects);
  verdict.SetLogins(!o.user.empty(), !o.proxyUser.empty());
  const bool showProgress = !o.quiet && isatty(STDERR_FILENO) == 1;
  TProgressBar progress(err, showProgress);

  TCliRun run{o,
              env,
              application,
              *client,
              verdict,
              socksFailure,
              progress,
              out,
              err,
              {},
              nlohmann::ordered_json::array(),
              {},
              {},
              {},
              nullptr};
  try {
    run.history.Open(o.historyFile, std::ios::app);
    run.csv.Open(o.exportCsv, std::ios::trunc);
    run.markdown.Open(o.exportMarkdown, std::ios::trunc);
  } catch (const std::exception& e) {
    PrintError(err, core::ExceptionMessage(e));
    return 1;
  }
  if (!o.noSave || o.compareLast)
    run.db = std::make_unique<store::THistoryStore>(
        o.historyDb.empty() ? store::DefaultHistoryPath() : o.historyDb,
        store::THistorySettings{.createFolder = o.historyDb.empty()});
  if (showProgress) application.SetOnWait([&progress, &c = *client] { progress.Tick(c.RcvdCount()); });
  const std::vector<std::string> urls = o.urls;
  for (const std::string& url : urls) {
    SelectUrl(o, url, env);
    if (const int status = MeasureUrl(run); status != 0) {
      if (!run.runs.empty()) WriteExports(run);
      return status;
    }
  }
  return FinishRun(run);
}

}  // namespace app
