// The socket's data flow: queuing and sending through the send buffer chain, the
// receive loop, the read, write and close notifications, pausing, and the ways a
// connection ends (graceful, delayed, abortive, by the peer, by a send error).
#include <sys/ioctl.h>

#include <algorithm>

#include "core/Application.h"
#include "net/CustomWSocket.h"
#include "net/SocketErrorText.h"
#include "net/WSocketInternal.h"

namespace net {

namespace {

// Holds the chain lock for a scope, also when an event handler raises.
class ChainLock {
 public:
  explicit ChainLock(TBufferHandler& chain) : FChain(chain) { FChain.EnterLock(); }
  ~ChainLock() { FChain.LeaveLock(); }
  ChainLock(const ChainLock&) = delete;
  ChainLock& operator=(const ChainLock&) = delete;

 private:
  TBufferHandler& FChain;
};

// Send errors that mean the connection is gone rather than a fault of the caller.
bool IsConnectionError(int error) {
  switch (error) {
    case winapi::WSAECONNRESET:
    case winapi::WSAENOTSOCK:
    case winapi::WSAENOTCONN:
    case winapi::WSAEINVAL:
    case winapi::WSAECONNABORTED:
      return true;
    default:
      return false;
  }
}

constexpr int kDiscardChunk = 1024;

}  // namespace

// --- sending ----------------------------------------------------------------------

void TCustomWSocket::QueueSendData(const void* Data, int Len) {
  if (Len <= 0 || !Data) return;
  ChainLock lock(*FBufHandler);
  FBufHandler->Write(Data, Len);
  FBufferedByteCount += Len;
  FAllSent = false;
}

void TCustomWSocket::QueueSendString(const std::string& Str) {
  if (!Str.empty()) QueueSendData(Str.data(), static_cast<int>(Str.size()));
}

int TCustomWSocket::Send(const void* Data, int Len) {
  if (FSockState != wsConnected && FSockState != wsSocksConnected) {
    api::WSASetLastError(winapi::WSAENOTCONN);
    ApiFailure("Send");
    return -1;
  }
  FAllSent = false;
  int result = 0;
  if (Len > 0) {
    QueueSendData(Data, Len);
    result = Len;
  }
  if (!FAllSent) {
    TryToSend();
    // Everything went out at once: the data-sent event still comes from the message
    // loop, never from inside Send, through a write notification of our own.
    if (FAllSent && FHSocket != INVALID_SOCKET) PostSelfNotification(winapi::FD_WRITE);
  }
  return result;
}

int TCustomWSocket::SendStr(const std::string& Str) {
  if (Str.empty()) return 0;
  return Send(Str.data(), static_cast<int>(Str.size()));
}

int TCustomWSocket::SendByte(uint8_t Value) {
  return Send(&Value, 1);
}

void TCustomWSocket::TryToSend() {
  // A Send made from inside OnSendData lands here while the loop below runs; it
  // only queues, and the running loop sends it, so no byte goes out twice.
  if (FInTryToSend) return;
  ChainLock lock(*FBufHandler);
  if (FHSocket == INVALID_SOCKET || FBufHandler->IsEmpty()) {
    FAllSent = true;
    return;
  }
  FInTryToSend = true;
  struct Reset {
    bool& flag;
    ~Reset() { flag = false; }
  } reset{FInTryToSend};
  for (;;) {
    const char* data = nullptr;
    const int len = FBufHandler->Peek(data);
    if (len <= 0) {
      FAllSent = true;
      return;
    }
    const SOCKET handle = FHSocket;
    const int count = SendChunk(data, len);
    if (count > 0) FBufferedByteCount = std::max(0, FBufferedByteCount - count);
    if (count == 0) return;
    if (count < 0) {
      const int error = api::WSAGetLastError();
      if (IsConnectionError(error)) {
        CloseOnSendError(error);
      } else if (error != winapi::WSAEWOULDBLOCK) {
        ApiFailure("TryToSend failed");
      }
      return;
    }
    // OnSendData may have closed the socket (what is left belongs to no connection)
    // or discarded the queue.
    if (FHSocket != handle || FHSocket == INVALID_SOCKET) return;
    if (!FBufHandler->IsEmpty()) FBufHandler->Remove(count);
    // A partial send: the system notifies when it can take more.
    if (count < len) return;
  }
}

void TCustomWSocket::CloseOnSendError(int Error) {
  if (LogEnabled(core::loWsockErr))
    WriteLog(core::loWsockErr, Name() + " Winsock Send failed - " + SocketErrorMessage(Error));
  FCloseInvoked = true;
  Close();
  TriggerSessionClosed(static_cast<uint16_t>(Error));
}

int TCustomWSocket::SendChunk(const void* Data, int Len) {
  int result;
  if (FType == SOCK_DGRAM) {
    int peerLen = 0;
    const sockaddr* peer = ResolvedSockaddr(peerLen);
    result = api::sendto(FHSocket, static_cast<const char*>(Data), Len, FSendFlags, peer, peerLen);
  } else
    result = api::send(FHSocket, static_cast<const char*>(Data), Len, FSendFlags);
  if (result > 0) TriggerSendData(result);
  return result;
}

int TCustomWSocket::SendTo(const sockaddr_in& Dest, int DestLen, const void* Data, int Len) {
  sockaddr_in copy = Dest;
  const int result = api::sendto(FHSocket, static_cast<const char*>(Data), Len, FSendFlags,
                                 reinterpret_cast<const sockaddr*>(&copy), DestLen);
  if (result > 0) {
    TriggerSendData(result);
    if (FAllSent && FType == SOCK_DGRAM) PostSelfNotification(winapi::FD_WRITE);
  }
  return result;
}

int TCustomWSocket::SendTo(const sockaddr_storage& Dest, int DestLen, const void* Data, int Len) {
  const int result = api::sendto(FHSocket, static_cast<const char*>(Data), Len, FSendFlags,
                                 reinterpret_cast<const sockaddr*>(&Dest), DestLen);
  if (result > 0) {
    TriggerSendData(result);
    if (FAllSent && FType == SOCK_DGRAM) PostSelfNotification(winapi::FD_WRITE);
  }
  return result;
}

void TCustomWSocket::Flush() {
  // From inside OnSendData the running send loop cannot go on until the handler
  // returns, so waiting here would never end; that loop sends everything queued.
  if (FInTryToSend) return;
  while (FHSocket != INVALID_SOCKET && !FAllSent) {
    TryToSend();
    MessagePump();
  }
}

void TCustomWSocket::DiscardSendBuffer() {
  ChainLock lock(*FBufHandler);
  FBufHandler->DeleteAll();
  FBufferedByteCount = 0;
}

// --- receiving --------------------------------------------------------------------

int TCustomWSocket::RecvRaw(void* Buffer, int Size, int Flags) {
  const int n = api::recv(FHSocket, static_cast<char*>(Buffer), Size, Flags);
  FRcvdFlag = n >= Size;
  return n;
}

int TCustomWSocket::RecvFromRaw(SOCKET H, void* Buffer, int Size, int Flags, sockaddr_in& From,
                                int& FromLen) {
  const int n =
      api::recvfrom(H, static_cast<char*>(Buffer), Size, Flags, reinterpret_cast<sockaddr*>(&From), &FromLen);
  FRcvdFlag = n >= Size;
  return n;
}

int TCustomWSocket::Receive(void* Buffer, int BufferSize) {
  const int n = RecvRaw(Buffer, BufferSize, 0);
  if (n < 0)
    FLastError = api::WSAGetLastError();
  else
    FReadCount += n;
  return n;
}

int TCustomWSocket::ReceiveFrom(void* Buffer, int BufferSize, sockaddr_in& From, int& FromLen) {
  const int n = RecvFromRaw(FHSocket, Buffer, BufferSize, 0, From, FromLen);
  if (n < 0)
    FLastError = api::WSAGetLastError();
  else
    FReadCount += n;
  return n;
}

int TCustomWSocket::ReceiveFrom(void* Buffer, int BufferSize, sockaddr_storage& From, int& FromLen) {
  const int n = api::recvfrom(FHSocket, static_cast<char*>(Buffer), BufferSize, 0,
                              reinterpret_cast<sockaddr*>(&From), &FromLen);
  FRcvdFlag = n >= BufferSize;
  if (n < 0)
    FLastError = api::WSAGetLastError();
  else
    FReadCount += n;
  return n;
}

int TCustomWSocket::RcvdCount() {
  if (Designing()) return -1;
  uint32_t waiting = 0;
  if (api::ioctlsocket(FHSocket, FIONREAD, &waiting) != 0) {
    ApiFailure("ioctlSocket");
    return -1;
  }
  return static_cast<int>(waiting);
}

std::string TCustomWSocket::ReceiveStr() {
  int count = RcvdCount();
  if (count < 0) return {};
  if (count == 0) count = 255;
  std::string s(static_cast<size_t>(count), '\0');
  const int n = Receive(s.data(), count);
  if (n <= 0) return {};
  s.resize(static_cast<size_t>(n));
  return s;
}

// A receive that fills the buffer it was given says more is probably waiting and
// the loop goes on; one that does not has emptied the socket, and the system
// announces the next data with a new read notification. No probe of the waiting
// count is made between receives: at the close everything still arrives, because
// the loop ends only on a short receive.
void TCustomWSocket::ReceiveLoop(uint16_t ErrCode, TWSocketOptions Options) {
  try {
    for (;;) {
      FLastError = 0;
      FRcvdFlag = false;
      if (!TriggerDataAvailable(ErrCode)) {
        // Nobody reads: drop what is waiting so the connection stays usable.
        char discard[kDiscardChunk];
        if (FHSocket != INVALID_SOCKET && RecvRaw(discard, sizeof discard, 0) == -1) {
          FLastError = api::WSAGetLastError();
          if (FLastError == winapi::WSAEWOULDBLOCK) {
            FLastError = 0;
            return;
          }
        }
      }
      if (Options.Contains(wsoNoReceiveLoop)) return;
      if (FLastError != 0) {
        if (FLastError == -1) FLastError = 0;
        return;
      }
      // The handler may have closed the socket: nothing more to read.
      if (FHSocket == INVALID_SOCKET) return;
      if (!FRcvdFlag) return;
      // A server that sends faster than the handler reads would keep this loop (and
      // so this one notification) going for ever; a terminating program gets its
      // turn, and the data still waiting brings the next notification.
      if (core::Application().Terminated()) return;
    }
  } catch (...) {
    // A failing handler or report ends this notification's loop only, whatever it
    // threw: nothing of it may escape into the message loop.
  }
}

// --- notifications -------------------------------------------------------------------

void TCustomWSocket::HandleFdRead(core::TMessage& Msg) {
  const uint16_t errCode = detail::NotificationError(Msg.LParam);
  if (FSockState != wsConnected) {
    // A read can arrive before the connect notification.
    ChangeState(wsConnected);
    TriggerSocketConnected(errCode);
  }
  if (FHSocket == INVALID_SOCKET) return;
  ReceiveLoop(errCode, FComponentOptions);
}

void TCustomWSocket::HandleFdWrite(core::TMessage& Msg) {
  TryToSend();
  if (FAllSent) TriggerDataSent(detail::NotificationError(Msg.LParam));
}

void TCustomWSocket::HandleFdClose(core::TMessage& Msg) {
  if (FSockState == wsConnecting || FHSocket == INVALID_SOCKET) return;
  const uint16_t errCode = detail::NotificationError(Msg.LParam);
  const SOCKET handle = FHSocket;
  // Everything still waiting goes to the application before the close, whatever
  // wsoNoReceiveLoop says.
  ReceiveLoop(0, TWSocketOptions(FComponentOptions).Exclude(wsoNoReceiveLoop));
  // A handler that closed the socket meanwhile has fired the close event already.
  if (FHSocket != handle) return;
  if (!FCloseInvoked) {
    FCloseInvoked = true;
    TriggerSessionClosed(errCode);
  }
  if (FSockState != wsClosed && FHSocket == handle) Close();
}

void TCustomWSocket::TriggerDataSent(uint16_t ErrCode) {
  if (LogEnabled(core::loWsockDump))
    WriteLog(core::loWsockDump, IdentityText() + " TriggerDataSent " + std::to_string(FHSocket));
  if (TDataSent handler = OnDataSent) handler(this, ErrCode);
}

// --- closing ----------------------------------------------------------------------

void TCustomWSocket::Close() {
  InternalClose(true, 0);
}

void TCustomWSocket::CloseDelayed() {
  winapi::PostMessage(Handle(), FMsgCloseDelayed, 0, 0);
}

void TCustomWSocket::Abort() {
  InternalAbort(0);
}

void TCustomWSocket::InternalClose(bool Shut, uint16_t ErrCode) {
  if (FHSocket == INVALID_SOCKET) {
    if (FSockState != wsClosed) {
      ChangeState(wsClosed);
      AssignDefaults();
    }
    return;
  }
  if (FSockState == wsClosed) return;
  if (Shut) {
    Shutdown(SHUT_WR);
    DropUnreadInput();
  }
  while (api::closesocket(FHSocket) != 0) {
    FLastError = api::WSAGetLastError();
    if (FLastError == winapi::WSANOTINITIALISED) break;
    if (FLastError != winapi::WSAEWOULDBLOCK) {
      FHSocket = INVALID_SOCKET;
      ApiFailure("Disconnect (closesocket)");
      return;
    }
    MessagePump();
  }
  FHSocket = INVALID_SOCKET;
  ChangeState(wsClosed);
  if (!Destroying() && !FCloseInvoked) {
    FCloseInvoked = true;
    TriggerSessionClosed(ErrCode);
  }
  // A handler that already started the next connection keeps its fresh state; only
  // the close flag set above belongs to the connection that ended (the new one is
  // live, so it has not reported a close of its own) and must not silence its close.
  if (FHSocket != INVALID_SOCKET || FSockState != wsClosed) {
    FCloseInvoked = false;
    return;
  }
  try {
    AssignDefaults();
  } catch (...) {
  }
}

// Linux answers the close of a socket with unread input by a reset, which throws
// away what the peer has not yet read of our sends. What has arrived is of no use
// to anyone once we close, so it is read and dropped first: what is waiting now,
// no more, so a peer that never stops sending cannot hold the close.
void TCustomWSocket::DropUnreadInput() {
  uint32_t waiting = 0;
  if (api::ioctlsocket(FHSocket, FIONREAD, &waiting) != 0) return;
  char discard[kDiscardChunk];
  while (waiting > 0) {
    const int n =
        api::recv(FHSocket, discard, static_cast<int>(std::min<uint32_t>(waiting, sizeof discard)), 0);
    if (n <= 0) return;
    waiting -= static_cast<uint32_t>(n);
  }
}

void TCustomWSocket::InternalAbort(uint16_t ErrCode) {
  CancelDnsLookup();
  DiscardSendBuffer();
  if (FSockState == wsConnected && FProto == IPPROTO_TCP) {
    FLingerOnOff = wsLingerOff;
    ApplyLinger();
  }
  InternalClose(false, ErrCode);
}

void TCustomWSocket::Shutdown(int How) {
  if (LogEnabled(core::loWsockInfo))
    WriteLog(core::loWsockInfo, IdentityText() + " TCustomWSocket.Shutdown " + std::to_string(How) + " " +
                                    std::to_string(FHSocket));
  if (FHSocket != INVALID_SOCKET) api::shutdown(FHSocket, How);
}

void TCustomWSocket::WaitForClose() {
  while (FHSocket != INVALID_SOCKET && FSockState != wsClosed) {
    MessagePump();
    if (FHSocket == INVALID_SOCKET) return;
    uint32_t waiting = 0;
    if (api::ioctlsocket(FHSocket, FIONREAD, &waiting) != 0) return;
    // Bytes a layer holds above the system (left after a SOCKS reply, for one) are
    // the application's as much as those the system holds.
    const bool dataWaiting = waiting > 0 || RcvdCount() > 0;
    const bool hasReader = dataWaiting ? TriggerDataAvailable(0) : true;
    if (FHSocket == INVALID_SOCKET) return;
    // The probe for the end of the stream only looks when a handler reads: a byte
    // that arrived since its event is the application's and comes with the next one.
    // Without a handler the bytes are dropped, as the receive loop drops them.
    char ch;
    const int n = RecvRaw(&ch, 1, hasReader ? MSG_PEEK : 0);
    if (n == 0) return;  // the peer's end; nothing more will come
    if (n < 0) {
      FLastError = api::WSAGetLastError();
      if (FLastError != winapi::WSAEWOULDBLOCK) return;
    }
    MessagePump();
  }
}

// --- pausing ----------------------------------------------------------------------

void TCustomWSocket::PauseEvents() {
  FPaused = true;
  api::WSAAsyncSelect(FHSocket, Handle(), 0, 0);
}

void TCustomWSocket::ResumeEvents() {
  FPaused = false;
  // Binding again makes the system announce data waiting and room to send; a
  // connect outcome or a close that arrived while paused is delivered by us.
  api::WSAAsyncSelect(FHSocket, Handle(), FMsgAsyncSelect, FSelectEvent);
  const long pending = FPausedEvents & (winapi::FD_CONNECT | winapi::FD_CLOSE);
  const uint16_t connectError = FPausedConnectError;
  const uint16_t closeError = FPausedCloseError;
  FPausedEvents = 0;
  FPausedConnectError = 0;
  FPausedCloseError = 0;
  if (FHSocket == INVALID_SOCKET) return;
  if (pending & winapi::FD_CONNECT) PostSelfNotification(winapi::FD_CONNECT, connectError);
  if (pending & winapi::FD_CLOSE) PostSelfNotification(winapi::FD_CLOSE, closeError);
}

}  // namespace net
