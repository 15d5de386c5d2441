// The response's pieces parsed on their own: one table per function, and the
// chunk-size scanner fed in every split.
#include "http/HttpParse.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "testsupport/EverySplit.h"

namespace http {
namespace {

TEST(ParseStatusLine, VersionCodeAndReason) {
  struct TCase {
    const char* line;
    bool http1;
    const char* version;
    int code;
    const char* reason;
  };
  const TCase cases[] = {
      {"HTTP/1.1 200 OK", true, "1.1", 200, "OK"},
      {"HTTP/1.0 404 Not Found", true, "1.0", 404, "Not Found"},
      {"HTTP/1.1   301", true, "1.1", 301, ""},
      {"HTTP/1.1 200\tOK", true, "1.1", 200, "OK"},
      {"HTTP/1.1 100 ", true, "1.1", 100, ""},
      {"HTTP/1.1 599 x", true, "1.1", 599, "x"},
      // A version is taken although the code is not usable.
      {"HTTP/1.1200 OK", true, "1.1", 0, ""},
      {"HTTP/1.1\t200 OK", true, "1.1", 0, ""},
      {"HTTP/1.1 2000", true, "1.1", 0, ""},
      {"HTTP/1.1 20", true, "1.1", 0, ""},
      {"HTTP/1.1 099 x", true, "1.1", 0, ""},
      {"HTTP/1.1 600 x", true, "1.1", 0, ""},
      {"HTTP/1.1 2a0 x", true, "1.1", 0, ""},
      {"HTTP/1.1x 200 OK", true, "1.1", 0, ""},
      // Not HTTP/1.x at all.
      {"HTTP/2 200", false, "", 0, ""},
      {"http/1.1 200 OK", false, "", 0, ""},
      {"HTTP/1.", false, "", 0, ""},
      {"", false, "", 0, ""},
  };
  for (const TCase& c : cases) {
    const TStatusLine s = ParseStatusLine(c.line);
    EXPECT_EQ(s.http1, c.http1) << c.line;
    EXPECT_EQ(s.version, c.version) << c.line;
    EXPECT_EQ(s.code, c.code) << c.line;
    EXPECT_EQ(s.reason, c.reason) << c.line;
  }
}

TEST(SplitFieldLine, NameLowerCasedValueAfterBlanks) {
  struct TCase {
    const char* line;
    const char* name;
    const char* value;
  };
  const TCase cases[] = {
      {"Content-Length: 5", "content-length", "5"},
      {"Name:value", "name", "value"},
      {"X: a: b", "x", "a: b"},
      {"Name :\tv", "name ", "\tv"},  // only blanks after the colon are skipped
      {"Name:   ", "name", " "},      // the last byte stays
      {"Name:", "name", ""},
      {":v", "", "v"},
  };
  for (const TCase& c : cases) {
    const auto f = SplitFieldLine(c.line);
    ASSERT_TRUE(f.has_value()) << c.line;
    EXPECT_EQ(f->name, c.name) << c.line;
    EXPECT_EQ(f->value, c.value) << c.line;
  }
  EXPECT_FALSE(SplitFieldLine("no colon").has_value());
}

TEST(ParseContentLength, DigitsOnlyWithin63Bits) {
  const std::pair<const char*, int64_t> cases[] = {
      {"0", 0},
      {" 42\t", 42},
      {"007", 7},
      {"9223372036854775807", INT64_MAX},
      {"9223372036854775808", -1},
      {"", -1},
      {" \t", -1},
      {"+5", -1},
      {"-1", -1},
      {"5 5", -1},
      {"0x10", -1},
      {"5,5", -1},
  };
  for (const auto& [value, want] : cases) EXPECT_EQ(ParseContentLength(value), want) << value;
}

struct TScanned {
  TChunkSizeVerdict verdict = TChunkSizeVerdict::kMore;
  uint64_t length = 0;
  int64_t stop = 0;  // offset in the whole input
};

// Feeds the pieces in order until a verdict, as the chunk decoder does.
TScanned ScanPieces(std::string_view input, const std::vector<std::string_view>& pieces) {
  TChunkSizeScan scan;
  TChunkSizeStep step;
  int64_t offset = 0;
  for (std::string_view piece : pieces) {
    offset = piece.data() - input.data();
    step = ScanChunkSize(scan, piece.data(), static_cast<int64_t>(piece.size()), 0);
    if (step.verdict != TChunkSizeVerdict::kMore) break;
  }
  return {step.verdict, scan.length, offset + step.next};
}

TEST(ScanChunkSize, SameVerdictInEverySplit) {
  using V = TChunkSizeVerdict;
  struct TCase {
    std::string input;
    TScanned want;
  };
  const TCase cases[] = {
      {"1a;ext=1\r\n", {V::kDone, 0x1a, 2}},
      {"0\r\n", {V::kDone, 0, 1}},
      {"5 \r\n", {V::kDone, 5, 1}},
      {"0x10\r\n", {V::kInvalid, 0, 1}},  // not an extension: the size is unreadable
      {"5z\r\n", {V::kInvalid, 5, 1}},
      {"5\t;a\r\n", {V::kDone, 5, 1}},
      {"5\n", {V::kDone, 5, 1}},
      {"00000000000000000001\r\n", {V::kDone, 1, 20}},  // leading zeros are not counted
      {"ffffffffffffffff\r\n", {V::kDone, UINT64_MAX, 16}},
      {"10000000000000000\r\n", {V::kInvalid, 0x1000000000000000, 16}},
      {"\r\n", {V::kInvalid, 0, 0}},
      {" 5\r\n", {V::kInvalid, 0, 0}},
      {"abc", {V::kMore, 0xabc, 3}},
  };
  for (const TCase& c : cases) {
    for (const testsupport::TSplit& split : testsupport::EverySplit(c.input)) {
      const TScanned got = ScanPieces(c.input, split.pieces);
      EXPECT_EQ(got.verdict, c.want.verdict) << c.input << ", " << split.name;
      EXPECT_EQ(got.length, c.want.length) << c.input << ", " << split.name;
      EXPECT_EQ(got.stop, c.want.stop) << c.input << ", " << split.name;
    }
  }
}

TEST(Challenges, SchemeByPrefixAndItsData) {
  EXPECT_TRUE(ChallengeIs("NTLM TlRM", "NTLM"));
  EXPECT_TRUE(ChallengeIs("ntlm", "NTLM"));
  EXPECT_TRUE(ChallengeIs("NTLMx", "NTLM"));  // only the prefix is compared
  EXPECT_FALSE(ChallengeIs("NTL", "NTLM"));
  EXPECT_FALSE(ChallengeIs("Basic realm=\"x\"", "NTLM"));
  EXPECT_EQ(ChallengeData("NTLM TlRM", "NTLM", 1000), "TlRM");
  EXPECT_EQ(ChallengeData("NTLM", "NTLM", 1000), "");
  EXPECT_EQ(ChallengeData("NTLM  x", "NTLM", 1000), " x");
  EXPECT_EQ(ChallengeData("NTLM abcdef", "NTLM", 3), "abc");
}

}  // namespace

// One field value, the challenges it holds. A parameter belongs to the challenge
// before it; quoted commas and token68 padding split nothing.
TEST(SplitChallenges, OneChallengePerSchemeWhateverTheLayout) {
  using V = std::vector<std::string>;
  const std::pair<const char*, V> cases[] = {
      {"NTLM", V{"NTLM"}},
      {"NTLM TlRMTVNTUAACAAAA==", V{"NTLM TlRMTVNTUAACAAAA=="}},
      {"X-Token realm=\"a\", Basic realm=\"b\"", V{"X-Token realm=\"a\"", "Basic realm=\"b\""}},
      {"Basic realm=\"a, NTLM\", charset=\"UTF-8\"", V{"Basic realm=\"a, NTLM\", charset=\"UTF-8\""}},
      {"Digest realm=\"x\", nonce = \"n\",Negotiate,  NTLM",
       V{"Digest realm=\"x\", nonce = \"n\"", "Negotiate", "NTLM"}},
      {"Basic realm=\"q\\\", NTLM\"", V{"Basic realm=\"q\\\", NTLM\""}},
      {" , ,Basic ,", V{"Basic"}},
      {"", V{}},
  };
  for (const auto& [value, expected] : cases) EXPECT_EQ(SplitChallenges(value), expected) << value;
}

}  // namespace http
