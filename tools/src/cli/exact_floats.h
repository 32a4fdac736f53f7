// Floats shown exactly. kavrel-cli asks QUERY for floats as the shortest text that reads back as
// the same double; a server without that option writes them with six digits after the point
// (0.1234567891 as 0.123457, 1e300 as 301 digits and ".000000"). Then kavrel-cli rebuilds the
// float cells of the answer from the stored bytes, read with one SCAN of the prefix the server's
// query read, and writes them as the newer server would.
//
// The rows are rebuilt as the server builds them (storage/table/query.cc): for a registered
// table, packed rows under exactly TABLE/ID; otherwise path rows TABLE/ID/COLUMN in row-id order,
// floats being tagged values. Offset and limit apply to them. The answer is changed only when
// the rebuilt rows match it: as many rows, and every rebuilt float written in the answer as the
// server writes it. Anything else (a write between the two reads, a key the scan leaves out)
// leaves the answer as the server sent it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/wire.h"
#include "tools/src/cli/toon.h"

namespace kavrel::cli {

// The shortest text that reads back as x, as the server writes it when asked (1, 2.5,
// 0.1234567891, 1e+300, 1e-07); NaN, inf and -inf as the server spells them.
std::string float_text(double x);

// x as the server's TOON text writes it: six decimals, or NaN, inf, -inf.
std::string toon_float_text(double x);

// Whether the answer may hold floats that the TOON text rounded: for a registered table, finite
// values in float columns, each written with six digits after the point (one written otherwise
// shows a server that wrote them exactly); otherwise a cell written so (-?digits.6 digits).
bool may_hold_rounded_floats(const ToonTable& table, const std::optional<WireSchema>& schema);

// The prefix the server scans to answer a query of path.
std::string query_scan_prefix(std::string_view path, bool registered);

// Rewrites the float cells of table (a query answer of schema's table, or of a table of paths
// when schema is nullopt) from entries, the SCAN of query_scan_prefix. limit, offset and
// columns are the query's (0 and empty: none). False, with table unchanged, when the entries do
// not give the answer's rows.
bool show_exact_floats(ToonTable& table, const ScanListing& entries,
                       const std::optional<WireSchema>& schema, std::uint32_t limit,
                       std::uint32_t offset, const std::vector<std::string>& columns);

}  // namespace kavrel::cli
