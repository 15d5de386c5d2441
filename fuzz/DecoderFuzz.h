// What the decoder fuzz targets share: one coded stream decoded whole and cut at
// pseudo-random points must end the same way (the same bytes, or a failure both
// times), and never expand past the output limit.
//
// Input layout: bytes 0-3 seed the cut points; the rest is the coded stream.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "http/HttpCCodecs.h"
#include "http/HttpException.h"

namespace fuzz {

inline constexpr int64_t kOutputLimit = 4 << 20;

struct TDecoded {
  std::string out;
  bool failed = false;
};

// seed 0 feeds the stream whole; otherwise a small linear congruential generator
// chooses each piece's size (1 to 64 bytes, or up to 4 KiB).
inline TDecoded Decode(const http::THttpContentCodingClass& type, const uint8_t* data, size_t size,
                       uint32_t seed) {
  TDecoded r;
  auto decoder = type.Create([&r](const char* b, int64_t n) { r.out.append(b, static_cast<size_t>(n)); });
  decoder->SetOutputLimit(kOutputLimit);
  const bool whole = seed == 0;
  const size_t maxPiece = (seed & 1) ? 64 : 4096;
  try {
    while (size > 0) {
      seed = seed * 1103515245u + 12345u;
      const size_t piece = whole ? size : std::min<size_t>(size, 1 + (seed >> 16) % maxPiece);
      decoder->DecodeBytes(reinterpret_cast<const char*>(data), static_cast<int64_t>(piece));
      data += piece;
      size -= piece;
    }
    decoder->Complete();
  } catch (const http::EHttpContentCodingException&) {
    r.failed = true;
  }
  if (static_cast<int64_t>(r.out.size()) > kOutputLimit) __builtin_trap();
  return r;
}

// lenientVerdict: a malformed stream may be refused in one split and taken in
// another; when both take it, the bytes must still be the same.
inline int FuzzDecoder(const http::THttpContentCodingClass& type, const uint8_t* data, size_t size,
                       bool lenientVerdict = false) {
  if (size < 4) return 0;
  uint32_t seed;
  std::memcpy(&seed, data, 4);
  data += 4;
  size -= 4;
  const TDecoded whole = Decode(type, data, size, 0);
  const TDecoded split = Decode(type, data, size, seed == 0 ? 1 : seed);
  if (whole.failed != split.failed && !lenientVerdict) __builtin_trap();
  if (!whole.failed && !split.failed && whole.out != split.out) __builtin_trap();
  return 0;
}

}  // namespace fuzz
