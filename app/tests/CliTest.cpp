// tachyload-cli end to end: the real program against a local nginx.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "app/CliOptions.h"
#include "app/tests/CliRun.h"
#include "testsupport/Nginx.h"
#include "testsupport/NtlmServer.h"
#include "testsupport/Process.h"
#include "testsupport/Squid.h"

namespace {

using testsupport::NginxServer;
using testsupport::SquidAuth;
using testsupport::SquidServer;
using testsupport::TempDir;

using clitest::CliRun;

CliRun RunCli(const std::vector<std::string>& args, bool isolatedNetwork = false) {
  return clitest::RunCli(args, {}, isolatedNetwork);
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
    lines.push_back(text.substr(start, nl - start));
  if (start < text.size()) lines.push_back(text.substr(start));
  return lines;
}

class CliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TL_SKIP_UNLESS_INSTALLED(NginxServer::kBinary);
    ASSERT_TRUE(nginx.Start());
  }
  NginxServer nginx;
};

TEST_F(CliTest, PrintsTheWindowsSevenReportLines) {
  const std::string url = nginx.Url("/index.html");  // "hello world\n": 11 characters + CR LF
  const CliRun r = RunCli({"-n", "2", url});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const auto lines = Lines(r.out);
  ASSERT_EQ(lines.size(), 7u) << r.out;
  EXPECT_EQ(lines[0], "URL: " + url);
  EXPECT_EQ(lines[1].rfind("Test date: ", 0), 0u);
  EXPECT_EQ(lines[2], "Number of loads: 2");
  EXPECT_TRUE(std::regex_match(lines[3], std::regex("Time: [0-9]+ ms\\.")));
  EXPECT_EQ(lines[4], "Bytes downloaded: 26");
  EXPECT_TRUE(std::regex_match(lines[5], std::regex("Average Speed: ([0-9.,E-]+|Error!) bps\\.")));
  EXPECT_EQ(lines[6], "----------");
}

TEST_F(CliTest, PagesJsonAndHistoryFile) {
  const std::string url = nginx.Url("/ssi/multi.html");  // "Apage in dir\nBnext page\nC\n"
  CliRun r = RunCli({"-p", "-n", "1", url});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const auto lines = Lines(r.out);
  ASSERT_GE(lines.size(), 10u);
  EXPECT_EQ(lines[0], "Apage in dir");
  EXPECT_EQ(lines[1], "Bnext page");
  EXPECT_EQ(lines[2], "C");

  // The long form with '=' and the short one glued to its value; with -p the
  // pages go to stderr, so stdout stays one JSON object.
  for (const auto& loads : {"--loads=3", "-n3"}) {
    r = RunCli({"--json", "-p", "--http-version", "1.1", loads, url});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const auto j = nlohmann::json::parse(r.out);
    EXPECT_EQ(j["loads"], 3);
    EXPECT_EQ(j["bytes"], 87);  // 3 x (12+2 + 10+2 + 1+2)
    EXPECT_EQ(j["load_ms"].size(), 3u);
    EXPECT_TRUE(j["error"].is_null());
    EXPECT_EQ(r.err.rfind("Apage in dir\nBnext page\nC\n", 0), 0u) << r.err;
  }

  TempDir dir("tlhist");
  const std::string file = dir.File("history.txt");
  r = RunCli({"-n", "1", "-o", file, url});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  r = RunCli({"-n", "1", "-o", file, url});
  const std::string saved = testsupport::ReadFile(file);
  EXPECT_EQ(std::count(saved.begin(), saved.end(), '\n'), 14);
  EXPECT_EQ(saved.find("\r\n"), saved.find('\n') - 1);
  EXPECT_EQ(saved.substr(saved.size() - 12), "----------\r\n");
}

TEST_F(CliTest, ExitCodesForUsageConfirmationAndFailure) {
  EXPECT_EQ(RunCli({}).exitCode, 2);
  EXPECT_EQ(RunCli({"--bogus", nginx.Url("/")}).exitCode, 2);
  const CliRun bad = RunCli({"-n", "x3", nginx.Url("/")});
  EXPECT_EQ(bad.exitCode, 2);
  EXPECT_NE(bad.err.find("'x3' is not a valid integer value"), std::string::npos) << bad.err;

  const CliRun many = RunCli({"-n", "101", nginx.Url("/")});
  EXPECT_EQ(many.exitCode, 2);
  EXPECT_NE(many.err.find("You entered quite big number of page loads (101)."), std::string::npos)
      << many.err;

  const CliRun missing = RunCli({"-n", "1", nginx.Url("/no-such-page.html")});
  EXPECT_EQ(missing.exitCode, 1);
  EXPECT_EQ(missing.err, "tachyload: 404 Not Found (" + nginx.Url("/no-such-page.html") + ")\n");
  EXPECT_EQ(missing.out, "");

  const CliRun help = RunCli({"--help"});
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_EQ(help.out.rfind("tachyload-cli [options] URL...", 0), 0u);
  EXPECT_NE(help.out.find("\nRedirections:\n"), std::string::npos) << help.out;
}

TEST_F(CliTest, RedirectionsFollowedUpToTheLimitOrNotAtAll) {
  // A loop is cut after the limit, and the load fails.
  CliRun r = RunCli(
      {"--http-version", "1.1", "--max-redirects", "2", "--timeout", "20", "-n", "1", nginx.Url("/loop")});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.err,
            "tachyload: Too many redirections (2): 302 Moved Temporarily (" + nginx.Url("/loop") + ")\n");
  ASSERT_TRUE(nginx.WaitForAccessLines(3));
  size_t loops = 0;
  for (const auto& e : nginx.AccessLog()) loops += e.request.find(" /loop ") != std::string::npos;
  EXPECT_EQ(loops, 3u);

  r = RunCli({"-p", "-n", "1", "--no-redirects", nginx.Url("/r301")});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find("301 Moved Permanently"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("hello world"), std::string::npos);
  r = RunCli({"-p", "-n", "1", nginx.Url("/r301")});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out.rfind("hello world\n", 0), 0u) << r.out;
}

TEST(CliLimitRateTest, BytesPerSecondWithBinarySuffixes) {
  const std::pair<const char*, std::optional<int32_t>> cases[] = {{"0", 0},
                                                                  {"50000", 50000},
                                                                  {"1k", 1024},
                                                                  {"1K", 1024},
                                                                  {"2M", 2097152},
                                                                  {"3m", 3145728},
                                                                  {"1G", 1073741824},
                                                                  {"2047m", 2146435072},
                                                                  {"2147483647", INT32_MAX},
                                                                  {"2G", std::nullopt},
                                                                  {"2147483648", std::nullopt},
                                                                  {"", std::nullopt},
                                                                  {"k", std::nullopt},
                                                                  {"-5", std::nullopt},
                                                                  {"+5", std::nullopt},
                                                                  {"1.5M", std::nullopt},
                                                                  {"5mk", std::nullopt},
                                                                  {"10x", std::nullopt},
                                                                  {" 5", std::nullopt},
                                                                  {"1T", std::nullopt}};
  for (const auto& [text, rate] : cases) EXPECT_EQ(app::ParseLimitRate(text), rate) << text;
}

TEST_F(CliTest, LimitRateLoadsThePageOrRefusesABadRate) {
  const CliRun r = RunCli({"--limit-rate", "64k", "-n", "2", nginx.Url("/index.html")});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find("Bytes downloaded: 26"), std::string::npos) << r.out;
  const CliRun bad = RunCli({"--limit-rate", "10x", nginx.Url("/index.html")});
  EXPECT_EQ(bad.exitCode, 2);
  EXPECT_NE(bad.err.find("--limit-rate"), std::string::npos) << bad.err;
}

// NTLM answers with NTLMv2 (no LM response) unless --ntlm-v1 asks for the old
// responses; the server checks whichever it gets.
TEST(CliNtlm, Version2UnlessAskedForVersion1) {
  TL_SKIP_UNLESS(testsupport::NtlmServer::Available(), "python3 with ntlm_auth");
  testsupport::NtlmServerOptions options;
  options.targetInfo = true;
  testsupport::NtlmServer server(options);
  ASSERT_TRUE(server.Start());
  const std::pair<std::vector<std::string>, const char*> cases[] = {
      {{}, "type3 OK mode=v2 ok=True"}, {{"--ntlm-v1"}, "type3 OK mode=v1 nt_ok=True lm_ok=True"}};
  for (const auto& [extra, logged] : cases) {
    std::vector<std::string> args = {"--user", "user", "--password", "pass", "--http-version", "1.1"};
    args.insert(args.end(), extra.begin(), extra.end());
    args.push_back(server.Url("/"));
    const CliRun r = RunCli(args);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(server.Log().find(logged), std::string::npos) << server.Log();
  }
}

// Logins for the server and the proxy; a page still refused fails the load.
TEST_F(CliTest, LoginsForTheServerAndTheProxy) {
  TL_SKIP_UNLESS_INSTALLED(SquidServer::kBinary);
  SquidServer squid(SquidAuth::kBasic);
  ASSERT_TRUE(squid.Start());
  const std::string secret = nginx.Url("/secret/");
  const std::vector<std::string> proxy = {"--proxy", "127.0.0.1:" + std::to_string(squid.Port()),
                                          "--proxy-user", SquidServer::kUser};
  struct Case {
    std::vector<std::string> args;
    int exitCode;
    std::string err;
  } cases[] = {
      {{"--user", "user", "--password", "secret"}, 0, ""},
      {{"--user", "user", "--password", "wrong"},
       1,
       "tachyload: login refused: 401 Unauthorized (" + secret + ")\n"},
      {{}, 1, "tachyload: login required: 401 Unauthorized (" + secret + ")\n"},
      {{"--user", "user", "--password", "secret", proxy[0], proxy[1], proxy[2], proxy[3], "--proxy-password",
        SquidServer::kPassword},
       0,
       ""},
      {{"--user", "user", "--password", "secret", proxy[0], proxy[1], proxy[2], proxy[3], "--proxy-password",
        "wrong"},
       1,
       "tachyload: login refused: 407 Proxy Authentication Required (" + secret + ")\n"},
  };
  for (auto& k : cases) {
    k.args.insert(k.args.end(), {"-n", "2", "--http-version", "1.1", secret});
    const CliRun r = RunCli(k.args);
    EXPECT_EQ(r.exitCode, k.exitCode) << r.err;
    EXPECT_EQ(r.err, k.err);
    if (k.exitCode == 0) {
      EXPECT_NE(r.out.find("Bytes downloaded: 26"), std::string::npos) << r.out;  // 2 x "secret page" + CR LF
    }
  }
}

// /gz/big.txt is gzipped for whoever asks: with --compressed the wire carries
// far fewer bytes, and the page and its count are the same as without.
TEST_F(CliTest, CompressedLoadsTheSamePageOverFewerBytes) {
  const CliRun plain = RunCli({"-p", "-n", "1", nginx.Url("/gz/big.txt")});
  const CliRun compressed = RunCli({"-p", "-n", "1", "--compressed", nginx.Url("/gz/big.txt")});
  ASSERT_EQ(plain.exitCode, 0) << plain.err;
  ASSERT_EQ(compressed.exitCode, 0) << compressed.err;
  const auto plainLines = Lines(plain.out);
  const auto compressedLines = Lines(compressed.out);
  ASSERT_EQ(plainLines.size(), 2000u + 7u);
  ASSERT_EQ(compressedLines.size(), plainLines.size());
  EXPECT_TRUE(std::equal(plainLines.begin(), plainLines.begin() + 2000, compressedLines.begin()));
  EXPECT_EQ(compressedLines[2000 + 4], plainLines[2000 + 4]);  // "Bytes downloaded: ..."
  ASSERT_TRUE(nginx.WaitForAccessLines(2));
  const auto log = nginx.AccessLog();
  EXPECT_GT(log[0].bytesSent, 100000u);
  EXPECT_LT(log[1].bytesSent, log[0].bytesSent / 3);
}

TEST(CliNoServerTest, AHostThatDoesNotResolveFailsWithTheWindowsMessage) {
  // In a network namespace of its own no name resolves, and nothing leaves the machine.
  const CliRun r = RunCli({"--json", "-n", "2", "http://tachyload-no-such-host.invalid/"}, true);
  EXPECT_EQ(r.exitCode, 1);
  const std::string message = "tachyload-no-such-host.invalid: can't resolve hostname to IP address";
  EXPECT_EQ(r.err, "tachyload: " + message + "\n");
  EXPECT_EQ(nlohmann::json::parse(r.out)["error"], message) << r.out;
}

}  // namespace
