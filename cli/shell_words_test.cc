#include "cli/shell_words.h"

#include <gtest/gtest.h>

namespace kavrel::cli {
namespace {

using Words = std::vector<std::string>;

TEST(ShellWordsTest, SplitsLikeAShell) {
  struct Case {
    const char* line;
    Words want;
  };
  const Case cases[] = {
      {"", {}},
      {"   \t ", {}},
      {"# a comment", {}},
      {"  # indented comment", {}},
      {"put k v", {"put", "k", "v"}},
      {"  put   k\tv  ", {"put", "k", "v"}},
      {"put k 'a b  c'", {"put", "k", "a b  c"}},
      {R"(put k "say \"hi\"")", {"put", "k", "say \"hi\""}},
      {R"(put k "\x00\xff\n\t\\")", {"put", "k", std::string("\0\xff\n\t\\", 5)}},
      {R"(put k "\q")", {"put", "k", "\\q"}},
      {R"(put k 'no \n escapes')", {"put", "k", "no \\n escapes"}},
      {R"(put a\ b c)", {"put", "a b", "c"}},
      {R"(put k "")", {"put", "k", ""}},
      {R"(put k '')", {"put", "k", ""}},
      {R"(put ab"c d"'e')", {"put", "abc de"}},
      {"put k a#b", {"put", "k", "a#b"}},
      {"put k #v", {"put", "k", "#v"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    const auto got = split_words(c.line);
    ASSERT_TRUE(got.has_value()) << got.error();
    EXPECT_EQ(*got, c.want);
  }
}

TEST(ShellWordsTest, ReportsBrokenQuoting) {
  struct Case {
    const char* line;
    const char* error;
  };
  const Case cases[] = {
      {"put k 'open", "unterminated single quote"},
      {R"(put k "open)", "unterminated double quote"},
      {R"(put k "\x4")", "invalid escape in double quotes"},
      {R"(put k "\xzz")", "invalid escape in double quotes"},
      {"put k \\", "backslash at the end of the line"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    const auto got = split_words(c.line);
    ASSERT_FALSE(got.has_value());
    EXPECT_EQ(got.error(), c.error);
  }
}

}  // namespace
}  // namespace kavrel::cli
