#include "bench/load/resp_codec.h"

#include <charconv>
#include <optional>
#include <utility>

#include <fmt/format.h>

namespace kavrel::bench {
namespace {

constexpr std::string_view kCrlf = "\r\n";
// A bulk reply above this is treated as a broken stream, not waited for.
constexpr std::int64_t kMaxBulk = 512LL * 1024 * 1024;

RespParse malformed(std::string problem) {
  RespParse p;
  p.status = RespParse::Status::Malformed;
  p.problem = std::move(problem);
  return p;
}

RespParse complete(std::size_t consumed, RespReply reply) {
  RespParse p;
  p.status = RespParse::Status::Complete;
  p.consumed = consumed;
  p.reply = std::move(reply);
  return p;
}

// The whole of text as a signed decimal, or nullopt.
std::optional<std::int64_t> decimal(std::string_view text) {
  std::int64_t v = 0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, v);
  if (text.empty() || ec != std::errc() || ptr != end) return std::nullopt;
  return v;
}

}  // namespace

void append_resp_command(std::string& out, std::initializer_list<std::string_view> args) {
  out += fmt::format("*{}\r\n", args.size());
  for (const std::string_view a : args) {
    out += fmt::format("${}\r\n", a.size());
    out.append(a);
    out.append(kCrlf);
  }
}

RespParse parse_resp_reply(std::string_view buf) {
  if (buf.empty()) return RespParse{};
  if (std::string_view("+-:$").find(buf[0]) == std::string_view::npos) {
    return malformed(fmt::format("unexpected reply type byte {:#04x}",
                                 static_cast<unsigned>(static_cast<unsigned char>(buf[0]))));
  }
  const std::size_t eol = buf.find(kCrlf);
  // A line not ended yet (a lone '\r' at the end may still be followed by its '\n').
  if (eol == std::string_view::npos) return RespParse{};
  const std::string_view line = buf.substr(1, eol - 1);
  const std::size_t after_line = eol + kCrlf.size();
  RespReply reply;
  switch (buf[0]) {
    case '+':
      reply.type = RespReply::Type::Simple;
      reply.text = line;
      return complete(after_line, std::move(reply));
    case '-':
      reply.type = RespReply::Type::Error;
      reply.text = line;
      return complete(after_line, std::move(reply));
    case ':': {
      const auto v = decimal(line);
      if (!v) return malformed(fmt::format("bad integer reply '{}'", line));
      reply.type = RespReply::Type::Integer;
      reply.integer = *v;
      return complete(after_line, std::move(reply));
    }
    default: break;  // '$'
  }
  const auto len = decimal(line);
  if (!len || *len < -1 || *len > kMaxBulk) {
    return malformed(fmt::format("bad bulk length '{}'", line));
  }
  if (*len == -1) {
    reply.type = RespReply::Type::Nil;
    return complete(after_line, std::move(reply));
  }
  const auto n = static_cast<std::size_t>(*len);
  if (buf.size() < after_line + n + kCrlf.size()) return RespParse{};
  if (buf.substr(after_line + n, kCrlf.size()) != kCrlf) {
    return malformed("bulk string not followed by CRLF");
  }
  reply.type = RespReply::Type::Bulk;
  reply.text = buf.substr(after_line, n);
  return complete(after_line + n + kCrlf.size(), std::move(reply));
}

}  // namespace kavrel::bench
