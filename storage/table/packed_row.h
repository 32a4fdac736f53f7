// The two value encodings of table data, both written by clients and decoded by queries.
//
// Packed row (one value per row of a registered table with n columns; integers little-endian,
// no alignment):
//
//   null bitmap   B = ceil(n/8) bytes; bit i%8 (LSB first) of byte i/8 set = column i is null
//   offset table  4*n bytes; n u32 offsets into the data area
//   data area     the rest; column i starts at B + 4*n + offset[i]
//
// Column encodings by PackedColumnType: Bool 1 byte (0 false, else true); Int, UInt, Float 8 bytes
// (Float as its IEEE 754 bit pattern); Text and Binary a u32 length L then L bytes (Text must be
// UTF-8). A null column's offset and data are never read. Values may appear in any order and
// share bytes. Decoding never reads outside the row: a malformed offset or length, or Text that
// is not UTF-8, reads as Null for that column alone.
//
// Tagged value (one value per column of a path row): a tag byte and its payload.
//
//   tag  decoded as  payload                                    minimum length
//   0    Null        ignored                                    1
//   1    Int         8 bytes signed                             9
//   2    UInt        8 bytes unsigned                           9
//   3    Float       8 bytes IEEE 754                           9
//   4    Text        the remaining bytes, invalid UTF-8 -> U+FFFD 1
//   5    Bool        1 byte, 0 false, else true                 2
//   6    Binary      the remaining bytes                        1
//
// Bytes beyond the number or the boolean byte are ignored. An empty value is Null. An unknown tag,
// or a value shorter than its tag's minimum, decodes as Text of the whole value (tag included),
// with invalid UTF-8 replaced by U+FFFD.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/bytes.h"
#include "core/error.h"
#include "storage/table/kav_value.h"
#include "storage/table/schema.h"

namespace kavrel {

// An opened packed row. It keeps a view of the row bytes: the bytes must outlive the PackedRow.
class PackedRow {
 public:
  // Fails with an internal error "PackedRow data too short: {actual} < {required}" when the row
  // cannot hold the bitmap and the offset table of column_count columns.
  static Result<PackedRow> open(BytesView row, std::uint16_t column_count);

  // The value of column i decoded as type; nullopt when i is not a column of this row; Null when
  // the column is marked null or its offset or length is malformed.
  std::optional<KavValue> get_column(std::size_t i, PackedColumnType type) const;

  std::uint16_t column_count() const { return column_count_; }
  std::size_t bitmap_len() const { return bitmap_len_; }
  BytesView bytes() const { return row_; }

 private:
  PackedRow(BytesView row, std::uint16_t column_count, std::size_t bitmap_len)
      : row_(row), column_count_(column_count), bitmap_len_(bitmap_len) {}
  bool is_null(std::size_t i) const;

  BytesView row_;
  std::uint16_t column_count_;
  std::size_t bitmap_len_;
};

// Decodes a tagged value; never fails (see the fallbacks above).
KavValue decode_tagged_value(BytesView value);

// Encodes a packed row with one column per entry of types. A column is marked null when its value
// is missing (values shorter than types), nullopt, Null, or of a variant that does not fit the
// column type (Bool, Int, UInt, Float, Text, Binary fit their namesakes only). Values beyond
// types.size() are ignored. Data follows in column order with offsets counted from 0.
Bytes encode_packed_row(const std::vector<std::optional<KavValue>>& values,
                        const std::vector<PackedColumnType>& types);

// Encodes a value as a tagged value. Array, Object and Ref have no tag of their own: they are
// written as Text (tag 4) holding their debug notation, which is how a query would render them.
Bytes encode_tagged_value(const KavValue& value);

}  // namespace kavrel
