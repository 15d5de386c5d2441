#include "app/store/HistoryStore.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <utility>

#include "app/store/HistorySchema.h"
#include "app/store/Sqlite.h"

namespace store {

namespace {

constexpr const char* kRunColumns =
    "id, started_at, url, loads, http_version, protocol, options, total_ms, bytes, speed, outcome, error, "
    "program_version";

std::string LoadColumns() {
  std::string s = "load_index, status, reused, tls_resumed, protocol, ip";
  for (const char* p : kPhaseColumns) s += std::string(", ") + p + "_us";
  return s + ", total_us, wire_bytes, decoded_bytes";
}

// Why a file cannot be opened for writing, in the system's words; SQLite's own
// errno is that of its last attempt, often a read-only retry's "No such file".
std::string WhyNotWritable(const std::string& file) {
  if (::access(file.c_str(), F_OK) == 0) return ::access(file.c_str(), W_OK) == 0 ? "" : std::strerror(errno);
  const size_t slash = file.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : file.substr(0, std::max<size_t>(slash, 1));
  return ::access(dir.c_str(), W_OK) == 0 ? "" : "the folder " + dir + ": " + std::strerror(errno);
}

bool IsDamage(const ESqlite& e) {
  return e.Code() == SQLITE_CORRUPT || e.Code() == SQLITE_NOTADB;
}

// mkdir -p, private to the user as the data folders are.
void CreateFolders(const std::string& file) {
  for (size_t slash = file.find('/', 1); slash != std::string::npos; slash = file.find('/', slash + 1)) {
    const std::string dir = file.substr(0, slash);
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
      throw EHistory("cannot create the folder " + dir +
                     " for the history database: " + std::strerror(errno));
  }
}

void BindRun(TStatement& s, const TRunRow& r) {
  s.Bind(1, r.startedAt).Bind(2, r.url).Bind(3, r.loads).Bind(4, r.httpVersion).Bind(5, r.protocol);
  s.Bind(6, r.options).Bind(7, r.totalMs).Bind(8, r.bytes);
  if (r.speed)
    s.Bind(9, *r.speed);
  else
    s.BindNull(9);
  s.Bind(10, r.outcome).Bind(11, r.error).Bind(12, r.programVersion);
}

// A load's values from parameter base + 1 on (a statement may insert many rows).
void BindLoad(TStatement& s, int base, int64_t runId, const TLoadRow& l) {
  s.Bind(base + 1, runId).Bind(base + 2, int64_t{l.index}).Bind(base + 3, int64_t{l.status});
  s.Bind(base + 4, int64_t{l.reused}).Bind(base + 5, int64_t{l.tlsResumed});
  s.Bind(base + 6, l.protocol).Bind(base + 7, l.ip);
  int i = base + 8;
  for (const int64_t us : l.phaseUs) s.Bind(i++, us);
  s.Bind(i, l.totalUs);
  s.Bind(i + 1, l.wireBytes);
  s.Bind(i + 2, l.decodedBytes);
}

// run_id, the six figures before the phases, the phases, the three after them.
constexpr int kLoadValues = 7 + static_cast<int>(kPhaseColumns.size()) + 3;

// An INSERT of rows loads at once.
std::string InsertLoads(int rows) {
  std::string row = "(?";
  for (int i = 1; i < kLoadValues; ++i) row += ",?";
  row += ")";
  std::string sql = "INSERT INTO loads (run_id, " + LoadColumns() + ") VALUES " + row;
  for (int r = 1; r < rows; ++r) sql += "," + row;
  return sql;
}

// Loads go in by statements of many rows: a statement's own cost is then
// shared by all of them, and a run of 1,000 loads records in three quarters of
// the time it takes row by row.
constexpr int kLoadBatch = 20;

void InsertLoadRows(TSqlite& db, int64_t runId, const std::vector<TLoadRow>& loads) {
  size_t i = 0;
  if (loads.size() >= kLoadBatch) {
    TStatement batch(db, InsertLoads(kLoadBatch));
    for (; i + kLoadBatch <= loads.size(); i += kLoadBatch) {
      for (int r = 0; r < kLoadBatch; ++r)
        BindLoad(batch, r * kLoadValues, runId, loads[i + static_cast<size_t>(r)]);
      batch.Step();
      batch.Reset();
    }
  }
  if (i == loads.size()) return;
  TStatement one(db, InsertLoads(1));
  for (; i < loads.size(); ++i) {
    BindLoad(one, 0, runId, loads[i]);
    one.Step();
    one.Reset();
  }
}

TRunRow ReadRun(const TStatement& s) {
  TRunRow r;
  r.id = s.Int(0);
  r.startedAt = s.Text(1);
  r.url = s.Text(2);
  r.loads = s.Int(3);
  r.httpVersion = s.Text(4);
  r.protocol = s.Text(5);
  r.options = s.Text(6);
  r.totalMs = s.Int(7);
  r.bytes = s.Int(8);
  if (!s.IsNull(9)) r.speed = s.Double(9);
  r.outcome = s.Text(10);
  r.error = s.Text(11);
  r.programVersion = s.Text(12);
  return r;
}

TLoadRow ReadLoad(const TStatement& s) {
  TLoadRow l;
  int c = 0;
  l.index = static_cast<int>(s.Int(c++));
  l.status = static_cast<int>(s.Int(c++));
  l.reused = s.Int(c++) != 0;
  l.tlsResumed = s.Int(c++) != 0;
  l.protocol = s.Text(c++);
  l.ip = s.Text(c++);
  for (int64_t& us : l.phaseUs) us = s.Int(c++);
  l.totalUs = s.Int(c++);
  l.wireBytes = s.Int(c++);
  l.decodedBytes = s.Int(c++);
  return l;
}

// Moving a new file to WAL takes the file for this connection alone, and SQLite
// does not wait for that lock: when two programs create the file at the same
// moment, the one that finds it taken tries again within the busy timeout.
void UseWal(TSqlite& db, int busyTimeoutMs) {
  constexpr int kRetryMs = 5;
  for (int waited = 0;; waited += kRetryMs) {
    try {
      TStatement mode(db, "PRAGMA journal_mode = WAL");
      if (mode.Step() && mode.Text(0) == "wal") return;
    } catch (const ESqlite& e) {
      if (e.Code() != SQLITE_BUSY) throw;
    }
    if (waited >= busyTimeoutMs) throw ESqlite(SQLITE_BUSY, "database is locked");
    sqlite3_sleep(kRetryMs);
  }
}

}  // namespace

THistoryStore::THistoryStore(std::string path, THistorySettings settings)
    : FPath(std::move(path)), FSettings(settings) {}

THistoryStore::~THistoryStore() = default;

void THistoryStore::Open() {
  if (FDb) return;
  if (FSettings.createFolder) CreateFolders(FPath);
  OpenFile();
}

void THistoryStore::OpenFile() {
  FDb = std::make_unique<TSqlite>();
  FDb->Open(FPath, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
  sqlite3_busy_timeout(FDb->Handle(), FSettings.busyTimeoutMs);
  if (FSettings.maxPageCount > 0)
    FDb->Exec("PRAGMA max_page_count = " + std::to_string(FSettings.maxPageCount));
  // The first read of the file: a file that is no database fails here.
  const int64_t version = FDb->QueryInt("PRAGMA user_version");
  if (version > kSchemaVersion) {
    FDb->Open(FPath, SQLITE_OPEN_READONLY);
    sqlite3_busy_timeout(FDb->Handle(), FSettings.busyTimeoutMs);
    FReadOnly = true;
    if (std::exchange(FToldNewer, true)) return;
    FNotices.push_back("history database " + FPath + " was written by a newer tachyload (schema " +
                       std::to_string(version) + ", this one knows " + std::to_string(kSchemaVersion) +
                       "): it is only read, and runs are not recorded in it");
    return;
  }
  UseWal(*FDb, FSettings.busyTimeoutMs);
  // A run is committed to the WAL without waiting for the disk, and closing
  // leaves the WAL (and its checkpoint) to a later writer's automatic one: a
  // run costs no sync of its own. A power cut may lose the last runs, never
  // the file; a program that dies loses nothing committed.
  FDb->Exec("PRAGMA synchronous = NORMAL");
  sqlite3_db_config(FDb->Handle(), SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
  int persist = 1;
  sqlite3_file_control(FDb->Handle(), "main", SQLITE_FCNTL_PERSIST_WAL, &persist);
  if (version < kSchemaVersion) {
    TTransaction t(*FDb);
    MigrateSchema(*FDb);  // reads the version again under the lock: another writer may have migrated
    t.Commit();
  }
}

// The damaged file (and its WAL) moves aside under a name with the time, so
// nothing is deleted, and the next open starts a new file.
void THistoryStore::SetAsideDamaged() {
  FDb.reset();
  const std::string aside = FPath + ".damaged-" + std::to_string(NowUnixMs());
  if (std::rename(FPath.c_str(), aside.c_str()) != 0)
    throw EHistory("history database " + FPath +
                   " is damaged and could not be renamed aside: " + std::strerror(errno));
  for (const char* suffix : {"-wal", "-shm"}) {
    const std::string from = FPath + suffix;
    std::rename(from.c_str(), (aside + suffix).c_str());  // absent is fine
  }
  FNotices.push_back("history database " + FPath + " was damaged: kept it as " + aside +
                     " and started a new one");
}

void THistoryStore::Fail(const ESqlite& e) const {
  const int code = e.Code();
  if (code == SQLITE_BUSY || code == SQLITE_LOCKED)
    throw EHistory("history database " + FPath + " is locked by another program (waited " +
                   std::to_string(FSettings.busyTimeoutMs) + " ms)");
  if (code == SQLITE_FULL) throw EHistory("history database " + FPath + ": the disk is full");
  if (code == SQLITE_READONLY || code == SQLITE_CANTOPEN || code == SQLITE_PERM) {
    const std::string why = WhyNotWritable(FPath);
    throw EHistory("history database " + FPath + " cannot be written: " + (why.empty() ? e.Message() : why));
  }
  throw EHistory("history database " + FPath + ": " + e.Message());
}

// Runs step on the open file. A damaged file is set aside once and the step
// tried again on a new one; any other failure becomes EHistory.
template <class F>
auto THistoryStore::Guarded(F&& step) {
  for (int attempt = 0;; ++attempt) {
    try {
      Open();
      return step();
    } catch (const ESqlite& e) {
      if (!IsDamage(e) || attempt > 0) {
        FDb.reset();  // the next call opens again: the lock or the disk may have cleared
        Fail(e);
      }
      SetAsideDamaged();
    }
  }
}

int64_t THistoryStore::Record(const TRunRow& run) {
  return Guarded([&]() -> int64_t {
    if (FReadOnly) return 0;
    TTransaction t(*FDb);
    TStatement r(
        *FDb,
        "INSERT INTO runs (started_at, url, loads, http_version, protocol, options, total_ms, bytes, "
        "speed, outcome, error, program_version) VALUES (?,?,?,?,?,?,?,?,?,?,?,?)");
    BindRun(r, run);
    r.Step();
    const int64_t id = FDb->LastInsertId();
    InsertLoadRows(*FDb, id, run.loadRows);
    t.Commit();
    return id;
  });
}

std::vector<TRunRow> THistoryStore::Runs(const TRunQuery& q) {
  return Guarded([&] {
    std::string sql = std::string("SELECT ") + kRunColumns + " FROM runs WHERE started_at >= ?1";
    if (q.url) sql += " AND url = ?2";
    if (q.options) sql += " AND options = ?3";
    if (q.beforeId > 0) sql += " AND id < ?4";
    if (q.okOnly) sql += " AND outcome = 'ok'";
    sql += q.newestFirst ? " ORDER BY started_at DESC, id DESC" : " ORDER BY started_at, id";
    if (q.limit > 0) sql += " LIMIT " + std::to_string(q.limit);
    TStatement s(*FDb, sql);
    s.Bind(1, q.since);
    if (q.url) s.Bind(2, *q.url);
    if (q.options) s.Bind(3, *q.options);
    if (q.beforeId > 0) s.Bind(4, q.beforeId);
    std::vector<TRunRow> runs;
    while (s.Step()) runs.push_back(ReadRun(s));
    if (!q.withLoads) return runs;
    TStatement l(*FDb, "SELECT " + LoadColumns() + " FROM loads WHERE run_id = ? ORDER BY load_index");
    for (TRunRow& r : runs) {
      l.Bind(1, r.id);
      while (l.Step()) r.loadRows.push_back(ReadLoad(l));
      l.Reset();
    }
    return runs;
  });
}

int64_t THistoryStore::Prune(const std::string& before) {
  return Guarded([&]() -> int64_t {
    if (FReadOnly) throw EHistory("history database " + FPath + " is only read: nothing removed");
    TTransaction t(*FDb);
    TStatement loads(*FDb, "DELETE FROM loads WHERE run_id IN (SELECT id FROM runs WHERE started_at < ?)");
    loads.Bind(1, before).Step();
    TStatement runs(*FDb, "DELETE FROM runs WHERE started_at < ?");
    runs.Bind(1, before).Step();
    const int64_t removed = sqlite3_changes64(FDb->Handle());
    t.Commit();
    return removed;
  });
}

bool THistoryStore::ReadOnly() {
  Guarded([] { return 0; });
  return FReadOnly;
}

std::vector<std::string> THistoryStore::TakeNotices() {
  return std::exchange(FNotices, {});
}

std::string DefaultHistoryPath() {
  const char* data = std::getenv("XDG_DATA_HOME");
  std::string base;
  if (data && data[0] == '/') {
    base = data;
  } else {
    const char* home = std::getenv("HOME");
    base = std::string(home && home[0] ? home : ".") + "/.local/share";
  }
  return base + "/tachyload/history.sqlite3";
}

int64_t NowUnixMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string IsoUtc(int64_t unixMs) {
  const std::time_t seconds = static_cast<std::time_t>(unixMs / 1000);
  std::tm tm{};
  gmtime_r(&seconds, &tm);
  char buf[64];
  const size_t n = std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &tm);
  std::snprintf(buf + n, sizeof buf - n, ".%03dZ", static_cast<int>(unixMs % 1000));
  return buf;
}

}  // namespace store
