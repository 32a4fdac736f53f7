// TLS for the client's TCP connections: a context made once per Client (the CA to trust, the
// client certificate, TLS 1.2 at least) and the session of one connection over its socket.
//
// The session reads and writes the socket through a BIO of its own: send() with MSG_NOSIGNAL,
// so that a peer that has gone is an error and never a SIGPIPE, and recv(); each call either
// waits (bounded by the socket's SO_RCVTIMEO / SO_SNDTIMEO) or does not (MSG_DONTWAIT), so the
// socket itself stays blocking, as the client's other paths want it. The session does not own
// the socket. Not thread-safe, except that another thread may shut the socket down at any time
// (a call then fails or sees the end of the stream).
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "core/error.h"

struct ssl_ctx_st;
struct ssl_st;

namespace kavrel {

class ClientTlsContext {
 public:
  // ca_file empty: the system's default store. cert_file and key_file: both or neither. The
  // error says which file could not be used, and why.
  static Result<std::shared_ptr<const ClientTlsContext>, std::string> load(
      const std::filesystem::path& ca_file, const std::filesystem::path& cert_file,
      const std::filesystem::path& key_file);
  ~ClientTlsContext();
  ClientTlsContext(const ClientTlsContext&) = delete;
  ClientTlsContext& operator=(const ClientTlsContext&) = delete;

  ssl_ctx_st* get() const { return ctx_; }

 private:
  explicit ClientTlsContext(ssl_ctx_st* ctx) : ctx_(ctx) {}
  ssl_ctx_st* ctx_;
};

class TlsLink {
 public:
  // What one read or write did.
  enum class Status : std::uint8_t {
    Done,        // bytes moved (at least one)
    WouldBlock,  // without waiting: nothing can move now; waiting: the socket's time-out passed
    End,         // reads: the server closed the connection (its close alert, or the stream's end)
    Failed,      // error(): the errno (EPROTO for a TLS failure, whose reason is error_text())
  };
  struct Outcome {
    Status status = Status::Done;
    std::size_t bytes = 0;
    int error = 0;
  };

  // The handshake over fd, a connected socket, checking the server's certificate for name (a DNS
  // name or an IP address). The error text says why it failed ("the server's certificate does
  // not verify: hostname mismatch", ...).
  static Result<std::unique_ptr<TlsLink>, std::string> handshake(
      std::shared_ptr<const ClientTlsContext> context, int fd, std::string_view name);
  ~TlsLink();
  TlsLink(const TlsLink&) = delete;
  TlsLink& operator=(const TlsLink&) = delete;

  Outcome read(char* buf, std::size_t n, bool wait);
  Outcome write(const char* data, std::size_t n, bool wait);
  // Whether the server has closed the connection, looking without waiting: its close alert, the
  // stream's end or an error. Bytes of an answer waiting are no close.
  bool closed_by_peer();
  // Decrypted bytes are held that the socket no longer shows (poll() would not wake for them).
  bool has_buffered() const;
  // Sends the close alert without waiting; errors are ignored (the connection is going).
  void close_notify();
  // The reason of the last Failed outcome with EPROTO.
  const std::string& error_text() const { return error_text_; }

  // The state of the BIO between the session and the socket.
  struct Socket {
    int fd = -1;
    bool wait = true;
    int last_errno = 0;
  };

 private:
  TlsLink() = default;
  Outcome outcome_of(int rc, bool reading);

  std::shared_ptr<const ClientTlsContext> context_;
  std::unique_ptr<Socket> socket_ = std::make_unique<Socket>();  // the BIO points at it
  ssl_st* ssl_ = nullptr;
  // After the end of the stream or a failure, the session is not used again (OpenSSL forbids
  // it): reads see the end, writes fail.
  bool broken_ = false;
  std::string error_text_;
};

}  // namespace kavrel
