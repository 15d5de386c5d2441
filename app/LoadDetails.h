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

namespace app {

// Where a load's time went, in the order the phases happen.
inline constexpr size_t kDetailPhaseCount = 10;
// "dns", "connect", "socks", "tls", "auth", "redirect", "request", "wait",
// "transfer", "pane".
const char* DetailPhaseName(size_t phase);

struct TLoadRow {
  int load = 0;  // 1-based
  int status = 0;
  bool reused = false;  // warm: the load ran on a connection kept from the one before
  std::array<int64_t, kDetailPhaseCount> phaseUs{};
  int64_t totalUs = 0;
  int64_t bytes = 0;
  // What the phases leave of the total (all of it while no phases are known).
  int64_t OtherUs() const;
};

struct TDetailStats {
  size_t count = 0;
  double medianMs = 0, p95Ms = 0, meanMs = 0, stddevMs = 0;
  size_t cold = 0, warm = 0;
  double coldMedianMs = 0, warmMedianMs = 0;
  double bytesPerSecond = 0;  // all bytes over all time; 0 when no time passed
};

// Median, 95th percentile, mean and sample standard deviation of the load times
// (computed as the command line computes them, app/Stats.h),
// the same for cold and warm loads apart, and the overall speed.
TDetailStats ComputeDetailStats(const std::vector<TLoadRow>& rows);

// "950 B/s", "12.3 kB/s", "4.56 MB/s", "1.2 GB/s" (decimal units, three
// significant digits).
std::string HumanSpeed(double bytesPerSecond);
// Milliseconds of a microsecond figure with three decimals: "12.345".
std::string MsText(int64_t us);
// The statistics as the lines above the chart.
std::vector<std::string> StatsLines(const TDetailStats& s);
// A header line and one line per load, times in microseconds, CR LF line ends.
std::string DetailsCsv(const std::vector<TLoadRow>& rows);

}  // namespace app
