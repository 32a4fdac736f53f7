#include "storage/database.h"

#include <algorithm>
#include <string_view>
#include <system_error>
#include <thread>
#include <unordered_set>

#include <fmt/format.h>

#include "core/log.h"
#include "core/text.h"
#include "storage/group_commit.h"
#include "storage/internal/mvcc/memtable.h"
#include "storage/internal/mvcc/mvcc_manager.h"
#include "storage/internal/wal/txn_wal.h"

namespace kavrel {
namespace {

constexpr const char* kTarget = "kavrel_storage";

KavrelError validation_failed() {
  return KavrelError::validation(
      "transaction aborted: SSI validation failed (serialization conflict) or transaction not "
      "found");
}

KavrelError transaction_not_found() { return KavrelError::internal("Transaction not found"); }

}  // namespace

Result<std::shared_ptr<Database>> Database::open(const std::filesystem::path& dir,
                                                 const StorageEncryption& encryption) {
  auto storage = DurableStorage::open(dir, encryption);
  if (!storage) return fail(std::move(storage.error()));
  std::shared_ptr<Database> db(new Database(dir, std::move(*storage)));
  db->register_recovered_schemas();
  return db;
}

Database::~Database() {
  {
    std::scoped_lock lock(compactor_mu_);
    if (compactor_.joinable()) compactor_.join();
  }
  // Errors are ignored: the marker's content is never read, and the log was already synced
  // for every acknowledged commit.
  ignore_error(storage_->wal().sync(), "release");
  ignore_error(storage_->write_marker("ok"), "release");
}

Result<std::uint64_t> Database::commit(std::uint64_t txn_id) {
  // A transaction that drops tables commits under the registry's lock: no registration and no
  // other drop comes between its check that the tables are those it dropped and their removal.
  std::unique_lock registry(register_mu_, std::defer_lock);
  if (storage_->drops_schemas(txn_id)) registry.lock();
  bool wrote = false;
  auto committed = commit_protocol(txn_id, wrote);
  if (registry.owns_lock()) registry.unlock();
  if (committed && wrote) maybe_compact();
  return committed;
}

Result<std::uint64_t> Database::commit_protocol(std::uint64_t txn_id, bool& wrote) {
  DurableStorage& s = *storage_;
  MvccManager& manager = s.manager();
  // The transaction's records (its Begin record, then its writes) reach the log as one contiguous
  // run. If they cannot, the transaction can never commit: it ends here, its pending versions
  // swept. A transaction that wrote nothing has no records. From here until its writes are
  // visible the log may not change under it (a compaction waits).
  std::optional<WalPosition> records;
  DurableStorage::LogShared log_stable;
  // A table dropped and registered again since this transaction dropped it is not the one it
  // dropped: refused like a serialization conflict, before anything reaches the log.
  const auto drops = s.take_schema_drops(txn_id);
  if (!drops.empty() && !s.schemas_current(drops)) {
    ignore_error(s.abort(txn_id), "the refusal is what is reported");
    return fail(validation_failed());
  }
  if (auto buffer = s.take_buffer(txn_id)) {
    wrote = true;
    log_stable = s.log_shared();
    auto written = s.wal().write_buffer(*buffer);
    if (!written) {
      end_failed(txn_id);
      return fail(std::move(written.error()));
    }
    records = *written;
  }
  // It stops running; its snapshot stays held until it is certified, so that no record it must
  // be checked against is pruned meanwhile.
  auto txn = manager.remove_active(txn_id);
  if (!txn) return fail(validation_failed());
  // Validation, timestamp and its record for later validations, as one step. A refused
  // transaction ends here; its pending versions are swept so that its keys do not refuse every
  // later writer.
  const auto certified = manager.certify(txn_id, *txn);
  manager.track_active_end(txn->snapshot_ts);
  if (!certified) {
    s.memtable().sweep_uncommitted(txn_id);
    return fail(validation_failed());
  }
  const std::uint64_t commit_ts = *certified;
  // Durable before visible; with nothing to make durable there is nothing to wait for. A failed
  // sync ends it like an abort: nothing of it may be seen. Either way the watermark must be able
  // to pass its timestamp.
  if (records) {
    if (auto r = s.group_commit().submit_and_wait(txn_id, *records); !r) {
      s.memtable().sweep_uncommitted(txn_id);
      manager.publish(commit_ts);
      return fail(std::move(r.error()));
    }
  }
  // Visible; versions no running or future snapshot can see are dropped on the way.
  const std::uint64_t horizon = s.version_pruning() ? manager.min_active_snapshot() : 0;
  s.memtable().commit(txn_id, commit_ts, txn->write_set, horizon);
  // Its dropped tables go in the same hold of the log as their records (see schemas_), and
  // under the registry's lock, which commit() holds for such a transaction.
  if (!drops.empty()) {
    s.forget_schemas(drops);
    for (const auto& d : drops) tables_.remove(d.table);
  }
  manager.publish(commit_ts);
  // Answered only once a transaction begun afterwards, on any connection, sees it: an earlier
  // commit may still be becoming visible, and the watermark passes this one only after it.
  manager.wait_visible(commit_ts);
  return commit_ts;
}

Result<CompactionStats> Database::compact() { return storage_->compact(); }

bool Database::log_past_limit() {
  const std::uint64_t limit = compact_log_bytes_.load(std::memory_order_relaxed);
  if (limit == 0) return false;
  std::uint64_t log_size = 0;
  {
    auto log_stable = storage_->log_shared();
    log_size = storage_->wal().file_size();
  }
  // Not again before the log has grown by the snapshot's size: a large database is not
  // compacted over and over.
  return log_size >= std::max(limit, storage_->snapshot_bytes());
}

void Database::maybe_compact() {
  if (!log_past_limit() || compacting_.exchange(true)) return;
  // On a thread of its own: the committer goes on (a connection loop that committed for many
  // connections serves them again), and readers and writers are served while it runs.
  std::scoped_lock lock(compactor_mu_);
  if (compactor_.joinable()) compactor_.join();  // it has finished: compacting_ was clear
  try {
    compactor_ = std::thread([this] {
      for (;;) {
        // A failure logs a warning and leaves the old state in use; a later commit tries again.
        const bool done = compact().has_value();
        compacting_.store(false);
        // A commit that passed the size while this one ran found it running and went on, so
        // the size is looked at again here.
        if (!done || !log_past_limit() || compacting_.exchange(true)) return;
      }
    });
  } catch (const std::system_error& e) {
    log::warn(kTarget, "automatic compaction not started: {}", e.what());
    compacting_.store(false);
  }
}

Result<std::uint64_t> Database::write_blind(BytesView key, std::optional<BytesView> value,
                                            std::chrono::milliseconds bound) {
  DurableStorage& s = *storage_;
  const auto deadline = std::chrono::steady_clock::now() + bound;
  auto pause = std::chrono::microseconds(50);
  for (;;) {
    auto txn = s.begin_transaction();
    if (!txn) return fail(std::move(txn.error()));
    auto written = value ? s.write_refs(*txn, key, *value) : s.delete_key(*txn, key);
    if (written) return commit(*txn);
    ignore_error(s.abort(*txn), "the write error is the one reported, or the write is retried");
    // Another transaction's write of the key is pending: a blind write cannot cause an anomaly,
    // so it waits for that one to end and applies after it, within the bound.
    if (!is_write_conflict(written.error()) || std::chrono::steady_clock::now() >= deadline) {
      return fail(std::move(written.error()));
    }
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::microseconds(2000));
  }
}

bool Database::is_write_conflict(const KavrelError& error) {
  return error.kind() == KavrelError::Kind::WriteConflict;
}

Result<std::optional<Bytes>> Database::get(std::uint64_t txn_id, BytesView key) {
  MvccManager& manager = storage_->manager();
  const auto snapshot = manager.snapshot_of(txn_id);
  if (!snapshot) return fail(transaction_not_found());
  manager.record_read(txn_id, key);
  return storage_->memtable().visible(key, txn_id, *snapshot);
}

Database::SnapshotReader::SnapshotReader(DurableStorage& storage)
    : storage_(storage), snapshot_(storage.manager().hold_snapshot()) {}

Database::SnapshotReader::~SnapshotReader() { storage_.manager().track_active_end(snapshot_); }

std::optional<Bytes> Database::SnapshotReader::get(BytesView key) const {
  // Transaction ids start at 1: as reader 0 it sees committed versions only.
  return storage_.memtable().visible(key, 0, snapshot_);
}

Result<std::vector<std::pair<Bytes, Bytes>>> Database::scan_unchecked(std::uint64_t txn_id,
                                                                      BytesView prefix) {
  const auto snapshot = storage_->manager().snapshot_of(txn_id);
  if (!snapshot) return fail(transaction_not_found());
  // Recorded as a read of every key under the prefix, present or not: a concurrent insert under
  // it refuses this transaction's commit.
  storage_->manager().record_scan(txn_id, prefix);
  return storage_->memtable().scan_prefix(prefix, txn_id, *snapshot);
}

std::size_t Database::scan_count(std::uint64_t txn_id) const {
  return storage_->manager().scan_count(txn_id);
}

void Database::forget_scans_since(std::uint64_t txn_id, std::size_t count) {
  storage_->manager().forget_scans_since(txn_id, count);
}

Result<PathEntries> Database::scan_path(std::uint64_t txn_id, std::string_view prefix) {
  if (prefix.size() < MIN_PREFIX_LEN) {
    return fail(KavrelError::invalid_argument(fmt::format(
        "Prefix too short: {} bytes (minimum {} required). Use scan_unchecked() for unrestricted "
        "scans.",
        prefix.size(), MIN_PREFIX_LEN)));
  }
  auto entries = scan_unchecked(txn_id, prefix);
  if (!entries) return fail(std::move(entries.error()));
  PathEntries out;
  out.reserve(entries->size());
  for (auto& [key, value] : *entries) {
    if (is_valid_utf8(key)) out.emplace_back(std::move(key), std::move(value));
  }
  return out;
}

void Database::end_failed(std::uint64_t txn_id) {
  MvccManager& manager = storage_->manager();
  if (auto removed = manager.remove_active(txn_id)) manager.track_active_end(removed->snapshot_ts);
  storage_->memtable().sweep_uncommitted(txn_id);
}

namespace {

// What a new table must be to be usable: rows live under "NAME/ID/...", so a name that is empty
// or holds a "/" would garble its own paths, and a query names columns, so they must differ.
// Tables registered before these checks are served as they are.
Result<> check_new_table(const TableSchema& schema) {
  const auto refuse = [](std::string text) {
    return fail(KavrelError::invalid_argument(std::move(text)));
  };
  if (schema.name.empty()) return refuse("Table name must not be empty");
  if (schema.name.find('/') != std::string::npos) {
    return refuse(fmt::format("Table name must not contain '/': {}", schema.name));
  }
  if (schema.columns.empty()) {
    return refuse(fmt::format("Table '{}' must have at least one column", schema.name));
  }
  std::unordered_set<std::string_view> names;
  for (const ColumnDef& c : schema.columns) {
    if (!names.insert(c.name).second) {
      return refuse(fmt::format("Duplicate column name '{}' in table '{}'", c.name, schema.name));
    }
  }
  return {};
}

}  // namespace

Result<> Database::register_table(TableSchema schema) {
  std::scoped_lock lock(register_mu_);
  if (tables_.table(schema.name)) {
    return fail(
        KavrelError::invalid_argument(fmt::format("Table '{}' already exists", schema.name)));
  }
  if (auto r = check_new_table(schema); !r) return r;
  if (auto r = storage_->log_schema(schema.name, encode_table_schema(schema)); !r) return r;
  return tables_.register_table(std::move(schema));
}

Result<> Database::drop_table(std::uint64_t txn_id, const std::string& name) {
  if (!tables_.table(name)) {
    return fail(KavrelError::invalid_argument(fmt::format("Table not found: {}", name)));
  }
  auto rows = scan_unchecked(txn_id, name + "/");
  if (!rows) return fail(std::move(rows.error()));
  for (const auto& [key, value] : *rows) {
    if (auto r = storage_->delete_key(txn_id, key); !r) return r;
  }
  return storage_->drop_schema(txn_id, name);
}

Result<> Database::drop_table(const std::string& name) {
  auto txn = storage_->begin_transaction();
  if (!txn) return fail(std::move(txn.error()));
  if (auto r = drop_table(*txn, name); !r) {
    ignore_error(storage_->abort(*txn), "the drop's error is the one reported");
    return r;
  }
  auto committed = commit(*txn);
  if (!committed) return fail(std::move(committed.error()));
  return {};
}

void Database::register_recovered_schemas() {
  for (const auto& [name, encoded] : storage_->schemas()) {
    auto wire = decode_wire_schema(encoded);
    if (!wire || wire->name != name) {
      // The record passed its checksum, so only a writer's bug could produce this; the table is
      // left out rather than the whole database refused.
      log::warn(kTarget, "Skipping the logged schema of table {}: {}", debug_quote(name),
                wire ? "its name differs from the record's key" : wire.error());
      continue;
    }
    ignore_error(tables_.register_table(from_wire_schema(std::move(*wire))),
                 "registrations are logged once per name; a repeat keeps the first");
  }
}

QueryBuilder Database::query(std::uint64_t txn_id, std::string path) {
  return QueryBuilder(
      tables_, [this, txn_id](std::string_view prefix) { return scan_path(txn_id, prefix); },
      std::move(path));
}

}  // namespace kavrel
