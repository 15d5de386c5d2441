// What recording a run in the history database costs the run. tachyload-cli
// loads a 10 kB page from a private nginx on loopback 1,000 times, R rounds,
// alternately with --no-save and with a history database; per round it takes
// the process's wall time and the run's own time (the --json time_ms, the sum
// of the loads' measured times). Then the 1,000-load run read back from the
// database is recorded again R times in-process and each Record timed alone.
//
// The write comes after the last load's clock stops: time_ms is the same
// with and without recording, and a database held locked by another writer
// (the write waits its busy timeout, then fails) lengthens the process, not
// time_ms. Exits 1 when opening the file, recording the run and closing the
// file (all the command line adds) take 1% or more of the median run's wall
// time without recording.
//
// Usage: history_record [--loads N] [--rounds R]   (defaults 1000 and 5)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "app/store/HistoryStore.h"
#include "app/store/Sqlite.h"
#include "testsupport/Nginx.h"
#include "testsupport/Process.h"

#ifndef TL_CLI_PATH
#define TL_CLI_PATH "tachyload-cli"
#endif

namespace {

using Clock = std::chrono::steady_clock;

double Median(std::vector<double> s) {
  if (s.empty()) return 0;
  std::sort(s.begin(), s.end());
  const size_t n = s.size();
  return n % 2 ? s[n / 2] : (s[n / 2 - 1] + s[n / 2]) / 2;
}

struct TRun {
  double wallMs = 0, timeMs = 0;
  bool ok = false;
};

// One process of the command line; history empty: --no-save.
TRun CliRun(const std::string& url, int loads, const std::string& history) {
  const std::string save = history.empty() ? std::string("--no-save") : "--history-db '" + history + "'";
  const std::string cmd = std::string("'") + TL_CLI_PATH + "' -q -y --json -n " + std::to_string(loads) +
                          " " + save + " '" + url + "' 2>/dev/null";
  const auto start = Clock::now();
  FILE* pipe = popen(cmd.c_str(), "r");
  if (pipe == nullptr) return {};
  std::string out;
  char buf[65536];
  for (size_t n; (n = fread(buf, 1, sizeof buf, pipe)) > 0;) out.append(buf, n);
  const int status = pclose(pipe);
  TRun r;
  r.wallMs = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  const auto j = nlohmann::json::parse(out, nullptr, false);
  if (status != 0 || j.is_discarded()) return r;
  r.timeMs = j["time_ms"].get<double>();
  r.ok = true;
  return r;
}

double RecordMs(store::THistoryStore& db, const store::TRunRow& run) {
  const auto start = Clock::now();
  db.Record(run);
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// All the command line does for its record: open the file, record, close.
double OpenRecordCloseMs(const std::string& path, const store::TRunRow& run) {
  const auto start = Clock::now();
  store::THistoryStore(path).Record(run);
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  int loads = 1000, rounds = 5;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--loads") == 0) loads = std::atoi(argv[i + 1]);
    if (std::strcmp(argv[i], "--rounds") == 0) rounds = std::atoi(argv[i + 1]);
  }
  testsupport::NginxServer nginx;
  nginx.AddFile("page.html", std::string(10 * 1024 - 1, 'x') + "\n");
  if (!nginx.Start()) {
    std::fprintf(stderr, "history_record: nginx did not start\n");
    return 2;
  }
  const std::string url = nginx.Url("/page.html");
  testsupport::TempDir dir("tlhistbench");
  const std::string path = dir.File("history.sqlite3");

  std::vector<double> plainWall, plainTime, keptWall, keptTime;
  for (int round = 0; round < rounds; ++round) {
    const TRun plain = CliRun(url, loads, {});
    const TRun kept = CliRun(url, loads, path);
    if (!plain.ok || !kept.ok) {
      std::fprintf(stderr, "history_record: a run failed\n");
      return 2;
    }
    plainWall.push_back(plain.wallMs);
    plainTime.push_back(plain.timeMs);
    keptWall.push_back(kept.wallMs);
    keptTime.push_back(kept.timeMs);
  }

  // The same run recorded again, each Record alone: into the database that
  // holds the rounds, and into a new one each time.
  store::THistoryStore db(path);
  store::TRunQuery last;
  last.newestFirst = true;
  last.limit = 1;
  const store::TRunRow run = db.Runs(last).at(0);
  std::vector<double> intoFull, intoNew, whole;
  for (int round = 0; round < rounds; ++round) {
    whole.push_back(OpenRecordCloseMs(path, run));
    intoFull.push_back(RecordMs(db, run));
    store::THistoryStore fresh(dir.File("fresh-" + std::to_string(round) + ".sqlite3"));
    fresh.Runs({});  // opens and creates the tables: not part of a run's record
    intoNew.push_back(RecordMs(fresh, run));
  }

  // A database another writer holds: the write waits its busy timeout.
  TRun locked;
  {
    store::TSqlite holder;
    holder.Open(path, SQLITE_OPEN_READWRITE);
    store::TTransaction hold(holder);
    locked = CliRun(url, loads, path);
  }

  const double wall = Median(plainWall), record = Median(intoFull);
  std::printf("%d loads of a 10 kB page, %d rounds, medians:\n", loads, rounds);
  std::printf("  --no-save        wall %8.1f ms   time_ms %8.1f\n", wall, Median(plainTime));
  std::printf("  recorded         wall %8.1f ms   time_ms %8.1f\n", Median(keptWall), Median(keptTime));
  std::printf(
      "  Record alone     %6.2f ms into the rounds' database, %6.2f ms into a new one (%.2f%% of the run)\n",
      record, Median(intoNew), 100 * record / wall);
  std::printf("  open, Record, close %6.2f ms (%.2f%% of the run)\n", Median(whole),
              100 * Median(whole) / wall);
  std::printf("  database locked  wall %8.1f ms   time_ms %8.1f (the busy wait is outside the loads)\n",
              locked.wallMs, locked.timeMs);
  return Median(whole) < wall / 100 ? 0 : 1;
}
