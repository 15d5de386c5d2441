// Host name resolution shared by the blocking and the asynchronous lookups, the
// hostent packing both use, and the blocking gethostbyname/gethostbyaddr.
#include <arpa/inet.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/SocketInternal.h"

namespace winapi {
namespace {

std::atomic<ResolverHook> g_hook{nullptr};

HostEntry EntryFrom(const hostent& he) {
  HostEntry out;
  out.officialName = he.h_name != nullptr ? he.h_name : "";
  for (char** a = he.h_aliases; a != nullptr && *a != nullptr; ++a) out.aliases.emplace_back(*a);
  for (char** p = he.h_addr_list; p != nullptr && *p != nullptr; ++p) {
    uint32_t addr;
    std::memcpy(&addr, *p, sizeof addr);
    out.addrs.push_back(addr);
  }
  return out;
}

// The system resolver, IPv4 only, growing its work buffer until the answer fits.
int SystemResolve(const std::string& query, bool byAddr, HostEntry& out) {
  in_addr addr{};
  if (byAddr && ::inet_pton(AF_INET, query.c_str(), &addr) != 1) return WSAEINVAL;
  std::vector<char> work(1024);
  for (;;) {
    hostent he{};
    hostent* result = nullptr;
    int herr = 0;
    int rc =
        byAddr ? ::gethostbyaddr_r(&addr, sizeof addr, AF_INET, &he, work.data(), work.size(), &result, &herr)
               : ::gethostbyname2_r(query.c_str(), AF_INET, &he, work.data(), work.size(), &result, &herr);
    if (rc == ERANGE && work.size() < (1u << 20)) {
      work.resize(work.size() * 2);
      continue;
    }
    if (result == nullptr) return detail::LookupErrorFromHErrno(herr != 0 ? herr : HOST_NOT_FOUND);
    out = EntryFrom(*result);
    return 0;
  }
}

int LookupErrorFromEai(int eai) {
  switch (eai) {
    case EAI_AGAIN:
      return WSATRY_AGAIN;
    case EAI_FAIL:
      return WSANO_RECOVERY;
    case EAI_NODATA:
    case EAI_ADDRFAMILY:
      return WSANO_DATA;
    case EAI_MEMORY:
      return WSAENOBUFS;
    case EAI_FAMILY:
      return WSAEAFNOSUPPORT;
    case EAI_SYSTEM:
      return WSAErrorFromErrno(errno);
    default:
      return WSAHOST_NOT_FOUND;
  }
}

// Both families (or IPv6 alone) through getaddrinfo, which asks for them at once
// and ranks the answers; the ranking of the families is kept in ipv4First.
int SystemResolveFamilies(const std::string& query, int family, HostEntry& out) {
  addrinfo hints{};
  hints.ai_family = family;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_CANONNAME;
  addrinfo* list = nullptr;
  const int rc = ::getaddrinfo(query.c_str(), nullptr, &hints, &list);
  if (rc != 0) return LookupErrorFromEai(rc);
  out.officialName = list->ai_canonname != nullptr ? list->ai_canonname : query;
  for (const addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
    if (ai->ai_family == AF_INET) {
      if (out.addrs.empty() && out.addrs6.empty()) out.ipv4First = true;
      out.addrs.push_back(reinterpret_cast<const sockaddr_in*>(ai->ai_addr)->sin_addr.s_addr);
    } else if (ai->ai_family == AF_INET6) {
      out.addrs6.push_back(reinterpret_cast<const sockaddr_in6*>(ai->ai_addr)->sin6_addr);
    }
  }
  ::freeaddrinfo(list);
  return 0;
}

// A lookup keeps only the families it asked for. The classic IPv4 lookup answers
// as it always did, even with an empty list.
int KeepFamilies(int family, HostEntry& out) {
  if (family == AF_INET) {
    out.addrs6.clear();
    out.ipv4First = true;
    return 0;
  }
  if (family == AF_INET6) {
    out.addrs.clear();
    out.ipv4First = false;
  }
  return out.addrs.empty() && out.addrs6.empty() ? WSANO_DATA : 0;
}

size_t AlignUp(size_t n, size_t a) {
  return (n + a - 1) / a * a;
}

// A hostent from a lookup the caller cannot free: kept per thread until its next
// blocking lookup, as the classic interface promises.
hostent* BlockingLookup(const std::string& query, bool byAddr) {
  thread_local std::vector<char> store;
  HostEntry entry;
  int error = detail::ResolveHost(query, byAddr, entry);
  if (error != 0) {
    detail::Fail(error);
    return nullptr;
  }
  store.resize(static_cast<size_t>(detail::PackHostent(entry, nullptr, 0)));
  detail::PackHostent(entry, store.data(), static_cast<int>(store.size()));
  return reinterpret_cast<hostent*>(store.data());
}

}  // namespace

namespace detail {

int ResolveHost(const std::string& query, bool byAddr, HostEntry& out, int family) {
  ResolverHook hook = g_hook.load();
  if (hook != nullptr) {
    const int error = hook(query, byAddr, out);
    return error != 0 || byAddr ? error : KeepFamilies(family, out);
  }
  if (byAddr || family == AF_INET) return SystemResolve(query, byAddr, out);
  const int error = SystemResolveFamilies(query, family, out);
  return error != 0 ? error : KeepFamilies(family, out);
}

// Layout: [padding] hostent, alias pointers, address pointers, addresses, strings.
int PackHostent(const HostEntry& entry, char* buf, int len) {
  const size_t pad =
      AlignUp(reinterpret_cast<uintptr_t>(buf), alignof(hostent)) - reinterpret_cast<uintptr_t>(buf);
  const size_t aliasCount = entry.aliases.size(), addrCount = entry.addrs.size();
  size_t stringBytes = entry.officialName.size() + 1;
  for (const std::string& a : entry.aliases) stringBytes += a.size() + 1;
  const size_t ptrBytes = (aliasCount + 1 + addrCount + 1) * sizeof(char*);
  const size_t needed = pad + sizeof(hostent) + ptrBytes + addrCount * sizeof(uint32_t) + stringBytes;
  if (buf == nullptr || len < 0 || needed > static_cast<size_t>(len)) return static_cast<int>(needed);

  char* base = buf + pad;
  auto* he = reinterpret_cast<hostent*>(base);
  auto** aliases = reinterpret_cast<char**>(base + sizeof(hostent));
  char** addrPtrs = aliases + aliasCount + 1;
  char* addrs = reinterpret_cast<char*>(addrPtrs + addrCount + 1);
  char* text = addrs + addrCount * sizeof(uint32_t);
  auto putString = [&text](const std::string& s) {
    char* at = text;
    std::memcpy(at, s.c_str(), s.size() + 1);
    text += s.size() + 1;
    return at;
  };
  he->h_name = putString(entry.officialName);
  for (size_t i = 0; i < aliasCount; ++i) aliases[i] = putString(entry.aliases[i]);
  aliases[aliasCount] = nullptr;
  for (size_t i = 0; i < addrCount; ++i) {
    addrPtrs[i] = addrs + i * sizeof(uint32_t);
    std::memcpy(addrPtrs[i], &entry.addrs[i], sizeof(uint32_t));
  }
  addrPtrs[addrCount] = nullptr;
  he->h_aliases = aliases;
  he->h_addrtype = AF_INET;
  he->h_length = sizeof(uint32_t);
  he->h_addr_list = addrPtrs;
  return static_cast<int>(needed);
}

}  // namespace detail

void SetResolverHookForTesting(ResolverHook hook) {
  g_hook.store(hook);
}

hostent* gethostbyname(const char* name) {
  if (!detail::Started()) return nullptr;
  if (name == nullptr) {
    detail::Fail(WSAEFAULT);
    return nullptr;
  }
  return BlockingLookup(name, false);
}

hostent* gethostbyaddr(const char* addr, int len, int type) {
  if (!detail::Started()) return nullptr;
  if (type != AF_INET) {
    detail::Fail(WSAEAFNOSUPPORT);
    return nullptr;
  }
  if (addr == nullptr || len < 4) {
    detail::Fail(WSAEFAULT);
    return nullptr;
  }
  char dotted[INET_ADDRSTRLEN];
  ::inet_ntop(AF_INET, addr, dotted, sizeof dotted);
  return BlockingLookup(dotted, true);
}

}  // namespace winapi
