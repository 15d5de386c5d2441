// A stream that keeps nothing of a page and counts the characters the page pane
// would hold for it, as the bytes arrive: the line rules of SplitPageLines, every
// line counted with its CR LF. The command line uses it when it does not print the
// pages, so its memory stays flat whatever the size of the page.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/Classes.h"

namespace app {

// Where a count stands between two blocks of bytes.
struct TPageLineState {
  int64_t chars = 0;       // characters of the finished lines and the open line's text
  bool lineOpen = false;   // bytes seen since the last line end
  bool textEnded = false;  // a zero byte ended the open line's text
  bool afterCR = false;    // the last byte was a CR: an LF now belongs to it
};

// Counts whole 64-byte blocks into the state. There is one for each instruction
// set the counter knows; they give the same counts.
using TPageBlockKernel = void (*)(TPageLineState& state, const char* blocks, size_t count);
struct TPageCountKernel {
  const char* name;
  TPageBlockKernel take;
};
// The kernels this processor can run, fastest first; the last is the portable one.
std::vector<TPageCountKernel> PageCountKernels();
TPageBlockKernel FastestPageCountKernel();

class TPageCharCounter : public core::TStream {
 public:
  explicit TPageCharCounter(TPageBlockKernel kernel = FastestPageCountKernel()) : FKernel(kernel) {}
  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  // The position is always the end: what was written cannot be written over.
  int64_t Seek(int64_t offset, core::TSeekOrigin origin) override;
  int64_t Size() override { return FSize; }
  // Growing appends zero bytes; emptying starts afresh (a relocation drops the body
  // of the response that moved). A count cannot be taken back part of the way:
  // shortening to anything else raises EStreamError.
  void SetSize(int64_t newSize) override;
  // The pane's characters for everything written so far, a last line without its
  // terminator included.
  int64_t CharCount() const { return FLine.chars + (FLine.lineOpen ? 2 : 0); }
  void Clear();

 private:
  TPageBlockKernel FKernel;
  int64_t FSize = 0;
  TPageLineState FLine;
};

}  // namespace app
