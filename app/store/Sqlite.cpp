#include "app/store/Sqlite.h"

#include <cstring>

namespace store {

void TSqlite::Open(const std::string& path, int flags) {
  Close();
  // One connection, one thread (see the header): no mutex around every call.
  const int rc = sqlite3_open_v2(path.c_str(), &FDb, flags | SQLITE_OPEN_NOMUTEX, nullptr);
  if (rc == SQLITE_OK) return;
  // The system's reason says why a file could not be opened (a read-only folder).
  const int sysErr = FDb ? sqlite3_system_errno(FDb) : 0;
  std::string message = FDb ? sqlite3_errmsg(FDb) : sqlite3_errstr(rc);
  if (sysErr != 0) message += std::string(" (") + std::strerror(sysErr) + ")";
  Close();
  throw ESqlite(rc, message);
}

void TSqlite::Close() {
  if (FDb) sqlite3_close_v2(FDb);
  FDb = nullptr;
}

void TSqlite::Raise(int rc) const {
  std::string message = sqlite3_errmsg(FDb);
  const int sysErr = sqlite3_system_errno(FDb);
  if ((rc & 0xff) == SQLITE_CANTOPEN && sysErr != 0)
    message += std::string(" (") + std::strerror(sysErr) + ")";
  throw ESqlite(rc, message);
}

void TSqlite::Exec(std::string_view sql) {
  TStatement s(*this, sql);
  while (s.Step()) {
  }
}

int64_t TSqlite::QueryInt(std::string_view sql) {
  TStatement s(*this, sql);
  return s.Step() ? s.Int(0) : 0;
}

TStatement::TStatement(TSqlite& db, std::string_view sql) : FDb(db) {
  FDb.Check(sqlite3_prepare_v2(db.Handle(), sql.data(), static_cast<int>(sql.size()), &FStmt, nullptr));
}

TStatement& TStatement::Bind(int index, int64_t value) {
  FDb.Check(sqlite3_bind_int64(FStmt, index, value));
  return *this;
}

TStatement& TStatement::Bind(int index, double value) {
  FDb.Check(sqlite3_bind_double(FStmt, index, value));
  return *this;
}

TStatement& TStatement::Bind(int index, std::string_view value) {
  // The caller's text outlives the step that reads it (see the header).
  FDb.Check(sqlite3_bind_text(FStmt, index, value.data(), static_cast<int>(value.size()), SQLITE_STATIC));
  return *this;
}

TStatement& TStatement::BindNull(int index) {
  FDb.Check(sqlite3_bind_null(FStmt, index));
  return *this;
}

bool TStatement::Step() {
  const int rc = sqlite3_step(FStmt);
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) return false;
  FDb.Check(rc);
  return false;
}

void TStatement::Reset() {
  sqlite3_reset(FStmt);
}

std::string TStatement::Text(int column) const {
  const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(FStmt, column));
  return p ? std::string(p, static_cast<size_t>(sqlite3_column_bytes(FStmt, column))) : std::string();
}

}  // namespace store
