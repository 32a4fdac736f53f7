// The payload decoders: every error text in its checking order, and round trips with the
// client-side encoders.
#include "server/payloads.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace kavrel {
namespace {

using namespace std::string_literals;

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
          {"key length 10, 5 key bytes", le_bytes<std::uint32_t>(10) + "abcde",
           "PUT payload key truncated"},
          {"key length beyond any payload", le_bytes<std::uint32_t>(0xFFFFFFFF) + "x",
           "PUT payload key truncated"},
      },
      decode_put);
}

TEST(DecodePutTest, SplitsKeyAndValue) {
  const Bytes empty_payload = le_bytes<std::uint32_t>(0);
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
          {"no room for a segment length", le_bytes<std::uint16_t>(1) + "\x03",
           "Path segment length truncated"},
          {"segment cut short", le_bytes<std::uint16_t>(1) + le_bytes<std::uint16_t>(5) + "ab",
           "Path segment truncated"},
          {"segment not UTF-8", le_bytes<std::uint16_t>(1) + le_bytes<std::uint16_t>(1) + "\xff",
           "Invalid UTF-8 in path"},
          // Segments are checked one after another: the bad first segment is reported even
          // though the second is cut short.
          {"first bad, second cut",
           le_bytes<std::uint16_t>(2) + le_bytes<std::uint16_t>(1) + "\xc3" +
               le_bytes<std::uint16_t>(9),
           "Invalid UTF-8 in path"},
          {"second length cut",
           le_bytes<std::uint16_t>(2) + le_bytes<std::uint16_t>(1) + "a" + "\x01",
           "Path segment length truncated"},
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

  const Bytes none_payload = le_bytes<std::uint16_t>(0) + "rest";
  auto none = decode_path(none_payload);
  ASSERT_TRUE(none.has_value());
  EXPECT_EQ(none->key(), "");
  EXPECT_EQ(none->remainder, "rest");
}

TEST(DecodeQueryTest, ErrorsInOrder) {
  const Bytes path = le_bytes<std::uint16_t>(5) + "users";
  expect_errors(
      {
          {"empty", "", "Query payload too short"},
          {"one byte", "\x05", "Query payload too short"},
          {"path cut short", le_bytes<std::uint16_t>(5) + "use", "Query path truncated"},
          {"path not UTF-8",
           le_bytes<std::uint16_t>(2) + "\xc3\x28" + le_bytes<std::uint32_t>(0) +
               le_bytes<std::uint32_t>(0) + le_bytes<std::uint16_t>(0),
           "Invalid UTF-8 in query path"},
          {"no limit", path, "Query limit/offset truncated"},
          {"offset cut", path + le_bytes<std::uint32_t>(1) + "\x01\x02\x03",
           "Query limit/offset truncated"},
          {"exactly path_len + 10 bytes",
           path + le_bytes<std::uint32_t>(1) + le_bytes<std::uint32_t>(2),
           "Query columns count truncated"},
          {"count cut", path + le_bytes<std::uint32_t>(1) + le_bytes<std::uint32_t>(2) + "\x01",
           "Query columns count truncated"},
          {"column length cut",
           path + le_bytes<std::uint32_t>(0) + le_bytes<std::uint32_t>(0) +
               le_bytes<std::uint16_t>(1) + "\x01",
           "Query column length truncated"},
          {"column cut",
           path + le_bytes<std::uint32_t>(0) + le_bytes<std::uint32_t>(0) +
               le_bytes<std::uint16_t>(1) + le_bytes<std::uint16_t>(4) + "ab",
           "Query column truncated"},
          {"column not UTF-8",
           path + le_bytes<std::uint32_t>(0) + le_bytes<std::uint32_t>(0) +
               le_bytes<std::uint16_t>(2) + le_bytes<std::uint16_t>(1) + "a" +
               le_bytes<std::uint16_t>(1) + "\x80",
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

TEST(DecodeQueryTest, FlagsByteAsksForExactFloats) {
  EXPECT_FALSE(decode_query(encode_query("t", 0, 0, {}))->exact_floats);
  EXPECT_TRUE(decode_query(encode_query("t", 0, 0, {}, kQueryExactFloats))->exact_floats);
  EXPECT_TRUE(decode_query(encode_query("t", 0, 0, {"a"}) + "\x01more")->exact_floats);
}

TEST(DecodeSchemaTest, ErrorsInOrder) {
  const Bytes name = le_bytes<std::uint16_t>(5) + "users";
  expect_errors(
      {
          // A name length of 200 makes the length field itself invalid UTF-8 (0xC8 0x00).
          {"length field not UTF-8",
           le_bytes<std::uint16_t>(200) + "users" + le_bytes<std::uint16_t>(0),
           "Invalid UTF-8 in schema"},
          {"type byte not UTF-8 wins over invalid type",
           name + le_bytes<std::uint16_t>(1) + le_bytes<std::uint16_t>(1) + "a" + "\xc8\x00"s,
           "Invalid UTF-8 in schema"},
          {"empty", "", "Schema payload too short"},
          {"one byte", "\x05", "Schema payload too short"},
          {"name cut short", le_bytes<std::uint16_t>(5) + "ab", "Schema name truncated"},
          // 0xC3 alone is invalid, but followed by the count byte 0xA9 the payload is valid.
          {"name not UTF-8 on its own", le_bytes<std::uint16_t>(1) + "\xc3" + "\xa9\x00"s,
           "Invalid UTF-8 in schema name"},
          {"no column count", name, "Schema column count truncated"},
          {"column count cut", name + "\x01", "Schema column count truncated"},
          {"column length cut", name + le_bytes<std::uint16_t>(1) + "\x01",
           "Column name length truncated"},
          {"column name cut", name + le_bytes<std::uint16_t>(1) + le_bytes<std::uint16_t>(3) + "a",
           "Column name truncated"},
          {"column name not UTF-8 on its own",
           name + le_bytes<std::uint16_t>(1) + le_bytes<std::uint16_t>(1) + "\xc3" + "\xa9\x00"s,
           "Invalid UTF-8 in column name"},
          {"no type", name + le_bytes<std::uint16_t>(1) + le_bytes<std::uint16_t>(1) + "a",
           "Column type/nullable truncated"},
          {"no nullable",
           name + le_bytes<std::uint16_t>(1) + le_bytes<std::uint16_t>(1) + "a" + "\x03",
           "Column type/nullable truncated"},
          {"type 6",
           name + le_bytes<std::uint16_t>(1) + le_bytes<std::uint16_t>(1) + "a" + "\x06\x00"s,
           "Invalid column type"},
          // 0xC2 0x82 is valid UTF-8, but the nullable byte 0xC2 is kept as 1, and 1 0x82 is not:
          // the schema could not be logged and read back.
          {"nullable byte that only makes UTF-8 with the next length",
           name + le_bytes<std::uint16_t>(2) + le_bytes<std::uint16_t>(1) + "a" + "\x00\xc2"s +
               le_bytes<std::uint16_t>(0x82) + Bytes(0x82, 'b') + "\x00\x01"s,
           "Invalid UTF-8 in schema"},
          {"second column cut",
           name + le_bytes<std::uint16_t>(2) + le_bytes<std::uint16_t>(1) + "a" + "\x01\x00"s +
               le_bytes<std::uint16_t>(1),
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

  auto nullable = decode_schema(le_bytes<std::uint16_t>(1) + "t" + le_bytes<std::uint16_t>(1) +
                                le_bytes<std::uint16_t>(1) + "a" + "\x05\x07");
  ASSERT_TRUE(nullable.has_value());
  EXPECT_TRUE(nullable->columns[0].nullable);
  EXPECT_EQ(nullable->columns[0].column_type, ColumnType::Bool);

  auto empty = decode_schema(le_bytes<std::uint16_t>(0) + le_bytes<std::uint16_t>(0));
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
  EXPECT_EQ(*encoded, le_bytes<std::uint32_t>(3) + le_bytes<std::uint16_t>(2) + "ab" +
                          le_bytes<std::uint32_t>(1) + "1" + le_bytes<std::uint16_t>(3) + "abc" +
                          le_bytes<std::uint32_t>(2) + Bytes("\0\1", 2) +
                          le_bytes<std::uint16_t>(3) + "abd" + le_bytes<std::uint32_t>(0));
  EXPECT_EQ(decode_scan_listing(*encoded), entries);
  EXPECT_EQ(decode_scan_listing(le_bytes<std::uint32_t>(0)), ScanListing{});
  EXPECT_FALSE(decode_scan_listing(le_bytes<std::uint32_t>(1) + le_bytes<std::uint16_t>(2) + "ab")
                   .has_value());
  EXPECT_FALSE(decode_scan_listing("\x01").has_value());

  EXPECT_TRUE(encode_scan_listing({{std::string(65535, 'k'), "v"}}).has_value());
  const auto refused = encode_scan_listing({{"ok", ""}, {std::string(65536, 'k'), "v"}});
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().key_len, 65536u);
}

}  // namespace
}  // namespace kavrel
