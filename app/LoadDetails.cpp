#include "app/LoadDetails.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sstream>

#include "app/CliSecrets.h"
#include "app/LoadReport.h"
#include "app/Stats.h"

namespace app {

const char* DetailPhaseName(size_t phase) {
  return phase < kDetailPhaseCount ? http::LoadPhaseName(static_cast<http::TLoadPhase>(phase)) : "";
}

int64_t TLoadRow::OtherUs() const {
  int64_t phases = 0;
  for (size_t p = 0; p < kDetailPhaseCount; ++p) phases += PhaseUs(p);
  return std::max<int64_t>(0, totalUs - phases);
}

namespace {

std::vector<double> SortedMs(const std::vector<TLoadRow>& rows, int reused) {
  std::vector<double> ms;
  for (const TLoadRow& r : rows)
    if (!r.Failed() && (reused < 0 || r.Reused() == (reused == 1)))
      ms.push_back(static_cast<double>(r.totalUs) / 1000);
  std::sort(ms.begin(), ms.end());
  return ms;
}

std::string Format(const char* format, double value) {
  char buf[64];
  std::snprintf(buf, sizeof buf, format, value);
  return buf;
}

}  // namespace

TDetailStats ComputeDetailStats(const std::vector<TLoadRow>& rows) {
  TDetailStats s;
  const std::vector<double> all = SortedMs(rows, -1), cold = SortedMs(rows, 0), warm = SortedMs(rows, 1);
  s.count = all.size();
  s.cold = cold.size();
  s.warm = warm.size();
  s.failed = static_cast<size_t>(
      std::count_if(rows.begin(), rows.end(), [](const TLoadRow& r) { return r.Failed(); }));
  if (all.empty()) return s;
  const TSummary summary = Summarize(all);
  s.medianMs = summary.median;
  s.p95Ms = summary.p95;
  s.meanMs = summary.mean;
  s.stddevMs = summary.stddev;
  s.coldMedianMs = Percentile(cold, 50);
  s.warmMedianMs = Percentile(warm, 50);
  int64_t bytes = 0, us = 0;
  for (const TLoadRow& r : rows) {
    if (r.Failed()) continue;
    bytes += r.Bytes();
    us += r.totalUs;
  }
  if (us > 0) s.bytesPerSecond = static_cast<double>(bytes) * 1e6 / static_cast<double>(us);
  return s;
}

std::string HumanSpeed(double bytesPerSecond) {
  static const char* const kUnits[] = {"B/s", "kB/s", "MB/s", "GB/s"};
  size_t unit = 0;
  double v = bytesPerSecond;
  while (v >= 999.5 && unit + 1 < std::size(kUnits)) {
    v /= 1000;
    ++unit;
  }
  if (unit == 0) return Format("%.0f", v) + " B/s";
  const char* format = v >= 99.95 ? "%.0f" : v >= 9.995 ? "%.1f" : "%.2f";
  return Format(format, v) + " " + kUnits[unit];
}

std::string MsText(int64_t us) {
  return Format("%.3f", static_cast<double>(us) / 1000);
}

std::vector<std::string> StatsLines(const TDetailStats& s) {
  auto ms = [](double v) { return Format("%.3f", v) + " ms"; };
  // A figure of no loads is no figure: shown as a dash, never as 0.
  auto median = [&](size_t count, double v) {
    return count > 0 ? "median " + ms(v) : std::string("median -");
  };
  std::vector<std::string> lines;
  const std::string failed = s.failed > 0 ? " (" + std::to_string(s.failed) + " failed, left out)" : "";
  std::string first = "Loads: " + std::to_string(s.count) + failed;
  if (s.count > 0)
    first += "   " + median(s.count, s.medianMs) + "   p95 " + ms(s.p95Ms) + "   mean " +
             Format("%.3f", s.meanMs) + " \xB1 " + ms(s.stddevMs);
  lines.push_back(first);
  lines.push_back("Cold: " + std::to_string(s.cold) + " (" + median(s.cold, s.coldMedianMs) +
                  ")   Warm: " + std::to_string(s.warm) + " (" + median(s.warm, s.warmMedianMs) + ")");
  lines.push_back("Speed: " + HumanSpeed(s.bytesPerSecond));
  return lines;
}

std::string DetailsCsv(const std::string& url, const std::vector<TLoadRow>& rows) {
  TUrlLoads run(MaskUrlPasswords(url), {});
  run.loads.reserve(rows.size());
  for (const TLoadRow& r : rows) run.loads.push_back(r.times);
  // Only the last load of a run can fail: the run ends there.
  if (!rows.empty() && rows.back().Failed()) run.error = rows.back().error;
  std::ostringstream csv;
  WriteCsv(csv, {run});
  return csv.str();
}

}  // namespace app
