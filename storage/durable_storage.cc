#include "storage/durable_storage.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <limits>
#include <system_error>
#include <unordered_map>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "core/cleanup.h"
#include "core/log.h"
#include "core/text.h"
#include "storage/internal/crypto/keyring.h"
#include "storage/internal/io/file_io.h"
#include "storage/internal/io/fs_util.h"
#include "storage/internal/io/lock.h"
#include "storage/internal/mvcc/memtable.h"
#include "storage/internal/mvcc/mvcc_manager.h"
#include "storage/internal/wal/txn_wal.h"
#include "storage/internal/wal/txn_wal_entry.h"
#include "storage/internal/wal/wal_manifest.h"

namespace kavrel {
namespace {

constexpr const char* kTarget = "kavrel_storage";
constexpr std::size_t kSnapshotPiece = 4096;  // keys a compaction reads at a time

TxnWalEntry control_record(WalRecordType type, std::uint64_t txn_id) {
  return TxnWalEntry{{}, {}, txn_id, ts_cache_now_us(), static_cast<std::uint8_t>(type)};
}

KavrelError validation_failed() {
  return KavrelError::validation(
      "transaction aborted: SSI validation failed (serialization conflict) or transaction not "
      "found");
}

KavrelError transaction_not_found() { return KavrelError::internal("Transaction not found"); }

}  // namespace

// One transaction of a batch, from its records to its visibility.
struct DurableStorage::Committing {
  std::uint64_t txn_id = 0;
  std::vector<SchemaDrop> drops;
  std::optional<WalPosition> records;  // where its records end in the log (none: it wrote none)
  KeySet write_set;
  std::uint64_t commit_ts = 0;  // once certified; published whatever happens next
  std::optional<KavrelError> error;
};

void DurableStorage::start_commits() {
  writers_ = std::make_unique<WritersQueue>(
      [this](std::span<WriteRequest* const> batch) { commit_batch(batch); });
}

Result<std::uint64_t> DurableStorage::commit(std::uint64_t txn_id) {
  WaitingRequest request;
  request.txn = txn_id;
  request.submit_and_wait(*writers_);
  WriteOutcome& outcome = request.outcomes.front();
  if (outcome.status != WriteOutcome::Status::Committed) return fail(std::move(*outcome.error));
  return outcome.commit_ts;
}

std::vector<WriteOutcome> DurableStorage::write(std::span<const std::span<const BlindWrite>> runs) {
  WaitingRequest request;
  request.runs = runs;
  request.submit_and_wait(*writers_);
  return std::move(request.outcomes);
}

void DurableStorage::commit_batch(std::span<WriteRequest* const> batch) {
  // The blind runs of every request form one transaction; each transaction to commit follows.
  std::vector<std::pair<WriteRequest*, std::size_t>> runs;
  for (WriteRequest* r : batch) {
    r->outcomes.assign(r->txn != 0 ? 1 : r->runs.size(), WriteOutcome{});
    if (r->txn != 0) continue;
    for (std::size_t i = 0; i < r->runs.size(); ++i) runs.emplace_back(r, i);
  }
  std::vector<Committing> txns;
  txns.reserve(batch.size() + 1);
  std::optional<std::uint64_t> blind;
  if (!runs.empty()) {
    blind = write_runs(runs);
    if (blind) txns.push_back(Committing{.txn_id = *blind});
  }
  for (WriteRequest* r : batch) {
    if (r->txn != 0) txns.push_back(Committing{.txn_id = r->txn});
  }
  {
    // From the first record written until the last commit is visible the log may not change
    // under the batch: a compaction waits.
    const LogShared log_stable = log_shared();
    for (Committing& t : txns) certify(t);
    sync_commits(txns);
    // Visible; versions no running or future snapshot can see are dropped on the way. A failed
    // one is swept, as an abort would; either way the watermark must be able to pass it.
    const std::uint64_t horizon = manager_->min_active_snapshot();
    std::uint64_t newest = 0;
    for (Committing& t : txns) {
      if (t.commit_ts == 0) continue;
      if (t.error) {
        memtable_->sweep_uncommitted(t.txn_id);
      } else {
        memtable_->commit(t.txn_id, t.commit_ts, t.write_set, horizon);
        // Its dropped tables go in the same hold of the log as their records (see schemas_).
        if (!t.drops.empty()) forget_schemas(t.drops);
      }
      manager_->publish(t.commit_ts);
      newest = std::max(newest, t.commit_ts);
    }
    // Answered only once a transaction begun afterwards, on any connection, sees them.
    if (newest != 0) manager_->wait_visible(newest);
  }
  // The outcomes: the blind transaction's for every run it held, each other its own.
  const auto outcome_of = [](const Committing& t) {
    return t.error ? WriteOutcome{WriteOutcome::Status::Failed, 0, t.error}
                   : WriteOutcome{WriteOutcome::Status::Committed, t.commit_ts, std::nullopt};
  };
  std::size_t next = 0;
  if (blind) {
    const WriteOutcome outcome = outcome_of(txns[next++]);
    for (auto [r, i] : runs) {
      if (r->outcomes[i].status != WriteOutcome::Status::WriteAlone) r->outcomes[i] = outcome;
    }
  }
  for (WriteRequest* r : batch) {
    if (r->txn != 0) r->outcomes.front() = outcome_of(txns[next++]);
  }
}

std::optional<std::uint64_t> DurableStorage::write_runs(
    std::span<std::pair<WriteRequest*, std::size_t>> runs) {
  std::vector<std::size_t> members(runs.size());  // the runs still to write
  for (std::size_t i = 0; i < runs.size(); ++i) members[i] = i;
  while (!members.empty()) {
    auto txn = begin_transaction();
    if (!txn) {
      for (const std::size_t m : members) {
        runs[m].first->outcomes[runs[m].second] =
            WriteOutcome{WriteOutcome::Status::Failed, 0, txn.error()};
      }
      return std::nullopt;
    }
    std::optional<std::size_t> refused;  // a position in members
    std::optional<KavrelError> why;
    for (std::size_t i = 0; i < members.size() && !refused; ++i) {
      const auto [r, run] = runs[members[i]];
      for (const BlindWrite& w : r->runs[run]) {
        if (auto written = write_record(*txn, w.key, w.value); !written) {
          refused = i;
          why = std::move(written.error());
          break;
        }
      }
    }
    if (!refused) return *txn;
    // The transaction holds the refused write in its write set and its log buffer, so it
    // cannot commit; none of it became visible. The others go again without that run.
    ignore_error(abort(*txn), "the runs are written again without the refused one");
    const auto [r, run] = runs[members[*refused]];
    r->outcomes[run] = WriteOutcome{WriteOutcome::Status::WriteAlone, 0, std::move(why)};
    members.erase(members.begin() + static_cast<std::ptrdiff_t>(*refused));
  }
  return std::nullopt;
}

void DurableStorage::certify(Committing& t) {
  const auto refuse = [&](KavrelError error) {
    ignore_error(abort(t.txn_id), "the refusal is what is reported");
    t.error = std::move(error);
  };
  // A table dropped and registered again since this transaction dropped it is not the one it
  // dropped: refused like a serialization conflict, before anything reaches the log. (The
  // caller keeps registrations and other drops out until the commit ends.)
  t.drops = take_schema_drops(t.txn_id);
  if (!t.drops.empty() && !schemas_current(t.drops)) return refuse(validation_failed());
  // The transaction's records (its Begin record, then its writes) reach the log as one
  // contiguous run. If they cannot, the transaction can never commit.
  if (auto buffer = take_buffer(t.txn_id)) {
    auto written = wal_->write_buffer(*buffer);
    if (!written) return refuse(std::move(written.error()));
    t.records = *written;
  }
  // It stops running; its snapshot stays held until it is certified, so that no record it must
  // be checked against is pruned meanwhile. Validation, timestamp and its record for later
  // validations are one step.
  auto txn = manager_->remove_active(t.txn_id);
  if (!txn) return refuse(validation_failed());
  const auto certified = manager_->certify(t.txn_id, *txn);
  manager_->track_active_end(txn->snapshot_ts);
  if (!certified) {
    memtable_->sweep_uncommitted(t.txn_id);
    t.error = validation_failed();
    return;
  }
  t.commit_ts = *certified;
  t.write_set = std::move(txn->write_set);
}

void DurableStorage::sync_commits(std::span<Committing> txns) {
  // One Commit record per transaction whose records are in the log, appended as one piece, then
  // one sync. Durable before visible; with nothing to make durable there is nothing to wait for.
  std::vector<Committing*> logged;
  std::vector<TxnWalEntry> commits;
  std::vector<WalPosition> records;
  for (Committing& t : txns) {
    if (t.error || !t.records) continue;
    logged.push_back(&t);
    commits.push_back(control_record(WalRecordType::Commit, t.txn_id));
    records.push_back(*t.records);
  }
  if (logged.empty()) return;
  auto appended = wal_->append_batch(commits, records);
  if (!appended) {
    for (Committing* t : logged) t->error = appended.error();
    return;
  }
  for (std::size_t i : appended->lost) logged[i]->error = TxnWal::cut_back_error();
  // A failed sync may come after another sync already made these records durable; then they
  // are committed and must be reported so, or they would come back at the next open although
  // their committers were told they failed. A sync that succeeded after another writer's full
  // disk cut them away must not be reported as success either.
  auto synced = wal_->sync();
  if (wal_->durable(appended->end)) return;
  const KavrelError error = synced ? TxnWal::cut_back_error() : synced.error();
  for (Committing* t : logged) {
    if (!t->error) t->error = error;
  }
}

DurableStorage::DurableStorage()
    : buffers_(std::make_unique<ShardedMap<std::uint64_t, TxnWalBuffer>>()) {}

DurableStorage::~DurableStorage() {
  // Only a fully assembled storage (it carries the writers queue) shuts down; the members are
  // then released in reverse order of declaration, the directory lock last.
  if (writers_) ignore_error(shutdown(), "release cannot report failures");
}

Result<> DurableStorage::write_refs(std::uint64_t txn_id, BytesView key, BytesView value) {
  return write_record(txn_id, key, value);
}

Result<> DurableStorage::delete_key(std::uint64_t txn_id, BytesView key) {
  return write_record(txn_id, key, std::nullopt);
}

Result<> DurableStorage::write_record(std::uint64_t txn_id, BytesView key,
                                      std::optional<BytesView> value) {
  manager_->record_write(txn_id, key);
  append_to_buffer(txn_id, [&](TxnWalBuffer& buffer) {
    if (value) {
      buffer.append(key, *value);
    } else {
      buffer.append_delete(key);
    }
  });
  return memtable_->write(key, value, txn_id);
}

void DurableStorage::append_to_buffer(std::uint64_t txn_id,
                                      const std::function<void(TxnWalBuffer&)>& append) {
  buffers_->with_shard_exclusive(txn_id, [&](auto& buffers) {
    auto [it, first_record] = buffers.try_emplace(txn_id, txn_id);
    if (first_record) it->second.append_begin();
    append(it->second);
  });
}

Result<std::uint64_t> DurableStorage::begin_transaction() {
  // Nothing is logged yet: the Begin record goes out with the transaction's first write.
  const std::uint64_t txn_id = next_txn_id_.fetch_add(1, std::memory_order_relaxed);
  (void)manager_->begin(txn_id);
  return txn_id;
}

std::optional<TxnWalBuffer> DurableStorage::take_buffer(std::uint64_t txn_id) {
  return buffers_->remove(txn_id);
}

Result<> DurableStorage::abort(std::uint64_t txn_id) {
  // Its records never reached the log (they go out at commit), so nothing is logged. A commit
  // that failed after taking its buffer has it no more, but its write set still names the keys.
  const bool buffered = take_buffer(txn_id).has_value();
  (void)take_schema_drops(txn_id);
  const auto txn = manager_->remove_active(txn_id);
  if (txn) manager_->track_active_end(txn->snapshot_ts);
  if (buffered || (txn && !txn->write_set.empty())) memtable_->sweep_uncommitted(txn_id);
  return {};
}

Result<std::optional<Bytes>> DurableStorage::get(std::uint64_t txn_id, BytesView key) {
  const auto snapshot = manager_->snapshot_of(txn_id);
  if (!snapshot) return fail(transaction_not_found());
  manager_->record_read(txn_id, key);
  return memtable_->visible(key, txn_id, *snapshot);
}

Result<std::vector<std::pair<Bytes, Bytes>>> DurableStorage::scan(std::uint64_t txn_id,
                                                                  BytesView prefix) {
  const auto snapshot = manager_->snapshot_of(txn_id);
  if (!snapshot) return fail(transaction_not_found());
  manager_->record_scan(txn_id, prefix);
  return memtable_->scan_prefix(prefix, txn_id, *snapshot);
}

std::size_t DurableStorage::scan_count(std::uint64_t txn_id) const {
  return manager_->scan_count(txn_id);
}

void DurableStorage::forget_scans_since(std::uint64_t txn_id, std::size_t count) {
  manager_->forget_scans_since(txn_id, count);
}

std::optional<std::uint64_t> DurableStorage::read_point(std::uint64_t txn_id) const {
  return manager_->snapshot_of(txn_id);
}

bool DurableStorage::wrote(std::uint64_t txn_id, BytesView key) const {
  return manager_->wrote(txn_id, key);
}

std::uint64_t DurableStorage::hold_read_point() { return manager_->hold_snapshot(); }

void DurableStorage::release_read_point(std::uint64_t read_point) {
  manager_->track_active_end(read_point);
}

std::optional<Bytes> DurableStorage::read_at(BytesView key, std::uint64_t read_point) const {
  // Transaction ids start at 1: as reader 0 it sees committed versions only.
  return memtable_->visible(key, 0, read_point);
}

DurableStorage::Figures DurableStorage::figures() {
  Figures f;
  f.running_transactions = manager_->active_count();
  f.memtable_bytes = memtable_->approx_bytes();
  f.versions = memtable_->version_count();
  const LogShared log_stable = log_shared();
  f.log_bytes = wal_->file_size();
  f.log_durable_bytes = wal_->durable_offset();
  f.next_lsn = wal_->next_lsn();
  f.log_failed = wal_->failed();
  return f;
}

std::uint64_t DurableStorage::log_bytes() {
  const LogShared log_stable = log_shared();
  return wal_->file_size();
}

Result<std::uint64_t> DurableStorage::checkpoint() {
  // One at a time, so that the LSNs reach last_checkpoint_lsn and the manifest in order: the
  // manifest never goes back to an older checkpoint.
  std::scoped_lock one_at_a_time(checkpoint_mu_);
  Result<std::uint64_t> lsn = [&] {
    auto gate = log_shared();
    return wal_->append_durably(control_record(WalRecordType::Checkpoint, 0));
  }();
  if (!lsn) return fail(std::move(lsn.error()));
  last_checkpoint_lsn_.store(*lsn, std::memory_order_release);
  // The checkpoint is durable whatever happens to the manifest, which is only a hint to tools:
  // a failed publish leaves the previous one whole, and is reported but does not fail it.
  if (manifest_exists_) {
    if (auto r = WalManifest::publish(dir_, *lsn); !r) {
      log::warn(kTarget, "Checkpoint at LSN {} is durable, but {} was not updated: {}", *lsn,
                WalManifest::kFileName, r.error().message());
    }
  }
  return *lsn;
}

Result<> DurableStorage::log_schema(std::string_view table, BytesView encoded_schema) {
  auto gate = log_shared();
  TxnWalEntry entry = control_record(WalRecordType::Schema, 0);
  entry.key = Bytes(table);
  entry.value = Bytes(encoded_schema);
  if (auto lsn = wal_->append_durably(entry); !lsn) return fail(std::move(lsn.error()));
  std::scoped_lock lock(catalog_mu_);
  add_schema(std::move(entry.key), std::move(entry.value));
  return {};
}

void DurableStorage::add_schema(std::string name, Bytes encoded) {
  if (schemas_.try_emplace(std::move(name), CatalogEntry{std::move(encoded), next_registration_})
          .second) {
    ++next_registration_;
  }
}

std::vector<std::pair<std::string, Bytes>> DurableStorage::schemas() const {
  std::scoped_lock lock(catalog_mu_);
  std::vector<std::pair<std::string, Bytes>> out;
  out.reserve(schemas_.size());
  for (const auto& [name, entry] : schemas_) out.emplace_back(name, entry.encoded);
  return out;
}

Result<> DurableStorage::drop_schema(std::uint64_t txn_id, const std::string& table) {
  if (!manager_->snapshot_of(txn_id)) return fail(KavrelError::internal("Transaction not found"));
  {
    std::scoped_lock lock(catalog_mu_);
    const auto it = schemas_.find(table);
    if (it == schemas_.end()) {
      return fail(KavrelError::invalid_argument(fmt::format("Table not found: {}", table)));
    }
    schema_drops_[txn_id].push_back({table, it->second.registration});
  }
  append_to_buffer(txn_id, [&](TxnWalBuffer& buffer) { buffer.append_schema_drop(table); });
  return {};
}

bool DurableStorage::drops_schemas(std::uint64_t txn_id) const {
  std::scoped_lock lock(catalog_mu_);
  return schema_drops_.contains(txn_id);
}

std::vector<DurableStorage::SchemaDrop> DurableStorage::take_schema_drops(std::uint64_t txn_id) {
  std::scoped_lock lock(catalog_mu_);
  const auto it = schema_drops_.find(txn_id);
  if (it == schema_drops_.end()) return {};
  std::vector<SchemaDrop> out = std::move(it->second);
  schema_drops_.erase(it);
  return out;
}

bool DurableStorage::schemas_current(const std::vector<SchemaDrop>& drops) const {
  std::scoped_lock lock(catalog_mu_);
  return std::all_of(drops.begin(), drops.end(), [&](const SchemaDrop& d) {
    const auto it = schemas_.find(d.table);
    return it != schemas_.end() && it->second.registration == d.registration;
  });
}

void DurableStorage::forget_schemas(const std::vector<SchemaDrop>& drops) {
  std::scoped_lock lock(catalog_mu_);
  for (const SchemaDrop& d : drops) schemas_.erase(d.table);
}

Result<> DurableStorage::log_user(const UserRecord& user) {
  std::scoped_lock one_change(user_change_mu_);
  // The record and the change of users_ in one hold of the gate (see schemas_).
  auto gate = log_shared();
  TxnWalEntry entry = control_record(WalRecordType::User, 0);
  entry.key = user.name;
  entry.value = encode_user(user);
  if (auto lsn = wal_->append_durably(entry); !lsn) return fail(std::move(lsn.error()));
  std::scoped_lock lock(catalog_mu_);
  users_.insert_or_assign(user.name, user);
  return {};
}

Result<bool> DurableStorage::log_user_drop(std::string_view name) {
  std::scoped_lock one_change(user_change_mu_);
  {
    // No other change can come between this look and the record: user_change_mu_ is held.
    std::scoped_lock lock(catalog_mu_);
    if (!users_.contains(name)) return false;
  }
  auto gate = log_shared();
  TxnWalEntry entry = control_record(WalRecordType::UserDrop, 0);
  entry.key = Bytes(name);
  if (auto lsn = wal_->append_durably(entry); !lsn) return fail(std::move(lsn.error()));
  std::scoped_lock lock(catalog_mu_);
  users_.erase(users_.find(name));
  return true;
}

std::optional<UserRecord> DurableStorage::user(std::string_view name) const {
  std::scoped_lock lock(catalog_mu_);
  const auto it = users_.find(name);
  if (it == users_.end()) return std::nullopt;
  return it->second;
}

std::vector<UserRecord> DurableStorage::users() const {
  std::scoped_lock lock(catalog_mu_);
  std::vector<UserRecord> out;
  out.reserve(users_.size());
  for (const auto& [name, user] : users_) out.push_back(user);
  return out;
}

bool DurableStorage::has_admin() const {
  std::scoped_lock lock(catalog_mu_);
  return std::any_of(users_.begin(), users_.end(),
                     [](const auto& entry) { return entry.second.role == Role::Admin; });
}

DurableStorage::CatalogCopy DurableStorage::copy_catalog() const {
  std::scoped_lock lock(catalog_mu_);
  CatalogCopy out;
  out.schemas.reserve(schemas_.size());
  for (const auto& [name, entry] : schemas_) out.schemas.emplace_back(name, entry.encoded);
  out.users.reserve(users_.size());
  for (const auto& [name, user] : users_) out.users.emplace_back(name, encode_user(user));
  return out;
}

Result<> DurableStorage::shutdown() {
  if (auto r = wal_->sync(); !r) return r;
  UniqueFd fd(
      io::open_create((dir_ / ".clean_shutdown").c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC, 0600));
  if (!fd.valid()) return fail(KavrelError::io(errno));
  constexpr std::string_view kContent = "clean";
  if (int err = io::write_all(fd.get(), kContent.data(), kContent.size()); err != 0) {
    return fail(KavrelError::io(err));
  }
  return fd.close();
}

Result<CompactionStats> DurableStorage::compact() {
  std::scoped_lock one_at_a_time(compact_mu_);
  const auto started = std::chrono::steady_clock::now();
  const auto warn = [](const KavrelError& e) {
    log::warn(kTarget, "Compaction failed ({}); the previous state stays in use", e.message());
    return e;
  };
  // The switch: with every commit outside its log work, the log is synced and the next one
  // created (with its name durable) before any commit can write to it. The schemas and users are
  // copied in the same hold (see schemas_).
  std::shared_ptr<TxnWal> old;
  CatalogCopy catalog;
  {
    const auto asked = std::chrono::steady_clock::now();
    std::unique_lock gate(log_gate_);
    const auto held = std::chrono::steady_clock::now();
    const Cleanup report([&] {
      const auto now = std::chrono::steady_clock::now();
      log::debug(kTarget, "Log switch: {:.3f}s waiting for the commits in flight, {:.3f}s held",
                 std::chrono::duration<double>(held - asked).count(),
                 std::chrono::duration<double>(now - held).count());
    });
    if (auto r = wal_->sync(); !r) return fail(warn(r.error()));
    auto next = TxnWal::create(dir_, engine_, db_uuid_, key_epoch_, wal_->generation() + 1,
                               wal_->next_lsn());
    if (!next) return fail(warn(next.error()));
    old = std::exchange(wal_, std::move(*next));
    catalog = copy_catalog();
  }
  // Every transaction whose records are in the older logs finished before the switch, so a
  // snapshot taken now sees all of them (and perhaps some that the new log replays again on
  // top, which ends in the same state).
  CompactionStats stats;
  stats.generation = old->generation() + 1;
  auto reader = begin_transaction();
  if (!reader) return fail(warn(reader.error()));
  auto written = write_state(dir_, *reader, stats.generation, std::move(catalog));
  ignore_error(abort(*reader), "a read");
  if (!written) return fail(warn(written.error()));
  stats.keys = written->keys;
  stats.snapshot_bytes = written->bytes;
  snapshot_bytes_.store(written->bytes, std::memory_order_relaxed);
  remove_logs_below(stats.generation);
  log::info(kTarget, "Compacted {} keys into {} ({} bytes) in {:.3f}s; the log goes on in {}",
            stats.keys, kSnapshotFileName, stats.snapshot_bytes,
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count(),
            TxnWal::file_name(stats.generation));
  return stats;
}

Result<SnapshotWritten> DurableStorage::write_state(const std::filesystem::path& dir,
                                                    std::uint64_t reader, std::uint64_t generation,
                                                    CatalogCopy catalog) {
  const auto snapshot = manager_->snapshot_of(reader);
  // Read and written a piece at a time, so that memory holds one piece, not the whole state.
  std::optional<Bytes> next = Bytes();
  const auto pieces = [&](std::vector<std::pair<Bytes, Bytes>>& chunk) -> Result<> {
    while (chunk.empty() && next) {
      const Bytes start = std::move(*next);
      chunk = memtable_->scan_from(start, kSnapshotPiece, reader, snapshot.value_or(0), next);
    }
    return {};
  };
  const SnapshotContents contents{generation, std::move(catalog.schemas), std::move(catalog.users),
                                  pieces};
  return write_snapshot(dir, sealing(), contents);
}

Result<BackupWritten> DurableStorage::write_backup(const std::filesystem::path& dir) {
  // The commit point. With the gate held exclusively no commit is between writing its records
  // and becoming visible, so the read point taken now sees exactly the commits in the log, below
  // next_lsn; the schemas, the users and the last checkpoint are read in the same hold (see
  // schemas_). The
  // hold waits only for the commits already in their log work, as a compaction's switch does.
  std::error_code ec;
  if (std::filesystem::equivalent(dir, dir_, ec)) {
    return fail(KavrelError::invalid_argument("a backup cannot be written over its database"));
  }
  BackupWritten out;
  std::uint64_t reader = 0;
  std::uint64_t generation = 0;
  std::uint64_t checkpoint_lsn = 0;
  CatalogCopy catalog;
  {
    std::unique_lock gate(log_gate_);
    auto txn = begin_transaction();
    if (!txn) return fail(std::move(txn.error()));
    reader = *txn;
    out.lsn = wal_->next_lsn();
    generation = wal_->generation() + 1;
    checkpoint_lsn = last_checkpoint_lsn();
    catalog = copy_catalog();
  }
  const Cleanup end_read([&] { ignore_error(abort(reader), "a read"); });
  out.tables = catalog.schemas.size();
  out.users = catalog.users.size();
  // The keyring first, as it is: the snapshot below is sealed under the data key it wraps (a
  // rotation re-wraps the same key, so whichever version is read opens it).
  if (encrypted_) {
    auto keyring = read_whole_file(dir_ / keyring::kFileName);
    if (!keyring) return fail(std::move(keyring.error()));
    auto published = publish_file(dir, keyring::kFileName, *keyring, PublishMode::Replace);
    if (!published) return fail(KavrelError::io(published.error().err));
  }
  auto written = write_state(dir, reader, generation, std::move(catalog));
  if (!written) return fail(std::move(written.error()));
  out.keys = written->keys;
  out.snapshot_bytes = written->bytes;
  // The log the snapshot names: what an open replays after it, and where LSNs go on.
  if (auto log = TxnWal::create(dir, engine_, db_uuid_, key_epoch_, generation, out.lsn); !log) {
    return fail(std::move(log.error()));
  }
  // Dropping the log cut the zeros it had written ahead of its record; that size is made durable
  // too, so the copy holds no megabyte of zeros after a power cut.
  const auto log_path = dir / TxnWal::file_name(generation);
  UniqueFd log_fd(io::open_existing(log_path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!log_fd.valid() || io::fsync(log_fd.get()) != 0) return fail(KavrelError::io(errno));
  if (manifest_exists_) {
    auto manifest = WalManifest::load(dir_);
    if (!manifest) return fail(std::move(manifest.error()));
    manifest->last_checkpoint_lsn = checkpoint_lsn;  // at or before the point
    auto published =
        publish_file(dir, WalManifest::kFileName, manifest->to_json(), PublishMode::Replace);
    if (!published) return fail(KavrelError::io(published.error().err));
  }
  return out;
}

}  // namespace kavrel
