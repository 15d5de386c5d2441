// The SOCKS 4, 4A and 5 client layer of the socket class chain.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "core/Classes.h"
#include "net/CustomWSocket.h"
#include "net/SocksProtocol.h"

namespace net {

enum TSocksAuthentication : uint8_t { socksNoAuthentication, socksAuthenticateUsercode };
enum TSocksAuthState : uint8_t { socksAuthStart, socksAuthSuccess, socksAuthFailure, socksAuthNotRequired };
enum TSocksState : uint8_t { socksData, socksNegotiateMethods, socksAuthenticate, socksConnect };

using TSocksErrorEvent = std::function<void(core::TComponent* Sender, int Error, const std::string& Msg)>;
using TSocksAuthStateEvent = std::function<void(core::TComponent* Sender, TSocksAuthState AuthState)>;

// Carries a TCP connection through a SOCKS 4, 4A or 5 server when SocksServer is
// set; otherwise behaves exactly like TCustomWSocket. The negotiation runs inside
// the transport-connected and data-available notifications; the application sees
// one OnSessionConnected when the tunnel is open (0) or has failed (a SOCKS code,
// 20001 to 20017, after OnSocksError), and bytes the server sent after its final
// reply come first from Receive. Server, port and level go back to their defaults
// at every close; user code, password and authentication choice persist.
class TCustomSocksWSocket : public TCustomWSocket {
 public:
  explicit TCustomSocksWSocket(core::TComponent* AOwner);

  virtual void TriggerSocksConnected(uint16_t ErrCode);
  virtual void StoreSocksPort(const std::string& Value);
  virtual void StoreSocksServer(const std::string& Value);
  virtual void TriggerSocksError(int Error, const std::string& Msg);

  void AssignDefaults() override;
  void Connect() override;
  void Listen() override;
  void TriggerSocketConnected(uint16_t ErrCode) override;
  void TriggerSessionClosed(uint16_t ErrCode) override;
  bool TriggerDataAvailable(uint16_t ErrCode) override;
  int RcvdCount() override;
  int RecvRaw(void* Buffer, int Size, int Flags) override;
  void ThreadAttach() override;

  // Reports the failure, presents it as the connect result and closes the socket.
  void AbortSocksNegotiation(int ErrCode, const std::string& Msg);

  const std::string& SocksServer() const { return FSocksServerText; }
  void SetSocksServer(const std::string& Value) { StoreSocksServer(Value); }
  const std::string& SocksLevel() const { return FSocksLevelText; }
  void SetSocksLevel(const std::string& Value) { StoreSocksLevel(Value); }
  const std::string& SocksPort() const { return FSocksPortText; }
  void SetSocksPort(const std::string& Value) { StoreSocksPort(Value); }
  const std::string& SocksUsercode() const { return FSocksUserText; }
  void SetSocksUsercode(const std::string& Value) { FSocksUserText = Value; }
  const std::string& SocksPassword() const { return FSocksPasswordText; }
  void SetSocksPassword(const std::string& Value) { FSocksPasswordText = Value; }
  TSocksAuthentication SocksAuthentication() const { return FSocksAuthChoice; }
  void SetSocksAuthentication(TSocksAuthentication Value) { FSocksAuthChoice = Value; }
  bool SocksServerAssigned() const { return FSocksServerAssigned; }

  TSessionConnected OnSocksConnected;
  TSocksErrorEvent OnSocksError;
  TSocksAuthStateEvent OnSocksAuthState;

 protected:
  void StoreSocksLevel(const std::string& Value);
  void TriggerSocksAuthState(TSocksAuthState AuthState);
  void StartAdoptedConnection() override;
  void SendAuthRequest();
  void SendConnectRequest();

  TSocksState FSocksState = socksData;
  std::string FSocksServerText;
  std::string FSocksLevelText = "5";
  std::string FSocksPortText;
  bool FSocksServerAssigned = false;
  std::string FSocksUserText;
  std::string FSocksPasswordText;
  TSocksAuthentication FSocksAuthChoice = socksNoAuthentication;
  uint8_t FSocksAuthNumber = 0;  // the SOCKS 5 method offered: 0 none, 2 user/password
  socks::TSocksReplyParser FReply;
  // Bytes the server sent after its final reply, still in FReply's buffer.
  int FSocksRcvdCnt = 0;
  int FSocksRcvdOffset = 0;

 private:
  std::string SocksFieldsRefusal() const;
  bool ResolveSocksServer();
  bool MethodsReplyArrived();
  bool AuthReplyArrived();
  bool AuthFieldsFit() const;
  bool ConnectReplyArrived();
  bool ReceiveReply(socks::TSocksVerdict& Verdict);
  bool TunnelOpened(int ReplyLength);
  bool ClosedByHandler() const;
};

}  // namespace net
