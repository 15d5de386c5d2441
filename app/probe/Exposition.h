// The text exposition format that metrics scrapers read: for each family its
// HELP and TYPE lines, then its samples, one "name{labels} value" line each.
// Label values and help texts are escaped, bytes that are not UTF-8 become
// U+FFFD, and a family's lines stay together however the caller orders them.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace probe {

using TLabels = std::vector<std::pair<std::string, std::string>>;

class TExposition {
 public:
  // Opens a family (type "gauge", "counter" or "summary"); samples up to the
  // next Family belong to it. Names and label names are the caller's constants.
  void Family(std::string_view name, std::string_view type, std::string_view help);
  // A sample of the open family: name is the family's, or for a summary its
  // _sum or _count.
  void Sample(std::string_view name, double value, const TLabels& labels = {});
  // A family with one sample, the common case.
  void Gauge(std::string_view name, std::string_view help, double value, const TLabels& labels = {});
  const std::string& Text() const { return FText; }

 private:
  std::string FText;
};

// "1", "0.25", "1e-07", "1800000000", "+Inf", "NaN": the shortest text that
// reads back as value, whole numbers below 10^15 written out in full.
std::string FormatValue(double value);
// Backslash, double quote and line feed escaped; invalid UTF-8 replaced.
std::string EscapeLabelValue(std::string_view value);

}  // namespace probe
