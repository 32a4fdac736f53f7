// Opening a storage: the directory, its lock and keyring, the logs a snapshot does not cover,
// and the replay of the snapshot and the logs into the memtable.
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

#include "core/log.h"
#include "core/text.h"
#include "storage/internal/crypto/keyring.h"
#include "storage/internal/io/file_io.h"
#include "storage/internal/io/fs_util.h"
#include "storage/internal/io/lock.h"
#include "storage/internal/mvcc/memtable.h"
#include "storage/internal/mvcc/mvcc_manager.h"
#include "storage/internal/wal/recovery.h"
#include "storage/internal/wal/txn_wal.h"
#include "storage/internal/wal/txn_wal_entry.h"
#include "storage/internal/wal/wal_manifest.h"

namespace kavrel {
namespace {

constexpr const char* kTarget = "kavrel_storage";

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
  // stopped early left behind. The newest log is the one appended to. The snapshot stays open
  // for recover() to load.
  auto snapshot = open_snapshot(dir, s->sealing());
  if (!snapshot) return fail(std::move(snapshot.error()));
  const std::uint64_t first = *snapshot ? (*snapshot)->next_generation() : 0;
  s->remove_logs_below(first);
  std::erase_if(generations, [first](std::uint64_t g) { return g < first; });
  if (first > 0 && (generations.empty() || generations.front() != first)) {
    return fail(KavrelError::corruption(fmt::format("the log {} that follows {} is missing",
                                                    TxnWal::file_name(first), kSnapshotFileName)));
  }
  const std::uint64_t current = generations.empty() ? 0 : generations.back();
  if (generations.empty()) generations.push_back(0);  // the log TxnWal::open creates below

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

  if (auto stats = s->recover(std::move(*snapshot), generations); !stats) {
    return fail(std::move(stats.error()));
  }
  // Only now does the storage take writes, and only a storage that takes them shuts down (and
  // writes ".clean_shutdown"): a failed open leaves no marker.
  s->start_commits();
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
      // A user's records stand alone (no transaction): each takes effect where it lies.
      case WalRecordType::User: s_.replay_user(std::move(e.key), e.value); break;
      case WalRecordType::UserDrop: s_.replay_user(std::move(e.key), std::nullopt); break;
      default: break;  // checkpoints, log starts and reserved codes
    }
    return {};
  }

  // A record of the snapshot: a schema, a user, or a live key, committed at once at the
  // snapshot's timestamp (its keys are distinct and the table holds nothing else yet).
  Result<> apply_snapshot(const TxnWalEntryView& e) {
    switch (static_cast<WalRecordType>(e.record_type)) {
      case WalRecordType::Schema: add_schema(Bytes(e.key), Bytes(e.value)); return {};
      case WalRecordType::User: s_.replay_user(Bytes(e.key), e.value); return {};
      default: break;
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

Result<RecoveryStats> DurableStorage::recover(std::optional<SnapshotFile> snapshot,
                                              const std::vector<std::uint64_t>& generations) {
  auto started = std::chrono::steady_clock::now();
  const auto seconds_since = [&started] {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  };
  // The replay's versions are owned by an id no transaction of the log can have.
  Replay replay(*this, std::numeric_limits<std::uint64_t>::max());
  if (snapshot) {
    auto loaded = load_snapshot(std::move(*snapshot),
                                [&](const TxnWalEntryView& e) { return replay.apply_snapshot(e); });
    if (!loaded) return fail(std::move(loaded.error()));
    replay.end_of_file();
    snapshot_bytes_.store(loaded->bytes, std::memory_order_relaxed);
    log::info(kTarget, "Loaded snapshot {}: {} keys ({} bytes) in {:.3f}s", kSnapshotFileName,
              loaded->keys, loaded->bytes, seconds_since());
    started = std::chrono::steady_clock::now();
  }
  // One pass over each log: older ones as they are, the current one with its tail repaired and
  // its counters set (recovery.h). Its records go to the replay, with a progress line a second.
  struct LogReplay {
    Replay& replay;
    std::chrono::steady_clock::time_point next_report;

    Result<> record(TxnWalEntry& e, const WalReader& reader) {
      if (const auto now = std::chrono::steady_clock::now(); now >= next_report) {
        log::info(kTarget, "Replaying log: {} records, {} of {} bytes read", reader.records(),
                  reader.bytes_read(), reader.file_size());
        next_report = now + std::chrono::seconds(1);
      }
      return replay.apply(e);
    }
    void end_of_log() { replay.end_of_file(); }
  } sink{replay, std::chrono::steady_clock::now() + std::chrono::seconds(1)};
  auto replayed = recover_logs(*wal_, generations, sink);
  if (!replayed) return fail(std::move(replayed.error()));
  // Ids go on past this process's ids in the current log; logs that follow keep counting here.
  next_txn_id_.store(replayed->next_txn_id, std::memory_order_relaxed);
  log::info(kTarget, "Replayed {} transactions ({} keys) from {} records in {:.3f}s",
            replay.stats().transactions, memtable_->chain_count(), replayed->records,
            seconds_since());
  return replay.stats();
}

void DurableStorage::replay_user(std::string name, std::optional<BytesView> encoded) {
  std::scoped_lock lock(catalog_mu_);
  if (!encoded) {
    users_.erase(name);
    return;
  }
  auto user = decode_user(name, *encoded);
  if (!user) {
    // The record passed its checksum, so only a writer's bug could produce this. The name is
    // left without a user rather than with an older record the log has replaced (a password
    // that was changed must not work again); an admin can add the user anew.
    log::warn(kTarget, "User {} is left out: its record does not read ({})", debug_quote(name),
              user.error().message());
    users_.erase(name);
    return;
  }
  users_.insert_or_assign(std::move(name), std::move(*user));
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

}  // namespace kavrel
