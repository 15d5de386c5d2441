// Axis scales a person reads at a glance: ticks at round values (1, 2 or 5
// times a power of ten) and labels thinned to a round step so they never crowd.
// No toolkit: the details chart asks, the tests check.
#pragma once

#include <cmath>

namespace app {

struct TNiceScale {
  double top = 1;   // the axis runs from 0 to top, a whole number of steps
  double step = 1;  // 1, 2 or 5 times a power of ten
  int Ticks() const { return static_cast<int>(std::lround(top / step)) + 1; }
  int Decimals() const;  // what the step needs: 0 for 1, 2, 5, ...; 1 for 0.5; ...
};

// The smallest round scale from 0 that holds max in at most maxSteps steps
// (max <= 0 gives 0 to 1).
TNiceScale NiceScale(double max, int maxSteps);

// Every how many items a label goes, so that count items show at most
// maxLabels labels: 1, 2, 5, 10, 20, 50, ...
int LabelStep(int count, int maxLabels);

}  // namespace app
