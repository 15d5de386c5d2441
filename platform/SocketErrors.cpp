// The errno and resolver-error tables, and the thread's last socket error.
#include <cerrno>
#include <cstdio>
#include <iterator>

#include "platform/SocketInternal.h"

namespace winapi {
namespace {

struct CodePair {
  int from;
  int to;
};

// EPIPE maps to a reset here; send() turns it into WSAESHUTDOWN after our own
// shutdown. EINPROGRESS only ever comes from connect(), whose caller expects
// WSAEWOULDBLOCK for a connection under way.
constexpr CodePair kErrnoTable[] = {
    {EINTR, WSAEINTR},
    {EBADF, WSAENOTSOCK},
    {ENOTSOCK, WSAENOTSOCK},
    {EACCES, WSAEACCES},
    {EPERM, WSAEACCES},
    {EFAULT, WSAEFAULT},
    {EINVAL, WSAEINVAL},
    {EMFILE, WSAEMFILE},
    {ENFILE, WSAEMFILE},
    {EAGAIN, WSAEWOULDBLOCK},
    {EINPROGRESS, WSAEWOULDBLOCK},
    {EALREADY, WSAEALREADY},
    {EDESTADDRREQ, WSAEDESTADDRREQ},
    {EMSGSIZE, WSAEMSGSIZE},
    {EPROTOTYPE, WSAEPROTOTYPE},
    {ENOPROTOOPT, WSAENOPROTOOPT},
    {EPROTONOSUPPORT, WSAEPROTONOSUPPORT},
    {ESOCKTNOSUPPORT, WSAESOCKTNOSUPPORT},
    {EOPNOTSUPP, WSAEOPNOTSUPP},
    {EPFNOSUPPORT, WSAEPFNOSUPPORT},
    {EAFNOSUPPORT, WSAEAFNOSUPPORT},
    {EADDRINUSE, WSAEADDRINUSE},
    {EADDRNOTAVAIL, WSAEADDRNOTAVAIL},
    {ENETDOWN, WSAENETDOWN},
    {ENETUNREACH, WSAENETUNREACH},
    {ENONET, WSAENETUNREACH},
    {ENETRESET, WSAENETRESET},
    {ECONNABORTED, WSAECONNABORTED},
    {EPROTO, WSAECONNABORTED},
    {ECONNRESET, WSAECONNRESET},
    {EPIPE, WSAECONNRESET},
    {ENOBUFS, WSAENOBUFS},
    {ENOMEM, WSAENOBUFS},
    {EISCONN, WSAEISCONN},
    {ENOTCONN, WSAENOTCONN},
    {ESHUTDOWN, WSAESHUTDOWN},
    {ETOOMANYREFS, WSAETOOMANYREFS},
    {ETIMEDOUT, WSAETIMEDOUT},
    {ECONNREFUSED, WSAECONNREFUSED},
    {ELOOP, WSAELOOP},
    {ENAMETOOLONG, WSAENAMETOOLONG},
    {EHOSTDOWN, WSAEHOSTDOWN},
    {EHOSTUNREACH, WSAEHOSTUNREACH},
    {ENOTEMPTY, WSAENOTEMPTY},
    {EUSERS, WSAEUSERS},
    {EDQUOT, WSAEDQUOT},
    {ESTALE, WSAESTALE},
    {EREMOTE, WSAEREMOTE},
};

constexpr CodePair kHErrnoTable[] = {
    {HOST_NOT_FOUND, WSAHOST_NOT_FOUND},
    {TRY_AGAIN, WSATRY_AGAIN},
    {NO_RECOVERY, WSANO_RECOVERY},
    {NO_DATA, WSANO_DATA},
};

thread_local int t_lastError = 0;

}  // namespace

int WSAErrorFromErrno(int err) {
  for (const CodePair& p : kErrnoTable) {
    if (p.from == err) return p.to;
  }
  // Worth knowing about: a system error the table does not name yet.
  char text[64];
  std::snprintf(text, sizeof text, "socket layer: unmapped errno %d\n", err);
  OutputDebugString(text);
  return WSAEINVAL;
}

int WSAGetLastError() {
  return t_lastError;
}
void WSASetLastError(int code) {
  t_lastError = code;
}

namespace detail {

int Fail(int code) {
  t_lastError = code;
  return SOCKET_ERROR;
}

int FailErrno(int err) {
  return Fail(WSAErrorFromErrno(err));
}

int LookupErrorFromHErrno(int herr) {
  for (const CodePair& p : kHErrnoTable) {
    if (p.from == herr) return p.to;
  }
  return WSANO_RECOVERY;
}

}  // namespace detail
}  // namespace winapi
