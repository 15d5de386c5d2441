#include "net/SocketApi.h"

#include <atomic>
#include <cassert>
#include <cerrno>
#include <cstring>

#include "net/SocketErrorText.h"

namespace net {
namespace {

constexpr uint16_t MakeWord(uint8_t low, uint8_t high) {
  return static_cast<uint16_t>(low | (high << 8));
}

// The system error reported when a name is absent from a library.
constexpr int kProcNotFoundError = ENOSYS;

uint16_t SystemHtons(uint16_t v) {
  return htons(v);
}
uint16_t SystemNtohs(uint16_t v) {
  return ntohs(v);
}

template <class F>
FARPROC Untyped(F* f) {
  return reinterpret_cast<FARPROC>(f);
}

// One slot of the entry-point table per bound function (setsockopt's typed uses
// share one).
enum ProcId : int {
  pWSAStartup,
  pWSACleanup,
  pWSASetLastError,
  pWSAGetLastError,
  pWSACancelAsyncRequest,
  pWSAAsyncGetHostByName,
  pWSAAsyncGetHostByAddr,
  pWSATakeHostEntry,
  pWSAAsyncGetAddrInfo,
  pWSAAsyncSelect,
  pGetservbyname,
  pGetprotobyname,
  pGethostbyname,
  pGethostbyaddr,
  pGethostname,
  pSocket,
  pShutdown,
  pSetsockopt,
  pGetsockopt,
  pSend,
  pSendto,
  pRecv,
  pRecvfrom,
  pConnect,
  pBind,
  pListen,
  pAccept,
  pClosesocket,
  pIoctlsocket,
  pWSAIoctl,
  pGetsockname,
  pGetpeername,
  pInetAddr,
  pInetNtoa,
  pInetPton,
  pInetNtop,
  pHtons,
  pNtohs,
  kProcCount
};

enum class Library { first, second };

struct ProcInfo {
  ProcId id;
  const char* name;
  Library lib;
  FARPROC fn;
};

// What each library exports, by name.
const ProcInfo kProcs[] = {
    {pWSAStartup, "WSAStartup", Library::first, Untyped(&winapi::WSAStartup)},
    {pWSACleanup, "WSACleanup", Library::first, Untyped(&winapi::WSACleanup)},
    {pWSASetLastError, "WSASetLastError", Library::first, Untyped(&winapi::WSASetLastError)},
    {pWSAGetLastError, "WSAGetLastError", Library::first, Untyped(&winapi::WSAGetLastError)},
    {pWSACancelAsyncRequest, "WSACancelAsyncRequest", Library::first,
     Untyped(&winapi::WSACancelAsyncRequest)},
    {pWSAAsyncGetHostByName, "WSAAsyncGetHostByName", Library::first,
     Untyped(&winapi::WSAAsyncGetHostByName)},
    {pWSAAsyncGetHostByAddr, "WSAAsyncGetHostByAddr", Library::first,
     Untyped(&winapi::WSAAsyncGetHostByAddr)},
    {pWSATakeHostEntry, "WSATakeHostEntry", Library::first, Untyped(&winapi::WSATakeHostEntry)},
    {pWSAAsyncGetAddrInfo, "WSAAsyncGetAddrInfo", Library::first, Untyped(&winapi::WSAAsyncGetAddrInfo)},
    {pWSAAsyncSelect, "WSAAsyncSelect", Library::first, Untyped(&winapi::WSAAsyncSelect)},
    {pGetservbyname, "getservbyname", Library::first, Untyped(&winapi::getservbyname)},
    {pGetprotobyname, "getprotobyname", Library::first, Untyped(&winapi::getprotobyname)},
    {pGethostbyname, "gethostbyname", Library::first, Untyped(&winapi::gethostbyname)},
    {pGethostbyaddr, "gethostbyaddr", Library::first, Untyped(&winapi::gethostbyaddr)},
    {pGethostname, "gethostname", Library::first, Untyped(&winapi::gethostname)},
    {pSocket, "socket", Library::first, Untyped(&winapi::socket)},
    {pShutdown, "shutdown", Library::first, Untyped(&winapi::shutdown)},
    {pSetsockopt, "setsockopt", Library::first, Untyped(&winapi::setsockopt)},
    {pGetsockopt, "getsockopt", Library::first, Untyped(&winapi::getsockopt)},
    {pSend, "send", Library::first, Untyped(&winapi::send)},
    {pSendto, "sendto", Library::first, Untyped(&winapi::sendto)},
    {pRecv, "recv", Library::first, Untyped(&winapi::recv)},
    {pRecvfrom, "recvfrom", Library::first, Untyped(&winapi::recvfrom)},
    {pConnect, "connect", Library::first, Untyped(&winapi::connect)},
    {pBind, "bind", Library::first, Untyped(&winapi::bind)},
    {pListen, "listen", Library::first, Untyped(&winapi::listen)},
    {pAccept, "accept", Library::first, Untyped(&winapi::accept)},
    {pClosesocket, "closesocket", Library::first, Untyped(&winapi::closesocket)},
    {pIoctlsocket, "ioctlsocket", Library::first, Untyped(&winapi::ioctlsocket)},
    {pWSAIoctl, "WSAIoctl", Library::second, Untyped(&winapi::WSAIoctl)},
    {pGetsockname, "getsockname", Library::first, Untyped(&winapi::getsockname)},
    {pGetpeername, "getpeername", Library::first, Untyped(&winapi::getpeername)},
    {pInetAddr, "inet_addr", Library::first, Untyped(&winapi::inet_addr)},
    {pInetNtoa, "inet_ntoa", Library::first, Untyped(&winapi::inet_ntoa)},
    {pInetPton, "inet_pton", Library::first, Untyped(&winapi::inet_pton)},
    {pInetNtop, "inet_ntop", Library::first, Untyped(&winapi::inet_ntop)},
    {pHtons, "htons", Library::first, Untyped(&SystemHtons)},
    {pNtohs, "ntohs", Library::first, Untyped(&SystemNtohs)},
};

const ProcInfo& ProcById(ProcId id) {
  for (const ProcInfo& p : kProcs)
    if (p.id == id) return p;
  assert(false && "entry point missing from the name table");
  return kProcs[0];
}

// Everything but the entry pointers is read and written under SocketLibLock. The
// state lives on the heap and is never destroyed, so a socket freed late in the
// program's exit still finds it.
struct BindingState {
  int32_t useCount = 0;
  uint8_t verLow = 1;
  uint8_t verHigh = 1;
  bool loaded = false;
  bool loaded2 = false;
  winapi::WSADATA startupData{};
  TSocketApiFaults faults;
};

BindingState& State() {
  static BindingState* state = new BindingState;
  return *state;
}

// Set under the lock, read without it by the entry functions once set.
std::atomic<FARPROC> gEntry[kProcCount];

void ClearEntryPoints() {
  for (auto& e : gEntry) e.store(nullptr, std::memory_order_release);
}

const char* LibName(Library lib) {
  return lib == Library::first ? kWSocketLibName : kWSocket2LibName;
}

// The name's function in lib, or ESocketException when the library does not have it.
FARPROC LookUp(std::string_view name, Library lib) {
  if (name != State().faults.missingProc) {
    for (const ProcInfo& p : kProcs)
      if (p.lib == lib && name == p.name) return p.fn;
  }
  winapi::SetLastError(kProcNotFoundError);
  throw ESocketException("Procedure " + std::string(name) + " not found in " + LibName(lib) + " - " +
                         SystemErrorMessage(static_cast<int>(winapi::GetLastError())));
}

void LoadLibrary(Library lib, int failure) {
  if (failure == 0) return;
  winapi::SetLastError(static_cast<winapi::DWORD>(failure));
  throw ESocketException(std::string("Unable to load ") + LibName(lib) + " - " +
                         SystemErrorMessage(static_cast<int>(winapi::GetLastError())));
}

// Right after loading the first library. A failed start-up leaves it loaded: it is
// not retried until the library has been unloaded.
void StartUp(BindingState& st) {
  FARPROC p = LookUp("WSAStartup", Library::first);
  gEntry[pWSAStartup].store(p, std::memory_order_release);
  int r =
      reinterpret_cast<decltype(&winapi::WSAStartup)>(p)(MakeWord(st.verLow, st.verHigh), &st.startupData);
  if (r != 0) throw ESocketException("Winsock startup error wsock32.dll - " + SystemErrorMessage(r));
}

// Binds one entry function's slot on its first call.
FARPROC BindEntry(ProcId id) {
  std::lock_guard<std::recursive_mutex> guard(SocketLibLock());
  if (FARPROC p = gEntry[id].load(std::memory_order_acquire)) return p;
  const ProcInfo& info = ProcById(id);
  FARPROC p = info.lib == Library::first ? BindSocketProc(info.name) : BindSocket2Proc(info.name);
  gEntry[id].store(p, std::memory_order_release);
  return p;
}

// The typed pointer of Fn's slot, binding it first if needed.
template <auto Fn>
decltype(Fn) Bound(ProcId id) {
  FARPROC p = gEntry[id].load(std::memory_order_acquire);
  if (p == nullptr) {
    p = BindEntry(id);
    assert(p == Untyped(Fn));
  }
  return reinterpret_cast<decltype(Fn)>(p);
}

// Keeps the library loaded for the duration of a wrapper's call.
class TUseCountHold {
 public:
  TUseCountHold() { IncrementSocketUseCount(); }
  ~TUseCountHold() {
    std::lock_guard<std::recursive_mutex> guard(SocketLibLock());
    --State().useCount;
  }
  TUseCountHold(const TUseCountHold&) = delete;
  TUseCountHold& operator=(const TUseCountHold&) = delete;
};

}  // namespace

// --- process-wide state -------------------------------------------------------

std::recursive_mutex& SocketLibLock() {
  static std::recursive_mutex* lock = new std::recursive_mutex;
  return *lock;
}

int32_t SocketUseCount() {
  std::lock_guard<std::recursive_mutex> guard(SocketLibLock());
  return State().useCount;
}

void IncrementSocketUseCount() {
  std::lock_guard<std::recursive_mutex> guard(SocketLibLock());
  ++State().useCount;
}

void DecrementSocketUseCount() {
  std::lock_guard<std::recursive_mutex> guard(SocketLibLock());
  if (--State().useCount <= 0) UnloadSocketLibrary();
}

uint8_t RequestedVersionLow() {
  std::lock_guard<std::recursive_mutex> guard(SocketLibLock());
  return State().verLow;
}

uint8_t RequestedVersionHigh() {
  std::lock_guard<std::recursive_mutex> guard(SocketLibLock());
  return State().verHigh;
}

bool SetRequestedVersionLow(uint8_t value) {
  std::lock_guard<std::recursive_mutex> guard(SocketLibLock());
  if (State().loaded) return false;
  State().verLow = value;
  return true;
}

bool SetRequestedVersionHigh(uint8_t value) {
  std::lock_guard<std::recursive_mutex> guard(SocketLibLock());
  if (State().loaded) return false;
  State().verHigh = value;
  return true;
}

bool SocketLibraryLoaded() {
  std::lock_guard<std::recursive_mutex> guard(SocketLibLock());
  return State().loaded;
}

bool SocketLibrary2Loaded() {
  std::lock_guard<std::recursive_mutex> guard(SocketLibLock());
  return State().loaded2;
}

winapi::WSADATA SocketStartupData() {
  std::lock_guard<std::recursive_mutex> guard(SocketLibLock());
  return State().startupData;
}

void SetSocketApiFaultsForTesting(const TSocketApiFaults& faults) {
  std::lock_guard<std::recursive_mutex> guard(SocketLibLock());
  State().faults = faults;
}

// --- binding --------------------------------------------------------------------

FARPROC BindSocketProc(std::string_view name) {
  std::lock_guard<std::recursive_mutex> guard(SocketLibLock());
  BindingState& st = State();
  if (!st.loaded) {
    LoadLibrary(Library::first, st.faults.loadError);
    st.loaded = true;
    StartUp(st);
  }
  if (name.empty()) return nullptr;
  return LookUp(name, Library::first);
}

FARPROC BindSocket2Proc(std::string_view name) {
  std::lock_guard<std::recursive_mutex> guard(SocketLibLock());
  BindingState& st = State();
  if (!st.loaded2) {
    BindSocketProc("");
    LoadLibrary(Library::second, st.faults.load2Error);
    st.loaded2 = true;
  }
  if (name.empty()) return nullptr;
  return LookUp(name, Library::second);
}

void UnloadSocketLibrary() {
  std::lock_guard<std::recursive_mutex> guard(SocketLibLock());
  BindingState& st = State();
  if (!st.loaded || st.useCount != 0) return;
  // Called from destructors: a clean-up that cannot even be bound must not stop
  // the unload.
  try {
    Bound<&winapi::WSACleanup>(pWSACleanup)();
  } catch (const ESocketException&) {
  }
  st.loaded2 = false;
  st.loaded = false;
  ClearEntryPoints();
}

// --- entry functions --------------------------------------------------------------

namespace api {

int WSAGetLastError() {
  return Bound<&winapi::WSAGetLastError>(pWSAGetLastError)();
}
void WSASetLastError(int error) {
  Bound<&winapi::WSASetLastError>(pWSASetLastError)(error);
}
int WSACancelAsyncRequest(HANDLE handle) {
  return Bound<&winapi::WSACancelAsyncRequest>(pWSACancelAsyncRequest)(handle);
}
HANDLE WSAAsyncGetHostByName(HWND wnd, UINT msg, const char* name, char* buf, int buflen) {
  return Bound<&winapi::WSAAsyncGetHostByName>(pWSAAsyncGetHostByName)(wnd, msg, name, buf, buflen);
}
HANDLE WSAAsyncGetHostByAddr(HWND wnd, UINT msg, const char* addr, int len, int type, char* buf, int buflen) {
  return Bound<&winapi::WSAAsyncGetHostByAddr>(pWSAAsyncGetHostByAddr)(wnd, msg, addr, len, type, buf,
                                                                       buflen);
}
HANDLE WSAAsyncGetAddrInfo(HWND wnd, UINT msg, const char* name, int family) {
  return Bound<&winapi::WSAAsyncGetAddrInfo>(pWSAAsyncGetAddrInfo)(wnd, msg, name, family);
}
int WSATakeHostEntry(HANDLE handle, winapi::HostEntry& out) {
  return Bound<&winapi::WSATakeHostEntry>(pWSATakeHostEntry)(handle, out);
}
int WSAAsyncSelect(SOCKET s, HWND wnd, UINT msg, long events) {
  return Bound<&winapi::WSAAsyncSelect>(pWSAAsyncSelect)(s, wnd, msg, events);
}
servent* getservbyname(const char* name, const char* proto) {
  return Bound<&winapi::getservbyname>(pGetservbyname)(name, proto);
}
protoent* getprotobyname(const char* name) {
  return Bound<&winapi::getprotobyname>(pGetprotobyname)(name);
}
hostent* gethostbyname(const char* name) {
  return Bound<&winapi::gethostbyname>(pGethostbyname)(name);
}
hostent* gethostbyaddr(const char* addr, int len, int type) {
  return Bound<&winapi::gethostbyaddr>(pGethostbyaddr)(addr, len, type);
}
int gethostname(char* name, int len) {
  return Bound<&winapi::gethostname>(pGethostname)(name, len);
}
SOCKET socket(int af, int type, int protocol) {
  return Bound<&winapi::socket>(pSocket)(af, type, protocol);
}
int shutdown(SOCKET s, int how) {
  return Bound<&winapi::shutdown>(pShutdown)(s, how);
}
int setsockopt(SOCKET s, int level, int name, const char* value, int len) {
  return Bound<&winapi::setsockopt>(pSetsockopt)(s, level, name, value, len);
}
int getsockopt(SOCKET s, int level, int name, char* value, int* len) {
  return Bound<&winapi::getsockopt>(pGetsockopt)(s, level, name, value, len);
}
int send(SOCKET s, const char* buf, int len, int flags) {
  return Bound<&winapi::send>(pSend)(s, buf, len, flags);
}
int sendto(SOCKET s, const char* buf, int len, int flags, const sockaddr* to, int tolen) {
  return Bound<&winapi::sendto>(pSendto)(s, buf, len, flags, to, tolen);
}
int recv(SOCKET s, char* buf, int len, int flags) {
  return Bound<&winapi::recv>(pRecv)(s, buf, len, flags);
}
int recvfrom(SOCKET s, char* buf, int len, int flags, sockaddr* from, int* fromlen) {
  return Bound<&winapi::recvfrom>(pRecvfrom)(s, buf, len, flags, from, fromlen);
}
int connect(SOCKET s, const sockaddr* name, int len) {
  return Bound<&winapi::connect>(pConnect)(s, name, len);
}
int bind(SOCKET s, const sockaddr* name, int len) {
  return Bound<&winapi::bind>(pBind)(s, name, len);
}
int listen(SOCKET s, int backlog) {
  return Bound<&winapi::listen>(pListen)(s, backlog);
}
SOCKET accept(SOCKET s, sockaddr* addr, int* len) {
  return Bound<&winapi::accept>(pAccept)(s, addr, len);
}
int closesocket(SOCKET s) {
  return Bound<&winapi::closesocket>(pClosesocket)(s);
}
int ioctlsocket(SOCKET s, long cmd, uint32_t* arg) {
  return Bound<&winapi::ioctlsocket>(pIoctlsocket)(s, cmd, arg);
}
int WSAIoctl(SOCKET s, winapi::DWORD code, void* in, winapi::DWORD inLen, void* out, winapi::DWORD outLen,
             winapi::DWORD* returned, void* overlapped, void* completion) {
  return Bound<&winapi::WSAIoctl>(pWSAIoctl)(s, code, in, inLen, out, outLen, returned, overlapped,
                                             completion);
}
int getsockname(SOCKET s, sockaddr* name, int* len) {
  return Bound<&winapi::getsockname>(pGetsockname)(s, name, len);
}
int getpeername(SOCKET s, sockaddr* name, int* len) {
  return Bound<&winapi::getpeername>(pGetpeername)(s, name, len);
}
uint32_t inet_addr(const char* text) {
  return Bound<&winapi::inet_addr>(pInetAddr)(text);
}
char* inet_ntoa(in_addr addr) {
  return Bound<&winapi::inet_ntoa>(pInetNtoa)(addr);
}
int inet_pton(int af, const char* text, void* addr) {
  return Bound<&winapi::inet_pton>(pInetPton)(af, text, addr);
}
const char* inet_ntop(int af, const void* addr, char* text, int size) {
  return Bound<&winapi::inet_ntop>(pInetNtop)(af, addr, text, size);
}
uint16_t HostToNetShort(uint16_t value) {
  return Bound<&SystemHtons>(pHtons)(value);
}
uint16_t NetToHostShort(uint16_t value) {
  return Bound<&SystemNtohs>(pNtohs)(value);
}

}  // namespace api

// --- use-counted wrappers -------------------------------------------------------------

int WSocket_setsockopt(winapi::SOCKET s, int level, int name, const char* value, int len) {
  TUseCountHold hold;
  return api::setsockopt(s, level, name, value, len);
}

int WSocket_getsockopt(winapi::SOCKET s, int level, int name, char* value, int* len) {
  TUseCountHold hold;
  return api::getsockopt(s, level, name, value, len);
}

int WSocket_WSAIoctl(winapi::SOCKET s, winapi::DWORD code, void* in, winapi::DWORD inLen, void* out,
                     winapi::DWORD outLen, winapi::DWORD* returned, void* overlapped, void* completion) {
  TUseCountHold hold;
  return api::WSAIoctl(s, code, in, inLen, out, outLen, returned, overlapped, completion);
}

std::string WSocket_inet_ntoa(in_addr addr) {
  TUseCountHold hold;
  const char* text = api::inet_ntoa(addr);
  return text != nullptr ? std::string(text) : std::string();
}

int WSocket_gethostname(std::string& name) {
  constexpr int kSize = 256;
  TUseCountHold hold;
  name.assign(kSize, '\0');
  int r = api::gethostname(name.data(), kSize);
  if (r < 0)
    name.clear();
  else if (size_t end = name.find('\0'); end != std::string::npos)
    name.resize(end);
  return r;
}

std::string LocalHostName() {
  std::string name;
  if (WSocket_gethostname(name) != 0) throw ESocketException("Winsock Get Host Name failed");
  return name;
}

}  // namespace net
