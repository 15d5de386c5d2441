#include "app/CliProgress.h"

#include <algorithm>
#include <cstdio>
#include <ostream>

namespace app {

std::string TProgressBar::Line(const std::string& label, int done, int total, double elapsedSeconds) {
  constexpr int kWidth = 30;
  const int filled = total > 0 ? std::clamp(done * kWidth / total, 0, kWidth) : 0;
  std::string bar = "[" + std::string(static_cast<size_t>(filled), '#') +
                    std::string(static_cast<size_t>(kWidth - filled), '.') + "]";
  char figures[96];
  const double rate = elapsedSeconds > 0 ? done / elapsedSeconds : 0;
  std::snprintf(figures, sizeof figures, " load %d of %d, %.1f s, %.1f loads/s", std::min(done + 1, total),
                total, elapsedSeconds, rate);
  return label + " " + bar + figures;
}

void TProgressBar::Begin(const std::string& label, int total) {
  FLabel = label;
  FTotal = total;
  FStart = Clock::now();
  Update(0);
}

void TProgressBar::Update(int done) {
  if (!FEnabled) return;
  const double elapsed = std::chrono::duration<double>(Clock::now() - FStart).count();
  // Carriage return and erase-line: the bar is redrawn in place.
  FOut << "\r\x1b[K" << Line(FLabel, done, FTotal, elapsed) << std::flush;
  FDrawn = true;
}

void TProgressBar::Clear() {
  if (!FDrawn) return;
  FOut << "\r\x1b[K" << std::flush;
  FDrawn = false;
}

}  // namespace app
