// THttpCli: bandwidth control. With httpoBandwidthControl the client counts the
// bytes it reads against a budget per sampling period and never reads more than
// the current budget has left (one byte at least, so a transfer always moves).
// The read that spends the budget pauses the socket's notifications, so the
// system's receive buffer fills and TCP flow control slows the sender; a tick of
// a periodic timer pays the period's budget and resumes them. Nothing is held back
// or delayed inside the client itself. A page of k budgets thus takes between
// k - 1 and k periods, however small it is next to one receive block. Over HTTP/2
// the socket goes on: the stream's text is taken only as the budget allows, and
// its flow-control window, about two budgets, holds the server back.
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
  FBandwidthPerPeriod = limit * sampling;
  FBandwidthFraction = 0;
  FBandwidthMaxCount = 0;
  BandwidthNextBudget();
  // One read per notification, so that a pause takes effect between two reads.
  FSocket->SetComponentOptions(FSocket->ComponentOptions().Include(net::wsoNoReceiveLoop));
}

// Thousandths of a byte that a period's budget leaves over are not lost: with a
// limit of 1 B/s and a period of 100 ms, every tenth period has a byte to spend.
void THttpCli::BandwidthNextBudget() {
  const int64_t total = FBandwidthPerPeriod + FBandwidthFraction;
  FBandwidthMaxCount = total / 1000;
  FBandwidthFraction = total % 1000;
}

// How much the next read may take: what the budget has left, at least one byte
// (a socket is only read when it is not paused, so the byte is owed at worst).
int64_t THttpCli::BandwidthReadCap(int64_t Room) const {
  if (!(FOptions & httpoBandwidthControl) || !FBandwidthTimer || !FBandwidthTimer->Enabled) return Room;
  return std::clamp<int64_t>(FBandwidthMaxCount - FBandwidthCount, 1, std::max<int64_t>(Room, 1));
}

// Pauses only while the timer runs for this request: an option switched on in the
// middle of a transfer has no tick to release the pause until the next request.
void THttpCli::BandwidthReceived(int64_t Count) {
  FBandwidthCount += Count;
  if (!(FOptions & httpoBandwidthControl) || FBandwidthPaused) return;
  if (!FBandwidthTimer || !FBandwidthTimer->Enabled) return;
  if (FBandwidthCount < FBandwidthMaxCount) return;
  FBandwidthPaused = true;
  // HTTP/2 stops taking the stream's text instead: its window holds the server.
  if (!FHttp2) FSocket->PauseEvents();
}

// Stops the timer whatever the option says now: it was started by this request.
void THttpCli::BandwidthDocumentEnd() {
  if (FBandwidthTimer && FBandwidthTimer->Enabled) SetBandwidthTimerEnabled(false);
}

// A tick that finds a pause pays the ending period's budget off the count and
// releases the pause once the next period's budget has room for a byte; a tick
// that finds nothing paused leaves the count as it is. A limit of 0 never has a
// budget, so there each tick releases one read (of one byte).
void THttpCli::BandwidthTimerTick() {
  if (!FBandwidthPaused) return;
  FBandwidthCount -= FBandwidthMaxCount;
  BandwidthNextBudget();
  if (FBandwidthPerPeriod > 0 && FBandwidthCount >= FBandwidthMaxCount) return;
  FBandwidthPaused = false;
  if (FSocket->Paused()) FSocket->ResumeEvents();
  if (FHttp2) Http2Deliver(0);
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
