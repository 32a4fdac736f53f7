// MvccManager: the registry of running transactions, the source of commit timestamps, the
// oldest snapshot still in use, and the SSI records of recently committed transactions.
//
// Timestamps: next_ts starts at 1. A transaction that begins while next_ts is N has snapshot N and
// sees versions with commit_ts < N; allocate_commit_ts() hands out N and moves next_ts to N + 1.
//
// Invariant (the horizon): min_active_snapshot() is never above the snapshot of any transaction
// that has begun and not yet ended, nor above the snapshot of any transaction that begins later.
// It holds because begin reads next_ts and registers that snapshot in active_snapshots inside one
// critical section of snapshots_mu_, and min_active_ is only written inside that same mutex:
// either the smallest registered snapshot, or next_ts (which never decreases, so it bounds every
// later snapshot) when none is registered. Version pruning relies on it: versions that no
// snapshot >= min_active_snapshot() can see may be dropped. The snapshot is registered before the
// transaction enters `active`, so in between it only makes the minimum conservatively low.
//
// Concurrency: `active` and `committed` are sharded maps (one reader-writer lock per shard, at
// most one held at a time); snapshots_mu_ guards active_snapshots_ and is never held while a
// shard lock is taken. Every operation may be called from any thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>

#include "core/bytes.h"
#include "core/sharded_map.h"
#include "storage/mvcc/bloom_filter.h"
#include "storage/mvcc/key_set.h"

namespace kavrel {

// One running transaction. Mode 2 is serializable: its reads are recorded and its commit is
// validated.
struct MvccTransaction {
  std::uint64_t txn_id = 0;
  std::uint64_t snapshot_ts = 0;
  std::uint8_t mode = 0;
  KeySet write_set;
  KeySet read_set;
  SsiBloomFilter write_filter;
  SsiBloomFilter read_filter;
};

// What validation remembers of a committed serializable transaction.
struct SsiRecord {
  std::uint64_t commit_ts = 0;
  SsiBloomFilter read_filter;
  SsiBloomFilter write_filter;
  KeySet read_set;
  KeySet write_set;
};

class MvccManager {
 public:
  static constexpr std::uint64_t committed_gc_limit = 1000;
  static constexpr std::size_t kMaxReadSet = 10'000;
  static constexpr std::uint8_t kSerializable = 2;

  MvccManager() = default;
  MvccManager(const MvccManager&) = delete;
  MvccManager& operator=(const MvccManager&) = delete;

  // Registers txn_id (replacing an entry under the same id) with snapshot = next_ts and empty
  // sets and filters; returns a copy.
  MvccTransaction begin_with_mode(std::uint64_t txn_id, std::uint8_t mode);
  // Adds the key to the write set and filter of a running transaction (any mode); otherwise
  // nothing.
  void record_write(std::uint64_t txn_id, BytesView key);
  // Adds the key to the read set and filter of a running mode-2 transaction whose read set holds
  // fewer than 10,000 keys; otherwise nothing.
  void record_read(std::uint64_t txn_id, BytesView key);
  // The snapshot of a running transaction, or nullopt.
  std::optional<std::uint64_t> snapshot_of(std::uint64_t txn_id) const;
  // A private copy of a running transaction, or nullopt.
  std::optional<MvccTransaction> copy_active(std::uint64_t txn_id) const;
  // Removes a running transaction and hands it back; nullopt when it was not running. The caller
  // then calls track_active_end() with its snapshot.
  std::optional<MvccTransaction> remove_active(std::uint64_t txn_id);
  // Releases one holder of snapshot_ts and recomputes the minimum (next_ts when none is left).
  // A snapshot that is not held only refreshes the minimum.
  void track_active_end(std::uint64_t snapshot_ts);

  // Fetch-and-add on next_ts: the old value.
  std::uint64_t allocate_commit_ts() { return next_ts_.fetch_add(1); }
  std::uint64_t next_ts() const { return next_ts_.load(); }
  // The smallest held snapshot, next_ts when none is held (0 before any begin or end).
  std::uint64_t min_active_snapshot() const { return min_active_.load(); }

  // True: the transaction may commit; false: it is the pivot of a dangerous structure with
  // concurrently committed transactions. Changes nothing.
  bool validate_ssi(const MvccTransaction& txn) const;
  // Stores the record of a committed transaction; above 2 * committed_gc_limit records, removes
  // every record whose commit_ts is below min_active_snapshot().
  void remember_committed(std::uint64_t txn_id, SsiRecord record);

  std::size_t committed_count() const { return committed_.size(); }
  std::size_t active_count() const { return active_.size(); }
  // How many running transactions hold snapshot_ts (for tests).
  std::size_t snapshot_holders(std::uint64_t snapshot_ts) const;

 private:
  // The filter pass: does any concurrent record's filter overlap T's?
  bool any_filter_overlap(const MvccTransaction& txn) const;
  void prune_committed();

  ShardedMap<std::uint64_t, MvccTransaction> active_;
  ShardedMap<std::uint64_t, SsiRecord> committed_;
  std::atomic<std::uint64_t> next_ts_{1};
  mutable std::mutex snapshots_mu_;
  std::map<std::uint64_t, std::uint32_t> active_snapshots_;  // guarded by snapshots_mu_
  std::atomic<std::uint64_t> min_active_{0};                 // written only under snapshots_mu_
};

}  // namespace kavrel
