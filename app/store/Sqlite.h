// A thin owner of an SQLite connection and its statements: every call that can
// fail raises ESqlite with SQLite's result code and text, so the history store
// reads as a list of steps and decides per code what a failure means.
// Thread: one connection belongs to one thread.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "core/SysUtils.h"

namespace store {

class ESqlite : public core::Exception {
 public:
  ESqlite(int code, const std::string& message) : core::Exception(message), FCode(code) {}
  std::string ClassName() const override { return "ESqlite"; }
  // The primary result code (SQLITE_BUSY, SQLITE_FULL, ...), extended bits removed.
  int Code() const { return FCode & 0xff; }

 private:
  int FCode;
};

class TStatement;

class TSqlite {
 public:
  TSqlite() = default;
  ~TSqlite() { Close(); }
  TSqlite(const TSqlite&) = delete;
  TSqlite& operator=(const TSqlite&) = delete;

  // flags: SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE or SQLITE_OPEN_READONLY.
  void Open(const std::string& path, int flags);
  void Close();
  bool IsOpen() const { return FDb != nullptr; }
  sqlite3* Handle() const { return FDb; }

  void Exec(std::string_view sql);
  int64_t QueryInt(std::string_view sql);
  int64_t LastInsertId() const { return sqlite3_last_insert_rowid(FDb); }
  // Raises ESqlite for a failed result code, with the connection's message.
  // Inline: every bound value of every load passes here.
  void Check(int rc) const {
    if (rc != SQLITE_OK && rc != SQLITE_ROW && rc != SQLITE_DONE) Raise(rc);
  }

 private:
  [[noreturn]] void Raise(int rc) const;

  sqlite3* FDb = nullptr;
};

// A prepared statement: Bind from 1, Step until it returns false, Column from 0.
// Bound text is not copied: it must live until the statement is stepped or
// bound again.
class TStatement {
 public:
  TStatement(TSqlite& db, std::string_view sql);
  ~TStatement() { sqlite3_finalize(FStmt); }
  TStatement(const TStatement&) = delete;
  TStatement& operator=(const TStatement&) = delete;

  TStatement& Bind(int index, int64_t value);
  TStatement& Bind(int index, double value);
  TStatement& Bind(int index, std::string_view value);
  TStatement& BindNull(int index);
  // True while a row is there; false when done. Raises on failure.
  bool Step();
  // Ready to step again; the bindings stay until bound anew.
  void Reset();

  int64_t Int(int column) const { return sqlite3_column_int64(FStmt, column); }
  double Double(int column) const { return sqlite3_column_double(FStmt, column); }
  bool IsNull(int column) const { return sqlite3_column_type(FStmt, column) == SQLITE_NULL; }
  std::string Text(int column) const;

 private:
  TSqlite& FDb;
  sqlite3_stmt* FStmt = nullptr;
};

// BEGIN IMMEDIATE ... COMMIT: the write lock is taken at the start, so a writer
// waits in the busy handler instead of failing when it upgrades a read; rolls
// back unless committed.
class TTransaction {
 public:
  explicit TTransaction(TSqlite& db) : FDb(db) { FDb.Exec("BEGIN IMMEDIATE"); }
  ~TTransaction() {
    if (!FDone) sqlite3_exec(FDb.Handle(), "ROLLBACK", nullptr, nullptr, nullptr);
  }
  TTransaction(const TTransaction&) = delete;
  TTransaction& operator=(const TTransaction&) = delete;
  void Commit() {
    FDb.Exec("COMMIT");
    FDone = true;
  }

 private:
  TSqlite& FDb;
  bool FDone = false;
};

}  // namespace store
