#include "cli/shell.h"

#include <gtest/gtest.h>

namespace kavrel::cli {
namespace {

TEST(ShellTest, CompletesCommandsAndTableNamesInAnyCase) {
  using Names = std::vector<std::string>;
  struct Case {
    const char* before;  // the line before the word
    const char* word;
    std::optional<Names> matches;  // nullopt: file names
    bool asks_for_tables;
  };
  const Case cases[] = {
      {"", "pi", Names{"ping"}, false},
      {"", "PI", Names{"ping"}, false},
      {"  ", "Co", Names{"compact", "commit"}, false},
      {"", "DESC", Names{"describe"}, false},
      {"", "dr", Names{"drop"}, false},
      {"query ", "or", Names{"orders", "Orbit"}, true},
      {"QUERY ", "OR", Names{"orders", "Orbit"}, true},
      {"describe  ", "", Names{"orders", "Orbit", "people"}, true},
      {"Insert ", "p", Names{"people"}, true},
      {" drop\t", "x", Names{}, true},
      {"get ", "or", std::nullopt, false},
      {"insert orders ", "1", std::nullopt, false},
      {"put k ", "@fi", std::nullopt, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.before) + "|" + c.word);
    bool asked = false;
    const auto got = complete_word(c.before, c.word, [&] {
      asked = true;
      return Names{"orders", "Orbit", "people"};
    });
    EXPECT_EQ(got, c.matches);
    EXPECT_EQ(asked, c.asks_for_tables);
  }
}

}  // namespace
}  // namespace kavrel::cli
