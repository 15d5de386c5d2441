// tachyload-cli's detailed measurement against a local nginx: the JSON details
// and statistics, warm-up loads, the exports and the comparison of two URLs.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <vector>

#include "app/tests/CliRun.h"
#include "testsupport/Nginx.h"
#include "testsupport/Process.h"

namespace {

using clitest::CliRun;
using testsupport::NginxServer;
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
      "load status conn  redir +dns +connect .* pane +total +bytes\n"
      "   1    200 cold +0 +[0-9]+\\.[0-9]{3} .*\n"
      "   2    200 cold .*\n"
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

TEST_F(CliMeasureTest, AnExportThatCannotBeWrittenFailsTheRun) {
  const CliRun r =
      clitest::RunCli({"-n", "1", "--export-csv", "/nonexistent/dir/x.csv", nginx.Url("/index.html")});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("cannot write /nonexistent/dir/x.csv"), std::string::npos) << r.err;
}

}  // namespace
