#include "core/text.h"

#include <gtest/gtest.h>

namespace kavrel {
namespace {

TEST(TextTest, DebugQuote) {
  EXPECT_EQ(debug_quote("./kavrel_data"), "\"./kavrel_data\"");
  EXPECT_EQ(debug_quote("a\"b\\c"), "\"a\\\"b\\\\c\"");
  EXPECT_EQ(debug_quote("x\ny"), "\"x\\ny\"");
}

TEST(TextTest, DebugDuration) {
  using namespace std::chrono_literals;
  EXPECT_EQ(debug_duration(5s), "5s");
  EXPECT_EQ(debug_duration(1500ms), "1.5s");
  EXPECT_EQ(debug_duration(100ms), "100ms");
  EXPECT_EQ(debug_duration(7ns), "7ns");
}

TEST(TextTest, Utf8ValidationAndLossyDecoding) {
  EXPECT_TRUE(is_valid_utf8("hi \xE2\x88\x85"));
  EXPECT_FALSE(is_valid_utf8("\xFF"));
  EXPECT_FALSE(is_valid_utf8("\xC3"));          // cut sequence
  EXPECT_FALSE(is_valid_utf8("\xED\xA0\x80"));  // surrogate
  EXPECT_FALSE(is_valid_utf8("\xC0\xAF"));      // overlong
  EXPECT_EQ(utf8_lossy("a\xFF"
                       "b"),
            "a\xEF\xBF\xBD"
            "b");
  EXPECT_EQ(
      utf8_lossy("\x01\xFF\xFF\xFF\xFF\xFF\xFF\xFF"),
      "\x01\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_EQ(utf8_lossy("\xE2\x88"), "\xEF\xBF\xBD");  // one replacement for a cut sequence
}

TEST(TextTest, Utf8DecodingGivesLengthAndCodePoint) {
  struct Case {
    const char* name;
    std::string bytes;
    std::size_t len;
    char32_t cp;
  };
  const Case cases[] = {
      {"ascii", "A", 1, U'A'},
      {"two bytes", "\xC3\xA9", 2, U'\u00E9'},
      {"three bytes", "\xE2\x88\x85", 3, U'\u2205'},
      {"four bytes", "\xF0\x9F\x98\x80", 4, U'\U0001F600'},
      {"highest code point", "\xF4\x8F\xBF\xBF", 4, U'\U0010FFFF'},
      {"above U+10FFFF", "\xF4\x90\x80\x80", 0, 0},
      {"overlong two bytes", "\xC1\xBF", 0, 0},
      {"overlong three bytes", "\xE0\x9F\xBF", 0, 0},
      {"overlong four bytes", "\xF0\x8F\xBF\xBF", 0, 0},
      {"surrogate", "\xED\xA0\x80", 0, 0},
      {"last before surrogates", "\xED\x9F\xBF", 3, U'\uD7FF'},
      {"lone continuation", "\x80", 0, 0},
      {"cut", "\xE2\x88", 0, 0},
      {"bad third byte", "\xE2\x88\x41", 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Utf8Char got = decode_utf8(c.bytes, 0);
    EXPECT_EQ(got.len, c.len);
    if (c.len != 0) {
      EXPECT_EQ(static_cast<std::uint32_t>(got.cp), static_cast<std::uint32_t>(c.cp));
    }
  }
  // The sequence is read where i points, not at the start.
  EXPECT_EQ(decode_utf8("ab\xC3\xA9", 2).len, 2u);
}

TEST(TextTest, HexRoundTrip) {
  EXPECT_EQ(to_hex(std::string("\x00\xab\xff", 3)), "00abff");
  EXPECT_EQ(from_hex("00ABff"), std::string("\x00\xab\xff", 3));
  EXPECT_FALSE(from_hex("abc"));
  EXPECT_FALSE(from_hex("zz"));
}

}  // namespace
}  // namespace kavrel
