// Start-up and clean-up, and the socket calls that pass straight through to the
// system with Windows error codes.
#include "platform/WinSock.h"

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/SocketInternal.h"
#include "platform/SocketTable.h"
#include "platform/SystemCalls.h"

namespace winapi {
using detail::Counted;
namespace {

std::atomic<int> g_startCount{0};

constexpr WORD kHighestVersion = 0x0202;

// Keep-alive times arrive in milliseconds; Linux counts whole seconds, refuses 0 and
// caps the idle time and interval at 32767.
int KeepAliveSeconds(uint32_t ms) {
  uint32_t seconds = ms / 1000 + (ms % 1000 != 0 ? 1 : 0);
  return static_cast<int>(std::clamp<uint32_t>(seconds, 1, 32767));
}

int SetIntOption(SOCKET s, int level, int name, int value) {
  return Counted(::setsockopt(s, level, name, &value, sizeof value)) == 0 ? 0 : detail::FailErrno(errno);
}

int SetKeepAlive(SOCKET s, const void* in, DWORD inLen) {
  if (in == nullptr || inLen < sizeof(tcp_keepalive)) return detail::Fail(WSAEFAULT);
  tcp_keepalive ka;
  std::memcpy(&ka, in, sizeof ka);
  if (SetIntOption(s, SOL_SOCKET, SO_KEEPALIVE, ka.onoff != 0 ? 1 : 0) != 0) return SOCKET_ERROR;
  if (ka.onoff == 0) return 0;
  if (SetIntOption(s, IPPROTO_TCP, TCP_KEEPIDLE, KeepAliveSeconds(ka.keepalivetime)) != 0 ||
      SetIntOption(s, IPPROTO_TCP, TCP_KEEPINTVL, KeepAliveSeconds(ka.keepaliveinterval)) != 0 ||
      SetIntOption(s, IPPROTO_TCP, TCP_KEEPCNT, 10) != 0) {
    return SOCKET_ERROR;
  }
  return 0;
}

}  // namespace

namespace detail {

bool Started() {
  if (g_startCount.load() > 0) return true;
  Fail(WSANOTINITIALISED);
  return false;
}

}  // namespace detail

int WSAStartup(WORD version, WSADATA* data) {
  if ((version & 0xFF) == 0) return WSAVERNOTSUPPORTED;  // major version 0
  if (data != nullptr) {
    *data = WSADATA{};
    const int major = version & 0xFF, minor = version >> 8;
    data->wVersion = major > 2 || (major == 2 && minor > 2) ? kHighestVersion : version;
    data->wHighVersion = kHighestVersion;
    std::strcpy(data->szDescription, "Linux sockets");
    std::strcpy(data->szSystemStatus, "Running");
  }
  ++g_startCount;
  return 0;
}

int WSACleanup() {
  int count = g_startCount.load();
  do {
    if (count <= 0) return detail::Fail(WSANOTINITIALISED);
  } while (!g_startCount.compare_exchange_weak(count, count - 1));
  if (count == 1) {
    detail::CancelAllLookups();
    detail::CloseAllSockets();
  }
  return 0;
}

int ioctlsocket(SOCKET s, long cmd, uint32_t* argp) {
  if (!detail::Started()) return SOCKET_ERROR;
  if (argp == nullptr) return detail::Fail(WSAEFAULT);
  if (cmd == static_cast<long>(FIONREAD)) {
    int n = 0;
    if (Counted(::ioctl(s, FIONREAD, &n)) != 0) return detail::FailErrno(errno);
    *argp = static_cast<uint32_t>(n);
    return 0;
  }
  if (cmd == static_cast<long>(FIONBIO)) {
    int on = *argp != 0 ? 1 : 0;
    if (Counted(::ioctl(s, FIONBIO, &on)) != 0) return detail::FailErrno(errno);
    detail::TableLock lock;
    if (detail::SockRec* rec = detail::FindSocket(s)) rec->nonBlocking = on != 0;
    return 0;
  }
  return detail::Fail(WSAEINVAL);
}

int setsockopt(SOCKET s, int level, int name, const char* value, int len) {
  if (!detail::Started()) return SOCKET_ERROR;
  if (Counted(::setsockopt(s, level, name, value, static_cast<socklen_t>(len))) != 0)
    return detail::FailErrno(errno);
  return 0;
}

int getsockopt(SOCKET s, int level, int name, char* value, int* len) {
  if (!detail::Started()) return SOCKET_ERROR;
  if (len == nullptr || *len < 0) return detail::Fail(WSAEFAULT);
  socklen_t l = static_cast<socklen_t>(*len);
  if (Counted(::getsockopt(s, level, name, value, &l)) != 0) return detail::FailErrno(errno);
  *len = static_cast<int>(l);
  return 0;
}

int WSAIoctl(SOCKET s, DWORD code, void* in, DWORD inLen, void* /*out*/, DWORD /*outLen*/, DWORD* ret,
             void* /*overlapped*/, void* /*completion*/) {
  if (!detail::Started()) return SOCKET_ERROR;
  if (ret != nullptr) *ret = 0;
  switch (code) {
    case SIO_KEEPALIVE_VALS:
      return SetKeepAlive(s, in, inLen);
    case SIO_RCVALL:
      return detail::Fail(WSAEOPNOTSUPP);  // no promiscuous capture here
    default:
      return detail::Fail(WSAEINVAL);
  }
}

int getsockname(SOCKET s, sockaddr* addr, int* len) {
  if (!detail::Started()) return SOCKET_ERROR;
  if (len == nullptr || *len < 0) return detail::Fail(WSAEFAULT);
  socklen_t l = static_cast<socklen_t>(*len);
  if (Counted(::getsockname(s, addr, &l)) != 0) return detail::FailErrno(errno);
  *len = static_cast<int>(l);
  return 0;
}

int getpeername(SOCKET s, sockaddr* addr, int* len) {
  if (!detail::Started()) return SOCKET_ERROR;
  if (len == nullptr || *len < 0) return detail::Fail(WSAEFAULT);
  socklen_t l = static_cast<socklen_t>(*len);
  if (Counted(::getpeername(s, addr, &l)) != 0) return detail::FailErrno(errno);
  *len = static_cast<int>(l);
  return 0;
}

int gethostname(char* name, int len) {
  if (!detail::Started()) return SOCKET_ERROR;
  if (name == nullptr || len <= 0) return detail::Fail(WSAEFAULT);
  // A name that does not fit is a short buffer, not a long name.
  if (::gethostname(name, static_cast<size_t>(len)) != 0) return detail::Fail(WSAEFAULT);
  return 0;
}

servent* getservbyname(const char* name, const char* proto) {
  if (!detail::Started()) return nullptr;
  thread_local servent entry;
  thread_local std::vector<char> buf(4096);
  servent* result = nullptr;
  if (name == nullptr || ::getservbyname_r(name, proto, &entry, buf.data(), buf.size(), &result) != 0 ||
      result == nullptr) {
    detail::Fail(WSANO_DATA);
    return nullptr;
  }
  return result;
}

protoent* getprotobyname(const char* name) {
  if (!detail::Started()) return nullptr;
  thread_local protoent entry;
  thread_local std::vector<char> buf(4096);
  protoent* result = nullptr;
  if (name == nullptr || ::getprotobyname_r(name, &entry, buf.data(), buf.size(), &result) != 0 ||
      result == nullptr) {
    detail::Fail(WSANO_DATA);
    return nullptr;
  }
  return result;
}

uint32_t inet_addr(const char* text) {
  return text == nullptr ? INADDR_NONE : ::inet_addr(text);
}

char* inet_ntoa(in_addr addr) {
  thread_local char text[INET_ADDRSTRLEN];
  if (::inet_ntop(AF_INET, &addr, text, sizeof text) == nullptr) return nullptr;
  return text;
}

int inet_pton(int af, const char* text, void* addr) {
  if (text == nullptr || addr == nullptr || (af != AF_INET && af != AF_INET6)) return 0;
  return ::inet_pton(af, text, addr) == 1 ? 1 : 0;
}

const char* inet_ntop(int af, const void* addr, char* text, int size) {
  if (addr == nullptr || text == nullptr || size <= 0) return nullptr;
  return ::inet_ntop(af, addr, text, static_cast<socklen_t>(size));
}

}  // namespace winapi
