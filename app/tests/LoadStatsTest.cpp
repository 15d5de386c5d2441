// Statistics of load times and the reports built on them, on known samples.
#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

#include "app/CliProgress.h"
#include "app/LoadReport.h"
#include "app/Stats.h"

namespace app {
namespace {

TEST(LoadStats, SummaryOfKnownSamples) {
  struct Case {
    const char* name;
    std::vector<double> samples;
    TSummary want;
  };
  // Standard deviations are of the sample (n - 1); percentiles interpolate
  // between the two nearest ranks.
  const Case cases[] = {
      {"none", {}, {0, 0, 0, 0, 0, 0, 0}},
      {"one", {7}, {1, 7, 7, 7, 0, 7, 7}},
      {"odd count, unsorted", {5, 1, 3}, {3, 1, 3, 3, 2, 4.8, 5}},
      {"even count", {4, 1, 3, 2}, {4, 1, 2.5, 2.5, 1.2909944487358056, 3.85, 4}},
      {"equal values", {2, 2, 2, 2, 2}, {5, 2, 2, 2, 0, 2, 2}},
      {"one outlier",
       {10, 10, 10, 10, 10, 10, 10, 10, 10, 110},
       {10, 10, 10, 20, 31.622776601683793, 65, 110}},
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

TEST(LoadReport, JsonFiguresAddUpAndSplitColdFromWarm) {
  const std::vector<http::TLoadTimes> loads = {Load(1000, 500, false), Load(2000, 0, true),
                                               Load(3000, 0, true)};
  const auto details = DetailsJson(loads);
  ASSERT_EQ(details.size(), 3u);
  for (const auto& d : details) {
    int64_t sum = 0;
    for (const auto& [name, us] : d["phases_us"].items()) sum += us.get<int64_t>();
    EXPECT_EQ(d["total_us"], sum);
  }
  EXPECT_EQ(details[0]["phases_us"]["connect"], 500);
  EXPECT_EQ(details[0]["phases_us"]["wait"], 1000);
  // Statistics round to the nearest microsecond.
  const auto stats = StatsJson(loads);
  EXPECT_EQ(stats["total_us"]["min"], 1501);
  EXPECT_EQ(stats["total_us"]["max"], 3001);
  EXPECT_EQ(stats["total_us"]["mean"], 2168);
  EXPECT_EQ(stats["wait_us"]["median"], 2001);
  EXPECT_EQ(stats["cold"]["count"], 1);
  EXPECT_EQ(stats["cold"]["median_us"], 1501);
  EXPECT_EQ(stats["warm"]["count"], 2);
  EXPECT_EQ(stats["warm"]["median_us"], 2501);
}

TEST(LoadReport, ComparisonNamesTheFastestAgainstEachOther) {
  const std::vector<TUrlLoads> runs = {{"http://a/", {Load(4000, 0, false), Load(4000, 0, false)}},
                                       {"http://b/", {Load(2000, 0, false), Load(2000, 0, false)}},
                                       {"http://none/", {}},
                                       {"http://c/", {Load(1000, 0, false), Load(3000, 0, false)}}};
  const auto lines = ComparisonLines(runs);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "http://b/ is 2.00 ± 0.00 times faster than http://a/");
  EXPECT_EQ(lines[1], "http://b/ is 1.00 ± 0.71 times faster than http://c/");
  EXPECT_TRUE(ComparisonLines({runs[0]}).empty());
}

TEST(LoadReport, ExportsQuoteWhatWouldBreakTheirFormat) {
  const std::vector<TUrlLoads> runs = {{"http://h/a,\"b\"|c", {Load(1000, 0, true)}}};
  std::ostringstream csv, md;
  WriteCsv(csv, runs);
  WriteMarkdown(md, runs);
  EXPECT_NE(
      csv.str().find("\n\"http://h/a,\"\"b\"\"|c\",1,200,true,0,0,0,0,0,0,0,0,1000,0,0,1000,0,0,1000\n"),
      std::string::npos)
      << csv.str();
  EXPECT_NE(md.str().find("| `http://h/a,\"b\"\\|c` | 1.001 ± 0.000 |"), std::string::npos) << md.str();
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
