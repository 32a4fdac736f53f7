// Fuzzes a client connection end to end inside the process: the input is the byte stream a client
// sends. It goes through one end of a socket pair into the connection loop (frame reading, the
// request dispatcher, every handler) against one Database in a scratch directory created once;
// the other end takes the responses. Properties: the loop ends (cleanly at the end of the input,
// or with a connection error), the responses are well-formed frames, one per complete request,
// and the client's open transactions are gone afterwards.
//
// Built with KAVREL_FUZZ_TLS (the target fuzz_tls_connection) the same stream goes through TLS:
// the client does a handshake, writes the input inside it and ends with a close_notify; the
// server serves a TlsStream.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <thread>

#include "server/client_handler.h"
#include "server/connection.h"
#include "server/server_stats.h"
#include "storage/database.h"
#include "tests/fuzz/fuzz_support.h"

#ifdef KAVREL_FUZZ_TLS
#include <openssl/err.h>
#include <openssl/ssl.h>

#include "server/stream.h"
#include "server/tls.h"
#include "tests/support/test_certs.h"
#endif

namespace {

using namespace kavrel;

struct Env {
  std::shared_ptr<Database> db;
  std::shared_ptr<ServerStats> stats = std::make_shared<ServerStats>();
#ifdef KAVREL_FUZZ_TLS
  std::shared_ptr<TlsContext> tls;
  SSL_CTX* client = nullptr;
#endif
};

Env& env() {
  static Env* e = [] {
    auto* created = new Env;
    auto db = Database::open(fuzz::scratch_dir() / "db");
    FUZZ_CHECK(db.has_value());
    created->db = std::move(*db);
#ifdef KAVREL_FUZZ_TLS
    // The client's side writes through OpenSSL's own socket calls: a server that ended the
    // connection must not end the fuzzer.
    std::signal(SIGPIPE, SIG_IGN);
    std::filesystem::create_directories(fuzz::scratch_dir() / "certs");
    const auto certs = testing::make_test_certs(fuzz::scratch_dir() / "certs");
    auto tls = TlsContext::load(TlsFiles{certs.server_cert, certs.server_key, {}, false});
    FUZZ_CHECK(tls.has_value());
    created->tls = std::move(*tls);
    created->client = SSL_CTX_new(TLS_client_method());
    FUZZ_CHECK(created->client != nullptr);
    FUZZ_CHECK(SSL_CTX_load_verify_locations(created->client, certs.ca_cert.c_str(), nullptr) == 1);
    SSL_CTX_set_verify(created->client, SSL_VERIFY_PEER, nullptr);
#endif
    return created;
  }();
  return *e;
}

#ifdef KAVREL_FUZZ_TLS
// The client's side over TLS: the handshake, the input, a close_notify, then every response
// until the server's close_notify or the end. Non-blocking, so neither side stalls the other.
Bytes client_side(int fd, BytesView input) {
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
  SSL* ssl = SSL_new(env().client);
  SSL_set_fd(ssl, fd);
  // What a call that would block waits for.
  const auto wait_for = [&](int ret) {
    const int err = SSL_get_error(ssl, ret);
    if (err != SSL_ERROR_WANT_READ && err != SSL_ERROR_WANT_WRITE) return false;
    pollfd p{fd, static_cast<short>(err == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT), 0};
    while (::poll(&p, 1, -1) < 0 && errno == EINTR) {
    }
    return true;
  };
  Bytes received;
  int ret = 0;
  while ((ret = SSL_connect(ssl)) != 1) {
    FUZZ_CHECK(wait_for(ret));  // the test's own certificates: the handshake holds
  }
  bool sending = true;
  char buf[65536];
  for (;;) {
    if (sending && input.empty()) {
      (void)SSL_shutdown(ssl);  // close_notify: the end of the input
      sending = false;
    }
    if (sending) {
      std::size_t n = 0;
      if (SSL_write_ex(ssl, input.data(), input.size(), &n) == 1) {
        input.remove_prefix(n);
      } else if (SSL_get_error(ssl, 0) != SSL_ERROR_WANT_WRITE &&
                 SSL_get_error(ssl, 0) != SSL_ERROR_WANT_READ) {
        sending = false;  // the server has gone
      }
    }
    std::size_t n = 0;
    if (SSL_read_ex(ssl, buf, sizeof buf, &n) == 1) {
      received.append(buf, n);
      continue;
    }
    const int err = SSL_get_error(ssl, 0);
    if (err != SSL_ERROR_WANT_READ && err != SSL_ERROR_WANT_WRITE) break;  // the end
    // Wait for input, or for room while there is more to send.
    pollfd p{fd, static_cast<short>(POLLIN | (sending ? POLLOUT : 0)), 0};
    while (::poll(&p, 1, -1) < 0 && errno == EINTR) {
    }
  }
  ERR_clear_error();
  SSL_free(ssl);
  return received;
}
#else

// The client's side: sends the input, then half-closes, and reads every response until the
// server closes. Non-blocking both ways, so neither side can stall the other.
Bytes client_side(int fd, BytesView input) {
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
  Bytes received;
  bool sending = true;
  char buf[65536];
  for (;;) {
    if (sending && input.empty()) {
      ::shutdown(fd, SHUT_WR);
      sending = false;
    }
    pollfd p{fd, static_cast<short>(POLLIN | (sending ? POLLOUT : 0)), 0};
    if (::poll(&p, 1, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (sending && (p.revents & (POLLOUT | POLLERR | POLLHUP))) {
      const ssize_t n = ::send(fd, input.data(), input.size(), MSG_NOSIGNAL);
      if (n > 0) {
        input.remove_prefix(static_cast<std::size_t>(n));
      } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
        sending = false;  // the server has gone
      }
    }
    if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
      const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
      if (n > 0) {
        received.append(buf, static_cast<std::size_t>(n));
      } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
        break;
      }
    }
  }
  return received;
}
#endif

// The complete request frames at the start of the input, up to the first one the server must
// refuse for its size, and the bytes they take.
struct Frames {
  std::size_t count = 0;
  std::size_t bytes = 0;
};
Frames complete_requests(BytesView in) {
  Frames f;
  while (in.size() >= FRAME_HEADER_SIZE) {
    const std::uint32_t len = load_le<std::uint32_t>(in.data() + 1);
    if (len > MAX_MESSAGE_SIZE || in.size() - FRAME_HEADER_SIZE < len) break;
    in.remove_prefix(FRAME_HEADER_SIZE + len);
    ++f.count;
    f.bytes += FRAME_HEADER_SIZE + len;
  }
  return f;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Env& e = env();
  const BytesView input = fuzz::view(data, size);
  int sv[2];
  FUZZ_CHECK(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) == 0);
  const Frames requests = complete_requests(input);
  Bytes responses;
  std::thread client([&] { responses = client_side(sv[1], input); });
  {
    // BACKUP would write wherever an input's path points on this machine.
    ClientHandler handler(e.db, e.stats, ClientHandler::Options{.backups = false});
#ifdef KAVREL_FUZZ_TLS
    ::fcntl(sv[0], F_SETFL, ::fcntl(sv[0], F_GETFL) | O_NONBLOCK);
    TlsStream stream(sv[0], e.tls->current());
    Connection conn(stream, handler, *e.stats);
    serve_here(conn, std::chrono::seconds(10));
    const auto& served = conn.result();
#else
    auto served = run_connection(sv[0], handler, *e.stats, std::chrono::seconds(10));
#endif
    // A clean end exactly when the input is whole frames; otherwise a connection error.
    FUZZ_CHECK(served.has_value() == (requests.bytes == size));
    handler.abort_all();
    FUZZ_CHECK(handler.open_transactions() == 0);
  }
  ::shutdown(sv[0], SHUT_RDWR);
  client.join();
  ::close(sv[0]);
  ::close(sv[1]);

  // One well-formed response frame per complete request.
  BytesView rest = responses;
  std::size_t frames = 0;
  while (!rest.empty()) {
    FUZZ_CHECK(rest.size() >= FRAME_HEADER_SIZE);
    const auto code = static_cast<std::uint8_t>(rest[0]);
    FUZZ_CHECK((code >= response::OK && code <= response::TXN_ID) || code == response::STATS_JSON ||
               code == response::PONG);
    const std::uint32_t len = load_le<std::uint32_t>(rest.data() + 1);
    FUZZ_CHECK(rest.size() - FRAME_HEADER_SIZE >= len);
    rest.remove_prefix(FRAME_HEADER_SIZE + len);
    ++frames;
  }
  FUZZ_CHECK(frames == requests.count);
  return 0;
}
