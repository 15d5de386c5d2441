// Base64 (the alphabet, padding and bit order of RFC 4648, section 4), for NTLM
// messages and Basic credentials.
//
// Pure functions on 8-bit strings (which may hold zero bytes); any thread.
#pragma once

#include <string>
#include <string_view>

namespace http {

// Four characters per three bytes, "=" padding, no line breaks; "" for "".
std::string EncodeBase64(std::string_view Bytes);

// Never fails. The text is read in groups of four characters; "=" and the
// characters missing from a last short group end a group early, and a character
// outside the alphabet is not skipped but counts as the value 255 (so garbage in
// gives garbage out, of a predictable length). Each group yields one byte, a
// second unless its third character is "=", a third unless its third or fourth is.
std::string DecodeBase64(std::string_view Text);

}  // namespace http
