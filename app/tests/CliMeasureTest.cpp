// tachyload-cli's detailed measurement against a local nginx: the JSON details
// and statistics, warm-up loads, the exports and the comparison of two URLs.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <climits>
#include <csignal>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "app/Cli.h"
#include "app/tests/CliRun.h"
#include "platform/WinSock.h"
#include "testsupport/Nginx.h"
#include "testsupport/Process.h"
#include "testsupport/ScriptedPeer.h"
#include "testsupport/TestCa.h"

namespace {

using clitest::CliRun;
using testsupport::HttpResponse;
using testsupport::HttpScript;
using testsupport::Millis;
using testsupport::NginxServer;
using testsupport::Script;
using testsupport::ScriptedPeer;
using testsupport::TempDir;

const char* const kPhases[] = {"dns",      "connect", "socks", "tls",      "auth",
                               "redirect", "request", "wait",  "transfer", "pane"};

class CliMeasureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TL_SKIP_UNLESS_INSTALLED(NginxServer::kBinary);
    ASSERT_TRUE(nginx.Start());
  }
  NginxServer nginx;
};

// Every load has its object of integers whose phases add up to its total; a kept
// HTTP/1.1 connection makes every load after the first warm. Warm-up loads come
// first and are not counted.
TEST_F(CliMeasureTest, JsonDetailsAndStatsAfterWarmup) {
  const CliRun r = clitest::RunCli(
      {"--json", "--http-version", "1.1", "-n", "3", "--warmup", "2", nginx.Url("/index.html")});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const auto j = nlohmann::json::parse(r.out);
  EXPECT_EQ(j["load_ms"].size(), 3u);
  EXPECT_EQ(j["bytes"], 39);  // the warm-up pages are not counted either
  ASSERT_EQ(j["details"].size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    const auto& d = j["details"][i];
    EXPECT_EQ(d["load"], i + 1);
    EXPECT_EQ(d["status"], 200);
    EXPECT_EQ(d["redirects"], 0);
    // The warm-up left the connection open: even the first counted load is warm.
    EXPECT_EQ(d["reused"], true);
    ASSERT_EQ(d["phases_us"].size(), std::size(kPhases));
    int64_t sum = 0;
    for (const char* p : kPhases) {
      ASSERT_TRUE(d["phases_us"][p].is_number_integer()) << p;
      sum += d["phases_us"][p].get<int64_t>();
    }
    EXPECT_EQ(d["total_us"], sum);
    EXPECT_EQ(d["phases_us"]["dns"], 0);
    EXPECT_EQ(d["phases_us"]["connect"], 0);
    EXPECT_GT(d["header_bytes"].get<int64_t>(), 0);
    EXPECT_EQ(d["body_bytes"], 12);
    EXPECT_EQ(d["decoded_bytes"], 12);
  }
  const auto& s = j["stats"];
  for (const char* key : {"min", "median", "mean", "stddev", "p95", "max"}) {
    EXPECT_TRUE(s["total_us"][key].is_number_integer()) << key;
    EXPECT_TRUE(s["wait_us"][key].is_number_integer()) << key;
  }
  EXPECT_LE(s["total_us"]["min"], s["total_us"]["median"]);
  EXPECT_LE(s["total_us"]["median"], s["total_us"]["max"]);
  EXPECT_EQ(s["cold"]["count"], 0);
  EXPECT_EQ(s["warm"]["count"], 3);
}

// Each load says what it spoke: HTTP/2 by prior knowledge on nginx's clear-text
// "http2" port (one connection), HTTP/1.1 when a TLS server offers no "h2" (which
// -v notes), and the version asked for otherwise; the JSON, the CSV and the table agree.
TEST(CliProtocolTest, EachLoadReportsItsProtocol) {
  TL_SKIP_UNLESS_INSTALLED(NginxServer::kBinary);
  TL_SKIP_UNLESS_INSTALLED(testsupport::TestCa::kOpenSsl);
  testsupport::TestCa ca;
  ASSERT_TRUE(ca.Ok()) << ca.Error();
  NginxServer nginx;
  const uint16_t h2c = testsupport::FreePort(), tls = testsupport::FreePort();
  nginx.AddServerConfig("        listen 127.0.0.1:" + std::to_string(h2c) +
                        " http2;\n        listen 127.0.0.1:" + std::to_string(tls) +
                        " ssl;\n        ssl_certificate " + ca.CertFile(testsupport::TestCert::kGood) +
                        ";\n        ssl_certificate_key " + ca.KeyFile(testsupport::TestCert::kGood) + ";\n");
  ASSERT_TRUE(nginx.Start());
  TempDir dir("tlproto");
  struct Case {
    std::vector<std::string> flags;
    std::string url;
    const char* protocol;
    bool fallbackNote;
    bool warm;  // the loads after the first share its connection
  };
  const std::string h2cUrl = "http://127.0.0.1:" + std::to_string(h2c) + "/index.html";
  const std::string tlsUrl = "https://127.0.0.1:" + std::to_string(tls) + "/index.html";
  for (const Case& c :
       {Case{{"--http2"}, h2cUrl, "h2", false, true},
        Case{{"--http-version", "2", "--cacert", ca.CaFile()}, tlsUrl, "http/1.1", true, true},
        Case{{"--http-version", "1.1"}, nginx.Url("/index.html"), "http/1.1", false, true},
        Case{{}, nginx.Url("/index.html"), "http/1.0", false, false}}) {
    SCOPED_TRACE(c.url + " " + c.protocol);
    std::vector<std::string> args = c.flags;
    for (const std::string& a : {std::string("-n"), std::string("3"), c.url}) args.push_back(a);
    std::vector<std::string> json = args, verbose = args;
    json.insert(json.begin(), {"--json", "--export-csv", dir.File("p.csv")});
    verbose.insert(verbose.begin(), "-v");
    const CliRun j = clitest::RunCli(json);
    ASSERT_EQ(j.exitCode, 0) << j.err;
    const auto parsed = nlohmann::json::parse(j.out);
    for (const auto& d : parsed["details"]) EXPECT_EQ(d["protocol"], c.protocol);
    EXPECT_EQ(parsed["details"][2]["reused"], c.warm);
    const std::string csv = testsupport::ReadFile(dir.File("p.csv"));
    EXPECT_NE(csv.find(",false," + std::string(c.protocol) + ",127.0.0.1,ipv4,\n"), std::string::npos) << csv;
    const CliRun v = clitest::RunCli(verbose);
    ASSERT_EQ(v.exitCode, 0) << v.err;
    EXPECT_NE(v.out.find(std::string(" 200 ") + (c.warm ? "warm " : "cold ") + c.protocol), std::string::npos)
        << v.out;
    EXPECT_EQ(v.out.find("chose HTTP/1.1 in ALPN for 3 of 3 loads") != std::string::npos, c.fallbackNote)
        << v.out;
  }
}

// Each load names the address it reached and its family, the same in the JSON,
// the CSV and the -v table; the one attempt of a new connection is listed.
TEST_F(CliMeasureTest, EachLoadReportsTheAddressItReached) {
  if (!testsupport::IPv6LoopbackAvailable()) GTEST_SKIP() << "no IPv6 loopback here";
  TempDir dir("tladdr");
  const std::string port = std::to_string(nginx.Port());
  for (const auto& [host, ip, family] :
       {std::tuple<std::string, std::string, std::string>{"[::1]", "::1", "ipv6"},
        {"127.0.0.1", "127.0.0.1", "ipv4"}}) {
    SCOPED_TRACE(host);
    const std::string url = "http://" + host + ":" + port + "/index.html";
    const CliRun j = clitest::RunCli({"--json", "--export-csv", dir.File("a.csv"), "-n", "2", url});
    ASSERT_EQ(j.exitCode, 0) << j.err;
    const auto doc = nlohmann::json::parse(j.out);
    for (const auto& d : doc["details"]) {
      EXPECT_EQ(d["ip"], ip);
      EXPECT_EQ(d["family"], family);
      ASSERT_EQ(d["connect_attempts"].size(), 1u) << d;
      const auto& a = d["connect_attempts"][0];
      EXPECT_EQ(a["address"], ip);
      EXPECT_EQ(a["port"], nginx.Port());
      EXPECT_EQ(a["family"], family);
      EXPECT_EQ(a["result"], "won");
      EXPECT_LE(a["start_us"].get<int64_t>(), a["end_us"].get<int64_t>());
    }
    const std::string csv = testsupport::ReadFile(dir.File("a.csv"));
    EXPECT_NE(csv.find(",http/1.0," + ip + "," + family + ",\n"), std::string::npos) << csv;
    const CliRun v = clitest::RunCli({"-v", "-n", "1", url});
    ASSERT_EQ(v.exitCode, 0) << v.err;
    EXPECT_TRUE(std::regex_search(v.out, std::regex(" bytes  address\n   1    200 cold .* 12  " +
                                                    std::regex_replace(ip, std::regex("[.]"), "\\.") + "\n")))
        << v.out;
    EXPECT_EQ(v.out.find("Load 1:"), std::string::npos) << v.out;  // no attempt lost
  }
}

// "dual.test" has both loopback addresses, IPv6 ranked first.
int DualResolver(const std::string& name, bool, winapi::HostEntry& out) {
  if (name != "dual.test") return winapi::WSAHOST_NOT_FOUND;
  out.officialName = name;
  out.addrs = {htonl(INADDR_LOOPBACK)};
  out.addrs6 = {in6addr_loopback};
  return 0;
}

// The race as -v tells it, in this process, where the resolver hook stands in
// for the system's: nginx's second port listens on IPv4 only, so the IPv6
// attempt is refused and IPv4 wins.
TEST_F(CliMeasureTest, VerboseSaysWhatALostRaceCost) {
  if (!testsupport::IPv6LoopbackAvailable()) GTEST_SKIP() << "no IPv6 loopback here";
  const std::string port = std::to_string(nginx.Port2());
  std::vector<std::string> args = {
      "tachyload-cli", "--noproxy", "*", "-v", "-n", "1", "http://dual.test:" + port + "/other.html"};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  std::ostringstream out, err;
  winapi::SetResolverHookForTesting(&DualResolver);
  const int exitCode = app::RunCli(static_cast<int>(argv.size()), argv.data(), out, err);
  winapi::SetResolverHookForTesting(nullptr);
  ASSERT_EQ(exitCode, 0) << err.str();
  EXPECT_TRUE(
      std::regex_search(out.str(), std::regex("  127\\.0\\.0\\.1\nLoad 1: IPv6 attempt to \\[::1\\]:" + port +
                                              " was refused after [0-9.]+ ms; IPv4 won\n")))
      << out.str();
}

// Two URLs are measured in turn, each with its seven lines, its table and its
// summary; the comparison closes the run, and the exports hold both.
TEST_F(CliMeasureTest, TwoUrlsDetailsComparisonAndExports) {
  TempDir dir("tlexp");
  const std::string a = nginx.Url("/index.html"), b = nginx.Url("/dir/page.htm");
  const CliRun r = clitest::RunCli(
      {"-v", "-n", "2", a, b, "--export-csv", dir.File("x.csv"), "--export-markdown", dir.File("x.md")});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.err, "");  // no terminal: no progress bar
  const std::regex table(
      "load status conn  proto    redir +dns +connect .* pane +total +bytes  address\n"
      "   1    200 cold http/1.0 +0 +[0-9]+\\.[0-9]{3} .*\n"
      "   2    200 cold http/1.0 .*\n"
      "Time \\(mean ± σ\\): .*\n");
  std::smatch m;
  EXPECT_EQ(r.out.rfind("URL: " + a + "\n", 0), 0u) << r.out;
  const size_t second = r.out.find("URL: " + b + "\n");
  ASSERT_NE(second, std::string::npos) << r.out;
  EXPECT_TRUE(std::regex_search(r.out.cbegin(), r.out.cbegin() + static_cast<ptrdiff_t>(second), m, table))
      << r.out;
  EXPECT_TRUE(std::regex_search(r.out.cbegin() + static_cast<ptrdiff_t>(second), r.out.cend(), m, table))
      << r.out;
  EXPECT_TRUE(std::regex_search(r.out, std::regex("Throughput: [0-9.]+ (B|kB|MB)/s\n")));
  EXPECT_TRUE(std::regex_search(
      r.out, std::regex("\n(" + std::regex_replace(a, std::regex("[.]"), "\\.") + "|" +
                        std::regex_replace(b, std::regex("[.]"), "\\.") +
                        ") is [0-9]+\\.[0-9]{2} ± [0-9]+\\.[0-9]{2} times faster than http://[^\n]+\n$")))
      << r.out;

  const std::string csv = testsupport::ReadFile(dir.File("x.csv"));
  EXPECT_EQ(csv.rfind("url,load,status,reused,redirects,dns_us,", 0), 0u) << csv;
  EXPECT_NE(csv.find("\n" + a + ",2,200,false,0,"), std::string::npos) << csv;
  EXPECT_NE(csv.find("\n" + b + ",2,200,false,0,"), std::string::npos) << csv;
  const std::string md = testsupport::ReadFile(dir.File("x.md"));
  EXPECT_NE(md.find("| `" + a + "` |"), std::string::npos) << md;
  EXPECT_NE(md.find("| `" + b + "` |"), std::string::npos) << md;
  EXPECT_NE(md.find(" | 1.00 |"), std::string::npos) << md;

  // With --json both runs and the comparison make one object.
  const CliRun j = clitest::RunCli({"--json", "-n", "1", a, b});
  ASSERT_EQ(j.exitCode, 0) << j.err;
  const auto doc = nlohmann::json::parse(j.out);
  ASSERT_EQ(doc["runs"].size(), 2u);
  EXPECT_EQ(doc["runs"][1]["url"], b);
  ASSERT_EQ(doc["comparison"].size(), 1u);
  EXPECT_GT(doc["comparison"][0]["ratio"].get<double>(), 0);
}

// Before the first load: the peer is never reached.
TEST(CliExportTest, AnExportThatCannotBeWrittenFailsBeforeTheFirstLoad) {
  ScriptedPeer peer;
  for (const char* option : {"--export-csv", "--export-markdown", "-o"}) {
    const CliRun r =
        clitest::RunCli({"-n", "1", option, "/nonexistent/dir/x.csv", "http://" + peer.Address() + "/"});
    EXPECT_EQ(r.exitCode, 1) << option;
    EXPECT_EQ(r.err, "tachyload: cannot write /nonexistent/dir/x.csv: No such file or directory\n") << option;
  }
  EXPECT_EQ(peer.AcceptedCount(), 0u);
}

std::string PeerUrl(const ScriptedPeer& peer) {
  return "http://" + peer.Address() + "/";
}

Script Page(int status) {
  return HttpScript({HttpResponse(status, "page\n", {"Connection: close"})}).Close();
}

// What one run's JSON object must hold whatever happened: the loads in load_ms
// add up to time_ms and have one details entry each; only a failed last load
// has an error, and the statistics are of the others, null when there are none.
void ExpectFiguresAgree(const nlohmann::json& j, size_t wantLoads, bool lastFailed) {
  ASSERT_TRUE(j["loads"].is_number_integer());
  EXPECT_TRUE(
      std::regex_match(j["started_at"].get<std::string>(),
                       std::regex("[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3}Z")))
      << j["started_at"];
  ASSERT_EQ(j["load_ms"].size(), wantLoads);
  int64_t sum = 0;
  for (const auto& ms : j["load_ms"]) sum += ms.get<int64_t>();
  EXPECT_EQ(j["time_ms"], sum);
  ASSERT_EQ(j["details"].size(), wantLoads);
  int64_t smallest = INT64_MAX, largest = 0;
  for (size_t i = 0; i < wantLoads; ++i) {
    const auto& d = j["details"][i];
    EXPECT_EQ(d["load"], i + 1);
    const bool failed = lastFailed && i + 1 == wantLoads;
    EXPECT_EQ(d["error"].is_string(), failed) << i;
    if (failed) continue;
    smallest = std::min(smallest, d["total_us"].get<int64_t>());
    largest = std::max(largest, d["total_us"].get<int64_t>());
  }
  const auto& s = j["stats"];
  const size_t completed = lastFailed ? wantLoads - 1 : wantLoads;
  EXPECT_EQ(s["count"], completed);
  EXPECT_EQ(s["cold"]["count"].get<size_t>() + s["resumed"]["count"].get<size_t>() +
                s["warm"]["count"].get<size_t>(),
            completed);
  if (completed == 0) {
    EXPECT_TRUE(s["total_us"].is_null());
    EXPECT_TRUE(s["wait_us"].is_null());
    EXPECT_TRUE(s["cold"]["median_us"].is_null());
  } else {
    EXPECT_EQ(s["total_us"]["min"], smallest);
    EXPECT_EQ(s["total_us"]["max"], largest);
  }
}

// The interrupted run: Ctrl-C while the second load waits for its answer.
std::string InterruptedRun(const std::vector<std::string>& env) {
  ScriptedPeer peer({Page(200), Script().ExpectRequest().Pause("never")});
  testsupport::ChildProcess cli;
  testsupport::ProcessOptions options;
  options.argv = {TL_CLI_PATH, "--json", "-n", "3", PeerUrl(peer)};
  options.env = env;
  options.pipeStdout = true;
  if (!cli.Start(options) || !peer.WaitForReceived(1, "\r\n\r\n")) return "";
  kill(cli.Pid(), SIGINT);
  const std::optional<std::string> line = cli.ReadLine(Millis(10000));
  peer.Resume("never");
  return line.value_or("");
}

TEST(CliJsonTest, FiguresAgreeForEveryWayARunEnds) {
  struct Case {
    const char* name;
    std::function<std::string(const std::vector<std::string>& env)> run;
    std::vector<std::pair<size_t, bool>> want;  // per URL: loads started, last one failed
    std::string error;                          // in the object's error; empty: null
  };
  const Case cases[] = {
      {"success",
       [](const auto& env) {
         ScriptedPeer peer({Page(200), Page(200), Page(200)});
         return clitest::RunCli({"--json", "-n", "3", PeerUrl(peer)}, env).out;
       },
       {{3, false}},
       ""},
      {"failure on the second load",
       [](const auto& env) {
         ScriptedPeer peer({Page(200), Page(404)});
         return clitest::RunCli({"--json", "-n", "3", PeerUrl(peer)}, env).out;
       },
       {{2, true}},
       "404 Not Found"},
      {"timeout on the first load",
       [](const auto& env) {
         ScriptedPeer peer({Script().ExpectRequest().Pause("never")});
         const std::string out = clitest::RunCli({"--json", "--timeout", "0.2", PeerUrl(peer)}, env).out;
         peer.Resume("never");
         return out;
       },
       {{1, true}},
       "load timed out after 0.2 s"},
      {"interrupted", InterruptedRun, {{2, true}}, "interrupted after 1 of 3 loads"},
      {"two URLs",
       [](const auto& env) {
         ScriptedPeer a({Page(200), Page(200)}), b({Page(200), Page(200)});
         return clitest::RunCli({"--json", "-n", "2", PeerUrl(a), PeerUrl(b)}, env).out;
       },
       {{2, false}, {2, false}},
       ""},
  };
  for (const char* locale : {"C", "de_DE.UTF-8"}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.name) + " in " + locale);
      const std::string out = c.run({"LC_ALL=" + std::string(locale)});
      nlohmann::json doc;
      ASSERT_NO_THROW(doc = nlohmann::json::parse(out)) << out;
      const bool several = c.want.size() > 1;
      if (several) {
        ASSERT_EQ(doc["runs"].size(), c.want.size());
        EXPECT_TRUE(doc["comparison"][0]["clear"].is_boolean());
      }
      for (size_t u = 0; u < c.want.size(); ++u) {
        const auto& j = several ? doc["runs"][u] : doc;
        ExpectFiguresAgree(j, c.want[u].first, c.want[u].second);
        if (c.error.empty())
          EXPECT_TRUE(j["error"].is_null());
        else
          EXPECT_NE(j["error"].get<std::string>().find(c.error), std::string::npos) << j["error"];
      }
    }
  }
}

}  // namespace
