#include "tools/src/cli/exact_floats.h"

#include <bit>
#include <cmath>
#include <cstdlib>
#include <limits>

#include <gtest/gtest.h>

#include "client/row_packer.h"
#include "tools/src/cli/output.h"

namespace kavrel::cli {
namespace {

TEST(ExactFloatsTest, FloatTextIsTheShortestThatReadsBack) {
  struct Case {
    double x;
    const char* text;
    const char* toon;  // as the server's TOON text writes it
  };
  const Case cases[] = {
      {0.1234567891, "0.1234567891", "0.123457"},
      {1e300, "1e+300", nullptr},  // 301 digits and six decimals in TOON
      {2.5, "2.5", "2.500000"},
      {1.0, "1", "1.000000"},
      {-0.0, "-0", "-0.000000"},
      {100.0, "100", "100.000000"},
      {0.1, "0.1", "0.100000"},
      {0.1 + 0.2, "0.30000000000000004", "0.300000"},
      {1e-7, "1e-07", "0.000000"},
      {123456.789, "123456.789", "123456.789000"},
      {5e-324, "5e-324", "0.000000"},
      {std::numeric_limits<double>::max(), "1.7976931348623157e+308", nullptr},
      {std::nan(""), "NaN", "NaN"},
      {std::numeric_limits<double>::infinity(), "inf", "inf"},
      {-std::numeric_limits<double>::infinity(), "-inf", "-inf"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(float_text(c.x), c.text);
    if (c.toon != nullptr) {
      EXPECT_EQ(toon_float_text(c.x), c.toon);
    }
    if (std::isfinite(c.x)) {
      EXPECT_EQ(std::bit_cast<std::uint64_t>(std::strtod(c.text, nullptr)),
                std::bit_cast<std::uint64_t>(c.x))
          << "reads back as the same double";
    }
  }
  EXPECT_EQ(toon_float_text(1e300).size(), 301u + 7u);
}

WireSchema prices() { return {"p", {{"id", 0, false}, {"price", 2, true}, {"note", 3, true}}}; }

Bytes row(const std::vector<RowValue>& values) { return pack_row(prices(), values).value(); }

// A tagged float as a path row stores it.
Bytes tagged(double x) {
  Bytes out(1, '\x03');
  put_u64(out, std::bit_cast<std::uint64_t>(x));
  return out;
}

TEST(ExactFloatsTest, RegisteredTableFloatsComeFromThePackedRows) {
  const ScanListing entries = {
      {"p/1", row({{"id", "1"}, {"price", "0.1234567891"}})},
      {"p/1/x", "a path row under the table: not one of its rows"},
      {"p/2", row({{"id", "2"}})},  // price NULL
      {"p/3", row({{"id", "3"}, {"price", "1e300"}, {"note", "n"}})},
      {"p/4", Bytes("\x00", 1)},  // too short to be a row
      {"p/5", row({{"id", "5"}, {"price", "-2.5"}})},
  };
  const std::string big = toon_float_text(1e300);
  struct Case {
    const char* name;
    std::uint32_t limit, offset;
    std::vector<std::string> columns;
    ToonTable answer, shown;
  };
  const std::string null(kToonNull);
  const Case cases[] = {
      {"every row",
       0,
       0,
       {},
       {{"id", "price", "note"},
        {{"1", "0.123457", null}, {"2", null, null}, {"3", big, "n"}, {"5", "-2.500000", null}}},
       {{"id", "price", "note"},
        {{"1", "0.1234567891", null},
         {"2", null, null},
         {"3", "1e+300", "n"},
         {"5", "-2.5", null}}}},
      {"offset and limit",
       2,
       1,
       {"price"},
       {{"price"}, {{null}, {big}}},
       {{"price"}, {{null}, {"1e+300"}}}},
      {"a row the server left out", 0, 0, {"price"}, {{"price"}, {{"0.123457"}}}, {}},
      {"a value changed since", 1, 0, {}, {{"id", "price", "note"}, {{"1", "0.5", null}}}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ToonTable table = c.answer;
    const bool changed = show_exact_floats(table, entries, prices(), c.limit, c.offset, c.columns);
    EXPECT_EQ(changed, !c.shown.columns.empty());
    EXPECT_EQ(table, changed ? c.shown : c.answer);
  }
}

TEST(ExactFloatsTest, PathTableFloatsComeFromTaggedValues) {
  const ScanListing entries = {
      {"t/1/a", tagged(0.1234567891)},
      {"t/1/b", "1.500000"},  // a text that looks like a float stays as it is
      {"t/2/a", tagged(1e-7)},
      {"t/2/c/d", tagged(2.5)},  // the column is everything after the row id
  };
  const std::string null(kToonNull);
  ToonTable table{{"a", "b", "c/d"},
                  {{"0.123457", "1.500000", null}, {"0.000000", null, "2.500000"}}};
  ASSERT_TRUE(show_exact_floats(table, entries, std::nullopt, 0, 0, {}));
  EXPECT_EQ(table, (ToonTable{{"a", "b", "c/d"},
                              {{"0.1234567891", "1.500000", null}, {"1e-07", null, "2.5"}}}));
  EXPECT_TRUE(may_hold_rounded_floats(ToonTable{{"a"}, {{"-1.500000"}}}, std::nullopt));
  EXPECT_FALSE(may_hold_rounded_floats(ToonTable{{"a"}, {{"1.5"}, {"x.000000"}}}, std::nullopt));
  EXPECT_TRUE(may_hold_rounded_floats(ToonTable{{"price"}, {{"3.000000"}}}, prices()));
  EXPECT_FALSE(
      may_hold_rounded_floats(ToonTable{{"price", "note"}, {{"NaN", "1.500000"}}}, prices()));
  // A float written otherwise than with six digits: the server wrote them exactly.
  EXPECT_FALSE(may_hold_rounded_floats(ToonTable{{"price"}, {{"3.000000"}, {"2.5"}}}, prices()));
  EXPECT_EQ(query_scan_prefix("t", true), "t/");
  EXPECT_EQ(query_scan_prefix("t/1", true), "t/1");
  EXPECT_EQ(query_scan_prefix("t", false), "t");
}

}  // namespace
}  // namespace kavrel::cli
