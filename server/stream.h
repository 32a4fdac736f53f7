// Stream: the bytes of one connection, over a socket as it is (the Unix socket, plain TCP on
// loopback) or through TLS. The connection's framing (FrameReader, Connection) reads and writes
// through it without waiting; whoever serves the connection waits for the socket (fd()) in
// epoll or poll when a call says it would block.
//
// A plain stream looks at received bytes without taking them (MSG_PEEK) and takes them out once
// their answers have gone (discard); see FrameReader for why. A TLS stream cannot leave bytes in
// the socket: what it decrypts is taken at once, and discard does nothing.
//
// A stream uses its socket and does not own it; nothing it does waits, and a peer that went
// away is an error, never a SIGPIPE. Not thread-safe: used by the one thread serving the
// connection at the moment.
#pragma once

#include <openssl/ssl.h>

#include <cstddef>
#include <memory>
#include <string>

#include "core/error.h"

namespace kavrel {

class Stream {
 public:
  // What one read or write did: bytes moved; none with `end`: the peer closed its side (reads
  // only); none without: nothing can move before the socket is ready again.
  struct Moved {
    std::size_t bytes = 0;
    bool end = false;
  };

  explicit Stream(int fd) : fd_(fd) {}
  virtual ~Stream() = default;
  Stream(const Stream&) = delete;
  Stream& operator=(const Stream&) = delete;

  int fd() const { return fd_; }

  // Carries on with the stream's opening (the TLS handshake) without waiting: true once it is
  // open, false while it waits for the socket (wants_write() says for which direction).
  virtual Result<bool, IpcError> open() { return true; }
  // Reads up to n bytes into buf; a plain stream leaves them in the socket (peek).
  virtual Result<Moved, IpcError> read(char* buf, std::size_t n) = 0;
  // Takes n bytes read before out of the socket (a plain stream's; nothing for TLS).
  virtual Result<void, IpcError> discard(std::size_t n) = 0;
  virtual Result<Moved, IpcError> write(const char* data, std::size_t n) = 0;
  // Whether read() leaves the bytes in the socket until discard().
  virtual bool peeks() const = 0;
  // TLS may have to send to go on reading, and to receive to go on sending: whether the last
  // read (or open) that would block waits for room to send, and the last write that would block
  // for input.
  virtual bool read_wants_write() const { return false; }
  virtual bool write_wants_read() const { return false; }
  // Once open: the subject common name of the client certificate the handshake verified, or
  // empty (no certificate, or a plain stream).
  virtual std::string certificate_user() const { return {}; }

 private:
  int fd_;
};

// The socket as it is.
class PlainStream final : public Stream {
 public:
  using Stream::Stream;
  Result<Moved, IpcError> read(char* buf, std::size_t n) override;
  Result<void, IpcError> discard(std::size_t n) override;
  Result<Moved, IpcError> write(const char* data, std::size_t n) override;
  bool peeks() const override { return true; }
};

// TLS on the server's side of an accepted socket, under ctx (shared: a reload of the
// certificates makes a new one for later connections).
class TlsStream final : public Stream {
 public:
  TlsStream(int fd, std::shared_ptr<SSL_CTX> ctx);
  ~TlsStream() override;
  Result<bool, IpcError> open() override;
  Result<Moved, IpcError> read(char* buf, std::size_t n) override;
  Result<void, IpcError> discard(std::size_t) override { return {}; }
  Result<Moved, IpcError> write(const char* data, std::size_t n) override;
  bool peeks() const override { return false; }
  bool read_wants_write() const override { return read_wants_write_; }
  bool write_wants_read() const override { return write_wants_read_; }
  std::string certificate_user() const override;

 private:
  // Turns the result of an SSL call that moved nothing into would-block (noting in wants_other
  // whether a read waits to send, or a write to receive), the end of input, or an error.
  Result<Moved, IpcError> stalled(int ret, const char* what, bool reading, bool& wants_other);

  std::shared_ptr<SSL_CTX> ctx_;
  SSL* ssl_ = nullptr;
  bool read_wants_write_ = false;
  bool write_wants_read_ = false;
};

}  // namespace kavrel
