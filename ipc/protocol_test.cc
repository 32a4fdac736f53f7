// The payload decoders: every error text in its checking order, and round trips with the
// client-side encoders.
#include "ipc/protocol.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace kavrel {
namespace {

using namespace std::string_literals;

Bytes u16(std::uint16_t v) {
  Bytes b;
  put_u16(b, v);
  return b;
}
Bytes u32(std::uint32_t v) {
  Bytes b;
  put_u32(b, v);
  return b;
}

struct ErrorCase {
  const char* name;
  Bytes payload;
  const char* error;
};

template <class Decode>
void expect_errors(const std::vector<ErrorCase>& cases, Decode decode) {
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto r = decode(c.payload);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(), c.error);
  }
}

TEST(DecodePutTest, ErrorsInOrder) {
  expect_errors(
      {
          {"empty", "", "PUT payload too short"},
          {"three bytes", Bytes("\x01\x00\x00", 3), "PUT payload too short"},
          {"key length 10, 5 key bytes", u32(10) + "abcde", "PUT payload key truncated"},
          {"key length beyond any payload", u32(0xFFFFFFFF) + "x", "PUT payload key truncated"},
      },
      decode_put);
}

TEST(DecodePutTest, SplitsKeyAndValue) {
  const Bytes empty_payload = u32(0);
  auto empty = decode_put(empty_payload);
  ASSERT_TRUE(empty.has_value());
  EXPECT_EQ(empty->key, "");
  EXPECT_EQ(empty->value, "");

  const Bytes payload = encode_put(Bytes("k\0y", 3), Bytes("v\0al", 4));
  auto r = decode_put(payload);
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->key, Bytes("k\0y", 3));
  EXPECT_EQ(r->value, Bytes("v\0al", 4));
}

TEST(DecodeTxnHandleTest, NamesTheRequestAndIgnoresExtraBytes) {
  EXPECT_EQ(decode_txn_handle(opcode::COMMIT_TXN, Bytes(7, '\x01')).error(),
            "COMMIT_TXN requires txn_id");
  EXPECT_EQ(decode_txn_handle(opcode::ABORT_TXN, "").error(), "ABORT_TXN requires txn_id");
  auto r = decode_txn_handle(opcode::COMMIT_TXN, encode_txn_handle(0x0102030405060708) + "zz");
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(*r, 0x0102030405060708u);
}

TEST(DecodePathTest, ErrorsInOrder) {
  expect_errors(
      {
          {"empty", "", "Path payload too short"},
          {"one byte", "\x01", "Path payload too short"},
          {"no room for a segment length", u16(1) + "\x03", "Path segment length truncated"},
          {"segment cut short", u16(1) + u16(5) + "ab", "Path segment truncated"},
          {"segment not UTF-8", u16(1) + u16(1) + "\xff", "Invalid UTF-8 in path"},
          // Segments are checked one after another: the bad first segment is reported even
          // though the second is cut short.
          {"first bad, second cut", u16(2) + u16(1) + "\xc3" + u16(9), "Invalid UTF-8 in path"},
          {"second length cut", u16(2) + u16(1) + "a" + "\x01", "Path segment length truncated"},
      },
      decode_path);
}

TEST(DecodePathTest, JoinsSegmentsAndKeepsTheRemainder) {
  // The decoded views point into the payload, which must outlive them.
  const Bytes payload = encode_path({"users", "42"}, "value");
  auto r = decode_path(payload);
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->key(), "users/42");
  EXPECT_EQ(r->remainder, "value");

  const Bytes nested_payload = encode_path({"a", "b/c"});
  auto nested = decode_path(nested_payload);
  ASSERT_TRUE(nested.has_value());
  EXPECT_EQ(nested->key(), "a/b/c");
  EXPECT_EQ(nested->remainder, "");

  const Bytes none_payload = u16(0) + "rest";
  auto none = decode_path(none_payload);
  ASSERT_TRUE(none.has_value());
  EXPECT_EQ(none->key(), "");
  EXPECT_EQ(none->remainder, "rest");
}

TEST(DecodeQueryTest, ErrorsInOrder) {
  const Bytes path = u16(5) + "users";
  expect_errors(
      {
          {"empty", "", "Query payload too short"},
          {"one byte", "\x05", "Query payload too short"},
          {"path cut short", u16(5) + "use", "Query path truncated"},
          {"path not UTF-8", u16(2) + "\xc3\x28" + u32(0) + u32(0) + u16(0),
           "Invalid UTF-8 in query path"},
          {"no limit", path, "Query limit/offset truncated"},
          {"offset cut", path + u32(1) + "\x01\x02\x03", "Query limit/offset truncated"},
          {"exactly path_len + 10 bytes", path + u32(1) + u32(2), "Query columns count truncated"},
          {"count cut", path + u32(1) + u32(2) + "\x01", "Query columns count truncated"},
          {"column length cut", path + u32(0) + u32(0) + u16(1) + "\x01",
           "Query column length truncated"},
          {"column cut", path + u32(0) + u32(0) + u16(1) + u16(4) + "ab", "Query column truncated"},
          {"column not UTF-8", path + u32(0) + u32(0) + u16(2) + u16(1) + "a" + u16(1) + "\x80",
           "Invalid UTF-8 in query column"},
      },
      decode_query);
}

TEST(DecodeQueryTest, RoundTripIgnoresTrailingBytes) {
  const Bytes payload = encode_query("users/4", 10, 3, {"name", "age"}) + "trailing";
  auto r = decode_query(payload);
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->path, "users/4");
  EXPECT_EQ(r->limit, 10u);
  EXPECT_EQ(r->offset, 3u);
  EXPECT_EQ(r->columns, (std::vector<std::string_view>{"name", "age"}));
}

TEST(DecodeSchemaTest, ErrorsInOrder) {
  const Bytes name = u16(5) + "users";
  expect_errors(
      {
          // A name length of 200 makes the length field itself invalid UTF-8 (0xC8 0x00).
          {"length field not UTF-8", u16(200) + "users" + u16(0), "Invalid UTF-8 in schema"},
          {"type byte not UTF-8 wins over invalid type", name + u16(1) + u16(1) + "a" + "\xc8\x00"s,
           "Invalid UTF-8 in schema"},
          {"empty", "", "Schema payload too short"},
          {"one byte", "\x05", "Schema payload too short"},
          {"name cut short", u16(5) + "ab", "Schema name truncated"},
          // 0xC3 alone is invalid, but followed by the count byte 0xA9 the payload is valid.
          {"name not UTF-8 on its own", u16(1) + "\xc3" + "\xa9\x00"s,
           "Invalid UTF-8 in schema name"},
          {"no column count", name, "Schema column count truncated"},
          {"column count cut", name + "\x01", "Schema column count truncated"},
          {"column length cut", name + u16(1) + "\x01", "Column name length truncated"},
          {"column name cut", name + u16(1) + u16(3) + "a", "Column name truncated"},
          {"column name not UTF-8 on its own", name + u16(1) + u16(1) + "\xc3" + "\xa9\x00"s,
           "Invalid UTF-8 in column name"},
          {"no type", name + u16(1) + u16(1) + "a", "Column type/nullable truncated"},
          {"no nullable", name + u16(1) + u16(1) + "a" + "\x03", "Column type/nullable truncated"},
          {"type 6", name + u16(1) + u16(1) + "a" + "\x06\x00"s, "Invalid column type"},
          {"second column cut", name + u16(2) + u16(1) + "a" + "\x01\x00"s + u16(1),
           "Column name truncated"},
      },
      decode_schema);
}

TEST(DecodeSchemaTest, RoundTripWithEveryTypeAndNullableAnyNonZero) {
  std::vector<WireColumn> columns;
  for (std::uint8_t t = 0; t <= 5; ++t) columns.push_back({"c" + std::to_string(t), t, t % 2 == 1});
  auto r = decode_schema(encode_schema("users", columns) + "ignored");
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->name, "users");
  ASSERT_EQ(r->columns.size(), 6u);
  for (std::size_t i = 0; i < 6; ++i) {
    EXPECT_EQ(r->columns[i].name, columns[i].name);
    EXPECT_EQ(static_cast<int>(r->columns[i].column_type), static_cast<int>(i));
    EXPECT_EQ(r->columns[i].nullable, columns[i].nullable);
  }

  auto nullable = decode_schema(u16(1) + "t" + u16(1) + u16(1) + "a" + "\x05\x07");
  ASSERT_TRUE(nullable.has_value());
  EXPECT_TRUE(nullable->columns[0].nullable);
  EXPECT_EQ(nullable->columns[0].column_type, ColumnType::Bool);

  auto empty = decode_schema(u16(0) + u16(0));
  ASSERT_TRUE(empty.has_value());
  EXPECT_EQ(empty->name, "");
  EXPECT_TRUE(empty->columns.empty());
}

TEST(WireTest, FrameAndErrorMessage) {
  EXPECT_EQ(encode_frame(opcode::PING, ""), Bytes("\x0e\x00\x00\x00\x00", 5));
  EXPECT_EQ(encode_frame(response::VALUE, "abc"), Bytes("\x82\x03\x00\x00\x00"
                                                        "abc",
                                                        8));
  const Message e = Message::error("boom");
  EXPECT_EQ(e.opcode, 0x81);
  EXPECT_EQ(e.payload, "boom");
  EXPECT_EQ(MAX_MESSAGE_SIZE, 16777216u);
}

TEST(WireTest, ScanListingRoundTripAndLimits) {
  const ScanListing entries = {{"ab", "1"}, {"abc", Bytes("\0\1", 2)}, {"abd", ""}};
  auto encoded = encode_scan_listing(entries);
  ASSERT_TRUE(encoded.has_value());
  EXPECT_EQ(*encoded, u32(3) + u16(2) + "ab" + u32(1) + "1" + u16(3) + "abc" + u32(2) +
                          Bytes("\0\1", 2) + u16(3) + "abd" + u32(0));
  EXPECT_EQ(decode_scan_listing(*encoded), entries);
  EXPECT_EQ(decode_scan_listing(u32(0)), ScanListing{});
  EXPECT_FALSE(decode_scan_listing(u32(1) + u16(2) + "ab").has_value());
  EXPECT_FALSE(decode_scan_listing("\x01").has_value());

  std::size_t too_long = 0;
  EXPECT_TRUE(encode_scan_listing({{std::string(65535, 'k'), "v"}}, &too_long).has_value());
  EXPECT_FALSE(encode_scan_listing({{"ok", ""}, {std::string(65536, 'k'), "v"}}, &too_long));
  EXPECT_EQ(too_long, 65536u);
}

}  // namespace
}  // namespace kavrel
