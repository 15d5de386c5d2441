// MD4 as RFC 1320 gives it: three rounds of sixteen steps over each 64-byte
// block, little-endian words, and the padding of section 3.1 and 3.2.
#include "http/MD4.h"

#include <algorithm>
#include <cstring>

namespace http {

namespace {

constexpr uint32_t kInitialState[4] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476};

uint32_t RotateLeft(uint32_t x, int n) {
  return (x << n) | (x >> (32 - n));
}

uint32_t F(uint32_t x, uint32_t y, uint32_t z) {
  return (x & y) | (~x & z);
}
uint32_t G(uint32_t x, uint32_t y, uint32_t z) {
  return (x & y) | (x & z) | (y & z);
}
uint32_t H(uint32_t x, uint32_t y, uint32_t z) {
  return x ^ y ^ z;
}

// The three rounds: the word order and rotations of each, and its constant.
constexpr int kRound1Shift[4] = {3, 7, 11, 19};
constexpr int kRound2Shift[4] = {3, 5, 9, 13};
constexpr int kRound3Shift[4] = {3, 9, 11, 15};
constexpr int kRound2Order[16] = {0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15};
constexpr int kRound3Order[16] = {0, 8, 4, 12, 2, 10, 6, 14, 1, 9, 5, 13, 3, 11, 7, 15};

void Compress(uint32_t (&state)[4], const uint8_t* block) {
  uint32_t x[16];
  for (int i = 0; i < 16; ++i) {
    const uint8_t* p = block + 4 * i;
    x[i] = static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
  }
  uint32_t v[4] = {state[0], state[1], state[2], state[3]};
  // Step i works on word (-i mod 4) with the next three in turn: a, d, c, b, a, ...
  auto word = [&v](int step, int k) -> uint32_t& { return v[(4 - step % 4 + k) % 4]; };
  for (int i = 0; i < 16; ++i) {
    uint32_t& a = word(i, 0);
    a = RotateLeft(a + F(word(i, 1), word(i, 2), word(i, 3)) + x[i], kRound1Shift[i % 4]);
  }
  for (int i = 0; i < 16; ++i) {
    uint32_t& a = word(i, 0);
    a = RotateLeft(a + G(word(i, 1), word(i, 2), word(i, 3)) + x[kRound2Order[i]] + 0x5A827999,
                   kRound2Shift[i % 4]);
  }
  for (int i = 0; i < 16; ++i) {
    uint32_t& a = word(i, 0);
    a = RotateLeft(a + H(word(i, 1), word(i, 2), word(i, 3)) + x[kRound3Order[i]] + 0x6ED9EBA1,
                   kRound3Shift[i % 4]);
  }
  for (int i = 0; i < 4; ++i) state[i] += v[i];
}

void CheckInitialized(const TMD4Context& context) {
  if (!context.Initialized) throw MD4Exception("MD4 not initialized");
}

}  // namespace

void Md4Init(TMD4Context& Context) {
  Context = TMD4Context{};
  std::memcpy(Context.State, kInitialState, sizeof(kInitialState));
  Context.Initialized = true;
}

void Md4Update(TMD4Context& Context, std::string_view Bytes) {
  CheckInitialized(Context);
  Context.BitCount += static_cast<uint64_t>(Bytes.size()) * 8;
  const auto* p = reinterpret_cast<const uint8_t*>(Bytes.data());
  size_t left = Bytes.size();
  while (left > 0) {
    const size_t take = std::min<size_t>(left, 64 - Context.Buffered);
    std::memcpy(Context.Block + Context.Buffered, p, take);
    Context.Buffered += static_cast<uint32_t>(take);
    p += take;
    left -= take;
    if (Context.Buffered == 64) {
      Compress(Context.State, Context.Block);
      Context.Buffered = 0;
    }
  }
}

TMD4Digest Md4Final(TMD4Context& Context) {
  CheckInitialized(Context);
  const uint64_t bits = Context.BitCount;
  // A one bit, zeros up to 56 bytes modulo 64, then the message length in bits.
  const size_t padding = Context.Buffered < 56 ? 56 - Context.Buffered : 120 - Context.Buffered;
  static const uint8_t kPadding[64] = {0x80};
  Md4Update(Context, std::string_view(reinterpret_cast<const char*>(kPadding), padding));
  char length[8];
  for (int i = 0; i < 8; ++i) length[i] = static_cast<char>((bits >> (8 * i)) & 0xFF);
  Md4Update(Context, std::string_view(length, 8));
  TMD4Digest digest{};
  for (int i = 0; i < 16; ++i)
    digest[static_cast<size_t>(i)] = static_cast<uint8_t>((Context.State[i / 4] >> (8 * (i % 4))) & 0xFF);
  Context = TMD4Context{};
  return digest;
}

TMD4Digest Md4Digest(std::string_view Bytes) {
  TMD4Context context;
  Md4Init(context);
  Md4Update(context, Bytes);
  return Md4Final(context);
}

}  // namespace http
