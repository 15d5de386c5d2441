// The history store on real files: round trip, the migration from version 1,
// two writing processes, and each way the file can fail.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "app/store/HistorySchema.h"
#include "app/store/HistoryStore.h"
#include "app/store/Sqlite.h"
#include "testsupport/Process.h"

namespace {

using store::EHistory;
using store::THistoryStore;
using store::TRunRow;
using testsupport::TempDir;

TRunRow SampleRun(const std::string& startedAt, int loads = 3) {
  TRunRow r;
  r.startedAt = startedAt;
  r.url = "http://127.0.0.1/";
  r.loads = loads;
  r.httpVersion = "1.1";
  r.protocol = "http/1.1";
  r.options = "http=1.1";
  r.totalMs = 30;
  r.bytes = 120;
  r.speed = 4000;
  r.outcome = "ok";
  r.programVersion = "1.0";
  for (int i = 1; i <= loads; ++i) {
    store::TLoadRow l;
    l.index = i;
    l.status = 200;
    l.reused = i > 1;
    l.protocol = "http/1.1";
    l.phaseUs[7] = 1000 * i;
    l.totalUs = 1000 * i;
    l.wireBytes = 40;
    l.decodedBytes = 40;
    r.loadRows.push_back(l);
  }
  return r;
}

int64_t CountRows(const std::string& path, const char* table) {
  store::TSqlite db;
  db.Open(path, SQLITE_OPEN_READONLY);
  return db.QueryInt(std::string("SELECT count(*) FROM ") + table);
}

TEST(HistoryStore, KeepsARunWithItsLoadsAndATimeOfZero) {
  TempDir dir("tlstore");
  THistoryStore s(dir.File("h.sqlite3"));
  TRunRow zero = SampleRun("2026-12-06T14:03:00.000Z", 0);
  zero.speed.reset();  // a total of 0 ms has no speed
  const int64_t first = s.Record(SampleRun("2026-12-05T10:00:00.000Z"));
  const int64_t second = s.Record(zero);
  EXPECT_GT(second, first);
  const auto runs = s.Runs({});
  ASSERT_EQ(runs.size(), 2u);
  EXPECT_EQ(runs[0].url, "http://127.0.0.1/");
  EXPECT_EQ(runs[0].speed, 4000);
  ASSERT_EQ(runs[0].loadRows.size(), 3u);
  EXPECT_EQ(runs[0].loadRows[2].totalUs, 3000);
  EXPECT_EQ(runs[0].loadRows[2].phaseUs[7], 3000);
  EXPECT_TRUE(runs[0].loadRows[1].reused);
  EXPECT_FALSE(runs[1].speed.has_value());
  EXPECT_TRUE(runs[1].loadRows.empty());
  // Loads go in by many rows a statement, the rest one by one: all come back.
  s.Record(SampleRun("2026-12-07T14:03:00.000Z", 45));
  const auto many = s.Runs({}).back().loadRows;
  ASSERT_EQ(many.size(), 45u);
  for (int i = 0; i < 45; ++i) {
    EXPECT_EQ(many[static_cast<size_t>(i)].index, i + 1);
    EXPECT_EQ(many[static_cast<size_t>(i)].totalUs, 1000 * (i + 1));
  }
  EXPECT_EQ(CountRows(s.Path(), "pragma_journal_mode"), 1);
  store::TSqlite db;
  db.Open(s.Path(), SQLITE_OPEN_READONLY);
  EXPECT_EQ(db.QueryInt("PRAGMA user_version"), store::kSchemaVersion);
}

TEST(HistoryStore, QueriesByUrlSinceAndBeforeAndPrunesWithTheLoads) {
  TempDir dir("tlstore");
  THistoryStore s(dir.File("h.sqlite3"));
  TRunRow other = SampleRun("2026-12-07T09:00:00.000Z");
  other.url = "http://127.0.0.1/other";
  s.Record(SampleRun("2026-11-01T09:00:00.000Z"));
  const int64_t mid = s.Record(SampleRun("2026-12-01T09:00:00.000Z"));
  s.Record(other);
  store::TRunQuery q;
  q.url = "http://127.0.0.1/";
  q.since = "2026-11-15";
  EXPECT_EQ(s.Runs(q).size(), 1u);
  q = {};
  q.beforeId = mid;
  ASSERT_EQ(s.Runs(q).size(), 1u);
  EXPECT_EQ(s.Runs(q)[0].startedAt, "2026-11-01T09:00:00.000Z");
  EXPECT_EQ(s.Prune("2026-12-01"), 1);
  EXPECT_EQ(s.Runs({}).size(), 2u);
  EXPECT_EQ(CountRows(s.Path(), "loads"), 6);
}

// A file of version 1 (no protocol, address or resumption) takes the current
// schema on first use; its run keeps its figures and gets the protocol its
// HTTP version implies.
TEST(HistoryStore, MigratesAVersion1File) {
  TempDir dir("tlstore");
  const std::string path = dir.File("h.sqlite3");
  {
    store::TSqlite db;
    db.Open(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    store::MigrateSchema(db, 1);
    db.Exec(
        "INSERT INTO runs VALUES (7, '2026-12-01T09:00:00.000Z', 'http://old/', 1, '1.0', 'http=1.0', 5, 10, "
        "2000, 'ok', '', '0.9')");
    db.Exec("INSERT INTO loads VALUES (7, 1, 200, 0, 1, 2, 0, 0, 0, 0, 3, 4, 5, 6, 21, 10, 10)");
    ASSERT_EQ(db.QueryInt("PRAGMA user_version"), 1);
  }
  THistoryStore s(path);
  s.Record(SampleRun("2026-12-02T09:00:00.000Z"));
  const auto runs = s.Runs({});
  ASSERT_EQ(runs.size(), 2u);
  EXPECT_EQ(runs[0].id, 7);
  EXPECT_EQ(runs[0].protocol, "http/1.0");
  EXPECT_EQ(runs[0].programVersion, "0.9");
  ASSERT_EQ(runs[0].loadRows.size(), 1u);
  EXPECT_EQ(runs[0].loadRows[0].protocol, "http/1.0");
  EXPECT_EQ(runs[0].loadRows[0].phaseUs[9], 6);
  EXPECT_EQ(runs[0].loadRows[0].totalUs, 21);
  EXPECT_EQ(runs[1].loadRows.size(), 3u);
}

// Two programs recording at once: every run of both is kept, and neither sees
// the other's lock as a failure.
TEST(HistoryStore, TwoProcessesWriting200RunsEachKeepAll400) {
  TempDir dir("tlstore");
  const std::string path = dir.File("h.sqlite3");
  pid_t children[2];
  for (pid_t& child : children) {
    child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      int failures = 0;
      THistoryStore s(path);
      for (int i = 0; i < 200; ++i) {
        try {
          s.Record(SampleRun(store::IsoUtc(store::NowUnixMs())));
        } catch (const EHistory& e) {
          std::fprintf(stderr, "%s\n", e.Message().c_str());
          ++failures;
        }
      }
      _exit(failures == 0 ? 0 : 1);
    }
  }
  for (const pid_t child : children) {
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  EXPECT_EQ(CountRows(path, "runs"), 400);
  EXPECT_EQ(CountRows(path, "loads"), 1200);
}

TEST(HistoryStore, LockedBeyondTheBusyTimeoutFailsAndLaterWorks) {
  TempDir dir("tlstore");
  const std::string path = dir.File("h.sqlite3");
  THistoryStore s(path, {.busyTimeoutMs = 50});
  s.Record(SampleRun("2026-12-01T09:00:00.000Z"));
  {
    store::TSqlite other;
    other.Open(path, SQLITE_OPEN_READWRITE);
    store::TTransaction holding(other);
    try {
      s.Record(SampleRun("2026-12-02T09:00:00.000Z"));
      ADD_FAILURE() << "recorded through another program's lock";
    } catch (const EHistory& e) {
      EXPECT_EQ(e.Message(), "history database " + path + " is locked by another program (waited 50 ms)");
    }
  }
  s.Record(SampleRun("2026-12-03T09:00:00.000Z"));
  EXPECT_EQ(CountRows(path, "runs"), 2);
}

TEST(HistoryStore, DamagedFileIsSetAsideOnceAndANewOneStarted) {
  TempDir dir("tlstore");
  const std::string garbage(8192, 'x');
  const std::string path = dir.Write("h.sqlite3", garbage);
  THistoryStore s(path);
  EXPECT_GT(s.Record(SampleRun("2026-12-01T09:00:00.000Z")), 0);
  const auto notices = s.TakeNotices();
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_NE(notices[0].find("was damaged: kept it as " + path + ".damaged-"), std::string::npos)
      << notices[0];
  const std::string aside =
      notices[0].substr(notices[0].find(path + ".damaged-")).substr(0, path.size() + 22);
  EXPECT_EQ(dir.Read(aside.substr(dir.Path().size() + 1, aside.find(' ') - dir.Path().size() - 1)), garbage);
  s.Record(SampleRun("2026-12-02T09:00:00.000Z"));
  EXPECT_TRUE(s.TakeNotices().empty());
  EXPECT_EQ(CountRows(path, "runs"), 2);
}

TEST(HistoryStore, FullDiskFailsTheRunAndKeepsTheEarlierOnes) {
  TempDir dir("tlstore");
  const std::string path = dir.File("h.sqlite3");
  THistoryStore(path).Record(SampleRun("2026-12-01T09:00:00.000Z"));
  const int64_t pages = CountRows(path, "pragma_page_count");
  THistoryStore s(path, {.maxPageCount = pages});
  try {
    s.Record(SampleRun("2026-12-02T09:00:00.000Z", 1000));
    ADD_FAILURE() << "a run of 1000 loads fit into a full file";
  } catch (const EHistory& e) {
    EXPECT_EQ(e.Message(), "history database " + path + ": the disk is full");
  }
  EXPECT_EQ(CountRows(path, "runs"), 1);
  EXPECT_EQ(CountRows(path, "loads"), 3);
}

// A home the user cannot write: as root, the child gives up root first, since
// root writes through any mode.
TEST(HistoryStore, ReadOnlyHomeFailsWithTheSystemsReason) {
  TempDir dir("tlstore");
  ASSERT_EQ(::chmod(dir.Path().c_str(), 0555), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (geteuid() == 0 && setuid(65534) != 0) _exit(3);
    int wrong = 0;
    try {
      THistoryStore(dir.File("h.sqlite3")).Record(SampleRun("2026-12-01T09:00:00.000Z"));
      wrong |= 1;
    } catch (const EHistory& e) {
      if (e.Message() != "history database " + dir.File("h.sqlite3") + " cannot be written: the folder " +
                             dir.Path() + ": Permission denied")
        wrong |= 2, std::fprintf(stderr, "%s\n", e.Message().c_str());
    }
    try {
      THistoryStore(dir.File("data/tachyload/h.sqlite3"), {.createFolder = true}).Runs({});
      wrong |= 1;
    } catch (const EHistory& e) {
      if (e.Message() !=
          "cannot create the folder " + dir.File("data") + " for the history database: Permission denied")
        wrong |= 4, std::fprintf(stderr, "%s\n", e.Message().c_str());
    }
    _exit(wrong);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ::chmod(dir.Path().c_str(), 0700);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

// A file from a newer program is read but never written, and that is said once.
TEST(HistoryStore, NewerSchemaIsUsedReadOnlyAndSaidOnce) {
  TempDir dir("tlstore");
  const std::string path = dir.File("h.sqlite3");
  THistoryStore(path).Record(SampleRun("2026-12-01T09:00:00.000Z"));
  {
    store::TSqlite db;
    db.Open(path, SQLITE_OPEN_READWRITE);
    db.Exec("PRAGMA user_version = 9");
  }
  THistoryStore s(path);
  EXPECT_EQ(s.Record(SampleRun("2026-12-02T09:00:00.000Z")), 0);
  EXPECT_EQ(s.Runs({}).size(), 1u);
  EXPECT_TRUE(s.ReadOnly());
  const auto notices = s.TakeNotices();
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_EQ(notices[0],
            "history database " + path +
                " was written by a newer tachyload (schema 9, this one knows 2): it is only read, "
                "and runs are not recorded in it");
  EXPECT_EQ(s.Record(SampleRun("2026-12-03T09:00:00.000Z")), 0);
  EXPECT_TRUE(s.TakeNotices().empty());
  EXPECT_EQ(CountRows(path, "runs"), 1);
}

}  // namespace
