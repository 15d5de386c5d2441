// The socket calls that change a socket's phase or re-enable its notifications.
// Each makes the system call without the table lock, then updates the record and
// re-arms or, where Windows does, posts the still-true condition at once.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "platform/SocketInternal.h"
#include "platform/SocketTable.h"
#include "platform/SystemCalls.h"

namespace winapi {
namespace {

using detail::Counted;
using detail::FindSocket;
using detail::Phase;
using detail::Sockets;
using detail::SockRec;
using detail::TableLock;

bool IsResetClass(int err) {
  return err == ECONNRESET || err == ECONNABORTED || err == ETIMEDOUT || err == ENETRESET || err == EPIPE;
}

// recv()/recvfrom() re-enable FD_READ. The interest is armed again and the epoll
// set reports data still waiting at the next look, so no probe is made here: a
// receive loop that reads on needs none, and one that stops is told by the set.
// A posted notification for data the loop then reads would only cost an empty
// receive.
void AfterReceive(SOCKET s, int err) {
  TableLock lock;
  SockRec* rec = FindSocket(s);
  if (rec == nullptr) return;
  rec->readOff = false;
  if (err != 0 && IsResetClass(err)) rec->pendingCloseError = WSAErrorFromErrno(err);
  detail::Rearm(s, *rec);
}

// send()/sendto() re-enable FD_WRITE when the system took less than offered.
int AfterSend(SOCKET s, ssize_t n, int len, int err) {
  TableLock lock;
  SockRec* rec = FindSocket(s);
  if (rec != nullptr && (err == EAGAIN || (n >= 0 && n < len))) {
    rec->writeWanted = true;
    detail::Rearm(s, *rec);
  }
  if (n >= 0) return static_cast<int>(n);
  // Linux answers EPIPE both after our own shutdown and on a socket never
  // connected; Windows tells them apart.
  if (err == EPIPE && rec != nullptr && rec->shutWr) return detail::Fail(WSAESHUTDOWN);
  if (err == EPIPE && rec != nullptr && rec->phase == Phase::Idle) return detail::Fail(WSAENOTCONN);
  return detail::FailErrno(err);
}

// accept() re-enables FD_ACCEPT: another pending connection is announced at once.
void AfterAccept(SOCKET listener) {
  TableLock lock;
  SockRec* rec = FindSocket(listener);
  if (rec == nullptr) return;
  rec->acceptOff = false;
  if ((rec->binding.mask & FD_ACCEPT) != 0 && (detail::PollNow(listener, POLLIN) & POLLIN) != 0) {
    rec->acceptOff = detail::Notify(listener, *rec, FD_ACCEPT, 0);
  }
  detail::Rearm(listener, *rec);
}

void SetPhase(SOCKET s, Phase phase) {
  TableLock lock;
  SockRec* rec = FindSocket(s);
  if (rec == nullptr) return;
  rec->phase = phase;
  if (phase == Phase::Connected) {
    detail::Notify(s, *rec, FD_CONNECT, 0);
    rec->writeWanted = !detail::Notify(s, *rec, FD_WRITE, 0);
  }
  detail::Rearm(s, *rec);
}

bool IsStream(SOCKET s) {
  {
    TableLock lock;
    if (SockRec* rec = FindSocket(s)) return rec->phase != Phase::Datagram;
  }
  int type = 0;
  socklen_t len = sizeof type;
  return Counted(::getsockopt(s, SOL_SOCKET, SO_TYPE, &type, &len)) == 0 && type == SOCK_STREAM;
}

socklen_t LengthIn(const int* len) {
  return len != nullptr && *len > 0 ? static_cast<socklen_t>(*len) : 0;
}

}  // namespace

SOCKET socket(int af, int type, int protocol) {
  if (!detail::Started()) return INVALID_SOCKET;
  // Non-blocking from the start: every socket here is driven by notifications.
  SOCKET s = Counted(::socket(af, type | SOCK_NONBLOCK | SOCK_CLOEXEC, protocol));
  if (s < 0) return detail::FailErrno(errno);
  TableLock lock;
  detail::AddSocket(s, type == SOCK_STREAM ? Phase::Idle : Phase::Datagram);
  FindSocket(s)->nonBlocking = true;
  return s;
}

int closesocket(SOCKET s) {
  if (!detail::Started()) return SOCKET_ERROR;
  {
    TableLock lock;
    if (SockRec* rec = FindSocket(s)) {
      detail::Disarm(s, *rec);
      // The number is reused at once: a queued notification must not reach the
      // next socket that gets it.
      for (auto [hwnd, msg] : rec->postedTo) detail::PurgeMessages(hwnd, msg, static_cast<WPARAM>(s));
      Sockets().recs.erase(s);
    }
  }
  return Counted(::close(s)) == 0 ? 0 : detail::FailErrno(errno);
}

int bind(SOCKET s, const sockaddr* addr, int len) {
  if (!detail::Started()) return SOCKET_ERROR;
  if (Counted(::bind(s, addr, static_cast<socklen_t>(len))) != 0) return detail::FailErrno(errno);
  return 0;
}

int listen(SOCKET s, int backlog) {
  if (!detail::Started()) return SOCKET_ERROR;
  if (Counted(::listen(s, backlog)) != 0) return detail::FailErrno(errno);
  SetPhase(s, Phase::Listening);
  return 0;
}

SOCKET accept(SOCKET s, sockaddr* addr, int* addrLen) {
  if (!detail::Started()) return INVALID_SOCKET;
  socklen_t len = LengthIn(addrLen);
  SOCKET conn = Counted(::accept4(s, addr, addr != nullptr ? &len : nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
  int err = errno;
  AfterAccept(s);
  if (conn < 0) return detail::FailErrno(err);
  if (addrLen != nullptr && addr != nullptr) *addrLen = static_cast<int>(len);
  TableLock lock;
  detail::AddSocket(conn, Phase::Connected);
  FindSocket(conn)->nonBlocking = true;
  return conn;
}

int connect(SOCKET s, const sockaddr* addr, int len) {
  if (!detail::Started()) return SOCKET_ERROR;
  if (Counted(::connect(s, addr, static_cast<socklen_t>(len))) == 0) {
    SetPhase(s, IsStream(s) ? Phase::Connected : Phase::Datagram);
    return 0;
  }
  int err = errno;
  if (err == EINPROGRESS) {
    SetPhase(s, Phase::Connecting);
    return detail::Fail(WSAEWOULDBLOCK);
  }
  return detail::FailErrno(err);
}

int send(SOCKET s, const char* buf, int len, int flags) {
  if (!detail::Started()) return SOCKET_ERROR;
  ssize_t n = Counted(::send(s, buf, static_cast<size_t>(len), flags | MSG_NOSIGNAL));
  return AfterSend(s, n, len, n < 0 ? errno : 0);
}

int sendto(SOCKET s, const char* buf, int len, int flags, const sockaddr* to, int toLen) {
  if (!detail::Started()) return SOCKET_ERROR;
  ssize_t n = Counted(
      ::sendto(s, buf, static_cast<size_t>(len), flags | MSG_NOSIGNAL, to, static_cast<socklen_t>(toLen)));
  return AfterSend(s, n, len, n < 0 ? errno : 0);
}

int recv(SOCKET s, char* buf, int len, int flags) {
  if (!detail::Started()) return SOCKET_ERROR;
  ssize_t n = Counted(::recv(s, buf, static_cast<size_t>(len), flags));
  int err = n < 0 ? errno : 0;
  AfterReceive(s, err);
  return n < 0 ? detail::FailErrno(err) : static_cast<int>(n);
}

int recvfrom(SOCKET s, char* buf, int len, int flags, sockaddr* from, int* fromLen) {
  if (!detail::Started()) return SOCKET_ERROR;
  socklen_t addrLen = LengthIn(fromLen);
  ssize_t n = Counted(
      ::recvfrom(s, buf, static_cast<size_t>(len), flags, from, from != nullptr ? &addrLen : nullptr));
  int err = n < 0 ? errno : 0;
  AfterReceive(s, err);
  if (n < 0) return detail::FailErrno(err);
  if (from != nullptr && fromLen != nullptr) *fromLen = static_cast<int>(addrLen);
  return static_cast<int>(n);
}

int shutdown(SOCKET s, int how) {
  if (!detail::Started()) return SOCKET_ERROR;
  if (Counted(::shutdown(s, how)) != 0) return detail::FailErrno(errno);
  if (how == SHUT_WR || how == SHUT_RDWR) {
    TableLock lock;
    if (SockRec* rec = FindSocket(s)) rec->shutWr = true;
  }
  return 0;
}

}  // namespace winapi
