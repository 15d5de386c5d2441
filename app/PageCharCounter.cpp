#include "app/PageCharCounter.h"

#include <algorithm>
#include <cstring>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define TL_X86_KERNELS 1
#endif

namespace app {

namespace {

// The CR, LF and zero bytes of one 64-byte block, each as bits (bit i for byte i).
struct TBlockMarks {
  uint64_t cr, lf, zero;
};

// The portable marks, and the base for every x86-64 (which always has SSE2).
TBlockMarks MarksOf(const char* p) {
  TBlockMarks m{0, 0, 0};
#if defined(TL_X86_KERNELS)
  const __m128i cr = _mm_set1_epi8('\r'), lf = _mm_set1_epi8('\n'), zero = _mm_setzero_si128();
  auto equal = [](__m128i v, __m128i c) {
    return uint64_t{static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, c)))};
  };
  for (int i = 0; i < 4; ++i) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * i));
    m.cr |= equal(v, cr) << (16 * i);
    m.lf |= equal(v, lf) << (16 * i);
    m.zero |= equal(v, zero) << (16 * i);
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

#if defined(TL_X86_KERNELS)
__attribute__((target("avx2"))) inline uint64_t Equal32(__m256i v, __m256i c) {
  return uint64_t{static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(v, c)))};
}

__attribute__((target("avx2"))) inline TBlockMarks MarksOfAvx2(const char* p) {
  const __m256i cr = _mm256_set1_epi8('\r'), lf = _mm256_set1_epi8('\n'), zero = _mm256_setzero_si256();
  const __m256i low = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
  const __m256i high = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32));
  return {Equal32(low, cr) | Equal32(high, cr) << 32, Equal32(low, lf) | Equal32(high, lf) << 32,
          Equal32(low, zero) | Equal32(high, zero) << 32};
}

__attribute__((target("avx512f,avx512bw"))) inline TBlockMarks MarksOfAvx512(const char* p) {
  const __m512i v = _mm512_loadu_si512(p);
  return {_mm512_cmpeq_epi8_mask(v, _mm512_set1_epi8('\r')),
          _mm512_cmpeq_epi8_mask(v, _mm512_set1_epi8('\n')),
          _mm512_cmpeq_epi8_mask(v, _mm512_setzero_si512())};
}
#endif

// Pages of random bytes hold a CR, LF or zero byte in most blocks, at
// unpredictable places: a loop over them costs a mispredicted branch per mark.
// Everything here is bit arithmetic on the whole block instead.
//  - an LF right after a CR (in this block or the last byte of the previous
//    write) belongs to the CR; every other CR and LF ends a line (+2);
//  - a zero byte ends the open line's text: its bit and every bit after it up to
//    the next line end are dead. Adding the zero bits to the "not a line end"
//    mask carries through each run from its first zero byte to the run's end;
//    the bits that flipped are the dead ones (a second zero byte in a run
//    flips back, the OR with the zero bits puts it back). A text that ended in
//    an earlier block kills the block's leading run the same way;
//  - every byte that is neither a line break nor dead is a character.
// Always inlined, so that each kernel below gets it compiled for its own
// instruction set (and its bit count instruction).
__attribute__((always_inline)) inline void TakeMarks(TPageLineState& s, TBlockMarks m, size_t length) {
  const uint64_t valid = length == 64 ? ~uint64_t{0} : (uint64_t{1} << length) - 1;
  const uint64_t cr = m.cr & valid, lf = m.lf & valid, zero = m.zero & valid;
  const uint64_t crlfTail = lf & ((cr << 1) | uint64_t{s.afterCR});
  const uint64_t ends = cr | (lf & ~crlfTail);
  const uint64_t open = ~ends;  // bits inside a line (padding included: it only carries out)
  // The runs dead by this block's own zero bytes do not depend on the state, so
  // the only work carried from block to block is the leading run (the open
  // line's first bytes, dead when its text had ended before the block).
  const uint64_t deadHere = (((open + zero) ^ open) & open) | zero;
  const uint64_t leadingRun = open & ~(open + 1);
  const uint64_t dead = deadHere | (leadingRun & -uint64_t{s.textEnded});
  const uint64_t text = valid & ~(cr | lf | dead);
  s.chars += __builtin_popcountll(text) + 2 * __builtin_popcountll(ends);
  const uint64_t last = uint64_t{1} << (length - 1);
  s.afterCR = (cr & last) != 0;
  s.lineOpen = ((cr | lf) & last) == 0;
  s.textEnded = (dead & last) != 0;
}

// Whole blocks, one kernel per instruction set. Each works on a local copy of
// the state: the page's bytes could alias it, which would make the compiler
// store and load it again for every block.
#define TL_BLOCK_KERNEL(name, target, marks)                                     \
  target void name(TPageLineState& s, const char* p, size_t blocks) {            \
    TPageLineState local = s;                                                    \
    for (size_t i = 0; i < blocks; ++i) TakeMarks(local, marks(p + 64 * i), 64); \
    s = local;                                                                   \
  }

TL_BLOCK_KERNEL(TakeBlocksBase, , MarksOf)
#if defined(TL_X86_KERNELS)
// The base kernel's two bit counts per block would be library calls without the
// processor's instruction, costing more than the block's other work.
TL_BLOCK_KERNEL(TakeBlocksPopcnt, __attribute__((target("popcnt"))), MarksOf)
TL_BLOCK_KERNEL(TakeBlocksAvx2, __attribute__((target("avx2,popcnt"))), MarksOfAvx2)
TL_BLOCK_KERNEL(TakeBlocksAvx512, __attribute__((target("avx512f,avx512bw,popcnt"))), MarksOfAvx512)
#endif
#undef TL_BLOCK_KERNEL

}  // namespace

std::vector<TPageCountKernel> PageCountKernels() {
  std::vector<TPageCountKernel> kernels;
#if defined(TL_X86_KERNELS)
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("popcnt"))
    kernels.push_back({"avx512bw", TakeBlocksAvx512});
  if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt"))
    kernels.push_back({"avx2", TakeBlocksAvx2});
  if (__builtin_cpu_supports("popcnt")) kernels.push_back({"sse2+popcnt", TakeBlocksPopcnt});
#endif
  kernels.push_back({"base", TakeBlocksBase});
  return kernels;
}

TPageBlockKernel FastestPageCountKernel() {
  static const TPageBlockKernel fastest = PageCountKernels().front().take;
  return fastest;
}

int64_t TPageCharCounter::Read(void* /*buffer*/, int64_t /*count*/) {
  return 0;
}

int64_t TPageCharCounter::Write(const void* buffer, int64_t count) {
  if (count <= 0) return 0;
  const char* p = static_cast<const char*>(buffer);
  const auto n = static_cast<size_t>(count);
  FKernel(FLine, p, n / 64);
  if (const size_t tail = n % 64; tail > 0) {
    // The tail goes through the same block arithmetic; the padding bytes are
    // outside the valid bits and do not count.
    char block[64] = {};
    std::memcpy(block, p + n - tail, tail);
    TakeMarks(FLine, MarksOf(block), tail);
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
  *this = TPageCharCounter(FKernel);
}

}  // namespace app
