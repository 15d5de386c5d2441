#include "app/PageCharCounter.h"

#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace app {

namespace {

// The first CR, LF or zero byte at or after p, or end, looked for many bytes at a
// time: the count runs inside the measured load time.
const char* SkipText(const char* p, const char* end) {
#if defined(__SSE2__)
  // Sixteen at a time where the processor has it (every x86-64 does).
  const __m128i cr = _mm_set1_epi8('\r'), lf = _mm_set1_epi8('\n'), zero = _mm_setzero_si128();
  for (; end - p >= 16; p += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i hit =
        _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, cr), _mm_cmpeq_epi8(v, lf)), _mm_cmpeq_epi8(v, zero));
    if (const int mask = _mm_movemask_epi8(hit)) return p + __builtin_ctz(static_cast<unsigned>(mask));
  }
#endif
  constexpr uint64_t kOnes = 0x0101010101010101ull, kHighs = 0x8080808080808080ull;
  auto hasZero = [](uint64_t v) { return (v - kOnes) & ~v & kHighs; };
  for (; end - p >= 8; p += 8) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    if (hasZero(v) | hasZero(v ^ (kOnes * '\n')) | hasZero(v ^ (kOnes * '\r'))) break;
  }
  while (p < end && *p != '\r' && *p != '\n' && *p != '\0') ++p;
  return p;
}

}  // namespace

int64_t TPageCharCounter::Read(void* /*buffer*/, int64_t /*count*/) {
  return 0;
}

void TPageCharCounter::Take(char c) {
  if (FAfterCR) {
    FAfterCR = false;
    if (c == '\n') return;  // CR LF is one line end
  }
  if (c == '\r' || c == '\n') {
    FChars += 2;
    FLineOpen = false;
    FTextEnded = false;
    FAfterCR = c == '\r';
    return;
  }
  FLineOpen = true;
  if (c == '\0')
    FTextEnded = true;
  else if (!FTextEnded)
    ++FChars;
}

int64_t TPageCharCounter::Write(const void* buffer, int64_t count) {
  if (count <= 0) return 0;
  const char* p = static_cast<const char*>(buffer);
  const char* end = p + count;
  while (p < end) {
    // Runs of ordinary text are counted in one step: the byte-wise rules only
    // matter at line ends and zero bytes.
    if (!FAfterCR && !FTextEnded) {
      const char* stop = SkipText(p, end);
      if (stop != p) {
        FChars += stop - p;
        FLineOpen = true;
        p = stop;
        continue;
      }
    }
    Take(*p++);
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
