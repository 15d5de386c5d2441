// The zstd decoder on arbitrary input, whole and cut anywhere (see DecoderFuzz.h).
#include "fuzz/DecoderFuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The zstd library decodes a single-segment frame that is wholly present in
  // one call through its one-pass path, which checks empty blocks and what
  // follows a frame differently from its streaming path. The decoder already
  // closes the gaps that change the bytes (declared sizes, legacy frames); these
  // only decide whether a malformed stream with empty blocks passes, so here
  // the verdict may differ between splits, the bytes may not.
  return fuzz::FuzzDecoder(http::ZstdCodingClass(), data, size, true);
}
