// Compares the integer conversions with std::from_chars: TryStrToInt64 and
// TryStrToInt take an optional sign and decimal digits only; StrToInt also skips
// leading blanks and takes "$" or "0x" with up to eight hexadecimal digits, whose
// value wraps into 32 bits as the classic conversion's does.
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

#include "core/SysUtils.h"

namespace {

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

// from_chars takes a minus sign but no plus sign.
std::optional<int64_t> ReferenceInt64(std::string_view s) {
  if (!s.empty() && s[0] == '+') {
    s.remove_prefix(1);
    if (s.empty() || s[0] == '-') return std::nullopt;
  }
  int64_t v = 0;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v, 10);
  if (s.empty() || ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
  return v;
}

std::optional<int32_t> ReferenceInt32(std::string_view s) {
  const auto v = ReferenceInt64(s);
  if (!v || *v < std::numeric_limits<int32_t>::min() || *v > std::numeric_limits<int32_t>::max())
    return std::nullopt;
  return static_cast<int32_t>(*v);
}

std::optional<int32_t> ReferenceStrToInt(std::string_view s) {
  while (!s.empty() && s[0] == ' ') s.remove_prefix(1);
  if (auto v = ReferenceInt32(s)) return v;
  bool neg = false;
  if (!s.empty() && (s[0] == '-' || s[0] == '+')) {
    neg = s[0] == '-';
    s.remove_prefix(1);
  }
  std::string_view hex;
  if (!s.empty() && s[0] == '$')
    hex = s.substr(1);
  else if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X'))
    hex = s.substr(2);
  else
    return std::nullopt;
  if (hex.empty() || hex.size() > 8) return std::nullopt;
  uint32_t v = 0;
  const auto [end, ec] = std::from_chars(hex.data(), hex.data() + hex.size(), v, 16);
  if (ec != std::errc() || end != hex.data() + hex.size()) return std::nullopt;
  return static_cast<int32_t>(neg ? 0u - v : v);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string s(reinterpret_cast<const char*>(data), size);
  Check(core::TryStrToInt64(s) == ReferenceInt64(s));
  Check(core::TryStrToInt(s) == ReferenceInt32(s));

  const std::optional<int32_t> expected = ReferenceStrToInt(s);
  try {
    const int32_t v = core::StrToInt(s);
    Check(expected && v == *expected);
  } catch (const core::EConvertError& e) {
    Check(!expected && e.Message() == "'" + s + "' is not a valid integer value");
  }
  return 0;
}
