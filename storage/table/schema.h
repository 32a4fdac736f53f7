// Table schemas and the in-memory registries of the Database. The registries live in memory; the
// Database makes each registration durable through the log (a Schema record holding the schema
// as REGISTER_TABLE carries it, see protocol/wire.h) and registers the logged schemas again at
// open.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/error.h"
#include "core/sharded_map.h"
#include "protocol/wire.h"

namespace kavrel {

// The wire code of REGISTER_TABLE.
enum class ColumnType : std::uint8_t {
  Int = 0,
  UInt = 1,
  Float = 2,
  Text = 3,
  Binary = 4,
  Bool = 5
};

struct ColumnDef {
  std::string name;
  ColumnType column_type;
  bool nullable;
};

struct TableSchema {
  std::string name;
  std::vector<ColumnDef> columns;
};

// The packed-row codec's own type codes (they differ from ColumnType's).
enum class PackedColumnType : std::uint8_t {
  Bool = 0,
  Int = 1,
  UInt = 2,
  Float = 3,
  Text = 4,
  Binary = 5
};

struct PackedColumn {
  std::string name;
  bool nullable;
  PackedColumnType packed_type;
};

struct PackedTableSchema {
  std::string name;
  std::vector<PackedColumn> columns;
};

// The schema as REGISTER_TABLE carries it, and back (wire codes above 5 never reach a
// TableSchema: decode_wire_schema refuses them).
WireSchema to_wire_schema(const TableSchema& schema);
TableSchema from_wire_schema(WireSchema wire);
Bytes encode_table_schema(const TableSchema& schema);

PackedColumnType to_packed_type(ColumnType type);
PackedTableSchema to_packed_schema(const TableSchema& schema);

// The two registries (`tables` and `packed_schemas`), keyed by table name. Safe for concurrent
// use; registration of a name that exists fails with "Table '{}' already exists".
class TableRegistry {
 public:
  Result<> register_table(TableSchema schema);
  // Forgets a table (nothing when there is none).
  void remove(const std::string& name);
  std::optional<TableSchema> table(const std::string& name) const;
  std::optional<PackedTableSchema> packed_schema(const std::string& name) const;
  // Every registered schema, in ascending name order.
  std::vector<TableSchema> all() const;

 private:
  ShardedMap<std::string, TableSchema, 16> tables_;
  ShardedMap<std::string, PackedTableSchema, 16> packed_schemas_;
};

}  // namespace kavrel
