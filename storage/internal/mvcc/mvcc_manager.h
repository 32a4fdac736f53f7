// MvccManager: the registry of running transactions, the source of commit timestamps, the
// oldest snapshot still in use, and the SSI records of recently committed transactions. Every
// transaction is serializable: its reads and scans are recorded and its commit is validated.
//
// Timestamps: next_ts starts at 1. certify() hands out N = next_ts and moves next_ts to N + 1; N
// stays "in flight" until publish(N), called once its versions are visible (or it failed). The
// snapshot of a transaction that begins now is the visibility watermark snapshot_base(): the
// smallest in-flight timestamp, or next_ts when none is in flight. A snapshot S sees versions with
// commit_ts < S, and every commit below S is already visible, so a snapshot never moves: nothing
// appears under it later, and a multi-key commit is seen whole or not at all. wait_visible(N)
// returns once snapshot_base() > N, that is, once every transaction that begins afterwards sees N.
//
// Validation (certify): T may commit when no transaction that committed concurrently with it (at
// or after its snapshot) wrote a key T read, or a key under a prefix T scanned. The check, the
// timestamp and the storing of T's record happen under one mutex, so two commits always see each
// other. Then every dependency (write-read, write-write, read-write) points from a smaller commit
// timestamp to a larger one, and the commit order is a serial order. A transaction that read
// nothing cannot be refused; a read-only transaction is not checked (its snapshot is stable).
//
// Invariant (the horizon): min_active_snapshot() is never above the snapshot of any transaction
// that has begun and not yet ended, nor above the snapshot of any transaction that begins later.
// It holds because begin reads snapshot_base() and registers that snapshot in active_snapshots
// inside one critical section of snapshots_mu_, and min_active_ is only written inside that same
// mutex: either the smallest registered snapshot, or snapshot_base() (which never decreases, so it
// bounds every later snapshot) when none is registered. Version pruning relies on it: versions that
// no snapshot >= min_active_snapshot() can see may be dropped. The snapshot is registered before
// the transaction enters `active`, so in between it only makes the minimum conservatively low.
//
// Concurrency: `active` and `committed` are sharded maps (one reader-writer lock per shard, at
// most one held at a time); snapshots_mu_ guards active_snapshots_ and in_flight_ and is never
// held while a shard lock is taken; certify_mu_ is taken before either. Every operation may be
// called from any thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <vector>

#include "core/bytes.h"
#include "core/sharded_map.h"
#include "storage/internal/mvcc/bloom_filter.h"
#include "storage/internal/mvcc/key_set.h"

namespace kavrel {

// One running transaction: what it wrote, read and scanned, checked by validation at commit.
struct MvccTransaction {
  std::uint64_t txn_id = 0;
  std::uint64_t snapshot_ts = 0;
  KeySet write_set;
  KeySet read_set;
  SsiBloomFilter write_filter;
  SsiBloomFilter read_filter;
  std::vector<Bytes> scanned_prefixes;  // every prefix scanned, checked like reads at commit
  bool read_everything = false;         // the read set overflowed: any concurrent write conflicts
};

// What validation remembers of a committed transaction that wrote: its keys, which later
// validations check their reads and scans against.
struct SsiRecord {
  std::uint64_t commit_ts = 0;
  SsiBloomFilter write_filter;
  KeySet write_set;
};

class MvccManager {
 public:
  static constexpr std::uint64_t committed_gc_limit = 1000;
  static constexpr std::size_t kMaxReadSet = 10'000;

  MvccManager() = default;
  MvccManager(const MvccManager&) = delete;
  MvccManager& operator=(const MvccManager&) = delete;

  // Registers txn_id (replacing an entry under the same id) with snapshot = snapshot_base() and
  // empty sets and filters. snapshot_of() gives its snapshot.
  void begin(std::uint64_t txn_id);
  // Holds the snapshot a transaction beginning now would get, registered as that transaction's
  // would be (no version it sees is dropped), without a transaction: for reads that record
  // nothing. The holder ends with track_active_end(snapshot).
  std::uint64_t hold_snapshot();
  // Adds the key to the write set and filter of a running transaction; otherwise nothing.
  void record_write(std::uint64_t txn_id, BytesView key);
  // Adds the key to the read set and filter of a running transaction; otherwise nothing. Once its
  // read set holds kMaxReadSet keys, the transaction is treated as having read every key.
  void record_read(std::uint64_t txn_id, BytesView key);
  // Records a prefix scan of a running transaction: at commit, a concurrent write of any key
  // under the prefix refuses it (a phantom).
  void record_scan(std::uint64_t txn_id, BytesView prefix);
  // How many prefixes a running transaction has recorded (0 when it is not running), and the
  // undoing of those recorded after such a count: a request that failed after its scan (a
  // listing refused, a query's bad column) leaves the transaction as it was.
  std::size_t scan_count(std::uint64_t txn_id) const;
  void forget_scans_since(std::uint64_t txn_id, std::size_t count);
  // The snapshot of a running transaction, or nullopt.
  std::optional<std::uint64_t> snapshot_of(std::uint64_t txn_id) const;
  // Whether a running transaction has written the key.
  bool wrote(std::uint64_t txn_id, BytesView key) const;
  // Removes a running transaction and hands it back; nullopt when it was not running. The caller
  // then calls track_active_end() with its snapshot.
  std::optional<MvccTransaction> remove_active(std::uint64_t txn_id);
  // Releases one holder of snapshot_ts and recomputes the minimum (snapshot_base() when none is
  // left). A snapshot that is not held only refreshes the minimum.
  void track_active_end(std::uint64_t snapshot_ts);

  // Fetch-and-add on next_ts: the old value. Only for the replay at open, when no transaction
  // runs; commits take their timestamps from certify().
  std::uint64_t allocate_commit_ts() { return next_ts_.fetch_add(1); }

  // The commit step of a transaction already removed from the running ones: validates it and, if
  // it passes, gives it a commit timestamp (in flight until publish()) and stores its record
  // (when it wrote anything) for later validations, all in one critical section. nullopt:
  // refused, nothing changed.
  std::optional<std::uint64_t> certify(std::uint64_t txn_id, const MvccTransaction& txn);
  // The versions of commit_ts are visible (or never will be): the watermark may pass it.
  void publish(std::uint64_t commit_ts);
  // Returns once every transaction that begins from now on sees commit_ts.
  void wait_visible(std::uint64_t commit_ts);
  // The snapshot a transaction beginning now gets (see the header).
  std::uint64_t snapshot_base() const;
  std::uint64_t next_ts() const { return next_ts_.load(); }
  // The smallest held snapshot, snapshot_base() when none is held; 0 until the first begin,
  // hold_snapshot(), track_active_end() or publish().
  std::uint64_t min_active_snapshot() const { return min_active_.load(); }

  // True: no concurrently committed transaction wrote what the transaction read or scanned.
  // Changes nothing; certify() is the atomic use of it.
  bool validate_ssi(const MvccTransaction& txn) const;
  // Stores the record of a committed transaction; above 2 * committed_gc_limit records, removes
  // every record whose commit_ts is below min_active_snapshot() (while that has not moved since
  // the previous pass, only once the records are twice what that pass left).
  void remember_committed(std::uint64_t txn_id, SsiRecord record);

  std::size_t committed_count() const { return committed_.size(); }
  std::size_t active_count() const { return active_.size(); }
  // How many holders (running transactions and hold_snapshot() callers) snapshot_ts has (for
  // tests).
  std::size_t snapshot_holders(std::uint64_t snapshot_ts) const;

 private:
  // The filter pass: does any concurrent record's write filter overlap T's read filter?
  bool any_filter_overlap(const MvccTransaction& txn) const;
  // Removes the records below the oldest snapshot; returns that snapshot.
  std::uint64_t prune_committed();
  std::uint64_t snapshot_base_locked() const;  // requires snapshots_mu_

  ShardedMap<std::uint64_t, MvccTransaction> active_;
  ShardedMap<std::uint64_t, SsiRecord> committed_;
  std::atomic<std::uint64_t> next_ts_{1};
  mutable std::mutex snapshots_mu_;
  std::map<std::uint64_t, std::uint32_t> active_snapshots_;  // guarded by snapshots_mu_
  std::atomic<std::uint64_t> min_active_{0};                 // written only under snapshots_mu_
  std::set<std::uint64_t> in_flight_;                        // guarded by snapshots_mu_
  std::condition_variable published_;                        // signalled under snapshots_mu_
  std::mutex certify_mu_;  // held through one validation, its timestamp and its record
  std::atomic<std::size_t> prune_at_{0};        // no pruning pass below this many records...
  std::atomic<std::uint64_t> pruned_below_{0};  // ...while the oldest snapshot is still this
};

}  // namespace kavrel
