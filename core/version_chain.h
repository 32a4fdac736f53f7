// The versions of one key: committed versions newest first, plus at most one pending version.
//
// A chain holds the committed versions of a key sorted by commit timestamp, descending (index 0
// is the newest), and one slot for an uncommitted version. The slot belongs to one transaction
// at a time: the first writer fills it, later writes of the same transaction replace its value,
// writes of any other transaction are refused until the slot is emptied by commit (which moves
// the version into the committed list) or by the sweep of an aborted transaction.
//
// Visibility: a reader sees its own pending version if it owns the slot; otherwise the newest
// committed version whose commit timestamp is strictly below the reader's snapshot.
//
// Pruning: prune(H) keeps every version with commit_ts >= H and the newest one below H, and drops
// the older ones. A reader whose snapshot is >= H sees the same version before and after.
//
// A chain is not synchronised; its owner (the memtable) guards it with a lock.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "core/bytes.h"

namespace kavrel {

// One version of a key. An absent value is a tombstone (the key was deleted); commit_ts is 0 while
// the version is pending.
struct Version {
  std::optional<Bytes> value;
  std::uint64_t txn_id = 0;
  std::uint64_t commit_ts = 0;
};

// What a write did to the pending slot.
enum class ChainWrite : std::uint8_t {
  Installed,  // the slot was empty and now belongs to the writer
  Replaced,   // the writer already owned the slot; its value was replaced
  Conflict,   // another transaction owns the slot; nothing changed
};

// V needs the members `value`, `txn_id` and `commit_ts` (as Version has).
template <class V>
class BinarySearchChain {
 public:
  // Installs `pending` (its commit_ts is forced to 0) in the slot, or replaces the slot's value
  // when the same transaction owns it.
  ChainWrite write(V pending) {
    if (!uncommitted_) {
      pending.commit_ts = 0;
      uncommitted_.emplace(std::move(pending));
      return ChainWrite::Installed;
    }
    if (uncommitted_->txn_id != pending.txn_id) return ChainWrite::Conflict;
    uncommitted_->value = std::move(pending.value);
    return ChainWrite::Replaced;
  }

  // Moves txn_id's pending version into the committed list, stamped with commit_ts. Does nothing
  // (and returns false) when the slot is empty, owned by someone else or already stamped.
  bool commit(std::uint64_t txn_id, std::uint64_t commit_ts) {
    if (!uncommitted_ || uncommitted_->txn_id != txn_id || uncommitted_->commit_ts != 0) {
      return false;
    }
    V version = std::move(*uncommitted_);
    uncommitted_.reset();
    version.commit_ts = commit_ts;
    // Versions newer than commit_ts stay in front; an equal timestamp goes before the existing
    // ones. Timestamps grow, so this is normally index 0.
    const auto at = std::partition_point(versions_.begin(), versions_.end(),
                                         [&](const V& v) { return v.commit_ts > commit_ts; });
    versions_.insert(at, std::move(version));
    return true;
  }

  // The version a reader sees (possibly a tombstone), or nullptr when none is visible.
  const V* visible(std::uint64_t reader_txn_id, std::uint64_t snapshot_ts) const {
    if (uncommitted_ && uncommitted_->txn_id == reader_txn_id) return &*uncommitted_;
    const auto it = first_below(snapshot_ts);
    return it == versions_.end() ? nullptr : &*it;
  }

  // Empties the slot if txn_id owns it; true when it did.
  bool sweep(std::uint64_t txn_id) {
    if (!uncommitted_ || uncommitted_->txn_id != txn_id) return false;
    uncommitted_.reset();
    return true;
  }

  // Drops every committed version older than the newest one whose commit_ts is below horizon.
  // Horizon 0 keeps everything. Returns the number of versions dropped.
  std::size_t prune(std::uint64_t horizon) {
    if (horizon == 0) return 0;
    auto keep_end = first_below(horizon);
    if (keep_end == versions_.end()) return 0;
    ++keep_end;  // the newest version below the horizon is what the oldest readers see
    const auto dropped = static_cast<std::size_t>(versions_.end() - keep_end);
    versions_.erase(keep_end, versions_.end());
    return dropped;
  }

  const std::vector<V>& versions() const { return versions_; }
  const std::optional<V>& uncommitted() const { return uncommitted_; }
  // Committed versions plus the pending one.
  std::size_t version_count() const { return versions_.size() + (uncommitted_ ? 1 : 0); }

 private:
  // The first (newest) committed version with commit_ts < ts.
  typename std::vector<V>::const_iterator first_below(std::uint64_t ts) const {
    return std::partition_point(versions_.begin(), versions_.end(),
                                [&](const V& v) { return v.commit_ts >= ts; });
  }
  typename std::vector<V>::iterator first_below(std::uint64_t ts) {
    return std::partition_point(versions_.begin(), versions_.end(),
                                [&](const V& v) { return v.commit_ts >= ts; });
  }

  std::vector<V> versions_;       // descending commit_ts
  std::optional<V> uncommitted_;  // pending version, commit_ts 0
};

using VersionChain = BinarySearchChain<Version>;

}  // namespace kavrel
