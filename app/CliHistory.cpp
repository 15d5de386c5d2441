#include "app/CliHistory.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>
#include <optional>
#include <ostream>
#include <regex>

#include "app/HistoryRecord.h"
#include "app/LoadReport.h"
#include "app/TerminalText.h"

namespace app {

namespace {

struct THistoryOptions {
  std::optional<std::string> url;
  std::string since, db;
  bool json = false, csv = false;
  std::optional<int64_t> pruneDays;
};

std::string Ms3(double ms) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.3f", ms);
  return buf;
}

void PrintText(std::ostream& out, const std::vector<store::TRunRow>& runs) {
  for (const store::TRunRow& r : runs) {
    const TSummary s = StoredSummary(r);
    out << LocalMinute(r.startedAt) << "  " << r.outcome << "  " << r.loads << " loads  median "
        << Ms3(s.median) << " ms  p95 " << Ms3(s.p95) << " ms  " << TerminalSafe(r.url) << "\n";
  }
}

void PrintCsv(std::ostream& out, const std::vector<store::TRunRow>& runs) {
  out << "id,started_at,url,loads,http_version,options,time_ms,bytes,outcome,median_ms,p95_ms,error\n";
  for (const store::TRunRow& r : runs) {
    const TSummary s = StoredSummary(r);
    out << r.id << "," << r.startedAt << "," << CsvField(r.url) << "," << r.loads << "," << r.httpVersion
        << "," << CsvField(r.options) << "," << r.totalMs << "," << r.bytes << "," << r.outcome << ","
        << Ms3(s.median) << "," << Ms3(s.p95) << "," << CsvField(r.error) << "\n";
  }
}

void PrintJson(std::ostream& out, const std::vector<store::TRunRow>& runs) {
  nlohmann::ordered_json a = nlohmann::ordered_json::array();
  for (const store::TRunRow& r : runs) {
    const TSummary s = StoredSummary(r);
    nlohmann::ordered_json j;
    j["id"] = r.id;
    j["started_at"] = r.startedAt;
    j["url"] = r.url;
    j["loads"] = r.loads;
    j["http_version"] = r.httpVersion;
    j["protocol"] = r.protocol;
    j["options"] = r.options;
    j["time_ms"] = r.totalMs;
    j["bytes"] = r.bytes;
    j["speed"] = r.speed ? nlohmann::ordered_json(*r.speed) : nlohmann::ordered_json(nullptr);
    j["outcome"] = r.outcome;
    j["error"] = r.error;
    j["median_ms"] = s.median;
    j["p95_ms"] = s.p95;
    a.push_back(j);
  }
  out << a.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
}

void DeclareHistoryOptions(CLI::App& cli, THistoryOptions& o) {
  cli.add_option("URL", o.url, "only the runs of this URL");
  cli.add_option("--since", o.since, "only runs started on or after DATE (YYYY-MM-DD, UTC)")
      ->option_text("DATE")
      ->check([](const std::string& v) {
        return std::regex_match(v, std::regex(R"(\d{4}-\d{2}-\d{2}([T ].*)?)")) ? "" : "DATE is YYYY-MM-DD";
      });
  CLI::Option* json = cli.add_flag("--json", o.json, "one JSON array");
  cli.add_flag("--csv", o.csv, "CSV with a header row")->excludes(json);
  cli.add_option("--prune", o.pruneDays, "remove the runs older than DAYS days")
      ->option_text("DAYS")
      ->check(CLI::Range(int64_t{0}, int64_t{100000}));
  cli.add_option("--history-db", o.db, "the history database (default: the one runs are recorded in)")
      ->option_text("FILE");
}

}  // namespace

int RunHistoryCli(int argc, char** argv, std::ostream& out, std::ostream& err) {
  CLI::App cli("The runs kept in the history database", "tachyload-cli history");
  THistoryOptions o;
  DeclareHistoryOptions(cli, o);
  try {
    cli.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    out << cli.help();
    return 0;
  } catch (const CLI::ParseError& e) {
    err << "tachyload: " << TerminalSafe(e.what()) << "\nusage: tachyload-cli history [URL] [--since DATE] "
        << "[--json|--csv] [--prune DAYS] [--history-db FILE]\n";
    return 2;
  }
  store::THistoryStore db(o.db.empty() ? store::DefaultHistoryPath() : o.db, {.createFolder = o.db.empty()});
  try {
    if (o.pruneDays) {
      const int64_t removed = db.Prune(store::IsoUtc(store::NowUnixMs() - *o.pruneDays * 86400000));
      out << "removed " << removed << " run" << (removed == 1 ? "" : "s") << " older than " << *o.pruneDays
          << " days\n";
    } else {
      store::TRunQuery q;
      q.url = o.url;
      q.since = o.since;
      const auto runs = db.Runs(q);
      if (o.json)
        PrintJson(out, runs);
      else if (o.csv)
        PrintCsv(out, runs);
      else
        PrintText(out, runs);
    }
  } catch (const store::EHistory& e) {
    for (const std::string& n : db.TakeNotices()) err << "tachyload: " << TerminalSafe(n) << "\n";
    err << "tachyload: " << TerminalSafe(e.Message()) << "\n";
    return 1;
  }
  for (const std::string& n : db.TakeNotices()) err << "tachyload: " << TerminalSafe(n) << "\n";
  return 0;
}

}  // namespace app
