#include "app/probe/ProbeMetrics.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <vector>

#include "app/Stats.h"
#include "app/probe/Exposition.h"

namespace probe {

namespace {

using http::TLoadPhase;
using http::TLoadTimes;

// One or two of our phases (the second TLoadPhase::count when there is none),
// in seconds of whole microseconds.
double PhaseSeconds(const TLoadTimes& t, TLoadPhase first, TLoadPhase second = TLoadPhase::count) {
  int64_t us = app::Micros(t.Phase(first));
  if (second != TLoadPhase::count) us += app::Micros(t.Phase(second));
  return static_cast<double>(us) / 1e6;
}

struct TProbePhase {
  const char* name;
  TLoadPhase first, second;
};
constexpr TProbePhase kProbePhases[] = {
    {"resolve", TLoadPhase::dns, TLoadPhase::count},
    {"connect", TLoadPhase::connect, TLoadPhase::socks},
    {"tls", TLoadPhase::tls, TLoadPhase::count},
    {"processing", TLoadPhase::request, TLoadPhase::wait},
    {"transfer", TLoadPhase::transfer, TLoadPhase::count},
};

void WriteFirstLoad(TExposition& e, const TProbeOutcome& o) {
  const TLoadTimes& t = o.run.loads.front();
  e.Family("probe_http_duration_seconds", "gauge", "Duration of the first load's final request by phase");
  for (const TProbePhase& p : kProbePhases)
    e.Sample("probe_http_duration_seconds", PhaseSeconds(t, p.first, p.second), {{"phase", p.name}});
  e.Gauge("probe_dns_lookup_time_seconds", "Returns the time taken for probe dns lookup in seconds",
          PhaseSeconds(t, TLoadPhase::dns));
  e.Gauge("probe_http_status_code", "Response HTTP status code", t.status);
  e.Gauge("probe_http_content_length", "Length of http content response",
          static_cast<double>(o.contentLength));
  e.Gauge("probe_http_uncompressed_body_length", "Length of uncompressed response body",
          static_cast<double>(t.decodedBytes));
  e.Gauge("probe_http_redirects", "The number of redirects", t.redirects);
  e.Gauge("probe_http_ssl", "Indicates if SSL was used for the final redirect", o.ssl ? 1 : 0);
  e.Gauge("probe_http_version", "Returns the version of HTTP of the probe response",
          HttpVersionNumber(t.protocol));
  if (o.certExpiry != 0)
    e.Gauge("probe_ssl_earliest_cert_expiry", "Returns last SSL chain expiry in unixtime",
            static_cast<double>(o.certExpiry));
  if (!t.ip.empty())
    e.Gauge("probe_ip_protocol", "Specifies whether probe ip protocol is IP4 or IP6",
            t.ip.find(':') == std::string::npos ? 4 : 6);
}

// A summary over samples in whole microseconds, written in seconds: the
// quantiles, then _sum and _count. The statistics run on the microseconds, so
// a median of whole figures comes out as a short decimal.
void WriteSummary(TExposition& e, const std::string& name, std::vector<double> us, const TLabels& labels,
                  std::initializer_list<double> quantiles) {
  std::sort(us.begin(), us.end());
  double sum = 0;
  for (double s : us) sum += s;
  for (double q : quantiles) {
    TLabels l = labels;
    l.emplace_back("quantile", FormatValue(q));
    e.Sample(name, us.empty() ? std::numeric_limits<double>::quiet_NaN() : app::Percentile(us, q * 100) / 1e6,
             l);
  }
  e.Sample(name + "_sum", sum / 1e6, labels);
  e.Sample(name + "_count", static_cast<double>(us.size()), labels);
}

void WriteStatistics(TExposition& e, const TProbeOutcome& o) {
  const std::vector<TLoadTimes> done = o.run.Completed();
  e.Gauge("tachyload_probe_loads_requested", "Loads the probe was asked for", o.loadsRequested);
  e.Gauge("tachyload_probe_loads_completed", "Loads that got their page", static_cast<double>(done.size()));

  e.Family("tachyload_load_duration_seconds", "summary", "Whole time of the completed loads");
  std::vector<double> totals;
  totals.reserve(done.size());
  for (const TLoadTimes& t : done) totals.push_back(static_cast<double>(app::TotalUs(t)));
  WriteSummary(e, "tachyload_load_duration_seconds", totals, {}, {0, 0.5, 0.95, 1});

  e.Family("tachyload_phase_duration_seconds", "summary",
           "Time of the completed loads by phase, redirects and authentication legs apart");
  for (size_t p = 0; p < http::kLoadPhaseCount; ++p) {
    const auto phase = static_cast<TLoadPhase>(p);
    if (phase == TLoadPhase::pane) continue;  // no page pane behind a probe
    std::vector<double> us;
    us.reserve(done.size());
    for (const TLoadTimes& t : done) us.push_back(static_cast<double>(app::Micros(t.Phase(phase))));
    WriteSummary(e, "tachyload_phase_duration_seconds", us, {{"phase", http::LoadPhaseName(phase)}},
                 {0.5, 0.95});
  }

  // Cold loads opened a connection, resumed ones resumed a TLS session on a new
  // one, warm ones reused a kept connection.
  std::array<std::vector<double>, 3> byKind;
  for (size_t i = 0; i < done.size(); ++i) {
    const size_t kind = done[i].reused ? 2 : o.run.TlsResumed(i) ? 1 : 0;
    byKind[kind].push_back(totals[i]);
  }
  const char* kinds[] = {"cold", "resumed", "warm"};
  e.Family("tachyload_loads", "gauge", "Completed loads by how they got their connection");
  for (size_t k = 0; k < byKind.size(); ++k)
    e.Sample("tachyload_loads", static_cast<double>(byKind[k].size()), {{"connection", kinds[k]}});
  e.Family("tachyload_load_median_seconds", "gauge",
           "Median whole time by how the loads got their connection");
  for (size_t k = 0; k < byKind.size(); ++k)
    if (!byKind[k].empty())
      e.Sample("tachyload_load_median_seconds", app::Summarize(byKind[k]).median / 1e6,
               {{"connection", kinds[k]}});
  e.Gauge("tachyload_load_outliers", "Completed loads beyond the inter-quartile fences",
          static_cast<double>(app::CountOutliers(totals)));
}

}  // namespace

double HttpVersionNumber(const char* protocol) {
  if (protocol == nullptr) return 0;
  if (std::strcmp(protocol, "h2") == 0) return 2;
  if (std::strcmp(protocol, "http/1.1") == 0) return 1.1;
  if (std::strcmp(protocol, "http/1.0") == 0) return 1;
  return 0;
}

std::string ProbeMetricsText(const TProbeOutcome& o) {
  TExposition e;
  e.Gauge("probe_success", "Displays whether or not the probe was a success", o.success ? 1 : 0);
  e.Gauge("probe_duration_seconds", "Returns how long the probe took to complete in seconds",
          o.durationSeconds);
  e.Gauge("probe_timeout_seconds", "Returns how long the probe had to complete in seconds", o.timeoutSeconds);
  if (!o.run.loads.empty()) WriteFirstLoad(e, o);
  WriteStatistics(e, o);
  if (!o.success)
    e.Gauge("tachyload_probe_failure_info", "Why the probe failed", 1,
            {{"reason", o.failureReason}, {"message", o.failureMessage}});
  return e.Text();
}

}  // namespace probe
