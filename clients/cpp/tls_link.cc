#include "clients/cpp/tls_link.h"

#include <arpa/inet.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <utility>

#include <fmt/format.h>

#include "core/text.h"

namespace kavrel {
namespace {

// The reason of the last OpenSSL error of this thread (its queue is emptied).
std::string openssl_reason() {
  const unsigned long e = ERR_peek_last_error();
  std::string text;
  if (e != 0) {
    const char* reason = ERR_reason_error_string(e);
    if (reason != nullptr) {
      text = reason;
    } else {
      char buf[256];
      ERR_error_string_n(e, buf, sizeof buf);
      text = buf;
    }
  }
  ERR_clear_error();
  return text.empty() ? std::string("unknown TLS error") : text;
}

// ---- The BIO between a session and its socket ----------------------------------------------

int bio_write(BIO* bio, const char* data, int len) {
  auto* s = static_cast<TlsLink::Socket*>(BIO_get_data(bio));
  BIO_clear_retry_flags(bio);
  ssize_t n;
  do {
    // MSG_NOSIGNAL: a peer that has gone is EPIPE here, not a signal that ends the process.
    n = ::send(s->fd, data, static_cast<std::size_t>(len),
               MSG_NOSIGNAL | (s->wait ? 0 : MSG_DONTWAIT));
  } while (n < 0 && errno == EINTR);
  if (n >= 0) return static_cast<int>(n);
  s->last_errno = errno;
  if (errno == EAGAIN || errno == EWOULDBLOCK) BIO_set_retry_write(bio);
  return -1;
}

int bio_read(BIO* bio, char* data, int len) {
  auto* s = static_cast<TlsLink::Socket*>(BIO_get_data(bio));
  BIO_clear_retry_flags(bio);
  ssize_t n;
  do {
    n = ::recv(s->fd, data, static_cast<std::size_t>(len), s->wait ? 0 : MSG_DONTWAIT);
  } while (n < 0 && errno == EINTR);
  if (n >= 0) return static_cast<int>(n);  // 0: the end of the stream
  s->last_errno = errno;
  if (errno == EAGAIN || errno == EWOULDBLOCK) BIO_set_retry_read(bio);
  return -1;
}

long bio_ctrl(BIO* /*bio*/, int cmd, long /*num*/, void* /*ptr*/) {
  // Writes go straight to the socket: there is nothing to flush. Nothing else is supported.
  return cmd == BIO_CTRL_FLUSH ? 1 : 0;
}

int bio_create(BIO* bio) {
  BIO_set_init(bio, 1);
  return 1;
}

const BIO_METHOD* socket_method() {
  static BIO_METHOD* const method = [] {
    BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "kavrel socket");
    if (m == nullptr) return m;
    BIO_meth_set_write(m, bio_write);
    BIO_meth_set_read(m, bio_read);
    BIO_meth_set_ctrl(m, bio_ctrl);
    BIO_meth_set_create(m, bio_create);
    return m;
  }();
  return method;
}

// A file OpenSSL is to read, opened here first so that a missing or unreadable one is named
// with the system's reason rather than OpenSSL's.
std::optional<std::string> unreadable(const char* what, const std::filesystem::path& file) {
  std::FILE* f = std::fopen(file.c_str(), "r");
  if (f == nullptr) {
    return fmt::format("cannot read the {} {}: {}", what, debug_quote(file.native()),
                       os_error_text(errno));
  }
  std::fclose(f);
  return std::nullopt;
}

bool is_ip_address(const std::string& name) {
  unsigned char buf[sizeof(in6_addr)];
  return ::inet_pton(AF_INET, name.c_str(), buf) == 1 ||
         ::inet_pton(AF_INET6, name.c_str(), buf) == 1;
}

}  // namespace

// ---- The context ------------------------------------------------------------------------------

Result<std::shared_ptr<const ClientTlsContext>, std::string> ClientTlsContext::load(
    const std::filesystem::path& ca_file, const std::filesystem::path& cert_file,
    const std::filesystem::path& key_file) {
  ERR_clear_error();
  SSL_CTX* raw = SSL_CTX_new(TLS_client_method());
  if (raw == nullptr) return std::unexpected("cannot make a TLS context: " + openssl_reason());
  std::shared_ptr<const ClientTlsContext> ctx(new ClientTlsContext(raw));
  const auto fail = [](std::string text) { return std::unexpected(std::move(text)); };
  SSL_CTX_set_min_proto_version(raw, TLS1_2_VERSION);
  SSL_CTX_set_verify(raw, SSL_VERIFY_PEER, nullptr);
  // Partial writes let a write that would block report what went (the pipelined sends); the
  // server's end without its close alert reads as the end of the stream (frames say whether
  // an answer was whole).
  SSL_CTX_set_mode(raw, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  SSL_CTX_set_options(raw, SSL_OP_IGNORE_UNEXPECTED_EOF);
  // A key file protected by a passphrase is refused, never asked for on the terminal.
  SSL_CTX_set_default_passwd_cb(raw, [](char*, int, int, void*) { return 0; });
  if (ca_file.empty()) {
    if (SSL_CTX_set_default_verify_paths(raw) != 1) {
      return fail("cannot load the system's CA certificates: " + openssl_reason());
    }
  } else {
    if (auto bad = unreadable("CA file", ca_file)) return fail(std::move(*bad));
    if (SSL_CTX_load_verify_locations(raw, ca_file.c_str(), nullptr) != 1) {
      return fail(fmt::format("cannot use the CA file {}: {}", debug_quote(ca_file.native()),
                              openssl_reason()));
    }
  }
  if (cert_file.empty() != key_file.empty()) {
    return fail("a client certificate goes with its key: give both files, or neither");
  }
  if (!cert_file.empty()) {
    if (auto bad = unreadable("certificate file", cert_file)) return fail(std::move(*bad));
    if (auto bad = unreadable("key file", key_file)) return fail(std::move(*bad));
    if (SSL_CTX_use_certificate_chain_file(raw, cert_file.c_str()) != 1) {
      return fail(fmt::format("cannot use the certificate file {}: {}",
                              debug_quote(cert_file.native()), openssl_reason()));
    }
    if (SSL_CTX_use_PrivateKey_file(raw, key_file.c_str(), SSL_FILETYPE_PEM) != 1) {
      return fail(fmt::format("cannot use the key file {}: {}", debug_quote(key_file.native()),
                              openssl_reason()));
    }
    if (SSL_CTX_check_private_key(raw) != 1) {
      return fail(fmt::format("the key file {} does not hold the certificate's key",
                              debug_quote(key_file.native())));
    }
  }
  return ctx;
}

ClientTlsContext::~ClientTlsContext() { SSL_CTX_free(ctx_); }

// ---- The session ------------------------------------------------------------------------------

Result<std::unique_ptr<TlsLink>, std::string> TlsLink::handshake(
    std::shared_ptr<const ClientTlsContext> context, int fd, std::string_view name) {
  ERR_clear_error();
  std::unique_ptr<TlsLink> link(new TlsLink());
  link->context_ = std::move(context);
  link->socket_->fd = fd;
  link->ssl_ = SSL_new(link->context_->get());
  const BIO_METHOD* method = socket_method();
  BIO* bio = method != nullptr ? BIO_new(method) : nullptr;
  if (link->ssl_ == nullptr || bio == nullptr) {
    BIO_free(bio);
    return std::unexpected("cannot make a TLS session: " + openssl_reason());
  }
  BIO_set_data(bio, link->socket_.get());
  SSL_set_bio(link->ssl_, bio, bio);  // the session owns the BIO; the BIO does not own the fd

  const std::string checked(name);
  X509_VERIFY_PARAM* param = SSL_get0_param(link->ssl_);
  X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
  if (is_ip_address(checked)) {
    // An address is checked against the certificate's IP entries (and sent as no server name).
    if (X509_VERIFY_PARAM_set1_ip_asc(param, checked.c_str()) != 1) {
      return std::unexpected("cannot check the address " + checked + ": " + openssl_reason());
    }
  } else if (SSL_set1_host(link->ssl_, checked.c_str()) != 1 ||
             SSL_set_tlsext_host_name(link->ssl_, checked.c_str()) != 1) {
    return std::unexpected("cannot check the name " + debug_quote(checked) + ": " +
                           openssl_reason());
  }

  const int rc = SSL_connect(link->ssl_);
  if (rc == 1) return link;
  if (const long verified = SSL_get_verify_result(link->ssl_); verified != X509_V_OK) {
    ERR_clear_error();
    return std::unexpected(fmt::format("the server's certificate does not verify for {}: {}",
                                       checked, X509_verify_cert_error_string(verified)));
  }
  const Outcome o = link->outcome_of(rc, true);
  switch (o.status) {
    case Status::WouldBlock: return std::unexpected(std::string("timed out"));
    case Status::End: return std::unexpected(std::string("the server closed the connection"));
    case Status::Failed:
      return std::unexpected(o.error == EPROTO ? link->error_text_ : os_error_text(o.error));
    case Status::Done: break;
  }
  return std::unexpected(std::string("the handshake did not complete"));
}

TlsLink::~TlsLink() { SSL_free(ssl_); }

TlsLink::Outcome TlsLink::outcome_of(int rc, bool reading) {
  const int err = SSL_get_error(ssl_, rc);
  switch (err) {
    case SSL_ERROR_ZERO_RETURN: broken_ = true; return {Status::End, 0, 0};
    case SSL_ERROR_WANT_READ:
    case SSL_ERROR_WANT_WRITE: ERR_clear_error(); return {Status::WouldBlock, 0, 0};
    case SSL_ERROR_SYSCALL: {
      broken_ = true;
      const int e = socket_->last_errno;
      ERR_clear_error();
      if (e == 0) return reading ? Outcome{Status::End, 0, 0} : Outcome{Status::Failed, 0, EPIPE};
      return {Status::Failed, 0, e};
    }
    default:
      broken_ = true;
      error_text_ = openssl_reason();
      return {Status::Failed, 0, EPROTO};
  }
}

TlsLink::Outcome TlsLink::read(char* buf, std::size_t n, bool wait) {
  if (broken_) return {Status::End, 0, 0};
  socket_->wait = wait;
  socket_->last_errno = 0;
  ERR_clear_error();
  const int got = SSL_read(ssl_, buf, static_cast<int>(std::min<std::size_t>(n, INT_MAX)));
  if (got > 0) return {Status::Done, static_cast<std::size_t>(got), 0};
  return outcome_of(got, true);
}

TlsLink::Outcome TlsLink::write(const char* data, std::size_t n, bool wait) {
  if (broken_) return {Status::Failed, 0, EPIPE};
  socket_->wait = wait;
  socket_->last_errno = 0;
  ERR_clear_error();
  const int put = SSL_write(ssl_, data, static_cast<int>(std::min<std::size_t>(n, INT_MAX)));
  if (put > 0) return {Status::Done, static_cast<std::size_t>(put), 0};
  return outcome_of(put, false);
}

bool TlsLink::closed_by_peer() {
  if (broken_) return true;
  socket_->wait = false;
  socket_->last_errno = 0;
  ERR_clear_error();
  char c;
  const int got = SSL_peek(ssl_, &c, 1);
  if (got > 0) return false;
  return outcome_of(got, true).status != Status::WouldBlock;
}

bool TlsLink::has_buffered() const { return SSL_pending(ssl_) > 0; }

void TlsLink::close_notify() {
  if (broken_) return;
  socket_->wait = false;
  ERR_clear_error();
  (void)SSL_shutdown(ssl_);
  ERR_clear_error();
}

}  // namespace kavrel
