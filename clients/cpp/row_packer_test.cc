#include "clients/cpp/row_packer.h"

#include <bit>
#include <limits>

#include <gtest/gtest.h>

namespace kavrel {
namespace {

const WireSchema kOrders{"orders",
                         {{"id", 0, false},
                          {"qty", 1, true},
                          {"price", 2, true},
                          {"note", 3, true},
                          {"blob", 4, true},
                          {"paid", 5, false}}};

TEST(RowPackerTest, CellsAreEncodedByType) {
  struct Case {
    std::uint8_t type;
    Bytes text;
    Bytes bytes;
  };
  const Case cases[] = {
      {0, "-1", le_bytes<std::uint64_t>(~0ull)},
      {0, "+42", le_bytes<std::uint64_t>(42)},
      {0, "9223372036854775807", le_bytes<std::uint64_t>(0x7fffffffffffffffull)},
      {1, "18446744073709551615", le_bytes<std::uint64_t>(~0ull)},
      {2, "1.5", le_bytes(std::bit_cast<std::uint64_t>(1.5))},
      {2, "-2e3", le_bytes(std::bit_cast<std::uint64_t>(-2000.0))},
      {2, "-inf", le_bytes(std::bit_cast<std::uint64_t>(-std::numeric_limits<double>::infinity()))},
      {3, "héllo", le_bytes<std::uint32_t>(6) + "héllo"},
      {3, "", le_bytes<std::uint32_t>(0)},
      {4, Bytes("\0\xff", 2), le_bytes<std::uint32_t>(2) + Bytes("\0\xff", 2)},
      {5, "TRUE", "\x01"},
      {5, "no", Bytes(1, '\0')},
      {5, "1", "\x01"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    auto r = encode_cell(c.type, c.text);
    ASSERT_TRUE(r) << r.error();
    EXPECT_EQ(*r, c.bytes);
  }
}

TEST(RowPackerTest, BadCellsSayWhatTheTypeNeeds) {
  struct Case {
    std::uint8_t type;
    Bytes text;
    std::string error;
  };
  const Case cases[] = {
      {0, "abc", "\"abc\" is not a whole number from -9223372036854775808 to 9223372036854775807"},
      {0, "9223372036854775808",
       "\"9223372036854775808\" is not a whole number from -9223372036854775808 to "
       "9223372036854775807"},
      {0, "1.0", "\"1.0\" is not a whole number from -9223372036854775808 to 9223372036854775807"},
      {1, "-1", "\"-1\" is not a whole number from 0 to 18446744073709551615"},
      {2, "1,5", "\"1,5\" is not a number (such as 1.5, -2e10, inf or nan)"},
      {3, "\xff", "the text is not valid UTF-8"},
      {5, "maybe", "\"maybe\" is not a boolean (true, false, t, f, yes, no, 1 or 0)"},
      {6, "x", "unknown column type code 6"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    auto r = encode_cell(c.type, c.text);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), c.error);
  }
}

TEST(RowPackerTest, RowHasBitmapOffsetsAndDataInColumnOrder) {
  auto r =
      pack_row(kOrders, {{"paid", "true"}, {"id", "7"}, {"note", "hi"}, {"qty", std::nullopt}});
  ASSERT_TRUE(r) << r.error();
  // Columns 1 (qty, explicit NULL), 2 (price) and 4 (blob) are NULL: bits 1, 2 and 4.
  const Bytes expected = Bytes(1, '\x16') +                   // bitmap
                         le_bytes<std::uint32_t>(0) +         // id at 0
                         le_bytes<std::uint32_t>(0) +         // qty (NULL)
                         le_bytes<std::uint32_t>(0) +         // price (NULL)
                         le_bytes<std::uint32_t>(8) +         // note at 8
                         le_bytes<std::uint32_t>(0) +         // blob (NULL)
                         le_bytes<std::uint32_t>(14) +        // paid at 14
                         le_bytes<std::uint64_t>(7) +         // id
                         le_bytes<std::uint32_t>(2) + "hi" +  // note
                         "\x01";                              // paid
  EXPECT_EQ(*r, expected);
}

TEST(RowPackerTest, NineColumnsTakeTwoBitmapBytes) {
  WireSchema wide{"w", {}};
  for (int i = 0; i < 9; ++i) wide.columns.push_back({"c" + std::to_string(i), 5, true});
  auto r = pack_row(wide, {{"c0", "t"}});
  ASSERT_TRUE(r) << r.error();
  ASSERT_EQ(r->size(), 2u + 36u + 1u);
  EXPECT_EQ(static_cast<unsigned char>((*r)[0]), 0xfeu);
  EXPECT_EQ(static_cast<unsigned char>((*r)[1]), 0x01u);
}

TEST(RowPackerTest, RowsThatDoNotFitTheSchemaNameTheColumn) {
  struct Case {
    const char* name;
    std::vector<RowValue> values;
    std::string error;
  };
  const Case cases[] = {
      {"missing non-nullable",
       {{"id", "1"}},
       "column \"paid\" (bool) is not nullable and needs a value"},
      {"explicit NULL of a non-nullable",
       {{"id", std::nullopt}, {"paid", "t"}},
       "column \"id\" (int) is not nullable and needs a value"},
      {"unknown column",
       {{"id", "1"}, {"paid", "t"}, {"colour", "red"}},
       "table \"orders\" has no column \"colour\""},
      {"twice", {{"id", "1"}, {"id", "2"}, {"paid", "t"}}, "column \"id\" is given twice"},
      {"bad value",
       {{"id", "1"}, {"paid", "t"}, {"price", "cheap"}},
       "column \"price\" (float): \"cheap\" is not a number (such as 1.5, -2e10, inf or nan)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto r = pack_row(kOrders, c.values);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), c.error);
  }
}

}  // namespace
}  // namespace kavrel
