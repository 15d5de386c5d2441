// The probe server on its own listening socket, scraped as Prometheus scrapes
// it, probing a real nginx, a refused port and a peer that never answers.
#include <gtest/gtest.h>

#include <atomic>
#include <ctime>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/probe/ProbeServer.h"
#include "app/probe/WebConfig.h"
#include "core/SysUtils.h"
#include "testsupport/Nginx.h"
#include "testsupport/Process.h"
#include "testsupport/RawClient.h"
#include "testsupport/ScriptedPeer.h"
#include "testsupport/TestCa.h"

namespace {

using probe::TProbeServer;
using probe::TServeOptions;
using testsupport::Millis;

std::string Scrape(uint16_t port, const std::string& request) {
  testsupport::RawClient c;
  if (!c.Connect(port) || !c.Send(request)) return {};
  return c.ReadToEnd(Millis(60000));
}

std::string Get(uint16_t port, const std::string& target, const std::string& fields = {}) {
  return Scrape(port, "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + fields + "\r\n");
}

std::string ProbeTarget(const std::string& url) {
  std::string escaped;
  for (char c : url) escaped += c == ':' ? "%3A" : c == '/' ? "%2F" : std::string(1, c);
  return "/probe?target=" + escaped;
}

bool HasLine(const std::string& text, const std::string& line) {
  return text.find("\n" + line + "\n") != std::string::npos;
}

int Status(const std::string& response) {
  return response.size() > 12 ? std::stoi(response.substr(9, 3)) : 0;
}

TEST(ProbeServer, GoodTargetSucceedsRefusedOneFailsWithItsReason) {
  TL_SKIP_UNLESS_INSTALLED(testsupport::NginxServer::kBinary);
  testsupport::NginxServer nginx;
  ASSERT_TRUE(nginx.Start());
  testsupport::RefusedPort refused;
  TServeOptions o;
  o.port = "0";
  TProbeServer server(o, {});

  const std::string good = Get(server.Port(), ProbeTarget(nginx.Url("/")) + "&loads=3",
                               "X-Prometheus-Scrape-Timeout-Seconds: 20\r\n");
  EXPECT_EQ(Status(good), 200) << good;
  EXPECT_NE(good.find("Content-Type: text/plain; version=0.0.4"), std::string::npos);
  EXPECT_TRUE(HasLine(good, "probe_success 1")) << good;
  EXPECT_TRUE(HasLine(good, "probe_http_status_code 200"));
  EXPECT_TRUE(HasLine(good, "probe_timeout_seconds 19.5"));
  EXPECT_TRUE(HasLine(good, "tachyload_probe_loads_completed 3"));
  for (const char* phase : {"resolve", "connect", "tls", "processing", "transfer"})
    EXPECT_NE(good.find("probe_http_duration_seconds{phase=\"" + std::string(phase) + "\"} "),
              std::string::npos);
  EXPECT_TRUE(nginx.WaitForAccessLines(3));

  const std::string bad =
      Get(server.Port(), ProbeTarget("http://127.0.0.1:" + std::to_string(refused.Port()) + "/"));
  EXPECT_EQ(Status(bad), 200) << bad;
  EXPECT_TRUE(HasLine(bad, "probe_success 0")) << bad;
  EXPECT_NE(bad.find("tachyload_probe_failure_info{reason=\"connect\""), std::string::npos) << bad;

  // Probes one after the other share one worker thread: a thread that ended
  // would leave part of its message queue behind.
  for (int i = 0; i < 20; ++i)
    EXPECT_TRUE(HasLine(Get(server.Port(), ProbeTarget(nginx.Url("/"))), "probe_success 1"));
  const std::string metrics = Get(server.Port(), "/metrics");
  EXPECT_TRUE(HasLine(metrics, "tachyload_probes_total 22")) << metrics;
  EXPECT_TRUE(HasLine(metrics, "tachyload_probe_failures_total{reason=\"connect\"} 1")) << metrics;
  EXPECT_TRUE(HasLine(metrics, "tachyload_probe_workers 1")) << metrics;
}

// The first load's TLS: probe_http_ssl, and the earliest end of validity
// among the certificates the server showed, for a good and an expired one.
TEST(ProbeServer, HttpsTargetsReportTheirCertificatesEnd) {
  TL_SKIP_UNLESS_INSTALLED(testsupport::NginxServer::kBinary);
  TL_SKIP_UNLESS_INSTALLED(testsupport::TestCa::kOpenSsl);
  testsupport::TestCa ca;
  ASSERT_TRUE(ca.Ok()) << ca.Error();
  testsupport::NginxServer nginx;
  const uint16_t good = testsupport::FreePort(), expired = testsupport::FreePort();
  nginx.AddHttpConfig(ca.NginxServerBlock(good, testsupport::TestCert::kGood, nginx.Root()) +
                      ca.NginxServerBlock(expired, testsupport::TestCert::kExpired, nginx.Root()));
  ASSERT_TRUE(nginx.Start());
  probe::TProbeModule trusting, insecure;
  trusting.caFile = ca.CaFile();
  insecure.insecure = true;
  TServeOptions o;
  o.port = "0";
  TProbeServer server(o, {{"trusting", trusting}, {"insecure", insecure}});
  const auto expiry = [](const std::string& text) {
    const std::string name = "\nprobe_ssl_earliest_cert_expiry ";
    const size_t at = text.find(name);
    return at == std::string::npos ? 0.0 : std::stod(text.substr(at + name.size()));
  };
  const double now = static_cast<double>(std::time(nullptr));

  const std::string ok =
      Get(server.Port(), ProbeTarget("https://127.0.0.1:" + std::to_string(good) + "/") + "&module=trusting");
  EXPECT_TRUE(HasLine(ok, "probe_success 1")) << ok;
  EXPECT_TRUE(HasLine(ok, "probe_http_ssl 1"));
  EXPECT_GT(expiry(ok), now) << ok;

  const std::string old = Get(
      server.Port(), ProbeTarget("https://127.0.0.1:" + std::to_string(expired) + "/") + "&module=insecure");
  EXPECT_TRUE(HasLine(old, "probe_success 1")) << old;
  EXPECT_GT(expiry(old), 0) << old;
  EXPECT_LT(expiry(old), now) << old;
}

// The module decides which statuses are a success, an error status too; a
// load that got one is complete and the next load follows.
TEST(ProbeServer, ValidStatusCodesOfTheModuleDecideSuccess) {
  TL_SKIP_UNLESS_INSTALLED(testsupport::NginxServer::kBinary);
  testsupport::NginxServer nginx;
  ASSERT_TRUE(nginx.Start());
  probe::TProbeModule gone;
  gone.validStatusCodes = {404};
  TServeOptions o;
  o.port = "0";
  TProbeServer server(o, {{"gone", gone}});
  const std::string missing = ProbeTarget(nginx.Url("/nope")) + "&loads=3";
  const std::string expected = Get(server.Port(), missing + "&module=gone");
  EXPECT_TRUE(HasLine(expected, "probe_success 1")) << expected;
  EXPECT_TRUE(HasLine(expected, "probe_http_status_code 404"));
  EXPECT_TRUE(HasLine(expected, "tachyload_probe_loads_completed 3"));
  const std::string plain = Get(server.Port(), missing);
  EXPECT_TRUE(HasLine(plain, "probe_success 0")) << plain;
  EXPECT_NE(plain.find("reason=\"status\""), std::string::npos);
  const std::string found = Get(server.Port(), ProbeTarget(nginx.Url("/")) + "&module=gone");
  EXPECT_TRUE(HasLine(found, "probe_success 0")) << found;
  EXPECT_NE(found.find("status 200 is not a valid status"), std::string::npos);
}

TEST(ProbeServer, BadRequestsGetAClearError) {
  TServeOptions o;
  o.port = "0";
  o.limits.requestLine = 1024;
  TProbeServer server(o, {{"http_2xx", {}}});
  const struct {
    std::string request;
    int status;
    std::string says;
  } cases[] = {
      {"GET /probe?target=ftp%3A%2F%2Fx%2F HTTP/1.1\r\n\r\n", 400, "only http:// and https://"},
      {"GET /probe HTTP/1.1\r\n\r\n", 400, "target"},
      {"GET /probe?target=http%3A%2F%2F%2F HTTP/1.1\r\n\r\n", 400, "names no host"},
      {"GET /probe?target=http%3A%2F%2Fa%0A%2F HTTP/1.1\r\n\r\n", 400, "control"},
      {"GET /probe?target=a&target=b HTTP/1.1\r\n\r\n", 400, "once"},
      {"GET /probe?target=http%3A%2F%2Fx%2F&module=nope HTTP/1.1\r\n\r\n", 400, "unknown module: nope"},
      {"GET /probe?target=http%3A%2F%2Fx%2F&loads=0 HTTP/1.1\r\n\r\n", 400, "loads must be"},
      {"GET /probe?target=http%3A%2F%2Fx%2F&loads=101 HTTP/1.1\r\n\r\n", 400, "loads must be"},
      {"GET / HTTP/1.1\r\n\r\n", 404, "/probe or /metrics"},
      {"DELETE /metrics HTTP/1.1\r\n\r\n", 405, "GET and HEAD"},
      {"GET /" + std::string(2000, 'a') + " HTTP/1.1\r\n\r\n", 414, "request line"},
      {"GET /metrics HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc", 400, "no body"},
  };
  for (const auto& c : cases) {
    const std::string r = Scrape(server.Port(), c.request);
    EXPECT_EQ(Status(r), c.status) << c.request.substr(0, 80) << "\n" << r;
    EXPECT_NE(r.find(c.says), std::string::npos) << r;
  }
  const std::string head = Scrape(server.Port(), "HEAD /metrics HTTP/1.1\r\n\r\n");
  EXPECT_EQ(Status(head), 200);
  EXPECT_EQ(head.find("tachyload_"), std::string::npos) << "a HEAD answer has no body";
  EXPECT_TRUE(HasLine(server.MetricsText(), "tachyload_scrape_errors_total{status=\"400\"} 9"))
      << server.MetricsText();
}

// A scraper that never finishes its request is answered 408 at the request
// wait; connections beyond the cap get 503 at once; neither stops /metrics.
TEST(ProbeServer, SlowAndSurplusScrapersAreCutOff) {
  TServeOptions o;
  o.port = "0";
  o.requestWaitSeconds = 0.3;
  o.maxConnections = 3;
  TProbeServer server(o, {});
  testsupport::RawClient slow;
  ASSERT_TRUE(slow.Connect(server.Port()));
  ASSERT_TRUE(slow.Send("GET /metr"));
  const std::string cut = slow.ReadToEnd();
  EXPECT_EQ(Status(cut), 408) << cut;

  std::vector<std::unique_ptr<testsupport::RawClient>> idle;
  for (int i = 0; i < 3; ++i) {
    idle.push_back(std::make_unique<testsupport::RawClient>());
    ASSERT_TRUE(idle.back()->Connect(server.Port()));
  }
  ASSERT_EQ(
      testsupport::WaitUntil(
          [&] { return server.MetricsText().find("tachyload_connections_total 4") != std::string::npos; },
          Millis(10000)),
      testsupport::WaitResult::kReady);
  EXPECT_EQ(Status(Get(server.Port(), "/metrics")), 503);
  idle.clear();
  ASSERT_EQ(
      testsupport::WaitUntil([&] { return Status(Get(server.Port(), "/metrics")) == 200; }, Millis(10000)),
      testsupport::WaitResult::kReady);
}

// A target that never answers holds its own probe only: another target's probe
// and /metrics are answered meanwhile, a second scrape of the same target waits
// for the first and gives up at its own timeout, and the held probe ends when
// the target goes away.
TEST(ProbeServer, SilentTargetHoldsOnlyItsOwnProbe) {
  TL_SKIP_UNLESS_INSTALLED(testsupport::NginxServer::kBinary);
  testsupport::NginxServer nginx;
  ASSERT_TRUE(nginx.Start());
  auto silent = std::make_unique<testsupport::ScriptedPeer>();
  const std::string silentProbe = ProbeTarget("http://" + silent->Address() + "/");
  TServeOptions o;
  o.port = "0";
  TProbeServer server(o, {});

  std::atomic<bool> heldDone{false};
  std::string held;
  std::thread first([&] {
    held = Get(server.Port(), silentProbe, "X-Prometheus-Scrape-Timeout-Seconds: 120\r\n");
    heldDone = true;
  });
  ASSERT_TRUE(silent->WaitForReceived(0, "\r\n\r\n"));

  const std::string other = Get(server.Port(), ProbeTarget(nginx.Url("/")));
  EXPECT_TRUE(HasLine(other, "probe_success 1")) << other;
  const std::string metrics = Get(server.Port(), "/metrics");
  EXPECT_TRUE(HasLine(metrics, "tachyload_probes_running 1")) << metrics;
  const std::string second = Get(server.Port(), silentProbe, "X-Prometheus-Scrape-Timeout-Seconds: 1\r\n");
  EXPECT_NE(second.find("reason=\"busy\""), std::string::npos) << second;
  EXPECT_EQ(silent->AcceptedCount(), 1u) << "the second scrape did not load the target";
  EXPECT_FALSE(heldDone);

  silent.reset();
  first.join();
  EXPECT_TRUE(HasLine(held, "probe_success 0")) << held;
}

// With users configured, every path asks for one of their logins; a matching
// one is let through, anything else gets 401 and the challenge.
TEST(ProbeServer, LoginIsAskedOfEveryScrapeWhenUsersAreGiven) {
  TServeOptions o;
  o.port = "0";
  // "s3cret", bcrypt at the lowest cost.
  o.basicAuthUsers = {{"prom", "$2b$04$abcdefghijklmnopqrstuuLZYjhNQAOdpbzt4WxWlUHjv1wsyH5DG"}};
  TProbeServer server(o, {});
  const struct {
    std::string authorization;
    int status;
  } cases[] = {
      {"", 401},
      {"Authorization: Basic cHJvbTpzM2NyZXQ=\r\n", 200},  // prom:s3cret
      {"Authorization: basic cHJvbTpzM2NyZXQ=\r\n", 200},  // the scheme in any case
      {"Authorization: Basic cHJvbTpzM2NyZXQ=\r\n", 200},  // remembered now
      {"Authorization: Basic cHJvbTp3cm9uZw==\r\n", 401},  // prom:wrong
      {"Authorization: Basic b3RoZXI6czNjcmV0\r\n", 401},  // other:s3cret
      {"Authorization: Basic cHJvbXMzY3JldA==\r\n", 401},  // no colon
      {"Authorization: Basic !!!!\r\n", 401},
      {"Authorization: Bearer cHJvbTpzM2NyZXQ=\r\n", 401},
  };
  for (const auto& c : cases) {
    const std::string r = Get(server.Port(), "/metrics", c.authorization);
    EXPECT_EQ(Status(r), c.status) << c.authorization << r;
    if (c.status == 401) {
      EXPECT_NE(r.find("WWW-Authenticate: Basic realm=\"tachyload\""), std::string::npos);
    }
  }
  EXPECT_EQ(Status(Get(server.Port(), "/probe?target=http%3A%2F%2F127.0.0.1%3A1%2F")), 401);
}

TEST(ProbeServer, WebConfigTakesBcryptUsersAndRefusesTheRest) {
  const auto users = probe::ParseWebConfig("basic_auth_users:\n  prom: $2b$04$abc\n  other: $2y$10$xyz\n");
  EXPECT_EQ(users.basicAuthUsers.size(), 2u);
  EXPECT_TRUE(probe::ParseWebConfig("").basicAuthUsers.empty());
  // Relative names start from the file's directory, absolute ones stay.
  const auto tls =
      probe::ParseWebConfig("tls_server_config: {cert_file: a.crt, key_file: /k/b.key}", "/etc/tl");
  EXPECT_EQ(tls.tlsCertFile, "/etc/tl/a.crt");
  EXPECT_EQ(tls.tlsKeyFile, "/k/b.key");
  for (const auto& [yaml, says] : std::vector<std::pair<std::string, std::string>>{
           {"basic_auth_users: {prom: plaintext}", "must be a bcrypt hash"},
           {"tls_server_config: {cert_file: a}", "line 1: tls_server_config needs cert_file and key_file"},
           {"tls_server_config: {cert_file: a, key_file: b, client_auth_type: RequireAndVerifyClientCert}",
            "unsupported option tls_server_config.client_auth_type"},
           {"tls_server_config: [a, b]", "tls_server_config must be a mapping"},
           {"http_server_config: {}", "unknown or unsupported option http_server_config"},
           {"basic_auth_users: [prom]", "must map users"},
           {"basic_auth_users: {a: [", "line 1"},
       }) {
    try {
      probe::ParseWebConfig(yaml);
      ADD_FAILURE() << "accepted: " << yaml;
    } catch (const core::Exception& e) {
      EXPECT_NE(e.Message().find(says), std::string::npos) << yaml << "\nsaid: " << e.Message();
    }
  }
}

TEST(ProbeServer, TimeoutComesFromTheScrapeLessTheMarginCappedByTheModule) {
  TServeOptions o;
  EXPECT_DOUBLE_EQ(probe::ProbeTimeout(o, std::nullopt, 0), 9.5);
  EXPECT_DOUBLE_EQ(probe::ProbeTimeout(o, 4.0, 0), 3.5);
  EXPECT_DOUBLE_EQ(probe::ProbeTimeout(o, 4.0, 2), 2);
  EXPECT_DOUBLE_EQ(probe::ProbeTimeout(o, 0.2, 0), 0.1);
}

}  // namespace
