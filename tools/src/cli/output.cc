#include "tools/src/cli/output.h"

#include <charconv>
#include <cmath>

#include <nlohmann/json.hpp>

#include "core/text.h"
#include "tools/src/cli/display.h"

namespace kavrel::cli {
namespace {

using Json = nlohmann::ordered_json;

// Bytes that are UTF-8 as a JSON string, others as {"hex": "..."}.
Json json_bytes(BytesView bytes) {
  if (is_valid_utf8(bytes)) return Json(std::string(bytes));
  return Json{{"hex", to_hex(bytes)}};
}

template <class T>
std::optional<T> whole(std::string_view text) {
  T v{};
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, v);
  if (text.empty() || ec != std::errc() || ptr != end) return std::nullopt;
  return v;
}

// A TOON cell of a typed column as JSON; the text itself when it does not read as the type.
Json typed_cell(const std::string& cell, std::uint8_t type) {
  switch (type) {
    case 0:
      if (auto v = whole<std::int64_t>(cell)) return *v;
      break;
    case 1:
      if (auto v = whole<std::uint64_t>(cell)) return *v;
      break;
    case 2:
      if (auto v = whole<double>(cell); v && std::isfinite(*v)) return *v;
      break;
    case 5:
      if (cell == "T") return true;
      if (cell == "F") return false;
      break;
    default: break;
  }
  return cell;
}

std::string dump(const Json& j) { return j.dump(-1, ' ', false, Json::error_handler_t::replace); }

}  // namespace

std::string csv_field(std::string_view text, std::string_view null_marker) {
  if (text != null_marker && text.find_first_of(",\"\r\n") == std::string_view::npos) {
    return std::string(text);
  }
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"') out.push_back('"');
    out.push_back(c);
  }
  out.push_back('"');
  return out;
}

std::string query_csv(const ToonTable& table, std::string_view null_marker) {
  std::string out;
  const auto line = [&](const std::vector<std::string>& cells, bool header) {
    for (std::size_t i = 0; i < cells.size(); ++i) {
      if (i > 0) out.push_back(',');
      if (!header && cells[i] == kToonNull) {
        out.append(null_marker);
      } else {
        out += csv_field(cells[i], null_marker);
      }
    }
    out.push_back('\n');
  };
  line(table.columns, true);
  for (const auto& row : table.rows) line(row, false);
  return out;
}

std::string query_json(const ToonTable& table,
                       const std::vector<std::pair<std::string, std::uint8_t>>& types) {
  std::vector<std::optional<std::uint8_t>> column_types;
  for (const auto& name : table.columns) {
    std::optional<std::uint8_t> t;
    for (const auto& [n, code] : types) {
      if (n == name) t = code;
    }
    column_types.push_back(t);
  }
  Json rows = Json::array();
  for (const auto& row : table.rows) {
    Json obj = Json::object();
    for (std::size_t i = 0; i < table.columns.size() && i < row.size(); ++i) {
      const std::string& cell = row[i];
      if (cell == kToonNull) {
        obj[table.columns[i]] = nullptr;
      } else if (column_types[i]) {
        obj[table.columns[i]] = typed_cell(cell, *column_types[i]);
      } else {
        obj[table.columns[i]] = cell;
      }
    }
    rows.push_back(std::move(obj));
  }
  return dump(rows) + "\n";
}

ToonTable with_null_marker(ToonTable table, std::string_view null_marker) {
  for (auto& row : table.rows) {
    for (auto& cell : row) {
      if (cell == kToonNull) cell = std::string(null_marker);
    }
  }
  return table;
}

std::string scan_csv(const ScanListing& entries, bool hex) {
  std::string out = "key,value\n";
  for (const auto& [key, value] : entries) {
    // CSV carries any text; bytes that are not UTF-8 are written in their escaped form.
    out += csv_field(is_valid_utf8(key) ? key : escape_bytes(key));
    out.push_back(',');
    out += hex ? to_hex(value) : csv_field(is_valid_utf8(value) ? value : escape_bytes(value));
    out.push_back('\n');
  }
  return out;
}

std::string scan_json(const ScanListing& entries, bool hex) {
  Json out = Json::array();
  for (const auto& [key, value] : entries) {
    out.push_back(
        Json{{"key", json_bytes(key)}, {"value", hex ? Json(to_hex(value)) : json_bytes(value)}});
  }
  return dump(out) + "\n";
}

}  // namespace kavrel::cli
