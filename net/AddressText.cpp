// Address text: digit runs, ports and dotted addresses as the user writes them.
#include "net/AddressText.h"

namespace net {
namespace {

bool IsBlank(char ch) {
  return ch == ' ';
}

size_t SkipBlanks(std::string_view text, size_t i) {
  while (i < text.size() && IsBlank(text[i])) ++i;
  return i;
}

uint32_t DigitValue(char ch) {
  return static_cast<uint32_t>(ch - '0');
}

}  // namespace

bool IsDigitChar(char ch) {
  return ch >= '0' && ch <= '9';
}

uint32_t ParseDigits(std::string_view text) {
  uint32_t value = 0;  // unsigned, so a long digit run wraps instead of overflowing
  for (size_t i = SkipBlanks(text, 0); i < text.size() && IsDigitChar(text[i]); ++i)
    value = value * 10u + DigitValue(text[i]);
  return value;
}

bool IsDottedAddress(std::string_view text) {
  size_t i = SkipBlanks(text, 0);
  if (i < text.size() && text[i] == '.') return false;
  int dots = 0;
  uint32_t part = 0;
  for (; i < text.size(); ++i) {
    char ch = text[i];
    if (ch == '.') {
      ++dots;
      if (dots > 3 || part > 255 || i + 1 >= text.size() || !IsDigitChar(text[i + 1])) return false;
      part = 0;
    } else if (IsDigitChar(ch)) {
      // Once a part is known to be too large it stops growing, so it cannot wrap.
      if (part <= 255) part = part * 10 + DigitValue(ch);
    } else {
      if (SkipBlanks(text, i) != text.size()) return false;
      break;
    }
  }
  return dots == 3 && part <= 255;
}

}  // namespace net
