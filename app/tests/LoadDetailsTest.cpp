// The details' figures: statistics of known samples, speeds in human units and
// the CSV of the rows.
#include <gtest/gtest.h>

#include "app/ChartScale.h"
#include "app/LoadDetails.h"
#include "app/LoadRows.h"
#include "app/Stats.h"
#include "core/Classes.h"
#include "http/HttpProt.h"

namespace {

app::TLoadRow Row(int load, int64_t totalUs, bool reused, int64_t bytes = 0, const char* error = "") {
  app::TLoadRow r;
  r.load = load;
  r.times.status = 200;
  r.totalUs = totalUs;
  r.times.reused = reused;
  r.times.decodedBytes = bytes;
  r.error = error;
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
  // A failed load, however long, is counted apart and left out of every figure.
  const std::vector<app::TLoadRow> rows = {Row(1, 8000, false, 4000), Row(2, 2000, true, 2000),
                                           Row(3, 900000, true, 0, "refused"), Row(3, 4000, true, 2000),
                                           Row(4, 6000, true, 2000)};
  const app::TDetailStats s = app::ComputeDetailStats(rows);
  EXPECT_EQ(s.count, 4u);
  EXPECT_EQ(s.failed, 1u);
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
  EXPECT_EQ(
      app::StatsLines(none),
      (std::vector<std::string>{"Loads: 0", "Cold: 0 (median -)   Warm: 0 (median -)", "Speed: 0 B/s"}));
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

TEST(LoadDetailsTest, ScalesReadAtAGlance) {
  // Round steps (1, 2, 5 times a power of ten), at most five of them, covering the maximum.
  const struct {
    double max;
    double top, step;
    int decimals;
  } scales[] = {
      {0, 1, 1, 0},        {40.1, 50, 10, 0}, {13.4, 15, 5, 0},         {4.2, 5, 1, 0},
      {0.37, 0.4, 0.1, 1}, {1, 1, 0.2, 1},    {0.012, 0.015, 0.005, 3}, {2500, 2500, 500, 0},
  };
  for (const auto& c : scales) {
    const app::TNiceScale s = app::NiceScale(c.max, 5);
    EXPECT_NEAR(s.top, c.top, 1e-9) << c.max;
    EXPECT_NEAR(s.step, c.step, 1e-12) << c.max;
    EXPECT_EQ(s.Decimals(), c.decimals) << c.max;
    EXPECT_LE(s.Ticks(), 6) << c.max;
  }
  // Labels every 1, 2, 5, 10, ... loads: never more than asked.
  const std::pair<int, int> steps[] = {{0, 1}, {12, 1}, {13, 2}, {24, 2}, {25, 5}, {150, 20}, {500, 50}};
  for (const auto& [count, step] : steps) EXPECT_EQ(app::LabelStep(count, 12), step) << count;
}

TEST(LoadDetailsTest, OtherIsWhatThePhasesLeave) {
  app::TLoadRow row = Row(2, 1500, true, 77);
  row.times.phaseNs[7] = 1000000;  // wait
  EXPECT_EQ(row.OtherUs(), 500);
  row.times.phaseNs[8] = 900000;  // phases over the total leave nothing, never less
  EXPECT_EQ(row.OtherUs(), 0);
}

// The server a load talked to, compared between loads of one run (one URL),
// so the port stays as the URL writes it.
TEST(LoadDetailsTest, ServerIsSchemeHostAndPort) {
  struct Case {
    const char* url;
    const char* server;
  } cases[] = {
      {"http://example.test/page", "http://example.test:"},
      {"https://example.test:443/", "https://example.test:443"},
      {"http://example.test:8080/a?b", "http://example.test:8080"},
      {"http://user:pw@example.test:81", "http://example.test:81"},
  };
  for (const Case& c : cases) EXPECT_EQ(app::ServerOf(c.url), c.server) << c.url;
}

// A load with the client's timeline keeps it; a failed one (no server answered
// here) gets no status, the window's warm/cold guess and its own time.
TEST(LoadDetailsTest, RowOfALoad) {
  auto client = core::MakeComponent<http::THttpCli>(nullptr);
  http::TLoadTimes times;
  times.status = 200;
  times.reused = true;
  times.phaseNs[0] = 3'000'000;
  times.phaseNs[1] = 4'000'000;
  struct Case {
    std::optional<http::TLoadTimes> times;
    int64_t totalUs, expectedUs;
    int status;
    bool reused;
    const char* error;
  } cases[] = {
      {times, 9'000, 9'000, 200, true, ""},
      {times, 5'000, 7'000, 200, true, ""},  // never less than its phases
      {std::nullopt, 5'000, 5'000, 0, false, "failed"},
  };
  for (const Case& c : cases) {
    const app::TLoadRow row = app::LoadRowOf(*client, 2, false, c.totalUs, c.times);
    EXPECT_EQ(row.load, 2);
    EXPECT_EQ(row.totalUs, c.expectedUs) << c.totalUs;
    EXPECT_EQ(row.Status(), c.status);
    EXPECT_EQ(row.Reused(), c.reused);
    EXPECT_EQ(row.error, c.error);
  }
}

}  // namespace
