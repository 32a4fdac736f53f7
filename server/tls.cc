#include "server/tls.h"

#include <fmt/format.h>

#include "core/text.h"
#include "protocol/openssl_errors.h"

namespace kavrel {
namespace {

Result<std::shared_ptr<SSL_CTX>, std::string> build(const TlsFiles& files) {
  ERR_clear_error();
  std::shared_ptr<SSL_CTX> ctx(SSL_CTX_new(TLS_server_method()), SSL_CTX_free);
  if (!ctx) return std::unexpected("TLS: " + openssl_errors());
  SSL_CTX* c = ctx.get();
  SSL_CTX_set_min_proto_version(c, TLS1_2_VERSION);
  SSL_CTX_set_options(c, SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION |
                             SSL_OP_CIPHER_SERVER_PREFERENCE | SSL_OP_IGNORE_UNEXPECTED_EOF);
  // Writes may resume with another buffer (the connection's grows) and may be partial.
  SSL_CTX_set_mode(c, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  // No resumption: the clients keep their connections, and every handshake would otherwise
  // seal and send tickets nobody uses.
  SSL_CTX_set_session_cache_mode(c, SSL_SESS_CACHE_OFF);
  SSL_CTX_set_num_tickets(c, 0);
  SSL_CTX_set_options(c, SSL_OP_NO_TICKET);
  const std::string cert = files.cert.string();
  if (SSL_CTX_use_certificate_chain_file(c, cert.c_str()) != 1) {
    return std::unexpected(
        fmt::format("TLS certificate {}: {}", debug_quote(cert), openssl_errors()));
  }
  const std::string key = files.key.string();
  if (SSL_CTX_use_PrivateKey_file(c, key.c_str(), SSL_FILETYPE_PEM) != 1) {
    return std::unexpected(fmt::format("TLS key {}: {}", debug_quote(key), openssl_errors()));
  }
  if (SSL_CTX_check_private_key(c) != 1) {
    return std::unexpected(fmt::format("TLS key {} does not match the certificate {}",
                                       debug_quote(key), debug_quote(cert)));
  }
  if (files.ca) {
    const std::string ca = files.ca->string();
    if (SSL_CTX_load_verify_locations(c, ca.c_str(), nullptr) != 1) {
      return std::unexpected(fmt::format("TLS CA {}: {}", debug_quote(ca), openssl_errors()));
    }
    // The CAs named to clients, so that they pick a certificate signed by one of them.
    if (STACK_OF(X509_NAME)* names = SSL_load_client_CA_file(ca.c_str())) {
      SSL_CTX_set_client_CA_list(c, names);
    }
    SSL_CTX_set_verify(c,
                       files.require_client_cert ? SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT
                                                 : SSL_VERIFY_PEER,
                       nullptr);
  }
  ERR_clear_error();
  return ctx;
}

}  // namespace

Result<std::shared_ptr<TlsContext>, std::string> TlsContext::load(TlsFiles files) {
  if (files.require_client_cert && !files.ca) {
    return std::unexpected("requiring client certificates needs --tls-ca");
  }
  auto ctx = build(files);
  if (!ctx) return std::unexpected(std::move(ctx.error()));
  std::shared_ptr<TlsContext> tls(new TlsContext(std::move(files)));
  tls->current_ = std::move(*ctx);
  return tls;
}

std::shared_ptr<SSL_CTX> TlsContext::current() const {
  std::scoped_lock lock(mu_);
  return current_;
}

Result<void, std::string> TlsContext::reload() {
  auto ctx = build(files_);
  if (!ctx) return std::unexpected(std::move(ctx.error()));
  std::scoped_lock lock(mu_);
  current_ = std::move(*ctx);
  return {};
}

}  // namespace kavrel
