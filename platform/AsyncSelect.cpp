// WSAAsyncSelect: binding a socket to a window message, and the harvest that turns
// epoll readiness into notifications with the Windows re-enabling rules.
#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>

#include <cerrno>

#include "platform/SocketInternal.h"
#include "platform/SocketTable.h"
#include "platform/SystemCalls.h"

namespace winapi {
namespace detail {
namespace {

constexpr short kGone = POLLERR | POLLHUP;

int PendingSocketError(SOCKET s) {
  int err = 0;
  socklen_t len = sizeof err;
  if (Counted(::getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len)) != 0) err = errno;
  return err;
}

// The outcome of a non-blocking connect: FD_CONNECT with its error, and on success
// the first FD_WRITE. A connection that was made and then reset before this
// harvest reports the reset here; it was connected, and its data and FD_CLOSE follow.
bool HarvestConnecting(SOCKET s, SockRec& rec, short ready) {
  if ((ready & (POLLOUT | kGone)) == 0) return false;
  // Writable and neither failed nor hung up: connected, nothing to ask.
  int err = (ready & kGone) == 0 ? 0 : PendingSocketError(s);
  bool connected = err == 0 || err == ECONNRESET || BytesWaiting(s) > 0;
  if (!connected) {
    rec.phase = Phase::Idle;
    Notify(s, rec, FD_CONNECT, WSAErrorFromErrno(err));
    return true;
  }
  rec.phase = Phase::Connected;
  if (err != 0) rec.pendingCloseError = WSAErrorFromErrno(err);
  Notify(s, rec, FD_CONNECT, 0);
  rec.writeWanted = !Notify(s, rec, FD_WRITE, 0);
  return true;
}

// Readable, hung up or failed: data first; FD_CLOSE only once nothing is left to
// read, with the reset recv() may already have reported. Plain readability is data;
// only with an end or a failure in sight does a peek tell the two apart.
void HarvestReadable(SOCKET s, SockRec& rec, short ready) {
  char probe;
  const bool plainData = (ready & POLLIN) != 0 && (ready & (POLLRDHUP | kGone)) == 0;
  ssize_t n = plainData ? 1 : Counted(::recv(s, &probe, 1, MSG_PEEK | MSG_DONTWAIT));
  if (n > 0) {
    rec.readOff = Notify(s, rec, FD_READ, 0);
    return;
  }
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
  if (n < 0) rec.pendingCloseError = WSAErrorFromErrno(errno);
  if ((rec.binding.mask & FD_CLOSE) == 0) {
    rec.readOff = true;  // quiet until the next recv()
    return;
  }
  rec.closeSent = Notify(s, rec, FD_CLOSE, rec.pendingCloseError);
}

bool HarvestConnected(SOCKET s, SockRec& rec, short ready) {
  bool acted = false;
  if (rec.writeWanted && (ready & (POLLOUT | kGone)) != 0) {
    rec.writeWanted = !Notify(s, rec, FD_WRITE, 0);
    acted = true;
  }
  bool readWanted = (rec.binding.mask & (FD_READ | FD_CLOSE)) != 0 && !rec.readOff && !rec.closeSent;
  if (readWanted && (ready & (POLLIN | POLLRDHUP | kGone)) != 0) {
    HarvestReadable(s, rec, ready);
    acted = true;
  }
  return acted;
}

bool HarvestListening(SOCKET s, SockRec& rec, short ready) {
  if ((ready & POLLIN) == 0) return false;
  rec.acceptOff = Notify(s, rec, FD_ACCEPT, 0);
  return true;
}

// A datagram socket reads from readiness alone: FIONREAD is 0 for an empty datagram.
bool HarvestDatagram(SOCKET s, SockRec& rec, short ready) {
  bool acted = false;
  if (rec.writeWanted && (ready & POLLOUT) != 0) {
    rec.writeWanted = !Notify(s, rec, FD_WRITE, 0);
    acted = true;
  }
  if (!rec.readOff && (ready & POLLIN) != 0) {
    rec.readOff = Notify(s, rec, FD_READ, 0);
    acted = true;
  }
  return acted;
}

bool HarvestByPhase(SOCKET s, SockRec& rec, short ready) {
  switch (rec.phase) {
    case Phase::Connecting:
      if (!HarvestConnecting(s, rec, ready)) return false;
      if (rec.phase == Phase::Connected) HarvestConnected(s, rec, ready);
      return true;
    case Phase::Connected:
      return HarvestConnected(s, rec, ready);
    case Phase::Listening:
      return HarvestListening(s, rec, ready);
    case Phase::Datagram:
      return HarvestDatagram(s, rec, ready);
    case Phase::Idle:
      break;
  }
  return false;
}

// Conditions already true when a binding is made are posted at once; FD_CLOSE and
// FD_CONNECT are left to the harvest that follows the re-arm, except a connect
// outcome whose notification was dropped with a released message number.
void PostPersistent(SOCKET s, SockRec& rec) {
  long mask = rec.binding.mask;
  if (rec.connectLost && (mask & FD_CONNECT) != 0) {
    rec.connectLost = !Notify(s, rec, FD_CONNECT, rec.lostConnectError);
  }
  // A socket not yet connected, listening or bound for datagrams has nothing to
  // tell: its connect outcome comes from the harvest.
  if (rec.phase == Phase::Idle || rec.phase == Phase::Connecting) return;
  short ready = PollNow(s, POLLIN | POLLOUT);
  bool readable = rec.phase == Phase::Connected ? BytesWaiting(s) > 0 : (ready & POLLIN) != 0;
  bool streamOrDgram = rec.phase == Phase::Connected || rec.phase == Phase::Datagram;
  if (streamOrDgram && (mask & FD_READ) != 0 && !rec.closeSent && readable) {
    rec.readOff = Notify(s, rec, FD_READ, 0);
  }
  if (streamOrDgram && (mask & FD_WRITE) != 0 && (ready & POLLOUT) != 0) {
    rec.writeWanted = !Notify(s, rec, FD_WRITE, 0);
  }
  if (rec.phase == Phase::Listening && (mask & FD_ACCEPT) != 0 && (ready & POLLIN) != 0) {
    rec.acceptOff = Notify(s, rec, FD_ACCEPT, 0);
  }
}

// A descriptor this layer did not create: learn what it is.
bool LearnPhase(SOCKET s, Phase& phase) {
  int type = 0, listening = 0;
  socklen_t len = sizeof type;
  if (Counted(::getsockopt(s, SOL_SOCKET, SO_TYPE, &type, &len)) != 0) return false;
  len = sizeof listening;
  Counted(::getsockopt(s, SOL_SOCKET, SO_ACCEPTCONN, &listening, &len));
  sockaddr_storage peer{};
  len = sizeof peer;
  if (type != SOCK_STREAM) {
    phase = Phase::Datagram;
  } else if (listening != 0) {
    phase = Phase::Listening;
  } else {
    phase = Counted(::getpeername(s, reinterpret_cast<sockaddr*>(&peer), &len)) == 0 ? Phase::Connected
                                                                                     : Phase::Idle;
  }
  return true;
}

}  // namespace

static_assert(EPOLLIN == POLLIN && EPOLLOUT == POLLOUT && EPOLLRDHUP == POLLRDHUP && EPOLLERR == POLLERR &&
              EPOLLHUP == POLLHUP);

// The readiness comes from the epoll set. The record cannot belong to a later
// socket with the same number: closing takes the socket out of the set, and that
// waits for a harvest under way, before the number is released.
void HarvestSocket(SOCKET s, uint32_t events) {
  TableLock lock;
  SockRec* rec = FindSocket(s);
  if (rec == nullptr) return;
  MarkFired(*rec);
  if (rec->binding.mask == 0) return;
  const auto ready = static_cast<short>(events & (EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLERR | EPOLLHUP));
  bool acted = HarvestByPhase(s, *rec, ready);
  // An unmaskable hang-up or error nothing could be posted for would wake the
  // thread forever; stay quiet until a re-enabling call re-arms.
  if (!acted && (ready & kGone) != 0) {
    Disarm(s, *rec);
    return;
  }
  Rearm(s, *rec);
}

}  // namespace detail

int WSAAsyncSelect(SOCKET s, HWND hwnd, UINT wMsg, long lEvent) {
  using namespace detail;
  if (!Started()) return SOCKET_ERROR;
  detail::ThreadQueue* queue = lEvent != 0 ? QueueOfWindow(hwnd) : nullptr;
  if (lEvent != 0 && queue == nullptr) return Fail(WSAEINVAL);
  bool nonBlocking;
  {
    TableLock lock;
    SockRec* rec = FindSocket(s);
    nonBlocking = rec != nullptr && rec->nonBlocking;
  }
  if (!nonBlocking) {
    int flags = Counted(::fcntl(s, F_GETFL));
    if (flags < 0 || Counted(::fcntl(s, F_SETFL, flags | O_NONBLOCK)) != 0) return FailErrno(errno);
  }

  {  // unbind first: the old epoll set lets go before a new one takes the socket
    TableLock lock;
    SockRec* rec = FindSocket(s);
    if (rec == nullptr) {
      Phase phase;
      if (!LearnPhase(s, phase)) return FailErrno(errno);
      AddSocket(s, phase);
      rec = FindSocket(s);
    }
    rec->nonBlocking = true;
    Disarm(s, *rec);
    rec->binding = Binding{};
  }
  if (lEvent == 0) return 0;  // paused: queued notifications stay

  TableLock lock;
  SockRec* rec = FindSocket(s);
  if (rec == nullptr) return Fail(WSAENOTSOCK);  // closed meanwhile by another thread
  rec->binding = Binding{hwnd, wMsg, lEvent, queue};
  rec->readOff = false;
  rec->acceptOff = false;
  PostPersistent(s, *rec);
  Rearm(s, *rec);
  return 0;
}

}  // namespace winapi
