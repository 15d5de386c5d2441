// Feeds arbitrary bytes to the Base64 codec. Besides crashes, it checks that
// encoding then decoding gives the bytes back, that encoded text stays in the
// alphabet, and that decoding any text yields one to three bytes per group of four
// characters.
#include <cstddef>
#include <cstdint>
#include <string>

#include "http/MimeUtils.h"

namespace {

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);

  const std::string text = http::EncodeBase64(bytes);
  Check(text.size() == (size + 2) / 3 * 4);
  Check(text.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=") ==
        std::string::npos);
  Check(http::DecodeBase64(text) == bytes);

  const size_t groups = (size + 3) / 4;
  const std::string decoded = http::DecodeBase64(bytes);
  Check(decoded.size() >= groups && decoded.size() <= 3 * groups);
  return 0;
}
