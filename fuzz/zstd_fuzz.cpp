// The zstd decoder on arbitrary input, whole and cut anywhere (see DecoderFuzz.h).
#include "fuzz/DecoderFuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The zstd library decodes a single-segment frame that is wholly present in
  // one call through its one-pass path, which checks blocks more strictly than
  // its streaming path (a compressed block of size 0 is refused there and taken
  // when streamed). The decoder already closes the gaps that change the bytes
  // (declared sizes, legacy frames); this one only decides whether a malformed
  // but empty block passes.
  return fuzz::FuzzDecoder(http::ZstdCodingClass(), data, size, true);
}
