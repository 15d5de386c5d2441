// THttpCli: the object, its properties and messages, its states and the end of a
// request, and the triggers of its events. Starting and aborting requests live in
// HttpRequest.cpp, connecting and sending in HttpSend.cpp, the response header in
// HttpHeader.cpp, the body and the close in HttpBody.cpp, relocation in
// HttpReloc.cpp, authentication in HttpAuth.cpp.
#include "http/HttpProt.h"

#include <algorithm>

#include "http/Http2Session.h"
#include "http/HttpContCod.h"
#include "http/HttpUtils.h"
#include "platform/WinMsg.h"

namespace http {

namespace {

// The figures hold a name that outlives the client.
const char* ProtocolLiteral(const std::string& protocol) {
  for (const char* name : {"h2", "http/1.1", "http/1.0"})
    if (protocol == name) return name;
  return "";
}

}  // namespace

const char* HttpStateName(THttpState state) {
  static const char* const names[] = {"httpReady",       "httpNotConnected",  "httpConnected",
                                      "httpDnsLookup",   "httpDnsLookupDone", "httpWaitingHeader",
                                      "httpWaitingBody", "httpBodyReceived",  "httpWaitingProxyConnect",
                                      "httpClosing",     "httpAborting"};
  const auto i = static_cast<size_t>(state);
  return i < sizeof(names) / sizeof(names[0]) ? names[i] : "INVALID STATE";
}

THttpCli::THttpCli(core::TComponent* AOwner)
    : core::TWndControl(AOwner), FRequestStream(std::make_unique<core::TMemoryStream>()) {}

THttpCli::~THttpCli() = default;

// The window, the numbers and the socket come from virtual operations, which a
// constructor cannot reach in their most-derived form.
void THttpCli::AfterConstruction() {
  core::TWndControl::AfterConstruction();
  AllocateWindow();
  FContCodHandler = std::make_unique<THttpContCodHandler>(
      [this]() { return FRcvdStream; },
      [this](const char* buffer, int64_t count) {
        FTimeline.Decoded(count);
        // Decoders may hand over more than one event can carry.
        while (count > 0) {
          const int piece = static_cast<int>(std::min<int64_t>(count, 1 << 30));
          TriggerDocData(buffer, piece);
          buffer += piece;
          count -= piece;
        }
      });
  Options();
  CreateSocket();
  ConnectSocketEvents();
  FBandwidthLimit = 10000;
  FBandwidthSampling = 1000;
  FLocationChangeMaxCount = 5;
  FLocationChangeCurCount = 0;
}

void THttpCli::BeforeDestruction() {
  if (FRace) FRace->OnDone = nullptr;
  if (FSocket) {
    // The closing socket must not call back into a client that is going away.
    FSocket->OnSessionClosed = nullptr;
    FSocket->OnDataAvailable = nullptr;
    FSocket->OnSessionConnected = nullptr;
    FSocket->OnDataSent = nullptr;
    FSocket->OnDnsLookupDone = nullptr;
    FSocket->OnSocksError = nullptr;
    FSocket->OnSocksConnected = nullptr;
    FSocket->OnError = nullptr;
    core::Free(FSocket);
  }
  core::TWndControl::BeforeDestruction();
  FContCodHandler.reset();
}

void THttpCli::CreateSocket() {
  FSocket = core::Create<net::TSslWSocket>(this);
}

void THttpCli::HookSessionClosed() {
  FSocket->OnSessionClosed = [this](core::TComponent* s, uint16_t e) { SocketSessionClosed(s, e); };
}

void THttpCli::ConnectSocketEvents() {
  HookSessionClosed();
  FSocket->OnDataAvailable = [this](core::TComponent* s, uint16_t e) { SocketDataAvailable(s, e); };
  FSocket->OnSessionConnected = [this](core::TComponent* s, uint16_t e) { SocketSessionConnected(s, e); };
  FSocket->OnDataSent = [this](core::TComponent* s, uint16_t e) { SocketDataSent(s, e); };
  FSocket->OnDnsLookupDone = [this](core::TComponent* s, uint16_t e) { SocketDNSLookupDone(s, e); };
  FSocket->OnSocksError = [this](core::TComponent* s, int error, const std::string& msg) {
    if (auto h = OnSocksError) h(s, error, msg);
  };
  FSocket->OnSocksConnected = [this](core::TComponent* s, uint16_t e) {
    // Connected to the SOCKS server: its negotiation runs until the session connects.
    if (e == 0) MarkPhase(TLoadPhase::socks);
    if (auto h = OnSocksConnected) h(s, e);
  };
  // The TLS handshake, on a new connection only, is its own phase.
  FSocket->OnSslHandshakeStart = [this](core::TComponent*) { MarkPhase(TLoadPhase::tls); };
  FSocket->OnError = [this](core::TComponent*) {
    if (auto h = OnSocketError) h(this);
  };
  // A request sent in pieces on a kept connection must not wait for a delayed
  // acknowledgement: that would add 40 ms to every measured load.
  FSocket->SetComponentOptions(FSocket->ComponentOptions().Include(net::wsoTcpNoDelay));
}

// --- messages ---

int THttpCli::MsgHandlersCount() {
  return core::TWndControl::MsgHandlersCount() + 4;
}

void THttpCli::AllocateMsgHandlers() {
  core::TWndControl::AllocateMsgHandlers();
  FMsgRequestDone = FWndHandler->RegisterMessage(this);
  FMsgSetReady = FWndHandler->RegisterMessage(this);
  FMsgLogin = FWndHandler->RegisterMessage(this);
  FMsgBandwidthTimer = FWndHandler->RegisterMessage(this);
  // A client moved to another thread takes its running timer along.
  if (FBandwidthTimer && FBandwidthTimer->Enabled) SetBandwidthTimerEnabled(true);
}

void THttpCli::FreeMsgHandlers() {
  if (FWndHandler) {
    // The window may outlive the client (other components share it): its timer may not.
    if (FBandwidthTimer && FBandwidthTimer->Enabled && FHiddenWnd)
      winapi::KillTimer(FHiddenWnd, FMsgBandwidthTimer);
    FWndHandler->UnregisterMessage(FMsgBandwidthTimer);
    FWndHandler->UnregisterMessage(FMsgRequestDone);
    FWndHandler->UnregisterMessage(FMsgSetReady);
    FWndHandler->UnregisterMessage(FMsgLogin);
  }
  core::TWndControl::FreeMsgHandlers();
}

// Exceptions of the caller's handlers are not caught here: the dispatch discards them.
void THttpCli::WndProc(core::TMessage& MsgRec) {
  if (MsgRec.Msg == FMsgRequestDone) {
    RequestDoneStep(static_cast<THttpRequest>(MsgRec.WParam), static_cast<uint16_t>(MsgRec.LParam));
  } else if (MsgRec.Msg == FMsgSetReady) {
    if (MsgRec.WParam == FRequestSerial) StateChange(httpReady);
  } else if (MsgRec.Msg == winapi::WM_TIMER && MsgRec.WParam == FMsgBandwidthTimer) {
    BandwidthTimerTick();
  } else if (MsgRec.Msg == FMsgLogin) {
    if (FLoginPending && MsgRec.WParam == FRequestSerial) {
      FLoginPending = false;
      Login();
    }
  } else {
    core::TWndControl::WndProc(MsgRec);
  }
}

void THttpCli::ThreadAttach() {
  core::TWndControl::ThreadAttach();
  FSocket->ThreadAttach();
}

void THttpCli::ThreadDetach() {
  core::TWndControl::ThreadDetach();
  FSocket->ThreadDetach();
}

void THttpCli::RequestDoneStep(THttpRequest RqType, uint16_t ErrCode) {
  if (CheckLogOptions(core::loProtSpecInfo)) DebugLog(core::loProtSpecInfo, "RequestDone");
  if (auto h = OnRequestDone) h(this, RqType, ErrCode);
}

// The message carries the request's type and error code: a new request may start
// before it is handled, and must not lend it its own.
void THttpCli::TriggerRequestDone() {
  winapi::PostMessage(Handle(), FMsgRequestDone, FRequestType, FRequestDoneError);
}

// Marked with the request it belongs to: a request that ended otherwise (abort,
// failure) leaves this message behind, and it must not end the next one.
void THttpCli::SetReady() {
  winapi::PostMessage(Handle(), FMsgSetReady, FRequestSerial, 0);
}

// The next request of a sequence; dropped if the request ends before it is handled.
void THttpCli::PostLogin() {
  FLoginPending = true;
  winapi::PostMessage(Handle(), FMsgLogin, FRequestSerial, 0);
}

// --- properties ---

THttpCliOptions THttpCli::Options() {
  FOptions = static_cast<THttpCliOptions>(FOptions & ~(httpoEnableContentCoding | httpoUseQuality));
  if (FContCodHandler->Enabled()) FOptions |= httpoEnableContentCoding;
  if (FContCodHandler->UseQuality()) FOptions |= httpoUseQuality;
  return FOptions;
}

void THttpCli::SetOptions(THttpCliOptions Value) {
  FOptions = Value;
  FContCodHandler->SetEnabled((Value & httpoEnableContentCoding) != 0);
  FContCodHandler->SetUseQuality((Value & httpoUseQuality) != 0);
}

int64_t THttpCli::MaxDecodedSize() const {
  return FContCodHandler->MaxDecodedSize();
}

void THttpCli::SetMaxDecodedSize(int64_t Value) {
  FContCodHandler->SetMaxDecodedSize(Value);
}

core::TLogger* THttpCli::Logger() const {
  return FSocket->Logger();
}

void THttpCli::SetLogger(core::TLogger* Value) {
  FSocket->SetLogger(Value);
}

void THttpCli::StoreMultiThreaded(bool Value) {
  FMultiThreaded = Value;
  FSocket->SetMultiThreaded(Value);
}

void THttpCli::StoreRequestVer(const std::string& Value) {
  if (Value == FRequestVer) return;
  if (Value != "1.0" && Value != "1.1" && Value != "2") throw EHttpException("Insupported HTTP version", 5);
  FRequestVer = Value;
}

void THttpCli::DebugLog(core::TLogOption Level, const std::string& Msg) {
  if (core::TLogger* logger = Logger()) logger->DoDebugLog(this, Level, Msg);
}

bool THttpCli::CheckLogOptions(core::TLogOption Level) {
  core::TLogger* logger = Logger();
  return logger && logger->LogOptions().Contains(Level);
}

void THttpCli::AdjustDocName() {
  FDocName = http::AdjustDocName(FDocName);
}

// --- states ---

void THttpCli::StateChange(THttpState NewState) {
  if (NewState == FHttpState) return;
  FHttpState = NewState;
  TriggerStateChange();
  if (NewState != httpReady) return;
  // The request has ended, unless authentication answers a challenge with a new
  // attempt (which then restarts the request itself).
  if (AuthenticationFollows()) return;
  FTimeline.Finish(FStatusCode, FReusedConnection, FHeaderBytes);
  FTimeline.Times().protocol = ProtocolLiteral(FProtocolUsed);
  TriggerRequestDone();
}

void THttpCli::TriggerStateChange() {
  if (CheckLogOptions(core::loProtSpecInfo))
    DebugLog(core::loProtSpecInfo, std::string("State = ") + HttpStateName(FHttpState));
  if (auto h = OnStateChange) h(this);
}

// What one response leaves behind: its header, status, counts and body framing.
void THttpCli::ClearResponseState() {
  FRcvdHeader.Clear();
  FRequestDoneError = 0;
  FStatusCode = 0;
  FRcvdCount = 0;
  FHeaderLineCount = 0;
  FBodyLineCount = 0;
  FContentLength = -1;
  FContentType.clear();
  FTransferEncoding.clear();
  FContentEncoding.clear();
  FStatusLineSeen = false;
  FHeaderless = false;
  FBodyExpected = false;
  FProtocolFailed = false;
  FDocTruncated = false;
  FLengthInvalid = false;
  FLengthSeen = false;
  FHeaderBytes = 0;
  FTunnelBodySkip = false;
  FDiscardBody = false;
}

void THttpCli::ResetRequestState() {
  ClearResponseState();
  FDocName.clear();
  FSentCount = 0;
  FSending = false;
  FLocation = FURL;
  FAuthChallenges.Clear();
  FCloseReq = FRequestVer == "1.0";
}

// --- triggers ---

void THttpCli::TriggerCookie(const std::string& Data, bool& Accept) {
  if (auto h = OnCookie) h(this, Data, Accept);
}

void THttpCli::TriggerSessionConnected() {
  if (auto h = OnSessionConnected) h(this);
}

void THttpCli::TriggerSessionClosed() {
  if (auto h = OnSessionClosed) h(this);
}

void THttpCli::TriggerBeforeHeaderSend(const std::string& Method, core::TStringList& Headers) {
  if (auto h = OnBeforeHeaderSend) h(this, Method, Headers);
}

void THttpCli::TriggerRequestHeaderBegin() {
  if (auto h = OnRequestHeaderBegin) h(this);
}

void THttpCli::TriggerRequestHeaderEnd() {
  if (auto h = OnRequestHeaderEnd) h(this);
}

void THttpCli::TriggerHeaderBegin() {
  FHeaderInProgress = true;
  if (auto h = OnHeaderBegin) h(this);
}

void THttpCli::TriggerHeaderEnd() {
  FHeaderInProgress = false;
  if (auto h = OnHeaderEnd) h(this);
}

void THttpCli::TriggerDocBegin() {
  if (CheckLogOptions(core::loProtSpecInfo)) DebugLog(core::loProtSpecInfo, "DocBegin");
  if (auto h = OnDocBegin) h(this);
}

void THttpCli::TriggerDocData(const void* Buffer, int Len) {
  if (auto h = OnDocData) h(this, Buffer, Len);
}

void THttpCli::TriggerDocEnd() {
  if (CheckLogOptions(core::loProtSpecInfo)) DebugLog(core::loProtSpecInfo, "DocEnd");
  if (auto h = OnDocEnd) h(this);
}

void THttpCli::TriggerSendBegin() {
  if (auto h = OnSendBegin) h(this);
}

void THttpCli::TriggerSendData(const void* Buffer, int Len) {
  if (auto h = OnSendData) h(this, Buffer, Len);
}

void THttpCli::TriggerSendEnd() {
  if (auto h = OnSendEnd) h(this);
}

}  // namespace http
