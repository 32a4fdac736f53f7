#include "cli/toon.h"

#include <random>

#include <gtest/gtest.h>

namespace kavrel::cli {
namespace {

// The writer's rules for one text cell (as the server renders query answers).
std::string toon_cell(const std::string& text) {
  if (text.find_first_of(",;") == std::string::npos) return text;
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"') out += '\\';
    out += c;
  }
  return out + "\"";
}

std::string toon_text(const ToonTable& t) {
  if (t.rows.empty()) return "[]";
  std::string out = "result[" + std::to_string(t.rows.size()) + "]{";
  for (std::size_t c = 0; c < t.columns.size(); ++c) out += (c ? "," : "") + t.columns[c];
  out += "}:";
  for (std::size_t r = 0; r < t.rows.size(); ++r) {
    if (r > 0) out += ';';
    for (std::size_t c = 0; c < t.rows[r].size(); ++c) {
      out += (c ? "," : "") + toon_cell(t.rows[r][c]);
    }
  }
  return out;
}

TEST(ToonTest, ReadsAnswers) {
  struct Case {
    const char* name;
    std::string text;
    ToonTable want;
  };
  const Case cases[] = {
      {"no rows", "[]", {}},
      {"two rows",
       "result[2]{id,name}:1,alice;2,bob",
       {{"id", "name"}, {{"1", "alice"}, {"2", "bob"}}}},
      {"quoted comma", R"(result[1]{a,b}:"a,b",x)", {{"a", "b"}, {{"a,b", "x"}}}},
      {"quoted semicolon last", R"(result[2]{a}:"x;y";z)", {{"a"}, {{"x;y"}, {"z"}}}},
      {"raw quote", R"(result[1]{a,b}:a"b,c)", {{"a", "b"}, {{"a\"b", "c"}}}},
      {"escaped quotes", R"(result[1]{a}:"x,\"y\"")", {{"a"}, {{"x,\"y\""}}}},
      {"raw text in quotes", R"(result[1]{a,b}:"hi",2)", {{"a", "b"}, {{"\"hi\"", "2"}}}},
      {"missing and empty", "result[2]{a,b}:∅,;,∅", {{"a", "b"}, {{"∅", ""}, {"", "∅"}}}},
      {"quoted text ending in a backslash",
       R"(result[1]{a,b}:"x,a\",z)",
       {{"a", "b"}, {{"x,a\\", "z"}}}},
      {"escaped quote before a comma", R"(result[1]{a}:"a,\",c")", {{"a"}, {{"a,\",c"}}}},
      {"rows without columns", "result[3]{}:;;", {{}, {{}, {}, {}}}},
      {"binary and floats",
       "result[1]{b,f}:b64:AAEC,1.500000",
       {{"b", "f"}, {{"b64:AAEC", "1.500000"}}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto got = parse_toon(c.text);
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(*got, c.want);
  }
}

TEST(ToonTest, RefusesWhatIsNotToon) {
  for (const char* text : {"", "hello", "result[", "result[x]{a}:1", "result[1]{a:1",
                           "result[2]{a}:1", "result[1]{a}:1;2", "result[1]{a,b}:1",
                           "result[0]{a}:", "result[2]{}:", R"(result[1]{a}:"x,y)"}) {
    SCOPED_TRACE(text);
    EXPECT_FALSE(parse_toon(text).has_value());
  }
}

// Random tables over the awkward characters: the reading found always writes back to the very
// same text, and tables without backslashes or leading quotes come back exactly.
TEST(ToonTest, ReadingsWriteBackToTheSameText) {
  std::mt19937 rng(7);
  const std::string alphabet = "ab,;\"\\";
  for (int round = 0; round < 2000; ++round) {
    ToonTable t;
    const std::size_t cols = 1 + rng() % 3, rows = 1 + rng() % 3;
    for (std::size_t c = 0; c < cols; ++c) t.columns.push_back("c" + std::to_string(c));
    bool plain = true;
    for (std::size_t r = 0; r < rows; ++r) {
      auto& row = t.rows.emplace_back();
      for (std::size_t c = 0; c < cols; ++c) {
        std::string cell;
        for (std::size_t k = rng() % 5; k > 0; --k) cell += alphabet[rng() % alphabet.size()];
        if (cell.find('\\') != std::string::npos || cell.starts_with('"')) plain = false;
        row.push_back(cell);
      }
    }
    const std::string text = toon_text(t);
    SCOPED_TRACE(text);
    const auto got = parse_toon(text);
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(toon_text(*got), text);
    if (plain) {
      EXPECT_EQ(*got, t);
    }
  }
}

TEST(ToonTest, RendersAlignedTable) {
  const ToonTable t{{"id", "name"}, {{"1", "alice"}, {"22", "∅"}, {"3", "a\nb"}}};
  EXPECT_EQ(render_table(t),
            "id | name\n"
            "---+-------\n"
            "1  | alice\n"
            "22 | ∅\n"
            "3  | \"a\\nb\"\n"
            "(3 rows)\n");
  EXPECT_EQ(render_table(ToonTable{{"é"}, {{"x"}}}), "é\n-\nx\n(1 row)\n");
  EXPECT_EQ(render_table(ToonTable{}), "(0 rows)\n");
}

}  // namespace
}  // namespace kavrel::cli
