// Small helpers shared by the socket's source files; not part of the interface.
#pragma once

#include <cstdint>
#include <string>

#include "net/SocketApi.h"

namespace net::detail {

// Network-event bits as the notification carries them.
constexpr uint16_t kFdRead = static_cast<uint16_t>(winapi::FD_READ);
constexpr uint16_t kFdWrite = static_cast<uint16_t>(winapi::FD_WRITE);
constexpr uint16_t kFdAccept = static_cast<uint16_t>(winapi::FD_ACCEPT);
constexpr uint16_t kFdConnect = static_cast<uint16_t>(winapi::FD_CONNECT);
constexpr uint16_t kFdClose = static_cast<uint16_t>(winapi::FD_CLOSE);

// The dotted text of an address in network order.
inline std::string DottedText(uint32_t networkAddr) {
  in_addr a{};
  a.s_addr = networkAddr;
  return WSocket_inet_ntoa(a);
}

// The error code in the high word of a notification's LParam.
inline uint16_t NotificationError(intptr_t lParam) {
  return winapi::HIWORD(static_cast<uintptr_t>(lParam));
}

}  // namespace net::detail
