// The command line's progress bar: "load i of N", elapsed time and rate, redrawn
// in place on one terminal line and erased when the run ends. The caller decides
// whether to show it (stderr is a terminal, no --quiet); a disabled bar writes
// nothing.
#pragma once

#include <chrono>
#include <iosfwd>
#include <string>

namespace app {

class TProgressBar {
 public:
  using Clock = std::chrono::steady_clock;
  TProgressBar(std::ostream& out, bool enabled) : FOut(out), FEnabled(enabled) {}
  ~TProgressBar() { Clear(); }
  TProgressBar(const TProgressBar&) = delete;
  TProgressBar& operator=(const TProgressBar&) = delete;

  // A new series of loads (one URL, or the warm-up) named label.
  void Begin(const std::string& label, int total);
  // done loads of the series are finished.
  void Update(int done);
  void Clear();

  // The line drawn for done of total loads after elapsedSeconds (no control codes).
  static std::string Line(const std::string& label, int done, int total, double elapsedSeconds);

 private:
  std::ostream& FOut;
  bool FEnabled;
  bool FDrawn = false;
  std::string FLabel;
  int FTotal = 0;
  Clock::time_point FStart;
};

}  // namespace app
