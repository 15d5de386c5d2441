#include "app/TerminalText.h"

namespace app {

namespace {

std::string Escaped(const std::string& text, bool keepTabs) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const auto b = static_cast<unsigned char>(c);
    if ((b < 0x20 && !(keepTabs && c == '\t')) || b == 0x7f) {
      out += "\\x";
      out += kHex[b >> 4];
      out += kHex[b & 15];
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace

std::string TerminalSafe(const std::string& text) {
  return Escaped(text, false);
}

std::string TerminalSafePage(const std::string& line) {
  return Escaped(line, true);
}

}  // namespace app
