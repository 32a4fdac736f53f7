// Builds the packed row of a registered table from values given as text, checked against the
// table's schema, so that clients need not assemble the bytes by hand.
//
// Packed row, for a table of n columns (integers little-endian, no alignment):
//   null bitmap   ceil(n/8) bytes; bit i%8 (least significant first) of byte i/8 set: column i
//                 is NULL
//   offset table  n u32 offsets into the data area (a NULL column's offset is 0 and unused)
//   data area     the values in column order: int, uint and float 8 bytes (float as its IEEE 754
//                 bit pattern), bool 1 byte (0 or 1), text and binary a u32 length then the bytes
// The server's query decoder (storage/table/packed_row.h) reads exactly this layout.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/bytes.h"
#include "core/error.h"
#include "protocol/wire.h"

namespace kavrel {

// One column's value for a new row. value is its text form, read by the column's type:
//   int    a decimal whole number from -2^63 to 2^63-1 (a leading + is allowed)
//   uint   a decimal whole number from 0 to 2^64-1
//   float  a decimal or scientific number, inf, -inf or nan
//   bool   true, false, t, f, yes, no, 1 or 0 (any case)
//   text   the bytes as they are; they must be UTF-8
//   binary the bytes as they are
// nullopt is NULL.
struct RowValue {
  std::string column;
  std::optional<Bytes> value;
};

// The packed row, or a text for people naming the column at fault: a column the table lacks, a
// column given twice, a value its type cannot read, or a non-nullable column without a value.
// Columns left out are NULL.
Result<Bytes, std::string> pack_row(const WireSchema& schema, const std::vector<RowValue>& values);

// The data-area bytes of one value of the given wire type (text and binary with their length),
// or a text saying why the value does not fit the type.
Result<Bytes, std::string> encode_cell(std::uint8_t wire_type, BytesView text);

}  // namespace kavrel
