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

// The files are created private (0600); a directory that others may read is used as it is, but
// its owner should know that the names (and a socket beside them) are listed to others.
void warn_if_shared(const std::filesystem::path& dir) {
  struct stat st {};
  if (::stat(dir.c_str(), &st) != 0 || (st.st_mode & 0077) == 0) return;
  log::warn(kTarget,
            "Database directory {} is accessible to other users (mode {:o}); its files are "
            "created readable by the owner only",
            debug_quote(dir.string()), st.st_mode & 07777);
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

// The generations of the logs in dir, ascending.
std::vector<std::uint64_t> log_generations(const std::filesystem::path& dir) {
  std::vector<std::uint64_t> out;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(dir, ec)) {
    if (auto g = TxnWal::generation_of(e.path().filename().string())) out.push_back(*g);
  }
  std::sort(out.begin(), out.end());
  return out;
}

}  // namespace

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

Result<> DurableStorage::remove_clean_shutdown_marker(const std::filesystem::path& dir) {
  const auto marker = dir / ".clean_shutdown";
  std::error_code ec;
  if (std::filesystem::exists(marker, ec) && io::unlink(marker.c_str()) != 0) {
    return fail(KavrelError::io(errno));
  }
  return {};
}

Result<std::shared_ptr<DurableStorage>> DurableStorage::open(const std::filesystem::path& dir,
                                                             const StorageEncryption& encryption) {
  warn_if_shared(dir);
  if (auto r = create_dir_all(dir); !r) return fail(std::move(r.error()));
  std::shared_ptr<DurableStorage> s(new DurableStorage());
  s->dir_ = dir;

  auto lock = DatabaseLock::acquire(dir);
  if (!lock) return fail(KavrelError::from(lock.error()));
  s->lock_ = std::move(*lock);
  // A snapshot, manifest or keyring being written when the last holder stopped is left as a
  // temporary file; the file it was to replace is whole, so the temporary is only waste.
  auto removed = remove_temp_files(dir);
  if (!removed) return fail(std::move(removed.error()));
  if (removed->files > 0) {
    log::info(kTarget, "Removed {} stale temporary file(s) ({} bytes) of an interrupted write",
              removed->files, removed->bytes);
  }

  std::error_code ec;
  std::vector<std::uint64_t> generations = log_generations(dir);
  const bool new_database =
      generations.empty() && !std::filesystem::exists(dir / kSnapshotFileName, ec);
  auto keyring = keyring::load_or_init(dir, encryption.key, encryption.kek_source_id, new_database);
  if (!keyring) return fail(std::move(keyring.error()));
  s->encrypted_ = keyring->encrypted;
  s->engine_ = keyring->engine;
  s->db_uuid_ = keyring->db_uuid;
  s->key_epoch_ = keyring->key_epoch;

  // The snapshot covers every log before its generation; such logs are what a compaction that
  // stopped early left behind. The newest log is the one appended to.
  auto covered_below = snapshot_generation(dir, s->sealing());
  if (!covered_below) return fail(std::move(covered_below.error()));
  const std::uint64_t first = covered_below->value_or(0);
  s->remove_logs_below(first);
  std::erase_if(generations, [first](std::uint64_t g) { return g < first; });
  if (first > 0 && (generations.empty() || generations.front() != first)) {
    return fail(KavrelError::corruption(fmt::format("the log {} that follows {} is missing",
                                                    TxnWal::file_name(first), kSnapshotFileName)));
  }
  const std::uint64_t current = generations.empty() ? 0 : generations.back();
  s->replay_generations_ = generations.empty() ? std::vector<std::uint64_t>{0} : generations;

  auto wal = TxnWal::open(dir, keyring->engine, keyring->db_uuid, keyring->key_epoch, current);
  if (!wal) return fail(std::move(wal.error()));
  s->wal_ = std::move(*wal);

  if (WalManifest::exists(dir)) {
    auto manifest = WalManifest::load(dir);
    if (!manifest) return fail(std::move(manifest.error()));
    s->last_checkpoint_lsn_.store(manifest->last_checkpoint_lsn);
    s->manifest_exists_ = true;
  }

  s->manager_ = std::make_shared<MvccManager>();
  s->memtable_ = std::make_shared<MvccMemTable>();

  if (auto r = remove_clean_shutdown_marker(dir); !r) return fail(std::move(r.error()));

  // Every member of a batch holds log_shared(), so the log cannot change under the writer.
  s->group_commit_ = std::make_unique<EventDrivenGroupCommit>(
      [self = s.get()](std::vector<EventDrivenGroupCommit::Request>& batch) {
        write_commits(*self->wal_, batch);
      });
  if (auto stats = s->recover(); !stats) return fail(std::move(stats.error()));
  return s;
}

// Applies log and snapshot records to the memtable in order. The writes of a transaction are
// held until its Commit record and then committed in one step under a timestamp of their own,
// pruned to the newest version (nothing runs yet that could read an older one), exactly as live
// commits leave them; transactions that never commit are dropped at the end of their log.
class DurableStorage::Replay {
 public:
  Replay(DurableStorage& s, std::uint64_t txn_id) : s_(s), txn_id_(txn_id) {}

  // A record of a log.
  Result<> apply(TxnWalEntry& e) {
    switch (static_cast<WalRecordType>(e.record_type)) {
      case WalRecordType::Write:
        pending_[e.txn_id].emplace_back(std::move(e.key), std::move(e.value));
        break;
      case WalRecordType::Delete:
        pending_[e.txn_id].emplace_back(std::move(e.key), std::nullopt);
        break;
      case WalRecordType::Begin:  // writes start afresh
        pending_.erase(e.txn_id);
        pending_drops_.erase(e.txn_id);
        break;
      case WalRecordType::SchemaDrop: pending_drops_[e.txn_id].push_back({std::move(e.key)}); break;
      case WalRecordType::Commit:
        if (auto it = pending_.find(e.txn_id); it != pending_.end()) {
          for (auto& [key, value] : it->second) {
            if (auto r = write(key, value ? std::optional<BytesView>(*value) : std::nullopt); !r) {
              return r;
            }
            keys_.insert(std::move(key));
          }
          stats_.pairs += it->second.size();
          ++stats_.transactions;
          pending_.erase(it);
          commit();
        }
        if (auto it = pending_drops_.find(e.txn_id); it != pending_drops_.end()) {
          s_.forget_schemas(it->second);
          pending_drops_.erase(it);
        }
        break;
      case WalRecordType::Abort:
        pending_.erase(e.txn_id);
        pending_drops_.erase(e.txn_id);
        break;
      case WalRecordType::Schema: add_schema(std::move(e.key), std::move(e.value)); break;
      default: break;  // checkpoints, log starts and reserved codes
    }
    return {};
  }

  // A record of the snapshot: a schema, or a live key, committed at once at the snapshot's
  // timestamp (its keys are distinct and the table holds nothing else yet).
  Result<> apply_snapshot(const TxnWalEntryView& e) {
    if (e.record_type == static_cast<std::uint8_t>(WalRecordType::Schema)) {
      add_schema(Bytes(e.key), Bytes(e.value));
      return {};
    }
    if (snapshot_ts_ == 0) stats_.commit_ts = snapshot_ts_ = s_.manager_->allocate_commit_ts();
    return s_.memtable_->load(e.key, e.value, snapshot_ts_);
  }

  // A log (or the snapshot) has been read to its end. A transaction's records all lie in one
  // log, so what has not committed by now never will.
  void end_of_file() {
    commit();
    pending_.clear();
    pending_drops_.clear();
  }

  const RecoveryStats& stats() const { return stats_; }

 private:
  Result<> write(BytesView key, std::optional<BytesView> value) {
    return s_.memtable_->write(key, value, txn_id_);
  }
  void commit() {
    if (keys_.empty()) return;
    stats_.commit_ts = s_.manager_->allocate_commit_ts();
    s_.memtable_->commit(txn_id_, stats_.commit_ts, keys_, s_.manager_->next_ts());
    keys_.clear();
  }
  // Registrations are logged once per name while it is registered; a repeat keeps the first.
  void add_schema(Bytes name, Bytes encoded) {
    std::scoped_lock lock(s_.catalog_mu_);
    s_.add_schema(std::move(name), std::move(encoded));
  }

  DurableStorage& s_;
  const std::uint64_t txn_id_;     // the pending versions' owner until each commit
  std::uint64_t snapshot_ts_ = 0;  // the commit timestamp of every key of the snapshot
  KeySet keys_;                    // written since the last commit
  // The writes of each running transaction in log order; a deletion is a value-less entry.
  std::unordered_map<std::uint64_t, std::vector<std::pair<Bytes, std::optional<Bytes>>>> pending_;
  std::unordered_map<std::uint64_t, std::vector<SchemaDrop>> pending_drops_;  // tables, likewise
  RecoveryStats stats_;
};

Result<RecoveryStats> DurableStorage::recover() {
  auto started = std::chrono::steady_clock::now();
  const auto seconds_since = [&started] {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  };
  // The replay's versions are owned by an id no transaction of the log can have.
  Replay replay(*this, std::numeric_limits<std::uint64_t>::max());
  auto loaded = load_snapshot(dir_, sealing(),
                              [&](const TxnWalEntryView& e) { return replay.apply_snapshot(e); });
  if (!loaded) return fail(std::move(loaded.error()));
  replay.end_of_file();
  if (*loaded) {
    snapshot_bytes_.store((*loaded)->bytes, std::memory_order_relaxed);
    log::info(kTarget, "Loaded snapshot {}: {} keys ({} bytes) in {:.3f}s", kSnapshotFileName,
              (*loaded)->keys, (*loaded)->bytes, seconds_since());
    started = std::chrono::steady_clock::now();
  }
  // Older logs were complete when the log moved on; the current one is read once, by the scan
  // that finds its end, repairs a damaged tail and sets its counters.
  std::uint64_t records = 0;
  auto next_report = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  const auto apply = [&](TxnWalEntry& e, const WalReader& reader) {
    if (const auto now = std::chrono::steady_clock::now(); now >= next_report) {
      log::info(kTarget, "Replaying log: {} records, {} of {} bytes read", reader.records(),
                reader.bytes_read(), reader.file_size());
      next_report = now + std::chrono::seconds(1);
    }
    return replay.apply(e);
  };
  for (std::uint64_t generation : replay_generations_) {
    if (generation == wal_->generation()) break;
    auto reader =
        WalReader::open(dir_ / TxnWal::file_name(generation), engine_, db_uuid_, key_epoch_);
    if (!reader) return fail(std::move(reader.error()));
    for (;;) {
      auto entry = reader->read_record();
      if (!entry) {
        if (entry.error().is_unexpected_eof()) break;
        return fail(std::move(entry.error()));
      }
      if (auto r = apply(*entry, *reader); !r) return fail(std::move(r.error()));
    }
    replay.end_of_file();
    records += reader->records();
  }
  if (auto r = wal_->recover_state(apply); !r) return fail(std::move(r.error()));
  replay.end_of_file();
  records += wal_->frame_counter();
  // Ids go on past this process's ids in the current log; logs that follow keep counting here.
  next_txn_id_.store(wal_->next_txn_id(), std::memory_order_relaxed);
  log::info(kTarget, "Replayed {} transactions ({} keys) from {} records in {:.3f}s",
            replay.stats().transactions, memtable_->chain_count(), records, seconds_since());
  return replay.stats();
}

void DurableStorage::remove_logs_below(std::uint64_t generation) {
  bool removed = false;
  for (std::uint64_t g : log_generations(dir_)) {
    if (g >= generation) continue;
    const auto path = dir_ / TxnWal::file_name(g);
    if (io::unlink(path.c_str()) == 0) removed = true;
  }
  // Best effort: a log that comes back after a crash is removed again at the next open.
  if (removed) ignore_error(fsync_dir(dir_), "covered logs are removed again at the next open");
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
