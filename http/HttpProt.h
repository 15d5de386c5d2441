// THttpCli: the HTTP/1.0 and HTTP/1.1 client component.
//
// Each request runs as a state machine driven by the events of the client's own
// socket (name resolved, connected, data available, data sent, closed) and by three
// private window messages the client posts to itself (request done, back to ready,
// login for the next request of a sequence). The caller starts a request with one
// of the ...Async operations, or with the synchronous forms, which process the
// thread's messages until the request has ended and then raise EHttpException
// for a failed request (a final status of 400 or more other than 401/407, every
// network failure, and a document cut short by the close of its connection).
//
// Contract (stated once here):
// - Thread. The client, its socket and its hidden window belong to the thread that
//   created it; every operation is called there, every event is raised there. The
//   synchronous operations dispatch all of the thread's messages while they wait,
//   so other events (of this and other components) run inside them.
// - Lifecycle. Create with core::Create<THttpCli>(owner) (or core::MakeComponent) and
//   free with core::Free: the client takes its window and message numbers when it
//   is created and releases them in the second destruction phase. Never free it
//   from inside one of its own events; use Release.
// - Ownership. The client owns its socket, its request stream and its
//   content-coding handler. RcvdStream, SendStream and the Logger belong to the
//   caller: the client writes to and reads from them but never frees them, and they
//   must outlive the request that uses them.
// - Events are std::function members named like the event; "assigned" means
//   non-empty. They are invoked through a local copy, so a handler may reassign or
//   clear the event it runs from. No exception of the client crosses the message
//   loop except those of the caller's own handlers.
// - Failures. Misuse (busy, nothing to post, bad version, a URL holding CR, LF
//   or NUL) raises EHttpException at
//   once and changes nothing. Network and protocol failures end the request with
//   status 404 (501 for a protocol other than "http"), a reason phrase naming the
//   failure and a non-zero error code for OnRequestDone.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/ByteBuffer.h"
#include "core/Classes.h"
#include "core/Logger.h"
#include "core/WndControl.h"
#include "http/HttpException.h"
#include "http/HttpParse.h"
#include "http/HttpTimeline.h"
#include "http/NtlmMsgs.h"
#include "net/ConnectRace.h"
#include "net/SslWSocket.h"
#include "net/WSocket.h"

namespace http {

class THttpContCodHandler;
class THttp2Session;
struct TUriRef;

enum THttpRequest : uint8_t { httpABORT, httpGET, httpPOST, httpPUT, httpHEAD, httpCLOSE };

enum THttpState : uint8_t {
  httpReady,
  httpNotConnected,
  httpConnected,
  httpDnsLookup,
  httpDnsLookupDone,
  httpWaitingHeader,
  httpWaitingBody,
  httpBodyReceived,
  httpWaitingProxyConnect,
  httpClosing,
  httpAborting
};
// "httpReady" ... "httpAborting", or "INVALID STATE".
const char* HttpStateName(THttpState state);

// THttpCliOptions is a set of THttpCliOption: combine the bit values with |.
enum THttpCliOption : uint8_t {
  httpoNoBasicAuth = 1,
  httpoNoNTLMAuth = 2,
  httpoBandwidthControl = 4,
  httpoEnableContentCoding = 8,
  httpoUseQuality = 16
};
using THttpCliOptions = uint8_t;

// Which address families a load may use: both (IPv6 preferred), or one only.
enum THttpIpFamily : uint8_t { httpIpAny, httpIpV4Only, httpIpV6Only };

enum THttpChunkState : uint8_t {
  httpChunkSize,
  httpChunkSizeEnd,
  httpChunkData,
  httpChunkDataEnd,
  httpChunkDone
};

// Event types. Sender is the client unless stated otherwise.
using TNotifyEvent = net::TNotifyEvent;
using TDocDataEvent = std::function<void(core::TComponent* Sender, const void* Buffer, int Len)>;
using TCookieRcvdEvent = std::function<void(core::TComponent* Sender, const std::string& Data, bool& Accept)>;
using THttpRequestDone = std::function<void(core::TComponent* Sender, THttpRequest RqType, uint16_t ErrCode)>;
using TBeforeHeaderSendEvent =
    std::function<void(core::TComponent* Sender, const std::string& Method, core::TStringList& Headers)>;
using TOnCommand = std::function<void(core::TComponent* Sender, std::string& S)>;
using TLocationChangeExceeded =
    std::function<void(core::TComponent* Sender, int RelocationCount, bool& AllowMoreRelocations)>;

class THttpCli : public core::TWndControl {
 public:
  explicit THttpCli(core::TComponent* AOwner);
  ~THttpCli() override;

  // --- request operations ---
  // The synchronous forms wait until the client is ready again with no login
  // pending (an authentication handshake is one request) and raise
  // EHttpException for a failed request. Every form except Close starts the
  // relocation count (LocationChangeCurCount) from 0 when the request can start.
  void Get();
  void Post();
  void Put();
  void Head();
  // Closes a kept connection; accepted in any state.
  void Close();
  void GetAsync();
  void PostAsync();
  void PutAsync();
  void HeadAsync();
  void CloseAsync();
  // Ends the current request at once; OnRequestDone follows (inside the call when
  // the client was ready).
  void Abort();

  // --- virtual operations, in the order derived layers know them ---
  virtual void DebugLog(core::TLogOption Level, const std::string& Msg);
  virtual bool CheckLogOptions(core::TLogOption Level);
  virtual void CreateSocket();
  virtual void SetupSocket();
  virtual void SendRequest(const std::string& Method, const std::string& Version);
  virtual void GetHeaderLineNext();
  virtual void GetBodyLineNext();
  virtual void SendHeaderLine(const std::string& Line);
  virtual void Login();
  virtual void Logout();
  virtual void ResetRequestState();
  virtual void StartRelocation();
  virtual void StartAuthNTLM();
  virtual void StartProxyAuthNTLM();
  virtual void StartAuthBasic();
  virtual void StartProxyAuthBasic();
  virtual void SocketDNSLookupDone(core::TComponent* Sender, uint16_t ErrCode);
  virtual void SocketSessionClosed(core::TComponent* Sender, uint16_t ErrCode);
  virtual void SocketSessionConnected(core::TComponent* Sender, uint16_t ErrCode);
  virtual void SocketDataSent(core::TComponent* Sender, uint16_t ErrCode);
  virtual void SocketDataAvailable(core::TComponent* Sender, uint16_t ErrCode);
  virtual void RelocationAfterClose(core::TComponent* Sender, uint16_t ErrCode);
  virtual void StartRequestAsync(THttpRequest Rq);
  virtual void RunRequestSync(THttpRequest Rq);
  virtual void StoreMultiThreaded(bool Value);
  virtual void StateChange(THttpState NewState);
  virtual void TriggerStateChange();
  virtual void TriggerCookie(const std::string& Data, bool& Accept);
  virtual void TriggerSessionConnected();
  virtual void TriggerSessionClosed();
  virtual void TriggerBeforeHeaderSend(const std::string& Method, core::TStringList& Headers);
  virtual void TriggerRequestHeaderBegin();
  virtual void TriggerRequestHeaderEnd();
  virtual void TriggerHeaderBegin();
  virtual void TriggerHeaderEnd();
  virtual void TriggerDocBegin();
  virtual void TriggerDocData(const void* Buffer, int Len);
  virtual void TriggerDocEnd();
  virtual void TriggerSendBegin();
  virtual void TriggerSendData(const void* Buffer, int Len);
  virtual void TriggerSendEnd();
  virtual void TriggerRequestDone();
  virtual void SetReady();
  virtual void AdjustDocName();

  // --- component base overrides ---
  int MsgHandlersCount() override;
  void AllocateMsgHandlers() override;
  void FreeMsgHandlers() override;
  void WndProc(core::TMessage& MsgRec) override;
  void ThreadAttach() override;
  void ThreadDetach() override;
  // Takes the window and numbers, creates and wires the socket (virtual steps).
  void AfterConstruction() override;
  void BeforeDestruction() override;

  // --- published properties ---
  const std::string& URL() const { return FURL; }
  void SetURL(const std::string& Value) { FURL = Value; }
  const std::string& LocalAddr() const { return FLocalAddr; }
  void SetLocalAddr(const std::string& Value) { FLocalAddr = Value; }
  // The families the host's name is resolved in (and so the ones connected to).
  THttpIpFamily IpFamily() const { return FIpFamily; }
  void SetIpFamily(THttpIpFamily Value) { FIpFamily = Value; }
  // A host with several addresses: true races them (IPv6 first, the next attempt
  // after AttemptDelay or a failure, families alternating); false tries them one
  // at a time in the resolver's order.
  bool ConnectRacing() const { return FConnectRacing; }
  void SetConnectRacing(bool Value) { FConnectRacing = Value; }
  uint32_t AttemptDelay() const { return FAttemptDelay; }
  void SetAttemptDelay(uint32_t Value) { FAttemptDelay = Value; }
  const std::string& Proxy() const { return FProxy; }
  void SetProxy(const std::string& Value) { FProxy = Value; }
  const std::string& ProxyPort() const { return FProxyPort; }
  void SetProxyPort(const std::string& Value) { FProxyPort = Value; }
  const std::string& Sender() const { return FSender; }
  void SetSender(const std::string& Value) { FSender = Value; }
  const std::string& Agent() const { return FAgent; }
  void SetAgent(const std::string& Value) { FAgent = Value; }
  const std::string& Accept() const { return FAccept; }
  void SetAccept(const std::string& Value) { FAccept = Value; }
  const std::string& AcceptLanguage() const { return FAcceptLanguage; }
  void SetAcceptLanguage(const std::string& Value) { FAcceptLanguage = Value; }
  const std::string& Reference() const { return FReference; }
  void SetReference(const std::string& Value) { FReference = Value; }
  const std::string& Connection() const { return FConnection; }
  void SetConnection(const std::string& Value) { FConnection = Value; }
  const std::string& ProxyConnection() const { return FProxyConnection; }
  void SetProxyConnection(const std::string& Value) { FProxyConnection = Value; }
  const std::string& Username() const { return FUsername; }
  void SetUsername(const std::string& Value) { FUsername = Value; }
  const std::string& Password() const { return FPassword; }
  void SetPassword(const std::string& Value) { FPassword = Value; }
  const std::string& ProxyUsername() const { return FProxyUsername; }
  void SetProxyUsername(const std::string& Value) { FProxyUsername = Value; }
  const std::string& ProxyPassword() const { return FProxyPassword; }
  void SetProxyPassword(const std::string& Value) { FProxyPassword = Value; }
  bool NoCache() const { return FNoCache; }
  void SetNoCache(bool Value) { FNoCache = Value; }
  // A date-time (days since 30 December 1899); 0 sends no If-Modified-Since.
  double ModifiedSince() const { return FModifiedSince; }
  void SetModifiedSince(double Value) { FModifiedSince = Value; }
  const std::string& Cookie() const { return FCookie; }
  void SetCookie(const std::string& Value) { FCookie = Value; }
  const std::string& ContentTypePost() const { return FContentTypePost; }
  void SetContentTypePost(const std::string& Value) { FContentTypePost = Value; }
  const std::string& ContentRangeBegin() const { return FContentRangeBegin; }
  // A range set here goes with the next request wherever it leads; one taken from
  // a response's Content-Range only to the origin that sent it.
  void SetContentRangeBegin(const std::string& Value) {
    FContentRangeBegin = Value;
    FContentRangeOrigin.clear();
  }
  const std::string& ContentRangeEnd() const { return FContentRangeEnd; }
  void SetContentRangeEnd(const std::string& Value) {
    FContentRangeEnd = Value;
    FContentRangeOrigin.clear();
  }
  const std::string& AcceptRanges() const { return FAcceptRanges; }
  bool MultiThreaded() const { return FMultiThreaded; }
  void SetMultiThreaded(bool Value) { StoreMultiThreaded(Value); }
  const std::string& RequestVer() const { return FRequestVer; }
  // Raises EHttpException("Insupported HTTP version", 5) for a new value other than
  // "1.0", "1.1" or "2". "2" speaks HTTP/2 where the server agrees: over TLS when
  // it picks "h2" in ALPN (else HTTP/1.1), in clear text by prior knowledge (not
  // through an HTTP proxy, which gets HTTP/1.1). NTLM, bound to a connection,
  // always goes over HTTP/1.1.
  void SetRequestVer(const std::string& Value) { StoreRequestVer(Value); }
  bool FollowRelocation() const { return FFollowRelocation; }
  void SetFollowRelocation(bool Value) { FFollowRelocation = Value; }
  int LocationChangeMaxCount() const { return FLocationChangeMaxCount; }
  void SetLocationChangeMaxCount(int Value) { FLocationChangeMaxCount = Value; }
  int LocationChangeCurCount() const { return FLocationChangeCurCount; }
  int BandwidthLimit() const { return FBandwidthLimit; }
  void SetBandwidthLimit(int Value) { FBandwidthLimit = Value; }
  int BandwidthSampling() const { return FBandwidthSampling; }
  void SetBandwidthSampling(int Value) { FBandwidthSampling = Value; }
  // Reading refreshes the content-coding bits from the handler.
  THttpCliOptions Options();
  void SetOptions(THttpCliOptions Value);
  // With content coding on, the most bytes one document may decode to (1 GiB by
  // default); past it the request fails.
  int64_t MaxDecodedSize() const;
  void SetMaxDecodedSize(int64_t Value);
  // The socket's logger (not owned).
  core::TLogger* Logger() const;
  void SetLogger(core::TLogger* Value);
  const std::string& SocksServer() const { return FSocksServer; }
  void SetSocksServer(const std::string& Value) { FSocksServer = Value; }
  const std::string& SocksLevel() const { return FSocksLevel; }
  void SetSocksLevel(const std::string& Value) { FSocksLevel = Value; }
  const std::string& SocksPort() const { return FSocksPort; }
  void SetSocksPort(const std::string& Value) { FSocksPort = Value; }
  const std::string& SocksUsercode() const { return FSocksUsercode; }
  void SetSocksUsercode(const std::string& Value) { FSocksUsercode = Value; }
  const std::string& SocksPassword() const { return FSocksPassword; }
  void SetSocksPassword(const std::string& Value) { FSocksPassword = Value; }
  net::TSocksAuthentication SocksAuthentication() const { return FSocksAuthentication; }
  void SetSocksAuthentication(net::TSocksAuthentication Value) { FSocksAuthentication = Value; }
  // For https: the CA certificates to trust instead of the system's (a PEM file),
  // and whether the server's certificate and name are checked at all.
  const std::string& SslCaFile() const { return FSslCaFile; }
  void SetSslCaFile(const std::string& Value) { FSslCaFile = Value; }
  bool SslVerifyPeer() const { return FSslVerifyPeer; }
  void SetSslVerifyPeer(bool Value) { FSslVerifyPeer = Value; }
  // The NTLM response sent in message 3: 1 (LM and NT responses of NTLMv1, the
  // default) or 2 (the NTLMv2 response built from the server's target
  // information, and no LM response, which would leave the password's LM hash
  // open to offline cracking). Other values count as 1.
  int NtlmVersion() const { return FNtlmVersion; }
  void SetNtlmVersion(int Value) { FNtlmVersion = Value; }

  // --- run-time properties ---
  int StatusCode() const { return FStatusCode; }
  const std::string& ReasonPhrase() const { return FReasonPhrase; }
  // The error code the last request ended with (the one OnRequestDone gives), 0
  // when it succeeded; net::IsLookupError tells a failed host lookup.
  uint16_t RequestDoneError() const { return FRequestDoneError; }
  core::TStream* RcvdStream() const { return FRcvdStream; }
  void SetRcvdStream(core::TStream* Value) { FRcvdStream = Value; }
  core::TStream* SendStream() const { return FSendStream; }
  void SetSendStream(core::TStream* Value) { FSendStream = Value; }
  int64_t RcvdCount() const { return FRcvdCount; }
  int64_t SentCount() const { return FSentCount; }
  const core::TStringList& RcvdHeader() const { return FRcvdHeader; }
  int64_t ContentLength() const { return FContentLength; }
  const std::string& ContentType() const { return FContentType; }
  const std::string& TransferEncoding() const { return FTransferEncoding; }
  const std::string& ContentEncoding() const { return FContentEncoding; }
  const std::string& Location() const { return FLocation; }
  const std::string& DocName() const { return FDocName; }
  THttpState State() const { return FHttpState; }
  THttpRequest RequestType() const { return FRequestType; }
  // The protocol the last request spoke on the wire: "h2", "http/1.1", "http/1.0".
  const std::string& Protocol() const { return FProtocolUsed; }
  // HTTP/2 was asked for over TLS and the server chose HTTP/1.1 or nothing.
  bool AlpnFellBack() const { return FAlpnFellBack; }
  // The three characters after "HTTP/" of the last status line.
  const std::string& ServerVersion() const { return FServerVersion; }
  // True when the last request ended with its document cut short by the close.
  bool DocumentTruncated() const { return FDocTruncated; }
  // The client's socket (owned by the client).
  net::TSslWSocket* Socket() const { return FSocket; }
  // Where the time of the last request went (see HttpTimeline.h); the caller may
  // add its own work on the document (Resume/Stop).
  THttpTimeline& Timeline() { return FTimeline; }

  // --- events ---
  TLocationChangeExceeded OnLocationChangeExceeded;
  TNotifyEvent OnTrace;  // stored only
  TNotifyEvent OnSessionConnected;
  TNotifyEvent OnSessionClosed;
  TNotifyEvent OnHeaderData;
  TOnCommand OnCommand;
  TNotifyEvent OnHeaderBegin;
  TNotifyEvent OnHeaderEnd;
  TNotifyEvent OnRequestHeaderBegin;
  TNotifyEvent OnRequestHeaderEnd;
  TNotifyEvent OnDocBegin;
  TDocDataEvent OnDocData;
  TNotifyEvent OnDocEnd;
  TNotifyEvent OnSendBegin;
  TDocDataEvent OnSendData;
  TNotifyEvent OnSendEnd;
  TNotifyEvent OnStateChange;
  THttpRequestDone OnRequestDone;
  TNotifyEvent OnLocationChange;
  TCookieRcvdEvent OnCookie;
  net::TDataAvailable OnDataPush;
  TNotifyEvent OnDataPush2;
  net::TSessionConnected OnSocksConnected;     // Sender is the socket
  net::TSocksAuthStateEvent OnSocksAuthState;  // Sender is the socket
  net::TSocksErrorEvent OnSocksError;          // Sender is the socket
  TNotifyEvent OnSocketError;
  TBeforeHeaderSendEvent OnBeforeHeaderSend;

  // Room kept free for every receive: large blocks keep the system calls per
  // megabyte few, so the meter measures the network and not itself.
  static constexpr int64_t kReceiveRoom = 64 * 1024;
  // How far ahead of an announced length a memory stream is reserved: the server
  // chooses that number, so it cannot make us take more than this at once.
  static constexpr int64_t kMaxReserveAhead = 64 * 1024 * 1024;
  // The limits on a response header (a longer one fails the request).
  static constexpr int64_t kMaxHeaderLine = 64 * 1024;
  static constexpr int64_t kMaxHeaderSize = 1024 * 1024;

 protected:
  using TLineHandler = void (THttpCli::*)();

  void StoreRequestVer(const std::string& Value);
  // Reads received bytes into Buffer; the socket's Receive. A seam for feeding the
  // response parser without a network.
  virtual int ReceiveData(void* Buffer, int BufferSize);

  // Steps shared by the stages of a request.
  void StartClose();
  void WaitUntilReady();
  void SplitRequestUrl();
  void RequestDoneStep(THttpRequest RqType, uint16_t ErrCode);
  // Posts FMsgLogin for the running request.
  void PostLogin();
  void ConnectSocketEvents();
  void HookSessionClosed();
  // Every end of a request runs here: the socket's close, and each failure that
  // leaves no connection to close (lookup, connect, an unknown scheme, an abort).
  void EndRequest(uint16_t ErrCode);
  void FailLookup(uint16_t ErrCode);
  void FailConnect(const std::string& Reason, uint16_t ErrCode);
  bool NameGoesToSocksServer() const;
  void ConnectToAddress(const std::string& Address, net::SOCKET Connected = net::INVALID_SOCKET);
  void StartRace(const std::vector<std::string>& Addrs);
  void RaceDone(uint16_t ErrCode);
  // The connection's record: a single attempt is closed when the connect phase
  // ends (or fails); the load's figures take the record when it starts on the
  // connection.
  void BeginSingleAttempt(const std::string& Address);
  void EndSingleAttempt(uint16_t ErrCode);
  void RecordConnection();
  void FailNotImplemented();
  // The connection is up: a new one (the socket's event) or a kept one reused.
  void SessionFailed(uint16_t ErrCode);
  void ReuseKeptConnection();
  void StartOnConnection(bool Reused);
  void StartUpload();
  void AddRequestLines(const std::string& Method, const std::string& Version, core::TStringList& Headers);
  // Ends the request on a protocol error: status 404 with Reason, connection closed.
  void FailProtocol(const std::string& Reason);
  // Closes the connection at once; the close ends the request.
  void CloseNow();
  // Receiving and cutting lines.
  void EnsureReceiveRoom();
  void ClearReceiveBuffer();
  void CompactReceive(int64_t Start);
  void DropTakenLines();
  void CutHeaderLines(uint16_t ErrCode);
  bool CheckLineLimits(int64_t Start);
  // Header.
  bool IsHeaderless() const;
  void StartHeaderless();
  void TakeStatusLine(const std::string& Line);
  void TakeFieldLine(const std::string& Line);
  void TakeLocation(const std::string& Value);
  TUriRef DocumentUri() const;
  void TakeTarget(const TUriRef& T, bool OwnAuthority);
  void TakeLocationCredentials(const std::string& UserInfo);
  std::string TargetOrigin() const;
  std::string TargetScheme() const;
  // The tunnel through a proxy (HttpTunnel.cpp).
  std::string TunnelTarget() const;
  bool SameConnection() const;
  void StartTunnel();
  void TakeTunnelReply();
  bool TakeTunnelFields(std::string_view Header, bool Http10);
  void SkipTunnelBody();
  void AddTunnelAuthorizationLines(core::TStringList& Headers, bool ForProxy);
  void LeaveOrigin();
  void EndOfHeader();
  bool BodyFollows() const;
  bool FramingIsSound();
  // Body.
  void HandleBodyData();
  // A body that goes unchanged into a memory stream is received straight into the
  // stream's free room; false when this receive is not one for it.
  bool ReceiveBodyInPlace();
  core::TMemoryStream* InPlaceBodyTarget();
  void PassBodySlice();
  void ReserveForDocument();
  void AfterBodyStep();
  void Deliver(const char* P, int64_t N);
  // Flushes the decoders; the reason when they refuse the end of the document.
  std::optional<std::string> CompleteDecoding();
  // Ends the request on content its decoders refused; the connection is closed
  // unless it already is (Closed).
  void FailDecoding(const std::string& Reason, bool Closed);
  int64_t DecodeChunks(const char* P, int64_t N);
  int64_t ChunkSizeStep(const char* P, int64_t N, int64_t I);
  int64_t SkipLine(const char* P, int64_t N, int64_t I);
  int64_t ChunkDataEndStep(const char* P, int64_t N, int64_t I);
  int64_t ChunkDataStep(const char* P, int64_t N, int64_t I);
  int64_t TrailerStep(const char* P, int64_t N, int64_t I);
  void NextChunk(THttpChunkState State);
  void KeepOnlyIfNothingBeyond(int64_t Beyond);
  void EndOfDocument(bool Chunked);
  bool DocumentComplete() const;
  void CheckSessionResult(uint16_t ErrCode);
  bool RetryStaleConnection();
  // The values of FAuthNTLMState and FProxyAuthNTLMState. Message 2 is the
  // server's, so no state waits to send it. The order matters: a state below
  // kNtlmDone is a handshake still under way.
  static constexpr int kNtlmIdle = 0;
  static constexpr int kNtlmSendMessage1 = 1;  // the next request carries message 1
  static constexpr int kNtlmSendMessage3 = 3;  // the next request carries message 3
  static constexpr int kNtlmDone = 4;
  // The values of FAuthBasicState and FProxyAuthBasicState.
  static constexpr int kBasicIdle = 0;
  static constexpr int kBasicSendCredentials = 1;  // the next request carries them
  static constexpr int kBasicDone = 2;
  // The four authentication state bytes, in the order of the fields below.
  struct TAuthStates {
    int Ntlm, ProxyNtlm, Basic, ProxyBasic;
  };
  TAuthStates UpdatedAuthStates() const;
  // Authentication (HttpAuth.cpp). The end-of-request step: true when it takes
  // over the end of the request (a new attempt follows, or a step reported the
  // request done itself).
  bool AuthenticationFollows();
  void UpdateAuthStates();
  bool PrepareNTLMAuth(bool& DoNext);
  bool PrepareBasicAuth(bool& DoNext);
  void RestartProxyAuth();
  void PrepareRepeat();
  void TraceNTLMStates();
  bool RefuseOversizedNTLM(const std::string& User);
  TNTLM_Msg2_Info LastNTLMChallenge() const;
  bool KeepAliveNeeded() const;
  void AddAuthorizationLines(core::TStringList& Headers);
  void AddChallenges(const std::string& Value);
  void BindNTLMToConnection();
  bool NTLMStepApplies(const TAuthStates& States) const;
  bool BasicStepApplies(const TAuthStates& States) const;
  bool ChallengeAnswered() const;
  bool BodyThrownAway() const;
  std::string NtlmMessage3(const std::string& User, const std::string& Password,
                           const TNTLM_Msg2_Info& Challenge) const;
  // Relocation.
  bool CountRelocation();
  bool RelocationCancelled() const;
  void RewindStreams();
  void ClearResponseState();
  // HTTP/2 (Http2Client.cpp): the connection's session and the stream of the
  // running request; its response text goes through the HTTP/1 parser.
  bool WantsHttp2() const;
  // The version on the wire: "2" on an HTTP/2 connection, else RequestVer ("1.1"
  // for "2").
  std::string WireVer() const;
  bool Http2Fits() const;
  void ChooseWireVersion(bool Reused);
  void SendHttp2Request(const std::string& Method);
  void Http2DataAvailable(uint16_t ErrCode);
  void Http2Deliver(uint16_t ErrCode);
  int32_t Http2WindowForRate() const;
  void Http2Flush();
  int Http2Take(void* Buffer, int BufferSize);
  void Http2CheckStream();
  bool Http2ForNtlm();
  void ReceiveAndParse(uint16_t ErrCode);
  // Bandwidth control (HttpBandwidth.cpp).
  void BandwidthRequestStart();
  void BandwidthReceived(int64_t Count);
  int64_t BandwidthReadCap(int64_t Room) const;
  void BandwidthNextBudget();
  void BandwidthDocumentEnd();
  void BandwidthTimerTick();
  void SetBandwidthTimerEnabled(bool Enabled);

  // The socket and the client's state.
  net::TSslWSocket* FSocket = nullptr;
  THttpState FHttpState = httpReady;
  THttpRequest FRequestType = httpABORT;
  uint32_t FMsgRequestDone = 0;
  uint32_t FMsgSetReady = 0;
  uint32_t FMsgLogin = 0;
  // Counts the requests started; the posted ready and login messages carry it.
  uintptr_t FRequestSerial = 0;
  bool FLoginPending = false;

  // Published property values.
  std::string FURL;
  std::string FLocalAddr = "0.0.0.0";
  THttpIpFamily FIpFamily = httpIpAny;
  std::string FProxy;
  std::string FProxyPort = "80";
  std::string FSender;
  std::string FAgent = "Mozilla/4.0 (compatible; Tachyload)";
  std::string FAccept = "image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*";
  std::string FAcceptLanguage;
  std::string FReference;
  std::string FConnection;
  std::string FProxyConnection;
  std::string FUsername;
  std::string FPassword;
  std::string FProxyUsername;
  std::string FProxyPassword;
  bool FNoCache = false;
  double FModifiedSince = 0;
  std::string FCookie;
  std::string FContentTypePost = "application/x-www-form-urlencoded";
  std::string FContentRangeBegin;
  std::string FContentRangeEnd;
  std::string FContentRangeOrigin;  // of the response it came from; empty: set by the caller
  std::string FSentOrigin;          // of the request last sent, whose response is read
  std::string FAcceptRanges;
  bool FMultiThreaded = false;
  std::string FRequestVer = "1.0";
  bool FFollowRelocation = true;
  int FLocationChangeMaxCount = 5;
  int FLocationChangeCurCount = 0;
  int FBandwidthLimit = 10000;
  int FBandwidthSampling = 1000;
  THttpCliOptions FOptions = 0;
  std::string FSocksServer;
  std::string FSocksLevel;
  std::string FSocksPort;
  std::string FSocksUsercode;
  std::string FSocksPassword;
  net::TSocksAuthentication FSocksAuthentication = net::socksNoAuthentication;
  std::string FSslCaFile;
  bool FSslVerifyPeer = true;
  core::TStream* FRcvdStream = nullptr;
  core::TStream* FSendStream = nullptr;

  // Request addressing.
  std::string FHostName;
  std::string FPort;
  std::string FTargetHost;
  std::string FTargetPort;
  std::string FProtocol;
  std::string FPath;
  std::string FDocName;
  std::string FCurrUsername;
  std::string FCurrPassword;
  std::string FCurrConnection;
  std::string FCurrProxyConnection;
  std::string FLocation;
  // Origin ("scheme://host:port") of the URL the request started with: the Cookie
  // line goes only there (FOtherOrigin is set while a relocation leads elsewhere).
  std::string FRequestOrigin;
  bool FOtherOrigin = false;
  // The location being taken named its own user and password.
  bool FLocationCredentials = false;
  // The open connection.
  std::string FCurrentHost;
  std::string FCurrentPort;
  std::string FCurrentProtocol;
  // An https document through a proxy: the connection is a tunnel (CONNECT) to
  // FTargetHost:FTargetPort, TLS runs inside it and FPath is the document's path.
  // FCurrentTunnel names the target of the open tunnel ("" for none).
  bool FTunnel = false;
  std::string FCurrentTunnel;
  // The body of a refused CONNECT is being dropped (framed by FContentLength or
  // chunks) so that its connection can carry the next CONNECT.
  bool FTunnelBodySkip = false;
  std::string FDnsResult;
  bool FConnected = false;

  // Response state.
  int FStatusCode = 0;
  std::string FReasonPhrase;
  std::string FServerVersion;
  bool FCloseReq = false;
  bool FLocationFlag = false;
  bool FHeaderInProgress = false;
  core::TStringList FRcvdHeader;
  core::TStringList FAuthChallenges;
  int64_t FContentLength = -1;
  std::string FContentType;
  std::string FTransferEncoding;
  std::string FContentEncoding;
  int64_t FRcvdStreamStartSize = 0;
  uint16_t FRequestDoneError = 0;
  int64_t FRcvdCount = 0;
  int64_t FSentCount = 0;
  // A status line "HTTP/1.x nnn" with a numeric code arrived for this request.
  bool FStatusLineSeen = false;
  // The response is a headerless <HTML> document.
  bool FHeaderless = false;
  // The end of the header announced a body (length, chunks or the close).
  bool FBodyExpected = false;
  // The request failed on a protocol error (oversized header, bad chunk framing).
  bool FProtocolFailed = false;
  bool FDocTruncated = false;
  // A "content-length" that was not a number: the framing is unknown, so no later
  // "connection: keep-alive" may keep the connection for another request.
  bool FLengthInvalid = false;
  // A "content-length" was taken; a later one must agree with it.
  bool FLengthSeen = false;
  // The request sent an Upgrade line: a 101 answer is no surprise.
  bool FUpgradeRequested = false;
  // The body is read for its framing only: a relocation being followed or a
  // challenge being answered has no page to decode or store.
  bool FDiscardBody = false;

  // Receiving. Bytes [0, FReceiveLen) are unconsumed; FReceiveBuffer[FReceiveLen]
  // is 0. FLineScanned bytes from the front are known to hold no LF.
  // Grown without zero-filling: only [0, FReceiveLen] is ever read.
  core::TByteBuffer FReceiveBuffer;
  int64_t FReceiveLen = 0;
  // Bumped whenever the buffer is emptied, so a loop over it knows to stop.
  uint64_t FReceiveGen = 0;
  // The current line ended in CR LF (not a lone LF).
  bool FCurrentLineCR = false;
  int64_t FLineScanned = 0;
  // Bytes at the front of the buffer taken as lines but not moved out yet.
  int64_t FTakenLen = 0;
  int64_t FHeaderBytes = 0;
  std::string FCurrentLine;
  int FHeaderLineCount = 0;
  int FBodyLineCount = 0;
  TLineHandler FLineHandler = nullptr;
  // The bytes the body step works on when they are not in the receive buffer
  // (received in place into the stream).
  const char* FBodySlice = nullptr;
  int64_t FBodyDataStart = 0;
  int64_t FBodyDataLen = 0;
  // Chunk decoder.
  uint64_t FChunkLength = 0;
  uint64_t FChunkRcvd = 0;
  TChunkSizeScan FChunkSizeScan;
  bool FChunkTrailer = false;
  bool FChunkLineEmpty = true;
  // The CR after a chunk's data arrived; its LF must come next.
  bool FChunkCRSeen = false;
  THttpChunkState FChunkState = httpChunkSize;

  // Sending.
  std::unique_ptr<core::TMemoryStream> FRequestStream;
  std::vector<char> FSendBuffer;
  bool FSending = false;
  // The request went out on a connection kept from an earlier one, no byte of its
  // response arrived yet, and whether it was already sent once more.
  bool FReusedConnection = false;
  bool FResponseBytes = false;
  bool FStaleRetried = false;

  // Authentication states.
  int FAuthNTLMState = kNtlmIdle;
  int FProxyAuthNTLMState = kNtlmIdle;
  int FAuthBasicState = kBasicIdle;
  int FProxyAuthBasicState = kBasicIdle;
  // Counts the connections opened; an NTLM exchange holds only on the one it
  // was made on (the one its message 1 went out on).
  uint64_t FConnectionSerial = 0;
  uint64_t FNTLMConnection = 0;
  uint64_t FProxyNTLMConnection = 0;
  int FNtlmVersion = 1;
  // The challenges last received from the server and from the proxy.
  TNTLM_Msg2_Info FNTLMMsg2Info;
  TNTLM_Msg2_Info FProxyNTLMMsg2Info;

  // Content coding.
  std::unique_ptr<THttpContCodHandler> FContCodHandler;

  // HTTP/2: the session of the open connection (none on an HTTP/1 one), the
  // running request's stream.
  std::unique_ptr<THttp2Session> FHttp2;
  int32_t FHttp2Stream = 0;
  std::string FProtocolUsed;
  bool FAlpnFellBack = false;
  // This request left HTTP/2 for NTLM.
  bool FNoHttp2 = false;
  std::vector<char> FHttp2Raw;

  // The phases of the running load; moved along with MarkPhase from the handlers.
  THttpTimeline FTimeline;
  void MarkPhase(TLoadPhase Phase) {
    if (Phase != TLoadPhase::connect) EndSingleAttempt(0);
    FTimeline.MarkPhase(Phase);
  }
  // The connection's address family settings and its attempts.
  bool FConnectRacing = true;
  uint32_t FAttemptDelay = net::TConnectRace::kDefaultAttemptDelay;
  core::ComponentPtr<net::TConnectRace> FRace;
  uint16_t FRacePort = 0;
  std::chrono::steady_clock::time_point FConnectStart{};
  bool FSingleAttemptOpen = false;
  std::string FConnIp;
  int FConnFamily = 0;
  std::vector<TLoadConnectAttempt> FConnAttempts;

  // Bandwidth: bytes received since the request started, less the budgets paid
  // by the ticks that found a pause; the budget of the current sampling period;
  // the socket is paused by it. A budget is whole bytes: the thousandths of a byte
  // that limit x period leaves over carry to the next period (FBandwidthFraction),
  // out of FBandwidthPerPeriod thousandths per period, fixed at the request start.
  int64_t FBandwidthCount = 0;
  int64_t FBandwidthMaxCount = 0;
  int64_t FBandwidthPerPeriod = 0;
  int64_t FBandwidthFraction = 0;
  bool FBandwidthPaused = false;
  // The periodic timer, created on first use: a window timer on the client's
  // window whose id is FMsgBandwidthTimer, so its ticks are routed here.
  struct TBandwidthTimer {
    uint32_t Interval = 1000;
    bool Enabled = false;
  };
  std::optional<TBandwidthTimer> FBandwidthTimer;
  uint32_t FMsgBandwidthTimer = 0;
};

}  // namespace http
