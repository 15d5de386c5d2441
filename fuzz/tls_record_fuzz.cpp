// TLS records, whole, damaged, cut short and split anywhere, into TSslWSocket.
// The socket's transport is one end of a local socket pair (no network). At the
// other end either the input itself is the server's byte stream (garbage), or a
// TLS server of this driver's own (an OpenSSL server over memory BIOs with a
// throw-away Ed25519 certificate) answers the handshake, sends the input's data
// and may close, while the driver flips bytes of its records and cuts the stream
// where the input says.
//
// Input: byte 0: bit 0 garbage mode, bit 1 TLS 1.2 only, bit 2 the server sends
// close_notify after its data. Byte 1: the seed of the pieces. Bytes 2-3: the
// server's bytes are cut after this many (0xFFFF: never). Byte 4: the number of
// damaged bytes, then 3 bytes each (position, 16 bits; xor mask). The rest is the
// server's data (garbage mode: its whole byte stream).
// Each input runs three times: one byte per receive, all at once, random pieces.
// Checked:
// - the application never gets a byte the server did not send: what it receives
//   is a prefix of the server's data;
// - the session's connect event fires at most once, and a failed handshake never
//   delivers data; garbage never establishes a session;
// - an undamaged, uncut stream establishes the session and delivers all the data;
// - the three runs agree on whether the session was established, on the data
//   delivered and (garbage mode) on the failure.
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "core/Application.h"
#include "net/SslWSocket.h"

namespace {

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

// One self-signed Ed25519 certificate for the whole run: fixed-length signatures
// keep the records' layout the same from one handshake to the next.
SSL_CTX* ServerContext(bool tls12) {
  static EVP_PKEY* key = EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519");
  static X509* cert = [] {
    X509* x = X509_new();
    X509_set_version(x, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x), 1);
    X509_gmtime_adj(X509_getm_notBefore(x), -3600);
    X509_gmtime_adj(X509_getm_notAfter(x), 3600L * 24 * 365);
    X509_NAME* name = X509_get_subject_name(x);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("fuzz.test"),
                               -1, -1, 0);
    X509_set_issuer_name(x, name);
    X509_set_pubkey(x, key);
    X509_sign(x, key, nullptr);
    return x;
  }();
  // Plain pointers, kept to the end: no destructor frees them before the leak check.
  static SSL_CTX* contexts[2] = {};
  SSL_CTX*& ctx = contexts[tls12 ? 1 : 0];
  if (!ctx) {
    ctx = SSL_CTX_new(TLS_server_method());
    Check(SSL_CTX_use_certificate(ctx, cert) == 1 && SSL_CTX_use_PrivateKey(ctx, key) == 1);
    // No session is ever resumed: the client keeps sessions across connections,
    // and a resumed handshake in a later run would send other records than the
    // first run's full one (TLS 1.2 tickets are on unless turned off).
    SSL_CTX_set_num_tickets(ctx, 0);
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
    SSL_CTX_set_options(ctx, SSL_OP_NO_TICKET);
    if (tls12) SSL_CTX_set_max_proto_version(ctx, TLS1_2_VERSION);
  }
  return ctx;
}

struct TSetup {
  bool garbage = false, tls12 = false, closeNotify = false;
  uint8_t seed = 0;
  size_t cut = SIZE_MAX;
  std::map<size_t, uint8_t> damage;  // position in the server's stream: xor mask
  std::string_view data;
};

TSetup ReadSetup(const uint8_t* d, size_t size) {
  TSetup s;
  s.garbage = d[0] & 1;
  s.tls12 = d[0] & 2;
  s.closeNotify = d[0] & 4;
  s.seed = d[1];
  const size_t cut = static_cast<size_t>(d[2] | d[3] << 8);
  if (cut != 0xFFFF) s.cut = cut;
  size_t at = 5;
  for (int n = d[4]; n > 0 && at + 3 <= size; --n, at += 3) {
    const uint8_t mask = d[at + 2];
    if (mask != 0) s.damage[static_cast<size_t>(d[at] | d[at + 1] << 8)] = mask;
  }
  s.data = std::string_view(reinterpret_cast<const char*>(d) + std::min(at, size), size - std::min(at, size));
  return s;
}

class TPairSslSocket : public net::TSslWSocket {
 public:
  using net::TSslWSocket::TSslWSocket;
  // Takes a connected local socket as its transport; the handshake starts.
  void Adopt(int fd) {
    FHSocket = fd;
    ChangeState(net::wsConnected);
    TriggerSocketConnected(0);
  }
  // The peer's end of the stream, as the network reports it.
  void PeerClosed() {
    core::TMessage m{};
    HandleFdClose(m);
  }
};

// This driver's end: the server (or the garbage) and the damage on the way.
class TServerEnd {
 public:
  TServerEnd(const TSetup& s, int fd) : FSetup(s), FFd(fd) {
    if (s.garbage) {
      FOut = std::string(s.data);
      return;
    }
    FSsl = SSL_new(ServerContext(s.tls12));
    FIn = BIO_new(BIO_s_mem());
    FNetOut = BIO_new(BIO_s_mem());
    SSL_set_bio(FSsl, FIn, FNetOut);
    SSL_set_accept_state(FSsl);
  }
  ~TServerEnd() {
    if (FSsl) SSL_free(FSsl);
  }
  TServerEnd(const TServerEnd&) = delete;
  TServerEnd& operator=(const TServerEnd&) = delete;

  // Takes what the client sent and lets the server answer. Returns the bytes
  // the client had sent.
  size_t Step() {
    char buf[4096];
    std::string fromClient;
    for (ssize_t n; (n = read(FFd, buf, sizeof buf)) > 0;) fromClient.append(buf, static_cast<size_t>(n));
    if (!FSsl) return fromClient.size();
    if (!fromClient.empty()) BIO_write(FIn, fromClient.data(), static_cast<int>(fromClient.size()));
    if (!SSL_is_init_finished(FSsl)) SSL_do_handshake(FSsl);
    if (SSL_is_init_finished(FSsl) && !FDataSent) {
      FDataSent = true;
      size_t written = 0;
      if (!FSetup.data.empty()) SSL_write_ex(FSsl, FSetup.data.data(), FSetup.data.size(), &written);
      if (FSetup.closeNotify) SSL_shutdown(FSsl);
    }
    if (SSL_is_init_finished(FSsl)) SSL_read_ex(FSsl, buf, sizeof buf, nullptr);  // takes alerts
    for (int n; (n = BIO_read(FNetOut, buf, sizeof buf)) > 0;) FOut.append(buf, static_cast<size_t>(n));
    return fromClient.size();
  }
  // The server's next bytes for the client, damaged and cut as the set-up says.
  std::string Take(size_t most) {
    std::string piece = FOut.substr(FTaken, most);
    for (size_t i = 0; i < piece.size(); ++i) {
      const auto hit = FSetup.damage.find(FSent + i);
      if (hit != FSetup.damage.end()) piece[i] = static_cast<char>(piece[i] ^ hit->second);
    }
    if (FSent + piece.size() > FSetup.cut) piece.resize(FSetup.cut - std::min(FSetup.cut, FSent));
    FTaken += std::min(most, FOut.size() - FTaken);
    FSent += piece.size();
    return piece;
  }
  bool Waiting() const { return FTaken < FOut.size(); }
  bool CutReached() const { return FSent >= FSetup.cut; }
  bool Done() const { return FSetup.garbage || (FDataSent && !Waiting()); }

 private:
  const TSetup& FSetup;
  int FFd;
  SSL* FSsl = nullptr;
  BIO* FIn = nullptr;
  BIO* FNetOut = nullptr;
  bool FDataSent = false;
  std::string FOut;
  size_t FTaken = 0, FSent = 0;
};

struct TRun {
  int connects = 0;
  int connectError = -1;
  bool established = false;
  std::string data, failure;
};

enum TPieces { pcBytes, pcWhole, pcRandom };

int Waiting(int fd) {
  int n = 0;
  return ioctl(fd, FIONREAD, &n) == 0 ? n : 0;
}

TRun Run(const TSetup& s, TPieces pieces) {
  int fds[2];
  Check(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds) == 0);
  TRun run;
  {
    auto sock = core::MakeComponent<TPairSslSocket>(nullptr);
    sock->SetSslEnable(true);
    sock->SetSslVerifyPeer(false);
    sock->SetSslServerName("fuzz.test");
    sock->OnSessionConnected = [&run, &sock](core::TComponent*, uint16_t err) {
      ++run.connects;
      run.connectError = err;
      run.established = err == 0 && sock->SslState() == net::sslEstablished;
    };
    sock->OnDataAvailable = [&run, &sock](core::TComponent*, uint16_t) {
      char buf[256];
      for (int n; (n = sock->Receive(buf, sizeof buf)) > 0;) run.data.append(buf, static_cast<size_t>(n));
    };
    TServerEnd server(s, fds[1]);
    sock->Adopt(fds[0]);
    unsigned state = s.seed;
    // Both ends waiting for the other (a damaged length, say) ends the exchange.
    for (int idle = 0; idle < 3 && sock->State() == net::wsConnected;) {
      core::Application().ProcessMessages();
      const bool heard = server.Step() > 0;
      if (!server.Waiting() || server.CutReached()) {
        if (server.Done() || server.CutReached()) break;
        idle = heard ? 0 : idle + 1;
        continue;
      }
      idle = 0;
      size_t n = SIZE_MAX;
      if (pieces == pcBytes) n = 1;
      if (pieces == pcRandom) {
        state = state * 1103515245u + 12345u;
        n = 1 + (state >> 16) % 200;
      }
      const std::string piece = server.Take(n);
      if (!piece.empty())
        Check(write(fds[1], piece.data(), piece.size()) == static_cast<ssize_t>(piece.size()));
      while (Waiting(fds[0]) > 0 && sock->State() == net::wsConnected) sock->TriggerDataAvailable(0);
    }
    core::Application().ProcessMessages();
    // The server is done or cut off: it closes.
    if (sock->State() == net::wsConnected) {
      shutdown(fds[1], SHUT_WR);
      sock->PeerClosed();
      core::Application().ProcessMessages();
    }
    run.failure = sock->SslFailure();
  }
  close(fds[1]);
  return run;
}

void CheckRun(const TSetup& s, const TRun& r) {
  Check(r.connects <= 1);
  Check(std::string_view(s.data).substr(0, r.data.size()) == r.data);
  if (!r.established) Check(r.data.empty());
  if (s.garbage) Check(!r.established);
  if (!s.garbage && s.damage.empty() && s.cut == SIZE_MAX) {
    Check(r.established && r.connectError == 0);
    Check(r.data == s.data);
  }
}

void Same(const TSetup& s, const TRun& a, const TRun& b) {
  if (a.established == b.established && a.data == b.data && a.connects == b.connects &&
      (!s.garbage || a.failure == b.failure))
    return;
  for (const TRun* r : {&a, &b})
    std::fprintf(stderr, "established %d, connects %d (%d), %zu bytes, failure '%s'\n", r->established,
                 r->connects, r->connectError, r->data.size(), r->failure.c_str());
  __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 5) return 0;
  const TSetup setup = ReadSetup(data, size);
  TRun runs[3];
  for (TPieces p : {pcBytes, pcWhole, pcRandom}) {
    runs[p] = Run(setup, p);
    CheckRun(setup, runs[p]);
  }
  // Damage lands on bytes of a handshake whose random parts differ from run to
  // run: only garbage and undamaged streams must give the same verdict.
  if (setup.garbage || setup.damage.empty()) {
    Same(setup, runs[pcBytes], runs[pcWhole]);
    Same(setup, runs[pcBytes], runs[pcRandom]);
  }
  return 0;
}
