#include "app/ChartScale.h"

#include <cmath>

namespace app {

namespace {

// 1, 2, 5, 10, 20, 50, ... times unit: the n-th of them.
double RoundStep(int n, double unit) {
  static constexpr double kMantissa[] = {1, 2, 5};
  return kMantissa[n % 3] * std::pow(10.0, n / 3) * unit;
}

}  // namespace

int TNiceScale::Decimals() const {
  return step >= 1 ? 0 : static_cast<int>(std::ceil(-std::log10(step) - 1e-9));
}

TNiceScale NiceScale(double max, int maxSteps) {
  if (!(max > 0) || maxSteps < 1) return {};
  // Start one decade below the rough step and walk up the 1-2-5 ladder.
  const double unit = std::pow(10.0, std::floor(std::log10(max / maxSteps)) - 1);
  for (int n = 0;; ++n) {
    const double step = RoundStep(n, unit);
    const double steps = std::ceil(max / step - 1e-9);
    if (steps <= maxSteps) return {steps * step, step};
  }
}

int LabelStep(int count, int maxLabels) {
  if (maxLabels < 1) maxLabels = 1;
  for (int n = 0;; ++n) {
    const int step = static_cast<int>(RoundStep(n, 1));
    if ((count + step - 1) / step <= maxLabels) return step;
  }
}

}  // namespace app
