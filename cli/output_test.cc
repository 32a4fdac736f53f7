#include "cli/output.h"

#include <gtest/gtest.h>

namespace kavrel::cli {
namespace {

const std::string kNull(kToonNull);

TEST(OutputTest, CsvFieldsAreQuotedOnlyWhenTheyMustBe) {
  struct Case {
    std::string text, null_marker, field;
  };
  const Case cases[] = {
      {"plain", "", "plain"},
      {"", "", "\"\""},  // the empty text is not NULL
      {"a,b", "", "\"a,b\""},
      {"say \"hi\"", "", "\"say \"\"hi\"\"\""},
      {"two\nlines", "", "\"two\nlines\""},
      {"NULL", "NULL", "\"NULL\""},  // a text equal to the marker
      {"", "NULL", ""},
      {"héllo", "", "héllo"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(csv_field(c.text, c.null_marker), c.field);
  }
}

TEST(OutputTest, QueryCsvKeepsNullApartFromEveryText) {
  const ToonTable t{{"id", "note"}, {{"1", kNull}, {"2", ""}, {"3", "NULL"}, {"4", "x,y"}}};
  EXPECT_EQ(query_csv(t), "id,note\n1,\n2,\"\"\n3,NULL\n4,\"x,y\"\n");
  EXPECT_EQ(query_csv(t, "NULL"), "id,note\n1,NULL\n2,\n3,\"NULL\"\n4,\"x,y\"\n");
}

TEST(OutputTest, QueryJsonTypesTheColumnsOfRegisteredTables) {
  const ToonTable t{
      {"id", "price", "ok", "note", "big"},
      {{"-7", "1.500000", "T", "42", "18446744073709551615"}, {kNull, "inf", "F", kNull, "x"}}};
  EXPECT_EQ(query_json(t),
            R"([{"id":"-7","price":"1.500000","ok":"T","note":"42","big":"18446744073709551615"},)"
            R"({"id":null,"price":"inf","ok":"F","note":null,"big":"x"}])"
            "\n");
  EXPECT_EQ(query_json(t, {{"id", 0}, {"price", 2}, {"ok", 5}, {"note", 3}, {"big", 1}}),
            R"([{"id":-7,"price":1.5,"ok":true,"note":"42","big":18446744073709551615},)"
            R"({"id":null,"price":"inf","ok":false,"note":null,"big":"x"}])"
            "\n");
  EXPECT_EQ(query_json(ToonTable{{"a"}, {}}), "[]\n");
}

TEST(OutputTest, QueryJsonWritesFloatsExactlyAndBinariesAsScanDoes) {
  struct Case {
    std::string cell;
    std::uint8_t type;
    std::string json;
  };
  const Case cases[] = {
      {"0.1234567891", 2, "0.1234567891"},
      {"1e+300", 2, "1e+300"},
      {"2.500000", 2, "2.5"},
      {"1.0", 2, "1"},
      {"NaN", 2, R"("NaN")"},
      {"-inf", 2, R"("-inf")"},
      {"b64:AP8=", 4, R"({"hex":"00ff"})"},
      {"b64:aGk=", 4, R"("hi")"},
      {"b64:", 4, R"("")"},
      {"b64:AAEC", 4, R"("\u0000\u0001\u0002")"},  // UTF-8, as scan writes it too
      {"b64:!!", 4, R"("b64:!!")"},                // not base64: the text as it came
      {"plain", 3, R"("plain")"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.cell);
    EXPECT_EQ(query_json(ToonTable{{"v"}, {{c.cell}}}, {{"v", c.type}}),
              "[{\"v\":" + c.json + "}]\n");
  }
  // The same bytes in a scan listing.
  EXPECT_EQ(scan_json({{"k1", Bytes("\x00\xff", 2)}, {"k2", "hi"}}, false),
            R"([{"key":"k1","value":{"hex":"00ff"}},{"key":"k2","value":"hi"}])"
            "\n");
  // A column selected twice is one member.
  EXPECT_EQ(query_json(ToonTable{{"a", "a"}, {{"1", "1"}}}, {{"a", 0}}), "[{\"a\":1}]\n");
}

TEST(OutputTest, NullMarkerReplacesOnlyNullCells) {
  const ToonTable t{{"a", "b"}, {{kNull, "∅x"}}};
  EXPECT_EQ(with_null_marker(t, "<null>").rows,
            (std::vector<std::vector<std::string>>{{"<null>", "∅x"}}));
}

TEST(OutputTest, ScanOutputsCarryAnyBytes) {
  const ScanListing entries = {{"ab/1", "plain"}, {"ab/2", Bytes("a\0\xff", 3)}, {"ab\xfe", "v,w"}};
  EXPECT_EQ(scan_csv(entries, false),
            "key,value\nab/1,plain\nab/2,\"\"\"a\\0\\xff\"\"\"\n\"\"\"ab\\xfe\"\"\",\"v,w\"\n");
  EXPECT_EQ(scan_csv(entries, true),
            "key,value\nab/1,706c61696e\nab/2,6100ff\n\"\"\"ab\\xfe\"\"\",762c77\n");
  EXPECT_EQ(scan_json(entries, false),
            R"([{"key":"ab/1","value":"plain"},{"key":"ab/2","value":{"hex":"6100ff"}},)"
            R"({"key":{"hex":"6162fe"},"value":"v,w"}])"
            "\n");
  EXPECT_EQ(scan_json({}, false), "[]\n");
}

}  // namespace
}  // namespace kavrel::cli
