#include "app/LoadReport.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ostream>

#include "app/ConnectText.h"

namespace app {

using http::kLoadPhaseCount;
using http::LoadPhaseName;
using http::TLoadPhase;
using http::TLoadTimes;

namespace {

TLoadPhase PhaseAt(size_t i) {
  return static_cast<TLoadPhase>(i);
}

std::string Fixed(double v, int decimals) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
  return buf;
}

// A pipe would end the Markdown cell.
std::string MarkdownCell(const std::string& s) {
  std::string r;
  for (char c : s) r += c == '|' ? std::string("\\|") : std::string(1, c);
  return r;
}

// Null for no loads: there is nothing to summarise, and 0 would read as a time.
nlohmann::ordered_json SummaryJson(const TSummary& s) {
  if (s.count == 0) return nullptr;
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

// How a completed load reached the server: a new connection with a full
// handshake (or none), a new one whose TLS session was resumed, or a kept one.
enum class TConnKind { cold, resumed, warm };
const char* const kConnKindNames[] = {"cold", "resumed", "warm"};

TConnKind KindOf(const TUrlLoads& run, size_t i) {
  if (run.loads[i].reused) return TConnKind::warm;
  return run.TlsResumed(i) ? TConnKind::resumed : TConnKind::cold;
}

TSummary SummaryOfKind(const TUrlLoads& run, TConnKind kind) {
  std::vector<double> ms;
  const size_t completed = run.Completed().size();
  for (size_t i = 0; i < completed; ++i)
    if (KindOf(run, i) == kind) ms.push_back(static_cast<double>(TotalUs(run.loads[i])) / 1000);
  return Summarize(ms);
}

double MeanMs(const TUrlLoads& r) {
  return TotalSummary(r.Completed()).mean;
}

// The fastest run by mean total time; runs without completed loads are skipped.
const TUrlLoads* Fastest(const std::vector<TUrlLoads>& runs) {
  const TUrlLoads* best = nullptr;
  for (const TUrlLoads& r : runs)
    if (!r.Completed().empty() && (!best || MeanMs(r) < MeanMs(*best))) best = &r;
  return best;
}

nlohmann::ordered_json AttemptsJson(const std::vector<http::TLoadConnectAttempt>& attempts) {
  nlohmann::ordered_json a = nlohmann::ordered_json::array();
  for (const http::TLoadConnectAttempt& c : attempts) {
    nlohmann::ordered_json j;
    j["address"] = c.addr;
    j["port"] = c.port;
    j["family"] = FamilyName(c.family);
    j["start_us"] = Micros(c.startNs);
    j["end_us"] = Micros(c.endNs);
    j["result"] = c.result;
    a.push_back(j);
  }
  return a;
}

}  // namespace

std::string CsvField(const std::string& s) {
  if (s.find_first_of(",\"\r\n") == std::string::npos) return s;
  std::string q = "\"";
  for (char c : s) q += c == '"' ? std::string("\"\"") : std::string(1, c);
  return q + "\"";
}

std::vector<TLoadTimes> TUrlLoads::Completed() const {
  const size_t n = error.empty() || loads.empty() ? loads.size() : loads.size() - 1;
  return {loads.begin(), loads.begin() + static_cast<ptrdiff_t>(n)};
}

int64_t Micros(int64_t ns) {
  return ns / 1000;
}

int64_t TotalUs(const TLoadTimes& t) {
  int64_t total = 0;
  for (int64_t ns : t.phaseNs) total += Micros(ns);
  return total;
}

std::vector<double> TotalMs(const std::vector<TLoadTimes>& loads) {
  std::vector<double> ms;
  ms.reserve(loads.size());
  for (const TLoadTimes& t : loads) ms.push_back(static_cast<double>(TotalUs(t)) / 1000);
  return ms;
}

TSummary TotalSummary(const std::vector<TLoadTimes>& loads) {
  return Summarize(TotalMs(loads));
}

nlohmann::ordered_json DetailsJson(const TUrlLoads& run) {
  nlohmann::ordered_json details = nlohmann::ordered_json::array();
  for (size_t i = 0; i < run.loads.size(); ++i) {
    const TLoadTimes& t = run.loads[i];
    nlohmann::ordered_json d, phases;
    d["load"] = i + 1;
    d["status"] = t.status;
    d["reused"] = t.reused;
    d["tls_resumed"] = run.TlsResumed(i);
    d["redirects"] = t.redirects;
    d["protocol"] = t.protocol;
    d["ip"] = t.ip;
    d["family"] = FamilyName(t.family);
    d["connect_attempts"] = AttemptsJson(t.connectAttempts);
    for (size_t p = 0; p < kLoadPhaseCount; ++p) phases[LoadPhaseName(PhaseAt(p))] = Micros(t.phaseNs[p]);
    d["phases_us"] = phases;
    d["total_us"] = TotalUs(t);
    d["header_bytes"] = t.headerBytes;
    d["body_bytes"] = t.bodyBytes;
    d["decoded_bytes"] = t.decodedBytes;
    const bool failed = !run.error.empty() && i + 1 == run.loads.size();
    d["error"] = failed ? nlohmann::ordered_json(run.error) : nlohmann::ordered_json(nullptr);
    details.push_back(d);
  }
  return details;
}

nlohmann::ordered_json StatsJson(const TUrlLoads& run) {
  const std::vector<TLoadTimes> loads = run.Completed();
  std::vector<double> wait;
  wait.reserve(loads.size());
  for (const TLoadTimes& t : loads)
    wait.push_back(static_cast<double>(Micros(t.Phase(TLoadPhase::wait))) / 1000);
  nlohmann::ordered_json j;
  j["count"] = loads.size();
  j["total_us"] = SummaryJson(TotalSummary(loads));
  j["wait_us"] = SummaryJson(Summarize(wait));
  for (const TConnKind kind : {TConnKind::cold, TConnKind::resumed, TConnKind::warm}) {
    const TSummary s = SummaryOfKind(run, kind);
    nlohmann::ordered_json c;
    c["count"] = s.count;
    c["median_us"] = s.count == 0 ? nlohmann::ordered_json(nullptr)
                                  : nlohmann::ordered_json(std::llround(s.median * 1000));
    j[kConnKindNames[static_cast<int>(kind)]] = c;
  }
  j["outliers"] = CountOutliers(TotalMs(loads));
  return j;
}

std::string ThroughputText(double bytesPerSecond) {
  if (bytesPerSecond >= 1e6) return Fixed(bytesPerSecond / 1e6, 2) + " MB/s";
  if (bytesPerSecond >= 1e3) return Fixed(bytesPerSecond / 1e3, 1) + " kB/s";
  return Fixed(bytesPerSecond, 0) + " B/s";
}

void PrintLoadTable(std::ostream& out, const std::vector<TLoadTimes>& loads) {
  char buf[64];
  out << "load status conn  proto    redir";
  for (size_t p = 0; p < kLoadPhaseCount; ++p) {
    std::snprintf(buf, sizeof buf, " %9s", LoadPhaseName(PhaseAt(p)));
    out << buf;
  }
  out << "     total     bytes  address\n";
  for (size_t i = 0; i < loads.size(); ++i) {
    const TLoadTimes& t = loads[i];
    std::snprintf(buf, sizeof buf, "%4zu %6d %-4s %-8s %5d", i + 1, t.status, t.reused ? "warm" : "cold",
                  t.protocol, t.redirects);
    out << buf;
    for (int64_t ns : t.phaseNs) {
      std::snprintf(buf, sizeof buf, " %9.3f", static_cast<double>(Micros(ns)) / 1000);
      out << buf;
    }
    std::snprintf(buf, sizeof buf, " %9.3f %9lld  ", static_cast<double>(TotalUs(t)) / 1000,
                  static_cast<long long>(t.decodedBytes));
    out << buf << (t.ip.empty() ? "-" : t.ip) << "\n";
  }
  for (size_t i = 0; i < loads.size(); ++i)
    if (const std::string race = RaceText(loads[i].connectAttempts); !race.empty())
      out << "Load " << i + 1 << ": " << race << "\n";
}

void PrintSummary(std::ostream& out, const TUrlLoads& run) {
  const std::vector<TLoadTimes> loads = run.Completed();
  const TSummary s = TotalSummary(loads);
  int64_t bytes = 0;
  for (const TLoadTimes& t : loads) bytes += t.decodedBytes;
  auto ms = [](double v) { return Fixed(v, 3) + " ms"; };
  auto kind = [&](const char* name, TConnKind k) {
    const TSummary c = SummaryOfKind(run, k);
    return std::string(name) + ": " + std::to_string(c.count) + " loads" +
           (c.count ? ", median " + ms(c.median) : std::string());
  };
  if (s.count == 0) {
    out << "No load completed: nothing to summarise.\n";
    return;
  }
  out << "Time (mean ± σ):     " << ms(s.mean) << " ± " << ms(s.stddev) << "\n";
  out << "Range (min … max):   " << ms(s.min) << " … " << ms(s.max) << "    " << s.count << " loads\n";
  out << "Median: " << ms(s.median) << "    p95: " << ms(s.p95) << "\n";
  out << kind("Cold", TConnKind::cold) << "    " << kind("TLS resumed", TConnKind::resumed) << "    "
      << kind("Warm", TConnKind::warm) << "\n";
  const double seconds = s.mean * static_cast<double>(s.count) / 1000;
  out << "Throughput: " << (seconds > 0 ? ThroughputText(static_cast<double>(bytes) / seconds) : "-") << "\n";
  if (const size_t outliers = CountOutliers(TotalMs(loads)); outliers > 0)
    out << "Warning: " << outliers << (outliers == 1 ? " load lies" : " loads lie")
        << " beyond the inter-quartile fences (outliers): something besides the page may have slowed "
           "them. Run more loads, or add --warmup, for steadier figures.\n";
}

std::vector<TComparison> Compare(const std::vector<TUrlLoads>& runs) {
  std::vector<TComparison> result;
  const TUrlLoads* fast = Fastest(runs);
  if (!fast) return result;
  const TSummary f = TotalSummary(fast->Completed());
  for (const TUrlLoads& r : runs) {
    if (&r == fast || r.Completed().empty()) continue;
    result.push_back({fast->url, r.url, SpeedRatio(TotalSummary(r.Completed()), f)});
  }
  return result;
}

std::vector<std::string> ComparisonLines(const std::vector<TUrlLoads>& runs) {
  std::vector<std::string> lines;
  for (const TComparison& c : Compare(runs))
    lines.push_back(c.fast + " is " + Fixed(c.ratio.value, 2) + " ± " + Fixed(c.ratio.stddev, 2) +
                    " times faster than " + c.slow +
                    (c.Clear() ? "" : " (the spread exceeds the difference: neither is clearly faster)"));
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
    j["clear"] = c.Clear();
    a.push_back(j);
  }
  return a;
}

void WriteCsv(std::ostream& out, const std::vector<TUrlLoads>& runs) {
  out << "url,load,status,reused,redirects";
  for (size_t p = 0; p < kLoadPhaseCount; ++p) out << "," << LoadPhaseName(PhaseAt(p)) << "_us";
  out << ",total_us,header_bytes,body_bytes,decoded_bytes,tls_resumed,protocol,ip,family,error\n";
  for (const TUrlLoads& r : runs) {
    for (size_t i = 0; i < r.loads.size(); ++i) {
      const TLoadTimes& t = r.loads[i];
      out << CsvField(r.url) << "," << i + 1 << "," << t.status << "," << (t.reused ? "true" : "false") << ","
          << t.redirects;
      for (int64_t ns : t.phaseNs) out << "," << Micros(ns);
      const bool failed = !r.error.empty() && i + 1 == r.loads.size();
      out << "," << TotalUs(t) << "," << t.headerBytes << "," << t.bodyBytes << "," << t.decodedBytes << ","
          << (r.TlsResumed(i) ? "true" : "false") << "," << t.protocol << "," << CsvField(t.ip) << ","
          << FamilyName(t.family) << "," << (failed ? CsvField(r.error) : std::string()) << "\n";
    }
  }
}

void WriteMarkdown(std::ostream& out, const std::vector<TUrlLoads>& runs) {
  out << "| URL | Mean [ms] | Min [ms] | Max [ms] | Median [ms] | p95 [ms] | Relative |\n";
  out << "|:---|---:|---:|---:|---:|---:|---:|\n";
  const TUrlLoads* fast = Fastest(runs);
  for (const TUrlLoads& r : runs) {
    if (r.Completed().empty()) continue;
    const TSummary s = TotalSummary(r.Completed());
    const TRatio ratio = SpeedRatio(s, TotalSummary(fast->Completed()));
    out << "| `" << MarkdownCell(r.url) << "` | " << Fixed(s.mean, 3) << " ± " << Fixed(s.stddev, 3) << " | "
        << Fixed(s.min, 3) << " | " << Fixed(s.max, 3) << " | " << Fixed(s.median, 3) << " | "
        << Fixed(s.p95, 3) << " | "
        << (&r == fast ? std::string("1.00") : Fixed(ratio.value, 2) + " ± " + Fixed(ratio.stddev, 2))
        << " |\n";
  }
}

}  // namespace app
