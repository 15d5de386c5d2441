// The detailed report of measured loads: the per-load table, the summary, the
// JSON details and statistics, the CSV and Markdown exports, and the comparison
// of several URLs. Everything here reads TLoadTimes; nothing touches a network.
#pragma once

#include <iosfwd>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

#include "app/Stats.h"
#include "http/HttpTimeline.h"

namespace app {

// The loads measured for one URL. A run stops at its first failed load: when
// error is set, the last load is that one (its figures as far as it got), and
// the statistics leave it out.
struct TUrlLoads {
  TUrlLoads() = default;
  TUrlLoads(std::string u, std::vector<http::TLoadTimes> l, std::string e = {},
            std::vector<bool> resumed = {})
      : url(std::move(u)), loads(std::move(l)), error(std::move(e)), tlsResumed(std::move(resumed)) {}
  std::string url;  // as shown (a password in it masked)
  std::vector<http::TLoadTimes> loads;
  std::string error;             // why the last load failed; empty: every load completed
  std::vector<bool> tlsResumed;  // per load: a new connection whose TLS session was resumed
  bool TlsResumed(size_t i) const { return i < tlsResumed.size() && tlsResumed[i]; }
  // The loads that completed: all, or all but the failed last one.
  std::vector<http::TLoadTimes> Completed() const;
};

// Whole microseconds of a nanosecond figure.
int64_t Micros(int64_t ns);
// A load's total in whole microseconds: the sum of its phases' whole
// microseconds, the one figure every report and statistic starts from.
int64_t TotalUs(const http::TLoadTimes& t);

// The total time of every load, in milliseconds (TotalUs / 1000).
std::vector<double> TotalMs(const std::vector<http::TLoadTimes>& loads);
TSummary TotalSummary(const std::vector<http::TLoadTimes>& loads);

// "details": one object per load started, the failed one with its error;
// "stats": total and wait statistics over the completed loads, cold, resumed and
// warm counts and medians, outliers (microseconds, whole numbers; null where
// there is no load to summarise).
nlohmann::ordered_json DetailsJson(const TUrlLoads& run);
nlohmann::ordered_json StatsJson(const TUrlLoads& run);

// Bytes per second in decimal units: "950 B/s", "12.3 kB/s", "4.56 MB/s".
std::string ThroughputText(double bytesPerSecond);

// The table of loads (phases in milliseconds, three decimals, and the address
// each load's connection reached), then a line for each load whose connection
// won a race that other attempts lost.
void PrintLoadTable(std::ostream& out, const std::vector<http::TLoadTimes>& loads);
// The summary of the completed loads; TLS resumptions are counted apart from the
// cold loads, and a warning names loads beyond the inter-quartile fences.
void PrintSummary(std::ostream& out, const TUrlLoads& run);

// The fastest URL (by mean total time) against each other one; nothing for
// fewer than two URLs with loads.
struct TComparison {
  std::string fast, slow;
  TRatio ratio;
  // False when the spread covers the difference: either could be the faster.
  bool Clear() const { return ratio.value - ratio.stddev > 1; }
};
std::vector<TComparison> Compare(const std::vector<TUrlLoads>& runs);
// "B is 1.84 ± 0.07 times faster than A", with a note when the difference is
// within the spread.
std::vector<std::string> ComparisonLines(const std::vector<TUrlLoads>& runs);
nlohmann::ordered_json ComparisonJson(const std::vector<TUrlLoads>& runs);

// One row per load of every URL, times in microseconds; a failed load has its
// error in the last column.
void WriteCsv(std::ostream& out, const std::vector<TUrlLoads>& runs);
// A CSV field, quoted when it holds a comma, a quote or a line break.
std::string CsvField(const std::string& s);
// One row per URL: mean ± σ, min, max, median, p95 and the time relative to the
// fastest.
void WriteMarkdown(std::ostream& out, const std::vector<TUrlLoads>& runs);

}  // namespace app
