#include "app/Stats.h"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace app {

double Percentile(const std::vector<double>& sorted, double p) {
  if (sorted.empty()) return 0;
  const double rank = std::clamp(p, 0.0, 100.0) / 100 * static_cast<double>(sorted.size() - 1);
  const auto below = static_cast<size_t>(std::floor(rank));
  const size_t above = std::min(below + 1, sorted.size() - 1);
  const double fraction = rank - static_cast<double>(below);
  return sorted[below] + (sorted[above] - sorted[below]) * fraction;
}

TSummary Summarize(std::vector<double> samples) {
  TSummary s;
  if (samples.empty()) return s;
  std::sort(samples.begin(), samples.end());
  const auto n = static_cast<double>(samples.size());
  s.count = samples.size();
  s.min = samples.front();
  s.max = samples.back();
  s.median = Percentile(samples, 50);
  s.p95 = Percentile(samples, 95);
  s.mean = std::accumulate(samples.begin(), samples.end(), 0.0) / n;
  if (samples.size() > 1) {
    double squares = 0;
    for (double v : samples) squares += (v - s.mean) * (v - s.mean);
    s.stddev = std::sqrt(squares / (n - 1));
  }
  return s;
}

TRatio SpeedRatio(const TSummary& slow, const TSummary& fast) {
  if (fast.mean <= 0 || slow.mean <= 0) return {};
  TRatio r;
  r.value = slow.mean / fast.mean;
  r.stddev = r.value * std::hypot(slow.stddev / slow.mean, fast.stddev / fast.mean);
  return r;
}

size_t CountOutliers(std::vector<double> samples) {
  if (samples.size() < 4) return 0;
  std::sort(samples.begin(), samples.end());
  const double q1 = Percentile(samples, 25), q3 = Percentile(samples, 75);
  const double low = q1 - 1.5 * (q3 - q1), high = q3 + 1.5 * (q3 - q1);
  return static_cast<size_t>(
      std::count_if(samples.begin(), samples.end(), [&](double v) { return v < low || v > high; }));
}

}  // namespace app
