#include "cli/shell_words.h"

#include <optional>

namespace kavrel::cli {
namespace {

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

std::optional<int> hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return std::nullopt;
}

// Reads the escape after a backslash inside double quotes at line[i] (i points past the
// backslash); appends its character and returns the index after it, or nullopt when invalid.
std::optional<std::size_t> double_quoted_escape(std::string_view line, std::size_t i,
                                                std::string& word) {
  if (i >= line.size()) return std::nullopt;
  switch (line[i]) {
    case 'n': word.push_back('\n'); return i + 1;
    case 't': word.push_back('\t'); return i + 1;
    case 'r': word.push_back('\r'); return i + 1;
    case '0': word.push_back('\0'); return i + 1;
    case 'x': {
      if (i + 2 >= line.size()) return std::nullopt;
      const auto hi = hex_digit(line[i + 1]), lo = hex_digit(line[i + 2]);
      if (!hi || !lo) return std::nullopt;
      word.push_back(static_cast<char>(*hi * 16 + *lo));
      return i + 3;
    }
    case '"':
    case '\\': word.push_back(line[i]); return i + 1;
    default:
      // Unknown escapes stay as written, backslash included.
      word.push_back('\\');
      word.push_back(line[i]);
      return i + 1;
  }
}

}  // namespace

Result<std::vector<std::string>, std::string> split_words(std::string_view line) {
  std::vector<std::string> words;
  std::string word;
  bool in_word = false;
  std::size_t i = 0;
  while (i < line.size()) {
    const char c = line[i];
    if (is_blank(c)) {
      if (in_word) words.push_back(std::move(word));
      word.clear();
      in_word = false;
      ++i;
    } else if (c == '#' && !in_word && words.empty()) {
      return words;
    } else if (c == '\'') {
      const std::size_t end = line.find('\'', i + 1);
      if (end == std::string_view::npos) return std::unexpected("unterminated single quote");
      word.append(line.substr(i + 1, end - i - 1));
      in_word = true;
      i = end + 1;
    } else if (c == '"') {
      in_word = true;
      ++i;
      for (;;) {
        if (i >= line.size()) return std::unexpected("unterminated double quote");
        if (line[i] == '"') {
          ++i;
          break;
        }
        if (line[i] == '\\') {
          const auto next = double_quoted_escape(line, i + 1, word);
          if (!next) return std::unexpected("invalid escape in double quotes");
          i = *next;
        } else {
          word.push_back(line[i++]);
        }
      }
    } else if (c == '\\') {
      if (i + 1 >= line.size()) return std::unexpected("backslash at the end of the line");
      word.push_back(line[i + 1]);
      in_word = true;
      i += 2;
    } else {
      word.push_back(c);
      in_word = true;
      ++i;
    }
  }
  if (in_word) words.push_back(std::move(word));
  return words;
}

}  // namespace kavrel::cli
