// The asynchronous TCP/UDP socket applications place, and its class chain:
// TCustomWSocket (net/CustomWSocket.h, which states the contract every class of
// the chain keeps) -> TCustomSocksWSocket (net/SocksWSocket.h) -> TCustomLineWSocket
// (net/LineWSocket.h) -> TCustomSyncWSocket (net/SyncWSocket.h) -> TWSocket.
#pragma once

#include "net/SyncWSocket.h"

namespace net {

// The class applications place; adds nothing.
class TWSocket : public TCustomSyncWSocket {
 public:
  using TCustomSyncWSocket::TCustomSyncWSocket;
};

}  // namespace net
