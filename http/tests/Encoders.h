// Compressed test data made on the spot with the same libraries' encoders, so
// no binary sample is kept in the tree.
#pragma once

#include <brotli/encode.h>
#include <zlib.h>
#include <zstd.h>

#include <stdexcept>
#include <string>

namespace http::testing {

// zlib's deflate with windowBits 31 (gzip), 15 (zlib-wrapped) or -15 (raw).
inline std::string ZlibEncode(const std::string& text, int windowBits) {
  z_stream s{};
  if (deflateInit2(&s, Z_BEST_COMPRESSION, Z_DEFLATED, windowBits, 8, Z_DEFAULT_STRATEGY) != Z_OK)
    throw std::runtime_error("deflateInit2");
  std::string out(deflateBound(&s, static_cast<uLong>(text.size())), '\0');
  s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
  s.avail_in = static_cast<uInt>(text.size());
  s.next_out = reinterpret_cast<Bytef*>(out.data());
  s.avail_out = static_cast<uInt>(out.size());
  const int rc = deflate(&s, Z_FINISH);
  out.resize(s.total_out);
  deflateEnd(&s);
  if (rc != Z_STREAM_END) throw std::runtime_error("deflate");
  return out;
}

inline std::string Gzip(const std::string& text) {
  return ZlibEncode(text, 15 + 16);
}
inline std::string ZlibDeflate(const std::string& text) {
  return ZlibEncode(text, 15);
}
inline std::string RawDeflate(const std::string& text) {
  return ZlibEncode(text, -15);
}

inline std::string Brotli(const std::string& text) {
  size_t size = BrotliEncoderMaxCompressedSize(text.size());
  std::string out(size, '\0');
  if (!BrotliEncoderCompress(BROTLI_DEFAULT_QUALITY, BROTLI_DEFAULT_WINDOW, BROTLI_MODE_GENERIC, text.size(),
                             reinterpret_cast<const uint8_t*>(text.data()), &size,
                             reinterpret_cast<uint8_t*>(out.data())))
    throw std::runtime_error("BrotliEncoderCompress");
  out.resize(size);
  return out;
}

inline std::string Zstd(const std::string& text) {
  std::string out(ZSTD_compressBound(text.size()), '\0');
  const size_t size = ZSTD_compress(out.data(), out.size(), text.data(), text.size(), 3);
  if (ZSTD_isError(size)) throw std::runtime_error("ZSTD_compress");
  out.resize(size);
  return out;
}

// Text that compresses well but not trivially: numbered lines of varying words.
inline std::string SampleText(size_t lines) {
  static const char* const kWords[] = {"alpha", "bravo", "charlie", "delta", "echo", "foxtrot", "golf"};
  std::string text;
  for (size_t i = 0; i < lines; ++i) {
    text += std::to_string(i * 7919 % 1000) + " ";
    for (size_t w = 0; w < 1 + i % 5; ++w) text += std::string(kWords[(i + w * 3) % 7]) + " ";
    text += "\n";
  }
  return text;
}

}  // namespace http::testing
