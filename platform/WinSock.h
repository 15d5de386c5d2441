// The socket half of the Linux stand-in: Windows Sockets calls with their meanings
// and numeric error codes, over non-blocking Linux sockets. Notifications chosen
// with WSAAsyncSelect and lookup completions arrive as posted messages on the
// owning window's thread queue (see WinMsg.h), harvested from that thread's epoll
// set. The system's sockaddr, in_addr, hostent, servent and protoent are used, and
// option levels and names are the Linux symbols (SOL_SOCKET, SO_SNDBUF, TCP_NODELAY,
// FIONREAD, SO_LINGER with the 8-byte struct linger).
//
// Every call sets the thread's WSAGetLastError on failure. Only names Linux lacks are
// defined here.
#pragma once

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/WinMsg.h"

namespace winapi {

using SOCKET = int;
constexpr SOCKET INVALID_SOCKET = -1;
constexpr int SOCKET_ERROR = -1;
constexpr long FD_READ = 1, FD_WRITE = 2, FD_OOB = 4, FD_ACCEPT = 8, FD_CONNECT = 16, FD_CLOSE = 32;
constexpr DWORD SIO_RCVALL = 0x98000001, SIO_KEEPALIVE_VALS = 0x98000004;
constexpr int MAXGETHOSTSTRUCT = 1024;

// Socket error codes (Windows Sockets numbering).
constexpr int WSAEINTR = 10004, WSAEBADF = 10009, WSAEACCES = 10013, WSAEFAULT = 10014, WSAEINVAL = 10022,
              WSAEMFILE = 10024, WSAEWOULDBLOCK = 10035, WSAEINPROGRESS = 10036, WSAEALREADY = 10037,
              WSAENOTSOCK = 10038, WSAEDESTADDRREQ = 10039, WSAEMSGSIZE = 10040, WSAEPROTOTYPE = 10041,
              WSAENOPROTOOPT = 10042, WSAEPROTONOSUPPORT = 10043, WSAESOCKTNOSUPPORT = 10044,
              WSAEOPNOTSUPP = 10045, WSAEPFNOSUPPORT = 10046, WSAEAFNOSUPPORT = 10047, WSAEADDRINUSE = 10048,
              WSAEADDRNOTAVAIL = 10049, WSAENETDOWN = 10050, WSAENETUNREACH = 10051, WSAENETRESET = 10052,
              WSAECONNABORTED = 10053, WSAECONNRESET = 10054, WSAENOBUFS = 10055, WSAEISCONN = 10056,
              WSAENOTCONN = 10057, WSAESHUTDOWN = 10058, WSAETOOMANYREFS = 10059, WSAETIMEDOUT = 10060,
              WSAECONNREFUSED = 10061, WSAELOOP = 10062, WSAENAMETOOLONG = 10063, WSAEHOSTDOWN = 10064,
              WSAEHOSTUNREACH = 10065, WSAENOTEMPTY = 10066, WSAEPROCLIM = 10067, WSAEUSERS = 10068,
              WSAEDQUOT = 10069, WSAESTALE = 10070, WSAEREMOTE = 10071, WSASYSNOTREADY = 10091,
              WSAVERNOTSUPPORTED = 10092, WSANOTINITIALISED = 10093, WSAHOST_NOT_FOUND = 11001,
              WSATRY_AGAIN = 11002, WSANO_RECOVERY = 11003, WSANO_DATA = 11004;

struct tcp_keepalive {
  uint32_t onoff, keepalivetime, keepaliveinterval;
};  // 12 bytes

struct WSADATA {
  WORD wVersion, wHighVersion;
  char szDescription[257], szSystemStatus[129];
};

int WSAStartup(WORD version, WSADATA*);
int WSACleanup();
int WSAGetLastError();
void WSASetLastError(int);
int WSAAsyncSelect(SOCKET, HWND, UINT wMsg, long lEvent);
HANDLE WSAAsyncGetHostByName(HWND, UINT, const char* name, char* buf, int buflen);
HANDLE WSAAsyncGetHostByAddr(HWND, UINT, const char* addr, int len, int type, char* buf, int buflen);
// A name lookup for one family (AF_INET, AF_INET6) or both at once (AF_UNSPEC),
// with the same handle, completion and cancel rules as WSAAsyncGetHostByName. The
// result always waits for WSATakeHostEntry.
HANDLE WSAAsyncGetAddrInfo(HWND, UINT, const char* name, int family);
int WSACancelAsyncRequest(HANDLE);
SOCKET socket(int af, int type, int protocol);
int closesocket(SOCKET);
int bind(SOCKET, const sockaddr*, int);
int listen(SOCKET, int backlog);
SOCKET accept(SOCKET, sockaddr*, int*);
int connect(SOCKET, const sockaddr*, int);
int send(SOCKET, const char*, int, int);
int sendto(SOCKET, const char*, int, int, const sockaddr*, int);
int recv(SOCKET, char*, int, int);
int recvfrom(SOCKET, char*, int, int, sockaddr*, int*);
int shutdown(SOCKET, int how);
int ioctlsocket(SOCKET, long cmd, uint32_t* argp);
int setsockopt(SOCKET, int level, int name, const char*, int);
int getsockopt(SOCKET, int level, int name, char*, int*);
int WSAIoctl(SOCKET, DWORD code, void* in, DWORD inLen, void* out, DWORD outLen, DWORD* ret, void*, void*);
int getsockname(SOCKET, sockaddr*, int*);
int getpeername(SOCKET, sockaddr*, int*);
hostent* gethostbyname(const char*);
hostent* gethostbyaddr(const char*, int, int);
int gethostname(char*, int);
servent* getservbyname(const char*, const char*);
protoent* getprotobyname(const char*);
uint32_t inet_addr(const char*);
char* inet_ntoa(in_addr);
// Text to address and back for AF_INET and AF_INET6: 1 / the text on success.
int inet_pton(int af, const char* text, void* addr);
const char* inet_ntop(int af, const void* addr, char* text, int size);

// Maps an errno value to its socket error code (one table; unknown values give 10022).
int WSAErrorFromErrno(int err);

// A host entry owned by its lookup request: any number of aliases and addresses.
struct HostEntry {
  std::string officialName;
  std::vector<std::string> aliases;
  std::vector<uint32_t> addrs;   // IPv4, network order, in the resolver's order
  std::vector<in6_addr> addrs6;  // IPv6, in the resolver's order
  // The resolver ranked an IPv4 address before every IPv6 one (a two-family lookup).
  bool ipv4First = false;
};

// Takes the result of a completed asynchronous lookup (by name or by address) out
// of the request table. Returns 0 and fills out, or WSAEINVAL when the handle is
// unknown, was cancelled or was already taken. The asynchronous calls accept a null
// buffer: the result then waits here for its completion message's handler.
// WSACancelAsyncRequest on a completed request drops an untaken result (and still
// answers WSAEALREADY), so nothing is left behind by a freed socket.
int WSATakeHostEntry(HANDLE, HostEntry& out);

// Test seam: replaces name resolution for the asynchronous and blocking lookups.
// The hook fills out (addresses in network order, of either family) and returns 0,
// or returns a socket error code such as 11001; a lookup keeps the families it asked
// for. nullptr restores the system resolver.
using ResolverHook = int (*)(const std::string& nameOrDotted, bool byAddr, HostEntry& out);
void SetResolverHookForTesting(ResolverHook);

}  // namespace winapi
