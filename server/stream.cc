#include "server/stream.h"

#include <openssl/err.h>
#include <openssl/x509.h>
#include <sys/socket.h>

#include <cerrno>
#include <string>

#include <fmt/format.h>

namespace kavrel {
namespace {

// The text of OpenSSL's oldest queued error (and the queue cleared), or `fallback`.
std::string ssl_error_text(const char* fallback) {
  const unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0) return fallback;
  char text[256];
  ERR_error_string_n(code, text, sizeof text);
  return text;
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
  if (ssl_ != nullptr) SSL_set_fd(ssl_, this->fd());
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
          IpcError::io_message(fmt::format("TLS {}: {}", what, ssl_error_text("unknown error"))));
  }
}

}  // namespace kavrel
