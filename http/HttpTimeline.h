// THttpTimeline: where the time of one load went, phase by phase.
//
// The client keeps one timeline and moves it from phase to phase from its own
// events (MarkPhase). The phases partition the load: the clock always runs in
// exactly one phase from Start to Stop, so the phases add up to Total() by
// construction. Work done on behalf of the load after the client finished (the
// page pane) is added by its owner with Resume/Stop.
//
// Hops of a relocation and the legs of an authentication handshake run through
// the same phases as the final request; when one of them ends, everything it
// spent is folded into the redirect or auth phase (Fold), so the other phases
// describe the final request alone.
//
// Cost: two reads of the steady clock per phase change and no allocation; the
// client's whole load costs well under a microsecond (bench/timeline_bench).
// Thread: belongs to the client's thread.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace http {

enum class TLoadPhase : uint8_t {
  dns,
  connect,
  socks,
  tls,
  auth,
  redirect,
  request,
  wait,
  transfer,
  pane,
  count
};
inline constexpr size_t kLoadPhaseCount = static_cast<size_t>(TLoadPhase::count);
// "dns" ... "pane".
const char* LoadPhaseName(TLoadPhase phase);

// One connection attempt of the load's connection: times from the start of its
// connect phase.
struct TLoadConnectAttempt {
  std::string addr;   // "10.0.0.1" or "2001:db8::1"
  int family = 0;     // AF_INET or AF_INET6
  uint16_t port = 0;  // 0 when the port was no number the client could resolve
  int64_t startNs = 0;
  int64_t endNs = 0;
  bool won = false;
  uint16_t error = 0;  // the socket error of a failed attempt, so reports need not read result
  std::string result;  // "won", "no answer", "failed: Connection refused (#10061)"
};

// The figures of one finished load.
struct TLoadTimes {
  std::array<int64_t, kLoadPhaseCount> phaseNs{};
  int status = 0;
  bool reused = false;
  int redirects = 0;
  int64_t headerBytes = 0;    // status line and fields as they came off the wire
  int64_t bodyBytes = 0;      // body as it came off the wire (chunk framing included)
  int64_t decodedBytes = 0;   // document bytes after content decoding
  const char* protocol = "";  // "h2", "http/1.1" or "http/1.0": what the final request spoke
  // The connection the final response came on: the peer's address and family
  // (empty and 0 when none was made), and the attempts that made it (none when a
  // kept connection was reused).
  std::string ip;
  int family = 0;
  std::vector<TLoadConnectAttempt> connectAttempts;
  int64_t Phase(TLoadPhase p) const { return phaseNs[static_cast<size_t>(p)]; }
  int64_t TotalNs() const;
};

class THttpTimeline {
 public:
  using Clock = std::chrono::steady_clock;

  // Starts a new load in phase: clears every figure.
  void Start(TLoadPhase phase);
  // Closes the running phase and opens phase; nothing when the clock is stopped.
  void MarkPhase(TLoadPhase phase);
  // Moves the running phase's time into the sums and stops the clock.
  void Stop();
  // Runs the clock again in phase (after Stop).
  void Resume(TLoadPhase phase);
  // Moves every phase of the attempt that just ended (all but redirect, auth and
  // pane, and for a redirect also auth) into into, which then runs until the
  // next attempt marks its first phase. A fold into redirect is one response
  // followed: the hops the user counts, whatever the connection did.
  void Fold(TLoadPhase into);
  // Bytes of the response off the wire: the first one opens the transfer.
  void Received(int64_t count) {
    if (FCurrent < TLoadPhase::transfer) MarkPhase(TLoadPhase::transfer);
    FWireBytes += count;
  }
  // Document bytes after content decoding.
  void Decoded(int64_t count) { FTimes.decodedBytes += count; }
  // The end of the client's part of the load: the final response's figures; the
  // clock stops.
  void Finish(int status, bool reused, int64_t headerBytes);
  bool Running() const { return FRunning; }
  TLoadPhase Current() const { return FCurrent; }

  TLoadTimes& Times() { return FTimes; }
  const TLoadTimes& Times() const { return FTimes; }

 private:
  void CloseRunning(Clock::time_point now);

  TLoadTimes FTimes;
  TLoadPhase FCurrent = TLoadPhase::dns;
  int64_t FWireBytes = 0;
  Clock::time_point FMark{};
  bool FRunning = false;
};

}  // namespace http
