// The window's view of the history: the points of the Trends chart (median
// and p95 of each run's loads over time) and a stored run turned back into the
// rows Details shows. No toolkit.
#pragma once

#include <string>
#include <vector>

#include "app/LoadDetails.h"
#include "app/store/HistoryStore.h"

namespace app {

struct TTrendPoint {
  size_t run = 0;      // index into the runs given
  int64_t unixMs = 0;  // when the run started
  double medianMs = 0, p95Ms = 0;
};

// One point per run that has a completed load, in the runs' order.
std::vector<TTrendPoint> TrendPoints(const std::vector<store::TRunRow>& runs);

// Milliseconds since the epoch of "2026-12-07T19:04:05.123Z"; 0 when it is not that form.
int64_t UnixMsOfIso(const std::string& isoUtc);

// The stored run as Details shows a run: its URL and one row per load.
void FillDetails(TRunDetails& details, const store::TRunRow& run);

}  // namespace app
