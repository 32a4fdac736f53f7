// Fuzzes every request payload decoder of the socket service, and the client's scan listing
// decoder. Each decoder sees the whole input; what decodes must encode back to the bytes it came
// from (or decode again to the same request), and every refusal is one of its documented texts.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "core/text.h"
#include "server/payloads.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

using namespace kavrel;

void check_text(const std::string& text, std::set<std::string> allowed) {
  FUZZ_CHECK(allowed.contains(text));
}

std::vector<std::string> strings(const std::vector<std::string_view>& views) {
  return {views.begin(), views.end()};
}

bool same(const TableSchema& a, const TableSchema& b) {
  if (a.name != b.name || a.columns.size() != b.columns.size()) return false;
  for (std::size_t i = 0; i < a.columns.size(); ++i) {
    if (a.columns[i].name != b.columns[i].name ||
        a.columns[i].column_type != b.columns[i].column_type ||
        a.columns[i].nullable != b.columns[i].nullable) {
      return false;
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const BytesView in = fuzz::view(data, size);

  if (auto put = decode_put(in)) {
    FUZZ_CHECK(encode_put(put->key, put->value) == in);
  } else {
    check_text(put.error(), {"PUT payload too short", "PUT payload key truncated"});
  }

  for (std::uint8_t op : {opcode::COMMIT_TXN, opcode::ABORT_TXN}) {
    if (auto handle = decode_txn_handle(op, in)) {
      FUZZ_CHECK(size >= 8 && *handle == load_le<std::uint64_t>(in.data()));
    } else {
      FUZZ_CHECK(size < 8);
      check_text(handle.error(), {op == opcode::COMMIT_TXN ? "COMMIT_TXN requires txn_id"
                                                           : "ABORT_TXN requires txn_id"});
    }
  }

  if (auto path = decode_path(in)) {
    for (auto s : path->segments) FUZZ_CHECK(is_valid_utf8(s));
    FUZZ_CHECK(encode_path(strings(path->segments), path->remainder) == in);
    std::size_t joined = path->segments.empty() ? 0 : path->segments.size() - 1;
    for (auto s : path->segments) joined += s.size();
    FUZZ_CHECK(path->key().size() == joined);
  } else {
    check_text(path.error(), {"Path payload too short", "Path segment length truncated",
                              "Path segment truncated", "Invalid UTF-8 in path"});
  }

  if (auto query = decode_query(in)) {
    FUZZ_CHECK(is_valid_utf8(query->path));
    const Bytes encoded =
        encode_query(query->path, query->limit, query->offset, strings(query->columns));
    FUZZ_CHECK(in.starts_with(encoded));
  } else {
    check_text(query.error(), {"Query payload too short", "Query path truncated",
                               "Invalid UTF-8 in query path", "Query limit/offset truncated",
                               "Query columns count truncated", "Query column length truncated",
                               "Query column truncated", "Invalid UTF-8 in query column"});
  }

  if (auto schema = decode_schema(in)) {
    FUZZ_CHECK(is_valid_utf8(in));
    std::vector<WireColumn> columns;
    for (const auto& c : schema->columns) {
      FUZZ_CHECK(static_cast<std::uint8_t>(c.column_type) <= 5);
      columns.push_back({c.name, static_cast<std::uint8_t>(c.column_type), c.nullable});
    }
    const Bytes encoded = encode_schema(schema->name, columns);
    auto again = decode_schema(encoded);
    FUZZ_CHECK(again && same(*again, *schema));
    FUZZ_CHECK(encoded.size() <= size);
  } else {
    check_text(schema.error(), {"Invalid UTF-8 in schema", "Schema payload too short",
                                "Schema name truncated", "Invalid UTF-8 in schema name",
                                "Schema column count truncated", "Column name length truncated",
                                "Column name truncated", "Invalid UTF-8 in column name",
                                "Column type/nullable truncated", "Invalid column type"});
  }

  if (auto listing = decode_scan_listing(in)) {
    auto encoded = encode_scan_listing(*listing);
    FUZZ_CHECK(encoded && in.starts_with(*encoded));
  }
  return 0;
}
