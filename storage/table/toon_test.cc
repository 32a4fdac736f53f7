#include "storage/table/toon.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string>

#include <gtest/gtest.h>

#include "storage/table/query.h"

namespace kavrel {
namespace {

const std::string kEmpty = "\xE2\x88\x85";

TEST(ToonTest, RendersHeaderAndRows) {
  QueryResult r;
  r.columns = {"id", "name"};
  r.rows = {{{"id", KavValue{std::int64_t{1}}}, {"name", KavValue{std::string("alice")}}},
            {{"id", KavValue{std::int64_t{2}}}, {"name", KavValue{std::string("bob")}}}};
  EXPECT_EQ(r.to_toon(), "result[2]{id,name}:1,alice;2,bob");
}

TEST(ToonTest, NoRowsIsEmptyBracketsWhateverTheColumns) {
  QueryResult r;
  EXPECT_EQ(r.to_toon(), "[]");
  r.columns = {"id", "name"};
  EXPECT_EQ(r.to_toon(), "[]");
}

TEST(ToonTest, AbsentAndNullCellsAndEmptyRows) {
  QueryResult r;
  r.columns = {"id", "name", "age"};
  r.rows = {{{"id", KavValue{std::int64_t{1}}}, {"age", KavValue{}}}, {}};
  EXPECT_EQ(r.to_toon(), "result[2]{id,name,age}:1," + kEmpty + "," + kEmpty + ";" + kEmpty + "," +
                             kEmpty + "," + kEmpty);
}

TEST(ToonTest, EmptyColumnListGivesEmptyRowTexts) {
  QueryResult r;
  r.rows = {{{"x", KavValue{true}}}, {{"y", KavValue{false}}}};
  EXPECT_EQ(r.to_toon(), "result[2]{}:;");
}

TEST(ToonTest, ColumnNamesAreNeverEscaped) {
  QueryResult r;
  r.columns = {"a,b", "c;\"d\"", "e:{f}"};
  r.rows = {{{"a,b", KavValue{std::int64_t{1}}}}};
  EXPECT_EQ(r.to_toon(), "result[1]{a,b,c;\"d\",e:{f}}:1," + kEmpty + "," + kEmpty);
}

TEST(ToonTest, CellRenderings) {
  const double inf = std::numeric_limits<double>::infinity();
  struct Case {
    const char* name;
    KavValue value;
    std::string want;
  };
  const Case cases[] = {
      {"null", KavValue{}, kEmpty},
      {"true", KavValue{true}, "T"},
      {"false", KavValue{false}, "F"},
      {"int zero", KavValue{std::int64_t{0}}, "0"},
      {"int negative", KavValue{std::int64_t{-17}}, "-17"},
      {"int min", KavValue{std::numeric_limits<std::int64_t>::min()}, "-9223372036854775808"},
      {"int max", KavValue{std::numeric_limits<std::int64_t>::max()}, "9223372036854775807"},
      {"uint max", KavValue{std::numeric_limits<std::uint64_t>::max()}, "18446744073709551615"},
      {"float 1.5", KavValue{1.5}, "1.500000"},
      {"float -0.25", KavValue{-0.25}, "-0.250000"},
      {"float 2.5e6", KavValue{2.5e6}, "2500000.000000"},
      {"float 1/3", KavValue{1.0 / 3.0}, "0.333333"},
      {"float 2/3 rounds", KavValue{2.0 / 3.0}, "0.666667"},
      {"float tiny", KavValue{1e-9}, "0.000000"},
      {"float 1e20", KavValue{1e20}, "100000000000000000000.000000"},
      {"float nan", KavValue{std::nan("")}, "NaN"},
      {"float -nan", KavValue{-std::nan("")}, "NaN"},
      {"float inf", KavValue{inf}, "inf"},
      {"float -inf", KavValue{-inf}, "-inf"},
      {"text plain", KavValue{std::string("alice")}, "alice"},
      {"text empty", KavValue{std::string()}, ""},
      {"text comma", KavValue{std::string("a,b")}, "\"a,b\""},
      {"text semicolon", KavValue{std::string("a;b")}, "\"a;b\""},
      {"text quote only", KavValue{std::string("a\"b")}, "a\"b"},
      {"text comma and quotes", KavValue{std::string("x,\"y\"")}, "\"x,\\\"y\\\"\""},
      {"text backslash kept", KavValue{std::string("a\\,b")}, "\"a\\,b\""},
      {"text raw specials", KavValue{std::string("l1\nl2\\:{}")}, "l1\nl2\\:{}"},
      {"binary", KavValue{KavBinary{Bytes("\x00\x01\x02", 3)}}, "b64:AAEC"},
      {"binary empty", KavValue{KavBinary{}}, "b64:"},
      {"ref", KavValue{KavRef{"t", 1}}, "Ref { table: \"t\", id: 1 }"},
      {"array", KavValue{KavArray{{KavValue{std::int64_t{1}}, KavValue{std::string("a")}}}},
       "Array([Int(1), Text(\"a\")])"},
      {"object", KavValue{KavObject{{{"k", KavValue{}}, {"n", KavValue{1.0}}}}},
       "Object({\"k\": Null, \"n\": Float(1.0)})"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(toon_cell(c.value), c.want);
  }
}

// Asked for, a float is written as the shortest text that reads back to the same double.
TEST(ToonTest, ShortestFloatsReadBackExactly) {
  const double inf = std::numeric_limits<double>::infinity();
  struct Case {
    double value;
    const char* want;
  };
  const Case cases[] = {
      {0.1234567891, "0.1234567891"},
      {1e300, "1e+300"},
      {1.5, "1.5"},
      {-0.25, "-0.25"},
      {2.5e6, "2500000"},
      {1.0 / 3.0, "0.3333333333333333"},
      {1e-9, "1e-09"},
      {inf, "inf"},
      {std::nan(""), "NaN"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.want);
    const std::string text = toon_cell(KavValue{c.value}, FloatText::Shortest);
    EXPECT_EQ(text, c.want);
    if (!std::isnan(c.value)) {
      EXPECT_EQ(std::strtod(text.c_str(), nullptr), c.value);
    }
  }
}

TEST(ToonTest, DebugNotationOfEveryVariant) {
  struct Case {
    KavValue value;
    std::string want;
  };
  const Case cases[] = {
      {KavValue{}, "Null"},
      {KavValue{true}, "Bool(true)"},
      {KavValue{std::int64_t{-1}}, "Int(-1)"},
      {KavValue{std::uint64_t{7}}, "UInt(7)"},
      {KavValue{1.5}, "Float(1.5)"},
      {KavValue{-2.0}, "Float(-2.0)"},
      {KavValue{std::numeric_limits<double>::infinity()}, "Float(inf)"},
      {KavValue{std::string("q\"")}, "Text(\"q\\\"\")"},
      {KavValue{KavBinary{Bytes("\x00\xFF", 2)}}, "Binary([0, 255])"},
      {KavValue{KavArray{}}, "Array([])"},
      {KavValue{KavArray{{KavValue{KavRef{"u", 9}}}}}, "Array([Ref { table: \"u\", id: 9 }])"},
      {KavValue{KavObject{}}, "Object({})"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(kav_debug_string(c.value), c.want);
  }
}

TEST(Base64Test, StandardPaddedAlphabet) {
  struct Case {
    Bytes in;
    std::string want;
  };
  const Case cases[] = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
      {Bytes("\x00\x01\x02", 3), "AAEC"},
      {"\xFB\xFF", "+/8="},
      {"\xFF\xFF\xFF", "////"},
      {Bytes(1, '\0'), "AA=="},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(base64_encode(c.in), c.want);
  }
}

}  // namespace
}  // namespace kavrel
