// Internal to the socket half of platform/: what its files share. Nothing above
// platform/ includes this.
#pragma once

#include <string>

#include "platform/WinSock.h"

namespace winapi::detail {

// Sets the thread's socket error and returns SOCKET_ERROR, so a wrapper can end
// with `return Fail(code);`.
int Fail(int code);
// Maps errno (as left by the failed system call) and fails with it.
int FailErrno(int err);
// True while WSAStartup has been called more often than WSACleanup; otherwise sets
// WSANOTINITIALISED and returns false.
bool Started();

// Maps a resolver h_errno value (HOST_NOT_FOUND...) to its socket error code.
int LookupErrorFromHErrno(int herr);

// Resolves through the test hook when one is installed, else the system resolver
// (gethostbyname_r / gethostbyaddr_r for IPv4, getaddrinfo when IPv6 is asked
// for). Any thread; blocks. Returns 0 or a socket error code; a name without an
// address of the family asked for gives WSANO_DATA. For byAddr, query is the
// dotted address. family: AF_INET, AF_INET6 or AF_UNSPEC (both).
int ResolveHost(const std::string& query, bool byAddr, HostEntry& out, int family = AF_INET);

// Packs entry as a hostent (pointers into buf) into buf. Returns the number of
// bytes needed; nothing is written when that exceeds len.
int PackHostent(const HostEntry& entry, char* buf, int len);

// WSACleanup's last call: closes every socket still open and forgets every lookup.
void CloseAllSockets();
void CancelAllLookups();

}  // namespace winapi::detail
