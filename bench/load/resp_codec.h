// The request encoding and the reply parser kavrel-bench uses to load a server that speaks the
// RESP protocol (version 2) instead of Kavrel's frames.
//
// A command is an array of bulk strings: "*<n>\r\n" then, per argument, "$<len>\r\n<bytes>\r\n".
// A reply is one of:
//   +<text>\r\n          simple string (OK, PONG)
//   -<text>\r\n          error
//   :<digits>\r\n        integer (an optional leading '-')
//   $<len>\r\n<bytes>\r\n bulk string; "$-1\r\n" is the nil reply (an absent key)
// The loaded commands (SET, GET, PING) never answer with an array, so an array reply, like any
// other type byte, is malformed here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

namespace kavrel::bench {

// Appends the command made of args to out.
void append_resp_command(std::string& out, std::initializer_list<std::string_view> args);

struct RespReply {
  enum class Type : std::uint8_t { Simple, Error, Integer, Bulk, Nil };
  Type type = Type::Simple;
  std::string text;  // the simple string, error text or bulk bytes (empty for Nil)
  std::int64_t integer = 0;
  bool operator==(const RespReply&) const = default;
};

// The outcome of parsing the front of a receive buffer.
struct RespParse {
  enum class Status : std::uint8_t { Complete, Incomplete, Malformed };
  Status status = Status::Incomplete;
  std::size_t consumed = 0;  // Complete: the bytes the reply took
  RespReply reply;           // Complete: the reply
  std::string problem;       // Malformed: what is wrong
};

// Parses one reply from the front of buf. Incomplete when buf holds only part of it (read more
// and call again with the same front); nothing is consumed then.
RespParse parse_resp_reply(std::string_view buf);

}  // namespace kavrel::bench
