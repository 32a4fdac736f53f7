// TlsContext: the server's TLS settings, built from certificate and key files and rebuilt from
// them on demand (a reload without a restart). Connections take the context current when they
// are accepted; a reload changes it for later connections only.
//
// Every context offers TLS 1.2 at least (1.3 preferred: the peers agree on the newest both
// speak), no compression, no renegotiation, and the server's choice of cipher. With a CA file,
// clients are asked for a certificate signed by it; with require_client_cert, a client without
// one fails the handshake.
#pragma once

#include <openssl/ssl.h>

#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "core/error.h"

namespace kavrel {

struct TlsFiles {
  std::filesystem::path cert;               // PEM: the server's certificate, then its chain
  std::filesystem::path key;                // PEM: its private key
  std::optional<std::filesystem::path> ca;  // PEM: the CAs client certificates are checked by
  bool require_client_cert = false;         // needs ca
};

class TlsContext {
 public:
  // Builds the first context; the error text names the file and what is wrong with it.
  static Result<std::shared_ptr<TlsContext>, std::string> load(TlsFiles files);

  // The context for a connection accepted now. Thread-safe.
  std::shared_ptr<SSL_CTX> current() const;
  // Builds a new context from the same files and makes it current; on an error the current one
  // stays and the error text is returned. Thread-safe.
  Result<void, std::string> reload();

 private:
  explicit TlsContext(TlsFiles files) : files_(std::move(files)) {}

  const TlsFiles files_;
  mutable std::mutex mu_;
  std::shared_ptr<SSL_CTX> current_;  // guarded by mu_
};

}  // namespace kavrel
