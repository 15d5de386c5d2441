// The history database's tables and how each version becomes the next. The
// version lives in PRAGMA user_version: 0 is an empty file, and every step in
// the list moves the file one version up inside the caller's transaction.
#pragma once

namespace store {

class TSqlite;

// The version this program writes.
inline constexpr int kSchemaVersion = 2;

// Applies the steps from the file's version up to target (at most
// kSchemaVersion) and sets user_version; nothing when the file is there already.
void MigrateSchema(TSqlite& db, int target = kSchemaVersion);

}  // namespace store
