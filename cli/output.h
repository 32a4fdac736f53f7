// The outputs of kavrel-cli meant for scripts: CSV (RFC 4180) and JSON of query answers and scan
// listings, with NULL always distinct from every stored text.
//
// CSV: a header line, then one line per row, "\r\n"-free ("\n" ends each line). A field holding
// a comma, a double quote, a line break, or equal to the NULL marker (the empty text by default)
// is written in double quotes, inner quotes doubled; NULL is the marker unquoted. So NULL is an
// empty field and a stored empty text is "".
//
// JSON: one array on one line. Query rows are objects keyed by column name, NULL as null; typed
// columns of a registered table become numbers and booleans (a float with the shortest text that
// reads back as the same double), binary columns bytes as scan writes them, everything else
// strings. Scan entries are {"key":..., "value":...}; bytes are a string when they are UTF-8,
// else {"hex":"..."}.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/toon.h"
#include "core/bytes.h"
#include "protocol/wire.h"

namespace kavrel::cli {

// The cell text TOON uses for NULL (and for a missing column).
inline constexpr std::string_view kToonNull = "∅";

// One CSV field: quoted when it must be (see above).
std::string csv_field(std::string_view text, std::string_view null_marker = {});

// A query answer as CSV; NULL cells as null_marker.
std::string query_csv(const ToonTable& table, std::string_view null_marker = {});

// A query answer as JSON. types: the wire type code of each column by name when the table is
// registered (missing names stay strings).
std::string query_json(const ToonTable& table,
                       const std::vector<std::pair<std::string, std::uint8_t>>& types = {});

// The table with NULL cells shown as null_marker (for the aligned table of people).
ToonTable with_null_marker(ToonTable table, std::string_view null_marker);

// A scan listing as CSV (header "key,value") or JSON; hex writes every value in hexadecimal.
std::string scan_csv(const ScanListing& entries, bool hex);
std::string scan_json(const ScanListing& entries, bool hex);

}  // namespace kavrel::cli
