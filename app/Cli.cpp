#include "app/Cli.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <clocale>
#include <ctime>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <ostream>

#include "app/CliOptions.h"
#include "app/SpeedTest.h"
#include "core/Application.h"
#include "core/Classes.h"
#include "core/SysUtils.h"
#include "http/HttpProt.h"
#include "platform/WinMsg.h"

namespace app {

namespace {

const char kUsageHint[] = "usage: tachyload-cli [options] URL (--help lists the options)\n";

// Ends a load that runs past its time limit: the client's synchronous wait asks
// the application whether it is terminating and aborts the request when it is.
// The limit is kept as a steady-clock deadline, so long limits neither overflow
// nor wrap with the tick counter.
class TimedApplication : public core::IApplication {
 public:
  using Clock = std::chrono::steady_clock;
  explicit TimedApplication(double limitSeconds) : FLimit(LimitFor(limitSeconds)) {}
  void StartLoad() {
    FArmed = FLimit.has_value();
    if (FArmed) FDeadline = Clock::now() + *FLimit;
    FTimedOut = false;
  }
  void StopLoad() { FArmed = false; }
  bool TimedOut() const { return FTimedOut; }
  void ProcessMessages() override { FBase.ProcessMessages(); }
  bool WaitMessage(uint32_t timeoutMs) override {
    if (FArmed) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(FDeadline - Clock::now()).count();
      timeoutMs = static_cast<uint32_t>(std::clamp<int64_t>(left, 0, timeoutMs));
    }
    return FBase.WaitMessage(timeoutMs);
  }
  bool Terminated() const override {
    if (FArmed && Clock::now() >= FDeadline) FTimedOut = true;
    return FTimedOut || FBase.Terminated();
  }
  void Terminate() override { FBase.Terminate(); }

 private:
  // No limit for 0, and none for limits beyond a century (no load lasts that long,
  // and the deadline must not overflow the clock).
  static std::optional<Clock::duration> LimitFor(double seconds) {
    if (!(seconds > 0) || seconds > 3.2e9) return std::nullopt;
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  }

  core::TConsoleApplication FBase;
  std::optional<Clock::duration> FLimit;
  Clock::time_point FDeadline;
  bool FArmed = false;
  mutable bool FTimedOut = false;
};

class TerminalView : public ISpeedTestView {
 public:
  TerminalView(const CliOptions& o, TimedApplication& app) : FOptions(o), FApp(app) {}
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
  void AppendPageLines(const TPageLines& lines) override {
    CheckLogin();
    FChars += lines.CharCount();
    if (FOptions.pages) FPages.Append(lines);
  }
  int64_t PageCharCount() override { return FChars; }
  void ShowTotals(const std::string&, const std::string&, const std::string&) override {}
  void AppendHistory(const std::vector<std::string>& lines) override { FHistory = lines; }
  void LoadTimed(int, uint32_t elapsedMs) override { FLoadMs.push_back(elapsedMs); }
  std::string ShortDateToday() override {
    char buf[64];
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    std::strftime(buf, sizeof buf, "%x", &tm);
    return buf;
  }
  char DecimalSeparator() override {
    const std::lconv* lc = std::localeconv();
    return lc && lc->decimal_point && lc->decimal_point[0] ? lc->decimal_point[0] : '.';
  }

  // A page the server or the proxy still refuses after the login (or without one)
  // was not loaded: the load fails like one with any other error status. The
  // window shows such a page instead.
  void CheckLogin() const {
    if (!FClient) return;
    const int status = FClient->StatusCode();
    if (status != 401 && status != 407) return;
    const bool given = status == 401 ? !FOptions.user.empty() : !FOptions.proxyUser.empty();
    throw core::Exception(std::string(given ? "login refused: " : "login required: ") +
                          std::to_string(status) + " " + FClient->ReasonPhrase());
  }

  const CliOptions& FOptions;
  TimedApplication& FApp;
  const http::THttpCli* FClient = nullptr;
  TPageLines FPages;
  std::vector<std::string> FHistory;
  std::vector<uint32_t> FLoadMs;
  std::string FConfirmation;
  int64_t FChars = 0;
};

// The JSON object of a run. Numbers come out with a dot whatever the locale;
// bytes that are not UTF-8 (a URL, a server's reason phrase) become U+FFFD.
void PrintJson(std::ostream& out, const TerminalView& view, const TSpeedResult& r, const std::string& date,
               const std::string& error) {
  // A failed run has no result: its loads so far still count.
  int64_t total = r.totalMs;
  if (!r.ran) {
    total = 0;
    for (uint32_t ms : view.FLoadMs) total += ms;
  }
  nlohmann::ordered_json j;
  j["url"] = view.FOptions.url;
  j["date"] = date;
  j["loads"] = view.FOptions.loads;
  j["time_ms"] = total;
  j["bytes"] = r.bytes;
  if (r.ran && r.totalMs != 0)
    j["speed"] = static_cast<double>(r.bytes) / static_cast<double>(r.totalMs) * 1000;
  else
    j["speed"] = nullptr;
  j["load_ms"] = view.FLoadMs;
  if (error.empty())
    j["error"] = nullptr;
  else
    j["error"] = error;
  out << j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
}

std::string SecondsText(double seconds) {
  char buf[64];
  const auto res = std::to_chars(buf, buf + sizeof buf, seconds);
  return std::string(buf, res.ptr);
}

void AppendHistoryFile(const std::string& file, const std::vector<std::string>& lines) {
  std::ofstream f(file, std::ios::binary | std::ios::app);
  for (const auto& l : lines) f << l << "\r\n";
  f.flush();
  if (!f) throw core::Exception("cannot write " + file);
}

}  // namespace

int RunCli(int argc, char** argv, std::ostream& out, std::ostream& err) {
  std::setlocale(LC_ALL, "");
  CliOptions o;
  try {
    if (!ParseCliOptions(argc, argv, o, out)) return 0;
  } catch (const ECliUsage& e) {
    err << "tachyload: " << e.Message() << "\n" << kUsageHint;
    return 2;
  }
  TimedApplication application(o.timeoutSeconds);
  core::SetApplication(&application);
  struct Restore {
    ~Restore() { core::SetApplication(nullptr); }
  } restore;

  auto client = core::MakeComponent<http::THttpCli>(nullptr);
  client->SetName("HttpCli1");
  ConfigureClient(*client);
  client->SetRequestVer(o.httpVersion);
  client->SetProxy(o.proxy);
  client->SetFollowRelocation(o.followRedirects);
  if (o.maxRedirects) client->SetLocationChangeMaxCount(*o.maxRedirects);
  if (o.limitRate > 0) {
    client->SetOptions(client->Options() | http::httpoBandwidthControl);
    client->SetBandwidthLimit(o.limitRate);
    // The first period's budget arrives at once: short periods keep that burst
    // small, so a page of a few budgets still takes about size / rate.
    client->SetBandwidthSampling(100);
  }
  client->SetUsername(o.user);
  client->SetPassword(o.password);
  client->SetProxyUsername(o.proxyUser);
  client->SetProxyPassword(o.proxyPassword);

  TerminalView view(o, application);
  view.FClient = client.get();
  TSpeedResult result;
  std::string error;
  try {
    result = RunSpeedTest(*client, view);
  } catch (const core::EConvertError& e) {
    err << "tachyload: " << e.Message() << "\n" << kUsageHint;
    return 2;
  } catch (const std::exception& e) {
    error = core::ExceptionMessage(e);
    if (application.TimedOut())
      error = "load timed out after " + SecondsText(o.timeoutSeconds) + " s (" + error + ")";
  }
  if (!view.FConfirmation.empty()) {
    err << view.FConfirmation << "\n";
    return 2;
  }
  // With --json the standard output holds the object alone.
  std::ostream& pagesOut = o.json ? err : out;
  if (o.pages)
    for (size_t i = 0; i < view.FPages.Count(); ++i) pagesOut << view.FPages.Line(i) << "\n";
  const std::string date = view.ShortDateToday();
  if (!error.empty()) {
    if (o.json) PrintJson(out, view, result, date, error);
    err << "tachyload: " << error << "\n";
    return 1;
  }
  if (o.json) {
    PrintJson(out, view, result, date, "");
  } else {
    for (const auto& l : view.FHistory) out << l << "\n";
  }
  if (!o.historyFile.empty()) {
    try {
      AppendHistoryFile(o.historyFile, view.FHistory);
    } catch (const std::exception& e) {
      err << "tachyload: " << core::ExceptionMessage(e) << "\n";
      return 1;
    }
  }
  return 0;
}

}  // namespace app
