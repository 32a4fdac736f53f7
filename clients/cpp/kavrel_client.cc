#include "clients/cpp/kavrel_client.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "clients/cpp/tls_link.h"
#include "core/text.h"
#include "protocol/errors.h"
#include "protocol/requests.h"
#include "protocol/scram.h"

namespace kavrel {
namespace {

constexpr std::size_t kReceiveChunk = 64 * 1024;

ClientError io_errno(int err) {
  if (err == EAGAIN || err == EWOULDBLOCK) return ClientError::io("timed out");
  return ClientError::io(os_error_text(err));
}

ClientError unexpected_response(std::uint8_t op, const Message& m) {
  return ClientError::protocol(fmt::format("unexpected response {:#x} ({} bytes) to request {:#x}",
                                           m.opcode, m.payload.size(), op));
}

std::uint64_t decode_u64(const Bytes& payload) { return get_u64(payload.data()); }

std::optional<ClientError> check_frame_size(std::size_t payload_size) {
  if (payload_size <= MAX_MESSAGE_SIZE) return std::nullopt;
  return ClientError::invalid(
      fmt::format("the request is {} bytes, above the server's limit of {} bytes (16 MiB) per "
                  "request; nothing was sent",
                  payload_size, MAX_MESSAGE_SIZE));
}

}  // namespace

std::string ClientError::message() const {
  switch (kind_) {
    case Kind::Connect: return "Connect error: " + text_;
    case Kind::Io: return "I/O error: " + text_;
    case Kind::Protocol: return "Protocol error: " + text_;
    case Kind::Server: return text_;
    case Kind::Invalid: return "Invalid request: " + text_;
  }
  return text_;
}

namespace {

// Bounds every send and receive of the socket (zero: no bound). The send time-out also bounds a
// connect (to a full backlog, or a TCP peer that does not answer).
bool set_timeouts(int fd, std::chrono::milliseconds timeout) {
  if (timeout.count() <= 0) return true;
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(timeout.count() / 1000);
  tv.tv_usec = static_cast<suseconds_t>((timeout.count() % 1000) * 1000);
  return ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) == 0 &&
         ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) == 0;
}

// Connects fd to addr; the errno of a failure (EINPROGRESS: the send time-out passed).
int connect_tcp(int fd, const sockaddr* addr, socklen_t len, std::chrono::milliseconds timeout) {
  if (::connect(fd, addr, len) == 0) return 0;
  if (errno != EINTR) return errno;
  // Interrupted, the connect goes on by itself: wait for its outcome.
  pollfd p{fd, POLLOUT, 0};
  int ready;
  do {
    ready = ::poll(&p, 1, timeout.count() > 0 ? static_cast<int>(timeout.count()) : -1);
  } while (ready < 0 && errno == EINTR);
  if (ready == 0) return EINPROGRESS;
  int err = 0;
  socklen_t err_len = sizeof err;
  if (ready < 0 || ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &err_len) != 0) return errno;
  return err;
}

// A TCP connection to host:port, trying each of the host's addresses in turn; a Connect error
// names why there is none (the last address's reason).
ClientResult<UniqueFd> open_tcp(const std::string& host, std::uint16_t port,
                                std::chrono::milliseconds timeout) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port);
  if (const int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found); rc != 0) {
    return std::unexpected(ClientError::connect(
        fmt::format("cannot resolve {}: {}", debug_quote(host),
                    rc == EAI_SYSTEM ? os_error_text(errno) : std::string(::gai_strerror(rc)))));
  }
  const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> addresses(found, ::freeaddrinfo);
  int err = EADDRNOTAVAIL;
  for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
    UniqueFd fd(::socket(a->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd.valid() || !set_timeouts(fd.get(), timeout)) {
      err = errno;
      continue;
    }
    err = connect_tcp(fd.get(), a->ai_addr, a->ai_addrlen, timeout);
    if (err != 0) continue;
    // Requests and answers are small frames each way: Nagle's wait would only delay them.
    const int one = 1;
    (void)::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
  }
  return std::unexpected(
      ClientError::connect(err == EINPROGRESS ? std::string("timed out") : os_error_text(err)));
}

// A connected socket; a Connect error names why there is none.
ClientResult<UniqueFd> open_socket(const std::filesystem::path& socket,
                                   std::chrono::milliseconds timeout) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  const std::string& path = socket.native();
  if (path.size() >= sizeof addr.sun_path) {
    return std::unexpected(ClientError::connect(os_error_text(ENAMETOOLONG)));
  }
  std::memcpy(addr.sun_path, path.data(), path.size());
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.valid()) return std::unexpected(ClientError::connect(os_error_text(errno)));
  if (!set_timeouts(fd.get(), timeout)) {
    return std::unexpected(ClientError::connect(os_error_text(errno)));
  }
  int rc;
  do {
    rc = ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) return std::unexpected(ClientError::connect(os_error_text(errno)));
  return fd;
}

// The handle a request names, for following transactions: COMMIT_TXN, ABORT_TXN and IN_TXN
// start with it.
std::uint64_t named_handle(std::uint8_t op, BytesView payload) {
  const bool names_one =
      op == opcode::COMMIT_TXN || op == opcode::ABORT_TXN || op == opcode::IN_TXN;
  return names_one && payload.size() >= 8 ? get_u64(payload.data()) : 0;
}

std::string lost_text(const std::vector<std::uint64_t>& lost) {
  std::string handles;
  for (const auto h : lost) {
    if (!handles.empty()) handles += ", ";
    handles += std::to_string(h);
  }
  const bool one = lost.size() == 1;
  return fmt::format(
      "the server had closed the connection (idle longer than its time-out, or stopped) while "
      "transaction{} {} {} open: {} lost, nothing of {} was committed; the request was not sent",
      one ? "" : "s", handles, one ? "was" : "were", one ? "it is" : "they are",
      one ? "it" : "them");
}

}  // namespace

struct Client::Dialer {
  ConnectOptions options;
  std::shared_ptr<const ClientTlsContext> tls;  // set for TLS connections

  Dialer() = default;
  Dialer(const Dialer&) = delete;
  Dialer& operator=(const Dialer&) = delete;
  ~Dialer() {
    if (options.login) {
      std::string& password = options.login->password;
      ::explicit_bzero(password.data(), password.capacity());
    }
  }
};

void Client::TlsLinkFree::operator()(TlsLink* link) const { delete link; }

Client::Client(std::shared_ptr<const Dialer> dialer)
    : dialer_(std::move(dialer)), timeout_(dialer_->options.timeout) {}

Client::~Client() {
  if (tls_) tls_->close_notify();
}

namespace {

// Options that cannot make a connection, or nullopt.
std::optional<std::string> refuse_options(const ConnectOptions& o) {
  if (o.socket.empty() && o.host.empty()) return "no server given: a Unix socket, or a host";
  if (!o.socket.empty() && !o.host.empty()) return "a Unix socket or a host, not both";
  if (!o.host.empty() && o.port == 0) return "no port given for the host";
  if (o.tls && !o.socket.empty()) return "TLS is for TCP connections, not for the Unix socket";
  if (o.login && o.login->user.empty()) return "the login has no user name";
  return std::nullopt;
}

}  // namespace

ClientResult<Client> Client::connect(const std::filesystem::path& socket,
                                     std::chrono::milliseconds timeout) {
  ConnectOptions options;
  options.socket = socket;
  options.timeout = timeout;
  return connect(options);
}

ClientResult<Client> Client::connect(const ConnectOptions& options) {
  if (auto refused = refuse_options(options)) {
    return std::unexpected(ClientError::invalid(std::move(*refused)));
  }
  auto dialer = std::make_shared<Dialer>();
  dialer->options = options;
  if (options.tls) {
    auto context =
        ClientTlsContext::load(options.tls->ca_file, options.tls->cert_file, options.tls->key_file);
    if (!context) return std::unexpected(ClientError::invalid(std::move(context.error())));
    dialer->tls = std::move(*context);
  }
  Client client(std::move(dialer));
  if (auto opened = client.open_connection(false); !opened) {
    return std::unexpected(std::move(opened.error()));
  }
  return client;
}

ClientResult<> Client::open_connection(bool reuse_fd) {
  tls_.reset();  // frees the old session only: its socket is closed below, or already was
  const ConnectOptions& o = dialer_->options;
  auto fd = o.socket.empty() ? open_tcp(o.host, o.port, timeout_) : open_socket(o.socket, timeout_);
  const auto drop = [this] {
    tls_.reset();
    fd_ = UniqueFd();
  };
  if (!fd) {
    drop();
    return std::unexpected(std::move(fd.error()));
  }
  if (reuse_fd && fd_.valid()) {
    if (::dup3(fd->get(), fd_.get(), O_CLOEXEC) < 0) {
      const int err = errno;
      drop();
      return std::unexpected(ClientError::connect(os_error_text(err)));
    }
  } else {
    fd_ = std::move(*fd);
  }
  if (dialer_->tls) {
    const std::string& name = o.tls->server_name.empty() ? o.host : o.tls->server_name;
    auto link = TlsLink::handshake(dialer_->tls, fd_.get(), name);
    if (!link) {
      drop();
      return std::unexpected(ClientError::connect("TLS handshake failed: " + link.error()));
    }
    tls_.reset(link->release());
  }
  if (o.login) {
    if (auto in = log_in(); !in) {
      drop();
      return in;
    }
  }
  return {};
}

ClientResult<Message> Client::round_trip(std::uint8_t opcode, BytesView payload) {
  if (auto sent = send_all(encode_frame(opcode, payload)); !sent) {
    return std::unexpected(io_failure(sent.error()));
  }
  return read_frame();
}

ClientResult<> Client::log_in() {
  const Login& login = *dialer_->options.login;
  scram::ClientExchange exchange(login.user, login.password);
  // The payload of the server's VALUE answer to one step, or why there is none.
  const auto step = [this](const AuthStep& a) -> ClientResult<std::string> {
    auto m = round_trip(opcode::AUTH, encode_auth(a));
    if (!m) return std::unexpected(std::move(m.error()));
    if (m->opcode == response::ERROR) return std::unexpected(ClientError::server(m->payload));
    if (m->opcode != response::VALUE) {
      return std::unexpected(unexpected_response(opcode::AUTH, *m));
    }
    return std::move(m->payload);
  };
  const auto refused = [&](const std::string& why) {
    return std::unexpected(
        ClientError::connect(fmt::format("login as {} refused: {}", debug_quote(login.user), why)));
  };
  auto server_first = step(AuthStep{1, scram::kMechanism, exchange.first()});
  if (!server_first) return std::unexpected(std::move(server_first.error()));
  auto client_final = exchange.final(*server_first);
  if (!client_final) return refused(client_final.error());
  auto server_final = step(AuthStep{2, "", *client_final});
  if (!server_final) return std::unexpected(std::move(server_final.error()));
  if (auto verified = exchange.verify(*server_final); !verified) {
    return refused(verified.error() + " (the server does not know the user's password verifier)");
  }
  return {};
}

ClientError Client::io_failure(int err) const {
  if (err == EPROTO && tls_) return ClientError::io("TLS: " + tls_->error_text());
  return io_errno(err);
}

bool Client::closed_by_server() const {
  pollfd p{fd_.get(), static_cast<short>(POLLIN | POLLRDHUP), 0};
  int ready;
  do {
    ready = ::poll(&p, 1, 0);
  } while (ready < 0 && errno == EINTR);
  if (ready <= 0) return false;  // nothing to read: the connection is as it was
  // Over TLS the bytes waiting may be the server's session tickets (no close) or its close
  // alert: the session reads them to tell.
  if (tls_) return tls_->closed_by_peer();
  char c;
  ssize_t n;
  do {
    n = ::recv(fd_.get(), &c, 1, MSG_PEEK | MSG_DONTWAIT);
  } while (n < 0 && errno == EINTR);
  // The end of the stream, or a reset. Bytes waiting (an answer nobody waits for) are no close,
  // and are left for read_frame.
  return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
}

ClientResult<> Client::prepare_send() {
  if (!pending_.empty()) return {};
  if (!fd_.valid()) {
    // Dropped with its transactions by an earlier request: this one starts afresh.
    rbuf_.clear();
    rpos_ = 0;
    return open_connection(false);
  }
  if (!reconnect_ || !closed_by_server()) return {};
  return replace_closed_connection();
}

ClientResult<> Client::replace_closed_connection() {
  rbuf_.clear();
  rpos_ = 0;
  pending_.clear();
  if (!open_.empty()) {
    // The server aborted them with the connection; going on without them would run the next
    // requests outside the transaction their caller meant.
    std::vector<std::uint64_t> lost(open_.begin(), open_.end());
    std::string text = lost_text(lost);
    open_.clear();
    fd_ = UniqueFd();
    return std::unexpected(ClientError::transactions_lost(std::move(text), std::move(lost)));
  }
  // The new socket takes the old one's number (closing the old), so fd() stays the same.
  if (auto opened = open_connection(true); !opened) return opened;
  ++reconnects_;
  return {};
}

Result<std::size_t, int> Client::send_some(BytesView data, bool wait) {
  if (tls_) {
    const TlsLink::Outcome o = tls_->write(data.data(), data.size(), wait);
    switch (o.status) {
      case TlsLink::Status::Done: return o.bytes;
      case TlsLink::Status::WouldBlock:
        if (wait) return std::unexpected(EAGAIN);  // the send time-out passed
        return 0;
      case TlsLink::Status::End: return std::unexpected(EPIPE);
      case TlsLink::Status::Failed: return std::unexpected(o.error);
    }
  }
  for (;;) {
    const ssize_t n =
        ::send(fd_.get(), data.data(), data.size(), MSG_NOSIGNAL | (wait ? 0 : MSG_DONTWAIT));
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno == EINTR) continue;
    if (!wait && (errno == EAGAIN || errno == EWOULDBLOCK)) return 0;
    return std::unexpected(errno);
  }
}

Result<void, int> Client::send_all(BytesView frame) {
  while (!frame.empty()) {
    auto n = send_some(frame, true);
    if (!n) return std::unexpected(n.error());
    frame.remove_prefix(*n);
  }
  return {};
}

ClientResult<> Client::send_frame(std::uint8_t opcode, BytesView payload) {
  if (auto too_large = check_frame_size(payload.size())) return std::unexpected(*too_large);
  // Only with nothing awaiting an answer can a closed connection prove that the server never had
  // this request.
  const bool alone = pending_.empty();
  if (auto ready = prepare_send(); !ready) return ready;
  const Bytes frame = encode_frame(opcode, payload);
  auto sent = send_all(frame);
  if (!sent && alone && reconnect_ && (sent.error() == EPIPE || sent.error() == ECONNRESET)) {
    // The server had closed its end before the frame was whole in its socket.
    if (auto replaced = replace_closed_connection(); !replaced) return replaced;
    sent = send_all(frame);
  }
  if (!sent) return std::unexpected(io_failure(sent.error()));
  pending_.push_back({opcode, named_handle(opcode, payload)});
  return {};
}

void Client::track(const Pending& request, const Message& answer) {
  switch (request.opcode) {
    case opcode::BEGIN_TXN:
      if (answer.opcode == response::TXN_ID && answer.payload.size() == 8) {
        open_.insert(get_u64(answer.payload.data()));
      }
      break;
    case opcode::COMMIT_TXN:
    case opcode::ABORT_TXN:
      // The server forgets the handle whatever it answers.
      open_.erase(request.handle);
      break;
    case opcode::IN_TXN:
      if (answer.opcode == response::ERROR &&
          ends_transaction(ClientError::server(answer.payload))) {
        open_.erase(request.handle);
      }
      break;
    default: break;
  }
}

std::optional<Message> Client::take_buffered_frame() {
  const std::size_t avail = rbuf_.size() - rpos_;
  if (avail < FRAME_HEADER_SIZE) return std::nullopt;
  const char* p = rbuf_.data() + rpos_;
  const std::uint32_t len = get_u32(p + 1);
  if (avail - FRAME_HEADER_SIZE < len) return std::nullopt;
  Message m{static_cast<std::uint8_t>(p[0]), Bytes(p + FRAME_HEADER_SIZE, len)};
  rpos_ += FRAME_HEADER_SIZE + len;
  if (rpos_ == rbuf_.size()) {
    rbuf_.clear();
    rpos_ = 0;
  }
  if (!pending_.empty()) {
    track(pending_.front(), m);
    pending_.pop_front();
  }
  return m;
}

ClientResult<Client::Received> Client::receive_some(bool block) {
  // Drop consumed bytes before growing, so the buffer holds at most one partial frame plus a
  // chunk.
  if (rpos_ > 0) {
    rbuf_.erase(rbuf_.begin(), rbuf_.begin() + static_cast<std::ptrdiff_t>(rpos_));
    rpos_ = 0;
  }
  const std::size_t old = rbuf_.size();
  rbuf_.resize(old + kReceiveChunk);
  if (tls_) {
    const TlsLink::Outcome o = tls_->read(rbuf_.data() + old, kReceiveChunk, block);
    rbuf_.resize(old + o.bytes);
    switch (o.status) {
      case TlsLink::Status::Done: return Received::Bytes;
      case TlsLink::Status::End: return Received::Closed;
      case TlsLink::Status::WouldBlock:
        if (!block) return Received::Nothing;
        return std::unexpected(ClientError::io("timed out"));
      case TlsLink::Status::Failed: return std::unexpected(io_failure(o.error));
    }
  }
  for (;;) {
    const ssize_t n =
        ::recv(fd_.get(), rbuf_.data() + old, kReceiveChunk, block ? 0 : MSG_DONTWAIT);
    if (n >= 0) {
      rbuf_.resize(old + static_cast<std::size_t>(n));
      return n > 0 ? Received::Bytes : Received::Closed;
    }
    if (errno == EINTR) continue;
    const int err = errno;
    rbuf_.resize(old);
    if (!block && (err == EAGAIN || err == EWOULDBLOCK)) return Received::Nothing;
    return std::unexpected(io_errno(err));
  }
}

ClientResult<Message> Client::read_frame() {
  for (;;) {
    if (auto m = take_buffered_frame()) return std::move(*m);
    auto got = receive_some(true);
    if (!got) return std::unexpected(std::move(got.error()));
    if (*got == Received::Closed) {
      return std::unexpected(ClientError::io("connection closed by the server"));
    }
  }
}

ClientResult<Message> Client::call(std::uint8_t opcode, BytesView payload) {
  if (auto sent = send_frame(opcode, payload); !sent) return std::unexpected(sent.error());
  return read_frame();
}

ClientResult<std::vector<Message>> Client::pipeline(const std::vector<Message>& requests) {
  for (const auto& r : requests) {
    if (auto too_large = check_frame_size(r.payload.size())) return std::unexpected(*too_large);
  }
  // A closed connection is replaced before anything is sent; once sending has begun, a failure
  // is an error (the server may have run the requests it had).
  if (auto ready = prepare_send(); !ready) return std::unexpected(std::move(ready.error()));
  Bytes out;
  for (const auto& r : requests) {
    out += encode_frame(r.opcode, r.payload);
    pending_.push_back({r.opcode, named_handle(r.opcode, r.payload)});
  }
  std::size_t sent = 0;
  std::vector<Message> responses;
  responses.reserve(requests.size());
  const int poll_timeout = timeout_.count() > 0 ? static_cast<int>(timeout_.count()) : -1;
  while (responses.size() < requests.size()) {
    while (auto m = take_buffered_frame()) responses.push_back(std::move(*m));
    if (responses.size() == requests.size()) break;
    // Bytes TLS has already taken out of the socket would not wake poll().
    const bool buffered = tls_ && tls_->has_buffered();
    pollfd p{fd_.get(), static_cast<short>(POLLIN | (sent < out.size() ? POLLOUT : 0)), 0};
    const int ready = ::poll(&p, 1, buffered ? 0 : poll_timeout);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(io_errno(errno));
    }
    if (ready == 0 && !buffered) return std::unexpected(ClientError::io("timed out"));
    if (buffered) p.revents = static_cast<short>(p.revents | POLLIN);
    if ((p.revents & POLLOUT) != 0 && sent < out.size()) {
      auto n = send_some(BytesView(out).substr(sent), false);
      if (!n) return std::unexpected(io_failure(n.error()));
      sent += *n;
    }
    if ((p.revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
      auto got = receive_some(false);
      if (!got) return std::unexpected(std::move(got.error()));
      if (*got == Received::Closed) {
        return std::unexpected(ClientError::io("connection closed by the server"));
      }
    }
  }
  return responses;
}

ClientResult<Message> Client::expect(std::uint8_t opcode, BytesView payload,
                                     std::uint8_t expected) {
  const RequestTraits* traits = request_traits(opcode);
  ClientResult<Message> m;
  if (inside_ && traits != nullptr && traits->in_txn) {
    m = call(opcode::IN_TXN, encode_in_txn(*inside_, opcode, payload));
  } else {
    m = call(opcode, payload);
  }
  if (!m) return m;
  if (m->opcode == response::ERROR) return std::unexpected(ClientError::server(m->payload));
  if (m->opcode != expected) return std::unexpected(unexpected_response(opcode, *m));
  if (expected == response::TXN_ID && m->payload.size() != 8) {
    return std::unexpected(unexpected_response(opcode, *m));
  }
  return m;
}

ClientResult<> Client::expect_empty(std::uint8_t opcode, BytesView payload, std::uint8_t expected) {
  auto m = expect(opcode, payload, expected);
  if (!m) return std::unexpected(std::move(m.error()));
  if (!m->payload.empty()) return std::unexpected(unexpected_response(opcode, *m));
  return {};
}

ClientResult<> Client::put(BytesView key, BytesView value) {
  return expect_empty(opcode::PUT, encode_put(key, value), response::OK);
}

ClientResult<Bytes> Client::get(BytesView key) {
  auto m = expect(opcode::GET, key, response::VALUE);
  if (!m) return std::unexpected(std::move(m.error()));
  return std::move(m->payload);
}

ClientResult<> Client::del(BytesView key) {
  return expect_empty(opcode::DELETE, key, response::OK);
}

ClientResult<std::uint64_t> Client::begin() {
  auto m = expect(opcode::BEGIN_TXN, {}, response::TXN_ID);
  if (!m) return std::unexpected(std::move(m.error()));
  return decode_u64(m->payload);
}

ClientResult<std::uint64_t> Client::commit(std::uint64_t handle) {
  auto m = expect(opcode::COMMIT_TXN, encode_txn_handle(handle), response::TXN_ID);
  if (!m) return std::unexpected(std::move(m.error()));
  return decode_u64(m->payload);
}

ClientResult<> Client::abort(std::uint64_t handle) {
  return expect_empty(opcode::ABORT_TXN, encode_txn_handle(handle), response::OK);
}

ClientResult<Transaction> Client::transaction() {
  auto handle = begin();
  if (!handle) return std::unexpected(std::move(handle.error()));
  return Transaction(*this, *handle);
}

bool ends_transaction(const ClientError& error) {
  if (!error.is_server_error()) return false;
  const ErrorClass c = classify_error(error.text());
  return c == ErrorClass::TransactionAborted || c == ErrorClass::TransactionNotFound;
}

Transaction::~Transaction() {
  if (open_) ignore_error(abort(), "dropping an open transaction abandons it either way");
}

template <class F>
auto Transaction::inside(F&& request) {
  const auto previous = std::exchange(client_->inside_, handle_);
  auto result = std::forward<F>(request)(*client_);
  client_->inside_ = previous;
  if (!result && (ends_transaction(result.error()) || !result.error().is_server_error())) {
    open_ = false;  // ended on the server, or the connection (and with it the transaction) lost
  }
  return result;
}

ClientResult<> Transaction::put(BytesView key, BytesView value) {
  return inside([&](Client& c) { return c.put(key, value); });
}

ClientResult<Bytes> Transaction::get(BytesView key) {
  return inside([&](Client& c) { return c.get(key); });
}

ClientResult<> Transaction::del(BytesView key) {
  return inside([&](Client& c) { return c.del(key); });
}

ClientResult<ScanListing> Transaction::scan(std::string_view prefix) {
  return inside([&](Client& c) { return c.scan(prefix); });
}

ClientResult<std::string> Transaction::query(std::string_view path, std::uint32_t limit,
                                             std::uint32_t offset,
                                             const std::vector<std::string>& columns,
                                             bool exact_floats) {
  return inside([&](Client& c) { return c.query(path, limit, offset, columns, exact_floats); });
}

ClientResult<> Transaction::put_path(const std::vector<std::string>& segments, BytesView value) {
  return inside([&](Client& c) { return c.put_path(segments, value); });
}

ClientResult<Bytes> Transaction::get_path(const std::vector<std::string>& segments) {
  return inside([&](Client& c) { return c.get_path(segments); });
}

ClientResult<> Transaction::drop_table(std::string_view name) {
  return inside([&](Client& c) { return c.drop_table(name); });
}

ClientResult<std::uint64_t> Transaction::commit() {
  open_ = false;  // the server forgets the handle whatever it answers
  return client_->commit(handle_);
}

ClientResult<> Transaction::abort() {
  open_ = false;
  return client_->abort(handle_);
}

ClientResult<std::string> Client::query(std::string_view path, std::uint32_t limit,
                                        std::uint32_t offset,
                                        const std::vector<std::string>& columns,
                                        bool exact_floats) {
  const Bytes payload =
      encode_query(path, limit, offset, columns, exact_floats ? kQueryExactFloats : 0);
  auto m = expect(opcode::QUERY, payload, response::VALUE);
  if (!m) return std::unexpected(std::move(m.error()));
  return std::move(m->payload);
}

ClientResult<> Client::register_table(std::string_view name,
                                      const std::vector<WireColumn>& columns) {
  return expect_empty(opcode::REGISTER_TABLE, encode_schema(name, columns), response::OK);
}

ClientResult<> Client::put_path(const std::vector<std::string>& segments, BytesView value) {
  return expect_empty(opcode::PUT_PATH, encode_path(segments, value), response::OK);
}

ClientResult<Bytes> Client::get_path(const std::vector<std::string>& segments) {
  auto m = expect(opcode::GET_PATH, encode_path(segments), response::VALUE);
  if (!m) return std::unexpected(std::move(m.error()));
  return std::move(m->payload);
}

ClientResult<ScanListing> Client::scan(std::string_view prefix) {
  auto m = expect(opcode::SCAN, prefix, response::VALUE);
  if (!m) return std::unexpected(std::move(m.error()));
  auto listing = decode_scan_listing(m->payload);
  if (!listing) return std::unexpected(ClientError::protocol("malformed scan listing"));
  return std::move(*listing);
}

ClientResult<> Client::checkpoint() { return expect_empty(opcode::CHECKPOINT, {}, response::OK); }
ClientResult<> Client::compact() { return expect_empty(opcode::COMPACT, {}, response::OK); }

std::optional<UserRole> parse_user_role(std::string_view text) {
  if (text == "read") return UserRole::Read;
  if (text == "write") return UserRole::Write;
  if (text == "admin") return UserRole::Admin;
  return std::nullopt;
}

namespace {

// USERS carries each text with a 16-bit length.
std::optional<ClientError> refuse_long_text(std::string_view what, std::string_view text) {
  if (text.size() <= 0xFFFF) return std::nullopt;
  return ClientError::invalid(
      fmt::format("the user's {} is {} bytes, above the 65535 a request can carry; nothing was "
                  "sent",
                  what, text.size()));
}

}  // namespace

ClientResult<> Client::add_user(std::string_view name, UserRole role, std::string_view prefix,
                                std::string_view password) {
  if (auto e = refuse_long_text("name", name)) return std::unexpected(std::move(*e));
  if (auto e = refuse_long_text("prefix", prefix)) return std::unexpected(std::move(*e));
  UsersRequest u;
  u.action = UsersRequest::Add;
  u.name = name;
  u.role = static_cast<std::uint8_t>(role);
  u.prefix = prefix;
  u.verifier = scram::Verifier::of(password).text();
  return expect_empty(opcode::USERS, encode_users(u), response::OK);
}

ClientResult<> Client::set_password(std::string_view name, std::string_view password) {
  if (auto e = refuse_long_text("name", name)) return std::unexpected(std::move(*e));
  UsersRequest u;
  u.action = UsersRequest::Passwd;
  u.name = name;
  u.verifier = scram::Verifier::of(password).text();
  return expect_empty(opcode::USERS, encode_users(u), response::OK);
}

ClientResult<> Client::delete_user(std::string_view name) {
  if (auto e = refuse_long_text("name", name)) return std::unexpected(std::move(*e));
  UsersRequest u;
  u.action = UsersRequest::Delete;
  u.name = name;
  return expect_empty(opcode::USERS, encode_users(u), response::OK);
}

ClientResult<std::vector<UserInfo>> Client::list_users() {
  UsersRequest u;
  u.action = UsersRequest::List;
  auto m = expect(opcode::USERS, encode_users(u), response::VALUE);
  if (!m) return std::unexpected(std::move(m.error()));
  std::vector<UserInfo> users;
  try {
    const auto list = nlohmann::json::parse(m->payload);
    if (!list.is_array()) return std::unexpected(ClientError::protocol("malformed user list"));
    for (const auto& entry : list) {
      users.push_back(UserInfo{entry.at("name").get<std::string>(),
                               entry.at("role").get<std::string>(),
                               entry.at("prefix").get<std::string>()});
    }
  } catch (const nlohmann::json::exception&) {
    return std::unexpected(ClientError::protocol("malformed user list"));
  }
  return users;
}

namespace {

// Sets the socket's receive time-out (zero: none).
bool set_receive_timeout(int fd, std::chrono::milliseconds timeout) {
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(timeout.count() / 1000);
  tv.tv_usec = static_cast<suseconds_t>((timeout.count() % 1000) * 1000);
  return ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) == 0;
}

}  // namespace

ClientResult<std::string> Client::backup(std::string_view dir) {
  if (auto sent = send_frame(opcode::BACKUP, dir); !sent) return std::unexpected(sent.error());
  // The connection the request went out on waits for its answer without a bound, then gets
  // its time-out back.
  const int fd = fd_.get();
  if (timeout_.count() > 0) (void)set_receive_timeout(fd, std::chrono::milliseconds(0));
  auto m = read_frame();
  if (timeout_.count() > 0) (void)set_receive_timeout(fd, timeout_);
  if (!m) return std::unexpected(std::move(m.error()));
  if (m->opcode == response::ERROR) return std::unexpected(ClientError::server(m->payload));
  if (m->opcode != response::VALUE) return std::unexpected(unexpected_response(opcode::BACKUP, *m));
  return std::move(m->payload);
}

ClientResult<std::string> Client::stats() {
  auto m = expect(opcode::STATS, {}, response::STATS_JSON);
  if (!m) return std::unexpected(std::move(m.error()));
  return std::move(m->payload);
}

ClientResult<> Client::ping() { return expect_empty(opcode::PING, {}, response::PONG); }

ClientResult<std::string> Client::execute_sql(std::string_view sql) {
  auto m = expect(opcode::EXECUTE_SQL, sql, response::VALUE);
  if (!m) return std::unexpected(std::move(m.error()));
  return std::move(m->payload);
}

ClientResult<std::vector<WireSchema>> Client::list_tables() {
  auto m = expect(opcode::LIST_TABLES, {}, response::VALUE);
  if (!m) return std::unexpected(std::move(m.error()));
  auto tables = decode_table_list(m->payload);
  if (!tables) return std::unexpected(ClientError::protocol("malformed table list"));
  return std::move(*tables);
}

ClientResult<WireSchema> Client::describe_table(std::string_view name) {
  auto m = expect(opcode::DESCRIBE_TABLE, name, response::VALUE);
  if (!m) return std::unexpected(std::move(m.error()));
  auto schema = decode_wire_schema(m->payload);
  if (!schema) return std::unexpected(ClientError::protocol("malformed schema: " + schema.error()));
  return std::move(*schema);
}

ClientResult<> Client::drop_table(std::string_view name) {
  return expect_empty(opcode::DROP_TABLE, name, response::OK);
}

ClientResult<> Client::insert_row(std::string_view table, std::string_view id,
                                  const std::vector<RowValue>& values) {
  auto schema = describe_table(table);
  if (!schema) return std::unexpected(std::move(schema.error()));
  return insert_row(*schema, id, values);
}

ClientResult<> Client::insert_row(const WireSchema& schema, std::string_view id,
                                  const std::vector<RowValue>& values) {
  // A packed row lives under exactly TABLE/ID: a "/" in the id would make it a path row.
  if (id.find('/') != std::string_view::npos) {
    return std::unexpected(ClientError::invalid(fmt::format(
        "row id {} holds '/': the row of a registered table is TABLE/ID", debug_quote(id))));
  }
  auto row = pack_row(schema, values);
  if (!row) return std::unexpected(ClientError::invalid(std::move(row.error())));
  return put(schema.name + "/" + std::string(id), *row);
}

}  // namespace kavrel
