#include "server/stream.h"

#include <openssl/err.h>
#include <openssl/x509.h>
#include <sys/socket.h>

#include <cerrno>
#include <string>
#include <utility>

#include <fmt/format.h>

#include "protocol/openssl_errors.h"

namespace kavrel {
namespace {

// The socket under TLS, written with send(MSG_NOSIGNAL): a peer that went away is an error to
// report, never a SIGPIPE that ends the process.
int socket_write(BIO* bio, const char* data, int n) {
  BIO_clear_retry_flags(bio);
  const int fd = static_cast<const Stream*>(BIO_get_data(bio))->fd();
  const ssize_t sent = ::send(fd, data, static_cast<std::size_t>(n), MSG_NOSIGNAL | MSG_DONTWAIT);
  if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
    BIO_set_retry_write(bio);
  }
  return static_cast<int>(sent);
}

int socket_read(BIO* bio, char* data, int n) {
  BIO_clear_retry_flags(bio);
  const int fd = static_cast<const Stream*>(BIO_get_data(bio))->fd();
  const ssize_t got = ::recv(fd, data, static_cast<std::size_t>(n), MSG_DONTWAIT);
  if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
    BIO_set_retry_read(bio);
  }
  return static_cast<int>(got);
}

long socket_ctrl(BIO* /*bio*/, int cmd, long /*num*/, void* /*ptr*/) {
  return cmd == BIO_CTRL_FLUSH ? 1 : 0;
}

const BIO_METHOD* socket_method() {
  static BIO_METHOD* method = [] {
    BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "kavrel socket");
    BIO_meth_set_write(m, socket_write);
    BIO_meth_set_read(m, socket_read);
    BIO_meth_set_ctrl(m, socket_ctrl);
    return m;
  }();
  return method;
}

}  // namespace

// ---- PlainStream ----------------------------------------------------------------------------

Result<Stream::Moved, IpcError> PlainStream::read(char* buf, std::size_t n) {
  for (;;) {
    const ssize_t got = ::recv(fd(), buf, n, MSG_DONTWAIT | MSG_PEEK);
    if (got > 0) return Moved{static_cast<std::size_t>(got), false};
    if (got == 0) return Moved{0, true};
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return Moved{};
    return std::unexpected(IpcError::io(errno));
  }
}

Result<void, IpcError> PlainStream::discard(std::size_t n) {
  char sink[4096];
  while (n > 0) {
    const ssize_t got = ::recv(fd(), sink, std::min(n, sizeof sink), MSG_DONTWAIT);
    if (got < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(IpcError::io(errno));
    }
    // The bytes were looked at, so they are there: nothing else reads this socket.
    if (got == 0) break;
    n -= static_cast<std::size_t>(got);
  }
  return {};
}

Result<Stream::Moved, IpcError> PlainStream::write(const char* data, std::size_t n) {
  for (;;) {
    const ssize_t sent = ::send(fd(), data, n, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent >= 0) return Moved{static_cast<std::size_t>(sent), false};
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return Moved{};
    return std::unexpected(IpcError::io(errno));
  }
}

// ---- TlsStream ------------------------------------------------------------------------------

TlsStream::TlsStream(int fd, std::shared_ptr<SSL_CTX> ctx)
    : Stream(fd), ctx_(std::move(ctx)), ssl_(SSL_new(ctx_.get())) {
  // The socket is used without blocking; SSL_new fails only when out of memory, and open()
  // then reports it.
  if (ssl_ == nullptr) return;
  BIO* bio = BIO_new(socket_method());
  if (bio == nullptr) {
    SSL_free(std::exchange(ssl_, nullptr));
    return;
  }
  BIO_set_data(bio, static_cast<Stream*>(this));
  BIO_set_init(bio, 1);
  SSL_set_bio(ssl_, bio, bio);  // owned by ssl_ from here
}

TlsStream::~TlsStream() {
  if (ssl_ != nullptr && SSL_is_init_finished(ssl_)) {
    (void)SSL_shutdown(ssl_);  // one try: the close_notify goes out if the socket takes it
  }
  ERR_clear_error();
  SSL_free(ssl_);
}

Result<bool, IpcError> TlsStream::open() {
  if (ssl_ == nullptr) return std::unexpected(IpcError::io_message("TLS: out of memory"));
  ERR_clear_error();
  const int ret = SSL_accept(ssl_);
  if (ret == 1) {
    read_wants_write_ = false;
    return true;
  }
  auto moved = stalled(ret, "handshake failed", true, read_wants_write_);
  if (!moved) return std::unexpected(std::move(moved.error()));
  if (moved->end) {
    return std::unexpected(IpcError::io_message("TLS handshake failed: the peer closed"));
  }
  return false;
}

Result<Stream::Moved, IpcError> TlsStream::read(char* buf, std::size_t n) {
  ERR_clear_error();
  std::size_t got = 0;
  const int ret = SSL_read_ex(ssl_, buf, n, &got);
  if (ret == 1) return Moved{got, false};
  return stalled(ret, "read failed", true, read_wants_write_);
}

Result<Stream::Moved, IpcError> TlsStream::write(const char* data, std::size_t n) {
  if (n == 0) return Moved{};
  ERR_clear_error();
  std::size_t sent = 0;
  const int ret = SSL_write_ex(ssl_, data, n, &sent);
  if (ret == 1) return Moved{sent, false};
  return stalled(ret, "write failed", false, write_wants_read_);
}

std::string TlsStream::certificate_user() const {
  if (ssl_ == nullptr || SSL_get_verify_result(ssl_) != X509_V_OK) return {};
  X509* cert = SSL_get0_peer_certificate(ssl_);
  if (cert == nullptr) return {};
  char name[256] = {};
  const int len =
      X509_NAME_get_text_by_NID(X509_get_subject_name(cert), NID_commonName, name, sizeof name);
  if (len <= 0 || static_cast<std::size_t>(len) >= sizeof name) return {};
  return std::string(name, static_cast<std::size_t>(len));
}

Result<Stream::Moved, IpcError> TlsStream::stalled(int ret, const char* what, bool reading,
                                                   bool& wants_other) {
  switch (SSL_get_error(ssl_, ret)) {
    case SSL_ERROR_WANT_READ: wants_other = !reading; return Moved{};
    case SSL_ERROR_WANT_WRITE: wants_other = reading; return Moved{};
    case SSL_ERROR_ZERO_RETURN: return Moved{0, true};  // the peer's close_notify
    case SSL_ERROR_SYSCALL: {
      const int err = errno;
      ERR_clear_error();
      // A peer that closed without close_notify: the end of input, as on a plain socket.
      if (ret == 0 || err == 0) return Moved{0, true};
      return std::unexpected(IpcError::io(err));
    }
    default:
      return std::unexpected(
          IpcError::io_message(fmt::format("TLS {}: {}", what, openssl_errors())));
  }
}

}  // namespace kavrel
