#include "storage/mvcc/mvcc_manager.h"

#include <utility>

namespace kavrel {
namespace {

constexpr std::size_t kWriteSetRoom = 32;
constexpr std::size_t kReadSetRoom = 64;

// A transaction's snapshot sees R when R committed at or after it: R is concurrent with it.
bool concurrent(const SsiRecord& r, const MvccTransaction& txn) {
  return r.commit_ts >= txn.snapshot_ts;
}

// Some key of `keys` is, by the filter and then exactly, in the other side's written keys.
bool any_key_in(const KeySet& keys, const SsiBloomFilter& filter, const KeySet& exact) {
  if (!filter.allocated()) return false;
  for (const Bytes& key : keys) {
    if (filter.may_contain(key) && exact.contains(key)) return true;
  }
  return false;
}

}  // namespace

MvccTransaction MvccManager::begin_with_mode(std::uint64_t txn_id, std::uint8_t mode) {
  MvccTransaction txn;
  txn.txn_id = txn_id;
  txn.mode = mode;
  txn.write_set.reserve(kWriteSetRoom);
  txn.read_set.reserve(kReadSetRoom);
  {
    // Reading next_ts and registering it form one step, so that the minimum never passes a
    // snapshot that is about to be registered (see the header).
    std::scoped_lock lock(snapshots_mu_);
    txn.snapshot_ts = next_ts_.load();
    ++active_snapshots_[txn.snapshot_ts];
    min_active_.store(active_snapshots_.begin()->first);
  }
  active_.insert_or_assign(txn_id, txn);
  return txn;
}

void MvccManager::record_write(std::uint64_t txn_id, BytesView key) {
  active_.with_shard_exclusive(txn_id, [&](auto& shard) {
    auto it = shard.find(txn_id);
    if (it == shard.end()) return;
    it->second.write_set.emplace(key);
    it->second.write_filter.insert(key);
  });
}

void MvccManager::record_read(std::uint64_t txn_id, BytesView key) {
  active_.with_shard_exclusive(txn_id, [&](auto& shard) {
    auto it = shard.find(txn_id);
    if (it == shard.end()) return;
    MvccTransaction& txn = it->second;
    if (txn.mode != kSerializable || txn.read_set.size() >= kMaxReadSet) return;
    txn.read_set.emplace(key);
    txn.read_filter.insert(key);
  });
}

std::optional<std::uint64_t> MvccManager::snapshot_of(std::uint64_t txn_id) const {
  return active_.with_shard_shared(txn_id, [&](const auto& shard) -> std::optional<std::uint64_t> {
    auto it = shard.find(txn_id);
    if (it == shard.end()) return std::nullopt;
    return it->second.snapshot_ts;
  });
}

std::optional<MvccTransaction> MvccManager::copy_active(std::uint64_t txn_id) const {
  return active_.get(txn_id);
}

std::optional<MvccTransaction> MvccManager::remove_active(std::uint64_t txn_id) {
  return active_.remove(txn_id);
}

void MvccManager::track_active_end(std::uint64_t snapshot_ts) {
  std::scoped_lock lock(snapshots_mu_);
  if (auto it = active_snapshots_.find(snapshot_ts); it != active_snapshots_.end()) {
    if (--it->second == 0) active_snapshots_.erase(it);
  }
  min_active_.store(active_snapshots_.empty() ? next_ts_.load() : active_snapshots_.begin()->first);
}

std::size_t MvccManager::snapshot_holders(std::uint64_t snapshot_ts) const {
  std::scoped_lock lock(snapshots_mu_);
  auto it = active_snapshots_.find(snapshot_ts);
  return it == active_snapshots_.end() ? 0 : it->second;
}

bool MvccManager::validate_ssi(const MvccTransaction& txn) const {
  if (txn.write_set.empty()) return true;  // read-only
  if (committed_.size() == 0) return true;
  if (txn.write_set.size() == 1 && txn.read_set.size() <= 1) return true;
  if (!any_filter_overlap(txn)) return true;
  // The exact pass: A counts concurrent records that wrote a key T read, B those that read a key
  // T writes. T is a pivot, and refused, only when both exist.
  std::size_t count_a = 0, count_b = 0;
  committed_.for_each_shard_shared([&](const auto& shard) {
    for (const auto& [id, r] : shard) {
      if (!concurrent(r, txn)) continue;
      if (any_key_in(txn.read_set, r.write_filter, r.write_set)) ++count_a;
      if (any_key_in(r.read_set, txn.write_filter, txn.write_set)) ++count_b;
    }
  });
  return count_a == 0 || count_b == 0;
}

bool MvccManager::any_filter_overlap(const MvccTransaction& txn) const {
  bool overlap = false;
  committed_.for_each_shard_shared([&](const auto& shard) {
    for (auto it = shard.begin(); it != shard.end() && !overlap; ++it) {
      const SsiRecord& r = it->second;
      if (!concurrent(r, txn)) continue;
      overlap =
          txn.write_filter.intersects(r.read_filter) || r.write_filter.intersects(txn.read_filter);
    }
  });
  return overlap;
}

void MvccManager::remember_committed(std::uint64_t txn_id, SsiRecord record) {
  committed_.insert_or_assign(txn_id, std::move(record));
  if (committed_.size() > 2 * committed_gc_limit) prune_committed();
}

void MvccManager::prune_committed() {
  // No running or later transaction has a snapshot at or below a record older than the oldest
  // held snapshot, so no validation can count it as concurrent any more.
  const std::uint64_t oldest = min_active_snapshot();
  committed_.for_each_shard_exclusive([&](auto& shard) {
    std::erase_if(shard, [&](const auto& entry) { return entry.second.commit_ts < oldest; });
  });
}

}  // namespace kavrel
