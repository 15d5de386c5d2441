#include "app/PageCharCounter.h"

#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace app {

namespace {

// The CR, LF and zero bytes of one 64-byte block, each as bits (bit i for byte i).
struct TBlockMarks {
  uint64_t cr, lf, zero;
};

#if defined(__SSE2__)
uint64_t Equal16(__m128i v, __m128i c) {
  return static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, c)));
}
#endif

TBlockMarks MarksOf(const char* p) {
  TBlockMarks m{0, 0, 0};
#if defined(__SSE2__)
  const __m128i cr = _mm_set1_epi8('\r'), lf = _mm_set1_epi8('\n'), zero = _mm_setzero_si128();
  for (int i = 0; i < 4; ++i) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * i));
    m.cr |= Equal16(v, cr) << (16 * i);
    m.lf |= Equal16(v, lf) << (16 * i);
    m.zero |= Equal16(v, zero) << (16 * i);
  }
#else
  for (int i = 0; i < 64; ++i) {
    const uint64_t bit = uint64_t{1} << i;
    m.cr |= p[i] == '\r' ? bit : 0;
    m.lf |= p[i] == '\n' ? bit : 0;
    m.zero |= p[i] == '\0' ? bit : 0;
  }
#endif
  return m;
}

// Pages of random bytes hold a CR, LF or zero byte in most blocks, at
// unpredictable places: a loop over them costs a mispredicted branch per mark.
// Everything here is bit arithmetic on the whole block instead.
//  - an LF right after a CR (in this block or the last byte of the previous
//    write) belongs to the CR; every other CR and LF ends a line (+2);
//  - a zero byte ends the open line's text: its bit and every bit after it up to
//    the next line end are dead. Adding the zero bits to the "not a line end"
//    mask carries through each run from its first zero byte to the run's end;
//    the bits that flipped are the dead ones (a second zero byte in a run
//    flips back, the OR with the zero bits puts it back);
//  - every byte that is neither a line break nor dead is a character.
inline void TakeBlock(TPageLineState& s, const char* p, size_t length) {
  const uint64_t valid = length == 64 ? ~uint64_t{0} : (uint64_t{1} << length) - 1;
  const TBlockMarks m = MarksOf(p);
  const uint64_t cr = m.cr & valid, lf = m.lf & valid, zero = m.zero & valid;
  const uint64_t crlfTail = lf & ((cr << 1) | uint64_t{s.afterCR});
  const uint64_t ends = cr | (lf & ~crlfTail);
  const uint64_t open = ~ends;  // bits inside a line (padding included: it only carries out)
  const uint64_t deadFrom = zero | (uint64_t{s.textEnded} & open);
  const uint64_t dead = (((open + deadFrom) ^ open) & open) | deadFrom;
  const uint64_t text = valid & ~(cr | lf | dead);
  s.chars += __builtin_popcountll(text) + 2 * __builtin_popcountll(ends);
  const uint64_t last = uint64_t{1} << (length - 1);
  s.afterCR = (cr & last) != 0;
  s.lineOpen = ((cr | lf) & last) == 0;
  s.textEnded = (dead & last) != 0;
}

// Whole blocks. Two bit counts per block: where the processor has an instruction
// for them it is used, else a library call per count would cost more than the
// block's other work.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
__attribute__((target_clones("popcnt", "default")))
#endif
void TakeBlocks(TPageLineState& s, const char* p, size_t blocks) {
  // A local copy: the page's bytes could alias the state, which would then be
  // stored and loaded again for every block.
  TPageLineState local = s;
  for (size_t i = 0; i < blocks; ++i) TakeBlock(local, p + 64 * i, 64);
  s = local;
}

}  // namespace

int64_t TPageCharCounter::Read(void* /*buffer*/, int64_t /*count*/) {
  return 0;
}

int64_t TPageCharCounter::Write(const void* buffer, int64_t count) {
  if (count <= 0) return 0;
  const char* p = static_cast<const char*>(buffer);
  const auto n = static_cast<size_t>(count);
  TakeBlocks(FLine, p, n / 64);
  if (const size_t tail = n % 64; tail > 0) {
    // The tail goes through the same block arithmetic; the padding bytes are
    // outside the valid bits and do not count.
    char block[64] = {};
    std::memcpy(block, p + n - tail, tail);
    TakeBlock(FLine, block, tail);
  }
  FSize += count;
  return count;
}

int64_t TPageCharCounter::Seek(int64_t /*offset*/, core::TSeekOrigin /*origin*/) {
  return FSize;
}

void TPageCharCounter::SetSize(int64_t newSize) {
  if (newSize <= 0) {
    Clear();
    return;
  }
  if (newSize < FSize) throw core::EStreamError("Stream write error");
  static constexpr char kZeros[4096] = {};
  while (FSize < newSize) Write(kZeros, std::min<int64_t>(newSize - FSize, sizeof kZeros));
}

void TPageCharCounter::Clear() {
  *this = TPageCharCounter();
}

}  // namespace app
