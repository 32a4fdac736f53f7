// KavValue: the value enumeration of query results.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "core/bytes.h"

namespace kavrel {

struct KavValue;
struct KavNull {
  bool operator==(const KavNull&) const = default;
};
struct KavBinary {
  Bytes bytes;
  bool operator==(const KavBinary&) const = default;
};
struct KavArray {
  std::vector<KavValue> items;
  bool operator==(const KavArray&) const;
};
struct KavObject {
  std::map<std::string, KavValue> members;
  bool operator==(const KavObject&) const;
};
struct KavRef {
  std::string table;
  std::uint64_t id;
  bool operator==(const KavRef&) const = default;
};

// Variants in this order: Null, Bool, Int, UInt, Float, Text, Binary, Array, Object, Ref.
struct KavValue {
  using Variant = std::variant<KavNull, bool, std::int64_t, std::uint64_t, double, std::string,
                               KavBinary, KavArray, KavObject, KavRef>;
  Variant v;

  KavValue() : v(KavNull{}) {}
  template <class T>
  KavValue(T x) : v(std::move(x)) {}  // NOLINT: implicit from each variant type
  bool operator==(const KavValue& o) const { return v == o.v; }
  bool is_null() const { return std::holds_alternative<KavNull>(v); }
};

inline bool KavArray::operator==(const KavArray& o) const { return items == o.items; }
inline bool KavObject::operator==(const KavObject& o) const { return members == o.members; }

}  // namespace kavrel
