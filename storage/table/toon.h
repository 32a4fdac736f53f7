// TOON text, the one-line rendering of query results, and the value renderings it uses.
//
//   no rows:   []
//   otherwise: result[N]{col,col,...}:cell,cell;cell,cell
//
// A cell is "∅" (U+2205) for an absent column or Null; T/F for Bool; decimal for Int and UInt;
// six fixed decimals for Float (NaN, inf, -inf spelled out); Text raw unless it holds "," or ";",
// then quoted with every `"` written as `\"`; Binary as "b64:" and padded standard base64; Array,
// Object and Ref in their debug notation. Column names are never escaped.
#pragma once

#include <string>

#include "core/bytes.h"
#include "storage/table/kav_value.h"

namespace kavrel {

// The empty-cell mark: U+2205 EMPTY SET.
inline constexpr std::string_view kToonEmptyCell = "\xE2\x88\x85";

// Standard base64 (RFC 4648 alphabet with "+" and "/"), padded with "=".
std::string base64_encode(BytesView bytes);

// The debug notation of a value: the variant name and the payload in parentheses, texts quoted,
// e.g. Null, Bool(true), Int(-1), Float(1.5), Text("hi"), Binary([0, 1]), Array([Int(1)]),
// Object({"a": Null}), Ref { table: "t", id: 1 }.
std::string kav_debug_string(const KavValue& value);

// How a Float cell is written: with exactly six digits after the point (the protocol's own
// form), or as the shortest text that reads back to the same double (asked for by a QUERY flag).
enum class FloatText : std::uint8_t { Fixed6, Shortest };

// The TOON cell of one value (Null gives the empty-cell mark).
std::string toon_cell(const KavValue& value, FloatText floats = FloatText::Fixed6);

}  // namespace kavrel
