// The probe server as Prometheus uses it: a real Prometheus, with its own
// configuration and storage in a temporary folder, scrapes tachyload-cli
// --serve for an nginx page and a refused port through the usual relabelling
// of __param_target; its HTTP API then holds the results.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <map>
#include <nlohmann/json.hpp>
#include <string>

#include "testsupport/Nginx.h"
#include "testsupport/Process.h"
#include "testsupport/RawClient.h"
#include "testsupport/ScriptedPeer.h"

#ifdef TL_CLI_PATH

namespace {

using testsupport::Millis;

constexpr const char* kPrometheus = "/usr/bin/prometheus";

std::string HttpBody(uint16_t port, const std::string& target) {
  testsupport::RawClient c;
  if (!c.Connect(port) || !c.Send("GET " + target + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n")) return {};
  const std::string r = c.ReadToEnd(Millis(10000));
  const size_t body = r.find("\r\n\r\n");
  return body == std::string::npos ? std::string() : r.substr(body + 4);
}

// The instant vector of an expression: instance label -> value.
std::map<std::string, std::string> Query(uint16_t port, const std::string& expr) {
  std::string escaped;
  for (char c : expr) {
    const bool plain = std::isalnum(static_cast<unsigned char>(c)) || c == '_';
    char hex[4];
    std::snprintf(hex, sizeof hex, "%%%02X", static_cast<unsigned char>(c));
    escaped += plain ? std::string(1, c) : std::string(hex);
  }
  std::map<std::string, std::string> out;
  const auto j = nlohmann::json::parse(HttpBody(port, "/api/v1/query?query=" + escaped), nullptr, false);
  if (j.is_discarded() || j.value("status", "") != "success") return out;
  for (const auto& r : j["data"]["result"])
    out[r["metric"].value("instance", "") + r["metric"].value("phase", "")] =
        r["value"][1].get<std::string>();
  return out;
}

TEST(ProbePrometheus, PrometheusStoresSuccessPhasesAndTheReasonOfAFailure) {
  TL_SKIP_UNLESS_INSTALLED(kPrometheus);
  TL_SKIP_UNLESS_INSTALLED(testsupport::NginxServer::kBinary);
  testsupport::NginxServer nginx;
  ASSERT_TRUE(nginx.Start());
  testsupport::RefusedPort refused;
  testsupport::TempDir dir("tl-prometheus");

  testsupport::ChildProcess probe;
  testsupport::ProcessOptions probeOptions;
  probeOptions.argv = {TL_CLI_PATH, "--serve", "127.0.0.1:0"};
  probeOptions.logPath = dir.File("probe.log");
  probeOptions.pipeStdout = true;
  ASSERT_TRUE(probe.Start(probeOptions)) << probe.Error();
  const std::optional<std::string> line = probe.ReadLine(Millis(10000));
  ASSERT_TRUE(line && line->find("listening on 127.0.0.1:") != std::string::npos) << line.value_or("");
  const std::string probeAddress = line->substr(line->rfind(' ') + 1);

  const std::string good = nginx.Url("/");
  const std::string bad = "http://127.0.0.1:" + std::to_string(refused.Port()) + "/";
  const std::string config = dir.Write("prometheus.yml", R"(global:
  scrape_interval: 1s
  scrape_timeout: 1s
scrape_configs:
  - job_name: tachyload
    metrics_path: /probe
    params:
      module: [http_2xx]
    static_configs:
      - targets: [")" + good + "\", \"" + bad + R"("]
    relabel_configs:
      - source_labels: [__address__]
        target_label: __param_target
      - source_labels: [__param_target]
        target_label: instance
      - target_label: __address__
        replacement: )" + probeAddress + "\n");

  const uint16_t webPort = testsupport::FreePort();
  testsupport::ChildProcess prometheus;
  testsupport::ProcessOptions options;
  options.argv = {kPrometheus, "--config.file=" + config, "--storage.tsdb.path=" + dir.File("data"),
                  "--web.listen-address=127.0.0.1:" + std::to_string(webPort)};
  options.logPath = dir.File("prometheus.log");
  ASSERT_TRUE(prometheus.Start(options)) << prometheus.Error();
  ASSERT_EQ(testsupport::WaitForPort(webPort, Millis(30000), &prometheus), testsupport::WaitResult::kReady)
      << prometheus.Log();

  std::map<std::string, std::string> success;
  const auto bothScraped = [&] {
    success = Query(webPort, "probe_success");
    return success.size() == 2;
  };
  ASSERT_EQ(testsupport::WaitUntil(bothScraped, Millis(60000), &prometheus), testsupport::WaitResult::kReady)
      << prometheus.Log() << probe.Log();
  EXPECT_EQ(success[good], "1");
  EXPECT_EQ(success[bad], "0");

  const auto phases = Query(webPort, "probe_http_duration_seconds{instance=\"" + good + "\"}");
  for (const char* phase : {"resolve", "connect", "tls", "processing", "transfer"})
    EXPECT_TRUE(phases.contains(good + phase)) << phase;
  const auto why = Query(webPort, "tachyload_probe_failure_info{reason=\"connect\"}");
  EXPECT_TRUE(why.contains(bad)) << "the refused target's reason is stored";
  EXPECT_FALSE(why.contains(good));
}

}  // namespace

#endif
