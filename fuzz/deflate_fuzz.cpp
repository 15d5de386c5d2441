// The deflate decoder on arbitrary input, whole and cut anywhere (see DecoderFuzz.h).
#include "fuzz/DecoderFuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return fuzz::FuzzDecoder(http::DeflateCodingClass(), data, size);
}
