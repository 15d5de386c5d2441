// The SOCKS negotiation: it runs inside the socket's own transport-connected and
// data-available notifications, sends the greeting, the authentication and the
// connect request, judges each reply, and then hands the connection (and any bytes
// that came after the final reply) to the application.
#include <algorithm>
#include <cstring>

#include "net/SocksWSocket.h"
#include "net/WSocketInternal.h"

namespace net {

using socks::TSocksOutcome;
using socks::TSocksReplyKind;
using socks::TSocksVerdict;

void TCustomSocksWSocket::TriggerSocketConnected(uint16_t ErrCode) {
  if (FSocksState != socksNegotiateMethods) {
    TCustomWSocket::TriggerSocketConnected(ErrCode);
    return;
  }
  TriggerSocksConnected(ErrCode);
  if (ErrCode != 0) {
    TCustomWSocket::TriggerSocketConnected(ErrCode);
    return;
  }
  if (ClosedByHandler()) return;
  // SOCKS 4 has no method negotiation.
  if (FSocksLevelText[0] == '4') {
    SendConnectRequest();
    return;
  }
  FSocksAuthNumber = FSocksAuthChoice == socksAuthenticateUsercode ? 2 : 0;
  FReply.Expect(TSocksReplyKind::kMethods);
  SendStr(socks::GreetingRequest(FSocksAuthNumber));
}

void TCustomSocksWSocket::SendAuthRequest() {
  FSocksState = socksAuthenticate;
  FReply.Expect(TSocksReplyKind::kAuth);
  TriggerSocksAuthState(socksAuthStart);
  if (ClosedByHandler()) return;
  try {
    SendStr(socks::AuthRequest(FSocksUserText, FSocksPasswordText));
  } catch (...) {
    // A failed send closes the connection; the close reports it.
  }
}

void TCustomSocksWSocket::SendConnectRequest() {
  FSocksState = socksConnect;
  const auto port = static_cast<uint16_t>(FPortNum);
  std::string request;
  if (FSocksLevelText == "4") {
    uint32_t address = 0;
    try {
      address = ResolveHost(FAddrStr);
    } catch (const std::exception& e) {
      TriggerSocksError(20017, core::ExceptionClassName(e) + " " + core::ExceptionMessage(e));
      InternalClose(true, 20017);
      return;
    }
    FReply.Expect(TSocksReplyKind::kConnect4);
    request = socks::Connect4Request(port, address, FSocksUserText);
  } else if (FSocksLevelText == "4A") {
    FReply.Expect(TSocksReplyKind::kConnect4);
    request = socks::Connect4ARequest(port, FSocksUserText, FAddrStr);
  } else {
    FReply.Expect(TSocksReplyKind::kConnect5);
    request = socks::Connect5Request(port, FAddrStr);
  }
  try {
    SendStr(request);
  } catch (...) {
    // As for the authentication request: the close reports a failed send.
  }
}

void TCustomSocksWSocket::AbortSocksNegotiation(int ErrCode, const std::string& Msg) {
  TriggerSocksError(ErrCode, Msg);
  FSocksState = socksData;
  TriggerSocketConnected(static_cast<uint16_t>(ErrCode));
  InternalClose(true, static_cast<uint16_t>(ErrCode));
}

void TCustomSocksWSocket::TriggerSessionClosed(uint16_t ErrCode) {
  if (FSocksState == socksAuthenticate) TriggerSocksAuthState(socksAuthFailure);
  TCustomWSocket::TriggerSessionClosed(ErrCode);
}

// A handler of a SOCKS event may close the socket; the close restored the
// defaults, and the negotiation must not go on (nor leave its state behind for
// the next connection).
bool TCustomSocksWSocket::ClosedByHandler() const {
  return FHSocket == INVALID_SOCKET;
}

bool TCustomSocksWSocket::TriggerDataAvailable(uint16_t ErrCode) {
  if (FSocksState == socksData) return TCustomWSocket::TriggerDataAvailable(ErrCode);
  if (ErrCode != 0) {
    AbortSocksNegotiation(ErrCode, "data receive error");
    return false;
  }
  switch (FSocksState) {
    case socksNegotiateMethods:
      return MethodsReplyArrived();
    case socksAuthenticate:
      return AuthReplyArrived();
    case socksConnect:
      return ConnectReplyArrived();
    default:
      AbortSocksNegotiation(20013, socks::SocksError(socks::TSocksFailure::kInternal).text);
      return false;
  }
}

// Receives what fits after the bytes collected so far and judges the reply.
// False when nothing could be read (the reply waits for the next notification).
bool TCustomSocksWSocket::ReceiveReply(TSocksVerdict& Verdict) {
  const int n = Receive(FReply.Tail(), FReply.Room());
  if (n < 0) return false;
  Verdict = FReply.Take(n);
  if (Verdict.outcome != TSocksOutcome::kFailed) return true;
  AbortSocksNegotiation(Verdict.error.code, Verdict.error.text);
  return false;
}

bool TCustomSocksWSocket::MethodsReplyArrived() {
  TSocksVerdict verdict;
  if (FSocksLevelText[0] == '4') {
    // Levels 4 and 4A never negotiate methods: this data belongs to nothing.
    if (Receive(FReply.Tail(), FReply.Room()) < 0) return true;
    const socks::TSocksError error = socks::SocksError(socks::TSocksFailure::kLogicError);
    AbortSocksNegotiation(error.code, error.text);
    return true;
  }
  if (!ReceiveReply(verdict)) return true;
  if (verdict.outcome == TSocksOutcome::kNoAuth) {
    if (FSocksAuthNumber != 0) TriggerSocksAuthState(socksAuthNotRequired);
    if (!ClosedByHandler()) SendConnectRequest();
  } else if (verdict.outcome == TSocksOutcome::kUserAuth) {
    // A server that asks for credentials we did not offer and cannot carry (their
    // length was only checked when offered) gets none rather than wrapped lengths.
    if (!AuthFieldsFit()) {
      const socks::TSocksError error = socks::SocksError(socks::TSocksFailure::kMethodNotAcceptable);
      AbortSocksNegotiation(error.code, error.text);
      return true;
    }
    SendAuthRequest();
  }
  return true;
}

bool TCustomSocksWSocket::AuthFieldsFit() const {
  return FSocksUserText.size() <= socks::kMaxFieldLength &&
         FSocksPasswordText.size() <= socks::kMaxFieldLength;
}

bool TCustomSocksWSocket::AuthReplyArrived() {
  TSocksVerdict verdict;
  if (!ReceiveReply(verdict)) return true;
  if (verdict.outcome == TSocksOutcome::kAuthOk) {
    TriggerSocksAuthState(socksAuthSuccess);
    if (!ClosedByHandler()) SendConnectRequest();
  }
  return true;
}

bool TCustomSocksWSocket::ConnectReplyArrived() {
  TSocksVerdict verdict;
  if (!ReceiveReply(verdict)) return true;
  if (verdict.outcome != TSocksOutcome::kGranted) return true;
  return TunnelOpened(verdict.replyLength);
}

// The application now gets its connect event and, at once, a data notification,
// also when no byte came after the reply.
bool TCustomSocksWSocket::TunnelOpened(int ReplyLength) {
  FSocksState = socksData;
  FSocksRcvdOffset = ReplyLength;
  FSocksRcvdCnt = std::max(0, FReply.Count() - ReplyLength);
  const SOCKET handle = FHSocket;
  TriggerSocketConnected(0);
  // The handler closed the socket: nothing is left to deliver.
  if (FHSocket != handle || FHSocket == INVALID_SOCKET) return true;
  return TriggerDataAvailable(0);
}

int TCustomSocksWSocket::RcvdCount() {
  if (FSocksRcvdCnt > 0) return FSocksRcvdCnt;
  return TCustomWSocket::RcvdCount();
}

int TCustomSocksWSocket::RecvRaw(void* Buffer, int Size, int Flags) {
  if (FSocksRcvdCnt <= 0) return TCustomWSocket::RecvRaw(Buffer, Size, Flags);
  const int n = std::clamp(Size, 0, FSocksRcvdCnt);
  if (n > 0) std::memcpy(Buffer, FReply.Data() + FSocksRcvdOffset, static_cast<size_t>(n));
  if (Flags & MSG_PEEK) return n;  // a look leaves the bytes where they are
  FSocksRcvdOffset += n;
  FSocksRcvdCnt -= n;
  // Once the leftovers are gone the receive loop goes on to the network: this
  // notification may have been the system's, and only a system receive re-enables it.
  FRcvdFlag = n >= Size || FSocksRcvdCnt == 0;
  // Like a system receive that leaves data behind: the rest is announced again, so
  // it is not stuck until the network brings more.
  if (FSocksRcvdCnt > 0 && FHSocket != INVALID_SOCKET) PostSelfNotification(winapi::FD_READ);
  return n;
}

}  // namespace net

namespace net {

void TCustomSocksWSocket::StartAdoptedConnection() {
  TCustomWSocket::StartAdoptedConnection();
  FSocksState = socksData;
  FSocksRcvdCnt = 0;
  FSocksRcvdOffset = 0;
  FReply.Expect(TSocksReplyKind::kMethods);
}

// Leftovers are not in the system's buffer, so binding the notifications on the new
// thread does not announce them; the notification that did went with the old window.
void TCustomSocksWSocket::ThreadAttach() {
  TCustomWSocket::ThreadAttach();
  if (FSocksRcvdCnt > 0 && FHSocket != INVALID_SOCKET) PostSelfNotification(winapi::FD_READ);
}

}  // namespace net
