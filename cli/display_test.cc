#include "cli/display.h"

#include <cstdio>
#include <fstream>

#include <gtest/gtest.h>

#include "tests/support/temp_dir.h"

namespace kavrel::cli {
namespace {

TEST(DisplayTest, CleanTextAndEscapes) {
  struct Case {
    std::string bytes;
    bool clean;
    std::string escaped;
  };
  const Case cases[] = {
      {"hello", true, "\"hello\""},
      {"", true, "\"\""},
      {"∅ é 日本", true, "\"∅ é 日本\""},
      {"a\"b\\c", true, R"("a\"b\\c")"},
      {"a\nb\tc\rd", false, R"("a\nb\tc\rd")"},
      {std::string("ab\0\xff", 4), false, R"("ab\0\xff")"},
      {"\x1b[31m", false, R"("\x1b[31m")"},
      {"\x7f", false, R"("\x7f")"},
      {"\xc2\x85", false, R"("\xc2\x85")"},          // C1 control (NEL)
      {"\xe2\x88", false, R"("\xe2\x88")"},          // cut sequence
      {"\xed\xa0\x80", false, R"("\xed\xa0\x80")"},  // surrogate
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.escaped);
    EXPECT_EQ(is_clean_text(c.bytes), c.clean);
    EXPECT_EQ(escape_bytes(c.bytes), c.escaped);
    EXPECT_EQ(display_bytes(c.bytes), c.clean ? c.bytes : c.escaped);
  }
  EXPECT_EQ(display_width("∅ é"), 3u);
}

TEST(DisplayTest, ResolvesValues) {
  testing::TempDir tmp;
  const auto file = tmp / "v.bin";
  std::ofstream(file, std::ios::binary) << std::string("x\0y", 3);
  const auto hexfile = tmp / "v.hex";
  std::ofstream(hexfile) << "de AD\n00\n";

  EXPECT_EQ(resolve_value("plain", false).value(), "plain");
  EXPECT_EQ(resolve_value("@" + file.string(), false).value(), std::string("x\0y", 3));
  EXPECT_EQ(resolve_value("@@at", false).value(), "@at");
  EXPECT_EQ(resolve_value("@" + hexfile.string(), true).value(), std::string("\xde\xad\x00", 3));
  EXPECT_EQ(resolve_value("6869", true).value(), "hi");
  EXPECT_EQ(resolve_value("", true).value(), "");

  std::FILE* in = std::tmpfile();
  std::fputs("from stdin", in);
  ASSERT_EQ(std::fseek(in, 0, SEEK_SET), 0);
  EXPECT_EQ(resolve_value("-", false, in).value(), "from stdin");
  std::fclose(in);

  EXPECT_EQ(resolve_value("abc", true).error(),
            "invalid hexadecimal value: expected an even number of digits 0-9, a-f or A-F");
  EXPECT_EQ(resolve_value("zz", true).error(),
            "invalid hexadecimal value: expected an even number of digits 0-9, a-f or A-F");
  const auto missing = tmp / "missing";
  EXPECT_EQ(resolve_value("@" + missing.string(), false).error(),
            "cannot read \"" + missing.string() + "\": No such file or directory (os error 2)");
}

}  // namespace
}  // namespace kavrel::cli
