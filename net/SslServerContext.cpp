// Loading the server's certificate and key into a context of its own.
#include "net/SslServerContext.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include "core/SysUtils.h"
#include "net/SslContext.h"

namespace net {

namespace {

// Picks "http/1.1" from the client's list; without it the handshake goes on with
// no protocol chosen, as for a client that offers none.
int SelectHttp11(SSL*, const unsigned char** Out, unsigned char* OutLen, const unsigned char* In,
                 unsigned int InLen, void*) {
  static constexpr unsigned char kHttp11[] = {8, 'h', 't', 't', 'p', '/', '1', '.', '1'};
  unsigned char* selected = nullptr;
  if (SSL_select_next_proto(&selected, OutLen, kHttp11, sizeof kHttp11, In, InLen) != OPENSSL_NPN_NEGOTIATED)
    return SSL_TLSEXT_ERR_NOACK;
  *Out = selected;
  return SSL_TLSEXT_ERR_OK;
}

// A key protected by a pass phrase is refused: without this OpenSSL would ask
// for the phrase on the terminal, and a server has nobody to answer.
int NoPassPhrase(char*, int, int, void*) {
  return 0;
}

[[noreturn]] void Fail(const std::string& What) {
  const std::string reason = detail::TakeSslErrorText();
  throw core::Exception(What + (reason.empty() ? std::string() : ": " + reason));
}

}  // namespace

std::shared_ptr<const TSslServerContext> TSslServerContext::Load(const std::string& CertFile,
                                                                 const std::string& KeyFile) {
  ERR_clear_error();
  SSL_CTX* raw = SSL_CTX_new(TLS_server_method());
  if (raw == nullptr) Fail("TLS context");
  // Owned from here on, also when a file below fails.
  std::shared_ptr<const TSslServerContext> context(new TSslServerContext(raw));
  SSL_CTX_set_min_proto_version(raw, TLS1_2_VERSION);
  // A client asking for handshake after handshake on one connection costs the
  // server far more than it costs the client.
  SSL_CTX_set_options(raw, SSL_OP_NO_RENEGOTIATION);
  SSL_CTX_set_alpn_select_cb(raw, SelectHttp11, nullptr);
  SSL_CTX_set_default_passwd_cb(raw, NoPassPhrase);
  if (SSL_CTX_use_certificate_chain_file(raw, CertFile.c_str()) != 1)
    Fail("cannot load the certificate " + CertFile);
  // Also refuses a key that is not the certificate's ("key values mismatch").
  if (SSL_CTX_use_PrivateKey_file(raw, KeyFile.c_str(), SSL_FILETYPE_PEM) != 1)
    Fail("cannot load the key " + KeyFile);
  return context;
}

TSslServerContext::~TSslServerContext() {
  SSL_CTX_free(FContext);
}

}  // namespace net
