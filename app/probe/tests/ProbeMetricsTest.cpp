// The probe's exposition: the series dashboards read, their values from the
// loads, and the whole text as Prometheus' own checker reads it.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <string>

#include "app/probe/Exposition.h"
#include "app/probe/ProbeMetrics.h"
#include "testsupport/Process.h"

namespace {

using http::TLoadPhase;
using http::TLoadTimes;

TLoadTimes Load(bool reused, int64_t msEach) {
  TLoadTimes t;
  for (size_t p = 0; p < http::kLoadPhaseCount; ++p) t.phaseNs[p] = msEach * 1'000'000;
  t.phaseNs[static_cast<size_t>(TLoadPhase::pane)] = 0;
  t.status = 200;
  t.reused = reused;
  t.protocol = "http/1.1";
  t.ip = reused ? "" : "::1";
  t.decodedBytes = 612;
  return t;
}

probe::TProbeOutcome ThreeLoads() {
  probe::TProbeOutcome o;
  o.run = app::TUrlLoads("http://127.0.0.1/", {Load(false, 2), Load(true, 1), Load(true, 3)});
  o.loadsRequested = 3;
  o.success = true;
  o.durationSeconds = 0.25;
  o.timeoutSeconds = 9.5;
  o.contentLength = 612;
  o.certExpiry = 1'800'000'000;
  return o;
}

bool Has(const std::string& text, const std::string& line) {
  return text.find("\n" + line + "\n") != std::string::npos || text.rfind(line + "\n", 0) == 0;
}

TEST(ProbeMetrics, SeriesCarryTheFirstLoadAndTheStatistics) {
  const std::string text = probe::ProbeMetricsText(ThreeLoads());
  for (const char* line : {
           "probe_success 1",
           "probe_duration_seconds 0.25",
           "probe_timeout_seconds 9.5",
           // Five phases from nine: connect holds connect and socks, processing
           // request and wait.
           "probe_http_duration_seconds{phase=\"resolve\"} 0.002",
           "probe_http_duration_seconds{phase=\"connect\"} 0.004",
           "probe_http_duration_seconds{phase=\"tls\"} 0.002",
           "probe_http_duration_seconds{phase=\"processing\"} 0.004",
           "probe_http_duration_seconds{phase=\"transfer\"} 0.002",
           "probe_dns_lookup_time_seconds 0.002",
           "probe_http_status_code 200",
           "probe_http_content_length 612",
           "probe_http_uncompressed_body_length 612",
           "probe_http_version 1.1",
           "probe_ip_protocol 6",
           "probe_ssl_earliest_cert_expiry 1800000000",
           "tachyload_probe_loads_completed 3",
           // Totals 18, 9 and 27 ms.
           "tachyload_load_duration_seconds{quantile=\"0.5\"} 0.018",
           "tachyload_load_duration_seconds{quantile=\"1\"} 0.027",
           "tachyload_load_duration_seconds_count 3",
           "tachyload_phase_duration_seconds{phase=\"wait\",quantile=\"0.5\"} 0.002",
           "tachyload_phase_duration_seconds_count{phase=\"redirect\"} 3",
           "tachyload_loads{connection=\"cold\"} 1",
           "tachyload_loads{connection=\"warm\"} 2",
           "tachyload_load_median_seconds{connection=\"warm\"} 0.018",
       })
    EXPECT_TRUE(Has(text, line)) << line << "\nin:\n" << text;
  EXPECT_EQ(text.find("failure_info"), std::string::npos);
  EXPECT_EQ(text.find("phase=\"pane\""), std::string::npos);
}

TEST(ProbeMetrics, FailedProbeSaysWhyAndKeepsWhatTheLoadGot) {
  probe::TProbeOutcome o = ThreeLoads();
  o.run.error = "connect: \"refused\"\n\xff";
  o.success = false;
  o.failureReason = "connect";
  o.failureMessage = o.run.error;
  const std::string text = probe::ProbeMetricsText(o);
  EXPECT_TRUE(Has(text, "probe_success 0"));
  EXPECT_TRUE(Has(text, "tachyload_probe_loads_completed 2"));
  EXPECT_TRUE(Has(text,
                  "tachyload_probe_failure_info{reason=\"connect\",message=\"connect: \\\"refused\\\"\\n"
                  "\xef\xbf\xbd\"} 1"))
      << text;

  probe::TProbeOutcome none;  // a bad target: no load started
  EXPECT_EQ(probe::ProbeMetricsText(none).find("probe_ssl_earliest_cert_expiry"), std::string::npos);
  none.failureReason = "target";
  const std::string empty = probe::ProbeMetricsText(none);
  EXPECT_EQ(empty.find("probe_http_"), std::string::npos);
  EXPECT_TRUE(Has(empty, "tachyload_load_duration_seconds{quantile=\"0.5\"} NaN"));
}

TEST(ProbeMetrics, ValuesAndLabelsAreWrittenAsScrapersReadThem) {
  EXPECT_EQ(probe::FormatValue(0.1), "0.1");
  EXPECT_EQ(probe::FormatValue(-2), "-2");
  EXPECT_EQ(probe::FormatValue(1.8e9), "1800000000");
  EXPECT_EQ(probe::FormatValue(1e-7), "1e-07");
  EXPECT_EQ(probe::FormatValue(-0.0), "-0");
  EXPECT_EQ(probe::FormatValue(1.0 / 0.0), "+Inf");
  EXPECT_EQ(probe::EscapeLabelValue("a\\b\"c\nd"), "a\\\\b\\\"c\\nd");
  EXPECT_EQ(probe::EscapeLabelValue("\xc3\xa9\xc3"), "\xc3\xa9\xef\xbf\xbd");  // é, then a cut sequence
  EXPECT_EQ(probe::EscapeLabelValue("\xed\xa0\x80"), "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd");  // a surrogate
}

// Prometheus' own checker (promtool, from the prometheus package) finds no
// fault in the text of a good and of a failed probe.
TEST(ProbeMetrics, PromtoolAcceptsTheText) {
  if (!testsupport::ProgramInstalled("/usr/bin/promtool")) GTEST_SKIP() << "promtool is not installed";
  testsupport::TempDir dir("tl-promtool");
  probe::TProbeOutcome failed = ThreeLoads();
  failed.success = false;
  failed.failureReason = "status";
  failed.failureMessage = "404 \"Not Found\"\n\x80";
  for (const auto& outcome : {ThreeLoads(), failed, probe::TProbeOutcome{}}) {
    const std::string file = dir.Write("metrics.txt", probe::ProbeMetricsText(outcome));
    const auto [status, output] =
        testsupport::RunAndCapture({"/bin/sh", "-c", "promtool check metrics < " + file + " 2>&1"});
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << output;
  }
}

}  // namespace
