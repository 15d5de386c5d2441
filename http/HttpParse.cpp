#include "http/HttpParse.h"

#include <climits>

#include "core/SysUtils.h"
#include "http/Url.h"

namespace http {

namespace {

// Sizes beyond 16 significant hexadecimal digits do not fit in 64 bits.
constexpr int kMaxChunkDigits = 16;

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// The code and reason after the version (1-based positions, as the line was
// first described): blanks from position 9, then the three digits.
void TakeStatusCode(std::string_view line, TStatusLine& status) {
  const auto len = static_cast<int64_t>(line.size());
  auto at = [&line](int64_t pos) { return line[static_cast<size_t>(pos - 1)]; };
  int64_t p = 9;
  while (p <= len && at(p) == ' ') ++p;
  if (p == 9 || p + 2 > len || !IsDigit(at(p)) || !IsDigit(at(p + 1)) || !IsDigit(at(p + 2))) return;
  if (p + 3 <= len && at(p + 3) != ' ' && at(p + 3) != '\t') return;
  const int code = (at(p) - '0') * 100 + (at(p + 1) - '0') * 10 + (at(p + 2) - '0');
  if (code < 100 || code > 599) return;
  status.code = code;
  status.reason = core::Copy(line, p + 4, len);
}

// The list elements of a field value: split at commas outside quoted strings,
// each trimmed.
std::vector<std::string> ListElements(std::string_view value) {
  std::vector<std::string> elements;
  std::string current;
  bool quoted = false;
  for (size_t i = 0; i < value.size(); ++i) {
    const char c = value[i];
    if (quoted && c == '\\' && i + 1 < value.size()) {
      current += c;
      current += value[++i];
      continue;
    }
    if (c == '"') quoted = !quoted;
    if (c == ',' && !quoted) {
      elements.push_back(core::Trim(current));
      current.clear();
    } else {
      current += c;
    }
  }
  elements.push_back(core::Trim(current));
  return elements;
}

// "realm=..." (a name, blanks, "=") continues a challenge; "Basic ..." starts one.
bool IsParameter(const std::string& element) {
  const size_t nameEnd = element.find_first_of(" \t=");
  if (nameEnd == 0 || nameEnd == std::string::npos) return false;
  const size_t next = element.find_first_not_of(" \t", nameEnd);
  return next != std::string::npos && element[next] == '=';
}

}  // namespace

TStatusLine ParseStatusLine(std::string_view line) {
  TStatusLine status;
  const std::string version = core::Copy(line, 1, 8);
  if (version != "HTTP/1.0" && version != "HTTP/1.1") return status;
  status.http1 = true;
  status.version = core::Copy(line, 6, 3);
  TakeStatusCode(line, status);
  return status;
}

std::optional<THeaderField> SplitFieldLine(std::string_view line) {
  const size_t colon = line.find(':');
  if (colon == std::string_view::npos) return std::nullopt;
  size_t i = colon + 1;
  while (i + 1 < line.size() && line[i] == ' ') ++i;
  THeaderField field;
  field.name = core::LowerCase(line.substr(0, colon));
  if (i < line.size()) field.value = std::string(line.substr(i));
  return field;
}

int64_t ParseContentLength(std::string_view value) {
  size_t i = 0;
  size_t end = value.size();
  while (i < end && (value[i] == ' ' || value[i] == '\t')) ++i;
  while (end > i && (value[end - 1] == ' ' || value[end - 1] == '\t')) --end;
  if (i == end) return -1;
  int64_t length = 0;
  for (; i < end; ++i) {
    if (!IsDigit(value[i])) return -1;
    const int digit = value[i] - '0';
    if (length > (INT64_MAX - digit) / 10) return -1;
    length = length * 10 + digit;
  }
  return length;
}

TChunkSizeStep ScanChunkSize(TChunkSizeScan& scan, const char* p, int64_t n, int64_t from) {
  int64_t i = from;
  for (; i < n && IsXDigit(p[i]); ++i) {
    if (scan.length != 0 || p[i] != '0') ++scan.digits;
    if (scan.digits > kMaxChunkDigits) return {TChunkSizeVerdict::kInvalid, i};
    scan.length = scan.length * 16 + static_cast<uint64_t>(XDigit(p[i]));
    scan.digitSeen = true;
  }
  if (i == n) return {TChunkSizeVerdict::kMore, i};
  // After the digits only an extension (";"), blanks or the line end may come: a
  // size such as "0x10" would otherwise read as the last chunk, and a page cut
  // short would end as a success.
  const char c = p[i];
  const bool sizeEnds = c == ';' || c == ' ' || c == '\t' || c == '\r' || c == '\n';
  return {scan.digitSeen && sizeEnds ? TChunkSizeVerdict::kDone : TChunkSizeVerdict::kInvalid, i};
}

std::vector<std::string> SplitChallenges(std::string_view value) {
  std::vector<std::string> challenges;
  for (const std::string& element : ListElements(value)) {
    if (element.empty()) continue;
    if (IsParameter(element) && !challenges.empty()) {
      challenges.back() += ", " + element;
    } else {
      challenges.push_back(element);
    }
  }
  return challenges;
}

bool ChallengeIs(std::string_view challenge, std::string_view scheme) {
  return core::SameText(core::Copy(challenge, 1, static_cast<int64_t>(scheme.size())), scheme);
}

std::string ChallengeData(std::string_view challenge, std::string_view scheme, size_t maxLen) {
  return core::Copy(challenge, static_cast<int64_t>(scheme.size()) + 2, static_cast<int64_t>(maxLen));
}

}  // namespace http
