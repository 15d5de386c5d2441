#include "http/HostName.h"

#include <idn2.h>

#include <algorithm>

namespace http {

std::string AsciiHostName(const std::string& host) {
  const bool ascii =
      std::all_of(host.begin(), host.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  if (ascii) return host;
  // UTS #46 without the transitional mappings ("ß" stays itself), on the
  // normalised form of what was typed: what current browsers do.
  char* out = nullptr;
  if (idn2_to_ascii_8z(host.c_str(), &out, IDN2_NFC_INPUT | IDN2_NONTRANSITIONAL) != IDN2_OK) return host;
  std::string result(out);
  idn2_free(out);
  return result;
}

}  // namespace http
