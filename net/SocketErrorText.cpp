// The socket error-text table and the messages built on it and on the system's
// own error texts.
#include "net/SocketErrorText.h"

#include <cstring>

#include "platform/WinSock.h"

namespace net {
namespace {

struct SocketErrorEntry {
  int code;
  const char* text;
};

// The one table of socket error texts.
constexpr SocketErrorEntry kSocketErrors[] = {
    {0, "No Error"},
    {10004, "Interrupted system call"},
    {10009, "Bad file number"},
    {10013, "Permission denied"},
    {10014, "Bad address"},
    {10022, "Invalid argument"},
    {10024, "Too many open files"},
    {10035, "Operation would block"},
    {10036, "Operation now in progress"},
    {10037, "Operation already in progress"},
    {10038, "Socket operation on non-socket"},
    {10039, "Destination address required"},
    {10040, "Message too long"},
    {10041, "Protocol wrong type for socket"},
    {10042, "Protocol not available"},
    {10043, "Protocol not supported"},
    {10044, "Socket type not supported"},
    {10045, "Operation not supported on socket"},
    {10046, "Protocol family not supported"},
    {10047, "Address family not supported by protocol family"},
    {10048, "Address already in use"},
    {10049, "Address not available"},
    {10050, "Network is down"},
    {10051, "Network is unreachable"},
    {10052, "Network dropped connection on reset"},
    {10053, "Connection aborted"},
    {10054, "Connection reset by peer"},
    {10055, "No buffer space available"},
    {10056, "Socket is already connected"},
    {10057, "Socket is not connected"},
    {10058, "Can't send after socket shutdown"},
    {10059, "Too many references: can't splice"},
    {10060, "Connection timed out"},
    {10061, "Connection refused"},
    {10062, "Too many levels of symbolic links"},
    {10063, "File name too long"},
    {10064, "Host is down"},
    {10065, "No route to host"},
    {10066, "Directory not empty"},
    {10067, "Too many processes"},
    {10068, "Too many users"},
    {10069, "Disc quota exceeded"},
    {10070, "Stale NFS file handle"},
    {10071, "Too many levels of remote in path"},
    {10091, "Network sub-system is unusable"},
    {10092, "WinSock DLL cannot support this application"},
    {10093, "WinSock not initialized"},
    {11001, "Host not found"},
    {11002, "Non-authoritative host not found"},
    {11003, "Non-recoverable error"},
    {11004, "No Data"},
};

const char* FindSocketErrorText(int code) {
  for (const SocketErrorEntry& e : kSocketErrors)
    if (e.code == code) return e.text;
  return nullptr;
}

// strerror_r comes in two flavours; both end up as a text here.
[[maybe_unused]] const char* StrErrorText(int result, const char* buf) {
  return result == 0 ? buf : "Unknown error";
}
[[maybe_unused]] const char* StrErrorText(const char* result, const char*) {
  return result;
}

}  // namespace

std::string SocketErrorText(int code) {
  const char* text = FindSocketErrorText(code);
  return text != nullptr ? text : "Not a WinSock error";
}

std::string SocketErrorMessage(int code) {
  return SocketErrorText(code) + " (#" + std::to_string(code) + ")";
}

std::string SystemErrorMessage(int code) {
  const char* text = code >= winapi::WSAEINTR ? FindSocketErrorText(code) : nullptr;
  char buf[256];
  if (text == nullptr) text = StrErrorText(strerror_r(code, buf, sizeof buf), buf);
  return std::string(text) + " (#" + std::to_string(code) + ")";
}

bool IsLookupError(int code) {
  return code >= winapi::WSAHOST_NOT_FOUND && code <= winapi::WSANO_DATA;
}

}  // namespace net
