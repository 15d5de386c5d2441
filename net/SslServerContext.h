// The accepting side's TLS setting: a certificate (with its chain) and its key,
// loaded once and shared by every connection a server accepts. TLS 1.2 at least;
// "http/1.1" is chosen when the client offers it, since that is all a server here
// speaks. Immutable once loaded: any thread may use it.
#pragma once

#include <memory>
#include <string>

typedef struct ssl_ctx_st SSL_CTX;

namespace net {

class TSslServerContext {
 public:
  // Raises core::Exception naming the file that failed and why.
  static std::shared_ptr<const TSslServerContext> Load(const std::string& CertFile,
                                                       const std::string& KeyFile);
  ~TSslServerContext();
  TSslServerContext(const TSslServerContext&) = delete;
  TSslServerContext& operator=(const TSslServerContext&) = delete;

  SSL_CTX* Handle() const { return FContext; }

 private:
  explicit TSslServerContext(SSL_CTX* Context) : FContext(Context) {}
  SSL_CTX* FContext;
};

}  // namespace net
