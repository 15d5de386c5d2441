#include "app/PageCharCounter.h"

#include <algorithm>

#include "app/PageLines.h"

namespace app {

int64_t TPageCharCounter::Read(void* /*buffer*/, int64_t /*count*/) {
  return 0;
}

// Line ends and zero bytes are rare among a page's bytes: each block of 64 is
// looked at once, and only its marked bytes one by one. The text between two
// marks counts unless a zero byte ended the line's text.
int64_t TPageCharCounter::Write(const void* buffer, int64_t count) {
  if (count <= 0) return 0;
  const char* const p = static_cast<const char*>(buffer);
  const auto n = static_cast<size_t>(count);
  size_t pos = 0;  // the first byte not yet counted
  if (FAfterCR) {
    FAfterCR = false;
    if (p[0] == '\n') pos = 1;  // the LF of a CR LF cut between two writes
  }
  for (size_t at = 0; at < n; at += 64) {
    for (uint64_t marks = PageBreakMask(p + at, std::min<size_t>(64, n - at)); marks != 0;
         marks &= marks - 1) {
      const size_t q = at + static_cast<size_t>(__builtin_ctzll(marks));
      if (q < pos) continue;  // the LF of a CR LF, counted with its CR
      TakeText(q - pos);
      pos = q + 1;
      if (p[q] == '\0') {
        FTextEnded = true;
        FLineOpen = true;
        continue;
      }
      FChars += 2;
      FLineOpen = false;
      FTextEnded = false;
      if (p[q] == '\r') {
        if (q + 1 == n)
          FAfterCR = true;
        else if (p[q + 1] == '\n')
          ++pos;
      }
    }
  }
  TakeText(n - pos);
  FSize += count;
  return count;
}

void TPageCharCounter::TakeText(size_t length) {
  if (length == 0) return;
  FLineOpen = true;
  if (!FTextEnded) FChars += static_cast<int64_t>(length);
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
