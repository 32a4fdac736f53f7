// Column queries over registered tables (packed rows) and unregistered ones (path rows), and
// their TOON rendering.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/bytes.h"
#include "core/error.h"
#include "storage/table/kav_value.h"
#include "storage/table/schema.h"
#include "storage/table/toon.h"

namespace kavrel {

// One scanned entry: (key text, value bytes), in ascending byte-wise key order.
using PathEntries = std::vector<std::pair<std::string, Bytes>>;
// The guarded prefix scan of the Database (Database::scan_path) under the query's transaction.
using PathScanFn = std::function<Result<PathEntries>(std::string_view prefix)>;

struct QueryResult {
  std::vector<std::string> columns;
  std::vector<std::map<std::string, KavValue>> rows;

  // The TOON text: "[]" for no rows, else result[N]{cols}:row;row. Never fails.
  std::string to_toon(FloatText floats = FloatText::Fixed6) const;
};

class QueryBuilder {
 public:
  QueryBuilder(const TableRegistry& tables, PathScanFn scan, std::string path)
      : tables_(&tables), scan_(std::move(scan)), path_(std::move(path)) {}

  std::optional<std::uint64_t> limit;
  std::optional<std::uint64_t> offset;

  // Replaces the column selection with a copy of names.
  QueryBuilder& columns(std::vector<std::string> names);
  Result<QueryResult> execute() const;
  Result<std::string> to_toon(FloatText floats = FloatText::Fixed6) const;

 private:
  const TableRegistry* tables_;
  PathScanFn scan_;
  std::string path_;
  std::optional<std::vector<std::string>> columns_;
};

}  // namespace kavrel
