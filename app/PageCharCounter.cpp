#include "app/PageCharCounter.h"

#include <algorithm>

#include "app/PageLines.h"

namespace app {

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
      const char* stop = FindPageBreak(p, end);
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
