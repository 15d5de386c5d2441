// TSslWSocket: the handshake, record encryption on the way out, decryption on the
// way in, and the close_notify alert. OpenSSL reads and writes two memory buffers;
// the socket below moves their bytes.
#include "net/SslWSocket.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cstring>
#include <ctime>

#include "net/SocketErrorText.h"
#include "net/SslContext.h"
#include "net/WSocketInternal.h"

namespace net {

namespace {

constexpr int kRecordChunk = 16 * 1024;

// The ALPN list in its wire form: each name after its length byte.
std::vector<unsigned char> AlpnWire(const std::vector<std::string>& names) {
  std::vector<unsigned char> wire;
  for (const std::string& name : names) {
    if (name.empty() || name.size() > 255) continue;
    wire.push_back(static_cast<unsigned char>(name.size()));
    wire.insert(wire.end(), name.begin(), name.end());
  }
  return wire;
}

// "[::1]" names the address ::1.
std::string WithoutBrackets(const std::string& host) {
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') return host.substr(1, host.size() - 2);
  return host;
}

}  // namespace

TSslWSocket::TSslWSocket(core::TComponent* AOwner) : TWSocket(AOwner) {}

TSslWSocket::~TSslWSocket() {
  FreeSsl();
}

// --- the handshake ----------------------------------------------------------------

void TSslWSocket::TriggerSessionConnected(uint16_t ErrCode) {
  if (!FSslEnable || ErrCode != 0) {
    TWSocket::TriggerSessionConnected(ErrCode);
    return;
  }
  StartSsl();
}

void TSslWSocket::StartSsl() {
  if (SslActive() || FHSocket == INVALID_SOCKET) return;
  if (auto h = OnSslHandshakeStart) h(this);
  if (!BeginHandshake()) return;
  ContinueHandshake();
}

bool TSslWSocket::BeginHandshake() {
  FSslFailure.clear();
  FSslVersion.clear();
  FSslAlpn.clear();
  FSslResumed = false;
  FSslPeerCertExpiry = 0;
  FPlain.clear();
  FPlainStart = 0;
  FPeerClosed = false;
  FCloseNotifyRcvd = false;
  FCloseNotifyAnnounced = false;
  FPeerError = 0;
  SSL_CTX* ctx = FSslServerContext ? FSslServerContext->Handle() : nullptr;
  if (ctx == nullptr) {
    std::string failure;
    ctx = detail::SslClientContext(FSslCaFile, FSslVerifyPeer, failure);
    if (ctx == nullptr) {
      AbandonHandshake(kSslHandshakeError, failure);
      return false;
    }
  }
  FSslContext = ctx;
  FSsl = SSL_new(ctx);
  FNetIn = BIO_new(BIO_s_mem());
  FNetOut = BIO_new(BIO_s_mem());
  // An empty input buffer means "wait for more", not the end of the stream.
  BIO_set_mem_eof_return(FNetIn, -1);
  SSL_set_bio(FSsl, FNetIn, FNetOut);
  if (FSslServerContext)
    SSL_set_accept_state(FSsl);
  else
    PrepareClientSide();
  FSslState = sslHandshaking;
  return true;
}

void TSslWSocket::PrepareClientSide() {
  SSL_set_connect_state(FSsl);
  SetPeerName();
  // A session from an earlier connection to the same peer saves the certificate
  // exchange; it was verified with the same trust setting when it was made.
  if (SSL_SESSION* session = detail::TakeSslSession(FSslContext, SessionKey())) {
    SSL_set_session(FSsl, session);
    SSL_SESSION_free(session);
  }
  const std::vector<unsigned char> alpn = AlpnWire(FSslAlpnOffer);
  if (!alpn.empty()) SSL_set_alpn_protos(FSsl, alpn.data(), static_cast<unsigned>(alpn.size()));
}

// The server the session belongs to: through a tunnel the connection's own
// address and port are the proxy's.
std::string TSslWSocket::SessionKey() const {
  return (FSslServerName.empty() ? FAddrStr : FSslServerName) + ":" +
         (FSslServerPort.empty() ? FPortStr : FSslServerPort);
}

// An address is checked against the certificate's IP entries and never sent as
// SNI; a name is sent and checked against its DNS entries.
void TSslWSocket::SetPeerName() {
  const std::string name = WithoutBrackets(FSslServerName.empty() ? FAddrStr : FSslServerName);
  if (name.empty()) return;
  if (X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(FSsl), name.c_str()) == 1) return;
  SSL_set_tlsext_host_name(FSsl, name.c_str());
  // "w*.example.com" is no name a browser accepts either: a wildcard stands for a
  // whole label or for nothing.
  SSL_set_hostflags(FSsl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
  SSL_set1_host(FSsl, name.c_str());
}

void TSslWSocket::ContinueHandshake() {
  ERR_clear_error();
  const int result = SSL_do_handshake(FSsl);
  const int error = result == 1 ? SSL_ERROR_NONE : SSL_get_error(FSsl, result);
  // The next flight (or the alert that explains a failure) goes out either way.
  const SOCKET handle = FHSocket;
  FlushRecords();
  if (FHSocket != handle || !SslActive()) return;
  if (result == 1) {
    FinishHandshake();
    return;
  }
  if (error == SSL_ERROR_WANT_READ && !FPeerClosed && FPeerError == 0) return;
  if (error == SSL_ERROR_WANT_READ) {
    const uint16_t code = FPeerError != 0 ? static_cast<uint16_t>(FPeerError) : kSslHandshakeError;
    AbandonHandshake(
        code, "TLS handshake failed: " +
                  (FPeerError != 0 ? SocketErrorText(FPeerError) : std::string("connection closed by peer")));
    return;
  }
  AbandonHandshake(kSslHandshakeError, HandshakeFailureText());
}

std::string TSslWSocket::HandshakeFailureText() {
  const long verify = SSL_get_verify_result(FSsl);
  if (FSslVerifyPeer && verify != X509_V_OK) {
    ERR_clear_error();
    return std::string("certificate verify failed: ") + X509_verify_cert_error_string(verify);
  }
  const std::string reason = detail::TakeSslErrorText();
  return reason.empty() ? std::string("TLS handshake failed") : "TLS handshake failed: " + reason;
}

namespace {

// Seconds since 1970 of a certificate's notAfter; 0 when it cannot be read.
int64_t NotAfter(const X509* cert) {
  std::tm tm{};
  if (cert == nullptr || ASN1_TIME_to_tm(X509_get0_notAfter(cert), &tm) != 1) return 0;
  return static_cast<int64_t>(timegm(&tm));
}

// The earliest notAfter of the peer's certificate and the chain it sent (a
// resumed session may keep the certificate alone).
int64_t EarliestPeerExpiry(SSL* ssl) {
  int64_t earliest = NotAfter(SSL_get0_peer_certificate(ssl));
  if (STACK_OF(X509)* chain = SSL_get_peer_cert_chain(ssl)) {
    for (int i = 0; i < sk_X509_num(chain); ++i) {
      const int64_t t = NotAfter(sk_X509_value(chain, i));
      if (t != 0 && (earliest == 0 || t < earliest)) earliest = t;
    }
  }
  return earliest;
}

}  // namespace

void TSslWSocket::FinishHandshake() {
  FSslState = sslEstablished;
  FSslVersion = SSL_get_version(FSsl);
  FSslResumed = SSL_session_reused(FSsl) == 1;
  FSslPeerCertExpiry = EarliestPeerExpiry(FSsl);
  const unsigned char* alpn = nullptr;
  unsigned alpnLen = 0;
  SSL_get0_alpn_selected(FSsl, &alpn, &alpnLen);
  FSslAlpn.assign(reinterpret_cast<const char*>(alpn), alpnLen);
  if (LogEnabled(core::loWsockInfo))
    WriteLog(core::loWsockInfo, Name() + " TLS established " + FSslVersion + " " + SSL_get_cipher(FSsl));
  // Bytes the application sent before the session was up go first.
  if (!FEarlyPlain.empty()) {
    std::vector<char> early;
    early.swap(FEarlyPlain);
    Send(early.data(), static_cast<int>(early.size()));
  }
  TWSocket::TriggerSessionConnected(0);
}

void TSslWSocket::FailHandshake(uint16_t ErrCode, const std::string& Reason) {
  FSslState = sslFailed;
  FSslFailure = Reason;
  if (LogEnabled(core::loWsockErr)) WriteLog(core::loWsockErr, Name() + " " + Reason);
  FreeSsl();
  TWSocket::TriggerSessionConnected(ErrCode);
}

// The failure is told as a failed connect, and the connection closes after it, as
// after a refused connect.
void TSslWSocket::AbandonHandshake(uint16_t ErrCode, const std::string& Reason) {
  FailHandshake(ErrCode, Reason);
  if (FSockState != wsClosed && FHSocket != INVALID_SOCKET) Close();
}

// --- records out ------------------------------------------------------------------

// Moves what OpenSSL wrote into the send chain and starts sending it.
void TSslWSocket::FlushRecords() {
  if (FNetOut == nullptr || BIO_ctrl_pending(FNetOut) == 0) return;
  char* data = nullptr;
  const long len = BIO_get_mem_data(FNetOut, &data);
  if (len > 0) TWSocket::QueueSendData(data, static_cast<int>(len));
  (void)BIO_reset(FNetOut);
  TWSocket::Send(nullptr, 0);
}

// True from the connection's start until the handshake is over: plain bytes sent
// then wait for the session, since none may go out unencrypted. A SOCKS
// negotiation below speaks for itself.
bool TSslWSocket::HoldsPlainBytes() const {
  if (FSslState == sslHandshaking) return true;
  return FSslEnable && FSslState == sslNone && FSockState == wsConnected && FSocksState == socksData;
}

void TSslWSocket::QueueSendData(const void* Data, int Len) {
  if (!SslActive() && !HoldsPlainBytes()) {
    TWSocket::QueueSendData(Data, Len);
    return;
  }
  if (Len <= 0 || Data == nullptr) return;
  const char* p = static_cast<const char*>(Data);
  if (HoldsPlainBytes()) {
    FEarlyPlain.insert(FEarlyPlain.end(), p, p + Len);
    return;
  }
  ERR_clear_error();
  // A memory buffer takes every record at once: SSL_write never falls short here.
  if (SSL_write(FSsl, p, Len) <= 0) {
    FLastError = kSslHandshakeError;
    return;
  }
  char* records = nullptr;
  const long len = BIO_get_mem_data(FNetOut, &records);
  if (len > 0) TWSocket::QueueSendData(records, static_cast<int>(len));
  (void)BIO_reset(FNetOut);
}

int TSslWSocket::Send(const void* Data, int Len) {
  if (!SslActive() && !HoldsPlainBytes()) return TWSocket::Send(Data, Len);
  QueueSendData(Data, Len);
  if (HoldsPlainBytes()) return std::max(Len, 0);
  const int sent = TWSocket::Send(nullptr, 0);
  return sent < 0 ? sent : std::max(Len, 0);
}

void TSslWSocket::TriggerDataSent(uint16_t ErrCode) {
  // The handshake's own records are no business of the application.
  if (FSslState == sslHandshaking) return;
  TWSocket::TriggerDataSent(ErrCode);
}

// --- records in -------------------------------------------------------------------

bool TSslWSocket::TriggerDataAvailable(uint16_t ErrCode) {
  if (!SslActive()) return TWSocket::TriggerDataAvailable(ErrCode);
  ReadRawInput();
  if (FSslState == sslHandshaking) {
    const SOCKET handle = FHSocket;
    ContinueHandshake();
    if (FHSocket != handle || !SslActive() || FSslState != sslEstablished) return true;
  }
  DecryptInput();
  DeliverPlainData(ErrCode);
  return true;
}

// Everything the system holds now goes to OpenSSL's input.
void TSslWSocket::ReadRawInput() {
  char buffer[kRecordChunk];
  while (FHSocket != INVALID_SOCKET) {
    const int n = TWSocket::Receive(buffer, sizeof buffer);
    if (n > 0) {
      BIO_write(FNetIn, buffer, n);
      continue;
    }
    if (n == 0) {
      FPeerClosed = true;
    } else if (FLastError != winapi::WSAEWOULDBLOCK) {
      FPeerError = FLastError;
    } else {
      FLastError = 0;
    }
    return;
  }
}

void TSslWSocket::DecryptInput() {
  char buffer[kRecordChunk];
  for (;;) {
    ERR_clear_error();
    const int n = SSL_read(FSsl, buffer, sizeof buffer);
    if (n > 0) {
      FPlain.insert(FPlain.end(), buffer, buffer + n);
      continue;
    }
    const int error = SSL_get_error(FSsl, n);
    if (error == SSL_ERROR_ZERO_RETURN) {
      FPeerClosed = true;  // close_notify: nothing more will come
      FCloseNotifyRcvd = true;
    } else if (error != SSL_ERROR_WANT_READ) {
      // A damaged or forged record: what was decrypted before it stands, the
      // rest of the stream cannot be trusted.
      FSslFailure = "TLS record failed: " + detail::TakeSslErrorText();
      FBrokenRecords = true;
    }
    break;
  }
  FlushRecords();
}

void TSslWSocket::DeliverPlainData(uint16_t ErrCode) {
  const SOCKET handle = FHSocket;
  while (PlainWaiting() > 0 && !FPaused) {
    const size_t before = PlainWaiting();
    if (!TWSocket::TriggerDataAvailable(ErrCode)) {
      FPlain.clear();
      FPlainStart = 0;
      break;
    }
    if (FHSocket != handle || FHSocket == INVALID_SOCKET) return;
    // A handler that took nothing hears of the rest with the next records.
    if (PlainWaiting() == before) break;
  }
  if (FBrokenRecords && FHSocket == handle) {
    FBrokenRecords = false;
    InternalAbort(kSslHandshakeError);
    return;
  }
  if (FHSocket == handle) AnnounceCloseNotify();
}

// A peer may send close_notify and wait for ours before it closes TCP: the close
// is ours to make. It comes as the system's close notification would, after every
// byte before the alert has been taken (a pause holds it back like the bytes).
void TSslWSocket::AnnounceCloseNotify() {
  if (!FCloseNotifyRcvd || FCloseNotifyAnnounced || PlainWaiting() > 0 || FHSocket == INVALID_SOCKET) return;
  FCloseNotifyAnnounced = true;
  PostSelfNotification(winapi::FD_CLOSE);
}

size_t TSslWSocket::PlainWaiting() const {
  return FPlain.size() - FPlainStart;
}

int TSslWSocket::Receive(void* Buffer, int BufferSize) {
  if (!SslActive() && PlainWaiting() == 0) return TWSocket::Receive(Buffer, BufferSize);
  if (PlainWaiting() == 0) {
    if (FPeerClosed) return 0;
    FLastError = winapi::WSAEWOULDBLOCK;
    api::WSASetLastError(winapi::WSAEWOULDBLOCK);
    return -1;
  }
  const size_t n = std::min(PlainWaiting(), static_cast<size_t>(std::max(BufferSize, 0)));
  std::memcpy(Buffer, FPlain.data() + FPlainStart, n);
  FPlainStart += n;
  if (FPlainStart == FPlain.size()) {
    FPlain.clear();
    FPlainStart = 0;
  }
  return static_cast<int>(n);
}

int TSslWSocket::RcvdCount() {
  if (!SslActive()) return TWSocket::RcvdCount();
  return static_cast<int>(std::min<size_t>(PlainWaiting(), INT32_MAX));
}

void TSslWSocket::ResumeEvents() {
  TWSocket::ResumeEvents();
  // Decrypted bytes held while paused are announced like bytes in the system's buffer.
  if (SslActive() && PlainWaiting() > 0 && FHSocket != INVALID_SOCKET) PostSelfNotification(winapi::FD_READ);
}

// --- the end ----------------------------------------------------------------------

void TSslWSocket::TriggerSessionClosed(uint16_t ErrCode) {
  // The peer went away in the middle of the handshake: the connect has failed.
  if (FSslState == sslHandshaking) {
    const uint16_t code = ErrCode != 0 ? ErrCode : kSslHandshakeError;
    FailHandshake(code, "TLS handshake failed: " + (ErrCode != 0 ? SocketErrorText(ErrCode)
                                                                 : std::string("connection closed by peer")));
  }
  TWSocket::TriggerSessionClosed(ErrCode);
}

void TSslWSocket::InternalClose(bool Shut, uint16_t ErrCode) {
  if (SslActive() && Shut && FSslState == sslEstablished && FHSocket != INVALID_SOCKET) SendCloseNotify();
  // A server keeps no sessions: resumption is the client's offer.
  if (SslActive() && FSslState == sslEstablished && !FSslServerContext) KeepSession();
  FreeSsl();
  // The session ends with its connection; a handshake the application ends itself
  // is not a failed one, and the close must not report it as one.
  FSslState = sslNone;
  FPlain.clear();
  FPlainStart = 0;
  TWSocket::InternalClose(Shut, ErrCode);
}

// The alert goes straight to the system: the connection is closing and nothing
// queued behind it would be sent anyway. A failure changes nothing.
void TSslWSocket::SendCloseNotify() {
  ERR_clear_error();
  SSL_shutdown(FSsl);
  ERR_clear_error();
  char* data = nullptr;
  const long len = BIO_get_mem_data(FNetOut, &data);
  if (len > 0 && FBufHandler->IsEmpty()) api::send(FHSocket, data, static_cast<int>(len), 0);
  (void)BIO_reset(FNetOut);
}

void TSslWSocket::KeepSession() {
  SSL_SESSION* session = SSL_get1_session(FSsl);
  if (session == nullptr) return;
  if (SSL_SESSION_is_resumable(session) == 1)
    detail::KeepSslSession(FSslContext, SessionKey(), session);
  else
    SSL_SESSION_free(session);
}

void TSslWSocket::FreeSsl() {
  if (FSsl != nullptr) SSL_free(FSsl);  // frees both buffers
  FSsl = nullptr;
  FNetIn = nullptr;
  FNetOut = nullptr;
  FEarlyPlain.clear();
}

}  // namespace net
