// What the window and the command line keep of a run in the history store,
// and the comparison of a run with the previous one of the same URL.
#pragma once

#include <optional>
#include <string>

#include "app/LoadReport.h"
#include "app/store/HistoryStore.h"

namespace app {

// The run's own figures, beside the loads in TUrlLoads.
struct TRunFacts {
  std::string startedAt;  // ISO 8601 UTC
  int64_t loads = 0;      // asked for
  std::string httpVersion, options, outcome, programVersion;
  int64_t totalMs = 0, bytes = 0;
};

// One load as the store keeps it, with the protocol it spoke and the address it
// reached.
store::TLoadRow LoadRow(const http::TLoadTimes& t, int index, bool tlsResumed,
                        const std::string& httpVersion);
store::TRunRow RunRow(const TUrlLoads& run, const TRunFacts& facts);

// The summary of a stored run's completed loads (milliseconds).
TSummary StoredSummary(const store::TRunRow& run);

// "2026-12-06 14:03": an ISO 8601 UTC time in the local time zone.
std::string LocalMinute(const std::string& isoUtc);

// "1.27 ± 0.05 times slower than the run of 2026-12-06 14:03": the mean load
// time of this run over that of the earlier one, with the spread propagated
// from both standard deviations; a note when the spread covers the difference.
std::string CompareLastText(const TSummary& now, const store::TRunRow& earlier);

}  // namespace app
