// The TLS client contexts shared by the sockets, and OpenSSL's error texts.
// Not part of the interface.
#pragma once

#include <string>

typedef struct ssl_ctx_st SSL_CTX;

namespace net::detail {

// The client context for one trust setting: CaFile (empty for the system's trust
// store) and whether peers are verified. Made once per setting and kept for the
// life of the program, so a socket never pays for loading the trust store again.
// Null with Failure set when the CA file cannot be read. Any thread.
SSL_CTX* SslClientContext(const std::string& CaFile, bool VerifyPeer, std::string& Failure);

// The reason of the oldest error waiting in this thread's OpenSSL error queue
// (empty when there is none); the queue is emptied.
std::string TakeSslErrorText();

}  // namespace net::detail
