// The socket object: construction and destruction, logging, states, error
// reporting, the events' triggers and the property setters.
#include "net/CustomWSocket.h"
#include "net/SocketErrorText.h"

namespace net {

const char* SocketStateName(TSocketState state) {
  static const char* const kNames[] = {"wsInvalidState", "wsOpened",         "wsBound",
                                       "wsConnecting",   "wsSocksConnected", "wsConnected",
                                       "wsAccepting",    "wsListening",      "wsClosed"};
  return state <= wsClosed ? kNames[state] : "wsUnknown";
}

// --- construction and destruction -------------------------------------------------

TCustomWSocket::TCustomWSocket(core::TComponent* AOwner)
    : core::TWndControl(AOwner), FBufHandler(core::MakeComponent<TBufferHandler>(nullptr)) {
  FSin.sin_family = AF_INET;
  IncrementSocketUseCount();
  FUseCountTaken = true;
}

TCustomWSocket::~TCustomWSocket() {
  // Normally BeforeDestruction closed everything; a socket deleted directly must
  // still give its handle and its pending lookup back to the system.
  if (FDnsLookupHandle != 0) api::WSACancelAsyncRequest(FDnsLookupHandle);
  if (FHSocket != INVALID_SOCKET) api::closesocket(FHSocket);
  if (FUseCountTaken) DecrementSocketUseCount();
}

void TCustomWSocket::AfterConstruction() {
  core::TWndControl::AfterConstruction();
  AllocateSocketWindow();
  AssignDefaults();
}

void TCustomWSocket::BeforeDestruction() {
  // Marks the component as being destroyed first, so the cancel and the close below
  // raise no lookup or session event into a half-freed owner.
  core::TComponent::BeforeDestruction();  // NOLINT(bugprone-parent-virtual-call): TWndControl's runs last
  try {
    CancelDnsLookup();
  } catch (...) {
  }
  try {
    if (FSockState != wsClosed) Close();
  } catch (const std::exception&) {
  }
  core::TWndControl::BeforeDestruction();
}

void TCustomWSocket::AssignDefaults() {
  FSin = sockaddr_in{};
  FSin.sin_family = AF_INET;
  FAddrFormat = AF_INET;
  FPortAssigned = false;
  FAddrAssigned = false;
  FAddrResolved = false;
  FPortResolved = false;
  FProtoResolved = false;
  FLocalPortResolved = false;
  FProtoAssigned = true;
  FProto = IPPROTO_TCP;
  // Assigned from temporaries: GCC 12 at -O3 misreads a short literal's assignment
  // as an overlapping copy (-Wrestrict).
  FProtoStr = std::string("tcp");
  FType = SOCK_STREAM;
  FLocalPortStr = std::string("0");
  FLocalAddr = std::string("0.0.0.0");
  // The system's graceful close by default: a close never throws away bytes the
  // system already accepted. wsLingerOn with 0 s stays available for a hard close.
  FLingerOnOff = wsLingerNoSet;
  FLingerTimeout = 0;
  FHSocket = INVALID_SOCKET;
  FSelectEvent = 0;
  FSockState = wsClosed;
  FAllSent = true;
  FPaused = false;
  FPausedEvents = 0;
  FPausedConnectError = 0;
  FPausedCloseError = 0;
  FReadCount = 0;
  FCloseInvoked = false;
  FFlushTimeout = 60;
}

void TCustomWSocket::AllocateSocketWindow() {
  AllocateWindow();
}
void TCustomWSocket::DeallocateSocketWindow() {
  DeallocateWindow();
}

// --- logging --------------------------------------------------------------------

void TCustomWSocket::SetLogger(core::TLogger* Value) {
  if (FLogger == Value) return;
  if (FLogger) FLogger->RemoveFreeNotification(this);
  FLogger = Value;
  if (FLogger) FLogger->FreeNotification(this);
}

void TCustomWSocket::Notification(core::TComponent* AComponent, core::TOperation Operation) {
  core::TWndControl::Notification(AComponent, Operation);
  if (Operation == core::TOperation::opRemove && AComponent == FLogger) FLogger = nullptr;
}

void TCustomWSocket::WriteLog(core::TLogOption LogOption, const std::string& Msg) {
  if (FLogger) FLogger->DoDebugLog(this, LogOption, Msg);
}

bool TCustomWSocket::LogEnabled(core::TLogOption LogOption) {
  return FLogger && FLogger->LogOptions().Contains(LogOption);
}

std::string TCustomWSocket::IdentityText() const {
  return core::IntToHex(static_cast<uint64_t>(reinterpret_cast<uintptr_t>(this)) & 0xFFFFFFFFu, 8);
}

// --- states and errors ------------------------------------------------------------

void TCustomWSocket::ChangeState(TSocketState NewState) {
  const TSocketState oldState = FSockState;
  FSockState = NewState;
  if (oldState != NewState) TriggerChangeState(oldState, NewState);
}

void TCustomWSocket::ReportError(const std::string& Msg) {
  if (!OnError) throw ESocketException(Msg);
  TriggerError();
}

void TCustomWSocket::ApiFailure(const std::string& Name) {
  const int code = api::WSAGetLastError();
  const std::string text = SocketErrorText(code) + " (#" + std::to_string(code) + " in " + Name + ")";
  if (code == winapi::WSAECONNRESET || code == winapi::WSAENOTCONN) {
    if (FHSocket != INVALID_SOCKET) api::closesocket(FHSocket);
    FHSocket = INVALID_SOCKET;
    if (FSockState != wsClosed) TriggerSessionClosed(static_cast<uint16_t>(code));
    // A handler that started the next connection keeps it: closing the state over
    // its live handle would leave that handle beyond reach of Close.
    if (FHSocket == INVALID_SOCKET) ChangeState(wsClosed);
  }
  FLastError = code;
  ReportError(text);
}

// --- events ---------------------------------------------------------------------

bool TCustomWSocket::TriggerDataAvailable(uint16_t ErrCode) {
  TDataAvailable handler = OnDataAvailable;
  if (!handler) return false;
  handler(this, ErrCode);
  return true;
}

void TCustomWSocket::TriggerSessionAvailable(uint16_t ErrCode) {
  if (TSessionAvailable handler = OnSessionAvailable) handler(this, ErrCode);
}

void TCustomWSocket::TriggerSocketConnected(uint16_t ErrCode) {
  TriggerSessionConnected(ErrCode);
}

void TCustomWSocket::TriggerSessionConnected(uint16_t ErrCode) {
  if (TSessionConnected handler = OnSessionConnected) handler(this, ErrCode);
}

void TCustomWSocket::TriggerSessionClosed(uint16_t ErrCode) {
  if (TSessionClosed handler = OnSessionClosed) handler(this, ErrCode);
}

void TCustomWSocket::TriggerChangeState(TSocketState OldState, TSocketState NewState) {
  if (TChangeState handler = OnChangeState) handler(this, OldState, NewState);
}

void TCustomWSocket::TriggerDnsLookupDone(uint16_t ErrCode) {
  if (TDnsLookupDone handler = OnDnsLookupDone) handler(this, ErrCode);
}

void TCustomWSocket::TriggerError() {
  if (TNotifyEvent handler = OnError) handler(this);
}

void TCustomWSocket::TriggerSendData(int BytesSent) {
  if (TSendData handler = OnSendData) handler(this, BytesSent);
}

// --- property setters ---------------------------------------------------------------

void TCustomWSocket::SetAddr(const std::string& Value) {
  const std::string v = core::Trim(Value);
  if (FAddrAssigned && FAddrStr == v) return;
  if (FSockState != wsClosed) {
    ReportError("Cannot change Addr if not closed");
    return;
  }
  FAddrStr = v;
  if (v.empty()) {
    FAddrAssigned = false;
  } else {
    FAddrResolved = false;
    FAddrAssigned = true;
  }
}

void TCustomWSocket::SetPort(const std::string& Value) {
  const std::string v = core::Trim(Value);
  if (FPortAssigned && FPortStr == v) return;
  if (FSockState != wsClosed) {
    ReportError("Cannot change Port if not closed");
    return;
  }
  FPortStr = v;
  if (v.empty()) {
    FPortAssigned = false;
  } else {
    FPortResolved = false;
    FPortAssigned = true;
  }
}

void TCustomWSocket::SetProto(const std::string& Value) {
  const std::string v = core::Trim(Value);
  if (FProtoAssigned && FProtoStr == v) return;
  if (FSockState != wsClosed) {
    ReportError("Cannot change Proto if not closed");
    return;
  }
  FProtoStr = v;
  if (v.empty()) {
    FProtoAssigned = false;
  } else {
    FProtoResolved = false;
    FProtoAssigned = true;
  }
}

void TCustomWSocket::SetLocalPort(const std::string& Value) {
  if (FSockState != wsClosed) {
    ReportError("Cannot change LocalPort if not closed");
    return;
  }
  FLocalPortStr = Value;
  FLocalPortResolved = false;
}

void TCustomWSocket::SetLocalAddr(const std::string& Value) {
  if (FSockState != wsClosed) {
    ReportError("Cannot change LocalAddr if not closed");
    return;
  }
  FLocalAddr = Value.empty() ? "0.0.0.0" : Value;
}

uint8_t TCustomWSocket::ReqVerLow() const {
  return RequestedVersionLow();
}
uint8_t TCustomWSocket::ReqVerHigh() const {
  return RequestedVersionHigh();
}

void TCustomWSocket::SetReqVerLow(uint8_t Value) {
  if (Value == RequestedVersionLow()) return;
  if (!SetRequestedVersionLow(Value)) ApiFailure("SetReqVerLow: WinSock version can't be changed now");
}

void TCustomWSocket::SetReqVerHigh(uint8_t Value) {
  if (Value == RequestedVersionHigh()) return;
  if (!SetRequestedVersionHigh(Value)) ApiFailure("SetReqVerHigh: WinSock version can't be changed now");
}

TSocketSendFlags TCustomWSocket::SendFlags() {
  if (FSendFlags == 0) return wsSendNormal;
  if (FSendFlags == 1) return wsSendUrgent;
  ReportError("Invalid internal SendFlags");
  return wsSendNormal;
}

void TCustomWSocket::SetSendFlags(TSocketSendFlags Value) {
  switch (Value) {
    case wsSendNormal:
      FSendFlags = 0;
      break;
    case wsSendUrgent:
      FSendFlags = MSG_OOB;
      break;
    default:
      ReportError("Invalid SendFlags");
  }
}

void TCustomWSocket::SetLingerTimeout(int Value) {
  // Linux's close waits out a positive linger time even on a non-blocking socket,
  // which would freeze the thread and every component on it.
  if (Value > 0) {
    ReportError("Linger timeout above 0 is not supported (close would block)");
    return;
  }
  FLingerTimeout = Value < 0 ? 0 : Value;
}

int TCustomWSocket::BufSize() const {
  return FBufHandler->BufSize();
}
void TCustomWSocket::SetBufSize(int Value) {
  FBufHandler->SetBufSize(Value);
}

void TCustomWSocket::SetSocketRcvBufSize(int Value) {
  if (WSocket_setsockopt(FHSocket, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&Value),
                         sizeof Value) != 0) {
    ApiFailure("setsockopt(SO_RCVBUF)");
    return;
  }
  FSocketRcvBufSize = Value;
}

void TCustomWSocket::SetSocketSndBufSize(int Value) {
  if (WSocket_setsockopt(FHSocket, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&Value),
                         sizeof Value) != 0) {
    ApiFailure("setsockopt(SO_SNDBUF)");
    return;
  }
  FSocketSndBufSize = Value;
}

}  // namespace net
