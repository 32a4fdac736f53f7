#include "clients/cpp/kavrel_client.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include <fmt/format.h>

#include "core/text.h"
#include "protocol/errors.h"
#include "protocol/requests.h"

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
  if (timeout.count() > 0) {
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(timeout.count() / 1000);
    tv.tv_usec = static_cast<suseconds_t>((timeout.count() % 1000) * 1000);
    // The send time-out also bounds a connect to a full backlog.
    if (::setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) != 0 ||
        ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0) {
      return std::unexpected(ClientError::connect(os_error_text(errno)));
    }
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

ClientResult<Client> Client::connect(const std::filesystem::path& socket,
                                     std::chrono::milliseconds timeout) {
  auto fd = open_socket(socket, timeout);
  if (!fd) return std::unexpected(std::move(fd.error()));
  return Client(std::move(*fd), socket, timeout);
}

bool Client::closed_by_server() const {
  pollfd p{fd_.get(), static_cast<short>(POLLIN | POLLRDHUP), 0};
  int ready;
  do {
    ready = ::poll(&p, 1, 0);
  } while (ready < 0 && errno == EINTR);
  if (ready <= 0) return false;  // nothing to read: the connection is as it was
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
    auto fd = open_socket(socket_, timeout_);
    if (!fd) return std::unexpected(std::move(fd.error()));
    fd_ = std::move(*fd);
    return {};
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
  auto fd = open_socket(socket_, timeout_);
  if (!fd) {
    fd_ = UniqueFd();
    return std::unexpected(std::move(fd.error()));
  }
  // The new socket takes the old one's number (closing the old), so fd() stays the same.
  if (::dup3(fd->get(), fd_.get(), O_CLOEXEC) < 0) {
    const int err = errno;
    fd_ = UniqueFd();
    return std::unexpected(ClientError::connect(os_error_text(err)));
  }
  ++reconnects_;
  return {};
}

Result<void, int> Client::send_all(BytesView frame) {
  while (!frame.empty()) {
    const ssize_t n = ::send(fd_.get(), frame.data(), frame.size(), MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(errno);
    }
    frame.remove_prefix(static_cast<std::size_t>(n));
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
  if (!sent) return std::unexpected(io_errno(sent.error()));
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
    pollfd p{fd_.get(), static_cast<short>(POLLIN | (sent < out.size() ? POLLOUT : 0)), 0};
    const int ready = ::poll(&p, 1, poll_timeout);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(io_errno(errno));
    }
    if (ready == 0) return std::unexpected(ClientError::io("timed out"));
    if ((p.revents & POLLOUT) != 0 && sent < out.size()) {
      const ssize_t n =
          ::send(fd_.get(), out.data() + sent, out.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n > 0) {
        sent += static_cast<std::size_t>(n);
      } else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        return std::unexpected(io_errno(errno));
      }
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
