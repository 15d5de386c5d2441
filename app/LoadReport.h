// The detailed report of measured loads: the per-load table, the summary, the
// JSON details and statistics, the CSV and Markdown exports, and the comparison
// of several URLs. Everything here reads TLoadTimes; nothing touches a network.
#pragma once

#include <iosfwd>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "app/Stats.h"
#include "http/HttpTimeline.h"

namespace app {

// The loads measured for one URL.
struct TUrlLoads {
  std::string url;
  std::vector<http::TLoadTimes> loads;
};

// Whole microseconds of a nanosecond figure.
int64_t Micros(int64_t ns);

// The total time of every load, in milliseconds.
std::vector<double> TotalMs(const std::vector<http::TLoadTimes>& loads);
TSummary TotalSummary(const std::vector<http::TLoadTimes>& loads);

// "details": one object per load; "stats": total and wait statistics, cold and
// warm medians (microseconds, whole numbers).
nlohmann::ordered_json DetailsJson(const std::vector<http::TLoadTimes>& loads);
nlohmann::ordered_json StatsJson(const std::vector<http::TLoadTimes>& loads);

// Bytes per second in decimal units: "950 B/s", "12.3 kB/s", "4.56 MB/s".
std::string ThroughputText(double bytesPerSecond);

// The table of loads (phases in milliseconds, three decimals) and the summary.
void PrintLoadTable(std::ostream& out, const std::vector<http::TLoadTimes>& loads);
void PrintSummary(std::ostream& out, const std::vector<http::TLoadTimes>& loads);

// The fastest URL (by mean total time) against each other one; nothing for
// fewer than two URLs with loads.
struct TComparison {
  std::string fast, slow;
  TRatio ratio;
};
std::vector<TComparison> Compare(const std::vector<TUrlLoads>& runs);
// "B is 1.84 ± 0.07 times faster than A".
std::vector<std::string> ComparisonLines(const std::vector<TUrlLoads>& runs);
nlohmann::ordered_json ComparisonJson(const std::vector<TUrlLoads>& runs);

// One row per load of every URL, times in microseconds.
void WriteCsv(std::ostream& out, const std::vector<TUrlLoads>& runs);
// One row per URL: mean ± σ, min, max, median, p95 and the time relative to the
// fastest.
void WriteMarkdown(std::ostream& out, const std::vector<TUrlLoads>& runs);

}  // namespace app
