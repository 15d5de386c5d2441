// URL splitting and the small text searches the HTTP client shares.
//
// Everything here is purely lexical and works on 8-bit text: no percent-decoding,
// no validation of host names or ports, no case mapping except the protocol.
// The functions never fail; every input gives some split. Positions are 1-based.
#pragma once

#include <cstdint>
#include <string>

namespace http {

// Splits url into its parts. path is in and out: on entry it holds the current
// path, used only to resolve a url that begins with "./" or "../"; on return it
// holds the url's path (with its query). All six outputs are cleared first.
// The port stays text ("" when absent); the host keeps its case; the protocol is
// lower-cased. A url beginning with "//" is a network-path reference: the host
// follows the two slashes.
void ParseURL(const std::string& url, std::string& proto, std::string& user, std::string& pass,
              std::string& host, std::string& port, std::string& path);

// The port a URL of the protocol means when it names none: "443" for "https",
// "80" for anything else.
std::string DefaultPort(const std::string& proto);

// Position of an occurrence of s in d. count > 0: the count-th occurrence from
// the start, or a value greater than the length of d when there are fewer.
// count < 0: the |count|-th non-overlapping occurrence from the end (-1 is the
// last one), or 0 when there are fewer. count == 0, or s empty with count < 0: 0.
int64_t Posn(const std::string& s, const std::string& d, int64_t count);

// True for "0" to "9", "a" to "f" and "A" to "F".
bool IsXDigit(char ch);
// Value of a hexadecimal digit; meaningful only when IsXDigit(ch) is true.
int XDigit(char ch);

}  // namespace http
