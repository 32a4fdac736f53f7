#include "storage/table/packed_row.h"

#include <bit>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "storage/table/toon.h"

namespace kavrel {
namespace {

using T = PackedColumnType;

// A row from a bitmap, raw offsets and a data area, laid out exactly as given.
Bytes raw_row(Bytes bitmap, const std::vector<std::uint32_t>& offsets, const Bytes& data) {
  Bytes row = std::move(bitmap);
  for (const std::uint32_t o : offsets) put_u32(row, o);
  return row + data;
}

TEST(PackedRowTest, NullBitmapOverridesOffset) {
  // Column 1 is marked null yet its offset points at a well-formed Text; columns 0 and 2 are Ints.
  const Bytes data = le_bytes<std::uint64_t>(7) +
                     le_bytes<std::uint64_t>(static_cast<std::uint64_t>(-3)) +
                     le_bytes<std::uint32_t>(2) + "hi";
  const Bytes bytes = raw_row(Bytes(1, '\x02'), {0, 16, 8}, data);
  auto row = PackedRow::open(bytes, 3);
  ASSERT_TRUE(row.has_value()) << row.error().message();
  EXPECT_EQ(row->bitmap_len(), 1u);
  EXPECT_EQ(row->get_column(0, T::Int), KavValue{std::int64_t{7}});
  EXPECT_EQ(row->get_column(1, T::Text), KavValue{});
  EXPECT_EQ(row->get_column(2, T::Int), KavValue{std::int64_t{-3}});
  // Without the null bit the same offset decodes the text, so the bit is what made it Null.
  const Bytes unmarked = raw_row(Bytes(1, '\0'), {0, 16, 8}, data);
  EXPECT_EQ(PackedRow::open(unmarked, 3)->get_column(1, T::Text), KavValue{std::string("hi")});
}

TEST(PackedRowTest, NineColumnsNeedTwoBitmapBytes) {
  auto short_row = PackedRow::open(Bytes(37, '\0'), 9);
  ASSERT_FALSE(short_row.has_value());
  EXPECT_EQ(short_row.error().kind(), KavrelError::Kind::Internal);
  EXPECT_EQ(short_row.error().message(), "Internal error: PackedRow data too short: 37 < 38");

  // Column 8 is bit 0 of the second bitmap byte; column 7 is bit 7 of the first.
  const std::vector<std::uint32_t> offsets(9, 0);
  const Bytes marked = raw_row(Bytes("\x00\x01", 2), offsets, Bytes(1, '\x05'));
  auto row = PackedRow::open(marked, 9);
  ASSERT_TRUE(row.has_value()) << row.error().message();
  EXPECT_EQ(row->bitmap_len(), 2u);
  EXPECT_EQ(row->get_column(7, T::Bool), KavValue{true});
  EXPECT_EQ(row->get_column(8, T::Bool), KavValue{});
  const Bytes high = raw_row(Bytes("\x80\x00", 2), offsets, Bytes(1, '\x05'));
  EXPECT_EQ(PackedRow::open(high, 9)->get_column(7, T::Bool), KavValue{});
  EXPECT_EQ(PackedRow::open(high, 9)->get_column(8, T::Bool), KavValue{true});
}

TEST(PackedRowTest, OpenRequiresBitmapAndOffsetTable) {
  struct Case {
    std::uint16_t columns;
    std::size_t len;
    bool ok;
  };
  const Case cases[] = {{0, 0, true},   {1, 4, false}, {1, 5, true},    {8, 33, true},
                        {8, 32, false}, {9, 38, true}, {16, 65, false}, {17, 71, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.columns << " columns, " << c.len << " bytes");
    auto row = PackedRow::open(Bytes(c.len, '\0'), c.columns);
    EXPECT_EQ(row.has_value(), c.ok);
  }
  auto wide = PackedRow::open(Bytes(10, '\0'), 65535);
  ASSERT_FALSE(wide.has_value());
  EXPECT_EQ(wide.error().text(), "PackedRow data too short: 10 < 270332");
}

TEST(PackedRowTest, IndexBeyondColumnCountIsAbsentNotNull) {
  const Bytes bytes = raw_row(Bytes(1, '\x07'), {0, 0, 0}, "");
  auto row = PackedRow::open(bytes, 3);
  ASSERT_TRUE(row.has_value());
  EXPECT_EQ(row->get_column(2, T::Int), std::optional<KavValue>(KavValue{}));
  EXPECT_EQ(row->get_column(3, T::Int), std::nullopt);
  EXPECT_EQ(row->get_column(5, T::Int), std::nullopt);
  auto empty = PackedRow::open("", 0);
  ASSERT_TRUE(empty.has_value());
  EXPECT_EQ(empty->get_column(0, T::Bool), std::nullopt);
}

// One non-null column of the given type whose data area and offset are given.
std::optional<KavValue> single(T type, std::uint32_t offset, const Bytes& data) {
  const Bytes bytes = raw_row(Bytes(1, '\0'), {offset}, data);
  auto row = PackedRow::open(bytes, 1);
  if (!row) return std::nullopt;
  return row->get_column(0, type);
}

TEST(PackedRowTest, ColumnDecodingAndMalformedData) {
  struct Case {
    const char* name;
    T type;
    std::uint32_t offset;
    Bytes data;
    KavValue want;
  };
  const std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
  const Case cases[] = {
      {"bool zero", T::Bool, 0, Bytes(1, '\0'), KavValue{false}},
      {"bool any nonzero", T::Bool, 0, "\x80", KavValue{true}},
      {"bool at offset", T::Bool, 2, Bytes("\x00\x00\x01", 3), KavValue{true}},
      {"int", T::Int, 0, le_bytes<std::uint64_t>(static_cast<std::uint64_t>(-42)),
       KavValue{std::int64_t{-42}}},
      {"uint max", T::UInt, 0, le_bytes<std::uint64_t>(max), KavValue{max}},
      {"float", T::Float, 0, le_bytes<std::uint64_t>(std::bit_cast<std::uint64_t>(2.5)),
       KavValue{2.5}},
      {"int with 7 bytes left", T::Int, 1, le_bytes<std::uint64_t>(1), KavValue{}},
      {"uint with 7 bytes left", T::UInt, 0, Bytes(7, '\x01'), KavValue{}},
      {"float with 7 bytes left", T::Float, 0, Bytes(7, '\x01'), KavValue{}},
      {"offset at the end", T::Bool, 1, Bytes(1, '\x01'), KavValue{}},
      {"offset far beyond", T::Int, 0xFFFFFFFFu, le_bytes<std::uint64_t>(1), KavValue{}},
      {"text", T::Text, 0, le_bytes<std::uint32_t>(2) + "hi", KavValue{std::string("hi")}},
      {"empty text", T::Text, 0, le_bytes<std::uint32_t>(0), KavValue{std::string()}},
      {"text length past end", T::Text, 0, le_bytes<std::uint32_t>(3) + "hi", KavValue{}},
      {"text length field cut", T::Text, 0, Bytes(3, '\0'), KavValue{}},
      {"text huge length", T::Text, 0, le_bytes<std::uint32_t>(0xFFFFFFFFu) + "hi", KavValue{}},
      {"text not utf-8", T::Text, 0, le_bytes<std::uint32_t>(2) + "\xFF\xFF", KavValue{}},
      {"text utf-8", T::Text, 0, le_bytes<std::uint32_t>(3) + "\xE2\x88\x85",
       KavValue{std::string("\xE2\x88\x85")}},
      {"binary", T::Binary, 0, le_bytes<std::uint32_t>(2) + Bytes("\xFF\x00zz", 4),
       KavValue{KavBinary{Bytes("\xFF\x00", 2)}}},
      {"binary length past end", T::Binary, 0, le_bytes<std::uint32_t>(5) + "abcd", KavValue{}},
      {"binary length field cut", T::Binary, 0, Bytes(2, '\0'), KavValue{}},
      {"unknown type code", static_cast<T>(9), 0, le_bytes<std::uint64_t>(1), KavValue{}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(single(c.type, c.offset, c.data), std::optional<KavValue>(c.want));
  }
}

TEST(PackedRowTest, ColumnsMayShareBytes) {
  const Bytes bytes =
      raw_row(Bytes(1, '\0'), {0, 0}, le_bytes<std::uint64_t>(static_cast<std::uint64_t>(-1)));
  auto row = PackedRow::open(bytes, 2);
  ASSERT_TRUE(row.has_value());
  EXPECT_EQ(row->get_column(0, T::Int), KavValue{std::int64_t{-1}});
  EXPECT_EQ(row->get_column(1, T::UInt), KavValue{std::numeric_limits<std::uint64_t>::max()});
}

TEST(PackedRowTest, EncoderRoundTripsAndMarksUnfitValuesNull) {
  const std::vector<T> types = {T::Bool,   T::Int, T::UInt, T::Float, T::Text,
                                T::Binary, T::Int, T::Text, T::Int,   T::Bool};
  const std::vector<std::optional<KavValue>> values = {
      KavValue{true},
      KavValue{std::int64_t{-5}},
      KavValue{std::uint64_t{5}},
      KavValue{-0.25},
      KavValue{std::string("a,b")},
      KavValue{KavBinary{Bytes("\x00\x01", 2)}},
      std::nullopt,                // absent
      KavValue{std::uint64_t{1}},  // UInt into a Text column
      KavValue{},                  // Null
  };                               // the tenth column has no value at all
  const Bytes bytes = encode_packed_row(values, types);
  auto row = PackedRow::open(bytes, static_cast<std::uint16_t>(types.size()));
  ASSERT_TRUE(row.has_value()) << row.error().message();
  EXPECT_EQ(row->bitmap_len(), 2u);
  for (std::size_t i = 0; i < 6; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(row->get_column(i, types[i]), values[i]);
  }
  for (std::size_t i = 6; i < types.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(row->get_column(i, types[i]), KavValue{});
  }
  // Null bits: columns 6..9 are bits 6, 7 of byte 0 and bits 0, 1 of byte 1.
  EXPECT_EQ(static_cast<unsigned char>(bytes[0]), 0xC0);
  EXPECT_EQ(static_cast<unsigned char>(bytes[1]), 0x03);
}

TEST(TaggedValueTest, DecodesTagsAndFallsBackToText) {
  const std::string fffd = "\xEF\xBF\xBD";
  const std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
  struct Case {
    const char* name;
    Bytes value;
    KavValue want;
  };
  const Case cases[] = {
      {"empty", "", KavValue{}},
      {"null with junk", Bytes("\x00zz", 3), KavValue{}},
      {"int -1", "\x01" + Bytes(8, '\xFF'), KavValue{std::int64_t{-1}}},
      {"int with 7 bytes", "\x01" + Bytes(7, '\xFF'),
       KavValue{"\x01" + fffd + fffd + fffd + fffd + fffd + fffd + fffd}},
      {"int extra bytes ignored", "\x01" + le_bytes<std::uint64_t>(3) + "xyz",
       KavValue{std::int64_t{3}}},
      {"uint", "\x02" + le_bytes<std::uint64_t>(max), KavValue{max}},
      {"uint short", "\x02\x41", KavValue{std::string("\x02\x41")}},
      {"float", "\x03" + le_bytes<std::uint64_t>(std::bit_cast<std::uint64_t>(1.5)), KavValue{1.5}},
      {"float short", Bytes(1, '\x03'), KavValue{std::string("\x03")}},
      {"text hi", "\x04hi", KavValue{std::string("hi")}},
      {"text empty", "\x04", KavValue{std::string()}},
      {"text lossy", "\x04h\xFFi", KavValue{"h" + fffd + "i"}},
      {"bool false", Bytes("\x05\x00", 2), KavValue{false}},
      {"bool true", "\x05\x02", KavValue{true}},
      {"bool short", "\x05", KavValue{std::string("\x05")}},
      {"binary", Bytes("\x06\x00\xFF", 3), KavValue{KavBinary{Bytes("\x00\xFF", 2)}}},
      {"binary empty", "\x06", KavValue{KavBinary{}}},
      {"unknown tag 7", "\x07x", KavValue{std::string("\x07x")}},
      {"unknown tag 0xFF", "\xFFok", KavValue{fffd + "ok"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(decode_tagged_value(c.value), c.want);
  }
}

TEST(TaggedValueTest, EncoderRoundTrips) {
  const KavValue values[] = {
      KavValue{},
      KavValue{false},
      KavValue{true},
      KavValue{std::numeric_limits<std::int64_t>::min()},
      KavValue{std::numeric_limits<std::uint64_t>::max()},
      KavValue{-2.5e-3},
      KavValue{std::string("h\xC3\xA9llo")},
      KavValue{KavBinary{Bytes("\x00\x01\xFF", 3)}},
  };
  for (const KavValue& v : values) {
    SCOPED_TRACE(kav_debug_string(v));
    EXPECT_EQ(decode_tagged_value(encode_tagged_value(v)), v);
  }
  EXPECT_EQ(encode_tagged_value(KavValue{std::int64_t{1}}), "\x01" + le_bytes<std::uint64_t>(1));
  EXPECT_EQ(encode_tagged_value(KavValue{true}), "\x05\x01");
  // Values without a tag of their own travel as the text of their debug notation.
  const KavValue ref{KavRef{"t", 1}};
  EXPECT_EQ(decode_tagged_value(encode_tagged_value(ref)),
            KavValue{std::string("Ref { table: \"t\", id: 1 }")});
}

}  // namespace
}  // namespace kavrel
