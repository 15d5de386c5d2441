// Base64 encoding and decoding.
#include "http/MimeUtils.h"

#include <array>
#include <cstdint>

namespace http {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr uint8_t kPad = 64;       // "="
constexpr uint8_t kInvalid = 255;  // outside the alphabet

// Indexed by the unsigned byte value, so characters above 127 land on kInvalid.
constexpr std::array<uint8_t, 256> MakeDecodeTable() {
  std::array<uint8_t, 256> table{};
  for (auto& v : table) v = kInvalid;
  for (uint8_t i = 0; i < 64; ++i) table[static_cast<uint8_t>(kAlphabet[i])] = i;
  table['='] = kPad;
  return table;
}

constexpr std::array<uint8_t, 256> kDecode = MakeDecodeTable();

uint8_t ValueAt(std::string_view text, size_t i) {
  return i < text.size() ? kDecode[static_cast<uint8_t>(text[i])] : kPad;
}

}  // namespace

std::string EncodeBase64(std::string_view Bytes) {
  std::string out;
  out.reserve((Bytes.size() + 2) / 3 * 4);
  for (size_t i = 0; i < Bytes.size(); i += 3) {
    const size_t n = Bytes.size() - i < 3 ? Bytes.size() - i : 3;
    uint32_t group = static_cast<uint32_t>(static_cast<uint8_t>(Bytes[i])) << 16;
    if (n > 1) group |= static_cast<uint32_t>(static_cast<uint8_t>(Bytes[i + 1])) << 8;
    if (n > 2) group |= static_cast<uint8_t>(Bytes[i + 2]);
    out += kAlphabet[(group >> 18) & 63];
    out += kAlphabet[(group >> 12) & 63];
    out += n > 1 ? kAlphabet[(group >> 6) & 63] : '=';
    out += n > 2 ? kAlphabet[group & 63] : '=';
  }
  return out;
}

std::string DecodeBase64(std::string_view Text) {
  std::string out;
  out.reserve(Text.size() / 4 * 3 + 3);
  for (size_t i = 0; i < Text.size(); i += 4) {
    const uint8_t a = ValueAt(Text, i);
    const uint8_t b = ValueAt(Text, i + 1);
    const uint8_t c = ValueAt(Text, i + 2);
    const uint8_t d = ValueAt(Text, i + 3);
    out += static_cast<char>(static_cast<uint8_t>((a << 2) | ((b >> 4) & 3)));
    if (c == kPad) continue;
    out += static_cast<char>(static_cast<uint8_t>((b << 4) | ((c >> 2) & 15)));
    if (d == kPad) continue;
    out += static_cast<char>(static_cast<uint8_t>((c << 6) | (d & 63)));
  }
  return out;
}

}  // namespace http
