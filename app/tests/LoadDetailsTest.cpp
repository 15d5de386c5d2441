// The details' figures: statistics of known samples, speeds in human units and
// the CSV of the rows.
#include <gtest/gtest.h>

#include "app/LoadDetails.h"
#include "app/Stats.h"

namespace {

app::TLoadRow Row(int load, int64_t totalUs, bool reused, int64_t bytes = 0) {
  app::TLoadRow r;
  r.load = load;
  r.status = 200;
  r.totalUs = totalUs;
  r.reused = reused;
  r.bytes = bytes;
  return r;
}

TEST(LoadDetailsTest, PercentilesInterpolateBetweenRanks) {
  struct Case {
    std::vector<double> sorted;
    double p, expected;
  } cases[] = {
      {{}, 50, 0},          {{7}, 95, 7},           {{1, 2, 3, 4}, 50, 2.5},
      {{1, 2, 3, 4}, 0, 1}, {{1, 2, 3, 4}, 100, 4}, {{10, 20, 30, 40, 50}, 95, 48},
  };
  for (const Case& c : cases) EXPECT_DOUBLE_EQ(app::Percentile(c.sorted, c.p), c.expected) << c.p;
}

TEST(LoadDetailsTest, StatisticsOfColdAndWarmLoads) {
  const std::vector<app::TLoadRow> rows = {Row(1, 8000, false, 4000), Row(2, 2000, true, 2000),
                                           Row(3, 4000, true, 2000), Row(4, 6000, true, 2000)};
  const app::TDetailStats s = app::ComputeDetailStats(rows);
  EXPECT_EQ(s.count, 4u);
  EXPECT_DOUBLE_EQ(s.medianMs, 5);
  EXPECT_DOUBLE_EQ(s.meanMs, 5);
  EXPECT_NEAR(s.stddevMs, 2.5819889, 1e-6);  // sample deviation: n - 1
  EXPECT_DOUBLE_EQ(s.p95Ms, 7.7);
  EXPECT_EQ(s.cold, 1u);
  EXPECT_EQ(s.warm, 3u);
  EXPECT_DOUBLE_EQ(s.coldMedianMs, 8);
  EXPECT_DOUBLE_EQ(s.warmMedianMs, 4);
  EXPECT_DOUBLE_EQ(s.bytesPerSecond, 10000 / 0.02);

  const app::TDetailStats none = app::ComputeDetailStats({});
  EXPECT_EQ(none.count, 0u);
  EXPECT_EQ(none.bytesPerSecond, 0);
  EXPECT_EQ(app::StatsLines(none).back(), "Speed: 0 B/s");
  EXPECT_EQ(app::ComputeDetailStats({Row(1, 3000, false)}).stddevMs, 0);
}

TEST(LoadDetailsTest, SpeedsInHumanUnits) {
  const std::pair<double, const char*> cases[] = {
      {0, "0 B/s"},         {950, "950 B/s"},     {999.4, "999 B/s"},
      {999.6, "1.00 kB/s"}, {12345, "12.3 kB/s"}, {4560000, "4.56 MB/s"},
      {123e6, "123 MB/s"},  {2.5e9, "2.50 GB/s"}, {7.5e12, "7500 GB/s"},
  };
  for (const auto& [bps, text] : cases) EXPECT_EQ(app::HumanSpeed(bps), text) << bps;
}

TEST(LoadDetailsTest, CsvHasAHeaderAndOneLinePerLoad) {
  app::TLoadRow row = Row(2, 1500, true, 77);
  row.phaseUs[7] = 1000;  // wait
  EXPECT_EQ(row.OtherUs(), 500);
  EXPECT_EQ(app::DetailsCsv({row}),
            "load,status,reused,dns_us,connect_us,socks_us,tls_us,auth_us,redirect_us,request_us,wait_us,"
            "transfer_us,pane_us,total_us,bytes\r\n"
            "2,200,1,0,0,0,0,0,0,0,1000,0,0,1500,77\r\n");
  row.phaseUs[8] = 900;  // phases over the total leave nothing, never less
  EXPECT_EQ(row.OtherUs(), 0);
}

}  // namespace
