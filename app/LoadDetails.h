// The figures of a run's loads as the window's details show them: one row per
// load, the statistics of the load times, the speed in human units and the rows
// as CSV. No toolkit and no network: the window fills the rows, this file only
// reads them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "http/HttpTimeline.h"

namespace app {

// Where a load's time went, in the order the phases happen.
inline constexpr size_t kDetailPhaseCount = http::kLoadPhaseCount;
// "dns", "connect", "socks", "tls", "auth", "redirect", "request", "wait",
// "transfer", "pane".
const char* DetailPhaseName(size_t phase);

struct TLoadRow {
  int load = 0;            // 1-based
  http::TLoadTimes times;  // the client's figures (status, warm or cold, phases, bytes)
  int64_t totalUs = 0;     // the load's whole time, at least its phases
  std::string error;       // why the load failed; empty when it got its page
  bool Failed() const { return !error.empty(); }
  int Status() const { return times.status; }
  bool Reused() const { return times.reused; }
  int64_t PhaseUs(size_t phase) const { return times.phaseNs[phase] / 1000; }
  int64_t Bytes() const { return times.decodedBytes; }
  // What the phases leave of the total (all of it while no phases are known).
  int64_t OtherUs() const;
};

// The loads of the last run the window started: kept by the window whether or
// not the details are open, and shown by them when they are.
struct TRunDetails {
  std::string url;
  std::vector<TLoadRow> rows;
  uint64_t run = 0;  // counts the runs begun, so a view knows when to start over
  void Begin(const std::string& newUrl) {
    url = newUrl;
    rows.clear();
    ++run;
  }
};

struct TDetailStats {
  size_t count = 0;   // loads that got their page: the figures below are theirs
  size_t failed = 0;  // loads left out of every figure
  double medianMs = 0, p95Ms = 0, meanMs = 0, stddevMs = 0;
  size_t cold = 0, warm = 0;
  double coldMedianMs = 0, warmMedianMs = 0;
  double bytesPerSecond = 0;  // all bytes over all time; 0 when no time passed
};

// Median, 95th percentile, mean and sample standard deviation of the times of
// the loads that got their page (computed as the command line computes them,
// app/Stats.h), the same for cold and warm loads apart, and the overall speed.
TDetailStats ComputeDetailStats(const std::vector<TLoadRow>& rows);

// "950 B/s", "12.3 kB/s", "4.56 MB/s", "1.2 GB/s" (decimal units, three
// significant digits).
std::string HumanSpeed(double bytesPerSecond);
// Milliseconds of a microsecond figure with three decimals: "12.345".
std::string MsText(int64_t us);
// The statistics as the lines above the chart.
std::vector<std::string> StatsLines(const TDetailStats& s);
// The rows as the command line's --export-csv writes a run of url: one schema
// for both.
std::string DetailsCsv(const std::string& url, const std::vector<TLoadRow>& rows);

}  // namespace app
