#include "storage/table/packed_row.h"

#include <bit>
#include <string>
#include <variant>

#include <fmt/format.h>

#include "core/text.h"
#include "storage/table/toon.h"

namespace kavrel {

namespace {

constexpr std::size_t kNumberLen = 8;
constexpr std::size_t kLengthLen = 4;

// Tags of the tagged-value encoding.
enum class ValueTag : std::uint8_t {
  Null = 0,
  Int = 1,
  UInt = 2,
  Float = 3,
  Text = 4,
  Bool = 5,
  Binary = 6
};

// The L bytes after a u32 length L at the start of rest; nullopt if rest is too short.
std::optional<BytesView> read_length_prefixed(BytesView rest) {
  if (rest.size() < kLengthLen) return std::nullopt;
  const std::uint64_t len = get_u32(rest.data());
  if (rest.size() - kLengthLen < len) return std::nullopt;
  return rest.substr(kLengthLen, len);
}

}  // namespace

Result<PackedRow> PackedRow::open(BytesView row, std::uint16_t column_count) {
  const std::size_t bitmap_len = (static_cast<std::size_t>(column_count) + 7) / 8;
  const std::size_t required = bitmap_len + 4 * static_cast<std::size_t>(column_count);
  if (row.size() < required) {
    return fail(KavrelError::internal(
        fmt::format("PackedRow data too short: {} < {}", row.size(), required)));
  }
  return PackedRow(row, column_count, bitmap_len);
}

bool PackedRow::is_null(std::size_t i) const {
  const auto byte = static_cast<unsigned char>(row_[i / 8]);
  return ((byte >> (i % 8)) & 1) != 0;
}

std::optional<KavValue> PackedRow::get_column(std::size_t i, PackedColumnType type) const {
  if (i >= column_count_) return std::nullopt;
  if (is_null(i)) return KavValue{};
  const std::size_t data_start = bitmap_len_ + 4 * static_cast<std::size_t>(column_count_);
  const std::uint32_t offset = get_u32(row_.data() + bitmap_len_ + 4 * i);
  // data_start <= row size (checked by open) and offset < 2^32, so this cannot overflow.
  const std::size_t pos = data_start + offset;
  if (pos >= row_.size()) return KavValue{};
  const BytesView rest = row_.substr(pos);

  switch (type) {
    case PackedColumnType::Bool: return KavValue{rest[0] != 0};
    case PackedColumnType::Int:
      if (rest.size() < kNumberLen) return KavValue{};
      return KavValue{static_cast<std::int64_t>(get_u64(rest.data()))};
    case PackedColumnType::UInt:
      if (rest.size() < kNumberLen) return KavValue{};
      return KavValue{get_u64(rest.data())};
    case PackedColumnType::Float:
      if (rest.size() < kNumberLen) return KavValue{};
      return KavValue{std::bit_cast<double>(get_u64(rest.data()))};
    case PackedColumnType::Text: {
      const auto text = read_length_prefixed(rest);
      if (!text || !is_valid_utf8(*text)) return KavValue{};
      return KavValue{std::string(*text)};
    }
    case PackedColumnType::Binary: {
      const auto bytes = read_length_prefixed(rest);
      if (!bytes) return KavValue{};
      return KavValue{KavBinary{Bytes(*bytes)}};
    }
  }
  // A type code outside the enumeration (cast from an unchecked byte).
  return KavValue{};
}

KavValue decode_tagged_value(BytesView value) {
  if (value.empty()) return KavValue{};
  const BytesView payload = value.substr(1);
  switch (static_cast<ValueTag>(static_cast<unsigned char>(value[0]))) {
    case ValueTag::Null: return KavValue{};
    case ValueTag::Int:
      if (payload.size() < kNumberLen) break;
      return KavValue{static_cast<std::int64_t>(get_u64(payload.data()))};
    case ValueTag::UInt:
      if (payload.size() < kNumberLen) break;
      return KavValue{get_u64(payload.data())};
    case ValueTag::Float:
      if (payload.size() < kNumberLen) break;
      return KavValue{std::bit_cast<double>(get_u64(payload.data()))};
    case ValueTag::Text: return KavValue{utf8_lossy(payload)};
    case ValueTag::Bool:
      if (payload.empty()) break;
      return KavValue{payload[0] != 0};
    case ValueTag::Binary: return KavValue{KavBinary{Bytes(payload)}};
  }
  // Unknown tag or too short for its tag: the whole value, tag byte included, as text.
  return KavValue{utf8_lossy(value)};
}

namespace {

// Appends the encoding of value for a column of the given type; false if the variant does not fit.
bool append_column(Bytes& data, const KavValue& value, PackedColumnType type) {
  switch (type) {
    case PackedColumnType::Bool:
      if (const auto* b = std::get_if<bool>(&value.v)) {
        put_u8(data, *b ? 1 : 0);
        return true;
      }
      return false;
    case PackedColumnType::Int:
      if (const auto* x = std::get_if<std::int64_t>(&value.v)) {
        put_u64(data, static_cast<std::uint64_t>(*x));
        return true;
      }
      return false;
    case PackedColumnType::UInt:
      if (const auto* x = std::get_if<std::uint64_t>(&value.v)) {
        put_u64(data, *x);
        return true;
      }
      return false;
    case PackedColumnType::Float:
      if (const auto* x = std::get_if<double>(&value.v)) {
        put_u64(data, std::bit_cast<std::uint64_t>(*x));
        return true;
      }
      return false;
    case PackedColumnType::Text:
      if (const auto* s = std::get_if<std::string>(&value.v)) {
        put_u32(data, static_cast<std::uint32_t>(s->size()));
        data += *s;
        return true;
      }
      return false;
    case PackedColumnType::Binary:
      if (const auto* b = std::get_if<KavBinary>(&value.v)) {
        put_u32(data, static_cast<std::uint32_t>(b->bytes.size()));
        data += b->bytes;
        return true;
      }
      return false;
  }
  return false;
}

}  // namespace

Bytes encode_packed_row(const std::vector<std::optional<KavValue>>& values,
                        const std::vector<PackedColumnType>& types) {
  const std::size_t n = types.size();
  Bytes bitmap((n + 7) / 8, '\0');
  Bytes offsets;
  offsets.reserve(4 * n);
  Bytes data;
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t start = data.size();
    const bool present = i < values.size() && values[i].has_value() && !values[i]->is_null() &&
                         append_column(data, *values[i], types[i]);
    if (!present) {
      bitmap[i / 8] =
          static_cast<char>(static_cast<unsigned char>(bitmap[i / 8]) | (1u << (i % 8)));
      put_u32(offsets, 0);
    } else {
      put_u32(offsets, static_cast<std::uint32_t>(start));
    }
  }
  return bitmap + offsets + data;
}

Bytes encode_tagged_value(const KavValue& value) {
  Bytes out;
  std::visit(
      [&](const auto& x) {
        using T = std::decay_t<decltype(x)>;
        if constexpr (std::is_same_v<T, KavNull>) {
          put_u8(out, static_cast<std::uint8_t>(ValueTag::Null));
        } else if constexpr (std::is_same_v<T, bool>) {
          put_u8(out, static_cast<std::uint8_t>(ValueTag::Bool));
          put_u8(out, x ? 1 : 0);
        } else if constexpr (std::is_same_v<T, std::int64_t>) {
          put_u8(out, static_cast<std::uint8_t>(ValueTag::Int));
          put_u64(out, static_cast<std::uint64_t>(x));
        } else if constexpr (std::is_same_v<T, std::uint64_t>) {
          put_u8(out, static_cast<std::uint8_t>(ValueTag::UInt));
          put_u64(out, x);
        } else if constexpr (std::is_same_v<T, double>) {
          put_u8(out, static_cast<std::uint8_t>(ValueTag::Float));
          put_u64(out, std::bit_cast<std::uint64_t>(x));
        } else if constexpr (std::is_same_v<T, std::string>) {
          put_u8(out, static_cast<std::uint8_t>(ValueTag::Text));
          out += x;
        } else if constexpr (std::is_same_v<T, KavBinary>) {
          put_u8(out, static_cast<std::uint8_t>(ValueTag::Binary));
          out += x.bytes;
        } else {
          put_u8(out, static_cast<std::uint8_t>(ValueTag::Text));
          out += kav_debug_string(value);
        }
      },
      value.v);
  return out;
}

}  // namespace kavrel
