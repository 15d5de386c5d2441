#include "app/probe/ScrapeRequest.h"

#include <charconv>
#include <cmath>

#include "http/Url.h"

namespace probe {

namespace {

constexpr size_t kMaxLeadingBlankLines = 4;  // a client may send CR LF after a body it sent before

bool IsTokenChar(char c) {
  if (c >= 'a' && c <= 'z') return true;
  if (c >= 'A' && c <= 'Z') return true;
  if (c >= '0' && c <= '9') return true;
  return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

bool IsToken(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s)
    if (!IsTokenChar(c)) return false;
  return true;
}

// Visible ASCII only: a blank or control byte inside the target would end it
// or smuggle something past the log.
bool IsTargetText(std::string_view s) {
  for (char c : s) {
    const auto u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u >= 0x7f) return false;
  }
  return true;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// A comma-separated list field holds a token, without regard to case.
bool ListHas(std::string_view list, std::string_view token) {
  while (!list.empty()) {
    const size_t comma = list.find(',');
    if (EqualsNoCase(TrimBlanks(list.substr(0, comma)), token)) return true;
    if (comma == std::string_view::npos) break;
    list.remove_prefix(comma + 1);
  }
  return false;
}

// Seconds as Prometheus writes them ("10", "9.5"): a plain positive decimal.
std::optional<double> ParseSeconds(std::string_view text) {
  if (text.empty() || text.front() == '+' || text.front() == '-') return std::nullopt;
  double value = 0;
  const auto [end, ec] =
      std::from_chars(text.data(), text.data() + text.size(), value, std::chars_format::fixed);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  if (!std::isfinite(value) || value <= 0) return std::nullopt;
  return value;
}

}  // namespace

std::optional<std::string> PercentDecode(std::string_view text, bool plusIsSpace) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '%') {
      if (i + 2 >= text.size()) return std::nullopt;
      if (!http::IsXDigit(text[i + 1]) || !http::IsXDigit(text[i + 2])) return std::nullopt;
      const char decoded = static_cast<char>(http::XDigit(text[i + 1]) * 16 + http::XDigit(text[i + 2]));
      if (decoded == '\0') return std::nullopt;
      out += decoded;
      i += 2;
    } else if (c == '+' && plusIsSpace) {
      out += ' ';
    } else {
      out += c;
    }
  }
  return out;
}

std::optional<std::string> TScrapeRequest::Param(std::string_view name) const {
  for (const auto& [key, value] : query)
    if (key == name) return value;
  return std::nullopt;
}

size_t TScrapeRequest::ParamCount(std::string_view name) const {
  size_t n = 0;
  for (const auto& entry : query)
    if (entry.first == name) ++n;
  return n;
}

TScrapeVerdict TScrapeRequestParser::Feed(std::string_view bytes) {
  while (FVerdict == TScrapeVerdict::kNeedMore && !bytes.empty()) {
    const size_t lf = bytes.find('\n');
    const size_t take = lf == std::string_view::npos ? bytes.size() : lf + 1;
    FLine.append(bytes.substr(0, take - (lf == std::string_view::npos ? 0 : 1)));
    FConsumed += take;
    bytes.remove_prefix(take);
    // The limits hold while the line is still coming: a scraper that never
    // ends it is cut off at the limit, not when memory runs out.
    if (!FSeenRequestLine && FLine.size() > FLimits.requestLine + 1)
      return Fail(414, "request line longer than " + std::to_string(FLimits.requestLine) + " bytes"),
             FVerdict;
    if (FSeenRequestLine && FHeaderBytes + FLine.size() > FLimits.headerBytes)
      return Fail(431, "header fields larger than " + std::to_string(FLimits.headerBytes) + " bytes"),
             FVerdict;
    if (lf == std::string_view::npos) break;
    std::string line = std::move(FLine);
    FLine.clear();
    if (!line.empty() && line.back() == '\r') line.pop_back();
    Line(line);
  }
  return FVerdict;
}

void TScrapeRequestParser::Fail(int status, std::string reason) {
  FVerdict = TScrapeVerdict::kError;
  FErrorStatus = status;
  FErrorReason = std::move(reason);
}

void TScrapeRequestParser::Line(std::string_view line) {
  if (!FSeenRequestLine) {
    if (line.empty()) {
      if (FConsumed > 2 * kMaxLeadingBlankLines) Fail(400, "blank lines instead of a request");
      return;
    }
    if (line.size() > FLimits.requestLine)
      return Fail(414, "request line longer than " + std::to_string(FLimits.requestLine) + " bytes");
    FSeenRequestLine = true;
    return RequestLine(line);
  }
  if (line.empty()) {
    FRequest.keepAlive = FHttp11 && !FSawClose;
    FVerdict = TScrapeVerdict::kRequest;
    return;
  }
  FHeaderBytes += line.size() + 2;
  if (++FHeaderCount > FLimits.headerCount)
    return Fail(431, "more than " + std::to_string(FLimits.headerCount) + " header fields");
  HeaderField(line);
}

void TScrapeRequestParser::RequestLine(std::string_view line) {
  const size_t sp1 = line.find(' ');
  const size_t sp2 = sp1 == std::string_view::npos ? sp1 : line.find(' ', sp1 + 1);
  if (sp2 == std::string_view::npos || line.find(' ', sp2 + 1) != std::string_view::npos)
    return Fail(400, "malformed request line");
  const std::string_view method = line.substr(0, sp1);
  const std::string_view target = line.substr(sp1 + 1, sp2 - sp1 - 1);
  const std::string_view version = line.substr(sp2 + 1);
  if (!IsToken(method)) return Fail(400, "malformed request line");
  if (version.size() != 8 || version.substr(0, 5) != "HTTP/" || version[6] != '.' || version[5] < '0' ||
      version[5] > '9' || version[7] < '0' || version[7] > '9')
    return Fail(400, "malformed HTTP version");
  if (version[5] != '1') return Fail(505, "only HTTP/1.x is served");
  FHttp11 = version[7] != '0';
  if (method != "GET" && method != "HEAD") return Fail(405, "only GET and HEAD are served");
  if (target.empty() || target.front() != '/' || !IsTargetText(target))
    return Fail(400, "the request target must be a path");
  FRequest.method = std::string(method);
  const size_t question = target.find('?');
  auto path = PercentDecode(target.substr(0, question), false);
  if (!path) return Fail(400, "bad percent escape in the path");
  FRequest.path = std::move(*path);
  if (question == std::string_view::npos) return;
  std::string_view query = target.substr(question + 1);
  while (!query.empty()) {
    const size_t amp = query.find('&');
    const std::string_view pair = query.substr(0, amp);
    query.remove_prefix(amp == std::string_view::npos ? query.size() : amp + 1);
    if (pair.empty()) continue;
    const size_t eq = pair.find('=');
    auto name = PercentDecode(pair.substr(0, eq), true);
    auto value = PercentDecode(eq == std::string_view::npos ? std::string_view() : pair.substr(eq + 1), true);
    if (!name || !value) return Fail(400, "bad percent escape in the query");
    FRequest.query.emplace_back(std::move(*name), std::move(*value));
  }
}

void TScrapeRequestParser::HeaderField(std::string_view line) {
  if (line.front() == ' ' || line.front() == '\t') return Fail(400, "folded header field");
  const size_t colon = line.find(':');
  if (colon == std::string_view::npos || !IsToken(line.substr(0, colon)))
    return Fail(400, "malformed header field");
  const std::string_view name = line.substr(0, colon);
  const std::string_view value = TrimBlanks(line.substr(colon + 1));
  for (char c : value) {
    const auto u = static_cast<unsigned char>(c);
    if ((u < 0x20 && c != '\t') || u == 0x7f) return Fail(400, "control byte in a header field");
  }
  if (EqualsNoCase(name, "X-Prometheus-Scrape-Timeout-Seconds")) {
    const std::optional<double> seconds = ParseSeconds(value);
    if (!seconds || FRequest.scrapeTimeoutSeconds)
      return Fail(400, "bad X-Prometheus-Scrape-Timeout-Seconds");
    FRequest.scrapeTimeoutSeconds = seconds;
  } else if (EqualsNoCase(name, "Authorization")) {
    if (!FRequest.authorization.empty()) return Fail(400, "more than one Authorization field");
    FRequest.authorization = std::string(value);
  } else if (EqualsNoCase(name, "Connection")) {
    if (ListHas(value, "close")) FSawClose = true;
  } else if (EqualsNoCase(name, "Transfer-Encoding") ||
             (EqualsNoCase(name, "Content-Length") && value != "0")) {
    // A body would be left unread and taken for the next request.
    return Fail(400, "a scrape has no body");
  }
}

}  // namespace probe
