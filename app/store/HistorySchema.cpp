#include "app/store/HistorySchema.h"

#include <array>
#include <string>

#include "app/store/Sqlite.h"

namespace store {

namespace {

// Version 1: runs and their loads, every phase in microseconds. The loads are
// kept in their key's order (WITHOUT ROWID): one tree to write per load, not a
// table and an index.
constexpr const char* kVersion1 = R"sql(
CREATE TABLE runs (
  id INTEGER PRIMARY KEY,
  started_at TEXT NOT NULL,
  url TEXT NOT NULL,
  loads INTEGER NOT NULL,
  http_version TEXT NOT NULL,
  options TEXT NOT NULL,
  total_ms INTEGER NOT NULL,
  bytes INTEGER NOT NULL,
  speed REAL,
  outcome TEXT NOT NULL,
  error TEXT NOT NULL DEFAULT '',
  program_version TEXT NOT NULL
);
CREATE TABLE loads (
  run_id INTEGER NOT NULL REFERENCES runs(id),
  load_index INTEGER NOT NULL,
  status INTEGER NOT NULL,
  reused INTEGER NOT NULL,
  dns_us INTEGER NOT NULL, connect_us INTEGER NOT NULL, socks_us INTEGER NOT NULL,
  tls_us INTEGER NOT NULL, auth_us INTEGER NOT NULL, redirect_us INTEGER NOT NULL,
  request_us INTEGER NOT NULL, wait_us INTEGER NOT NULL, transfer_us INTEGER NOT NULL,
  pane_us INTEGER NOT NULL,
  total_us INTEGER NOT NULL,
  wire_bytes INTEGER NOT NULL,
  decoded_bytes INTEGER NOT NULL,
  PRIMARY KEY (run_id, load_index)
) WITHOUT ROWID;
)sql";

// Version 2: the protocol a run and each load spoke, the peer's address, TLS
// resumption, and an index for "the runs of this URL in time order". Rows of
// version 1 get the protocol their HTTP version implies.
constexpr const char* kVersion2 = R"sql(
ALTER TABLE runs ADD COLUMN protocol TEXT NOT NULL DEFAULT '';
ALTER TABLE loads ADD COLUMN tls_resumed INTEGER NOT NULL DEFAULT 0;
ALTER TABLE loads ADD COLUMN protocol TEXT NOT NULL DEFAULT '';
ALTER TABLE loads ADD COLUMN ip TEXT NOT NULL DEFAULT '';
UPDATE runs SET protocol = 'http/' || http_version;
UPDATE loads SET protocol = (SELECT protocol FROM runs WHERE runs.id = loads.run_id);
CREATE INDEX runs_by_url ON runs (url, started_at);
)sql";

constexpr std::array<const char*, kSchemaVersion> kSteps{kVersion1, kVersion2};

}  // namespace

void MigrateSchema(TSqlite& db, int target) {
  const int from = static_cast<int>(db.QueryInt("PRAGMA user_version"));
  int version = from;
  for (; version < target; ++version) {
    // sqlite3_exec runs every statement of a step; TStatement takes only the first.
    db.Check(sqlite3_exec(db.Handle(), kSteps[static_cast<size_t>(version)], nullptr, nullptr, nullptr));
  }
  if (version != from) db.Exec("PRAGMA user_version = " + std::to_string(version));
}

}  // namespace store
