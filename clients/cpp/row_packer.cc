#include "clients/cpp/row_packer.h"

#include <algorithm>
#include <bit>
#include <cctype>
#include <charconv>
#include <cstdint>
#include <limits>

#include <fmt/format.h>

#include "core/text.h"

namespace kavrel {
namespace {

constexpr std::uint8_t kInt = 0, kUInt = 1, kFloat = 2, kText = 3, kBinary = 4, kBool = 5;

std::string lower(BytesView text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

// The whole text parsed by from_chars, or nullopt.
template <class T>
std::optional<T> parse_number(BytesView text) {
  if (text.starts_with('+')) text.remove_prefix(1);
  T v{};
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, v);
  if (text.empty() || ec != std::errc() || ptr != end) return std::nullopt;
  return v;
}

std::optional<double> parse_float(BytesView text) {
  const std::string l = lower(text);
  // from_chars reads "inf" and "nan" but not with a sign other than '-'.
  if (l == "inf" || l == "+inf" || l == "infinity") return std::numeric_limits<double>::infinity();
  if (l == "-inf" || l == "-infinity") return -std::numeric_limits<double>::infinity();
  if (l == "nan") return std::numeric_limits<double>::quiet_NaN();
  return parse_number<double>(text);
}

std::optional<bool> parse_bool(BytesView text) {
  const std::string l = lower(text);
  if (l == "true" || l == "t" || l == "yes" || l == "1") return true;
  if (l == "false" || l == "f" || l == "no" || l == "0") return false;
  return std::nullopt;
}

Bytes length_prefixed(BytesView bytes) {
  Bytes out;
  put_u32(out, static_cast<std::uint32_t>(bytes.size()));
  out.append(bytes);
  return out;
}

}  // namespace

Result<Bytes, std::string> encode_cell(std::uint8_t wire_type, BytesView text) {
  const auto refuse = [&](std::string_view expected) {
    return std::unexpected(fmt::format("{} is not {}", debug_quote(utf8_lossy(text)), expected));
  };
  switch (wire_type) {
    case kInt: {
      const auto v = parse_number<std::int64_t>(text);
      if (!v) return refuse("a whole number from -9223372036854775808 to 9223372036854775807");
      return le_bytes(static_cast<std::uint64_t>(*v));
    }
    case kUInt: {
      const auto v = parse_number<std::uint64_t>(text);
      if (!v || text.starts_with('-')) {
        return refuse("a whole number from 0 to 18446744073709551615");
      }
      return le_bytes(*v);
    }
    case kFloat: {
      const auto v = parse_float(text);
      if (!v) return refuse("a number (such as 1.5, -2e10, inf or nan)");
      return le_bytes(std::bit_cast<std::uint64_t>(*v));
    }
    case kText:
      if (!is_valid_utf8(text)) return std::unexpected(std::string("the text is not valid UTF-8"));
      if (text.size() > std::numeric_limits<std::uint32_t>::max()) {
        return std::unexpected(std::string("the text is 4 GiB or longer"));
      }
      return length_prefixed(text);
    case kBinary:
      if (text.size() > std::numeric_limits<std::uint32_t>::max()) {
        return std::unexpected(std::string("the value is 4 GiB or longer"));
      }
      return length_prefixed(text);
    case kBool: {
      const auto v = parse_bool(text);
      if (!v) return refuse("a boolean (true, false, t, f, yes, no, 1 or 0)");
      return Bytes(1, *v ? '\1' : '\0');
    }
    default: return std::unexpected(fmt::format("unknown column type code {}", wire_type));
  }
}

Result<Bytes, std::string> pack_row(const WireSchema& schema, const std::vector<RowValue>& values) {
  const std::size_t n = schema.columns.size();
  std::vector<const RowValue*> given(n, nullptr);
  for (const RowValue& v : values) {
    const auto it = std::ranges::find(schema.columns, v.column, &WireColumn::name);
    if (it == schema.columns.end()) {
      return std::unexpected(fmt::format("table {} has no column {}", debug_quote(schema.name),
                                         debug_quote(v.column)));
    }
    const auto i = static_cast<std::size_t>(it - schema.columns.begin());
    if (given[i] != nullptr) {
      return std::unexpected(fmt::format("column {} is given twice", debug_quote(v.column)));
    }
    given[i] = &v;
  }
  Bytes bitmap((n + 7) / 8, '\0');
  Bytes offsets;
  Bytes data;
  for (std::size_t i = 0; i < n; ++i) {
    const WireColumn& col = schema.columns[i];
    const std::string_view type_name =
        col.type <= kMaxWireType ? kWireTypeNames[col.type] : std::string_view("?");
    if (given[i] == nullptr || !given[i]->value) {
      if (!col.nullable) {
        return std::unexpected(fmt::format("column {} ({}) is not nullable and needs a value",
                                           debug_quote(col.name), type_name));
      }
      bitmap[i / 8] = static_cast<char>(bitmap[i / 8] | (1 << (i % 8)));
      put_u32(offsets, 0);
      continue;
    }
    auto cell = encode_cell(col.type, *given[i]->value);
    if (!cell) {
      return std::unexpected(
          fmt::format("column {} ({}): {}", debug_quote(col.name), type_name, cell.error()));
    }
    if (data.size() + cell->size() > std::numeric_limits<std::uint32_t>::max()) {
      return std::unexpected(std::string("the row is 4 GiB or longer"));
    }
    put_u32(offsets, static_cast<std::uint32_t>(data.size()));
    data.append(*cell);
  }
  return bitmap + offsets + data;
}

}  // namespace kavrel
