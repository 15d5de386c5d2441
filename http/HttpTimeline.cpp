#include "http/HttpTimeline.h"

#include <algorithm>

namespace http {

const char* LoadPhaseName(TLoadPhase phase) {
  static const char* const names[kLoadPhaseCount] = {"dns",      "connect", "socks", "tls",      "auth",
                                                     "redirect", "request", "wait",  "transfer", "pane"};
  const auto i = static_cast<size_t>(phase);
  return i < kLoadPhaseCount ? names[i] : "?";
}

int64_t TLoadTimes::TotalNs() const {
  int64_t sum = 0;
  for (int64_t ns : phaseNs) sum += ns;
  return sum;
}

void THttpTimeline::CloseRunning(Clock::time_point now) {
  FTimes.phaseNs[static_cast<size_t>(FCurrent)] +=
      std::chrono::duration_cast<std::chrono::nanoseconds>(now - FMark).count();
  FMark = now;
}

void THttpTimeline::Start(TLoadPhase phase) {
  FTimes = TLoadTimes{};
  FWireBytes = 0;
  FCurrent = phase;
  FRunning = true;
  FMark = Clock::now();
}

void THttpTimeline::MarkPhase(TLoadPhase phase) {
  if (!FRunning || phase == FCurrent) return;
  CloseRunning(Clock::now());
  FCurrent = phase;
}

void THttpTimeline::Stop() {
  if (!FRunning) return;
  CloseRunning(Clock::now());
  FRunning = false;
}

void THttpTimeline::Resume(TLoadPhase phase) {
  if (FRunning) {
    MarkPhase(phase);
    return;
  }
  FCurrent = phase;
  FRunning = true;
  FMark = Clock::now();
}

void THttpTimeline::Fold(TLoadPhase into) {
  if (FRunning) CloseRunning(Clock::now());
  for (size_t i = 0; i < kLoadPhaseCount; ++i) {
    const auto p = static_cast<TLoadPhase>(i);
    if (p == into || p == TLoadPhase::redirect || p == TLoadPhase::pane) continue;
    FTimes.phaseNs[static_cast<size_t>(into)] += FTimes.phaseNs[i];
    FTimes.phaseNs[i] = 0;
  }
  // The bytes of a hop or leg are not the document's.
  FWireBytes = 0;
  FTimes.decodedBytes = 0;
  if (into == TLoadPhase::redirect) ++FTimes.redirects;
  if (FRunning) FCurrent = into;
}

void THttpTimeline::Finish(int status, bool reused, int64_t headerBytes) {
  if (!FRunning) return;
  Stop();
  FTimes.status = status;
  FTimes.reused = reused;
  FTimes.headerBytes = std::min(headerBytes, FWireBytes);
  FTimes.bodyBytes = FWireBytes - FTimes.headerBytes;
}

}  // namespace http
