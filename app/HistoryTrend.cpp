#include "app/HistoryTrend.h"

#include <cstdio>
#include <ctime>

#include "app/HistoryRecord.h"

namespace app {

std::vector<TTrendPoint> TrendPoints(const std::vector<store::TRunRow>& runs) {
  std::vector<TTrendPoint> points;
  for (size_t i = 0; i < runs.size(); ++i) {
    const TSummary s = StoredSummary(runs[i]);
    if (s.count == 0) continue;
    points.push_back({i, UnixMsOfIso(runs[i].startedAt), s.median, s.p95});
  }
  return points;
}

int64_t UnixMsOfIso(const std::string& isoUtc) {
  std::tm tm{};
  int ms = 0;
  const int n = std::sscanf(isoUtc.c_str(), "%d-%d-%dT%d:%d:%d.%d", &tm.tm_year, &tm.tm_mon, &tm.tm_mday,
                            &tm.tm_hour, &tm.tm_min, &tm.tm_sec, &ms);
  if (n < 6) return 0;
  tm.tm_year -= 1900;
  tm.tm_mon -= 1;
  return static_cast<int64_t>(timegm(&tm)) * 1000 + (n == 7 ? ms : 0);
}

void FillDetails(TRunDetails& details, const store::TRunRow& run) {
  details.Begin(run.url);
  for (const store::TLoadRow& l : run.loadRows) {
    TLoadRow row;
    row.load = l.index;
    row.times.status = l.status;
    row.times.reused = l.reused;
    for (size_t p = 0; p < kDetailPhaseCount; ++p)
      for (size_t c = 0; c < store::kPhaseColumns.size(); ++c)
        if (std::string(DetailPhaseName(p)) == store::kPhaseColumns[c])
          row.times.phaseNs[p] = l.phaseUs[c] * 1000;
    row.times.decodedBytes = l.decodedBytes;
    row.totalUs = l.totalUs;
    details.rows.push_back(row);
  }
  // A failed run's last load is the one that failed.
  if (run.outcome != "ok" && !details.rows.empty())
    details.rows.back().error = run.error.empty() ? run.outcome : run.error;
}

}  // namespace app
