// The TLS client contexts: one per trust setting, made on first use.
#include "net/SslContext.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <map>
#include <memory>
#include <mutex>
#include <utility>

namespace net::detail {

namespace {

struct ContextDeleter {
  void operator()(SSL_CTX* ctx) const { SSL_CTX_free(ctx); }
};
using ContextPtr = std::unique_ptr<SSL_CTX, ContextDeleter>;

struct SessionDeleter {
  void operator()(SSL_SESSION* session) const { SSL_SESSION_free(session); }
};
using SessionPtr = std::unique_ptr<SSL_SESSION, SessionDeleter>;

std::mutex gSessionsLock;
std::map<std::pair<SSL_CTX*, std::string>, SessionPtr> gSessions;  // guarded by gSessionsLock

std::mutex gContextsLock;
std::map<std::pair<std::string, bool>, ContextPtr> gContexts;  // guarded by gContextsLock

// TLS 1.2 at least, the peer verified unless told otherwise.
ContextPtr MakeContext(const std::string& CaFile, bool VerifyPeer, std::string& Failure) {
  ContextPtr ctx(SSL_CTX_new(TLS_client_method()));
  if (!ctx) {
    Failure = "TLS context: " + TakeSslErrorText();
    return nullptr;
  }
  SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION);
  SSL_CTX_set_verify(ctx.get(), VerifyPeer ? SSL_VERIFY_PEER : SSL_VERIFY_NONE, nullptr);
  // A CA file replaces the system's store, so a test CA is the only one trusted.
  const bool loaded = CaFile.empty() ? SSL_CTX_set_default_verify_paths(ctx.get()) == 1
                                     : SSL_CTX_load_verify_locations(ctx.get(), CaFile.c_str(), nullptr) == 1;
  if (!loaded && VerifyPeer) {
    Failure = "error setting certificate file: " + (CaFile.empty() ? std::string("system store") : CaFile);
    ERR_clear_error();
    return nullptr;
  }
  ERR_clear_error();
  return ctx;
}

}  // namespace

SSL_CTX* SslClientContext(const std::string& CaFile, bool VerifyPeer, std::string& Failure) {
  std::lock_guard<std::mutex> lock(gContextsLock);
  auto key = std::make_pair(CaFile, VerifyPeer);
  auto it = gContexts.find(key);
  if (it != gContexts.end()) return it->second.get();
  ContextPtr ctx = MakeContext(CaFile, VerifyPeer, Failure);
  if (!ctx) return nullptr;
  return gContexts.emplace(std::move(key), std::move(ctx)).first->second.get();
}

SSL_SESSION* TakeSslSession(SSL_CTX* Context, const std::string& Peer) {
  std::lock_guard<std::mutex> lock(gSessionsLock);
  auto it = gSessions.find(std::make_pair(Context, Peer));
  if (it == gSessions.end()) return nullptr;
  SSL_SESSION* session = it->second.release();
  gSessions.erase(it);
  return session;
}

void KeepSslSession(SSL_CTX* Context, const std::string& Peer, SSL_SESSION* Session) {
  std::lock_guard<std::mutex> lock(gSessionsLock);
  gSessions[std::make_pair(Context, Peer)].reset(Session);
}

std::string TakeSslErrorText() {
  const unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0) return {};
  const char* reason = ERR_reason_error_string(code);
  if (reason != nullptr) return reason;
  char buf[256];
  ERR_error_string_n(code, buf, sizeof buf);
  return buf;
}

}  // namespace net::detail
