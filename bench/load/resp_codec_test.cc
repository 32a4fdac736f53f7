#include "bench/load/resp_codec.h"

#include <gtest/gtest.h>

#include "bench/load/bench_connection.h"

namespace kavrel::bench {
namespace {

using Type = RespReply::Type;
using Status = RespParse::Status;

TEST(RespCodecTest, CommandsAreArraysOfBulkStrings) {
  std::string out;
  append_resp_command(out, {"SET", "bench:0000000001", "v\r\n"});
  EXPECT_EQ(out, "*3\r\n$3\r\nSET\r\n$16\r\nbench:0000000001\r\n$3\r\nv\r\n\r\n");
  append_resp_command(out, {"PING"});
  EXPECT_TRUE(out.ends_with("\r\n*1\r\n$4\r\nPING\r\n"));
  std::string empty;
  append_resp_command(empty, {"GET", ""});
  EXPECT_EQ(empty, "*2\r\n$3\r\nGET\r\n$0\r\n\r\n");
}

TEST(RespCodecTest, RequestsBecomeTheirCommands) {
  std::string out;
  ASSERT_TRUE(append_resp_request(
      out, Message{opcode::PUT, encode_put("k1", std::string_view("a\0b", 3))}));
  EXPECT_EQ(out, std::string("*3\r\n$3\r\nSET\r\n$2\r\nk1\r\n$3\r\na\0b\r\n", 30));
  out.clear();
  ASSERT_TRUE(append_resp_request(out, Message{opcode::GET, "k1"}));
  EXPECT_EQ(out, "*2\r\n$3\r\nGET\r\n$2\r\nk1\r\n");
  out.clear();
  ASSERT_TRUE(append_resp_request(out, Message{opcode::PING, {}}));
  EXPECT_EQ(out, "*1\r\n$4\r\nPING\r\n");
  out.clear();
  EXPECT_FALSE(append_resp_request(out, Message{opcode::BEGIN_TXN, {}}));
  EXPECT_FALSE(append_resp_request(out, Message{opcode::PUT, Bytes("\x09\0\0\0k", 5)}));
  EXPECT_EQ(out, "");
}

TEST(RespCodecTest, WholeRepliesParse) {
  struct Case {
    const char* name;
    std::string wire;
    RespReply reply;
  };
  const Case cases[] = {
      {"simple", "+OK\r\n", {Type::Simple, "OK", 0}},
      {"pong", "+PONG\r\n", {Type::Simple, "PONG", 0}},
      {"error",
       "-ERR wrong number of arguments\r\n",
       {Type::Error, "ERR wrong number of arguments", 0}},
      {"integer", ":42\r\n", {Type::Integer, "", 42}},
      {"negative integer", ":-7\r\n", {Type::Integer, "", -7}},
      {"bulk", "$5\r\nhello\r\n", {Type::Bulk, "hello", 0}},
      {"bulk holding CRLF", "$4\r\na\r\nb\r\n", {Type::Bulk, "a\r\nb", 0}},
      {"empty bulk", "$0\r\n\r\n", {Type::Bulk, "", 0}},
      {"nil", "$-1\r\n", {Type::Nil, "", 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // Followed by the start of the next reply, which must stay unconsumed.
    const std::string buf = c.wire + "+NEXT";
    const RespParse p = parse_resp_reply(buf);
    ASSERT_EQ(p.status, Status::Complete) << p.problem;
    EXPECT_EQ(p.consumed, c.wire.size());
    EXPECT_EQ(p.reply, c.reply);
    // Every cut short of the whole reply is incomplete and consumes nothing.
    for (std::size_t cut = 0; cut < c.wire.size(); ++cut) {
      SCOPED_TRACE(cut);
      const RespParse part = parse_resp_reply(std::string_view(c.wire).substr(0, cut));
      EXPECT_EQ(part.status, Status::Incomplete);
      EXPECT_EQ(part.consumed, 0u);
    }
  }
}

TEST(RespCodecTest, MalformedRepliesAreRefused) {
  struct Case {
    const char* name;
    std::string wire;
    std::string problem;
  };
  const Case cases[] = {
      {"array", "*1\r\n$1\r\na\r\n", "unexpected reply type byte 0x2a"},
      {"unknown type, line not ended", "?", "unexpected reply type byte 0x3f"},
      {"integer not a number", ":4x\r\n", "bad integer reply '4x'"},
      {"empty integer", ":\r\n", "bad integer reply ''"},
      {"bulk length not a number", "$abc\r\n", "bad bulk length 'abc'"},
      {"bulk length below nil", "$-2\r\n", "bad bulk length '-2'"},
      {"bulk longer than declared", "$2\r\nabc\r\n", "bulk string not followed by CRLF"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const RespParse p = parse_resp_reply(c.wire);
    EXPECT_EQ(p.status, Status::Malformed);
    EXPECT_EQ(p.problem, c.problem);
  }
}

TEST(RespCodecTest, RepliesStandForKavrelAnswers) {
  struct Case {
    const char* name;
    RespReply reply;
    Message answer;
  };
  const Case cases[] = {
      {"OK", {Type::Simple, "OK", 0}, {response::OK, {}}},
      {"PONG", {Type::Simple, "PONG", 0}, {response::PONG, {}}},
      {"other simple", {Type::Simple, "QUEUED", 0}, {response::VALUE, "QUEUED"}},
      {"error", {Type::Error, "ERR x", 0}, Message::error("ERR x")},
      {"integer", {Type::Integer, "", -3}, {response::VALUE, "-3"}},
      {"bulk", {Type::Bulk, "v", 0}, {response::VALUE, "v"}},
      {"nil", {Type::Nil, "", 0}, {response::VALUE, {}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(answer_of_resp(c.reply), c.answer);
  }
}

}  // namespace
}  // namespace kavrel::bench
