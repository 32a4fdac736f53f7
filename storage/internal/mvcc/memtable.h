// MvccMemTable: the in-memory multi-version table. Every key maps to a VersionChain (committed
// versions newest first plus one pending slot); a DeferredSortedIndex keeps the keys in order for
// prefix scans.
//
// Memory: a key with one version costs one allocation (its head record holds the key, the
// version's stamp and the value), one 8-byte slot of the ChainTable's open-addressing shards and
// the key's bytes in the ordered index's packed lists. See core/version_chain.h for the records.
//
// Invariants:
// - A chain's pending slot belongs to at most one transaction; a second writer is refused with
//   "Write-write conflict detected" until the owner commits or is swept.
// - Every key with a chain has been appended to the ordered index before its chain was created,
//   so a scan (which merges pending index keys first) finds every key written before it began.
//   The index may also hold keys without anything visible (aborted writes, deletions); scans
//   skip them.
// - owned_ remembers, per transaction, the keys where it filled a pending slot. It may name keys
//   whose slot the transaction no longer owns (they are skipped), but every slot a transaction
//   owns is named, so the sweep visits only the transaction's own keys.
// - With a horizon H > 0, commit drops versions that no snapshot >= H can see, and removes the
//   chain of a key whose newest version is a tombstone below H and which has no pending slot (its
//   index entry goes at a later compaction). The caller guarantees that every running and every
//   future reader has a snapshot >= H.
//
// Locking: the chain table and owned_ are sharded; every operation holds at most one shard lock
// at a time, exclusive for write, commit and sweep, shared for lookups and scans. The index's
// pending list is appended to before the key's shard is locked; when it has outgrown the sorted
// keys (and holds at least 10,000), that writer compacts it, also before locking its shard.
// commit() queues removed keys with the index after releasing the shard locks. Any thread may
// call anything.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "core/bytes.h"
#include "core/error.h"
#include "core/sharded_map.h"
#include "core/version_chain.h"
#include "storage/internal/mvcc/chain_table.h"
#include "storage/internal/mvcc/deferred_index.h"
#include "storage/internal/mvcc/key_set.h"
#include "storage/internal/mvcc/packed_keys.h"

namespace kavrel {

class MvccMemTable {
 public:
  // A new, empty table.
  MvccMemTable();
  MvccMemTable(const MvccMemTable&) = delete;
  MvccMemTable& operator=(const MvccMemTable&) = delete;

  // Installs a pending version (an absent value is a deletion) owned by txn_id, or replaces the
  // value of txn_id's own pending version. Fails with WriteConflict ("Internal error: Write-write
  // conflict detected") when another transaction's version is pending; the chain is then unchanged
  // (the key is in the index all the same). May compact the ordered index first (see above).
  Result<> write(BytesView key, std::optional<BytesView> value, std::uint64_t txn_id);

  // Start-up's loading of a key the table does not hold yet: gives it a chain whose only version
  // is value, committed at commit_ts, without a pending version or a commit pass. Fails with
  // Internal when the key has a chain already (the table is then unchanged).
  Result<> load(BytesView key, BytesView value, std::uint64_t commit_ts);

  // Stamps txn_id's pending versions of `keys` with commit_ts, one key at a time. Keys without a
  // chain or without a pending version of txn_id are skipped. With horizon > 0, also prunes each
  // committed chain to what snapshots >= horizon can see (see the invariants above).
  void commit(std::uint64_t txn_id, std::uint64_t commit_ts, const KeySet& keys,
              std::uint64_t horizon = 0);

  // The value a reader sees: its own pending version if it has one, else the newest version
  // committed before snapshot_ts; nullopt for no chain, nothing visible or a tombstone.
  std::optional<Bytes> visible(BytesView key, std::uint64_t reader_txn_id,
                               std::uint64_t snapshot_ts) const;

  // Every key starting with `prefix` that has a visible value, with the value, in ascending key
  // order.
  std::vector<std::pair<Bytes, Bytes>> scan_prefix(BytesView prefix, std::uint64_t reader_txn_id,
                                                   std::uint64_t snapshot_ts) const;

  // Like scan_prefix over the keys >= start, a piece at a time: looks at no more than `limit`
  // indexed keys and sets `next` to the start of the following piece (nullopt at the end). A
  // reader that keeps its snapshot sees, piece by piece, what one scan would have shown.
  std::vector<std::pair<Bytes, Bytes>> scan_from(BytesView start, std::size_t limit,
                                                 std::uint64_t reader_txn_id,
                                                 std::uint64_t snapshot_ts,
                                                 std::optional<Bytes>& next) const;

  // Empties every pending slot owned by txn_id, whether or not txn_id is a running transaction.
  // Visits only the keys txn_id wrote.
  void sweep_uncommitted(std::uint64_t txn_id);

  // Approximate bytes held by keys, values and versions (kept up to date by every change).
  std::uint64_t approx_bytes() const {
    const std::int64_t n = bytes_.load(std::memory_order_relaxed);
    return n < 0 ? 0 : static_cast<std::uint64_t>(n);
  }
  // Number of chains (keys), summed over the shards.
  std::size_t chain_count() const;
  // Committed plus pending versions of all chains (a full walk; for tests and benchmarks).
  std::size_t version_count() const;
  // Number of transactions with remembered pending slots (for tests).
  std::size_t owners_count() const { return owned_.size(); }

  // The ordered key index (for tests).
  DeferredSortedIndex& ordered_index() { return index_; }

 private:
  void account(std::int64_t delta) { bytes_.fetch_add(delta, std::memory_order_relaxed); }

  // Runs fn(VersionChain&) on the chain in slot i of a shard held exclusively, stores its new
  // head back and accounts for the bytes it allocated or freed.
  template <class F>
  decltype(auto) edit_chain(ChainShard& shard, std::size_t i, F&& fn);
  // Commits one key under its shard lock; true when the key's chain was removed.
  bool commit_key(BytesView key, std::uint64_t txn_id, std::uint64_t commit_ts,
                  std::uint64_t horizon);
  void remember_owner(std::uint64_t txn_id, BytesView key);
  bool sweep_key(BytesView key, std::uint64_t txn_id);
  bool owns_pending(BytesView key, std::uint64_t txn_id) const;

  ChainTable data_;
  std::atomic<std::int64_t> bytes_{0};  // see approx_bytes()
  // A key leaves the index only when it has no chain at compaction time. Mutable: a scan (a const
  // read of the table) merges the index's pending keys; the index does its own locking.
  mutable DeferredSortedIndex index_{[this](BytesView key) { return data_.contains(key); }};
  ShardedMap<std::uint64_t, PackedKeys> owned_;  // txn_id -> keys with its pending slots
};

}  // namespace kavrel
