// The base of the socket class chain (states, options, event types and
// TCustomWSocket itself). Applications place TWSocket (net/WSocket.h).
//
// Contract (stated once here):
// - Thread. A socket, its window and every one of its events belong to the thread
//   that created its window (the first operation that needs Handle). Call every
//   operation on that thread; events run there, from the thread's message loop,
//   except those documented as firing inside the call (OnSendData inside Send,
//   the datagram connect, DnsLookup of a dotted address, CancelDnsLookup).
// - Lifecycle. Create with core::Create<TWSocket>(owner) (or MakeComponent) and free
//   with core::Free: the second phases run the most-derived AssignDefaults at
//   creation and CancelDnsLookup, Close and FreeMsgHandlers at destruction. Never
//   delete a socket from inside one of its own events; use Release.
// - Ownership. The socket owns its send buffer chain and its lookup result list. It
//   does not own the Logger (cleared by free notification).
// - Events are std::function members named like the event; "assigned" means
//   non-empty. They are invoked through a local copy, so a handler may reassign or
//   clear the event it runs from. A handler may close or abort the socket; the code
//   that raised the event checks the state before it goes on.
// - Failures. Programming and configuration errors go through ReportError: it raises
//   ESocketException when OnError is not assigned, otherwise fires OnError and the
//   operation carries on. Network failures arrive as error codes in events.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "core/Classes.h"
#include "core/Logger.h"
#include "core/WndControl.h"
#include "net/SendBuffer.h"
#include "net/SocketApi.h"
#include "platform/WinSock.h"

namespace net {

using winapi::INVALID_SOCKET;
using winapi::SOCKET;

enum TSocketState : uint8_t {
  wsInvalidState,
  wsOpened,
  wsBound,
  wsConnecting,
  wsSocksConnected,
  wsConnected,
  wsAccepting,
  wsListening,
  wsClosed
};
// The state's name for log lines and test messages.
const char* SocketStateName(TSocketState state);

enum TSocketSendFlags : uint8_t { wsSendNormal, wsSendUrgent };
enum TSocketLingerOnOff : uint8_t { wsLingerOff, wsLingerOn, wsLingerNoSet };
enum TSocketKeepAliveOnOff : uint8_t { wsKeepAliveOff, wsKeepAliveOnCustom, wsKeepAliveOnSystem };
enum TWSocketOption : uint8_t { wsoNoReceiveLoop, wsoTcpNoDelay, wsoSIO_RCVALL };

// A set of TWSocketOption, bit n for ordinal n.
class TWSocketOptions {
 public:
  constexpr TWSocketOptions() = default;
  constexpr TWSocketOptions(std::initializer_list<TWSocketOption> options) {
    for (TWSocketOption o : options) Include(o);
  }
  constexpr bool Contains(TWSocketOption o) const { return (FBits & Bit(o)) != 0; }
  constexpr TWSocketOptions& Include(TWSocketOption o) {
    FBits = static_cast<uint8_t>(FBits | Bit(o));
    return *this;
  }
  constexpr TWSocketOptions& Exclude(TWSocketOption o) {
    FBits = static_cast<uint8_t>(FBits & ~Bit(o));
    return *this;
  }
  constexpr uint8_t Bits() const { return FBits; }
  constexpr bool operator==(const TWSocketOptions&) const = default;

 private:
  static constexpr uint8_t Bit(TWSocketOption o) { return static_cast<uint8_t>(1u << o); }
  uint8_t FBits = 0;
};

// Event types. Sender is the socket; ErrCode is a socket error code, 0 = success.
using TDataAvailable = std::function<void(core::TComponent* Sender, uint16_t ErrCode)>;
using TDataSent = TDataAvailable;
using TSessionClosed = TDataAvailable;
using TSessionAvailable = TDataAvailable;
using TSessionConnected = TDataAvailable;
using TDnsLookupDone = TDataAvailable;
using TSendData = std::function<void(core::TComponent* Sender, int BytesSent)>;
using TChangeState =
    std::function<void(core::TComponent* Sender, TSocketState OldState, TSocketState NewState)>;
using TSocketBgExceptionEvent = core::TBgExceptionEvent;  // (Sender, E, var CanClose)
using TNotifyEvent = std::function<void(core::TComponent* Sender)>;

// A time value (seconds, microseconds).
struct TTimeVal {
  int32_t tv_sec = 0;
  int32_t tv_usec = 0;
};

// Resolution helpers shared with the SOCKS layer; failures raise ESocketException.
// Address in network order; "255.255.255.255" is accepted; a name blocks in the resolver.
uint32_t ResolveHost(const std::string& host);
// Port digits are not range-checked (the caller keeps the low 16 bits); a service
// name is looked up for the protocol. Result in host order.
uint32_t ResolvePort(const std::string& port, const std::string& proto);
uint32_t ResolveProto(const std::string& proto);

class TCustomWSocket : public core::TWndControl {
 public:
  explicit TCustomWSocket(core::TComponent* AOwner);
  ~TCustomWSocket() override;

  // --- virtual interface, in the order later layers know it ---
  virtual void SetLogger(core::TLogger* Value);
  virtual void WriteLog(core::TLogOption LogOption, const std::string& Msg);
  virtual bool LogEnabled(core::TLogOption LogOption);
  virtual void AllocateSocketWindow();
  virtual void DeallocateSocketWindow();
  virtual void TryToSend();
  virtual void AssignDefaults();
  virtual void InternalClose(bool Shut, uint16_t ErrCode);
  virtual void InternalAbort(uint16_t ErrCode);
  virtual void SetPort(const std::string& Value);
  virtual void SetProto(const std::string& Value);
  virtual int RcvdCount();
  virtual void SetBufSize(int Value);
  virtual int BufSize() const;
  virtual void SetSocketRcvBufSize(int Value);
  virtual void SetSocketSndBufSize(int Value);
  virtual void Bind();
  virtual int SendChunk(const void* Data, int Len);
  virtual void ReportError(const std::string& Msg);
  virtual bool TriggerDataAvailable(uint16_t ErrCode);
  virtual void TriggerSessionAvailable(uint16_t ErrCode);
  virtual void TriggerSocketConnected(uint16_t ErrCode);
  virtual void TriggerSessionConnected(uint16_t ErrCode);
  virtual void TriggerSessionClosed(uint16_t ErrCode);
  virtual void TriggerDataSent(uint16_t ErrCode);
  virtual void TriggerChangeState(TSocketState OldState, TSocketState NewState);
  virtual void TriggerDnsLookupDone(uint16_t ErrCode);
  virtual void TriggerError();
  virtual int RecvRaw(void* Buffer, int Size, int Flags);
  virtual int RecvFromRaw(SOCKET H, void* Buffer, int Size, int Flags, sockaddr_in& From, int& FromLen);
  virtual void HandleFdConnect(core::TMessage& Msg);
  virtual void HandleFdRead(core::TMessage& Msg);
  virtual void HandleFdWrite(core::TMessage& Msg);
  virtual void HandleFdAccept(core::TMessage& Msg);
  virtual void HandleFdClose(core::TMessage& Msg);
  virtual void DupConnected();
  virtual void Connect();
  // Connect with a stream handle whose connect to Addr has already succeeded
  // (won a TConnectRace): the socket takes it over and goes on as if its own
  // connect had just completed, session-connected event included.
  void ConnectHandle(SOCKET Handle);
  virtual void Close();
  virtual void CloseDelayed();
  virtual void Abort();
  virtual void Flush();
  virtual void WaitForClose();
  virtual void Listen();
  virtual SOCKET Accept();
  virtual int Receive(void* Buffer, int BufferSize);
  virtual std::string ReceiveStr();
  virtual int ReceiveFrom(void* Buffer, int BufferSize, sockaddr_in& From, int& FromLen);
  virtual int Send(const void* Data, int Len);
  virtual int SendByte(uint8_t Value);
  virtual int SendTo(const sockaddr_in& Dest, int DestLen, const void* Data, int Len);
  virtual int SendStr(const std::string& Str);
  virtual void DnsLookup(const std::string& HostName);
  virtual void ReverseDnsLookup(const std::string& HostAddr);
  virtual void ReverseDnsLookupSync(const std::string& HostAddr);
  virtual void CancelDnsLookup();
  virtual std::string GetPeerAddr();
  virtual std::string GetPeerPort();
  virtual int GetPeerName(sockaddr_in& Name, int NameLen);
  virtual std::string GetBoundPort();
  virtual std::string GetBoundAddr();
  virtual bool TimeValueIsSet(const TTimeVal& T);
  virtual void TimeValueClear(TTimeVal& T);
  virtual bool TimeValueCompare(const TTimeVal& A, const TTimeVal& B, bool Equal);
  virtual int GetSockName(sockaddr_in& Name, int& NameLen);
  virtual void Dup(SOCKET NewHSocket);
  virtual void Shutdown(int How);
  virtual void PauseEvents();
  virtual void ResumeEvents();
  virtual void QueueSendData(const void* Data, int Len);

  // Datagrams of either family: From and Dest are an IPv4 or IPv6 address.
  int ReceiveFrom(void* Buffer, int BufferSize, sockaddr_storage& From, int& FromLen);
  int SendTo(const sockaddr_storage& Dest, int DestLen, const void* Data, int Len);

  // --- non-virtual operations ---
  void QueueSendString(const std::string& Str);
  void DiscardSendBuffer();
  void TriggerSendData(int BytesSent);

  // --- component base overrides ---
  void AfterConstruction() override;
  void BeforeDestruction() override;
  void WndProc(core::TMessage& MsgRec) override;
  void HandleBackgroundError(const std::exception& E) override;
  int MsgHandlersCount() override;
  void AllocateMsgHandlers() override;
  void FreeMsgHandlers() override;
  void ThreadAttach() override;
  void ThreadDetach() override;

  // --- published properties ---
  const std::string& Addr() const { return FAddrStr; }
  void SetAddr(const std::string& Value);
  // AF_INET6 once Addr, an IPv6 literal ("::1" or "[::1]"), was resolved for a
  // Connect or Listen; AF_INET otherwise.
  int AddrFamily() const { return FAddrFormat; }
  // What DnsLookup asks for: AF_INET (the classic lookup, the default), AF_INET6,
  // or AF_UNSPEC for both families at once. With IPv6 in the request an IPv6
  // literal is its own result, and DnsResultList holds the addresses of both
  // families in the resolver's order (IPv6 ones as "2001:db8::1").
  int DnsFamily() const { return FDnsFamily; }
  void SetDnsFamily(int Value) { FDnsFamily = Value; }
  const std::string& Port() const { return FPortStr; }
  const std::string& Proto() const { return FProtoStr; }
  const std::string& LocalAddr() const { return FLocalAddr; }
  void SetLocalAddr(const std::string& Value);
  const std::string& LocalPort() const { return FLocalPortStr; }
  void SetLocalPort(const std::string& Value);
  bool MultiThreaded() const { return FMultiThreaded; }
  void SetMultiThreaded(bool Value) { FMultiThreaded = Value; }
  bool MultiCast() const { return FMultiCast; }
  void SetMultiCast(bool Value) { FMultiCast = Value; }
  const std::string& MultiCastAddrStr() const { return FMultiCastAddrStr; }
  void SetMultiCastAddrStr(const std::string& Value) { FMultiCastAddrStr = Value; }
  int MultiCastIpTTL() const { return FMultiCastIpTTL; }
  void SetMultiCastIpTTL(int Value) { FMultiCastIpTTL = Value; }
  int FlushTimeout() const { return FFlushTimeout; }
  void SetFlushTimeout(int Value) { FFlushTimeout = Value; }
  TSocketSendFlags SendFlags();
  void SetSendFlags(TSocketSendFlags Value);
  TSocketLingerOnOff LingerOnOff() const { return FLingerOnOff; }
  void SetLingerOnOff(TSocketLingerOnOff Value) { FLingerOnOff = Value; }
  int LingerTimeout() const { return FLingerTimeout; }
  // A linger time above 0 would block the thread inside close: refused with a report.
  void SetLingerTimeout(int Value);
  TSocketKeepAliveOnOff KeepAliveOnOff() const { return FKeepAliveOnOff; }
  void SetKeepAliveOnOff(TSocketKeepAliveOnOff Value) { FKeepAliveOnOff = Value; }
  uint32_t KeepAliveTime() const { return FKeepAliveTime; }
  void SetKeepAliveTime(uint32_t Value) { FKeepAliveTime = Value; }
  uint32_t KeepAliveInterval() const { return FKeepAliveInterval; }
  void SetKeepAliveInterval(uint32_t Value) { FKeepAliveInterval = Value; }
  int LastError() const { return FLastError; }
  void SetLastError(int Value) { FLastError = Value; }
  bool ReuseAddr() const { return FReuseAddr; }
  void SetReuseAddr(bool Value) { FReuseAddr = Value; }
  TWSocketOptions ComponentOptions() const { return FComponentOptions; }
  void SetComponentOptions(TWSocketOptions Value) { FComponentOptions = Value; }
  int ListenBacklog() const { return FListenBacklog; }
  void SetListenBacklog(int Value) { FListenBacklog = Value; }
  uint8_t ReqVerLow() const;
  void SetReqVerLow(uint8_t Value);
  uint8_t ReqVerHigh() const;
  void SetReqVerHigh(uint8_t Value);
  core::TLogger* Logger() const { return FLogger; }

  // --- read-only and run-time properties ---
  TSocketState State() const { return FSockState; }
  SOCKET HSocket() const { return FHSocket; }
  const std::string& DnsResult() const { return FDnsResult; }
  const core::TStringList& DnsResultList() const { return FDnsResultList; }
  bool AllSent() const { return FAllSent; }
  int64_t ReadCount() const { return FReadCount; }
  int BufferedByteCount() const { return FBufferedByteCount; }
  int SocketSndBufSize() const { return FSocketSndBufSize; }
  int SocketRcvBufSize() const { return FSocketRcvBufSize; }
  bool Paused() const { return FPaused; }
  bool RcvdFlag() const { return FRcvdFlag; }

  // --- events ---
  TDataAvailable OnDataAvailable;
  TDataSent OnDataSent;
  TSendData OnSendData;
  TSessionClosed OnSessionClosed;
  TSessionAvailable OnSessionAvailable;
  TSessionConnected OnSessionConnected;
  TChangeState OnChangeState;
  TDnsLookupDone OnDnsLookupDone;
  TNotifyEvent OnError;
  TSocketBgExceptionEvent OnBgException;

  // The socket's private message numbers, in registration order.
  uint32_t MsgAsyncSelect() const { return FMsgAsyncSelect; }
  uint32_t MsgCloseDelayed() const { return FMsgCloseDelayed; }
  uint32_t MsgTestException() const { return FMsgTestException; }
  uint32_t MsgLineData() const { return FMsgLineData; }

 protected:
  void Notification(core::TComponent* AComponent, core::TOperation Operation) override;
  bool FollowsThreadMove(uint32_t Msg) override;

  void ChangeState(TSocketState NewState);
  void ApiFailure(const std::string& Name);
  void HandleSelectMessage(core::TMessage& Msg);
  void HandleCloseDelayed(core::TMessage& Msg);
  void HandleLookupDone(core::TMessage& Msg);
  void HandleReverseLookupDone(core::TMessage& Msg);
  void ApplyLinger();
  void ApplyKeepAlive();
  // Dup, once the new handle is accepted: forgets what belonged to the previous
  // connection. Layers that hold bytes of their own clear them too.
  virtual void StartAdoptedConnection();
  // Posts a notification with error 0 to the socket's own window, as the system would.
  void PostSelfNotification(long Event, uint16_t ErrCode = 0);

  std::string FDnsResult;
  core::TStringList FDnsResultList;
  int FSendFlags = 0;
  int FLastError = 0;
  bool FDnsLookupCheckMsg = false;
  core::TMessage FDnsLookupTempMsg{};
  SOCKET FHSocket = INVALID_SOCKET;
  SOCKET FASocket = INVALID_SOCKET;
  uint32_t FMsgAsyncSelect = 0;
  uint32_t FMsgHostByName = 0;
  uint32_t FMsgHostByAddr = 0;
  uint32_t FMsgCloseDelayed = 0;
  uint32_t FMsgTestException = 0;
  uint32_t FMsgLineData = 0;
  std::string FAddrStr;
  bool FAddrResolved = false;
  int FAddrFormat = 2;
  bool FAddrAssigned = false;
  int FProto = 6;
  bool FProtoAssigned = true;
  bool FProtoResolved = false;
  bool FLocalPortResolved = false;
  std::string FProtoStr = "tcp";
  std::string FPortStr;
  bool FPortAssigned = false;
  bool FPortResolved = false;
  uint32_t FPortNum = 0;
  std::string FLocalPortStr = "0";
  uint32_t FLocalPortNum = 0;
  std::string FLocalAddr = "0.0.0.0";
  int FType = 1;
  core::ComponentPtr<TBufferHandler> FBufHandler;
  TSocketLingerOnOff FLingerOnOff = wsLingerNoSet;
  int FLingerTimeout = 0;
  TSocketKeepAliveOnOff FKeepAliveOnOff = wsKeepAliveOff;
  uint32_t FKeepAliveTime = 0;
  uint32_t FKeepAliveInterval = 0;
  int FListenBacklog = 5;
  bool FAllSent = true;
  int64_t FReadCount = 0;
  bool FPaused = false;
  bool FCloseInvoked = false;
  int FBufferedByteCount = 0;
  int FFlushTimeout = 60;
  bool FMultiThreaded = false;
  winapi::HANDLE FDnsLookupHandle = 0;
  bool FMultiCast = false;
  std::string FMultiCastAddrStr;
  int FMultiCastIpTTL = 1;
  bool FReuseAddr = false;
  TWSocketOptions FComponentOptions;
  TSocketState FSockState = wsClosed;
  bool FRcvdFlag = false;
  long FSelectEvent = 0;
  uint16_t FCurrentEvent = 0;
  int FSocketSndBufSize = 0;
  int FSocketRcvBufSize = 0;
  core::TLogger* FLogger = nullptr;
  sockaddr_in FSin{};
  sockaddr_in6 FSin6{};  // the peer (or the address to listen on) when Addr is IPv6
  int FDnsFamily = AF_INET;

 private:
  void ReceiveLoop(uint16_t ErrCode, TWSocketOptions Options);
  void CloseOnSendError(int Error);
  void DropUnreadInput();
  bool ResolveForConnect();
  void ResolveAddr();
  // The peer's (Connect) or the local (Listen) address of the resolved Addr.
  const sockaddr* ResolvedSockaddr(int& Len);
  bool DnsLookupLiteral(const std::string& HostName);
  bool ResolveForListen();
  bool ListenSteps();
  bool ListenByType(SOCKET Handle);
  bool ClosedDuringListen(SOCKET Handle) const;
  bool CloseHandleOnFailure(const std::function<bool()>& Steps, bool EvenWhenOpened);
  bool ReadSocketBufSizes();
  bool ApplyDatagramOptions();
  bool ApplyStreamOptions(bool BindLocal = true);
  bool SetIntOption(int Level, int Name, int Value, const char* FailName);
  void CancelPendingLookupSilently();
  void ClearDnsResults();
  void AddHostEntryResults(const winapi::HostEntry& Entry, bool ByAddr);
  void FinishLookup(const core::TMessage& Msg, bool reverse);
  std::string IdentityText() const;

  // True while TryToSend runs: a Send from inside OnSendData only queues, and the
  // running loop sends what it queued, so no byte goes out twice.
  bool FInTryToSend = false;
  // Network events that arrived while paused; ResumeEvents delivers them.
  long FPausedEvents = 0;
  uint16_t FPausedConnectError = 0;
  uint16_t FPausedCloseError = 0;
  bool FUseCountTaken = false;
};

}  // namespace net
