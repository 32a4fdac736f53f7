#include "storage/table/query.h"

#include <algorithm>
#include <limits>
#include <set>
#include <string_view>
#include <unordered_set>

#include "storage/table/packed_row.h"

namespace kavrel {

namespace {

using Row = std::map<std::string, KavValue>;

std::vector<std::string_view> split_path(std::string_view key) {
  std::vector<std::string_view> segments;
  std::size_t start = 0;
  for (;;) {
    const std::size_t slash = key.find('/', start);
    if (slash == std::string_view::npos) {
      segments.push_back(key.substr(start));
      return segments;
    }
    segments.push_back(key.substr(start, slash - start));
    start = slash + 1;
  }
}

// The row map of one packed row, with or without a column selection.
Row packed_row_map(const PackedRow& row, const PackedTableSchema& schema,
                   const std::optional<std::vector<std::string>>& selection) {
  Row out;
  const auto& cols = schema.columns;
  if (!selection) {
    for (std::size_t i = 0; i < cols.size(); ++i) {
      auto value = row.get_column(i, cols[i].packed_type);
      if (!value) continue;
      if (value->is_null() && !cols[i].nullable) continue;
      out.insert_or_assign(cols[i].name, std::move(*value));
    }
    return out;
  }
  for (const std::string& name : *selection) {
    const auto it = std::find_if(cols.begin(), cols.end(),
                                 [&](const PackedColumn& c) { return c.name == name; });
    if (it == cols.end()) continue;
    // A selected column is returned even when it is Null, whatever its nullability.
    auto value = row.get_column(static_cast<std::size_t>(it - cols.begin()), it->packed_type);
    if (value) out.insert_or_assign(name, std::move(*value));
  }
  return out;
}

std::vector<Row> packed_rows(const PathEntries& entries, const PackedTableSchema& schema,
                             const std::optional<std::vector<std::string>>& selection) {
  std::vector<Row> rows;
  // The row format counts columns in 16 bits; a wider schema has no decodable rows.
  if (schema.columns.size() > std::numeric_limits<std::uint16_t>::max()) return rows;
  const auto n = static_cast<std::uint16_t>(schema.columns.size());
  for (const auto& [key, value] : entries) {
    if (split_path(key).size() != 2) continue;
    auto row = PackedRow::open(value, n);
    if (!row) continue;  // too short to be a row of this table: skipped, not an error
    Row map = packed_row_map(*row, schema, selection);
    if (!map.empty()) rows.push_back(std::move(map));
  }
  return rows;
}

std::vector<Row> path_rows(const PathEntries& entries,
                           const std::optional<std::vector<std::string>>& selection) {
  std::unordered_set<std::string_view> selected;
  if (selection) selected.insert(selection->begin(), selection->end());
  // Ordered by row id, so the output order is deterministic.
  std::map<std::string, Row> by_id;
  for (const auto& [key, value] : entries) {
    const auto segments = split_path(key);
    if (segments.size() < 3) continue;
    std::string row_id = std::string(segments[0]) + "/" + std::string(segments[1]);
    // Everything after the second "/" is the column, slashes included.
    const std::string_view column =
        std::string_view(key).substr(segments[0].size() + segments[1].size() + 2);
    if (selection && !selected.contains(column)) continue;
    by_id[std::move(row_id)].insert_or_assign(std::string(column), decode_tagged_value(value));
  }
  std::vector<Row> rows;
  rows.reserve(by_id.size());
  for (auto& [id, row] : by_id) rows.push_back(std::move(row));
  return rows;
}

// The names present in rows, each once: in schema order for a registered table, else sorted.
std::vector<std::string> present_columns(const std::vector<Row>& rows,
                                         const std::optional<PackedTableSchema>& schema) {
  std::set<std::string> names;
  for (const Row& row : rows) {
    for (const auto& [name, value] : row) names.insert(name);
  }
  if (!schema) return {names.begin(), names.end()};
  std::vector<std::string> out;
  out.reserve(names.size());
  for (const PackedColumn& c : schema->columns) {
    if (names.erase(c.name) > 0) out.push_back(c.name);
  }
  return out;
}

}  // namespace

QueryBuilder& QueryBuilder::columns(std::vector<std::string> names) {
  columns_ = std::move(names);
  return *this;
}

Result<QueryResult> QueryBuilder::execute() const {
  const std::size_t slash = path_.find('/');
  const std::string table_name = path_.substr(0, slash);
  const std::optional<TableSchema> table = tables_->table(table_name);

  const std::string prefix = table && slash == std::string::npos ? path_ + "/" : path_;
  auto scanned = scan_(prefix);
  if (!scanned) return std::unexpected(std::move(scanned.error()));

  std::optional<PackedTableSchema> packed;
  std::vector<Row> rows;
  if (table) {
    packed = tables_->packed_schema(table_name);
    if (!packed) packed = to_packed_schema(*table);
    rows = packed_rows(*scanned, *packed, columns_);
  } else {
    rows = path_rows(*scanned, columns_);
  }

  if (offset) {
    const auto drop = static_cast<std::size_t>(std::min<std::uint64_t>(*offset, rows.size()));
    rows.erase(rows.begin(), rows.begin() + static_cast<std::ptrdiff_t>(drop));
  }
  if (limit && *limit < rows.size()) rows.resize(static_cast<std::size_t>(*limit));

  QueryResult result;
  result.columns = columns_ ? *columns_ : present_columns(rows, packed);
  result.rows = std::move(rows);
  return result;
}

Result<std::string> QueryBuilder::to_toon(FloatText floats) const {
  auto result = execute();
  if (!result) return std::unexpected(std::move(result.error()));
  return result->to_toon(floats);
}

}  // namespace kavrel
