// Asynchronous host lookups of the socket: name to addresses, address to names,
// the blocking reverse lookup and cancellation. Each lookup ends with exactly one
// OnDnsLookupDone, except one replaced by a newer lookup and one whose start failed
// with a report. A result belongs to its request: it is taken from the system's
// request table when the completion is handled, and a cancelled request's result is
// dropped by the system.
#include <cstring>

#include "net/AddressText.h"
#include "net/CustomWSocket.h"
#include "net/SocketErrorText.h"
#include "net/WSocketInternal.h"

namespace net {

void TCustomWSocket::ClearDnsResults() {
  FDnsResult.clear();
  FDnsResultList.Clear();
}

void TCustomWSocket::CancelPendingLookupSilently() {
  if (FDnsLookupHandle == 0) return;
  api::WSACancelAsyncRequest(FDnsLookupHandle);
  FDnsLookupHandle = 0;
}

void TCustomWSocket::AddHostEntryResults(const winapi::HostEntry& Entry, bool ByAddr) {
  if (ByAddr) {
    FDnsResultList.Add(Entry.officialName);
    for (const std::string& alias : Entry.aliases)
      if (!alias.empty()) FDnsResultList.Add(alias);
  } else {
    // Both families in the resolver's order: it ranks whole families.
    auto addV4 = [&] {
      for (uint32_t a : Entry.addrs) {
        in_addr ia{};
        ia.s_addr = a;
        FDnsResultList.Add(WSocket_inet_ntoa(ia));
      }
    };
    if (Entry.ipv4First) addV4();
    for (const in6_addr& a : Entry.addrs6) FDnsResultList.Add(IPv6Text(a));
    if (!Entry.ipv4First) addV4();
  }
  if (FDnsResultList.Count() > 0) FDnsResult = FDnsResultList[0];
}

void TCustomWSocket::DnsLookup(const std::string& HostName) {
  if (HostName.empty()) {
    ReportError("DNS lookup: invalid host name.");
    TriggerDnsLookupDone(winapi::WSAEINVAL);
    return;
  }
  CancelPendingLookupSilently();
  ClearDnsResults();
  if (DnsLookupLiteral(HostName)) return;
  if (IsDottedAddress(HostName)) {
    const uint32_t a = api::inet_addr(core::Trim(HostName).c_str());
    if (a != INADDR_NONE) {
      in_addr ia{};
      ia.s_addr = a;
      FDnsResult = WSocket_inet_ntoa(ia);
      FDnsResultList.Add(FDnsResult);
      TriggerDnsLookupDone(0);
      return;
    }
  }
  if (!FHiddenWnd) ReportError("DnsLookup: Window not assigned");
  FDnsLookupCheckMsg = false;
  // No buffer: the result waits in the request table for the completion's handler.
  FDnsLookupHandle =
      FDnsFamily == AF_INET
          ? api::WSAAsyncGetHostByName(FHiddenWnd, FMsgHostByName, HostName.c_str(), nullptr, 0)
          : api::WSAAsyncGetAddrInfo(FHiddenWnd, FMsgHostByName, HostName.c_str(), FDnsFamily);
  if (FDnsLookupHandle == 0) {
    ReportError(HostName + ": can't start DNS lookup - " + SocketErrorMessage(api::WSAGetLastError()));
    return;
  }
  if (FDnsLookupCheckMsg) {
    FDnsLookupCheckMsg = false;
    HandleLookupDone(FDnsLookupTempMsg);
  }
}

// An IPv6 literal, when IPv6 is asked for, is its own result at once, as a dotted
// address is. An IPv4 address asked for as IPv6 only is no result at all.
bool TCustomWSocket::DnsLookupLiteral(const std::string& HostName) {
  if (FDnsFamily == AF_INET) return false;
  in6_addr a6{};
  if (ParseIPv6(HostName, a6)) {
    FDnsResult = IPv6Text(a6);
    FDnsResultList.Add(FDnsResult);
    TriggerDnsLookupDone(0);
    return true;
  }
  if (FDnsFamily == AF_INET6 && IsDottedAddress(HostName)) {
    TriggerDnsLookupDone(winapi::WSANO_DATA);
    return true;
  }
  return false;
}

void TCustomWSocket::HandleLookupDone(core::TMessage& Msg) {
  if (FDnsLookupHandle == 0) {
    // Dispatched before the start call stored the handle; DnsLookup runs it then.
    FDnsLookupTempMsg = Msg;
    FDnsLookupCheckMsg = true;
    return;
  }
  if (static_cast<winapi::HANDLE>(Msg.WParam) != FDnsLookupHandle) return;  // an older request
  FinishLookup(Msg, false);
}

// The pending lookup's completion: take its result (owned by the request until
// now), fill the result list, and report once.
void TCustomWSocket::FinishLookup(const core::TMessage& Msg, bool reverse) {
  const winapi::HANDLE handle = FDnsLookupHandle;
  FDnsLookupHandle = 0;
  uint16_t errCode = detail::NotificationError(Msg.LParam);
  if (errCode == 0) {
    winapi::HostEntry entry;
    const int taken = api::WSATakeHostEntry(handle, entry);
    if (taken != 0)
      errCode = static_cast<uint16_t>(taken);
    else
      AddHostEntryResults(entry, reverse);
  }
  TriggerDnsLookupDone(errCode);
}

void TCustomWSocket::ReverseDnsLookup(const std::string& HostAddr) {
  if (HostAddr.empty()) {
    ReportError("Reverse DNS Lookup: Invalid host name.");
    TriggerDnsLookupDone(winapi::WSAEINVAL);
    return;
  }
  CancelPendingLookupSilently();
  ClearDnsResults();
  const uint32_t addr = api::inet_addr(HostAddr.c_str());
  if (!FHiddenWnd) ReportError("Reverse DNS Lookup: Window not assigned");
  FDnsLookupHandle = api::WSAAsyncGetHostByAddr(
      FHiddenWnd, FMsgHostByAddr, reinterpret_cast<const char*>(&addr), sizeof addr, AF_INET, nullptr, 0);
  if (FDnsLookupHandle == 0)
    ReportError(HostAddr + ": can't start reverse DNS lookup - " +
                SocketErrorMessage(api::WSAGetLastError()));
}

void TCustomWSocket::HandleReverseLookupDone(core::TMessage& Msg) {
  if (FDnsLookupHandle == 0 || static_cast<winapi::HANDLE>(Msg.WParam) != FDnsLookupHandle) return;
  FinishLookup(Msg, true);
}

void TCustomWSocket::ReverseDnsLookupSync(const std::string& HostAddr) {
  if (HostAddr.empty() || HostAddr.size() > 256) {
    ReportError("Reverse DNS Lookup: Invalid host name.");
    TriggerDnsLookupDone(winapi::WSAEINVAL);
    return;
  }
  CancelPendingLookupSilently();
  ClearDnsResults();
  const uint32_t addr = api::inet_addr(HostAddr.c_str());
  hostent* he = api::gethostbyaddr(reinterpret_cast<const char*>(&addr), sizeof addr, AF_INET);
  if (!he) {
    TriggerDnsLookupDone(static_cast<uint16_t>(api::WSAGetLastError()));
    return;
  }
  winapi::HostEntry entry;
  entry.officialName = he->h_name ? he->h_name : "";
  for (char** a = he->h_aliases; a && *a; ++a) entry.aliases.emplace_back(*a);
  AddHostEntryResults(entry, true);
  TriggerDnsLookupDone(0);
}

void TCustomWSocket::CancelDnsLookup() {
  if (FDnsLookupHandle == 0) return;
  // A request that completed but whose completion is still queued counts as
  // cancelled: the system drops its result, and its message no longer matches.
  if (api::WSACancelAsyncRequest(FDnsLookupHandle) != 0 && api::WSAGetLastError() != winapi::WSAEALREADY) {
    FDnsLookupHandle = 0;
    ApiFailure("WSACancelAsyncRequest");
    return;
  }
  FDnsLookupHandle = 0;
  if (!Destroying()) TriggerDnsLookupDone(winapi::WSAEINTR);
}

}  // namespace net
