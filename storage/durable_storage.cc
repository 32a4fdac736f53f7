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
#include "storage/group_commit.h"
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
constexpr std::uint8_t kSerializable = 2;
constexpr std::size_t kSnapshotPiece = 4096;  // keys a compaction reads at a time

TxnWalEntry control_record(WalRecordType type, std::uint64_t txn_id) {
  return TxnWalEntry{{}, {}, txn_id, ts_cache_now_us(), static_cast<std::uint8_t>(type)};
}

// The group commit's batch writer: one Commit record per transaction whose records are still in
// the log, appended as one piece, then one sync.
void write_commits(TxnWal& wal, std::vector<EventDrivenGroupCommit::Request>& batch) {
  std::vector<TxnWalEntry> commits;
  std::vector<WalPosition> records;
  commits.reserve(batch.size());
  records.reserve(batch.size());
  for (const auto& request : batch) {
    commits.push_back(control_record(WalRecordType::Commit, request.txn_id));
    records.push_back(request.records);
  }
  std::vector<std::size_t> lost;
  auto end = wal.append_batch(commits, records, &lost);
  if (!end) {
    for (auto& request : batch) request.outcome = fail(end.error());
    return;
  }
  for (std::size_t i : lost) batch[i].outcome = fail(TxnWal::cut_back_error());
  // A failed sync may come after another batch's sync already made these records durable; then
  // they are committed and must be reported so, or they would come back at the next open
  // although their committers were told they failed. A sync that succeeded after another
  // writer's full disk cut them away must not be reported as success either.
  auto synced = wal.sync();
  if (wal.durable(*end)) return;
  const KavrelError error = synced ? TxnWal::cut_back_error() : synced.error();
  for (auto& request : batch) {
    if (request.outcome) request.outcome = fail(error);
  }
}

}  // namespace

void DurableStorage::start_commits() {
  // Every member of a batch holds log_shared(), so the log cannot change under the writer.
  group_commit_ = std::make_unique<EventDrivenGroupCommit>(
      [this](std::vector<EventDrivenGroupCommit::Request>& batch) { write_commits(*wal_, batch); });
}

DurableStorage::DurableStorage()
    : buffers_(std::make_unique<ShardedMap<std::uint64_t, TxnWalBuffer>>()) {}

DurableStorage::~DurableStorage() {
  // Only a fully assembled storage (it carries the coordinator) shuts down; the members are then
  // released in reverse order of declaration, the directory lock last.
  if (group_commit_) ignore_error(shutdown(), "release cannot report failures");
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
  (void)manager_->begin_with_mode(txn_id, kSerializable);
  return txn_id;
}

std::optional<TxnWalBuffer> DurableStorage::take_buffer(std::uint64_t txn_id) {
  return buffers_->remove(txn_id);
}

Result<> DurableStorage::abort(std::uint64_t txn_id) {
  // Its records never reached the log (they go out at commit), so nothing is logged.
  if (take_buffer(txn_id)) memtable_->sweep_uncommitted(txn_id);
  (void)take_schema_drops(txn_id);
  if (auto txn = manager_->remove_active(txn_id)) manager_->track_active_end(txn->snapshot_ts);
  return {};
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

Result<> DurableStorage::write_marker(std::string_view content) {
  UniqueFd fd(
      io::open_create((dir_ / ".clean_shutdown").c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC, 0600));
  if (!fd.valid()) return fail(KavrelError::io(errno));
  if (int err = io::write_all(fd.get(), content.data(), content.size()); err != 0) {
    return fail(KavrelError::io(err));
  }
  return fd.close();
}

Result<> DurableStorage::shutdown() {
  if (auto r = wal_->sync(); !r) return r;
  return write_marker("clean");
}

Result<CompactionStats> DurableStorage::compact() {
  std::scoped_lock one_at_a_time(compact_mu_);
  const auto started = std::chrono::steady_clock::now();
  const auto warn = [](const KavrelError& e) {
    log::warn(kTarget, "Compaction failed ({}); the previous state stays in use", e.message());
    return e;
  };
  // The switch: with every commit outside its log work, the log is synced and the next one
  // created (with its name durable) before any commit can write to it. The schemas are copied
  // in the same hold (see schemas_).
  std::shared_ptr<TxnWal> old;
  std::vector<std::pair<std::string, Bytes>> schemas;
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
    schemas = this->schemas();
  }
  // Every transaction whose records are in the older logs finished before the switch, so a
  // snapshot taken now sees all of them (and perhaps some that the new log replays again on
  // top, which ends in the same state).
  CompactionStats stats;
  stats.generation = old->generation() + 1;
  auto reader = begin_transaction();
  if (!reader) return fail(warn(reader.error()));
  const auto snapshot = manager_->snapshot_of(*reader);
  // Read and written a piece at a time, so that memory holds one piece, not the whole state.
  std::optional<Bytes> next = Bytes();
  const auto pieces = [&](std::vector<std::pair<Bytes, Bytes>>& chunk) -> Result<> {
    while (chunk.empty() && next) {
      const Bytes start = std::move(*next);
      chunk = memtable_->scan_from(start, kSnapshotPiece, *reader, snapshot.value_or(0), next);
    }
    return {};
  };
  SnapshotContents contents{stats.generation, std::move(schemas), pieces};
  auto written = write_snapshot(dir_, sealing(), contents);
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

}  // namespace kavrel