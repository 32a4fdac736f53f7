// Reading the TOON text of a query answer and laying it out as an aligned table.
//
// TOON: "[]" for no rows, else "result[N]{c1,c2,...}:" followed by N rows joined with ";", each
// row its cells joined with ",". A cell is "∅" for a missing or null value, or the value's text;
// a text holding "," or ";" is written in double quotes with each inner double quote preceded by
// a backslash (nothing else is escaped). Column names are written as they are.
//
// The notation is not always unambiguous (a quoted text may end in a backslash, an unquoted
// text may start with a double quote), so cells are read with backtracking: every reading of the
// body is tried until one gives exactly N rows of as many cells as there are columns.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kavrel::cli {

struct ToonTable {
  std::vector<std::string> columns;
  std::vector<std::vector<std::string>> rows;  // each row has columns.size() cells

  bool operator==(const ToonTable&) const = default;
};

// The table, or nullopt when the text is not TOON (or no reading of its body fits its header).
std::optional<ToonTable> parse_toon(std::string_view text);

// The table laid out for people: a header line, a rule, one line per row with the columns
// aligned, and a closing "(N rows)" line. Cells that are not clean text are shown escaped.
std::string render_table(const ToonTable& table);

}  // namespace kavrel::cli
