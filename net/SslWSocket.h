// TSslWSocket: TLS over the socket chain, the last link of it.
//
// With SslEnable off (the default) the socket is a plain TWSocket. With it on, the
// TLS handshake starts when the connection below is established (after a SOCKS
// negotiation when there is one) and the events keep their meaning for the
// application:
// - OnSessionConnected fires once the handshake is over (error 0), or with a
//   non-zero error when it failed; SslFailure() then names the reason
//   ("certificate verify failed: ..."), and the connection closes.
// - OnDataAvailable fires with decrypted bytes waiting; Receive and ReceiveStr
//   return them. OnDataSent fires once the queued records are handed over.
// - Send, SendStr and QueueSendData take plain bytes and queue them encrypted.
// - Close sends the close_notify alert first; Abort does not.
// - The peer's close_notify ends the stream as the connection's close does: once
//   the bytes before it are taken, OnSessionClosed fires and the socket answers
//   with its own close_notify and closes, even if the peer leaves TCP open.
// StartSsl begins a handshake on a connection that is already open (a tunnel
// through an HTTP proxy) and reports its end the same way.
//
// The accepting side: with SslServerContext set, StartSsl on an adopted (Dup)
// connection answers the client's handshake with the context's certificate
// instead; OnSessionConnected tells its end as above (after a failure the
// connection closes), and the data events then carry the plain exchange. No
// client certificate is asked for and no session is kept.
//
// Verification is on by default: the system's trust store (or SslCaFile), the
// host name (SslServerName, sent as SNI; an address is matched against the
// certificate's IP addresses), TLS 1.2 at least, ALPN offering SslAlpnOffer ("http/1.1"
// by default; SslAlpn() then names the server's pick, empty when it picked none). SslVerifyPeer
// off accepts any certificate. The session of a connection that ends is kept and
// offered to the next connection to the same server (SslServerName and
// SslServerPort, else the address and port) with the same trust setting.
//
// The socket speaks to OpenSSL through memory buffers only; every byte still goes
// through the socket's own send chain and receive loop. Thread and lifecycle as
// TWSocket.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "net/SslServerContext.h"
#include "net/WSocket.h"

typedef struct ssl_st SSL;
typedef struct bio_st BIO;
typedef struct ssl_ctx_st SSL_CTX;

namespace net {

enum TSslState : uint8_t { sslNone, sslHandshaking, sslEstablished, sslFailed };

class TSslWSocket : public TWSocket {
 public:
  explicit TSslWSocket(core::TComponent* AOwner);
  ~TSslWSocket() override;

  // The error code of a handshake that failed on anything but a network error.
  static constexpr uint16_t kSslHandshakeError = static_cast<uint16_t>(winapi::WSAECONNABORTED);

  // --- settings, read when the handshake starts ---
  bool SslEnable() const { return FSslEnable; }
  void SetSslEnable(bool Value) { FSslEnable = Value; }
  const std::string& SslServerName() const { return FSslServerName; }
  void SetSslServerName(const std::string& Value) { FSslServerName = Value; }
  // The server's port when it is not the connection's own (a tunnel through a
  // proxy): a kept session is offered only to the server it came from. Empty: Port.
  const std::string& SslServerPort() const { return FSslServerPort; }
  void SetSslServerPort(const std::string& Value) { FSslServerPort = Value; }
  const std::string& SslCaFile() const { return FSslCaFile; }
  void SetSslCaFile(const std::string& Value) { FSslCaFile = Value; }
  bool SslVerifyPeer() const { return FSslVerifyPeer; }
  void SetSslVerifyPeer(bool Value) { FSslVerifyPeer = Value; }
  // Set: the socket is the server of its handshakes.
  const std::shared_ptr<const TSslServerContext>& SslServerContext() const { return FSslServerContext; }
  void SetSslServerContext(std::shared_ptr<const TSslServerContext> Value) {
    FSslServerContext = std::move(Value);
  }
  // The application protocols offered, most wanted first ("h2", "http/1.1").
  const std::vector<std::string>& SslAlpnOffer() const { return FSslAlpnOffer; }
  void SetSslAlpnOffer(const std::vector<std::string>& Value) { FSslAlpnOffer = Value; }

  // --- outcome ---
  TSslState SslState() const { return FSslState; }
  // Why the last handshake failed; empty after a success.
  const std::string& SslFailure() const { return FSslFailure; }
  // "TLSv1.2", "TLSv1.3" once established; the ALPN protocol chosen, if any.
  const std::string& SslVersion() const { return FSslVersion; }
  const std::string& SslAlpn() const { return FSslAlpn; }
  // The session was resumed from an earlier connection to the same peer.
  bool SslResumed() const { return FSslResumed; }
  // The earliest end of validity among the certificates the peer showed, in
  // seconds since 1970 (UTC); 0 when it showed none or they could not be read.
  int64_t SslPeerCertExpiry() const { return FSslPeerCertExpiry; }

  // Starts the handshake on an open connection.
  void StartSsl();

  // Fires as a handshake begins, before its first record goes out.
  TNotifyEvent OnSslHandshakeStart;

  // --- socket overrides ---
  int Send(const void* Data, int Len) override;
  void QueueSendData(const void* Data, int Len) override;
  int Receive(void* Buffer, int BufferSize) override;
  int RcvdCount() override;
  bool TriggerDataAvailable(uint16_t ErrCode) override;
  void TriggerSessionConnected(uint16_t ErrCode) override;
  void TriggerSessionClosed(uint16_t ErrCode) override;
  void TriggerDataSent(uint16_t ErrCode) override;
  void InternalClose(bool Shut, uint16_t ErrCode) override;
  void ResumeEvents() override;

 private:
  bool SslActive() const { return FSsl != nullptr; }
  bool HoldsPlainBytes() const;
  bool BeginHandshake();
  void PrepareClientSide();
  void SetPeerName();
  void ContinueHandshake();
  void FinishHandshake();
  void FailHandshake(uint16_t ErrCode, const std::string& Reason);
  void AbandonHandshake(uint16_t ErrCode, const std::string& Reason);
  std::string HandshakeFailureText();
  void ReadRawInput();
  void DecryptInput();
  void DeliverPlainData(uint16_t ErrCode);
  void AnnounceCloseNotify();
  size_t PlainWaiting() const;
  void FlushRecords();
  void SendCloseNotify();
  std::string SessionKey() const;
  void KeepSession();
  void FreeSsl();

  bool FSslEnable = false;
  std::string FSslServerName;
  std::string FSslServerPort;
  std::string FSslCaFile;
  bool FSslVerifyPeer = true;
  std::shared_ptr<const TSslServerContext> FSslServerContext;
  std::vector<std::string> FSslAlpnOffer{"http/1.1"};

  TSslState FSslState = sslNone;
  std::string FSslFailure;
  std::string FSslVersion;
  std::string FSslAlpn;
  bool FSslResumed = false;
  int64_t FSslPeerCertExpiry = 0;
  SSL_CTX* FSslContext = nullptr;
  SSL* FSsl = nullptr;
  BIO* FNetIn = nullptr;   // records received, for OpenSSL to read
  BIO* FNetOut = nullptr;  // records OpenSSL wrote, for the send chain
  // Decrypted bytes not yet taken by Receive, from FPlainStart on.
  std::vector<char> FPlain;
  size_t FPlainStart = 0;
  // Plain bytes sent before the handshake ended; encrypted when it does, dropped
  // with the connection.
  std::vector<char> FEarlyPlain;
  // The peer ended the stream (close_notify or its end), or reset it.
  bool FPeerClosed = false;
  // The peer's close_notify came; the close it means is announced once.
  bool FCloseNotifyRcvd = false;
  bool FCloseNotifyAnnounced = false;
  int FPeerError = 0;
  // A record failed to decrypt: the connection ends once the bytes before it are delivered.
  bool FBrokenRecords = false;
};

}  // namespace net
