// Run-time binding of the socket API, the process-wide use count that decides when
// the socket library may go, and the small helpers built directly on the API
// (local host name, the dotted text of an address). Error texts are in
// net/SocketErrorText.h, address text parsing in net/AddressText.h.
//
// Binding. Every API operation the socket layer uses is reached through an entry
// function of namespace net::api with the API function's arguments. Its first call
// binds the function by name (BindSocketProc, or BindSocket2Proc for WSAIoctl) and
// stores the pointer in the entry-point table; later calls go through the stored
// pointer without taking the lock. Binding the first function loads "wsock32.dll"
// and starts it with the requested version; WSAIoctl also loads "ws2_32.dll". On
// this platform both libraries are stand-ins: loading always succeeds and a name is
// looked up in a static name-to-function table over the winapi layer, so the
// binding's failures stay reachable through the test seam below.
//
// Lifecycle. Unbound at program start; started by the first entry function call;
// back to unbound through UnloadSocketLibrary, which acts only while SocketUseCount
// is 0. Every socket object counts itself (IncrementSocketUseCount in its
// constructor, DecrementSocketUseCount in its destructor, which unloads at 0). The
// WSocket_ wrappers count themselves for the duration of their call.
//
// Threads. All state is process-wide and guarded by SocketLibLock, a recursive
// mutex; every function here may be called from any thread. The entry functions
// themselves do not change the use count.
//
// Failures of loading, start-up and binding raise ESocketException; they pass
// through the socket operation that made the call.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "core/SysUtils.h"
#include "platform/WinSock.h"

namespace net {

// TL_DECLARE_EXCEPTION needs an unqualified base name, hence spelt out.
class ESocketException : public core::Exception {
 public:
  using Exception::Exception;
  std::string ClassName() const override { return "ESocketException"; }
};

// An untyped entry point, as a library lookup returns it.
using FARPROC = void (*)();

// The fixed library names, as they appear in the messages.
inline constexpr const char* kWSocketLibName = "wsock32.dll";
inline constexpr const char* kWSocket2LibName = "ws2_32.dll";

// --- process-wide state -------------------------------------------------------

std::recursive_mutex& SocketLibLock();
int32_t SocketUseCount();
// For the socket's constructor: count + 1 under the lock. No API call is made.
void IncrementSocketUseCount();
// For the socket's destructor: count - 1 under the lock and, when the count is
// now 0 or less, UnloadSocketLibrary (still under the lock).
void DecrementSocketUseCount();

// The requested version (low = 1, high = 1 at program start), shared by all sockets.
uint8_t RequestedVersionLow();
uint8_t RequestedVersionHigh();
// Store a new value unless the first library is loaded; false (and nothing stored)
// when it is, so the socket's setter can refuse the change. Checked under the lock.
bool SetRequestedVersionLow(uint8_t value);
bool SetRequestedVersionHigh(uint8_t value);

// Whether "wsock32.dll" / "ws2_32.dll" are loaded now.
bool SocketLibraryLoaded();
bool SocketLibrary2Loaded();
// The record the start-up call filled in; kept for the life of the binding.
winapi::WSADATA SocketStartupData();

// --- binding --------------------------------------------------------------------

// The entry point of name in the first library, loading and starting it first if
// needed. An empty name only makes sure the library is loaded and started, and
// returns nullptr.
FARPROC BindSocketProc(std::string_view name);
// The same for the second library (loaded after making sure the first is started;
// no start-up call of its own).
FARPROC BindSocket2Proc(std::string_view name);
// Cleans up and unloads both libraries and clears the entry-point table, but only
// when the first library is loaded and SocketUseCount is exactly 0.
void UnloadSocketLibrary();

// Test seam: binding faults. Each field is in force while set; the default value
// restores normal behaviour.
struct TSocketApiFaults {
  std::string missingProc;  // this name is absent from both libraries
  int loadError = 0;        // non-zero: loading "wsock32.dll" fails with this system error
  int load2Error = 0;       // non-zero: loading "ws2_32.dll" fails with this system error
};
void SetSocketApiFaultsForTesting(const TSocketApiFaults& faults);

// --- entry functions (table 1), binding on first call -------------------------------

namespace api {
using winapi::HANDLE;
using winapi::HWND;
using winapi::SOCKET;
using winapi::UINT;

int WSAGetLastError();
void WSASetLastError(int error);
int WSACancelAsyncRequest(HANDLE handle);
HANDLE WSAAsyncGetHostByName(HWND wnd, UINT msg, const char* name, char* buf, int buflen);
HANDLE WSAAsyncGetHostByAddr(HWND wnd, UINT msg, const char* addr, int len, int type, char* buf, int buflen);
int WSATakeHostEntry(HANDLE handle, winapi::HostEntry& out);
HANDLE WSAAsyncGetAddrInfo(HWND wnd, UINT msg, const char* name, int family);
int WSAAsyncSelect(SOCKET s, HWND wnd, UINT msg, long events);
servent* getservbyname(const char* name, const char* proto);
protoent* getprotobyname(const char* name);
hostent* gethostbyname(const char* name);
hostent* gethostbyaddr(const char* addr, int len, int type);
int gethostname(char* name, int len);
SOCKET socket(int af, int type, int protocol);
int shutdown(SOCKET s, int how);
int setsockopt(SOCKET s, int level, int name, const char* value, int len);
int getsockopt(SOCKET s, int level, int name, char* value, int* len);
int send(SOCKET s, const char* buf, int len, int flags);
int sendto(SOCKET s, const char* buf, int len, int flags, const sockaddr* to, int tolen);
int recv(SOCKET s, char* buf, int len, int flags);
int recvfrom(SOCKET s, char* buf, int len, int flags, sockaddr* from, int* fromlen);
int connect(SOCKET s, const sockaddr* name, int len);
int bind(SOCKET s, const sockaddr* name, int len);
int listen(SOCKET s, int backlog);
SOCKET accept(SOCKET s, sockaddr* addr, int* len);
int closesocket(SOCKET s);
int ioctlsocket(SOCKET s, long cmd, uint32_t* arg);
int WSAIoctl(SOCKET s, winapi::DWORD code, void* in, winapi::DWORD inLen, void* out, winapi::DWORD outLen,
             winapi::DWORD* returned, void* overlapped, void* completion);
int getsockname(SOCKET s, sockaddr* name, int* len);
int getpeername(SOCKET s, sockaddr* name, int* len);
uint32_t inet_addr(const char* text);
char* inet_ntoa(in_addr addr);
int inet_pton(int af, const char* text, void* addr);
const char* inet_ntop(int af, const void* addr, char* text, int size);
// The API's htons and ntohs (bound under those names). The C library may define
// htons/ntohs as macros, which would rewrite any function of that name.
uint16_t HostToNetShort(uint16_t value);
uint16_t NetToHostShort(uint16_t value);
}  // namespace api

// --- use-counted wrappers (table 2) ---------------------------------------------------

int WSocket_setsockopt(winapi::SOCKET s, int level, int name, const char* value, int len);
int WSocket_getsockopt(winapi::SOCKET s, int level, int name, char* value, int* len);
int WSocket_WSAIoctl(winapi::SOCKET s, winapi::DWORD code, void* in, winapi::DWORD inLen, void* out,
                     winapi::DWORD outLen, winapi::DWORD* returned, void* overlapped, void* completion);
// The dotted text of addr; empty when the API gives nothing.
std::string WSocket_inet_ntoa(in_addr addr);
// name := the local host name (cut at its first zero byte), or empty when the call
// fails; returns the API's result.
int WSocket_gethostname(std::string& name);

// The local host name; raises ESocketException "Winsock Get Host Name failed".
std::string LocalHostName();

}  // namespace net
