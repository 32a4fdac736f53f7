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

TEST(TextTest, HexRoundTrip) {
  EXPECT_EQ(to_hex(std::string("\x00\xab\xff", 3)), "00abff");
  EXPECT_EQ(from_hex("00ABff"), std::string("\x00\xab\xff", 3));
  EXPECT_FALSE(from_hex("abc"));
  EXPECT_FALSE(from_hex("zz"));
}

}  // namespace
}  // namespace kavrel
