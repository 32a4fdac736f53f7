#include "storage/table/schema.h"

#include <algorithm>

#include <fmt/format.h>

namespace kavrel {

WireSchema to_wire_schema(const TableSchema& schema) {
  WireSchema wire{schema.name, {}};
  wire.columns.reserve(schema.columns.size());
  for (const ColumnDef& c : schema.columns) {
    wire.columns.push_back({c.name, static_cast<std::uint8_t>(c.column_type), c.nullable});
  }
  return wire;
}

TableSchema from_wire_schema(WireSchema wire) {
  TableSchema schema{std::move(wire.name), {}};
  schema.columns.reserve(wire.columns.size());
  for (WireColumn& c : wire.columns) {
    schema.columns.push_back({std::move(c.name), static_cast<ColumnType>(c.type), c.nullable});
  }
  return schema;
}

Bytes encode_table_schema(const TableSchema& schema) {
  const WireSchema wire = to_wire_schema(schema);
  return encode_schema(wire.name, wire.columns);
}

PackedColumnType to_packed_type(ColumnType type) {
  switch (type) {
    case ColumnType::Int: return PackedColumnType::Int;
    case ColumnType::UInt: return PackedColumnType::UInt;
    case ColumnType::Float: return PackedColumnType::Float;
    case ColumnType::Text: return PackedColumnType::Text;
    case ColumnType::Binary: return PackedColumnType::Binary;
    case ColumnType::Bool: return PackedColumnType::Bool;
  }
  return PackedColumnType::Text;
}

PackedTableSchema to_packed_schema(const TableSchema& schema) {
  PackedTableSchema packed{schema.name, {}};
  packed.columns.reserve(schema.columns.size());
  for (const ColumnDef& c : schema.columns) {
    packed.columns.push_back({c.name, c.nullable, to_packed_type(c.column_type)});
  }
  return packed;
}

Result<> TableRegistry::register_table(TableSchema schema) {
  // The check and the insertion are one critical section on the name's shard, so of two
  // concurrent registrations of one new name exactly one succeeds.
  return tables_.with_shard_exclusive(schema.name, [&](auto& tables) -> Result<> {
    if (tables.contains(schema.name)) {
      return fail(
          KavrelError::invalid_argument(fmt::format("Table '{}' already exists", schema.name)));
    }
    packed_schemas_.insert_or_assign(schema.name, to_packed_schema(schema));
    std::string name = schema.name;
    tables.emplace(std::move(name), std::move(schema));
    return {};
  });
}

void TableRegistry::remove(const std::string& name) {
  tables_.with_shard_exclusive(name, [&](auto& tables) {
    tables.erase(name);
    packed_schemas_.remove(name);
  });
}

std::optional<TableSchema> TableRegistry::table(const std::string& name) const {
  return tables_.get(name);
}

std::optional<PackedTableSchema> TableRegistry::packed_schema(const std::string& name) const {
  return packed_schemas_.get(name);
}

std::vector<TableSchema> TableRegistry::all() const {
  std::vector<TableSchema> out;
  tables_.for_each_shard_shared([&](const auto& tables) {
    for (const auto& [name, schema] : tables) out.push_back(schema);
  });
  std::ranges::sort(out, {}, &TableSchema::name);
  return out;
}

}  // namespace kavrel
