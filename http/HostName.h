// Host names as they go on the wire: an internationalised name (any byte from
// 0x80 on) in its ASCII form, as browsers send it in Host, SNI and a proxy's
// request line.
#pragma once

#include <string>

namespace http {

// The ASCII form ("xn--...") of a UTF-8 host name; an ASCII name, an address or a
// name that has no valid ASCII form comes back unchanged (its lookup fails then).
std::string AsciiHostName(const std::string& host);

}  // namespace http
