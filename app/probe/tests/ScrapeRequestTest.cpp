// The scrape request seam: every request of the table is fed whole, byte by
// byte and cut in two at every position, and must give the same verdict.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/probe/ScrapeRequest.h"
#include "testsupport/EverySplit.h"

namespace {

using probe::TScrapeRequestParser;
using probe::TScrapeVerdict;

struct TCase {
  std::string name;
  std::string input;
  int status;  // 0: a request
  std::string path = {};
  std::vector<std::pair<std::string, std::string>> query = {};
  double timeout = 0;  // 0: none
  std::string authorization = {};
  bool keepAlive = false;
};

const std::string kGet =
    "GET /probe?target=http%3A%2F%2F127.0.0.1%3A8080%2Fa%3Fb%3Dc%26d&module=http_2xx HTTP/1.1\r\n";

std::vector<TCase> Cases() {
  const std::string longTarget = "GET /" + std::string(200, 'a') + " HTTP/1.1\r\n\r\n";
  std::string manyFields = "GET / HTTP/1.1\r\n";
  for (int i = 0; i < 9; ++i) manyFields += "X-F" + std::to_string(i) + ": v\r\n";
  return {
      {"prometheus scrape",
       kGet + "Host: 127.0.0.1:9115\r\nX-Prometheus-Scrape-Timeout-Seconds: 9.5\r\n"
              "Authorization: Basic dTpw\r\n\r\n",
       0,
       "/probe",
       {{"target", "http://127.0.0.1:8080/a?b=c&d"}, {"module", "http_2xx"}},
       9.5,
       "Basic dTpw",
       true},
      {"bare LF line ends, HTTP/1.0", "GET /metrics HTTP/1.0\nHost: x\n\n", 0, "/metrics"},
      {"connection close", "GET / HTTP/1.1\r\nConnection: keep-alive, Close\r\n\r\n", 0, "/"},
      {"plus and empty pairs in query",
       "HEAD /probe?&target=a+b%2B&&flag HTTP/1.1\r\n\r\n",
       0,
       "/probe",
       {{"target", "a b+"}, {"flag", ""}},
       0,
       {},
       true},
      {"leading blank line", "\r\nGET /x%20y HTTP/1.1\r\n\r\n", 0, "/x y", {}, 0, {}, true},
      {"timeout header any case, integer",
       "GET / HTTP/1.1\r\nx-prometheus-scrape-timeout-seconds:10\r\n\r\n",
       0,
       "/",
       {},
       10,
       {},
       true},
      {"empty content length", "GET / HTTP/1.1\r\nContent-Length: 0\r\n\r\n", 0, "/", {}, 0, {}, true},
      {"request line over the limit", longTarget, 414},
      {"too many fields", manyFields + "\r\n", 431},
      {"fields over the byte limit", "GET / HTTP/1.1\r\nX-Big: " + std::string(300, 'v') + "\r\n\r\n", 431},
      {"post", "POST /probe HTTP/1.1\r\n\r\n", 405},
      {"http/2 preface", "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n", 505},
      {"garbage version", "GET / HTTX/1.1\r\n\r\n", 400},
      {"absolute form", "GET http://x/ HTTP/1.1\r\n\r\n", 400},
      {"two blanks", "GET  / HTTP/1.1\r\n\r\n", 400},
      {"missing version", "GET /\r\n\r\n", 400},
      {"broken escape", "GET /probe?target=%zz HTTP/1.1\r\n\r\n", 400},
      {"escape cut short", "GET /probe?target=%4 HTTP/1.1\r\n\r\n", 400},
      {"escaped NUL", "GET /a%00b HTTP/1.1\r\n\r\n", 400},
      {"control byte in target", "GET /a\x01 HTTP/1.1\r\n\r\n", 400},
      {"bad timeout", "GET / HTTP/1.1\r\nX-Prometheus-Scrape-Timeout-Seconds: -3\r\n\r\n", 400},
      {"zero timeout", "GET / HTTP/1.1\r\nX-Prometheus-Scrape-Timeout-Seconds: 0\r\n\r\n", 400},
      {"two timeouts",
       "GET / HTTP/1.1\r\nX-Prometheus-Scrape-Timeout-Seconds: 1\r\n"
       "X-Prometheus-Scrape-Timeout-Seconds: 2\r\n\r\n",
       400},
      {"folded field", "GET / HTTP/1.1\r\nA: b\r\n c\r\n\r\n", 400},
      {"blank before colon", "GET / HTTP/1.1\r\nHost : x\r\n\r\n", 400},
      {"field without colon", "GET / HTTP/1.1\r\nHost\r\n\r\n", 400},
      {"body announced", "GET / HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello", 400},
      {"chunked body", "GET / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n", 400},
      {"blank lines only", "\r\n\r\n\r\n\r\n\r\n\r\n", 400},
  };
}

TEST(ScrapeRequest, EveryCaseGivesTheSameVerdictHoweverItIsCut) {
  const probe::TScrapeLimits limits{.requestLine = 160, .headerBytes = 200, .headerCount = 8};
  for (const TCase& c : Cases()) {
    for (const auto& split : testsupport::EverySplit(c.input)) {
      SCOPED_TRACE(c.name + ", " + split.name);
      TScrapeRequestParser parser(limits);
      for (std::string_view piece : split.pieces) parser.Feed(piece);
      if (c.status != 0) {
        ASSERT_EQ(parser.Verdict(), TScrapeVerdict::kError);
        EXPECT_EQ(parser.ErrorStatus(), c.status) << parser.ErrorReason();
        EXPECT_FALSE(parser.ErrorReason().empty());
        continue;
      }
      ASSERT_EQ(parser.Verdict(), TScrapeVerdict::kRequest) << parser.ErrorReason();
      const auto& r = parser.Request();
      EXPECT_EQ(r.path, c.path);
      EXPECT_EQ(r.query, c.query);
      EXPECT_EQ(r.scrapeTimeoutSeconds.value_or(0), c.timeout);
      EXPECT_EQ(r.authorization, c.authorization);
      EXPECT_EQ(r.keepAlive, c.keepAlive);
      EXPECT_EQ(parser.Consumed(), c.input.size());
    }
  }
}

// An unended line or head is refused as soon as it passes the limit, without
// waiting for its end.
TEST(ScrapeRequest, LimitsHoldWhileTheBytesAreStillComing) {
  TScrapeRequestParser line({.requestLine = 100});
  EXPECT_EQ(line.Feed("GET /" + std::string(200, 'a')), TScrapeVerdict::kError);
  EXPECT_EQ(line.ErrorStatus(), 414);

  TScrapeRequestParser head({.headerBytes = 100});
  EXPECT_EQ(head.Feed("GET / HTTP/1.1\r\nX: " + std::string(200, 'v')), TScrapeVerdict::kError);
  EXPECT_EQ(head.ErrorStatus(), 431);
}

// Bytes after the head (a pipelined request) are not taken, and later pieces
// change nothing.
TEST(ScrapeRequest, StopsAtTheEndOfTheHead) {
  TScrapeRequestParser parser;
  const std::string first = "GET /metrics HTTP/1.1\r\n\r\n";
  EXPECT_EQ(parser.Feed(first + "GET /other HTTP/1.1\r\n\r\n"), TScrapeVerdict::kRequest);
  EXPECT_EQ(parser.Consumed(), first.size());
  EXPECT_EQ(parser.Feed("POST / HTTP/1.1\r\n\r\n"), TScrapeVerdict::kRequest);
  EXPECT_EQ(parser.Request().path, "/metrics");
}

TEST(ScrapeRequest, ParamLooksUpTheFirstValueAndCounts) {
  TScrapeRequestParser parser;
  parser.Feed("GET /probe?target=a&target=b HTTP/1.1\r\n\r\n");
  EXPECT_EQ(parser.Request().Param("target"), "a");
  EXPECT_EQ(parser.Request().ParamCount("target"), 2u);
  EXPECT_FALSE(parser.Request().Param("module"));
}

}  // namespace
