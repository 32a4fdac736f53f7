// Database: the object every connection shares, and the server's one way into the storage:
// transactions, the write road (DurableStorage's writers queue), snapshot reads and scans, the
// table registry and queries, the users, compaction.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "core/bytes.h"
#include "core/error.h"
#include "storage/durable_storage.h"
#include "storage/table/query.h"
#include "storage/table/schema.h"
#include "storage/users.h"
#include "storage/writers_queue.h"

namespace kavrel {

inline constexpr std::size_t MIN_PREFIX_LEN = 2;

class Database {
 public:
  // The whole storage open: lock, keyring, snapshot and logs, manifest, manager, memtable, the
  // replay, then the writers queue (DurableStorage::open).
  static Result<std::shared_ptr<Database>> open(const std::filesystem::path& dir,
                                                const StorageEncryption& encryption = {});
  // KEK rotation, offline: re-wraps the data key of the encrypted database in dir under new_kek
  // (keyring::rotate: only keyring.json is rewritten, crash-safely; the log and the snapshot
  // stay as they are). It takes the directory lock first, waiting as an open does, so it is
  // refused while a server holds the directory, and lets it go before returning. current_kek
  // must open the keyring; new_source_id is stored as the new keyring's kek_source_id.
  static Result<> rotate_key(const std::filesystem::path& dir, const EncryptionKey& current_kek,
                             const EncryptionKey& new_kek, std::string_view new_source_id);
  // Waits for an automatic compaction that runs, then lets go of the storage.
  ~Database();

  DurableStorage& storage() { return *storage_; }
  const std::filesystem::path& path() const { return dir_; }

  // A running transaction, ended (aborted) when dropped unless it was committed or aborted.
  class Transaction {
   public:
    Transaction(Transaction&& other) noexcept;
    Transaction& operator=(Transaction&& other) noexcept;
    ~Transaction() { abort(); }

    std::uint64_t id() const { return id_; }
    // Commits it (Database::commit); it has ended either way.
    Result<std::uint64_t> commit();
    // Ends it without effect; nothing when it has ended.
    void abort();

   private:
    friend class Database;
    Transaction(Database& db, std::uint64_t id) : db_(&db), id_(id) {}
    Database* db_;
    std::uint64_t id_;  // 0 once ended
  };
  // A fresh transaction (see DurableStorage::begin_transaction).
  Transaction begin();
  // A write (an absent value: a deletion) in a running transaction: recorded, logged at its
  // commit, pending until then. A write conflict (another transaction's write of the key is
  // pending) leaves the transaction unable to commit: it can only be aborted.
  Result<> write_key(std::uint64_t txn_id, BytesView key, std::optional<BytesView> value) {
    return value ? storage_->write_refs(txn_id, key, *value) : storage_->delete_key(txn_id, key);
  }
  // Whether the running transaction has a pending write of key.
  bool wrote(std::uint64_t txn_id, BytesView key) const { return storage_->wrote(txn_id, key); }
  // Appends a durable Checkpoint record (DurableStorage::checkpoint).
  Result<std::uint64_t> checkpoint() { return storage_->checkpoint(); }
  DurableStorage::Figures figures() { return storage_->figures(); }

  // Commits through the write road (DurableStorage::commit): the commit timestamp once durable
  // and visible to every transaction begun afterwards; a refused or failed commit has ended the
  // transaction. A commit that takes the log past the automatic compaction's size starts a
  // compaction on a thread of its own and returns.
  Result<std::uint64_t> commit(std::uint64_t txn_id);
  // Blind writes of many writers in one transaction (DurableStorage::write), and the same
  // without waiting (DurableStorage::submit; lead_writes() when it says so).
  std::vector<WriteOutcome> write(std::span<const std::span<const BlindWrite>> runs);
  [[nodiscard]] bool submit(WriteRequest& request) { return storage_->submit(request); }
  void lead_writes();
  // Writes the committed state and the registered tables to a snapshot and goes on with a log
  // that holds only what follows it (see DurableStorage::compact).
  Result<CompactionStats> compact();
  // Compact automatically once the log is at least `bytes` long and has grown by the snapshot's
  // size since the last compaction (0 turns it off, the default).
  void set_compact_log_bytes(std::uint64_t bytes) {
    compact_log_bytes_.store(bytes, std::memory_order_relaxed);
  }
  // A single write (an absent value: a deletion) in a transaction of its own. It cannot cause an
  // anomaly, so when another transaction's write of the key is pending it waits for that one to
  // end and retries, up to `bound`; then it fails with the conflict error. For the runs that
  // write() answered WriteAlone, one write at a time.
  Result<std::uint64_t> write_blind(BytesView key, std::optional<BytesView> value,
                                    std::chrono::milliseconds bound = kBlindWriteBound);
  static constexpr std::chrono::milliseconds kBlindWriteBound{5000};
  // The value visible to the transaction, or nullopt; "Transaction not found" if not running.
  Result<std::optional<Bytes>> get(std::uint64_t txn_id, BytesView key);
  // Reads outside any transaction (a GET sent alone): what was committed and visible when the
  // reader was made, the snapshot held (no version it sees is dropped) until the reader ends.
  // Nothing is recorded for validation, as such reads never commit: lighter than a transaction
  // begun and aborted around the reads, with the same answers.
  class SnapshotReader {
   public:
    explicit SnapshotReader(Database& db)
        : storage_(*db.storage_), read_point_(storage_.hold_read_point()) {}
    ~SnapshotReader() { storage_.release_read_point(read_point_); }
    SnapshotReader(const SnapshotReader&) = delete;
    SnapshotReader& operator=(const SnapshotReader&) = delete;

    // The value, or nullopt (no key, or deleted).
    std::optional<Bytes> get(BytesView key) const { return storage_.read_at(key, read_point_); }

   private:
    DurableStorage& storage_;
    std::uint64_t read_point_;
  };
  // Every visible key starting with prefix, ascending, with its value.
  Result<std::vector<std::pair<Bytes, Bytes>>> scan_unchecked(std::uint64_t txn_id,
                                                              BytesView prefix);
  // The scans a transaction has recorded, and the undoing of those recorded since (see
  // MvccManager::forget_scans_since): a request that fails leaves its transaction as it was.
  std::size_t scan_count(std::uint64_t txn_id) const { return storage_->scan_count(txn_id); }
  void forget_scans_since(std::uint64_t txn_id, std::size_t count) {
    storage_->forget_scans_since(txn_id, count);
  }
  // scan_unchecked with the 2-byte minimum; keys that are not UTF-8 are dropped.
  Result<PathEntries> scan_path(std::uint64_t txn_id, std::string_view prefix);

  // Registers a table durably: a name that exists is refused ("Table '{}' already exists"), and
  // so is a table its paths or queries could not serve (an empty name or one holding "/", no
  // column, two columns of one name); otherwise the schema is logged and synced, then
  // registered, so a successful registration survives restarts. Registrations are serialized.
  Result<> register_table(TableSchema schema);
  // Drops a table in the transaction: deletes every row under "NAME/" (a scan of the prefix, so
  // that a row another transaction writes meanwhile refuses the commit) and the schema, which
  // the commit removes with the rows, durably, or not at all. "Table not found: NAME" (invalid
  // argument) when there is none; a write conflict on a row as for any write, after which the
  // transaction can only be aborted.
  Result<> drop_table(std::uint64_t txn_id, const std::string& name);
  // The same in a transaction of its own, committed.
  Result<> drop_table(const std::string& name);
  const TableRegistry& tables() const { return tables_; }
  // Every registered table, in ascending name order.
  std::vector<TableSchema> list_tables() const { return tables_.all(); }
  // One table's schema, or nullopt when no table has that name.
  std::optional<TableSchema> describe_table(const std::string& name) const {
    return tables_.table(name);
  }
  // A query under the transaction's snapshot.
  QueryBuilder query(std::uint64_t txn_id, std::string path);

  // The users who may log in (storage/users.h). They are no keys: no read, scan, query or table
  // listing shows them. Every call may come from any thread; changes are serialized.
  //
  // Adds the user, or replaces the one of that name (a new password, role or prefix), durably
  // before it returns (DurableStorage::log_user). Refused (InvalidArgument, nothing logged):
  // "User name must not be empty", "User name is too long: N bytes (max 255)", "User 'NAME'
  // must have a verifier", "Unknown role N for user 'NAME'".
  Result<> put_user(const UserRecord& user);
  // Removes the user durably; false, with nothing logged, when there is none of that name.
  Result<bool> drop_user(std::string_view name);
  // The user of that name, or nullopt.
  std::optional<UserRecord> user(std::string_view name) const { return storage_->user(name); }
  // Every user, by name, ascending.
  std::vector<UserRecord> users() const { return storage_->users(); }
  // Whether any user has Role::Admin.
  bool has_admin() const { return storage_->has_admin(); }

  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

 private:
  Database(std::filesystem::path dir, std::shared_ptr<DurableStorage> storage)
      : dir_(std::move(dir)), storage_(std::move(storage)) {}
  // Registers the schemas the replay found in the log (at open, before any client).
  void register_recovered_schemas();

  std::filesystem::path dir_;
  std::shared_ptr<DurableStorage> storage_;
  // Whether the log has passed the automatic compaction's size (see set_compact_log_bytes).
  bool log_past_limit();
  // Starts an automatic compaction when the log has passed its size and none runs.
  void maybe_compact();

  std::atomic<std::uint64_t> compact_log_bytes_{0};
  std::atomic<bool> compacting_{false};  // an automatic compaction runs
  std::mutex compactor_mu_;
  std::thread compactor_;  // guarded by compactor_mu_: the last automatic compaction's thread
  // Held through a registration's check, log write and insertion, and through the commit of a
  // transaction that drops tables.
  std::mutex register_mu_;
  TableRegistry tables_;
};

}  // namespace kavrel
