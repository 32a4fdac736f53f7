// Fuzzes a client connection end to end inside the process: the input is the byte stream a client
// sends. It goes through one end of a socket pair into the connection loop (frame reading, the
// request dispatcher, every handler) against one Database in a scratch directory created once;
// the other end takes the responses. Properties: the loop ends (cleanly at the end of the input,
// or with a connection error), the responses are well-formed frames, one per complete request,
// and the client's open transactions are gone afterwards.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <thread>

#include "server/client_handler.h"
#include "server/connection.h"
#include "server/server_stats.h"
#include "storage/database.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

using namespace kavrel;

struct Env {
  std::shared_ptr<Database> db;
  std::shared_ptr<ServerStats> stats = std::make_shared<ServerStats>();
};

Env& env() {
  static Env* e = [] {
    auto* created = new Env;
    auto db = Database::open(fuzz::scratch_dir() / "db");
    FUZZ_CHECK(db.has_value());
    created->db = std::move(*db);
    return created;
  }();
  return *e;
}

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
    auto served = run_connection(sv[0], handler, *e.stats, std::chrono::seconds(10));
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
