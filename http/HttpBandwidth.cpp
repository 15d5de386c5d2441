// THttpCli: bandwidth control. With httpoBandwidthControl the client counts the
// bytes it reads against a budget per sampling period. The read that overruns the
// budget pauses the socket's notifications, so the system's receive buffer fills
// and TCP flow control slows the sender; the next tick of a periodic timer
// resumes them. Nothing is held back or delayed inside the client itself.
#include <algorithm>

#include "http/HttpProt.h"
#include "platform/WinMsg.h"

namespace http {

namespace {

constexpr int kDefaultSampling = 1000;

}  // namespace

// Every request starts its count afresh; with the option on it also restarts the
// period and takes the current limit and sampling, so a change made during a
// transfer applies from the next request on.
void THttpCli::BandwidthRequestStart() {
  FBandwidthCount = 0;
  // An overrun on the last read of a kept connection left it paused; the next
  // request must get its response even with the option switched off since.
  if (FBandwidthPaused) {
    FBandwidthPaused = false;
    // A new connection starts unpaused and is left alone.
    if (FSocket->Paused()) FSocket->ResumeEvents();
  }
  if (!(FOptions & httpoBandwidthControl)) {
    if (FBandwidthTimer && FBandwidthTimer->Enabled) SetBandwidthTimerEnabled(false);
    return;
  }
  // A period of 0 never ticks and a negative budget is never paid off: either
  // would leave a paused socket paused for good.
  const int sampling = FBandwidthSampling > 0 ? FBandwidthSampling : kDefaultSampling;
  const int64_t limit = std::max(FBandwidthLimit, 0);
  if (!FBandwidthTimer) FBandwidthTimer = TBandwidthTimer{};
  SetBandwidthTimerEnabled(false);
  FBandwidthTimer->Interval = static_cast<uint32_t>(sampling);
  SetBandwidthTimerEnabled(true);
  FBandwidthMaxCount = limit * sampling / 1000;
  // One read per notification, so that a pause takes effect between two reads.
  FSocket->SetComponentOptions(FSocket->ComponentOptions().Include(net::wsoNoReceiveLoop));
}

// Pauses only while the timer runs for this request: an option switched on in the
// middle of a transfer has no tick to release the pause until the next request.
void THttpCli::BandwidthReceived(int64_t Count) {
  FBandwidthCount += Count;
  if (!(FOptions & httpoBandwidthControl) || FBandwidthPaused) return;
  if (!FBandwidthTimer || !FBandwidthTimer->Enabled) return;
  if (FBandwidthCount <= FBandwidthMaxCount) return;
  FBandwidthPaused = true;
  FSocket->PauseEvents();
}

// Stops the timer whatever the option says now: it was started by this request.
void THttpCli::BandwidthDocumentEnd() {
  if (FBandwidthTimer && FBandwidthTimer->Enabled) SetBandwidthTimerEnabled(false);
}

// Each tick pays one budget off a pause's overrun and releases the pause once the
// rest fits in a budget; a tick that finds nothing paused leaves the count as it
// is. A single read larger than the budget thus waits as many ticks as it costs:
// releasing every pause at the next tick would let one read per period through,
// whatever the limit. A budget of 0 has nothing to pay with, so there each tick
// releases one read.
void THttpCli::BandwidthTimerTick() {
  if (!FBandwidthPaused) return;
  FBandwidthCount -= FBandwidthMaxCount;
  if (FBandwidthMaxCount > 0 && FBandwidthCount > FBandwidthMaxCount) return;
  FBandwidthPaused = false;
  if (FSocket->Paused()) FSocket->ResumeEvents();
}

// Setting the window timer again restarts its period.
void THttpCli::SetBandwidthTimerEnabled(bool Enabled) {
  FBandwidthTimer->Enabled = Enabled;
  if (Enabled) {
    winapi::SetTimer(Handle(), FMsgBandwidthTimer, FBandwidthTimer->Interval, nullptr);
  } else if (FHiddenWnd) {
    winapi::KillTimer(FHiddenWnd, FMsgBandwidthTimer);
  }
}

}  // namespace http
