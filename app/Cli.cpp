#include "app/Cli.h"

#include <clocale>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>

#include "app/SpeedTest.h"
#include "core/Application.h"
#include "core/Classes.h"
#include "core/SysUtils.h"
#include "http/HttpProt.h"
#include "platform/WinMsg.h"

namespace app {

namespace {

const char kUsage[] =
    "usage: tachyload-cli [options] URL\n"
    "  -n, --loads N          number of loads (default 3)\n"
    "  -y, --confirm          allow more than 100 loads\n"
    "  -p, --pages            print the page pane's lines before the report\n"
    "  -o, --history FILE     append the report to FILE (CR LF line ends)\n"
    "      --json             print one JSON object instead of the report\n"
    "      --http-version V   1.0 (default) or 1.1\n"
    "      --proxy HOST[:PORT]\n"
    "      --timeout SECONDS  abort a load that takes longer (default: no limit)\n"
    "      --max-redirects N  redirections followed (default 5)\n"
    "      --no-redirects     do not follow redirections\n"
    "  -h, --help; --version\n";

struct Options {
  std::string url;
  std::string loads = "3";
  bool confirm = false, pages = false, json = false, followRedirects = true;
  std::string historyFile, httpVersion = "1.0", proxy;
  std::optional<int32_t> maxRedirects;
  uint32_t timeoutMs = 0;
};

TL_DECLARE_EXCEPTION(UsageError, core::Exception);

int32_t ParseCount(const std::string& what, const std::string& v) {
  auto n = core::TryStrToInt(v);
  if (!n || *n < 0) throw UsageError("invalid " + what + ": '" + v + "'");
  return *n;
}

Options ParseArgs(int argc, char** argv, bool& helpOrVersion, std::ostream& out) {
  Options o;
  helpOrVersion = false;
  auto value = [&](int& i, const std::string& name) -> std::string {
    if (i + 1 >= argc) throw UsageError("option " + name + " needs a value");
    return argv[++i];
  };
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "-h" || a == "--help") {
      out << kUsage;
      helpOrVersion = true;
      return o;
    } else if (a == "--version") {
      out << "tachyload-cli 1.0\n";
      helpOrVersion = true;
      return o;
    } else if (a == "-n" || a == "--loads") {
      o.loads = value(i, a);
    } else if (a == "-y" || a == "--confirm") {
      o.confirm = true;
    } else if (a == "-p" || a == "--pages") {
      o.pages = true;
    } else if (a == "-o" || a == "--history") {
      o.historyFile = value(i, a);
    } else if (a == "--json") {
      o.json = true;
    } else if (a == "--http-version") {
      o.httpVersion = value(i, a);
      if (o.httpVersion != "1.0" && o.httpVersion != "1.1")
        throw UsageError("--http-version must be 1.0 or 1.1");
    } else if (a == "--proxy") {
      o.proxy = value(i, a);
    } else if (a == "--timeout") {
      o.timeoutMs = static_cast<uint32_t>(ParseCount("timeout", value(i, a))) * 1000u;
    } else if (a == "--max-redirects") {
      o.maxRedirects = ParseCount("number of redirections", value(i, a));
    } else if (a == "--no-redirects") {
      o.followRedirects = false;
    } else if (!a.empty() && a[0] == '-' && a != "-") {
      throw UsageError("unknown option " + a);
    } else if (o.url.empty()) {
      o.url = a;
    } else {
      throw UsageError("only one URL may be given");
    }
  }
  if (o.url.empty()) throw UsageError("no URL given");
  return o;
}

// Ends a load that runs past its time limit: the client's synchronous wait asks
// the application whether it is terminating and aborts the request when it is.
class TimedApplication : public core::IApplication {
 public:
  explicit TimedApplication(uint32_t limitMs) : FLimitMs(limitMs) {}
  void StartLoad() {
    FStart = winapi::GetTickCount();
    FArmed = FLimitMs > 0;
    FTimedOut = false;
  }
  void StopLoad() { FArmed = false; }
  bool TimedOut() const { return FTimedOut; }
  void ProcessMessages() override { FBase.ProcessMessages(); }
  bool WaitMessage(uint32_t timeoutMs) override {
    if (FArmed) {
      const uint32_t spent = winapi::GetTickCount() - FStart;
      const uint32_t left = spent >= FLimitMs ? 0 : FLimitMs - spent;
      if (left < timeoutMs) timeoutMs = left;
    }
    return FBase.WaitMessage(timeoutMs);
  }
  bool Terminated() const override {
    if (FArmed && winapi::GetTickCount() - FStart >= FLimitMs) FTimedOut = true;
    return FTimedOut || FBase.Terminated();
  }
  void Terminate() override { FBase.Terminate(); }

 private:
  core::TConsoleApplication FBase;
  uint32_t FLimitMs;
  uint32_t FStart = 0;
  bool FArmed = false;
  mutable bool FTimedOut = false;
};

class TerminalView : public ISpeedTestView {
 public:
  TerminalView(const Options& o, TimedApplication& app) : FOptions(o), FApp(app) {}
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

  const Options& FOptions;
  TimedApplication& FApp;
  TPageLines FPages;
  std::vector<std::string> FHistory;
  std::vector<uint32_t> FLoadMs;
  std::string FConfirmation;
  int64_t FChars = 0;
};

std::string JsonString(const std::string& s) {
  std::string r = "\"";
  for (unsigned char c : s) {
    switch (c) {
      case '"':
        r += "\\\"";
        break;
      case '\\':
        r += "\\\\";
        break;
      case '\n':
        r += "\\n";
        break;
      case '\r':
        r += "\\r";
        break;
      case '\t':
        r += "\\t";
        break;
      default:
        if (c < 0x20 || c >= 0x7f) {
          // Bytes are not text in any known encoding: escape them one by one.
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          r += buf;
        } else {
          r += static_cast<char>(c);
        }
    }
  }
  return r + "\"";
}

void PrintJson(std::ostream& out, const TerminalView& view, const TSpeedResult& r, const std::string& date,
               const std::string& error) {
  // A failed run has no result: its loads so far still count.
  int64_t total = r.totalMs;
  if (!r.ran) {
    total = 0;
    for (uint32_t ms : view.FLoadMs) total += ms;
  }
  out << "{\"url\": " << JsonString(view.FOptions.url) << ", \"date\": " << JsonString(date)
      << ", \"loads\": " << JsonString(view.FOptions.loads) << ", \"time_ms\": " << total
      << ", \"bytes\": " << r.bytes << ", \"speed\": ";
  if (r.ran && r.totalMs != 0) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.15Lg", static_cast<long double>(r.bytes) / r.totalMs * 1000);
    out << buf;
  } else {
    out << "null";
  }
  out << ", \"load_ms\": [";
  for (size_t i = 0; i < view.FLoadMs.size(); ++i) out << (i ? ", " : "") << view.FLoadMs[i];
  out << "], \"error\": " << (error.empty() ? "null" : JsonString(error)) << "}\n";
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
  Options o;
  try {
    bool done = false;
    o = ParseArgs(argc, argv, done, out);
    if (done) return 0;
  } catch (const UsageError& e) {
    err << "tachyload: " << e.Message() << "\n" << kUsage;
    return 2;
  }
  TimedApplication application(o.timeoutMs);
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

  TerminalView view(o, application);
  TSpeedResult result;
  std::string error;
  try {
    result = RunSpeedTest(*client, view);
  } catch (const core::EConvertError& e) {
    err << "tachyload: " << e.Message() << "\n";
    return 2;
  } catch (const std::exception& e) {
    error = core::ExceptionMessage(e);
    if (application.TimedOut())
      error = "load timed out after " + std::to_string(o.timeoutMs / 1000) + " s (" + error + ")";
  }
  if (!view.FConfirmation.empty()) {
    err << view.FConfirmation << "\n";
    return 2;
  }
  if (o.pages)
    for (size_t i = 0; i < view.FPages.Count(); ++i) out << view.FPages.Line(i) << "\n";
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
