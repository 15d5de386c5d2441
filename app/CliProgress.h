// The command line's progress bar: "load i of N", the bytes and time of the load
// under way, elapsed time and rate, redrawn in place on one terminal line (also
// while a slow load runs) and erased when the run ends. The caller decides
// whether to show it (stderr is a terminal, no --quiet); a disabled bar writes
// nothing.
#pragma once

#include <chrono>
#include <cstdint>
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
  // done loads of the series are finished; the next one starts.
  void Update(int done);
  // The load under way has received bytes so far: redrawn at most every 200 ms.
  void Tick(int64_t bytes);
  void Clear();

  // The line drawn for done of total loads after elapsedSeconds (no control
  // codes); with loadBytes of 0 or more, the load under way's bytes and seconds.
  static std::string Line(const std::string& label, int done, int total, double elapsedSeconds,
                          int64_t loadBytes = -1, double loadSeconds = 0);

 private:
  std::ostream& FOut;
  bool FEnabled;
  bool FDrawn = false;
  std::string FLabel;
  int FTotal = 0;
  int FDone = 0;
  Clock::time_point FStart, FLoadStart, FDrawnAt;
};

}  // namespace app
