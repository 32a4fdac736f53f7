#include "bench/load/bench_connection.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include <fmt/format.h>

#include "bench/load/resp_codec.h"

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

Result<std::unique_ptr<BenchConnection>, std::string> BenchConnection::connect(
    const std::string& socket, Protocol protocol) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (socket.size() >= sizeof addr.sun_path) return std::unexpected(std::string("path too long"));
  std::memcpy(addr.sun_path, socket.data(), socket.size());
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.valid()) return std::unexpected(errno_text(errno));
  if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    return std::unexpected(errno_text(errno));
  }
  if (protocol == Protocol::Resp) return std::make_unique<RespConnection>(std::move(fd));
  return std::make_unique<KavrelConnection>(std::move(fd));
}

Result<void, std::string> BenchConnection::flush() {
  std::size_t sent = 0;
  while (sent < out_.size()) {
    const ssize_t n = ::send(fd_.get(), out_.data() + sent, out_.size() - sent, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(errno_text(errno));
    }
    sent += static_cast<std::size_t>(n);
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
    ssize_t n;
    do {
      n = ::recv(fd_.get(), in_.data() + have, kReceiveChunk, 0);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) {
      in_.resize(have);
      return std::unexpected(n == 0 ? std::string("connection closed by the server")
                                    : errno_text(errno));
    }
    in_.resize(have + static_cast<std::size_t>(n));
  }
}

}  // namespace kavrel::bench
