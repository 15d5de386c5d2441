// The SOCKS layer's settings and their rules. The negotiation itself is not built
// yet: with a SOCKS server assigned, Connect still connects straight to Addr.
#include "net/WSocket.h"

namespace net {

TCustomSocksWSocket::TCustomSocksWSocket(core::TComponent* AOwner) : TCustomWSocket(AOwner) {}

void TCustomSocksWSocket::AssignDefaults() {
  TCustomWSocket::AssignDefaults();
  // Server, port and level are per connection; user code, password and the
  // authentication choice persist.
  FSocksState = socksData;
  FSocksServerText.clear();
  FSocksPortText.clear();
  FSocksLevelText = std::string("5");  // a move: GCC 12 misreads a short literal's assignment at -O3
  FSocksServerAssigned = false;
}

void TCustomSocksWSocket::StoreSocksServer(const std::string& Value) {
  if (FSockState != wsClosed) {
    ReportError("Can't change socks server if not closed");
    return;
  }
  FSocksServerText = core::Trim(Value);
  FSocksServerAssigned = !FSocksServerText.empty();
}

void TCustomSocksWSocket::StoreSocksPort(const std::string& Value) {
  if (FSockState != wsClosed) {
    ReportError("Can't change socks port if not closed");
    return;
  }
  FSocksPortText = core::Trim(Value);
}

void TCustomSocksWSocket::StoreSocksLevel(const std::string& Value) {
  if (FSockState != wsClosed) {
    ReportError("Can't change socks level if not closed");
    return;
  }
  if (Value != "4" && Value != "4A" && Value != "4a" && Value != "5") {
    ReportError("Invalid socks level. Must be 4, 4A or 5.");
    return;
  }
  FSocksLevelText = core::UpperCase(Value);
}

void TCustomSocksWSocket::Connect() {
  TCustomWSocket::Connect();
}

void TCustomSocksWSocket::Listen() {
  if (FSocksServerAssigned) {
    ReportError("Listening is not supported thru socks server");
    return;
  }
  TCustomWSocket::Listen();
}

void TCustomSocksWSocket::TriggerSocksConnected(uint16_t ErrCode) {
  if (TSessionConnected handler = OnSocksConnected) handler(this, ErrCode);
}

void TCustomSocksWSocket::TriggerSocksError(int Error, const std::string& Msg) {
  if (TSocksErrorEvent handler = OnSocksError) handler(this, Error, Msg);
}

void TCustomSocksWSocket::TriggerSocksAuthState(TSocksAuthState AuthState) {
  if (TSocksAuthStateEvent handler = OnSocksAuthState) handler(this, AuthState);
}

}  // namespace net
