#include "app/probe/Exposition.h"

#include <charconv>
#include <cmath>

namespace probe {

namespace {

// The length of the UTF-8 sequence at s[i], 0 when it is not one.
size_t Utf8Length(std::string_view s, size_t i) {
  const auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char c = b(i);
  if (c < 0x80) return 1;
  size_t n = 0;
  unsigned min = 0;
  if (c >= 0xc2 && c <= 0xdf) {
    n = 2, min = 0x80;
  } else if (c >= 0xe0 && c <= 0xef) {
    n = 3, min = 0x800;
  } else if (c >= 0xf0 && c <= 0xf4) {
    n = 4, min = 0x10000;
  } else {
    return 0;
  }
  if (i + n > s.size()) return 0;
  unsigned cp = c & (0x7f >> n);
  for (size_t k = 1; k < n; ++k) {
    if ((b(i + k) & 0xc0) != 0x80) return 0;
    cp = (cp << 6) | (b(i + k) & 0x3f);
  }
  if (cp < min || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) return 0;
  return n;
}

std::string Escape(std::string_view text, bool quotes) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    const size_t n = Utf8Length(text, i);
    if (n == 0) {
      out += "\xef\xbf\xbd";
      ++i;
      continue;
    }
    const char c = text[i];
    if (c == '\\')
      out += "\\\\";
    else if (c == '\n')
      out += "\\n";
    else if (c == '"' && quotes)
      out += "\\\"";
    else
      out.append(text.substr(i, n));
    i += n;
  }
  return out;
}

}  // namespace

std::string FormatValue(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "+Inf" : "-Inf";
  char buf[400];
  // Whole numbers (times since 1970, byte counts) in full rather than "1.8e+09".
  const bool whole = std::fabs(value) < 1e15 && value == std::trunc(value);
  const auto res = whole ? std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed)
                         : std::to_chars(buf, buf + sizeof buf, value);
  return std::string(buf, res.ptr);
}

std::string EscapeLabelValue(std::string_view value) {
  return Escape(value, true);
}

void TExposition::Family(std::string_view name, std::string_view type, std::string_view help) {
  FText.append("# HELP ").append(name).append(" ").append(Escape(help, false)).append("\n");
  FText.append("# TYPE ").append(name).append(" ").append(type).append("\n");
}

void TExposition::Sample(std::string_view name, double value, const TLabels& labels) {
  FText.append(name);
  if (!labels.empty()) {
    FText += '{';
    for (size_t i = 0; i < labels.size(); ++i) {
      if (i > 0) FText += ',';
      FText.append(labels[i].first).append("=\"").append(EscapeLabelValue(labels[i].second)).append("\"");
    }
    FText += '}';
  }
  FText.append(" ").append(FormatValue(value)).append("\n");
}

void TExposition::Gauge(std::string_view name, std::string_view help, double value, const TLabels& labels) {
  Family(name, "gauge", help);
  Sample(name, value, labels);
}

}  // namespace probe
