// The TLS client contexts shared by the sockets, and OpenSSL's error texts.
// Not part of the interface.
#pragma once

#include <string>

typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_session_st SSL_SESSION;

namespace net::detail {

// The client context for one trust setting: CaFile (empty for the system's trust
// store) and whether peers are verified. Made once per setting and kept for the
// life of the program, so a socket never pays for loading the trust store again.
// Null with Failure set when the CA file cannot be read. Any thread.
SSL_CTX* SslClientContext(const std::string& CaFile, bool VerifyPeer, std::string& Failure);

// Sessions to resume, one per context and peer ("name:port"). Take removes the
// session and hands its reference to the caller (null when there is none): a TLS
// 1.3 ticket is good for one connection, which brings its own successor. Keep
// takes the caller's reference. Any thread.
SSL_SESSION* TakeSslSession(SSL_CTX* Context, const std::string& Peer);
void KeepSslSession(SSL_CTX* Context, const std::string& Peer, SSL_SESSION* Session);

// The reason of the oldest error waiting in this thread's OpenSSL error queue
// (empty when there is none); the queue is emptied.
std::string TakeSslErrorText();

}  // namespace net::detail
