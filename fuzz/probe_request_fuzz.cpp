// The probe server's scrape request parser with arbitrary bytes under small
// limits. The first byte seeds where the input is cut; the rest is the
// connection's bytes. Checked, for every input:
// - whole, byte by byte and in pseudo-random pieces give the same verdict, the
//   same request or the same error status, and the same head length;
// - an error is a 4xx or 505 with a reason; a request is a GET or HEAD of a path
//   whose decoded query holds no NUL byte;
// - the head never reads past the bytes given, and the limits bound it.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "app/probe/ScrapeRequest.h"

namespace {

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

constexpr probe::TScrapeLimits kLimits{.requestLine = 512, .headerBytes = 1024, .headerCount = 16};

struct TOutcome {
  probe::TScrapeVerdict verdict;
  int status;
  size_t consumed;
  probe::TScrapeRequest request;
};

TOutcome Parse(std::string_view input, const std::vector<size_t>& cuts) {
  probe::TScrapeRequestParser parser(kLimits);
  size_t at = 0;
  for (size_t cut : cuts) {
    if (cut <= at || cut > input.size()) continue;
    parser.Feed(input.substr(at, cut - at));
    at = cut;
  }
  parser.Feed(input.substr(at));
  return {parser.Verdict(), parser.ErrorStatus(), parser.Consumed(), parser.Request()};
}

void CheckSame(const TOutcome& a, const TOutcome& b) {
  Check(a.verdict == b.verdict);
  if (a.verdict == probe::TScrapeVerdict::kError) Check(a.status == b.status);
  if (a.verdict != probe::TScrapeVerdict::kRequest) return;
  Check(a.consumed == b.consumed);
  Check(a.request.method == b.request.method && a.request.path == b.request.path);
  Check(a.request.query == b.request.query && a.request.authorization == b.request.authorization);
  Check(a.request.scrapeTimeoutSeconds == b.request.scrapeTimeoutSeconds);
  Check(a.request.keepAlive == b.request.keepAlive);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const std::string_view input(reinterpret_cast<const char*>(data + 1), size - 1);
  const TOutcome whole = Parse(input, {});
  std::vector<size_t> bytes, random;
  for (size_t i = 1; i < input.size(); ++i) bytes.push_back(i);
  uint32_t seed = data[0] * 2654435761u + 1;
  for (size_t at = 0; at < input.size();) {
    seed = seed * 1103515245u + 12345u;
    at += 1 + (seed >> 16) % 64;
    random.push_back(at);
  }
  CheckSame(whole, Parse(input, bytes));
  CheckSame(whole, Parse(input, random));

  Check(whole.consumed <= input.size());
  if (whole.verdict == probe::TScrapeVerdict::kError) {
    Check((whole.status >= 400 && whole.status < 432) || whole.status == 505);
  } else if (whole.verdict == probe::TScrapeVerdict::kRequest) {
    const auto& r = whole.request;
    Check(r.method == "GET" || r.method == "HEAD");
    Check(!r.path.empty() && r.path.front() == '/');
    for (const auto& [name, value] : r.query)
      Check(name.find('\0') == std::string::npos && value.find('\0') == std::string::npos);
    Check(whole.consumed <= kLimits.requestLine + kLimits.headerBytes + 2 * kLimits.headerCount + 64);
  }
  return 0;
}
