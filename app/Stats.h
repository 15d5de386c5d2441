// Statistics of a series of load times, shared by the command line and the
// window: no toolkit, no network, plain numbers in and out.
#pragma once

#include <cstddef>
#include <vector>

namespace app {

struct TSummary {
  size_t count = 0;
  double min = 0, median = 0, mean = 0, stddev = 0, p95 = 0, max = 0;
};

// The p-th percentile (0..100) of ascending samples, interpolating linearly
// between the two nearest ranks (rank p/100 * (n - 1)); 0 for no samples.
double Percentile(const std::vector<double>& sorted, double p);

// Count, extremes, median, mean, sample standard deviation (n - 1; 0 for fewer
// than two samples) and 95th percentile. All 0 for no samples.
TSummary Summarize(std::vector<double> samples);

// How many times faster the series with mean fast is than the one with mean
// slow, and the uncertainty of that ratio from both standard deviations
// (propagated as relative errors).
struct TRatio {
  double value = 0, stddev = 0;
};
TRatio SpeedRatio(const TSummary& slow, const TSummary& fast);

// Samples beyond the inter-quartile fences (below Q1 - 1.5 IQR or above
// Q3 + 1.5 IQR): loads disturbed by something other than the page. 0 for fewer
// than four samples, where the quartiles say nothing.
size_t CountOutliers(std::vector<double> samples);

}  // namespace app
