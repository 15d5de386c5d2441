#include "app/HistoryRecord.h"

#include <cstdio>
#include <ctime>
#include <string_view>

namespace app {

namespace {

// What a load spoke; a load that ended before it knew (a failed connect) takes
// the version asked for, which HTTP/2 cannot promise.
std::string SpokenProtocol(const http::TLoadTimes& t, const std::string& httpVersion) {
  if (*t.protocol != '\0') return t.protocol;
  return httpVersion == "2" ? "" : "http/" + httpVersion;
}

}  // namespace

store::TLoadRow LoadRow(const http::TLoadTimes& t, int index, bool tlsResumed,
                        const std::string& httpVersion) {
  store::TLoadRow l;
  l.index = index;
  l.status = t.status;
  l.reused = t.reused;
  l.tlsResumed = tlsResumed;
  l.protocol = SpokenProtocol(t, httpVersion);
  l.ip = t.ip;
  for (size_t p = 0; p < http::kLoadPhaseCount; ++p) {
    const std::string_view name = http::LoadPhaseName(static_cast<http::TLoadPhase>(p));
    for (size_t c = 0; c < store::kPhaseColumns.size(); ++c)
      if (name == store::kPhaseColumns[c]) l.phaseUs[c] = Micros(t.phaseNs[p]);
  }
  l.totalUs = TotalUs(t);
  l.wireBytes = t.headerBytes + t.bodyBytes;
  l.decodedBytes = t.decodedBytes;
  return l;
}

store::TRunRow RunRow(const TUrlLoads& run, const TRunFacts& facts) {
  store::TRunRow r;
  r.startedAt = facts.startedAt;
  r.url = run.url;
  r.loads = facts.loads;
  r.httpVersion = facts.httpVersion;
  // The run's protocol is its first load's (HTTP/2 asked for may be HTTP/1.1
  // spoken after ALPN).
  r.protocol = run.loads.empty() ? SpokenProtocol({}, facts.httpVersion)
                                 : SpokenProtocol(run.loads.front(), facts.httpVersion);
  r.options = facts.options;
  r.totalMs = facts.totalMs;
  r.bytes = facts.bytes;
  if (facts.totalMs != 0)
    r.speed = static_cast<double>(facts.bytes) / static_cast<double>(facts.totalMs) * 1000;
  r.outcome = facts.outcome;
  r.error = run.error;
  r.programVersion = facts.programVersion;
  for (size_t i = 0; i < run.loads.size(); ++i)
    r.loadRows.push_back(
        LoadRow(run.loads[i], static_cast<int>(i) + 1, run.TlsResumed(i), facts.httpVersion));
  return r;
}

TSummary StoredSummary(const store::TRunRow& run) {
  std::vector<double> ms;
  // A failed run's last load is the failed one: it is left out as in the report.
  const size_t n = run.loadRows.size() - (run.outcome == "ok" || run.loadRows.empty() ? 0 : 1);
  for (size_t i = 0; i < n; ++i) ms.push_back(static_cast<double>(run.loadRows[i].totalUs) / 1000);
  return Summarize(std::move(ms));
}

std::string LocalMinute(const std::string& isoUtc) {
  std::tm tm{};
  if (std::sscanf(isoUtc.c_str(), "%d-%d-%dT%d:%d:%d", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour,
                  &tm.tm_min, &tm.tm_sec) != 6)
    return isoUtc;
  tm.tm_year -= 1900;
  tm.tm_mon -= 1;
  const std::time_t t = timegm(&tm);
  std::tm local{};
  localtime_r(&t, &local);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M", &local);
  return buf;
}

namespace {
std::string Fixed2(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.2f", v);
  return buf;
}
}  // namespace

std::string CompareLastText(const TSummary& now, const store::TRunRow& earlier) {
  const TSummary before = StoredSummary(earlier);
  const bool slower = now.mean >= before.mean;
  const TRatio r = slower ? SpeedRatio(now, before) : SpeedRatio(before, now);
  if (r.value <= 0)
    return "the run of " + LocalMinute(earlier.startedAt) + " has no load time to compare with";
  std::string text = Fixed2(r.value) + " ± " + Fixed2(r.stddev) + " times " + (slower ? "slower" : "faster") +
                     " than the run of " + LocalMinute(earlier.startedAt);
  if (r.value - r.stddev <= 1) text += " (the spread exceeds the difference)";
  return text;
}

}  // namespace app
