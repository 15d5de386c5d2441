// Reading addresses and ports as text: digit runs and the dotted-address test.
#pragma once

#include <cstdint>
#include <string_view>

namespace net {

bool IsDigitChar(char ch);
// The decimal number after any leading blanks, up to the first non-digit; 0 when
// there is none. Wraps modulo 2^32 instead of overflowing.
uint32_t ParseDigits(std::string_view text);
// Four dot-separated decimal parts of at most 255, blanks allowed around.
bool IsDottedAddress(std::string_view text);

}  // namespace net
