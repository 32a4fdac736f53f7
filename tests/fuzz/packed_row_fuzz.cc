// Fuzzes the two value encodings of table data. Input: one byte for the column count, one type
// byte per column, then the packed row; the whole input is also decoded as a tagged value.
// Properties: decoding never fails or reads outside the row; a column decodes to its own type or
// to Null, Text only as UTF-8; decoded values encode and decode back to themselves.
#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <variant>
#include <vector>

#include "core/text.h"
#include "storage/table/packed_row.h"
#include "storage/table/toon.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

using namespace kavrel;

// Equality with floats compared by their bits (NaN payloads included).
bool same(const KavValue& a, const KavValue& b) {
  if (std::holds_alternative<double>(a.v) && std::holds_alternative<double>(b.v)) {
    return std::bit_cast<std::uint64_t>(std::get<double>(a.v)) ==
           std::bit_cast<std::uint64_t>(std::get<double>(b.v));
  }
  return a == b;
}

bool fits(const KavValue& v, PackedColumnType t) {
  switch (t) {
    case PackedColumnType::Bool: return std::holds_alternative<bool>(v.v);
    case PackedColumnType::Int: return std::holds_alternative<std::int64_t>(v.v);
    case PackedColumnType::UInt: return std::holds_alternative<std::uint64_t>(v.v);
    case PackedColumnType::Float: return std::holds_alternative<double>(v.v);
    case PackedColumnType::Text:
      return std::holds_alternative<std::string>(v.v) && is_valid_utf8(std::get<std::string>(v.v));
    case PackedColumnType::Binary: return std::holds_alternative<KavBinary>(v.v);
  }
  return false;
}

void packed(BytesView input) {
  if (input.empty()) return;
  const auto count = static_cast<std::uint16_t>(static_cast<std::uint8_t>(input[0]) % 40);
  input.remove_prefix(1);
  std::vector<PackedColumnType> types;
  for (std::size_t i = 0; i < count; ++i) {
    const auto code = i < input.size() ? static_cast<std::uint8_t>(input[i]) : std::uint8_t{0};
    types.push_back(static_cast<PackedColumnType>(code % 6));
  }
  input.remove_prefix(std::min<std::size_t>(count, input.size()));
  // The row in storage of its own size, so that ASan sees any read past its end.
  const auto storage = std::make_unique<char[]>(input.size() + 1);
  std::copy(input.begin(), input.end(), storage.get());
  const BytesView row(storage.get(), input.size());

  auto opened = PackedRow::open(row, count);
  const std::size_t required = (count + 7u) / 8u + 4u * count;
  FUZZ_CHECK(opened.has_value() == (row.size() >= required));
  if (!opened) return;
  std::vector<std::optional<KavValue>> values;
  for (std::size_t i = 0; i < count; ++i) {
    auto v = opened->get_column(i, types[i]);
    FUZZ_CHECK(v.has_value());
    FUZZ_CHECK(v->is_null() || fits(*v, types[i]));
    (void)toon_cell(*v);
    values.push_back(std::move(v));
  }
  FUZZ_CHECK(!opened->get_column(count, PackedColumnType::Int).has_value());

  const Bytes encoded = encode_packed_row(values, types);
  auto reopened = PackedRow::open(encoded, count);
  FUZZ_CHECK(reopened.has_value());
  for (std::size_t i = 0; i < count; ++i) {
    auto v = reopened->get_column(i, types[i]);
    FUZZ_CHECK(v.has_value() && same(*v, *values[i]));
  }
}

void tagged(BytesView input) {
  const KavValue v = decode_tagged_value(input);
  FUZZ_CHECK(!std::holds_alternative<KavArray>(v.v) && !std::holds_alternative<KavObject>(v.v) &&
             !std::holds_alternative<KavRef>(v.v));
  if (std::holds_alternative<std::string>(v.v)) {
    FUZZ_CHECK(is_valid_utf8(std::get<std::string>(v.v)));
  }
  (void)toon_cell(v);
  (void)kav_debug_string(v);
  const KavValue again = decode_tagged_value(encode_tagged_value(v));
  FUZZ_CHECK(same(again, v));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const BytesView input = kavrel::fuzz::view(data, size);
  packed(input);
  tagged(input);
  return 0;
}
