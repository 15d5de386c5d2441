// THistoryStore: every run the window and the command line make, kept in an
// SQLite file so that "did it get slower?" has an answer. It records figures
// and fetches nothing.
//
// Several programs may write one file at once: the file is in WAL mode, each
// run is one IMMEDIATE transaction, and a writer that finds the file locked
// waits up to the busy timeout. A failure never costs the caller its run: every
// operation raises EHistory with a message for the user, and the caller has
// shown its report before it records.
//
// Two conditions are told once, through TakeNotices, not raised: a damaged file
// is renamed aside and a new one started; a file from a newer program is used
// read-only (Record then keeps nothing).
//
// The file is opened on first use. Thread: one store belongs to one thread.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/SysUtils.h"

namespace store {

TL_DECLARE_EXCEPTION(EHistory, core::Exception);

// The phase columns of a load, in table order ("dns" -> dns_us).
inline constexpr std::array<const char*, 10> kPhaseColumns{
    "dns", "connect", "socks", "tls", "auth", "redirect", "request", "wait", "transfer", "pane"};

struct TLoadRow {
  int index = 0;  // from 1
  int status = 0;
  bool reused = false, tlsResumed = false;
  std::string protocol, ip;
  std::array<int64_t, kPhaseColumns.size()> phaseUs{};
  int64_t totalUs = 0, wireBytes = 0, decodedBytes = 0;
};

struct TRunRow {
  int64_t id = 0;         // given by Record
  std::string startedAt;  // ISO 8601 UTC, "2026-12-07T19:04:05.123Z"
  std::string url;        // as shown (passwords masked)
  int64_t loads = 0;      // loads asked for
  std::string httpVersion, protocol;
  std::string options;  // the options that change what is measured, in one text
  int64_t totalMs = 0, bytes = 0;
  std::optional<double> speed;  // none when the time was 0
  std::string outcome;          // "ok", "failed", "interrupted"
  std::string error, programVersion;
  std::vector<TLoadRow> loadRows;
};

struct TRunQuery {
  std::optional<std::string> url, options;
  std::string since;     // started_at at or after this text ("2026-12-01"); empty: all
  int64_t beforeId = 0;  // only runs older than this one; 0: all
  bool okOnly = false;   // only runs whose every load completed
  bool newestFirst = false;
  int64_t limit = 0;  // 0: no limit
  bool withLoads = true;
};

struct THistorySettings {
  int busyTimeoutMs = 2000;
  int64_t maxPageCount = 0;   // a page limit that makes the file "full" (tests); 0: none
  bool createFolder = false;  // create the file's missing folders (the default place)
};

class TSqlite;

class THistoryStore {
 public:
  explicit THistoryStore(std::string path, THistorySettings settings = {});
  ~THistoryStore();
  THistoryStore(const THistoryStore&) = delete;
  THistoryStore& operator=(const THistoryStore&) = delete;

  const std::string& Path() const { return FPath; }
  // Records run with its loads in one transaction; returns its id (0 when the
  // file is read-only and nothing was kept).
  int64_t Record(const TRunRow& run);
  std::vector<TRunRow> Runs(const TRunQuery& query);
  // Removes the runs started before the ISO text before; returns how many.
  int64_t Prune(const std::string& before);
  bool ReadOnly();
  // The once-only notices gathered so far; each is handed out once.
  std::vector<std::string> TakeNotices();

 private:
  void Open();
  void OpenFile();
  void SetAsideDamaged();
  template <class F>
  auto Guarded(F&& step);
  [[noreturn]] void Fail(const class ESqlite& e) const;

  std::string FPath;
  THistorySettings FSettings;
  std::unique_ptr<TSqlite> FDb;
  bool FReadOnly = false;
  bool FToldNewer = false;
  std::vector<std::string> FNotices;
};

// $XDG_DATA_HOME/tachyload/history.sqlite3, or ~/.local/share/... when the
// variable is unset, empty or not absolute.
std::string DefaultHistoryPath();

// "2026-12-07T19:04:05.123Z" for a time in milliseconds since the epoch.
std::string IsoUtc(int64_t unixMs);
int64_t NowUnixMs();

}  // namespace store
