#include "storage/table/toon.h"

#include <cmath>
#include <cstdint>
#include <optional>
#include <string_view>
#include <type_traits>
#include <variant>

#include <fmt/format.h>

#include "core/text.h"
#include "storage/table/query.h"

namespace kavrel {

std::string base64_encode(BytesView bytes) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  const auto at = [&](std::size_t k) -> std::uint32_t {
    return static_cast<unsigned char>(bytes[k]);
  };
  for (; i + 3 <= bytes.size(); i += 3) {
    const std::uint32_t w = at(i) << 16 | at(i + 1) << 8 | at(i + 2);
    out.push_back(kAlphabet[(w >> 18) & 63]);
    out.push_back(kAlphabet[(w >> 12) & 63]);
    out.push_back(kAlphabet[(w >> 6) & 63]);
    out.push_back(kAlphabet[w & 63]);
  }
  const std::size_t rest = bytes.size() - i;
  if (rest > 0) {
    const std::uint32_t w = at(i) << 16 | (rest == 2 ? at(i + 1) << 8 : 0);
    out.push_back(kAlphabet[(w >> 18) & 63]);
    out.push_back(kAlphabet[(w >> 12) & 63]);
    out.push_back(rest == 2 ? kAlphabet[(w >> 6) & 63] : '=');
    out.push_back('=');
  }
  return out;
}

namespace {

// NaN and the infinities, spelled the same in every rendering; nullopt for finite values.
std::optional<std::string_view> special_float(double x) {
  if (std::isnan(x)) return "NaN";
  if (std::isinf(x)) return x > 0 ? "inf" : "-inf";
  return std::nullopt;
}

// The shortest text that reads back as x, with ".0" added to integral values (1.0, not 1).
std::string debug_float(double x) {
  if (const auto s = special_float(x)) return std::string(*s);
  std::string s = fmt::format("{}", x);
  if (s.find_first_not_of("-0123456789") == std::string::npos) s += ".0";
  return s;
}

std::string toon_float(double x, FloatText floats) {
  if (const auto s = special_float(x)) return std::string(*s);
  return floats == FloatText::Shortest ? fmt::format("{}", x) : fmt::format("{:.6f}", x);
}

std::string toon_text(const std::string& text) {
  if (text.find_first_of(",;") == std::string::npos) return text;
  std::string out;
  out.reserve(text.size() + 2);
  out.push_back('"');
  for (const char c : text) {
    if (c == '"') out.push_back('\\');
    out.push_back(c);
  }
  out.push_back('"');
  return out;
}

}  // namespace

std::string kav_debug_string(const KavValue& value) {
  return std::visit(
      [](const auto& x) -> std::string {
        using T = std::decay_t<decltype(x)>;
        if constexpr (std::is_same_v<T, KavNull>) {
          return "Null";
        } else if constexpr (std::is_same_v<T, bool>) {
          return x ? "Bool(true)" : "Bool(false)";
        } else if constexpr (std::is_same_v<T, std::int64_t>) {
          return fmt::format("Int({})", x);
        } else if constexpr (std::is_same_v<T, std::uint64_t>) {
          return fmt::format("UInt({})", x);
        } else if constexpr (std::is_same_v<T, double>) {
          return "Float(" + debug_float(x) + ")";
        } else if constexpr (std::is_same_v<T, std::string>) {
          return "Text(" + debug_quote(x) + ")";
        } else if constexpr (std::is_same_v<T, KavBinary>) {
          std::string out = "Binary([";
          for (std::size_t i = 0; i < x.bytes.size(); ++i) {
            if (i > 0) out += ", ";
            out += fmt::format("{}", static_cast<unsigned char>(x.bytes[i]));
          }
          return out + "])";
        } else if constexpr (std::is_same_v<T, KavArray>) {
          std::string out = "Array([";
          for (std::size_t i = 0; i < x.items.size(); ++i) {
            if (i > 0) out += ", ";
            out += kav_debug_string(x.items[i]);
          }
          return out + "])";
        } else if constexpr (std::is_same_v<T, KavObject>) {
          std::string out = "Object({";
          bool first = true;
          for (const auto& [name, member] : x.members) {
            if (!first) out += ", ";
            first = false;
            out += debug_quote(name) + ": " + kav_debug_string(member);
          }
          return out + "})";
        } else {
          static_assert(std::is_same_v<T, KavRef>);
          return fmt::format("Ref {{ table: {}, id: {} }}", debug_quote(x.table), x.id);
        }
      },
      value.v);
}

std::string toon_cell(const KavValue& value, FloatText floats) {
  return std::visit(
      [&](const auto& x) -> std::string {
        using T = std::decay_t<decltype(x)>;
        if constexpr (std::is_same_v<T, KavNull>) {
          return std::string(kToonEmptyCell);
        } else if constexpr (std::is_same_v<T, bool>) {
          return x ? "T" : "F";
        } else if constexpr (std::is_same_v<T, std::int64_t> || std::is_same_v<T, std::uint64_t>) {
          return fmt::format("{}", x);
        } else if constexpr (std::is_same_v<T, double>) {
          return toon_float(x, floats);
        } else if constexpr (std::is_same_v<T, std::string>) {
          return toon_text(x);
        } else if constexpr (std::is_same_v<T, KavBinary>) {
          return "b64:" + base64_encode(x.bytes);
        } else {
          return kav_debug_string(value);
        }
      },
      value.v);
}

std::string QueryResult::to_toon(FloatText floats) const {
  if (rows.empty()) return "[]";
  std::string out = fmt::format("result[{}]{{", rows.size());
  for (std::size_t c = 0; c < columns.size(); ++c) {
    if (c > 0) out.push_back(',');
    out += columns[c];
  }
  out += "}:";
  for (std::size_t r = 0; r < rows.size(); ++r) {
    if (r > 0) out.push_back(';');
    const auto& row = rows[r];
    for (std::size_t c = 0; c < columns.size(); ++c) {
      if (c > 0) out.push_back(',');
      const auto it = row.find(columns[c]);
      out += it == row.end() ? std::string(kToonEmptyCell) : toon_cell(it->second, floats);
    }
  }
  return out;
}

}  // namespace kavrel
