// DurableStorage: the storage engine of one database directory. It owns the directory lock, the
// log, the transaction manager, the memtable, the per-transaction log buffers and the
// group-commit coordinator, and is shared by reference count.
//
// Every operation may be called from any connection thread. Transaction ids are those returned
// by begin_transaction(); operations on an id that is not running behave as documented per call.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/bytes.h"
#include "core/error.h"
#include "core/sharded_map.h"
#include "storage/crypto/encryption.h"

namespace kavrel {

enum class WalRecordType : std::uint8_t;
class DatabaseLock;
class TxnWal;
struct TxnWalBuffer;
class MvccManager;
class MvccMemTable;
class EventDrivenGroupCommit;

// The opener's encryption wish: where the key-encryption key came from, and the key (none: the
// database must not have a keyring).
struct StorageEncryption {
  std::string kek_source_id = "none";
  std::optional<EncryptionKey> key;
};

// Figures of a replay.
struct RecoveryStats {
  std::uint64_t transactions = 0;
  std::uint64_t pairs = 0;
  std::uint64_t commit_ts = 0;
};

class DurableStorage : public std::enable_shared_from_this<DurableStorage> {
 public:
  // Opens the storage of dir, creating it if needed: takes the directory lock, loads or creates
  // the keyring, opens the log and scans its counters, reads the manifest, and builds the
  // manager, the memtable and the group commit. The replay itself is run by Database::open.
  static Result<std::shared_ptr<DurableStorage>> open(const std::filesystem::path& dir,
                                                      const StorageEncryption& encryption);
  ~DurableStorage();  // shutdown (sync, ".clean_shutdown" = "clean"), members, lock last

  // A fresh transaction id and snapshot. Nothing is logged: a transaction's Begin record goes to
  // the log with its writes, at commit.
  Result<std::uint64_t> begin_transaction();
  // Records the write, buffers its log record and installs a pending version.
  Result<> write_refs(std::uint64_t txn_id, BytesView key, BytesView value);
  // The same for a deletion (a tombstone).
  Result<> delete_key(std::uint64_t txn_id, BytesView key);
  // Ends the transaction without effect (nothing is logged); unknown ids succeed.
  Result<> abort(std::uint64_t txn_id);
  // Appends a Checkpoint record, syncs, remembers its LSN, publishes the manifest if the
  // database had one. Returns the LSN.
  Result<std::uint64_t> checkpoint();
  // Syncs the log and writes "clean" into ".clean_shutdown".
  Result<> shutdown();
  // Writes content into ".clean_shutdown" (created or truncated). Only its existence is ever
  // tested, by the next open, which deletes it.
  Result<> write_marker(std::string_view content);

  // Replays the log. Schema records are not memtable keys: they are collected, in log order,
  // for recovered_schemas().
  Result<RecoveryStats> recover();

  // Appends a Schema record (txn_id 0, key = the table name, value = the encoded schema) and
  // syncs the log: once it returns success the registration survives a restart. The caller
  // serializes registrations, so that a name is logged at most once.
  Result<> log_schema(std::string_view table, BytesView encoded_schema);
  // The (table name, encoded schema) pairs of the Schema records found by the last recover(),
  // in log order.
  const std::vector<std::pair<std::string, Bytes>>& recovered_schemas() const {
    return recovered_schemas_;
  }

  const std::filesystem::path& path() const { return dir_; }
  std::uint64_t last_checkpoint_lsn() const {
    return last_checkpoint_lsn_.load(std::memory_order_acquire);
  }
  bool encrypted() const { return encrypted_; }
  TxnWal& wal() { return *wal_; }
  MvccManager& manager() { return *manager_; }
  MvccMemTable& memtable() { return *memtable_; }
  EventDrivenGroupCommit& group_commit() { return *group_commit_; }
  // Whether commits drop the versions that no running or future snapshot can see (on by
  // default; benchmarks switch it off to measure what it saves).
  void set_version_pruning(bool on) { prune_versions_.store(on, std::memory_order_relaxed); }
  bool version_pruning() const { return prune_versions_.load(std::memory_order_relaxed); }
  // Removes and returns the transaction's log buffer (commit step 1).
  std::optional<TxnWalBuffer> take_buffer(std::uint64_t txn_id);

  DurableStorage(const DurableStorage&) = delete;
  DurableStorage& operator=(const DurableStorage&) = delete;

 private:
  DurableStorage();
  // Deletes ".clean_shutdown" if present: every open replays the whole log, whatever the marker
  // says, and the marker of this run is written by its own orderly release.
  static Result<> remove_clean_shutdown_marker(const std::filesystem::path& dir);
  Result<> write_record(std::uint64_t txn_id, BytesView key, std::optional<BytesView> value);

  std::filesystem::path dir_;
  std::unique_ptr<DatabaseLock> lock_;
  std::shared_ptr<TxnWal> wal_;
  std::shared_ptr<MvccManager> manager_;
  std::shared_ptr<MvccMemTable> memtable_;
  std::unique_ptr<ShardedMap<std::uint64_t, TxnWalBuffer>> buffers_;
  std::unique_ptr<EventDrivenGroupCommit> group_commit_;
  std::atomic<std::uint64_t> last_checkpoint_lsn_{0};
  bool manifest_exists_ = false;
  bool encrypted_ = false;
  // The log's sealing state from the keyring, for readers of the log.
  std::shared_ptr<const EncryptionEngine> engine_;
  std::array<std::uint8_t, 16> db_uuid_{};
  std::uint32_t key_epoch_ = 0;
  std::atomic<bool> prune_versions_{true};
  std::vector<std::pair<std::string, Bytes>> recovered_schemas_;  // written by recover() only
};

}  // namespace kavrel
