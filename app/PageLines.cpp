#include "app/PageLines.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

namespace app {

TPageLines::TPageLines(const TPageLines& other)
    : FSpans(other.FSpans),
      FLongLines(other.FLongLines),
      FTextChars(other.FTextChars),
      FLongest(other.FLongest) {
  Reserve(other.FSize);
  if (other.FSize) std::memcpy(FBytes, other.FBytes, other.FSize);
  FSize = other.FSize;
}

TPageLines::TPageLines(TPageLines&& other) noexcept
    : FBytes(std::exchange(other.FBytes, nullptr)),
      FSize(std::exchange(other.FSize, 0)),
      FCapacity(std::exchange(other.FCapacity, 0)),
      FSpans(std::move(other.FSpans)),
      FLongLines(std::move(other.FLongLines)),
      FTextChars(std::exchange(other.FTextChars, 0)),
      FLongest(std::exchange(other.FLongest, 0)) {
  other.FSpans.clear();
  other.FLongLines.clear();
}

TPageLines& TPageLines::operator=(TPageLines other) noexcept {
  std::swap(FBytes, other.FBytes);
  std::swap(FSize, other.FSize);
  std::swap(FCapacity, other.FCapacity);
  std::swap(FSpans, other.FSpans);
  std::swap(FLongLines, other.FLongLines);
  std::swap(FTextChars, other.FTextChars);
  std::swap(FLongest, other.FLongest);
  return *this;
}

TPageLines::~TPageLines() {
  std::free(FBytes);
}

// Room for bytes more: at least doubling, so appending page after page copies
// each byte a bounded number of times (and realloc moves large blocks by
// remapping them).
void TPageLines::Reserve(size_t bytes) {
  if (FCapacity - FSize >= bytes) return;
  const size_t wanted = std::max(FSize + bytes, FCapacity * 2);
  void* grown = std::realloc(FBytes, wanted);
  if (grown == nullptr) throw std::bad_alloc();
  FBytes = static_cast<char*>(grown);
  FCapacity = wanted;
}

void TPageLines::AppendPage(const char* data, int64_t size) {
  if (data == nullptr || size <= 0) return;
  const auto n = static_cast<size_t>(size);
  Reserve(n);
  const size_t base = FSize;
  std::memcpy(FBytes + base, data, n);
  FSize += n;
  Split(base, n);
}

void TPageLines::AppendReceived(core::TMemoryStream& page) {
  if (page.Memory() == nullptr || page.Size() <= 0) return;
  if (FSize != 0 || !FSpans.empty()) {
    AppendPage(page.Memory(), page.Size());
    return;
  }
  const core::TMemoryStream::TBlock taken = page.ReleaseBlock();
  page.AdoptBlock({std::exchange(FBytes, taken.data), 0, static_cast<int64_t>(FCapacity)});
  FCapacity = static_cast<size_t>(taken.capacity);
  FSize = static_cast<size_t>(taken.size);
  Split(0, FSize);
}

// Lines of the n bytes at base, which already are in FBytes.
void TPageLines::Split(size_t base, size_t n) {
  // Room for lines of 16 bytes on average in one step: growing the index by
  // copies while a huge page is split would hold two of it at once. Room that
  // is never written costs no memory.
  const size_t guess = FSpans.size() + n / 16 + 1;
  if (guess > FSpans.capacity()) FSpans.reserve(std::max(guess, FSpans.capacity() * 2));
  const char* const page = FBytes + base;
  constexpr size_t kNone = SIZE_MAX;
  size_t start = 0;        // the open line's first byte
  size_t textEnd = kNone;  // where a zero byte ended the open line's text
  size_t skip = kNone;     // the LF of a CR LF, already counted with its CR
  // Line ends are rare among the bytes: each block of 64 is looked at once, and
  // only its marked bytes one by one.
  for (size_t at = 0; at < n; at += 64) {
    uint64_t marks = PageBreakMask(page + at, std::min<size_t>(64, n - at));
    for (; marks != 0; marks &= marks - 1) {
      const size_t q = at + static_cast<size_t>(__builtin_ctzll(marks));
      const char c = page[q];
      if (c == '\0') {
        if (textEnd == kNone) textEnd = q;
        continue;
      }
      if (q == skip) continue;
      AddSpan(base + start, base + std::min(textEnd, q));
      textEnd = kNone;
      start = q + 1;
      if (c == '\r' && q + 1 < n && page[q + 1] == '\n') skip = start++;
    }
  }
  // A last line without its terminator counts; a terminator at the end adds none.
  if (start < n) AddSpan(base + start, base + std::min(textEnd, n));
}

void TPageLines::Add(const char* text, size_t length) {
  Reserve(length);
  if (length) std::memcpy(FBytes + FSize, text, length);
  AddSpan(FSize, FSize + length);
  FSize += length;
}

void TPageLines::Append(const TPageLines& other) {
  const size_t base = FSize;
  Reserve(other.FSize);
  if (other.FSize) std::memcpy(FBytes + FSize, other.FBytes, other.FSize);
  FSize += other.FSize;
  FSpans.reserve(FSpans.size() + other.FSpans.size());
  for (const auto& [line, length] : other.FLongLines) FLongLines.push_back({FSpans.size() + line, length});
  for (const TSpan& span : other.FSpans) FSpans.push_back(TSpan::Of(base + span.begin, span.length));
  FTextChars += other.FTextChars;
  FLongest = std::max(FLongest, other.FLongest);
}

// Memory up to 64 MiB stays for the next run; a run of huge pages gives its
// memory back.
void TPageLines::Clear() {
  constexpr size_t kKept = size_t{64} << 20;
  if (FCapacity > kKept) {
    std::free(std::exchange(FBytes, nullptr));
    FCapacity = 0;
  }
  if (FSpans.capacity() * sizeof(TSpan) > kKept) std::vector<TSpan>().swap(FSpans);
  FSize = 0;
  FSpans.clear();
  FLongLines.clear();
  FTextChars = 0;
  FLongest = 0;
}

std::string_view TPageLines::Line(size_t index) const {
  const TSpan& span = FSpans[index];
  size_t length = span.length;
  if (length == kLongLine)
    length = std::lower_bound(FLongLines.begin(), FLongLines.end(), std::make_pair(index, size_t{0}))->second;
  return std::string_view(FBytes + span.begin, length);
}

std::string TPageLines::CrLfText() const {
  std::string r;
  r.reserve(static_cast<size_t>(CharCount()));
  for (size_t i = 0; i < Count(); ++i) {
    r += Line(i);
    r += "\r\n";
  }
  return r;
}

std::vector<std::string> TPageLines::ToVector() const {
  std::vector<std::string> r;
  for (size_t i = 0; i < Count(); ++i) r.emplace_back(Line(i));
  return r;
}

TPageLines SplitPageLines(const char* data, int64_t size) {
  TPageLines lines;
  lines.AppendPage(data, size);
  return lines;
}

}  // namespace app
