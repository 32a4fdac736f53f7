// DeferredSortedIndex: an ordered set of keys whose insertions are batched.
//
// insert() is a plain append to `pending` (duplicates allowed); the sort happens later, when a
// range is asked for: compact() takes the whole pending batch, sorts and deduplicates it and
// merges it into `sorted` (ascending byte order, no duplicates). Both lists pack their keys back
// to back (storage/internal/mvcc/packed_keys.h): a key costs its bytes plus about one, not a string
// object and a heap block.
//
// So that `pending` cannot grow without bound when nothing asks for ranges (every write appends,
// rewrites of the same key included), insert() reports when pending holds at least as many keys
// as max(10,000, sorted size); the caller then runs try_compact(). Memory stays within about
// twice the number of distinct keys, and the merge costs a constant number of moves per insert.
//
// Removal is deferred too: remove_keys() queues candidate keys whose data the owner has dropped,
// and the next compaction drops a candidate from `sorted` only if the owner's liveness check
// still reports it gone then, and the key is not in the batch being merged. A key appended by a
// writer after the batch was taken stays in `pending` and comes back with the next compaction,
// which no range can skip (see below), so a concurrent re-creation of the key is never lost. A
// candidate that is in the batch but reported gone is kept and checked again next time.
//
// Invariants and locking:
// - compact_mu_ serialises compactions, and range calls take it too (through compact()), so a
//   range never reads `sorted` while keys taken from `pending` are being merged elsewhere: every
//   key whose insert() returned before a range began is in that range's view of `sorted`.
// - Lock order: compact_mu_ first, then pending_mu_, candidates_mu_ and sorted_mu_, one at a
//   time. compact() runs the liveness check with only compact_mu_ held, so insert() and
//   remove_keys(), which take only their own list's lock, may be called while the owner holds the
//   locks its liveness check takes; the owner must not call compact() or a range while holding
//   them.
// All operations may be called from any thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <mutex>
#include <shared_mutex>
#include <vector>

#include "core/bytes.h"
#include "storage/internal/mvcc/packed_keys.h"

namespace kavrel {

class DeferredSortedIndex {
 public:
  static constexpr std::size_t kCompactThreshold = 10'000;

  // True while the owner still holds data for the key.
  using LivenessCheck = std::function<bool(BytesView)>;

  // Without a liveness check remove_keys() has no effect: keys are never removed.
  DeferredSortedIndex();
  explicit DeferredSortedIndex(LivenessCheck is_live);
  DeferredSortedIndex(const DeferredSortedIndex&) = delete;
  DeferredSortedIndex& operator=(const DeferredSortedIndex&) = delete;

  // Appends a copy of the key to `pending`; sets needs_compact at 10,000 pending keys. Never
  // compacts; returns true when pending has reached max(10,000, sorted size) and the caller
  // should run try_compact().
  bool insert(BytesView key);
  // Compacts unless another compaction is running (which leaves the rest to the next one).
  void try_compact();
  // Queues keys whose data is gone; the next compaction drops those still gone from the index.
  void remove_keys(std::vector<Bytes> keys);
  // Merges `pending` (and applies queued removals) into `sorted`.
  void compact();
  // The indexed keys >= start, ascending: the whole tail of the index, or its first `limit`
  // keys. Merges pending keys first.
  std::vector<Bytes> range_from(BytesView start,
                                std::size_t limit = std::numeric_limits<std::size_t>::max());
  // Only the indexed keys that begin with the prefix, ascending (the empty prefix gives every
  // key). Merges pending keys first. Cost is proportional to the result, not to the tail.
  std::vector<Bytes> range_prefix(BytesView prefix);

  bool needs_compact() const { return needs_compact_.load(std::memory_order_acquire); }
  std::size_t pending_size() const;
  std::size_t sorted_size() const;
  std::size_t removal_candidates() const;
  std::uint64_t compaction_count() const { return compactions_.load(std::memory_order_relaxed); }

 private:
  // The part of compact() that runs with compact_mu_ held.
  void compact_locked();
  // Splits the queued candidates into keys to drop now (sorted) and keys to check next time.
  std::vector<Bytes> take_removals(const std::vector<BytesView>& batch);

  LivenessCheck is_live_;
  std::mutex compact_mu_;  // serialises compactions and orders ranges after them
  mutable std::shared_mutex pending_mu_;
  PackedKeys pending_;  // guarded by pending_mu_
  mutable std::mutex candidates_mu_;
  std::vector<Bytes> candidates_;  // guarded by candidates_mu_
  mutable std::shared_mutex sorted_mu_;
  // Ascending, no duplicates. Written only by compactions (which compact_mu_ serialises) and
  // only under sorted_mu_; a compaction reads it without sorted_mu_.
  SortedKeys sorted_;
  std::atomic<std::size_t> sorted_count_{0};  // sorted_.size(), readable without the lock
  std::atomic<bool> needs_compact_{false};
  std::atomic<std::uint64_t> compactions_{0};
};

}  // namespace kavrel
