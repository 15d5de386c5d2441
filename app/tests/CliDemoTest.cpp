// tachyload-cli --demo: the program's own page server, measured like any other;
// and --version, which comes from the build.
#include <gtest/gtest.h>

#include <string>

#include "app/DemoServer.h"
#include "app/tests/CliRun.h"

namespace {

using clitest::RunCli;

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

TEST(CliDemoTest, ServesTheTenKilobytePageAndCountsEveryLoad) {
  ASSERT_EQ(app::TDemoServer::Page().size(), 10240u);
  const auto r = RunCli({"--demo", "-n", "2"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_TRUE(Has(r.out, "demo: serving a 10 kB page on http://127.0.0.1:")) << r.out;
  EXPECT_TRUE(Has(r.out, "loading it 2 times")) << r.out;
  EXPECT_TRUE(Has(r.out, "Number of loads: 2\n")) << r.out;
  // The pane's characters of two loads: the page is all text lines.
  EXPECT_TRUE(Has(r.out, "Bytes downloaded: 20480\n")) << r.out;
  EXPECT_FALSE(Has(r.out, "Error!")) << r.out;
}

TEST(CliDemoTest, JsonKeepsTheStandardOutputToTheObject) {
  const auto r = RunCli({"--demo", "--json", "-n", "1"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out.rfind("{\"url\":\"http://127.0.0.1:", 0), 0u) << r.out;
  EXPECT_TRUE(Has(r.out, "\"bytes\":10240,")) << r.out;
  EXPECT_TRUE(Has(r.err, "demo: serving")) << r.err;
}

TEST(CliDemoTest, UsageAndVersion) {
  const auto withUrl = RunCli({"--demo", "http://127.0.0.1:1/"});
  EXPECT_EQ(withUrl.exitCode, 2);
  EXPECT_TRUE(Has(withUrl.err, "give it no URL")) << withUrl.err;
  EXPECT_EQ(withUrl.out, "");

  const auto version = RunCli({"--version"});
  EXPECT_EQ(version.exitCode, 0);
  EXPECT_EQ(version.out, "tachyload-cli " TL_TEST_VERSION "\n");
}

// The server lets a second server run beside it and stops when dropped, even
// while no client ever came.
TEST(CliDemoTest, ServersTakeTheirOwnPortsAndStop) {
  app::TDemoServer a, b;
  EXPECT_NE(a.Port(), 0);
  EXPECT_NE(a.Port(), b.Port());
  EXPECT_EQ(a.Answered(), 0);
}

}  // namespace
