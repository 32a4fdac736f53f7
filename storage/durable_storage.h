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
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/bytes.h"
#include "core/error.h"
#include "core/sharded_map.h"
#include "core/writer_first_mutex.h"
#include "storage/internal/crypto/encryption.h"
#include "storage/internal/mvcc/key_set.h"
#include "storage/internal/wal/snapshot.h"
#include "storage/users.h"
#include "storage/writers_queue.h"

namespace kavrel {

enum class WalRecordType : std::uint8_t;
class DatabaseLock;
class TxnWal;
struct TxnWalBuffer;
class MvccManager;
class MvccMemTable;

// The opener's encryption wish: where the key-encryption key came from, and the key (none: the
// database must not have a keyring).
struct StorageEncryption {
  std::string kek_source_id = "none";
  std::optional<EncryptionKey> key;
};

// Figures of a compaction.
struct CompactionStats {
  std::uint64_t keys = 0;
  std::uint64_t snapshot_bytes = 0;
  std::uint64_t generation = 0;  // of the log that continues after the snapshot
};

// What a backup wrote (see DurableStorage::write_backup).
struct BackupWritten {
  std::uint64_t lsn = 0;  // the commit point: the LSN that follows the last commit it holds
  std::uint64_t keys = 0;
  std::uint64_t tables = 0;
  std::uint64_t users = 0;
  std::uint64_t snapshot_bytes = 0;
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
  // the keyring, opens the snapshot and the log, reads the manifest, builds the manager, the
  // memtable, then loads the snapshot and replays the logs after it (recover()); only then does
  // it take writes (the writers queue).
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
  // Ends the transaction without effect: nothing is logged, its pending versions are swept and
  // its snapshot is let go. Unknown or ended ids succeed. Every transaction that does not commit
  // ends here, a failed commit included.
  Result<> abort(std::uint64_t txn_id);

  // The write road. Every durable write passes the one writers queue (WritersQueue): the leader
  // of a batch writes the records of its transactions to the log, certifies them (serializable
  // validation, commit timestamps), appends their Commit records and syncs once, then makes them
  // visible. A write is answered only once it is durable and every transaction begun afterwards
  // sees it.
  //
  // Commits the transaction: its commit timestamp, or the error that ended it (a refused
  // validation, a failed log write or sync). Either way it has ended.
  Result<std::uint64_t> commit(std::uint64_t txn_id);
  // Writes the runs in one transaction of their own (each run in its order, the runs in theirs;
  // two writes of one key: the later wins): one outcome per run. A run holding a write that met
  // another transaction's pending write is left out (WriteAlone) and the rest written without it.
  std::vector<WriteOutcome> write(std::span<const std::span<const BlindWrite>> runs);
  // The same without waiting, for a caller that answers in request.done(): queues it; true when
  // the caller must then call lead_writes() (on its thread or another).
  [[nodiscard]] bool submit(WriteRequest& request) { return writers_->submit(request); }
  void lead_writes() { writers_->lead(); }

  // Reads in a transaction: what it sees at its read point, and its own pending writes.
  // "Transaction not found" when it is not running. get() records a read of the key, scan() a read
  // of every key under the prefix, present or not, so that a concurrent write there refuses the
  // commit.
  Result<std::optional<Bytes>> get(std::uint64_t txn_id, BytesView key);
  Result<std::vector<std::pair<Bytes, Bytes>>> scan(std::uint64_t txn_id, BytesView prefix);
  // The scans a transaction has recorded, and the undoing of those recorded since (a request
  // that fails leaves its transaction as it was).
  std::size_t scan_count(std::uint64_t txn_id) const;
  void forget_scans_since(std::uint64_t txn_id, std::size_t count);
  // The MVCC read point of a running transaction: it sees the commits below it.
  std::optional<std::uint64_t> read_point(std::uint64_t txn_id) const;
  // Whether the running transaction has a pending write of key.
  bool wrote(std::uint64_t txn_id, BytesView key) const;
  // Reads outside any transaction: a read point held (no version it sees is dropped) until
  // released, and the committed value of a key at it (nullopt: no key, or deleted).
  std::uint64_t hold_read_point();
  void release_read_point(std::uint64_t read_point);
  std::optional<Bytes> read_at(BytesView key, std::uint64_t read_point) const;

  // What STATS and the tests look at.
  struct Figures {
    std::size_t running_transactions = 0;
    std::uint64_t memtable_bytes = 0;
    std::size_t versions = 0;
    std::uint64_t log_bytes = 0;          // the current log's size
    std::uint64_t log_durable_bytes = 0;  // how much of it is known durable
    std::uint64_t next_lsn = 0;
    bool log_failed = false;  // a write or sync failed: it refuses writes until a restart
  };
  Figures figures();
  // The size of the current log.
  std::uint64_t log_bytes();
  // Appends a Checkpoint record, syncs, remembers its LSN, publishes the manifest if the
  // database had one. Returns the LSN once the record is durable: a manifest that cannot be
  // updated keeps its previous contents and is logged as a warning.
  Result<std::uint64_t> checkpoint();

  // Appends a Schema record (txn_id 0, key = the table name, value = the encoded schema), syncs
  // the log and adds the schema to schemas(): once it returns success the registration survives
  // restarts and compactions. The caller serializes registrations, so that a name is logged at
  // most once.
  Result<> log_schema(std::string_view table, BytesView encoded_schema);
  // The logged table schemas, (table name, encoded schema) in ascending name order: those of
  // the snapshot and the logs at open (the first record of a name wins, a committed drop
  // removes it), then those logged or dropped since.
  std::vector<std::pair<std::string, Bytes>> schemas() const;
  // A table a transaction drops, as schemas() held it when the drop was asked for.
  struct SchemaDrop {
    std::string table;
    std::uint64_t registration = 0;  // tells a later registration of the same name apart
  };
  // Adds a SchemaDrop record of the table to the transaction's records: its commit removes the
  // schema together with whatever else it wrote (the caller deletes the table's rows in the same
  // transaction); an abort forgets it. "Table not found" when schemas() has no such table.
  Result<> drop_schema(std::uint64_t txn_id, const std::string& table);
  // Whether the transaction drops tables.
  bool drops_schemas(std::uint64_t txn_id) const;

  // The users (storage/users.h), kept beside the schemas and never in the memtable. A change
  // appends its record alone (User or UserDrop, txn_id 0) and syncs the log, and only then
  // changes users(): once it returns success the change survives restarts and compactions.
  // Changes are serialized, so users() holds what the last logged record of each name says, as
  // a replay of the log finds it. A failure changes nothing in users(); after a failed sync the
  // record may still be on disk (the log then refuses every write until a restart), so a
  // restart finds the change either whole or not at all. The caller checks the record.
  Result<> log_user(const UserRecord& user);
  // Removes the user: false, with nothing logged, when there is none of that name.
  Result<bool> log_user_drop(std::string_view name);
  // The user of that name, or nullopt.
  std::optional<UserRecord> user(std::string_view name) const;
  // Every user, by name, ascending.
  std::vector<UserRecord> users() const;
  // Whether any user has Role::Admin.
  bool has_admin() const;

  // Compaction: switches the log to a new generation (briefly excluding commits from the log),
  // writes the committed state with the schemas and users logged before the switch to the
  // snapshot file, then removes the logs the snapshot covers. A failure at any step leaves the
  // previous state in use and correct (the logs not yet removed are replayed after the older
  // snapshot). One at a time.
  Result<CompactionStats> compact();
  // Online backup: writes into dir (an existing, empty directory other than this storage's)
  // what an open needs to start from the committed state at one commit point, and nothing else:
  // keyring.json as it is (an encrypted database: the snapshot stays sealed under the same data
  // key), the snapshot of that state with the tables and users logged before it, the log that
  // follows it (its LogStart record alone, numbering on from the point's LSN) and wal.manifest
  // when this database has one. The point is taken while no commit is in its log work (a brief
  // exclusive hold of the log gate, as a compaction's switch): every commit acknowledged before the
  // call is in the copy, and the copy holds exactly the commits logged below its LSN. The state is
  // then read from an MVCC read point while readers and writers go on. Every file is durable on
  // success; on failure dir keeps whatever was written (the caller removes it). Any number may
  // run at once, and alongside a compaction: nothing of this storage's directory is written.
  Result<BackupWritten> write_backup(const std::filesystem::path& dir);
  // The size of the snapshot file written or loaded last (0 without one).
  std::uint64_t snapshot_bytes() const { return snapshot_bytes_.load(std::memory_order_relaxed); }

  const std::filesystem::path& path() const { return dir_; }
  std::uint64_t last_checkpoint_lsn() const {
    return last_checkpoint_lsn_.load(std::memory_order_acquire);
  }
  bool encrypted() const { return encrypted_; }

  DurableStorage(const DurableStorage&) = delete;
  DurableStorage& operator=(const DurableStorage&) = delete;

 private:
  DurableStorage();
  // Held shared by everything that writes the log, across its log work (a commit from writing
  // its records until they are visible), so that a compaction switches logs between commits.
  // A compaction that asks for the switch waits only for the holders already in: later ones
  // wait for it. Not recursive: a thread holding it must not ask again.
  using LogShared = std::shared_lock<WriterFirstMutex>;
  LogShared log_shared() { return LogShared(log_gate_); }
  // Removes and returns the tables the transaction drops (commit step 1, with take_buffer).
  std::vector<SchemaDrop> take_schema_drops(std::uint64_t txn_id);
  // Whether every dropped table is still the one the drop saw (not dropped, or dropped and
  // registered again, since). Database::commit keeps registrations and other drops out until
  // the drops are applied.
  bool schemas_current(const std::vector<SchemaDrop>& drops) const;
  // Removes the tables from schemas(). Called by a commit whose records dropped them, once they
  // are durable, while it still holds log_shared(), and by the replay of such a commit.
  void forget_schemas(const std::vector<SchemaDrop>& drops);
  // Deletes ".clean_shutdown" if present: every open replays the whole log, whatever the marker
  // says, and the marker of this run is written by its own orderly release.
  static Result<> remove_clean_shutdown_marker(const std::filesystem::path& dir);
  // Makes the writers queue (see commit_batch).
  void start_commits();
  // Syncs the log and writes "clean" into ".clean_shutdown" (created or truncated): the one
  // writer of that marker, on an orderly release. Only its existence is ever tested, by the
  // next open, which deletes it.
  Result<> shutdown();
  // The writers queue's batch: see the write road above.
  struct Committing;
  void commit_batch(std::span<WriteRequest* const> batch);
  // Writes the blind runs into one new transaction, leaving out (WriteAlone) a run the storage
  // refuses: the transaction, or nullopt when no run is left (or it could not begin: Failed).
  std::optional<std::uint64_t> write_runs(std::span<std::pair<WriteRequest*, std::size_t>> runs);
  // Commit step 1: the records to the log, validation and timestamp; ends t on failure.
  void certify(Committing& t);
  // Commit step 2: the Commit records of those with records, and one sync.
  void sync_commits(std::span<Committing> txns);
  // Removes and returns the transaction's log buffer.
  std::optional<TxnWalBuffer> take_buffer(std::uint64_t txn_id);
  Result<> write_record(std::uint64_t txn_id, BytesView key, std::optional<BytesView> value);
  // Appends records to the transaction's log buffer, made with its Begin record first.
  void append_to_buffer(std::uint64_t txn_id, const std::function<void(TxnWalBuffer&)>& append);
  class Replay;
  // Loads the snapshot (when there is one), then replays the logs of `generations` after it
  // (ascending, the last one wal_'s), each in the one pass that finds its end. Schema and user
  // records are not memtable keys: they go to schemas_ and users_.
  Result<RecoveryStats> recover(std::optional<SnapshotFile> snapshot,
                                const std::vector<std::uint64_t>& generations);
  // The schemas and the users, encoded as a snapshot holds them, in ascending name order.
  struct CatalogCopy {
    std::vector<std::pair<std::string, Bytes>> schemas;
    std::vector<std::pair<std::string, Bytes>> users;
  };
  // Copied in one hold of catalog_mu_; see schemas_ for when a copy is whole.
  CatalogCopy copy_catalog() const;
  // Writes the committed state that `reader` (a running transaction) sees, a piece at a time,
  // and the catalog into dir's snapshot, naming `generation` as the log that follows it.
  Result<SnapshotWritten> write_state(const std::filesystem::path& dir, std::uint64_t reader,
                                      std::uint64_t generation, CatalogCopy catalog);
  // Removes the logs of generations below `generation` (a snapshot covers them).
  void remove_logs_below(std::uint64_t generation);
  SnapshotSealing sealing() const { return {engine_, db_uuid_, key_epoch_}; }

  std::filesystem::path dir_;
  std::unique_ptr<DatabaseLock> lock_;
  WriterFirstMutex log_gate_;
  std::shared_ptr<TxnWal> wal_;  // replaced under log_gate_ held exclusively
  std::mutex compact_mu_;        // one compaction at a time
  std::atomic<std::uint64_t> snapshot_bytes_{0};
  std::atomic<std::uint64_t> next_txn_id_{1};
  std::shared_ptr<MvccManager> manager_;
  std::shared_ptr<MvccMemTable> memtable_;
  std::unique_ptr<ShardedMap<std::uint64_t, TxnWalBuffer>> buffers_;
  std::unique_ptr<WritersQueue> writers_;
  std::mutex checkpoint_mu_;  // one checkpoint at a time
  std::atomic<std::uint64_t> last_checkpoint_lsn_{0};
  bool manifest_exists_ = false;
  bool encrypted_ = false;
  // The log's sealing state from the keyring, for readers of the log.
  std::shared_ptr<const EncryptionEngine> engine_;
  std::array<std::uint8_t, 16> db_uuid_{};
  std::uint32_t key_epoch_ = 0;
  // What a snapshot carries besides keys: the table schemas and the users. One rule keeps it
  // whole across compactions (and a backup's copy at its point): it changes only while the
  // log gate is held shared, in the same hold that logs the change's record, and a compaction
  // copies it while it holds the gate exclusively to switch logs. Then every change logged
  // before the switch is in the snapshot, and every later one is in the new log, which the
  // snapshot's removal of older logs never touches.
  mutable std::mutex catalog_mu_;
  struct CatalogEntry {
    Bytes encoded;
    std::uint64_t registration;  // from next_registration_
  };
  std::map<std::string, CatalogEntry, std::less<>> schemas_;  // guarded by catalog_mu_
  std::uint64_t next_registration_ = 1;                       // guarded by catalog_mu_
  // The tables each running transaction drops, until it commits or aborts.
  std::unordered_map<std::uint64_t, std::vector<SchemaDrop>> schema_drops_;  // by catalog_mu_
  // Adds a schema unless one of that name is there (the first record of a name wins).
  void add_schema(std::string name, Bytes encoded);  // caller holds catalog_mu_
  // The users by name: the last record of a name wins.
  std::map<std::string, UserRecord, std::less<>> users_;  // guarded by catalog_mu_
  // Held by a user change from before its record is appended until users_ has it, so that
  // users_ changes in the order of the records in the log. Taken before the log gate.
  std::mutex user_change_mu_;
  // A User record found by the replay (log or snapshot), or a UserDrop (nullopt value).
  void replay_user(std::string name, std::optional<BytesView> encoded);
};

}  // namespace kavrel
