// TConnectRace: connects to one of several addresses of a host the way a browser
// does (Happy Eyeballs, RFC 8305). Attempts start in the order given, the next one
// when the running one fails or, when racing, after AttemptDelay without an
// answer; attempts already running go on. The first connection wins, every other
// attempt is closed, and the winning handle is handed to the caller (TakeWinner),
// typically for TCustomWSocket::ConnectHandle. Without racing, one attempt runs
// at a time, each until the system gives up on it.
//
// Every attempt is recorded: address, start and end (nanoseconds since Start) and
// result. OnDone fires once per Start, from the message loop: error 0 with a
// winner, or the last attempt's error when none connected. Cancel closes every
// attempt without an event.
//
// Thread: the thread of the race's window (the first Start). Lifecycle as any
// component: core::MakeComponent / core::Free; freeing it cancels the race.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "core/WndControl.h"
#include "platform/WinSock.h"

namespace net {

enum class TAttemptResult : uint8_t { running, won, failed, abandoned };

struct TConnectAttempt {
  std::string addr;  // "10.0.0.1" or "2001:db8::1"
  int family = AF_INET;
  int64_t startNs = 0;
  int64_t endNs = 0;
  TAttemptResult result = TAttemptResult::running;
  uint16_t error = 0;  // the socket error of a failed attempt
  winapi::SOCKET handle = -1;
};

// "won", "refused (#10061)"-style text: "failed: <error text> (#code)", and for an
// attempt closed while it had no answer "no answer".
std::string AttemptResultText(const TConnectAttempt& a);

// The addresses in the order of attempts: families alternate, starting with the
// family of the first IPv6 address when there is one (IPv6 is preferred), each
// family in its own order.
std::vector<std::string> InterleaveFamilies(const std::vector<std::string>& addrs);

class TConnectRace : public core::TWndControl {
 public:
  using TDoneEvent = std::function<void(TConnectRace* Sender, uint16_t ErrCode)>;
  static constexpr uint32_t kDefaultAttemptDelay = 250;

  explicit TConnectRace(core::TComponent* AOwner);
  ~TConnectRace() override;

  // Starts attempts to addrs (IPv4 dotted or IPv6 text) on port, in that order.
  // Race false: the next attempt only when the running one failed. An address
  // that is no literal fails its attempt with WSAEINVAL.
  void Start(const std::vector<std::string>& Addrs, uint16_t Port, bool Race);
  void Cancel();
  // The connected handle of the winner, once: the race forgets it.
  winapi::SOCKET TakeWinner();
  const std::vector<TConnectAttempt>& Attempts() const { return FAttempts; }
  const TConnectAttempt* Winner() const;
  bool Running() const { return FRunning; }

  uint32_t AttemptDelay = kDefaultAttemptDelay;
  TDoneEvent OnDone;

  int MsgHandlersCount() override;
  void AllocateMsgHandlers() override;
  void FreeMsgHandlers() override;
  void WndProc(core::TMessage& MsgRec) override;
  void BeforeDestruction() override;

 private:
  int64_t Now() const;
  void StartNext();
  bool OpenAttempt(TConnectAttempt& a);
  void AttemptFinished(size_t index, uint16_t ErrCode);
  void Finish(uint16_t ErrCode);
  void CloseRunning(TAttemptResult Result);
  void SetTimer(bool On);

  std::vector<TConnectAttempt> FAttempts;
  std::vector<std::string> FPending;  // addresses not yet tried
  uint16_t FPort = 0;
  bool FRace = true;
  bool FRunning = false;
  bool FTimerOn = false;
  uint16_t FLastError = 0;
  winapi::SOCKET FWinner = -1;
  std::chrono::steady_clock::time_point FStart{};
  uint32_t FMsgSelect = 0;
  uint32_t FMsgTimer = 0;
  uint32_t FMsgDone = 0;
  uint32_t FSerial = 0;  // tells a finished race's posted end from the current one's
};

}  // namespace net
