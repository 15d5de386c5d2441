// The page pane's text: received pages split into lines as a text pane would
// hold them. The pages' bytes are kept as they came, one block for all, with
// where each line's text starts and ends.
//
// Splitting runs inside every load's measured time, so a page costs at most one
// copy of its bytes (none for the first page, whose block is taken over) and one
// pass that looks at 64 bytes at a time for line ends, and the block keeps its
// memory when emptied: the next run writes into memory the system already gave
// it. A line costs 8 bytes of index, so a page of short lines needs little more
// than its own size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/Classes.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace app {

#if defined(__SSE2__)
// Sixteen bytes at a time where the processor has it (every x86-64 does): the
// positions of CR, LF and zero bytes as bits.
inline uint64_t PageBreakMask16(const char* p) {
  const __m128i cr = _mm_set1_epi8('\r'), lf = _mm_set1_epi8('\n'), zero = _mm_setzero_si128();
  const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  return static_cast<uint32_t>(_mm_movemask_epi8(
      _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, cr), _mm_cmpeq_epi8(v, lf)), _mm_cmpeq_epi8(v, zero))));
}
#endif

// The CR, LF and zero bytes among p[0, count), count <= 64, as bits (bit i for
// p[i]): what a line scan has to look at one by one. Inline: it runs once per 64
// bytes of every page.
inline uint64_t PageBreakMask(const char* p, size_t count) {
#if defined(__SSE2__)
  if (count == 64)
    return PageBreakMask16(p) | PageBreakMask16(p + 16) << 16 | PageBreakMask16(p + 32) << 32 |
           PageBreakMask16(p + 48) << 48;
#endif
  uint64_t mask = 0;
  for (size_t i = 0; i < count; ++i)
    if (p[i] == '\r' || p[i] == '\n' || p[i] == '\0') mask |= uint64_t{1} << i;
  return mask;
}

class TPageLines {
 public:
  TPageLines() = default;
  TPageLines(const TPageLines& other);
  TPageLines(TPageLines&& other) noexcept;
  TPageLines& operator=(TPageLines other) noexcept;
  ~TPageLines();

  // Splits a received page into lines and appends them: CR LF, a lone CR and a
  // lone LF each end a line; a zero byte ends the line's text early; a final line
  // without a terminator counts, a terminator at the very end adds no empty line.
  void AppendPage(const char* data, int64_t size);
  // The same for a page received into a stream's block: empty lines take the
  // block over instead of copying it, and give the stream the block they held, to
  // be written again.
  void AppendReceived(core::TMemoryStream& page);
  void Add(const char* text, size_t length);
  void Append(const TPageLines& other);
  // Empties the lines; the memory stays for the next ones unless it is large.
  void Clear();
  size_t Count() const { return FSpans.size(); }
  std::string_view Line(size_t index) const;
  size_t LongestLine() const { return FLongest; }
  // Characters as a text pane holds them: every line followed by CR LF.
  int64_t CharCount() const { return static_cast<int64_t>(FTextChars + 2 * FSpans.size()); }
  // The lines, each followed by CR LF (what Save writes and Copy puts on the clipboard).
  std::string CrLfText() const;
  std::vector<std::string> ToVector() const;

 private:
  // A line's text in FBytes: where it starts (40 bits: 1 TiB) and its length (24
  // bits); a line of kLongLine bytes or more keeps its length in FLongLines.
  struct TSpan {
    uint64_t begin : 40;
    uint64_t length : 24;
    static TSpan Of(size_t begin, size_t length) {
      TSpan span;
      span.begin = begin;
      span.length = length;
      return span;
    }
  };
  static constexpr uint64_t kLongLine = (uint64_t{1} << 24) - 1;
  void Reserve(size_t bytes);
  void Split(size_t base, size_t n);
  void AddSpan(size_t begin, size_t end) {
    const size_t length = end - begin;
    if (length >= kLongLine) FLongLines.push_back({FSpans.size(), length});
    FSpans.push_back(TSpan::Of(begin, length < kLongLine ? length : kLongLine));
    FTextChars += length;
    FLongest = length > FLongest ? length : FLongest;
  }

  char* FBytes = nullptr;  // malloc'ed: it grows with realloc, in place where it can
  size_t FSize = 0, FCapacity = 0;
  std::vector<TSpan> FSpans;
  std::vector<std::pair<size_t, size_t>> FLongLines;  // line index and length, ascending
  size_t FTextChars = 0;                              // the lines' text, without the line ends
  size_t FLongest = 0;                                // the longest line's length
};

// The lines of one page (AppendPage into empty lines).
TPageLines SplitPageLines(const char* data, int64_t size);

}  // namespace app
