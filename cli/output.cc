#include "cli/output.h"

#include <algorithm>
#include <charconv>
#include <cmath>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "cli/display.h"
#include "core/text.h"

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

// The bytes of a TOON binary cell ("b64:" and base64), or nullopt when it is not one.
std::optional<Bytes> toon_binary(std::string_view cell) {
  if (!cell.starts_with("b64:")) return std::nullopt;
  cell.remove_prefix(4);
  if (cell.size() % 4 != 0) return std::nullopt;
  const auto sextet = [](char c) -> int {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
  };
  Bytes out;
  for (std::size_t i = 0; i < cell.size(); i += 4) {
    const std::string_view quad = cell.substr(i, 4);
    const std::size_t pad = quad.ends_with("==") ? 2 : quad.ends_with('=') ? 1 : 0;
    if (pad > 0 && i + 4 != cell.size()) return std::nullopt;
    std::uint32_t w = 0;
    for (std::size_t k = 0; k < 4; ++k) {
      const int v = k < 4 - pad ? sextet(quad[k]) : 0;
      if (v < 0) return std::nullopt;
      w = w << 6 | static_cast<std::uint32_t>(v);
    }
    out.push_back(static_cast<char>(w >> 16));
    if (pad < 2) out.push_back(static_cast<char>(w >> 8 & 0xFF));
    if (pad < 1) out.push_back(static_cast<char>(w & 0xFF));
  }
  return out;
}

std::string dump(const Json& j) { return j.dump(-1, ' ', false, Json::error_handler_t::replace); }

// A TOON cell of a typed column as JSON text; the text itself, as a string, when it does not
// read as the type. Floats are written as the shortest text that reads back as the same double,
// which a JSON number of the library would not always give.
std::string typed_cell(const std::string& cell, std::uint8_t type) {
  switch (type) {
    case 0:
      if (whole<std::int64_t>(cell)) return cell;
      break;
    case 1:
      if (whole<std::uint64_t>(cell)) return cell;
      break;
    case 2:
      if (auto v = whole<double>(cell); v && std::isfinite(*v)) return fmt::format("{}", *v);
      break;
    case 4:
      // As scan --json writes values: UTF-8 as a string, other bytes as {"hex": "..."}.
      if (auto bytes = toon_binary(cell)) return dump(json_bytes(*bytes));
      break;
    case 5:
      if (cell == "T") return "true";
      if (cell == "F") return "false";
      break;
    default: break;
  }
  return dump(Json(cell));
}

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
  std::string out = "[";
  for (std::size_t r = 0; r < table.rows.size(); ++r) {
    const auto& row = table.rows[r];
    out += r == 0 ? "{" : ",{";
    bool first = true;
    for (std::size_t i = 0; i < table.columns.size() && i < row.size(); ++i) {
      // A column selected twice is one member, as in an object of the JSON library.
      if (std::find(table.columns.begin(), table.columns.begin() + static_cast<std::ptrdiff_t>(i),
                    table.columns[i]) != table.columns.begin() + static_cast<std::ptrdiff_t>(i)) {
        continue;
      }
      if (!first) out += ',';
      first = false;
      out += dump(Json(table.columns[i]));
      out += ':';
      const std::string& cell = row[i];
      if (cell == kToonNull) {
        out += "null";
      } else if (column_types[i]) {
        out += typed_cell(cell, *column_types[i]);
      } else {
        out += dump(Json(cell));
      }
    }
    out += '}';
  }
  return out + "]\n";
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
