#include "core/SysUtils.h"

#include <algorithm>
#include <charconv>
#include <limits>

namespace core {

std::string ExceptionMessage(const std::exception& e) {
  if (auto* ex = dynamic_cast<const Exception*>(&e)) return ex->Message();
  return e.what();
}

std::string ExceptionClassName(const std::exception& e) {
  if (auto* ex = dynamic_cast<const Exception*>(&e)) return ex->ClassName();
  return "Exception";
}

char UpCaseChar(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}
char LowCaseChar(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string LowerCase(std::string_view s) {
  std::string r(s);
  for (char& c : r) c = LowCaseChar(c);
  return r;
}

std::string UpperCase(std::string_view s) {
  std::string r(s);
  for (char& c : r) c = UpCaseChar(c);
  return r;
}

bool SameText(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (LowCaseChar(a[i]) != LowCaseChar(b[i])) return false;
  return true;
}

bool StartsText(std::string_view prefix, std::string_view s) {
  return s.size() >= prefix.size() && SameText(prefix, s.substr(0, prefix.size()));
}

namespace {
bool IsTrimmed(char c) {
  return static_cast<unsigned char>(c) <= ' ';
}
}  // namespace

std::string TrimLeft(std::string_view s) {
  size_t b = 0;
  while (b < s.size() && IsTrimmed(s[b])) ++b;
  return std::string(s.substr(b));
}

std::string TrimRight(std::string_view s) {
  size_t e = s.size();
  while (e > 0 && IsTrimmed(s[e - 1])) --e;
  return std::string(s.substr(0, e));
}

std::string Trim(std::string_view s) {
  return TrimLeft(TrimRight(s));
}

std::string Copy(std::string_view s, int64_t index, int64_t count) {
  if (index < 1) index = 1;
  const auto len = static_cast<int64_t>(s.size());
  if (index > len || count <= 0) return {};
  count = std::min(count, len - index + 1);
  return std::string(s.substr(static_cast<size_t>(index - 1), static_cast<size_t>(count)));
}

int64_t PosEx(std::string_view sub, std::string_view s, int64_t from) {
  if (sub.empty() || from < 1 || from > static_cast<int64_t>(s.size())) return 0;
  const size_t p = s.find(sub, static_cast<size_t>(from - 1));
  return p == std::string_view::npos ? 0 : static_cast<int64_t>(p) + 1;
}

int64_t Pos(std::string_view sub, std::string_view s) {
  return PosEx(sub, s, 1);
}

int64_t LastPos(std::string_view sub, std::string_view s) {
  if (sub.empty()) return 0;
  const size_t p = s.rfind(sub);
  return p == std::string_view::npos ? 0 : static_cast<int64_t>(p) + 1;
}

std::string IntToStr(int64_t v) {
  return std::to_string(v);
}
std::string UIntToStr(uint64_t v) {
  return std::to_string(v);
}

std::optional<int64_t> TryStrToInt64(std::string_view s) {
  if (s.empty()) return std::nullopt;
  bool neg = false;
  size_t i = 0;
  if (s[0] == '+' || s[0] == '-') {
    neg = s[0] == '-';
    i = 1;
  }
  if (i >= s.size()) return std::nullopt;
  // Accumulate the magnitude in unsigned arithmetic so the most negative value fits.
  uint64_t v = 0;
  const uint64_t limit = neg ? uint64_t{1} << 63 : static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
  for (; i < s.size(); ++i) {
    const char c = s[i];
    if (c < '0' || c > '9') return std::nullopt;
    const auto d = static_cast<uint64_t>(c - '0');
    if (v > (limit - d) / 10) return std::nullopt;
    v = v * 10 + d;
  }
  if (neg) return v == (uint64_t{1} << 63) ? std::numeric_limits<int64_t>::min() : -static_cast<int64_t>(v);
  return static_cast<int64_t>(v);
}

std::optional<int32_t> TryStrToInt(std::string_view s) {
  auto v = TryStrToInt64(s);
  if (!v || *v < std::numeric_limits<int32_t>::min() || *v > std::numeric_limits<int32_t>::max())
    return std::nullopt;
  return static_cast<int32_t>(*v);
}

namespace {
// Hexadecimal after a "$" or "0x" prefix, as the classic conversion accepts.
std::optional<int32_t> TryHexToInt(std::string_view s, bool neg) {
  if (s.empty() || s.size() > 8) return std::nullopt;
  uint32_t v = 0;
  for (char c : s) {
    int d;
    if (c >= '0' && c <= '9')
      d = c - '0';
    else if (c >= 'a' && c <= 'f')
      d = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
      d = c - 'A' + 10;
    else
      return std::nullopt;
    v = v * 16 + static_cast<uint32_t>(d);
  }
  const auto r = static_cast<int32_t>(v);
  if (!neg) return r;
  if (r == std::numeric_limits<int32_t>::min()) return r;
  return -r;
}
}  // namespace

int32_t StrToInt(std::string_view s) {
  // Leading blanks are skipped, then an optional sign, then decimal digits or a
  // "$"/"0x" hexadecimal number; nothing may follow.
  std::string_view t = s;
  while (!t.empty() && t.front() == ' ') t.remove_prefix(1);
  std::optional<int32_t> v = TryStrToInt(t);
  if (!v && !t.empty()) {
    bool neg = false;
    std::string_view u = t;
    if (u.front() == '-' || u.front() == '+') {
      neg = u.front() == '-';
      u.remove_prefix(1);
    }
    if (!u.empty() && u.front() == '$')
      v = TryHexToInt(u.substr(1), neg);
    else if (u.size() > 2 && u[0] == '0' && (u[1] == 'x' || u[1] == 'X'))
      v = TryHexToInt(u.substr(2), neg);
  }
  if (!v) throw EConvertError("'" + std::string(s) + "' is not a valid integer value");
  return *v;
}

std::string IntToHex(uint64_t v, int digits) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string r;
  do {
    r.insert(r.begin(), kHex[v & 15]);
    v >>= 4;
  } while (v != 0);
  while (static_cast<int>(r.size()) < digits) r.insert(r.begin(), '0');
  return r;
}

}  // namespace core
