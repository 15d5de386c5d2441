// The scraper's request as the probe server reads it: the request line, the
// path, the query string (percent-decoded) and the two header fields the server
// acts on, the scrape timeout and the credentials. Nothing else of the head is
// kept; a body is refused, since no scrape sends one.
//
// The parser is fed the bytes as they arrive, in pieces of any size, and keeps
// what it needs between pieces. Every limit is checked as the bytes come, so a
// scraper that never ends its line or its head costs at most the limit. The
// verdict is a request, or the status and reason of a 4xx answer (505 for an
// HTTP version other than 1.x).
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace probe {

struct TScrapeLimits {
  size_t requestLine = 8 * 1024;   // bytes of the request line, its line end left out
  size_t headerBytes = 16 * 1024;  // bytes of the header fields, line ends included
  size_t headerCount = 64;
};

struct TScrapeRequest {
  std::string method;                                      // "GET" or "HEAD"
  std::string path;                                        // decoded: "/probe"
  std::vector<std::pair<std::string, std::string>> query;  // decoded, in their order
  std::optional<double> scrapeTimeoutSeconds;              // X-Prometheus-Scrape-Timeout-Seconds
  std::string authorization;                               // as sent; empty when absent
  bool keepAlive = false;                                  // HTTP/1.1 without "Connection: close"

  // The first value of a query parameter, if it is there.
  std::optional<std::string> Param(std::string_view name) const;
  // How often a query parameter is there.
  size_t ParamCount(std::string_view name) const;
};

enum class TScrapeVerdict { kNeedMore, kRequest, kError };

class TScrapeRequestParser {
 public:
  explicit TScrapeRequestParser(TScrapeLimits limits = {}) : FLimits(limits) {}

  // Takes the next piece of the connection's bytes. Bytes after the end of the
  // head are left alone: Consumed() says where the head ended. Once the verdict
  // is kRequest or kError, further pieces change nothing.
  TScrapeVerdict Feed(std::string_view bytes);
  TScrapeVerdict Verdict() const { return FVerdict; }
  // Bytes of all pieces taken so far that belong to the head.
  size_t Consumed() const { return FConsumed; }

  const TScrapeRequest& Request() const { return FRequest; }
  // The answer to a bad request: 400, 405, 414, 431 or 505, and why.
  int ErrorStatus() const { return FErrorStatus; }
  const std::string& ErrorReason() const { return FErrorReason; }

 private:
  void Line(std::string_view line);
  void RequestLine(std::string_view line);
  void HeaderField(std::string_view line);
  void Fail(int status, std::string reason);

  TScrapeLimits FLimits;
  TScrapeRequest FRequest;
  TScrapeVerdict FVerdict = TScrapeVerdict::kNeedMore;
  std::string FLine;  // the line so far, without its end
  bool FSeenRequestLine = false;
  bool FSawClose = false, FHttp11 = false;
  size_t FHeaderBytes = 0, FHeaderCount = 0, FConsumed = 0;
  int FErrorStatus = 0;
  std::string FErrorReason;
};

// Decodes %XY escapes, and '+' as a blank when plusIsSpace (a query string).
// Empty optional for a broken escape or a decoded NUL byte.
std::optional<std::string> PercentDecode(std::string_view text, bool plusIsSpace);

}  // namespace probe
