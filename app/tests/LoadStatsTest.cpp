// Statistics of load times and the reports built on them, on known samples.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <climits>
#include <cmath>
#include <sstream>

#include "app/CliProgress.h"
#include "app/ConnectText.h"
#include "app/LoadReport.h"
#include "app/Stats.h"

namespace app {
namespace {

TEST(LoadStats, SummaryOfKnownSamples) {
  struct Case {
    const char* name;
    std::vector<double> samples;
    TSummary want;
    size_t outliers;  // beyond the inter-quartile fences
  };
  // Standard deviations are of the sample (n - 1); percentiles interpolate
  // between the two nearest ranks.
  const Case cases[] = {
      {"none", {}, {0, 0, 0, 0, 0, 0, 0}, 0},
      {"one", {7}, {1, 7, 7, 7, 0, 7, 7}, 0},
      {"odd count, unsorted", {5, 1, 3}, {3, 1, 3, 3, 2, 4.8, 5}, 0},
      {"even count", {4, 1, 3, 2}, {4, 1, 2.5, 2.5, 1.2909944487358056, 3.85, 4}, 0},
      {"equal values", {2, 2, 2, 2, 2}, {5, 2, 2, 2, 0, 2, 2}, 0},
      {"one outlier",
       {10, 10, 10, 10, 10, 10, 10, 10, 10, 110},
       {10, 10, 10, 20, 31.622776601683793, 65, 110},
       1},
      // Q1 2.75, Q3 6.25: the fences are -2.5 and 11.5.
      {"outliers on both sides",
       {30, 2, 3, 4, 5, 6, 7, -20},
       {8, -20, 4.5, 4.625, 13.45826883369477, 21.95, 30},
       2},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    const TSummary s = Summarize(k.samples);
    EXPECT_EQ(s.count, k.want.count);
    EXPECT_DOUBLE_EQ(s.min, k.want.min);
    EXPECT_DOUBLE_EQ(s.median, k.want.median);
    EXPECT_DOUBLE_EQ(s.mean, k.want.mean);
    EXPECT_NEAR(s.stddev, k.want.stddev, 1e-12);
    EXPECT_NEAR(s.p95, k.want.p95, 1e-9);
    EXPECT_DOUBLE_EQ(s.max, k.want.max);
    EXPECT_EQ(CountOutliers(k.samples), k.outliers);
  }
}

TEST(LoadStats, PercentileAtTheEndsAndBetweenRanks) {
  const std::vector<double> sorted = {10, 20, 30, 40, 50};
  const std::pair<double, double> cases[] = {{0, 10},  {100, 50}, {25, 20}, {50, 30},
                                             {90, 46}, {-5, 10},  {120, 50}};
  for (const auto& [p, want] : cases) EXPECT_DOUBLE_EQ(Percentile(sorted, p), want) << p;
}

TEST(LoadStats, SpeedRatioPropagatesBothRelativeErrors) {
  TSummary slow, fast;
  slow.mean = 30;
  slow.stddev = 3;  // 10 %
  fast.mean = 10;
  fast.stddev = 0;
  EXPECT_DOUBLE_EQ(SpeedRatio(slow, fast).value, 3);
  EXPECT_NEAR(SpeedRatio(slow, fast).stddev, 0.3, 1e-12);
  fast.stddev = 1;  // 10 % as well: sqrt(2) * 10 %
  EXPECT_NEAR(SpeedRatio(slow, fast).stddev, 3 * 0.1 * std::sqrt(2.0), 1e-12);
  fast.mean = 0;
  EXPECT_EQ(SpeedRatio(slow, fast).value, 0);
}

http::TLoadTimes Load(int64_t waitUs, int64_t connectUs, bool reused) {
  http::TLoadTimes t;
  t.phaseNs[static_cast<size_t>(http::TLoadPhase::wait)] = waitUs * 1000 + 999;  // below a microsecond
  t.phaseNs[static_cast<size_t>(http::TLoadPhase::connect)] = connectUs * 1000;
  t.status = 200;
  t.reused = reused;
  t.decodedBytes = 1000;
  return t;
}

// The statistics start from the same whole microseconds as the details, so the
// two always agree; the failed last load is in the details with its error and
// left out of the statistics, and a resumed TLS session is counted apart.
TEST(LoadReport, JsonFiguresAgreeAndSplitColdResumedAndWarm) {
  http::TLoadTimes failed = Load(7000, 0, false);
  failed.status = 0;
  const TUrlLoads run{
      "http://h/",
      {Load(1000, 500, false), Load(2000, 0, true), Load(3000, 0, true), Load(4000, 500, false), failed},
      "Connection reset",
      {false, false, false, true}};
  const auto details = DetailsJson(run);
  ASSERT_EQ(details.size(), 5u);
  int64_t smallest = INT64_MAX;
  for (size_t i = 0; i < details.size(); ++i) {
    const auto& d = details[i];
    int64_t sum = 0;
    for (const auto& [name, us] : d["phases_us"].items()) sum += us.get<int64_t>();
    EXPECT_EQ(d["total_us"], sum);
    if (i < 4) smallest = std::min(smallest, sum);
    EXPECT_EQ(d["error"].is_null(), i < 4) << i;
    EXPECT_EQ(d["tls_resumed"], i == 3) << i;
  }
  EXPECT_EQ(details[4]["error"], "Connection reset");
  EXPECT_EQ(details[0]["phases_us"]["connect"], 500);
  EXPECT_EQ(details[0]["phases_us"]["wait"], 1000);
  const auto stats = StatsJson(run);
  EXPECT_EQ(stats["count"], 4);
  EXPECT_EQ(stats["total_us"]["min"], smallest);
  EXPECT_EQ(stats["total_us"]["min"], 1500);
  EXPECT_EQ(stats["total_us"]["max"], 4500);
  EXPECT_EQ(stats["total_us"]["mean"], 2750);
  EXPECT_EQ(stats["wait_us"]["median"], 2500);
  const std::pair<const char*, std::pair<int, int>> kinds[] = {
      {"cold", {1, 1500}}, {"resumed", {1, 4500}}, {"warm", {2, 2500}}};
  for (const auto& [kind, want] : kinds) {
    EXPECT_EQ(stats[kind]["count"], want.first) << kind;
    EXPECT_EQ(stats[kind]["median_us"], want.second) << kind;
  }
  std::ostringstream summary;
  PrintSummary(summary, run);
  EXPECT_NE(summary.str().find(
                "Cold: 1 loads, median 1.500 ms    TLS resumed: 1 loads, median 4.500 ms    Warm: 2 loads"),
            std::string::npos)
      << summary.str();

  // Nothing completed: nothing to summarise, and no 0 that reads as a time.
  const auto none = StatsJson({"http://h/", {failed}, "timed out", {}});
  EXPECT_EQ(none["count"], 0);
  EXPECT_TRUE(none["total_us"].is_null());
  EXPECT_TRUE(none["wait_us"].is_null());
  EXPECT_TRUE(none["warm"]["median_us"].is_null());
}

TEST(LoadReport, ComparisonNamesTheFastestAndWhetherTheSpreadHidesTheDifference) {
  const std::vector<TUrlLoads> runs = {{"http://a/", {Load(4000, 0, false), Load(4000, 0, false)}},
                                       {"http://b/", {Load(2000, 0, false), Load(2000, 0, false)}},
                                       {"http://none/", {}},
                                       {"http://failed/", {Load(1, 0, false)}, "refused", {}},
                                       {"http://c/", {Load(1000, 0, false), Load(3000, 0, false)}}};
  const auto lines = ComparisonLines(runs);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "http://b/ is 2.00 ± 0.00 times faster than http://a/");
  EXPECT_EQ(
      lines[1],
      "http://b/ is 1.00 ± 0.71 times faster than http://c/ (the spread exceeds the difference: neither "
      "is clearly faster)");
  const auto json = ComparisonJson(runs);
  EXPECT_EQ(json[0]["clear"], true);
  EXPECT_EQ(json[1]["clear"], false);
  EXPECT_TRUE(ComparisonLines({runs[0]}).empty());

  std::ostringstream summary;
  PrintSummary(summary, {"http://o/",
                         {Load(10, 0, true), Load(10, 0, true), Load(10, 0, true), Load(10, 0, true),
                          Load(900, 0, true)},
                         "",
                         {}});
  EXPECT_NE(summary.str().find("Warning: 1 load lies beyond the inter-quartile fences"), std::string::npos)
      << summary.str();
}

TEST(LoadReport, ExportsQuoteWhatWouldBreakTheirFormat) {
  http::TLoadTimes failed;
  const std::vector<TUrlLoads> runs = {
      {"http://h/a,\"b\"|c", {Load(1000, 0, true), failed}, "Connection refused, \"twice\"", {true}}};
  std::ostringstream csv, md;
  WriteCsv(csv, runs);
  WriteMarkdown(md, runs);
  EXPECT_EQ(
      csv.str().substr(0, csv.str().find('\n')),
      "url,load,status,reused,redirects,dns_us,connect_us,socks_us,tls_us,auth_us,redirect_us,request_us,"
      "wait_us,transfer_us,pane_us,total_us,header_bytes,body_bytes,decoded_bytes,tls_resumed,protocol,"
      "ip,family,error");
  EXPECT_NE(csv.str().find(
                "\n\"http://h/a,\"\"b\"\"|c\",1,200,true,0,0,0,0,0,0,0,0,1000,0,0,1000,0,0,1000,true,,,,\n"),
            std::string::npos)
      << csv.str();
  EXPECT_NE(csv.str().find(
                ",2,0,false,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,false,,,,\"Connection refused, \"\"twice\"\"\"\n"),
            std::string::npos)
      << csv.str();
  EXPECT_NE(md.str().find("| `http://h/a,\"b\"\\|c` | 1.000 ± 0.000 |"), std::string::npos) << md.str();
}

http::TLoadConnectAttempt Attempt(const char* addr, int family, double startMs, double endMs, uint16_t error,
                                  bool won) {
  http::TLoadConnectAttempt a;
  a.addr = addr;
  a.family = family;
  a.port = 443;
  a.startNs = static_cast<int64_t>(startMs * 1e6);
  a.endNs = static_cast<int64_t>(endMs * 1e6);
  a.error = error;
  a.won = won;
  return a;
}

// The sentence names every attempt that did not win, with what it did and for
// how long, then the winner's family; nothing when there was no loser or no winner.
TEST(LoadReport, RaceSentenceSaysWhatTheLosersDid) {
  const auto v6 = [](double s, double e, uint16_t err = 0, bool won = false) {
    return Attempt("2001:db8::1", AF_INET6, s, e, err, won);
  };
  const auto v4 = [](double s, double e, uint16_t err = 0, bool won = false) {
    return Attempt("192.0.2.1", AF_INET, s, e, err, won);
  };
  const struct {
    const char* name;
    std::vector<http::TLoadConnectAttempt> attempts;
    std::string want;
  } cases[] = {
      {"IPv6 silent",
       {v6(0, 250.4), v4(250, 251.2, 0, true)},
       "IPv6 attempt to [2001:db8::1]:443 gave no answer in 250 ms; IPv4 won"},
      {"IPv6 refused",
       {v6(0, 0.31, 10061), v4(0.31, 0.5, 0, true)},
       "IPv6 attempt to [2001:db8::1]:443 was refused after 0.3 ms; IPv4 won"},
      {"IPv6 timed out",
       {v6(0, 21000, 10060), v4(250, 251, 0, true)},
       "IPv6 attempt to [2001:db8::1]:443 timed out after 21000 ms; IPv4 won"},
      {"unreachable",
       {v6(0, 9.96, 10051), v4(9.96, 10, 0, true)},
       "IPv6 attempt to [2001:db8::1]:443 failed after 10 ms (Network is unreachable); IPv4 won"},
      {"IPv4 closed when IPv6 answered late",
       {v6(0, 260, 0, true), v4(250, 260)},
       "IPv4 attempt to 192.0.2.1:443 gave no answer in 10 ms; IPv6 won"},
      {"two losers in order",
       {v6(0, 500), v4(250, 500.2, 10061), Attempt("2001:db8::2", AF_INET6, 250.2, 500, 0, false),
        v4(500, 501, 0, true)},
       "IPv6 attempt to [2001:db8::1]:443 gave no answer in 500 ms; IPv4 attempt to 192.0.2.1:443 was "
       "refused after 250 ms; IPv6 attempt to [2001:db8::2]:443 gave no answer in 250 ms; IPv4 won"},
      {"one attempt", {v4(0, 1, 0, true)}, ""},
      {"no winner", {v6(0, 1, 10061), v4(1, 2, 10061)}, ""},
      {"kept connection", {}, ""},
  };
  for (const auto& c : cases) EXPECT_EQ(RaceText(c.attempts), c.want) << c.name;

  // The table prints the sentence under itself for the load it belongs to.
  http::TLoadTimes raced = Load(1000, 500, false), plain = Load(1000, 500, true);
  raced.ip = "192.0.2.1";
  raced.family = AF_INET;
  raced.connectAttempts = cases[1].attempts;
  plain.ip = raced.ip;
  std::ostringstream table;
  PrintLoadTable(table, {plain, raced});
  EXPECT_NE(table.str().find("  192.0.2.1\nLoad 2: " + cases[1].want + "\n"), std::string::npos)
      << table.str();
  EXPECT_EQ(table.str().find("Load 1:"), std::string::npos) << table.str();
  const auto json = DetailsJson({"http://h/", {raced}});
  EXPECT_EQ(json[0]["ip"], "192.0.2.1");
  EXPECT_EQ(json[0]["family"], "ipv4");
  EXPECT_EQ(json[0]["connect_attempts"][0],
            nlohmann::ordered_json::parse(R"({"address": "2001:db8::1", "port": 443, "family": "ipv6",
                                              "start_us": 0, "end_us": 310, "result": ""})"));
  EXPECT_EQ(AttemptLines(cases[1].attempts),
            (std::vector<std::string>{"IPv6 [2001:db8::1]:443 was refused after 0.3 ms",
                                      "IPv4 192.0.2.1:443 won after 0.2 ms"}));
}

TEST(LoadReport, ThroughputInDecimalUnits) {
  EXPECT_EQ(ThroughputText(950), "950 B/s");
  EXPECT_EQ(ThroughputText(12345), "12.3 kB/s");
  EXPECT_EQ(ThroughputText(4561000), "4.56 MB/s");
}

TEST(CliProgress, LineCountsTheLoadUnderWayAndTheRate) {
  EXPECT_EQ(TProgressBar::Line("u", 0, 4, 0),
            "u [..............................] load 1 of 4, 0.0 s, 0.0 loads/s");
  EXPECT_EQ(TProgressBar::Line("u", 2, 4, 1),
            "u [###############...............] load 3 of 4, 1.0 s, 2.0 loads/s");
  EXPECT_EQ(TProgressBar::Line("u", 4, 4, 2),
            "u [##############################] load 4 of 4, 2.0 s, 2.0 loads/s");
  // Within a load: its bytes and time so far.
  EXPECT_EQ(TProgressBar::Line("u", 2, 4, 1, 12345, 0.5),
            "u [###############...............] load 3 of 4 (12.3 kB, 0.5 s), 1.0 s, 2.0 loads/s");
  std::ostringstream out;
  {
    TProgressBar off(out, false);
    off.Begin("u", 3);
    off.Update(1);
  }
  EXPECT_EQ(out.str(), "");
}

}  // namespace
}  // namespace app
