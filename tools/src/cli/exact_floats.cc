#include "tools/src/cli/exact_floats.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <map>
#include <tuple>

#include <fmt/format.h>

#include "core/text.h"
#include "tools/src/cli/output.h"

namespace kavrel::cli {
namespace {

// Wire type codes (core/wire.h) and the tag of a float among tagged values.
constexpr std::uint8_t kInt = 0, kUInt = 1, kFloat = 2, kText = 3, kBinary = 4, kBool = 5;
constexpr char kFloatTag = 3;

// The floats of one rebuilt row, by column name.
using RowFloats = std::map<std::string, double, std::less<>>;

std::optional<std::string_view> special_float(double x) {
  if (std::isnan(x)) return "NaN";
  if (std::isinf(x)) return x > 0 ? "inf" : "-inf";
  return std::nullopt;
}

// The bytes from the start of column i of a packed row of n columns (the row is at least as
// long as its bitmap and offsets); nullopt where the server reads NULL.
std::optional<BytesView> packed_cell(BytesView row, std::size_t n, std::size_t i) {
  const std::size_t bitmap_len = (n + 7) / 8;
  if (((static_cast<unsigned char>(row[i / 8]) >> (i % 8)) & 1) != 0) return std::nullopt;
  const std::size_t pos = bitmap_len + 4 * n + get_u32(row.data() + bitmap_len + 4 * i);
  if (pos >= row.size()) return std::nullopt;
  return row.substr(pos);
}

// Whether the server reads column i as a value rather than NULL (a short or malformed cell is
// NULL to it).
bool packed_present(BytesView row, std::size_t n, std::size_t i, std::uint8_t type) {
  const auto cell = packed_cell(row, n, i);
  if (!cell) return false;
  switch (type) {
    case kBool: return true;
    case kInt:
    case kUInt:
    case kFloat: return cell->size() >= 8;
    case kText:
    case kBinary: {
      if (cell->size() < 4 || cell->size() - 4 < get_u32(cell->data())) return false;
      return type == kBinary || is_valid_utf8(cell->substr(4, get_u32(cell->data())));
    }
    default: return false;
  }
}

std::vector<RowFloats> packed_rows(const ScanListing& entries, const WireSchema& schema,
                                   const std::vector<std::string>& selection) {
  std::vector<RowFloats> rows;
  const auto& cols = schema.columns;
  const std::size_t n = cols.size();
  // The row format counts columns in 16 bits; a wider schema has no decodable rows.
  if (n > std::numeric_limits<std::uint16_t>::max()) return rows;
  const auto selected = [&](const std::string& name) {
    return std::ranges::find(selection, name) != selection.end();
  };
  for (const auto& [key, row] : entries) {
    if (std::ranges::count(key, '/') != 1 || row.size() < (n + 7) / 8 + 4 * n) continue;
    // A row reads as the columns it shows: with a selection, the selected columns the table
    // has (NULL included); without, every value and every NULL of a nullable column.
    bool shows_any = false;
    RowFloats floats;
    for (std::size_t i = 0; i < n; ++i) {
      const bool present = packed_present(row, n, i, cols[i].type);
      const bool shown = selection.empty() ? present || cols[i].nullable : selected(cols[i].name);
      shows_any = shows_any || shown;
      if (shown && present && cols[i].type == kFloat) {
        floats[cols[i].name] = std::bit_cast<double>(get_u64(packed_cell(row, n, i)->data()));
      }
    }
    if (shows_any) rows.push_back(std::move(floats));
  }
  return rows;
}

std::vector<RowFloats> path_rows(const ScanListing& entries,
                                 const std::vector<std::string>& selection) {
  std::map<std::string, RowFloats> by_id;  // in row-id order, as the server lists them
  for (const auto& [key, value] : entries) {
    const std::size_t first = key.find('/');
    const std::size_t second = first == std::string::npos ? first : key.find('/', first + 1);
    if (second == std::string::npos) continue;  // not TABLE/ID/COLUMN
    const std::string column = key.substr(second + 1);
    if (!selection.empty() && std::ranges::find(selection, column) == selection.end()) continue;
    RowFloats& row = by_id[key.substr(0, second)];
    if (value.size() >= 9 && value[0] == kFloatTag) {
      row[column] = std::bit_cast<double>(get_u64(value.data() + 1));
    } else {
      row.erase(column);
    }
  }
  std::vector<RowFloats> rows;
  rows.reserve(by_id.size());
  for (auto& [id, row] : by_id) rows.push_back(std::move(row));
  return rows;
}

// A cell as the server writes a finite float: -?digits.dddddd
bool looks_like_toon_float(std::string_view cell) {
  if (cell.starts_with('-')) cell.remove_prefix(1);
  const std::size_t dot = cell.find('.');
  if (dot == std::string_view::npos || dot == 0 || cell.size() - dot != 7) return false;
  return std::ranges::all_of(cell.substr(0, dot), [](char c) { return c >= '0' && c <= '9'; }) &&
         std::ranges::all_of(cell.substr(dot + 1), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

std::string float_text(double x) {
  if (const auto s = special_float(x)) return std::string(*s);
  return fmt::format("{}", x);
}

std::string toon_float_text(double x) {
  if (const auto s = special_float(x)) return std::string(*s);
  return fmt::format("{:.6f}", x);
}

bool may_hold_rounded_floats(const ToonTable& table, const std::optional<WireSchema>& schema) {
  bool rounded = false;
  for (std::size_t c = 0; c < table.columns.size(); ++c) {
    if (schema) {
      const auto it = std::ranges::find(schema->columns, table.columns[c], &WireColumn::name);
      if (it == schema->columns.end() || it->type != kFloat) continue;
    }
    for (const auto& row : table.rows) {
      const std::string& cell = row[c];
      if (looks_like_toon_float(cell)) {
        rounded = true;
      } else if (schema && cell != kToonNull && cell != "NaN" && cell != "inf" && cell != "-inf") {
        return false;  // written exactly: the server honoured the request
      }
    }
  }
  return rounded;
}

std::string query_scan_prefix(std::string_view path, bool registered) {
  // A registered table's rows are TABLE/ID; the other paths are scanned as they are given.
  if (registered && path.find('/') == std::string_view::npos) return std::string(path) + "/";
  return std::string(path);
}

bool show_exact_floats(ToonTable& table, const ScanListing& entries,
                       const std::optional<WireSchema>& schema, std::uint32_t limit,
                       std::uint32_t offset, const std::vector<std::string>& columns) {
  std::vector<RowFloats> rows =
      schema ? packed_rows(entries, *schema, columns) : path_rows(entries, columns);
  rows.erase(rows.begin(), rows.begin() + std::min<std::size_t>(offset, rows.size()));
  if (limit > 0 && limit < rows.size()) rows.resize(limit);
  if (rows.size() != table.rows.size()) return false;
  std::vector<std::tuple<std::size_t, std::size_t, std::string>> exact;
  for (std::size_t r = 0; r < rows.size(); ++r) {
    for (std::size_t c = 0; c < table.columns.size(); ++c) {
      const auto it = rows[r].find(table.columns[c]);
      if (it == rows[r].end()) continue;
      if (table.rows[r][c] != toon_float_text(it->second)) return false;
      exact.emplace_back(r, c, float_text(it->second));
    }
  }
  for (auto& [r, c, text] : exact) table.rows[r][c] = std::move(text);
  return true;
}

}  // namespace kavrel::cli
