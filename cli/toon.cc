#include "cli/toon.h"

#include <algorithm>
#include <charconv>
#include <cstdint>

#include "cli/display.h"

namespace kavrel::cli {
namespace {

// Readings tried before a body is given up as unreadable; far above what real answers need.
constexpr std::size_t kMaxSteps = 1'000'000;

bool is_delimiter(char c) { return c == ',' || c == ';'; }

// One way of reading the cell that starts at some position: its text and where it ends (the
// position of the delimiter after it, or the end of the body).
struct CellReading {
  std::string text;
  std::size_t end = 0;
};

std::string unescape_quotes(std::string_view inner) {
  std::string out;
  out.reserve(inner.size());
  for (std::size_t i = 0; i < inner.size(); ++i) {
    if (inner[i] == '\\' && i + 1 < inner.size() && inner[i + 1] == '"') {
      out.push_back('"');
      ++i;
    } else {
      out.push_back(inner[i]);
    }
  }
  return out;
}

// Every reading of the cell at pos, most likely first: quoted readings (closing quote not
// preceded by a backslash before those that are), then the unquoted one.
std::vector<CellReading> cell_readings(std::string_view body, std::size_t pos) {
  std::vector<CellReading> plain_close, backslash_close;
  if (pos < body.size() && body[pos] == '"') {
    for (std::size_t j = pos + 1; j < body.size(); ++j) {
      if (body[j] != '"') continue;
      const bool escaped = body[j - 1] == '\\' && j - 1 > pos;
      const bool closes = j + 1 == body.size() || is_delimiter(body[j + 1]);
      if (closes) {
        const std::string_view inner = body.substr(pos + 1, j - pos - 1);
        // The writer quotes only texts holding a delimiter.
        if (inner.find_first_of(",;") != std::string_view::npos) {
          (escaped ? backslash_close : plain_close).push_back({unescape_quotes(inner), j + 1});
        }
      }
      // An inner quote is always escaped, so an unescaped one ends every quoted reading.
      if (!escaped) break;
    }
  }
  std::vector<CellReading> out = std::move(plain_close);
  out.insert(out.end(), backslash_close.begin(), backslash_close.end());
  std::size_t end = pos;
  while (end < body.size() && !is_delimiter(body[end])) ++end;
  out.push_back({std::string(body.substr(pos, end - pos)), end});
  return out;
}

// Reads the body as rows x cols cells by depth-first search over the cell readings.
std::optional<std::vector<std::vector<std::string>>> read_body(std::string_view body,
                                                               std::size_t rows, std::size_t cols) {
  const std::size_t total = rows * cols;
  struct Frame {
    std::vector<CellReading> readings;
    std::size_t next = 0;
  };
  std::vector<Frame> stack;
  stack.push_back({cell_readings(body, 0), 0});
  std::size_t steps = 0;
  while (!stack.empty()) {
    if (++steps > kMaxSteps) return std::nullopt;
    Frame& top = stack.back();
    if (top.next == top.readings.size()) {
      stack.pop_back();
      continue;
    }
    const CellReading& r = top.readings[top.next++];
    const std::size_t index = stack.size() - 1;  // the cell's number, row-major
    const bool last_in_row = (index + 1) % cols == 0;
    if (r.end == body.size()) {
      if (index + 1 != total) continue;
      std::vector<std::vector<std::string>> out(rows);
      for (std::size_t k = 0; k < total; ++k) {
        const Frame& f = stack[k];
        out[k / cols].push_back(f.readings[f.next - 1].text);
      }
      return out;
    }
    if (index + 1 == total) continue;
    // "," separates cells of one row, ";" ends a row.
    if ((body[r.end] == ';') != last_in_row) continue;
    stack.push_back({cell_readings(body, r.end + 1), 0});
  }
  return std::nullopt;
}

std::vector<std::string> split_header(std::string_view header) {
  std::vector<std::string> out;
  if (header.empty()) return out;
  std::size_t start = 0;
  for (;;) {
    const std::size_t comma = header.find(',', start);
    out.emplace_back(header.substr(start, comma - start));
    if (comma == std::string_view::npos) break;
    start = comma + 1;
  }
  return out;
}

std::string cell_for_display(const std::string& cell) { return display_bytes(cell); }

void append_padded(std::string& out, const std::string& text, std::size_t width) {
  out += text;
  out.append(width - std::min(width, display_width(text)), ' ');
}

}  // namespace

std::optional<ToonTable> parse_toon(std::string_view text) {
  if (text == "[]") return ToonTable{};
  constexpr std::string_view kStart = "result[";
  if (!text.starts_with(kStart)) return std::nullopt;
  text.remove_prefix(kStart.size());
  std::size_t rows = 0;
  const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), rows);
  if (ec != std::errc() || ptr == text.data()) return std::nullopt;
  text.remove_prefix(static_cast<std::size_t>(ptr - text.data()));
  if (!text.starts_with("]{")) return std::nullopt;
  text.remove_prefix(2);
  const std::size_t header_end = text.find("}:");
  if (header_end == std::string_view::npos) return std::nullopt;
  ToonTable table;
  table.columns = split_header(text.substr(0, header_end));
  const std::string_view body = text.substr(header_end + 2);
  if (rows == 0) return std::nullopt;  // the writer says "[]" for no rows
  if (table.columns.empty()) {
    // Rows without cells: only the separators between them.
    if (body != std::string(rows - 1, ';')) return std::nullopt;
    table.rows.assign(rows, {});
    return table;
  }
  auto cells = read_body(body, rows, table.columns.size());
  if (!cells) return std::nullopt;
  table.rows = std::move(*cells);
  return table;
}

std::string render_table(const ToonTable& table) {
  const std::size_t n = table.columns.size();
  std::vector<std::string> header(n);
  std::vector<std::size_t> width(n);
  for (std::size_t c = 0; c < n; ++c) {
    header[c] = cell_for_display(table.columns[c]);
    width[c] = display_width(header[c]);
  }
  std::vector<std::vector<std::string>> rows;
  rows.reserve(table.rows.size());
  for (const auto& row : table.rows) {
    auto& shown = rows.emplace_back();
    for (std::size_t c = 0; c < n && c < row.size(); ++c) {
      shown.push_back(cell_for_display(row[c]));
      width[c] = std::max(width[c], display_width(shown.back()));
    }
  }
  std::string out;
  if (n > 0) {
    const auto line = [&](const std::vector<std::string>& cells) {
      std::string l;
      for (std::size_t c = 0; c < n; ++c) {
        if (c > 0) l += " | ";
        // The last column is not padded, so lines carry no trailing blanks.
        if (c + 1 < n) {
          append_padded(l, c < cells.size() ? cells[c] : std::string(), width[c]);
        } else if (c < cells.size()) {
          l += cells[c];
        }
      }
      out += l;
      out += '\n';
    };
    line(header);
    for (std::size_t c = 0; c < n; ++c) {
      if (c > 0) out += "-+-";
      out.append(width[c], '-');
    }
    out += '\n';
    for (const auto& row : rows) line(row);
  }
  const std::size_t count = table.rows.size();
  out += "(" + std::to_string(count) + (count == 1 ? " row)" : " rows)") + "\n";
  return out;
}

}  // namespace kavrel::cli
