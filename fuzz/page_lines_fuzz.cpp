// Splits arbitrary bytes into the page pane's lines and compares the result with
// a plain byte-at-a-time splitter: the fast one scans eight bytes at a time and
// skips past zero bytes, so its line ends are easy to get wrong at word edges.
// The command line's character counter (a kernel per instruction set) must
// give the pane's count too, however the bytes are cut into writes.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "app/PageCharCounter.h"
#include "app/SpeedRun.h"

namespace {

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

// CR LF, a lone CR and a lone LF each end a line; a zero byte ends the line's
// text; a last line without a terminator counts.
std::vector<std::string> ReferenceLines(const char* data, size_t size) {
  std::vector<std::string> lines;
  std::string line;
  bool cut = false, open = false;
  for (size_t i = 0; i < size; ++i) {
    const char c = data[i];
    if (c == '\r' || c == '\n') {
      lines.push_back(line);
      line.clear();
      cut = open = false;
      if (c == '\r' && i + 1 < size && data[i + 1] == '\n') ++i;
      continue;
    }
    open = true;
    if (c == '\0') cut = true;
    if (!cut) line += c;
  }
  if (open) lines.push_back(line);
  return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  const auto* data = reinterpret_cast<const char*>(bytes);
  const app::TPageLines lines = app::SplitPageLines(data, static_cast<int64_t>(size));
  const std::vector<std::string> expected = ReferenceLines(data, size);
  Check(lines.Count() == expected.size());
  Check(lines.ToVector() == expected);

  size_t text = 0;
  for (const auto& l : expected) text += l.size();
  Check(lines.CharCount() == static_cast<int64_t>(text + 2 * expected.size()));
  Check(lines.CrLfText().size() == static_cast<size_t>(lines.CharCount()));

  const size_t cut = size > 0 ? bytes[0] * size / 256 : 0;
  // Asked once: the processor does not change between inputs.
  static const std::vector<app::TPageCountKernel> kKernels = app::PageCountKernels();
  for (const app::TPageCountKernel& kernel : kKernels) {
    app::TPageCharCounter counter(kernel.take);
    counter.Write(data, static_cast<int64_t>(cut));
    counter.Write(data + cut, static_cast<int64_t>(size - cut));
    Check(counter.CharCount() == lines.CharCount());
  }

  // Appending keeps every line and the ends of the lines already there.
  app::TPageLines both = app::SplitPageLines("first\r\n", 7);
  both.Append(lines);
  Check(both.Count() == expected.size() + 1 && both.Line(0) == "first");
  for (size_t i = 0; i < expected.size(); ++i) Check(both.Line(i + 1) == expected[i]);
  return 0;
}
