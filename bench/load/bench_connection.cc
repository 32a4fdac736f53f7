#include "bench/load/bench_connection.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include <fmt/format.h>

#include "bench/load/resp_codec.h"
#include "protocol/openssl_errors.h"
#include "protocol/scram.h"

namespace kavrel::bench {
namespace {

constexpr std::size_t kReceiveChunk = 64 * 1024;

std::string errno_text(int err) { return os_error_text(err); }

class KavrelConnection final : public BenchConnection {
 public:
  explicit KavrelConnection(UniqueFd fd) : BenchConnection(std::move(fd)) {}

  Result<void, std::string> queue(const Message& request) override {
    put_u8(out_, request.opcode);
    put_u32(out_, static_cast<std::uint32_t>(request.payload.size()));
    out_.append(request.payload);
    return {};
  }

 private:
  Result<std::optional<Message>, std::string> take_answer() override {
    const std::size_t avail = in_.size() - pos_;
    if (avail < FRAME_HEADER_SIZE) return std::optional<Message>();
    const char* p = in_.data() + pos_;
    const std::uint32_t len = get_u32(p + 1);
    if (avail - FRAME_HEADER_SIZE < len) return std::optional<Message>();
    Message m{static_cast<std::uint8_t>(p[0]), Bytes(p + FRAME_HEADER_SIZE, len)};
    pos_ += FRAME_HEADER_SIZE + len;
    return std::optional<Message>(std::move(m));
  }
};

class RespConnection final : public BenchConnection {
 public:
  explicit RespConnection(UniqueFd fd) : BenchConnection(std::move(fd)) {}

  Result<void, std::string> queue(const Message& request) override {
    if (!append_resp_request(out_, request)) {
      return std::unexpected(fmt::format("request {:#04x} has no RESP form here",
                                         static_cast<unsigned>(request.opcode)));
    }
    return {};
  }

 private:
  Result<std::optional<Message>, std::string> take_answer() override {
    const RespParse parsed = parse_resp_reply(std::string_view(in_).substr(pos_));
    switch (parsed.status) {
      case RespParse::Status::Incomplete: return std::optional<Message>();
      case RespParse::Status::Malformed:
        return std::unexpected("malformed RESP reply: " + parsed.problem);
      case RespParse::Status::Complete: break;
    }
    pos_ += parsed.consumed;
    return std::optional<Message>(answer_of_resp(parsed.reply));
  }
};

}  // namespace

const char* protocol_name(Protocol p) { return p == Protocol::Resp ? "resp" : "kavrel"; }

std::optional<Protocol> parse_protocol(const std::string& name) {
  if (name == "kavrel") return Protocol::Kavrel;
  if (name == "resp") return Protocol::Resp;
  return std::nullopt;
}

bool append_resp_request(std::string& out, const Message& request) {
  switch (request.opcode) {
    case opcode::PUT: {
      const BytesView p = request.payload;
      if (p.size() < 4) return false;
      const std::uint32_t key_len = get_u32(p.data());
      if (p.size() - 4 < key_len) return false;
      append_resp_command(out, {"SET", p.substr(4, key_len), p.substr(4 + key_len)});
      return true;
    }
    case opcode::GET: append_resp_command(out, {"GET", request.payload}); return true;
    case opcode::PING: append_resp_command(out, {"PING"}); return true;
    default: return false;
  }
}

Message answer_of_resp(const RespReply& reply) {
  switch (reply.type) {
    case RespReply::Type::Simple:
      if (reply.text == "OK") return Message{response::OK, {}};
      if (reply.text == "PONG") return Message{response::PONG, {}};
      return Message{response::VALUE, reply.text};
    case RespReply::Type::Error: return Message::error(reply.text);
    case RespReply::Type::Integer: return Message{response::VALUE, std::to_string(reply.integer)};
    case RespReply::Type::Bulk: return Message{response::VALUE, reply.text};
    case RespReply::Type::Nil: return Message{response::VALUE, {}};
  }
  return Message::error("unknown reply");
}

namespace {

Result<UniqueFd, std::string> connect_unix(const std::string& socket) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (socket.size() >= sizeof addr.sun_path) return std::unexpected(std::string("path too long"));
  std::memcpy(addr.sun_path, socket.data(), socket.size());
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.valid()) return std::unexpected(errno_text(errno));
  if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    return std::unexpected(errno_text(errno));
  }
  return fd;
}

// HOST:PORT, an IPv6 host in brackets.
Result<UniqueFd, std::string> connect_tcp(const std::string& where) {
  std::string host = where, port;
  const auto colon = where.rfind(':');
  if (colon == std::string::npos) return std::unexpected(std::string("expected HOST:PORT"));
  host = where.substr(0, colon);
  port = where.substr(colon + 1);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (const int rc = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &found); rc != 0) {
    return std::unexpected(std::string(::gai_strerror(rc)));
  }
  std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> owned(found, ::freeaddrinfo);
  std::string last = "no address";
  for (const addrinfo* ai = found; ai != nullptr; ai = ai->ai_next) {
    UniqueFd fd(::socket(ai->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd.valid()) return std::unexpected(errno_text(errno));
    if (::connect(fd.get(), ai->ai_addr, ai->ai_addrlen) == 0) {
      const int on = 1;
      ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
      return fd;
    }
    last = errno_text(errno);
  }
  return std::unexpected(last);
}

}  // namespace

BenchConnection::~BenchConnection() {
  SSL_free(ssl_);
  SSL_CTX_free(ctx_);
}

Result<std::unique_ptr<BenchConnection>, std::string> BenchConnection::connect(
    const Target& target) {
  auto fd = target.tcp ? connect_tcp(*target.tcp) : connect_unix(target.socket);
  if (!fd) return std::unexpected(std::move(fd.error()));
  std::unique_ptr<BenchConnection> c;
  if (target.protocol == Protocol::Resp) {
    c = std::make_unique<RespConnection>(std::move(*fd));
  } else {
    c = std::make_unique<KavrelConnection>(std::move(*fd));
  }
  if (target.tls) {
    if (auto r = c->start_tls(target); !r) return std::unexpected(std::move(r.error()));
  }
  if (!target.user.empty()) {
    if (auto r = c->login(target); !r) return std::unexpected(std::move(r.error()));
  }
  return c;
}

Result<void, std::string> BenchConnection::start_tls(const Target& target) {
  ctx_ = SSL_CTX_new(TLS_client_method());
  if (ctx_ == nullptr) return std::unexpected(openssl_errors("TLS failed"));
  SSL_CTX_set_min_proto_version(ctx_, TLS1_2_VERSION);
  SSL_CTX_set_verify(ctx_, SSL_VERIFY_PEER, nullptr);
  const bool trusted = target.ca.empty()
                           ? SSL_CTX_set_default_verify_paths(ctx_) == 1
                           : SSL_CTX_load_verify_locations(ctx_, target.ca.c_str(), nullptr) == 1;
  if (!trusted) return std::unexpected("CA: " + openssl_errors("TLS failed"));
  ssl_ = SSL_new(ctx_);
  if (ssl_ == nullptr) return std::unexpected(openssl_errors("TLS failed"));
  SSL_set_fd(ssl_, fd_.get());
  if (SSL_connect(ssl_) != 1)
    return std::unexpected("TLS handshake: " + openssl_errors("TLS failed"));
  return {};
}

Result<void, std::string> BenchConnection::login(const Target& target) {
  if (target.protocol == Protocol::Resp) {
    append_resp_command(out_, {"AUTH", target.user, target.password});
    if (auto sent = flush(); !sent) return sent;
    auto answer = read();
    if (!answer) return std::unexpected(std::move(answer.error()));
    if (answer->opcode != response::OK) return std::unexpected("AUTH: " + answer->payload);
    return {};
  }
  scram::ClientExchange exchange(target.user, target.password);
  auto first =
      call(Message{opcode::AUTH, encode_auth(AuthStep{1, scram::kMechanism, exchange.first()})});
  if (!first) return std::unexpected(std::move(first.error()));
  if (first->opcode != response::VALUE) return std::unexpected("login: " + first->payload);
  auto final = exchange.final(first->payload);
  if (!final) return std::unexpected("login: " + final.error());
  auto last = call(Message{opcode::AUTH, encode_auth(AuthStep{2, "", *final})});
  if (!last) return std::unexpected(std::move(last.error()));
  if (last->opcode != response::VALUE) return std::unexpected("login: " + last->payload);
  if (auto held = exchange.verify(last->payload); !held) {
    return std::unexpected("login: " + held.error());
  }
  return {};
}

Result<Message, std::string> BenchConnection::call(const Message& request) {
  if (auto queued = queue(request); !queued) return std::unexpected(std::move(queued.error()));
  if (auto sent = flush(); !sent) return std::unexpected(std::move(sent.error()));
  return read();
}

Result<std::size_t, std::string> BenchConnection::send_some(const char* data, std::size_t n) {
  if (ssl_ != nullptr) {
    std::size_t sent = 0;
    if (SSL_write_ex(ssl_, data, n, &sent) != 1)
      return std::unexpected("TLS: " + openssl_errors("TLS failed"));
    return sent;
  }
  for (;;) {
    const ssize_t sent = ::send(fd_.get(), data, n, MSG_NOSIGNAL);
    if (sent >= 0) return static_cast<std::size_t>(sent);
    if (errno != EINTR) return std::unexpected(errno_text(errno));
  }
}

Result<std::size_t, std::string> BenchConnection::receive_some(char* data, std::size_t n) {
  if (ssl_ != nullptr) {
    std::size_t got = 0;
    if (SSL_read_ex(ssl_, data, n, &got) == 1) return got;
    if (SSL_get_error(ssl_, 0) == SSL_ERROR_ZERO_RETURN) return 0;
    return std::unexpected("TLS: " + openssl_errors("TLS failed"));
  }
  for (;;) {
    const ssize_t got = ::recv(fd_.get(), data, n, 0);
    if (got >= 0) return static_cast<std::size_t>(got);
    if (errno != EINTR) return std::unexpected(errno_text(errno));
  }
}

Result<void, std::string> BenchConnection::flush() {
  std::size_t sent = 0;
  while (sent < out_.size()) {
    auto n = send_some(out_.data() + sent, out_.size() - sent);
    if (!n) return std::unexpected(std::move(n.error()));
    sent += *n;
  }
  out_.clear();
  return {};
}

bool BenchConnection::answer_buffered() {
  if (peeked_) return true;
  auto m = take_answer();
  if (!m || !*m) return false;
  peeked_ = std::move(**m);
  return true;
}

Result<Message, std::string> BenchConnection::read() {
  if (peeked_) return *std::exchange(peeked_, std::nullopt);
  for (;;) {
    auto m = take_answer();
    if (!m) return std::unexpected(std::move(m.error()));
    if (*m) return std::move(**m);
    // Nothing whole is buffered: keep the partial answer and read more after it.
    in_.erase(0, pos_);
    pos_ = 0;
    const std::size_t have = in_.size();
    in_.resize(have + kReceiveChunk);
    auto n = receive_some(in_.data() + have, kReceiveChunk);
    if (!n || *n == 0) {
      in_.resize(have);
      return std::unexpected(n ? std::string("connection closed by the server")
                               : std::move(n.error()));
    }
    in_.resize(have + *n);
  }
}

}  // namespace kavrel::bench
