#include "app/LoadReport.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ostream>

namespace app {

using http::kLoadPhaseCount;
using http::LoadPhaseName;
using http::TLoadPhase;
using http::TLoadTimes;

namespace {

TLoadPhase PhaseAt(size_t i) {
  return static_cast<TLoadPhase>(i);
}

double NsToMs(int64_t ns) {
  return static_cast<double>(ns) / 1e6;
}

std::string Fixed(double v, int decimals) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
  return buf;
}

// CSV fields are quoted when they hold a separator, a quote or a line break.
std::string CsvField(const std::string& s) {
  if (s.find_first_of(",\"\r\n") == std::string::npos) return s;
  std::string q = "\"";
  for (char c : s) q += c == '"' ? std::string("\"\"") : std::string(1, c);
  return q + "\"";
}

// A pipe would end the Markdown cell.
std::string MarkdownCell(const std::string& s) {
  std::string r;
  for (char c : s) r += c == '|' ? std::string("\\|") : std::string(1, c);
  return r;
}

nlohmann::ordered_json SummaryJson(const TSummary& s) {
  auto us = [](double ms) { return std::llround(ms * 1000); };
  nlohmann::ordered_json j;
  j["min"] = us(s.min);
  j["median"] = us(s.median);
  j["mean"] = us(s.mean);
  j["stddev"] = us(s.stddev);
  j["p95"] = us(s.p95);
  j["max"] = us(s.max);
  return j;
}

TSummary ColdOrWarm(const std::vector<TLoadTimes>& loads, bool reused) {
  std::vector<double> ms;
  for (const TLoadTimes& t : loads)
    if (t.reused == reused) ms.push_back(NsToMs(t.TotalNs()));
  return Summarize(ms);
}

// The fastest run by mean total time; runs without loads are skipped.
const TUrlLoads* Fastest(const std::vector<TUrlLoads>& runs) {
  const TUrlLoads* best = nullptr;
  for (const TUrlLoads& r : runs)
    if (!r.loads.empty() && (!best || TotalSummary(r.loads).mean < TotalSummary(best->loads).mean)) best = &r;
  return best;
}

}  // namespace

int64_t Micros(int64_t ns) {
  return ns / 1000;
}

std::vector<double> TotalMs(const std::vector<TLoadTimes>& loads) {
  std::vector<double> ms;
  ms.reserve(loads.size());
  for (const TLoadTimes& t : loads) ms.push_back(NsToMs(t.TotalNs()));
  return ms;
}

TSummary TotalSummary(const std::vector<TLoadTimes>& loads) {
  return Summarize(TotalMs(loads));
}

nlohmann::ordered_json DetailsJson(const std::vector<TLoadTimes>& loads) {
  nlohmann::ordered_json details = nlohmann::ordered_json::array();
  for (size_t i = 0; i < loads.size(); ++i) {
    const TLoadTimes& t = loads[i];
    nlohmann::ordered_json d, phases;
    d["load"] = i + 1;
    d["status"] = t.status;
    d["reused"] = t.reused;
    d["redirects"] = t.redirects;
    // The total is the sum of the whole microseconds shown, so the figures add up.
    int64_t total = 0;
    for (size_t p = 0; p < kLoadPhaseCount; ++p) {
      phases[LoadPhaseName(PhaseAt(p))] = Micros(t.phaseNs[p]);
      total += Micros(t.phaseNs[p]);
    }
    d["phases_us"] = phases;
    d["total_us"] = total;
    d["header_bytes"] = t.headerBytes;
    d["body_bytes"] = t.bodyBytes;
    d["decoded_bytes"] = t.decodedBytes;
    details.push_back(d);
  }
  return details;
}

nlohmann::ordered_json StatsJson(const std::vector<TLoadTimes>& loads) {
  std::vector<double> wait;
  for (const TLoadTimes& t : loads) wait.push_back(NsToMs(t.Phase(TLoadPhase::wait)));
  nlohmann::ordered_json j;
  j["total_us"] = SummaryJson(TotalSummary(loads));
  j["wait_us"] = SummaryJson(Summarize(wait));
  for (const bool reused : {false, true}) {
    const TSummary s = ColdOrWarm(loads, reused);
    nlohmann::ordered_json c;
    c["count"] = s.count;
    c["median_us"] = std::llround(s.median * 1000);
    j[reused ? "warm" : "cold"] = c;
  }
  return j;
}

std::string ThroughputText(double bytesPerSecond) {
  if (bytesPerSecond >= 1e6) return Fixed(bytesPerSecond / 1e6, 2) + " MB/s";
  if (bytesPerSecond >= 1e3) return Fixed(bytesPerSecond / 1e3, 1) + " kB/s";
  return Fixed(bytesPerSecond, 0) + " B/s";
}

void PrintLoadTable(std::ostream& out, const std::vector<TLoadTimes>& loads) {
  char buf[64];
  out << "load status conn  redir";
  for (size_t p = 0; p < kLoadPhaseCount; ++p) {
    std::snprintf(buf, sizeof buf, " %9s", LoadPhaseName(PhaseAt(p)));
    out << buf;
  }
  out << "     total     bytes\n";
  for (size_t i = 0; i < loads.size(); ++i) {
    const TLoadTimes& t = loads[i];
    std::snprintf(buf, sizeof buf, "%4zu %6d %-4s %6d", i + 1, t.status, t.reused ? "warm" : "cold",
                  t.redirects);
    out << buf;
    for (int64_t ns : t.phaseNs) {
      std::snprintf(buf, sizeof buf, " %9.3f", NsToMs(ns));
      out << buf;
    }
    std::snprintf(buf, sizeof buf, " %9.3f %9lld\n", NsToMs(t.TotalNs()),
                  static_cast<long long>(t.decodedBytes));
    out << buf;
  }
}

void PrintSummary(std::ostream& out, const std::vector<TLoadTimes>& loads) {
  const TSummary s = TotalSummary(loads);
  const TSummary cold = ColdOrWarm(loads, false), warm = ColdOrWarm(loads, true);
  int64_t bytes = 0;
  for (const TLoadTimes& t : loads) bytes += t.decodedBytes;
  auto ms = [](double v) { return Fixed(v, 3) + " ms"; };
  out << "Time (mean ± σ):     " << ms(s.mean) << " ± " << ms(s.stddev) << "\n";
  out << "Range (min … max):   " << ms(s.min) << " … " << ms(s.max) << "    " << s.count << " loads\n";
  out << "Median: " << ms(s.median) << "    p95: " << ms(s.p95) << "\n";
  out << "Cold: " << cold.count << " loads, median " << ms(cold.median) << "    Warm: " << warm.count
      << " loads, median " << ms(warm.median) << "\n";
  const double seconds = s.mean * static_cast<double>(s.count) / 1000;
  out << "Throughput: " << (seconds > 0 ? ThroughputText(static_cast<double>(bytes) / seconds) : "-") << "\n";
}

std::vector<TComparison> Compare(const std::vector<TUrlLoads>& runs) {
  std::vector<TComparison> result;
  const TUrlLoads* fast = Fastest(runs);
  if (!fast) return result;
  const TSummary f = TotalSummary(fast->loads);
  for (const TUrlLoads& r : runs) {
    if (&r == fast || r.loads.empty()) continue;
    result.push_back({fast->url, r.url, SpeedRatio(TotalSummary(r.loads), f)});
  }
  return result;
}

std::vector<std::string> ComparisonLines(const std::vector<TUrlLoads>& runs) {
  std::vector<std::string> lines;
  for (const TComparison& c : Compare(runs))
    lines.push_back(c.fast + " is " + Fixed(c.ratio.value, 2) + " ± " + Fixed(c.ratio.stddev, 2) +
                    " times faster than " + c.slow);
  return lines;
}

nlohmann::ordered_json ComparisonJson(const std::vector<TUrlLoads>& runs) {
  nlohmann::ordered_json a = nlohmann::ordered_json::array();
  for (const TComparison& c : Compare(runs)) {
    nlohmann::ordered_json j;
    j["faster"] = c.fast;
    j["slower"] = c.slow;
    j["ratio"] = c.ratio.value;
    j["stddev"] = c.ratio.stddev;
    a.push_back(j);
  }
  return a;
}

void WriteCsv(std::ostream& out, const std::vector<TUrlLoads>& runs) {
  out << "url,load,status,reused,redirects";
  for (size_t p = 0; p < kLoadPhaseCount; ++p) out << "," << LoadPhaseName(PhaseAt(p)) << "_us";
  out << ",total_us,header_bytes,body_bytes,decoded_bytes\n";
  for (const TUrlLoads& r : runs) {
    for (size_t i = 0; i < r.loads.size(); ++i) {
      const TLoadTimes& t = r.loads[i];
      out << CsvField(r.url) << "," << i + 1 << "," << t.status << "," << (t.reused ? "true" : "false") << ","
          << t.redirects;
      int64_t total = 0;
      for (int64_t ns : t.phaseNs) {
        out << "," << Micros(ns);
        total += Micros(ns);
      }
      out << "," << total << "," << t.headerBytes << "," << t.bodyBytes << "," << t.decodedBytes << "\n";
    }
  }
}

void WriteMarkdown(std::ostream& out, const std::vector<TUrlLoads>& runs) {
  out << "| URL | Mean [ms] | Min [ms] | Max [ms] | Median [ms] | p95 [ms] | Relative |\n";
  out << "|:---|---:|---:|---:|---:|---:|---:|\n";
  const TUrlLoads* fast = Fastest(runs);
  for (const TUrlLoads& r : runs) {
    if (r.loads.empty()) continue;
    const TSummary s = TotalSummary(r.loads);
    const TRatio ratio = SpeedRatio(s, TotalSummary(fast->loads));
    out << "| `" << MarkdownCell(r.url) << "` | " << Fixed(s.mean, 3) << " ± " << Fixed(s.stddev, 3) << " | "
        << Fixed(s.min, 3) << " | " << Fixed(s.max, 3) << " | " << Fixed(s.median, 3) << " | "
        << Fixed(s.p95, 3) << " | "
        << (&r == fast ? std::string("1.00") : Fixed(ratio.value, 2) + " ± " + Fixed(ratio.stddev, 2))
        << " |\n";
  }
}

}  // namespace app
