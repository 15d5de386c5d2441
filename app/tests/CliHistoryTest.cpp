// The history database from the command line: recording, --compare-last,
// the history listing, and a database that fails without costing the run.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <regex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "app/HistoryRecord.h"
#include "app/tests/CliRun.h"
#include "testsupport/Nginx.h"
#include "testsupport/Process.h"

namespace {

using clitest::CliRun;
using testsupport::NginxServer;
using testsupport::TempDir;

store::TRunRow StoredRun(const std::vector<int64_t>& totalUs, const std::string& outcome = "ok") {
  store::TRunRow r;
  r.startedAt = "2026-12-06T14:03:27.512Z";
  r.outcome = outcome;
  for (const int64_t us : totalUs) {
    store::TLoadRow l;
    l.totalUs = us;
    r.loadRows.push_back(l);
  }
  return r;
}

TEST(CompareLast, WordingOnKnownSamples) {
  setenv("TZ", "UTC", 1);
  tzset();
  struct Case {
    std::vector<double> now;
    store::TRunRow earlier;
    std::string text;
  } cases[] = {
      {{124, 127, 130},
       StoredRun({97000, 100000, 103000}),
       "1.27 ± 0.05 times slower than the run of 2026-12-06 14:03"},
      {{97, 100, 103},
       StoredRun({124000, 127000, 130000}),
       "1.27 ± 0.05 times faster than the run of 2026-12-06 14:03"},
      {{100, 110, 120},
       StoredRun({90000, 100000, 110000}),
       "1.10 ± 0.15 times slower than the run of 2026-12-06 14:03 (the spread exceeds the difference)"},
      // The earlier run failed at its last load: that load is no sample.
      {{124, 127, 130},
       StoredRun({97000, 100000, 103000, 9000000}, "failed"),
       "1.27 ± 0.05 times slower than the run of 2026-12-06 14:03"},
      {{100}, StoredRun({}), "the run of 2026-12-06 14:03 has no load time to compare with"},
  };
  for (const Case& c : cases) EXPECT_EQ(app::CompareLastText(app::Summarize(c.now), c.earlier), c.text);
}

// A load keeps the protocol it spoke; one that ended before it knew takes the
// version asked for, except HTTP/2, which ALPN may have turned into HTTP/1.1.
TEST(HistoryRecord, ProtocolAndAddressAreWhatTheLoadUsed) {
  struct Case {
    const char* spoken;
    std::string asked, stored;
  } cases[] = {{"h2", "2", "h2"},
               {"http/1.1", "2", "http/1.1"},
               {"", "2", ""},
               {"", "1.1", "http/1.1"},
               {"http/1.0", "1.0", "http/1.0"}};
  for (const Case& c : cases) {
    http::TLoadTimes t;
    t.protocol = c.spoken;
    t.ip = "::1";
    app::TRunFacts facts;
    facts.httpVersion = c.asked;
    const store::TRunRow run = app::RunRow(app::TUrlLoads("u", {t}), facts);
    EXPECT_EQ(run.protocol, c.stored) << c.spoken << " " << c.asked;
    EXPECT_EQ(run.loadRows.at(0).protocol, c.stored) << c.spoken << " " << c.asked;
    EXPECT_EQ(run.loadRows.at(0).ip, "::1");
  }
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
    lines.push_back(text.substr(start, nl - start));
  return lines;
}

class CliHistoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TL_SKIP_UNLESS_INSTALLED(NginxServer::kBinary);
    ASSERT_TRUE(nginx.Start());
  }
  CliRun Cli(std::vector<std::string> args) {
    args.insert(args.begin() + (args.empty() || args[0] != "history" ? 0 : 1), {"--history-db", db});
    return clitest::RunCli(args, {"TZ=UTC"});
  }
  NginxServer nginx;
  TempDir dir{"tlhist"};
  std::string db = dir.File("h.sqlite3");
};

TEST_F(CliHistoryTest, RecordsEachRunComparesWithTheLastAndLists) {
  const std::string url = nginx.Url("/index.html");
  ASSERT_EQ(Cli({"-n", "2", url}).exitCode, 0);
  const CliRun second = Cli({"-n", "3", "--compare-last", url});
  ASSERT_EQ(second.exitCode, 0) << second.err;
  const auto lines = Lines(second.out);
  ASSERT_EQ(lines.size(), 8u) << second.out;
  EXPECT_TRUE(std::regex_match(lines[7], std::regex(R"(\d+\.\d\d ± \d+\.\d\d times (slower|faster) than the )"
                                                    R"(run of \d{4}-\d\d-\d\d \d\d:\d\d.*)")))
      << lines[7];
  // A run made another way (version, address family, racing) has nothing to compare with.
  for (const std::vector<std::string>& other :
       {std::vector<std::string>{"--http-version", "1.1"}, {"-4"}, {"--no-race"}}) {
    std::vector<std::string> args = {"--no-save", "--compare-last"};
    args.insert(args.end(), other.begin(), other.end());
    args.push_back(url);
    EXPECT_EQ(Lines(Cli(args).out).back(), "no earlier run of this URL with these options to compare with")
        << other[0];
  }

  const auto runs = nlohmann::json::parse(Cli({"history", "--json"}).out);
  ASSERT_EQ(runs.size(), 2u);
  EXPECT_EQ(runs[1]["loads"], 3);
  EXPECT_EQ(runs[1]["url"], url);
  EXPECT_EQ(runs[1]["outcome"], "ok");
  EXPECT_EQ(runs[1]["options"], "http=1.0");
  EXPECT_GT(runs[1]["median_ms"].get<double>(), 0);
  EXPECT_EQ(Lines(Cli({"history", "--csv", url}).out).size(), 3u);
  EXPECT_EQ(Cli({"history", "--since", "2999-01-01"}).out, "");
  EXPECT_EQ(Cli({"history", "http://127.0.0.1:1/other"}).out, "");
  EXPECT_EQ(Cli({"history", "--prune", "0"}).out, "removed 2 runs older than 0 days\n");
  EXPECT_EQ(Cli({"history"}).out, "");
  EXPECT_EQ(Cli({"history", "--since", "yesterday"}).exitCode, 2);
}

// Without --history-db the run goes to the data folder the environment names.
TEST_F(CliHistoryTest, RecordsUnderXdgDataHomeByDefault) {
  const std::string url = nginx.Url("/index.html");
  const std::string env = "XDG_DATA_HOME=" + dir.File("xdg");
  ASSERT_EQ(clitest::RunCli({"-n", "1", url}, {env}).exitCode, 0);
  const CliRun listed = clitest::RunCli({"history"}, {env});
  EXPECT_EQ(Lines(listed.out).size(), 1u) << listed.err;
  EXPECT_FALSE(dir.Read("xdg/tachyload/history.sqlite3").empty());
}

TEST_F(CliHistoryTest, FailingDatabaseCostsAMessageNotTheRun) {
  const std::string url = nginx.Url("/index.html");
  dir.Write("h.sqlite3", std::string(4096, 'x'));
  const CliRun damaged = Cli({"-n", "1", url});
  EXPECT_EQ(damaged.exitCode, 0);
  EXPECT_EQ(Lines(damaged.out).size(), 7u);
  EXPECT_TRUE(std::regex_match(
      damaged.err, std::regex("tachyload: history database " + db + " was damaged: kept it as " + db +
                              R"(\.damaged-\d+ and started a new one\n)")))
      << damaged.err;
  EXPECT_EQ(Cli({"-n", "1", url}).err, "");

  db = "/proc/tl-none/h.sqlite3";
  const CliRun unwritable = Cli({"-n", "1", url});
  EXPECT_EQ(unwritable.exitCode, 0);
  EXPECT_EQ(Lines(unwritable.out).size(), 7u);
  EXPECT_EQ(unwritable.err,
            "tachyload: history database " + db +
                " cannot be written: the folder /proc/tl-none: No such file or directory; this "
                "run was not recorded\n");
}

}  // namespace
