#include "app/CliProgress.h"

#include <algorithm>
#include <cstdio>
#include <ostream>

namespace app {

namespace {

std::string BytesText(int64_t bytes) {
  char buf[32];
  if (bytes >= 1000000)
    std::snprintf(buf, sizeof buf, "%.1f MB", static_cast<double>(bytes) / 1e6);
  else if (bytes >= 1000)
    std::snprintf(buf, sizeof buf, "%.1f kB", static_cast<double>(bytes) / 1e3);
  else
    std::snprintf(buf, sizeof buf, "%lld B", static_cast<long long>(bytes));
  return buf;
}

}  // namespace

std::string TProgressBar::Line(const std::string& label, int done, int total, double elapsedSeconds,
                               int64_t loadBytes, double loadSeconds) {
  constexpr int kWidth = 30;
  const int filled = total > 0 ? std::clamp(done * kWidth / total, 0, kWidth) : 0;
  std::string bar = "[" + std::string(static_cast<size_t>(filled), '#') +
                    std::string(static_cast<size_t>(kWidth - filled), '.') + "]";
  char figures[96];
  const double rate = elapsedSeconds > 0 ? done / elapsedSeconds : 0;
  std::snprintf(figures, sizeof figures, " load %d of %d", std::min(done + 1, total), total);
  std::string line = label + " " + bar + figures;
  if (loadBytes >= 0 && done < total) {
    std::snprintf(figures, sizeof figures, " (%s, %.1f s)", BytesText(loadBytes).c_str(), loadSeconds);
    line += figures;
  }
  std::snprintf(figures, sizeof figures, ", %.1f s, %.1f loads/s", elapsedSeconds, rate);
  return line + figures;
}

void TProgressBar::Begin(const std::string& label, int total) {
  FLabel = label;
  FTotal = total;
  FStart = Clock::now();
  Update(0);
}

void TProgressBar::Update(int done) {
  FDone = done;
  FLoadStart = Clock::now();
  if (!FEnabled) return;
  const double elapsed = std::chrono::duration<double>(FLoadStart - FStart).count();
  // Carriage return and erase-line: the bar is redrawn in place.
  FOut << "\r\x1b[K" << Line(FLabel, done, FTotal, elapsed) << std::flush;
  FDrawn = true;
  FDrawnAt = FLoadStart;
}

void TProgressBar::Tick(int64_t bytes) {
  const Clock::time_point now = Clock::now();
  if (!FEnabled || now - FDrawnAt < std::chrono::milliseconds(200)) return;
  const auto seconds = [](Clock::duration d) { return std::chrono::duration<double>(d).count(); };
  FOut << "\r\x1b[K" << Line(FLabel, FDone, FTotal, seconds(now - FStart), bytes, seconds(now - FLoadStart))
       << std::flush;
  FDrawn = true;
  FDrawnAt = now;
}

void TProgressBar::Clear() {
  if (!FDrawn) return;
  FOut << "\r\x1b[K" << std::flush;
  FDrawn = false;
}

}  // namespace app
