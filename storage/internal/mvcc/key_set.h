// KeySet: a hash set of key byte strings (a transaction's read or write set). Lookups by
// BytesView do not allocate.
#pragma once

#include <functional>
#include <unordered_set>

#include "core/bytes.h"
#include "core/sharded_map.h"

namespace kavrel {

using KeySet = std::unordered_set<Bytes, StringHash, std::equal_to<>>;

}  // namespace kavrel
