// A serializability checker for recorded histories of committed transactions. Every committed
// write puts a value no other write uses, so a read names the write it saw. The checker builds
// the dependency graph (write-read, write-write in commit order, read-write: a read of a version
// points to the write that replaced it) and looks for a cycle; a history is serializable when
// there is none. Reads of values that no committed transaction wrote are reported as well.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace kavrel::testing {

struct CommittedTxn {
  std::string name;  // for the report
  std::uint64_t commit_ts = 0;
  // Key -> the value read (nullopt: absent), only for keys read before the transaction wrote them.
  std::map<std::string, std::optional<std::string>> reads;
  std::map<std::string, std::string> writes;  // key -> the (unique) value written
};

// Empty when the history is serializable; otherwise a description of the first cycle found (the
// names along it) or of a read that no committed write explains.
std::string find_anomaly(const std::vector<CommittedTxn>& history);

}  // namespace kavrel::testing
