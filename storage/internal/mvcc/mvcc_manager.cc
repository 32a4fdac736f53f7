#include "storage/internal/mvcc/mvcc_manager.h"

#include <algorithm>
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

// Some written key lies under one of the scanned prefixes.
bool any_under(const KeySet& written, const std::vector<Bytes>& prefixes) {
  for (const Bytes& prefix : prefixes) {
    for (const Bytes& key : written) {
      if (key.starts_with(prefix)) return true;
    }
  }
  return false;
}

}  // namespace

void MvccManager::begin(std::uint64_t txn_id) {
  MvccTransaction txn;
  txn.txn_id = txn_id;
  txn.write_set.reserve(kWriteSetRoom);
  txn.read_set.reserve(kReadSetRoom);
  txn.snapshot_ts = hold_snapshot();
  active_.insert_or_assign(txn_id, std::move(txn));
}

std::uint64_t MvccManager::hold_snapshot() {
  // Reading snapshot_base() and registering it form one step, so that the minimum never passes a
  // snapshot that is about to be registered (see the header).
  std::scoped_lock lock(snapshots_mu_);
  const std::uint64_t snapshot = snapshot_base_locked();
  ++active_snapshots_[snapshot];
  min_active_.store(active_snapshots_.begin()->first);
  return snapshot;
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
    if (txn.read_everything) return;
    if (txn.read_set.size() >= kMaxReadSet) {
      // Forgetting further reads would let their conflicts through; counting the transaction as
      // having read everything keeps validation sound at the price of more refusals.
      txn.read_everything = true;
      return;
    }
    txn.read_set.emplace(key);
    txn.read_filter.insert(key);
  });
}

void MvccManager::record_scan(std::uint64_t txn_id, BytesView prefix) {
  active_.with_shard_exclusive(txn_id, [&](auto& shard) {
    auto it = shard.find(txn_id);
    if (it == shard.end()) return;
    auto& prefixes = it->second.scanned_prefixes;
    if (std::find(prefixes.begin(), prefixes.end(), prefix) == prefixes.end()) {
      prefixes.emplace_back(prefix);
    }
  });
}

std::size_t MvccManager::scan_count(std::uint64_t txn_id) const {
  return active_.with_shard_shared(txn_id, [&](const auto& shard) -> std::size_t {
    const auto it = shard.find(txn_id);
    return it == shard.end() ? 0 : it->second.scanned_prefixes.size();
  });
}

void MvccManager::forget_scans_since(std::uint64_t txn_id, std::size_t count) {
  active_.with_shard_exclusive(txn_id, [&](auto& shard) {
    auto it = shard.find(txn_id);
    if (it == shard.end()) return;
    auto& prefixes = it->second.scanned_prefixes;
    if (prefixes.size() > count) prefixes.resize(count);
  });
}

std::optional<std::uint64_t> MvccManager::snapshot_of(std::uint64_t txn_id) const {
  return active_.with_shard_shared(txn_id, [&](const auto& shard) -> std::optional<std::uint64_t> {
    auto it = shard.find(txn_id);
    if (it == shard.end()) return std::nullopt;
    return it->second.snapshot_ts;
  });
}

bool MvccManager::wrote(std::uint64_t txn_id, BytesView key) const {
  return active_.with_shard_shared(txn_id, [&](const auto& shard) {
    auto it = shard.find(txn_id);
    return it != shard.end() && it->second.write_set.contains(key);
  });
}

std::optional<MvccTransaction> MvccManager::remove_active(std::uint64_t txn_id) {
  return active_.remove(txn_id);
}

void MvccManager::track_active_end(std::uint64_t snapshot_ts) {
  std::scoped_lock lock(snapshots_mu_);
  if (auto it = active_snapshots_.find(snapshot_ts); it != active_snapshots_.end()) {
    if (--it->second == 0) active_snapshots_.erase(it);
  }
  min_active_.store(active_snapshots_.empty() ? snapshot_base_locked()
                                              : active_snapshots_.begin()->first);
}

std::uint64_t MvccManager::snapshot_base_locked() const {
  return in_flight_.empty() ? next_ts_.load() : *in_flight_.begin();
}

std::uint64_t MvccManager::snapshot_base() const {
  std::scoped_lock lock(snapshots_mu_);
  return snapshot_base_locked();
}

std::optional<std::uint64_t> MvccManager::certify(std::uint64_t txn_id,
                                                  const MvccTransaction& txn) {
  std::scoped_lock certify_lock(certify_mu_);
  if (!validate_ssi(txn)) return std::nullopt;
  std::uint64_t commit_ts = 0;
  {
    // Taken and marked in flight in one step, so that no snapshot taken meanwhile includes it.
    std::scoped_lock lock(snapshots_mu_);
    commit_ts = next_ts_.fetch_add(1);
    in_flight_.insert(commit_ts);
  }
  if (!txn.write_set.empty()) {
    remember_committed(txn_id, SsiRecord{commit_ts, txn.write_filter, txn.write_set});
  }
  return commit_ts;
}

void MvccManager::publish(std::uint64_t commit_ts) {
  {
    std::scoped_lock lock(snapshots_mu_);
    in_flight_.erase(commit_ts);
    if (active_snapshots_.empty()) min_active_.store(snapshot_base_locked());
  }
  published_.notify_all();
}

void MvccManager::wait_visible(std::uint64_t commit_ts) {
  std::unique_lock lock(snapshots_mu_);
  published_.wait(lock, [&] { return snapshot_base_locked() > commit_ts; });
}

std::size_t MvccManager::snapshot_holders(std::uint64_t snapshot_ts) const {
  std::scoped_lock lock(snapshots_mu_);
  auto it = active_snapshots_.find(snapshot_ts);
  return it == active_snapshots_.end() ? 0 : it->second;
}

bool MvccManager::validate_ssi(const MvccTransaction& txn) const {
  if (txn.write_set.empty()) return true;  // read-only: its snapshot is stable
  const bool read_nothing =
      txn.read_set.empty() && txn.scanned_prefixes.empty() && !txn.read_everything;
  if (read_nothing || committed_.size() == 0) return true;
  const bool exact_needed = !txn.scanned_prefixes.empty() || txn.read_everything;
  if (!exact_needed && !any_filter_overlap(txn)) return true;
  bool conflict = false;
  committed_.for_each_shard_shared([&](const auto& shard) {
    for (auto it = shard.begin(); it != shard.end() && !conflict; ++it) {
      const SsiRecord& r = it->second;
      if (!concurrent(r, txn)) continue;
      conflict = (txn.read_everything && !r.write_set.empty()) ||
                 any_key_in(txn.read_set, r.write_filter, r.write_set) ||
                 any_under(r.write_set, txn.scanned_prefixes);
    }
  });
  return !conflict;
}

bool MvccManager::any_filter_overlap(const MvccTransaction& txn) const {
  bool overlap = false;
  committed_.for_each_shard_shared([&](const auto& shard) {
    for (auto it = shard.begin(); it != shard.end() && !overlap; ++it) {
      const SsiRecord& r = it->second;
      if (!concurrent(r, txn)) continue;
      overlap = r.write_filter.intersects(txn.read_filter);
    }
  });
  return overlap;
}

void MvccManager::remember_committed(std::uint64_t txn_id, SsiRecord record) {
  committed_.insert_or_assign(txn_id, std::move(record));
  const std::size_t count = committed_.size();
  if (count <= 2 * committed_gc_limit) return;
  // While an old snapshot holds records back, a pass removes little: the next one waits until the
  // oldest snapshot has moved or the records have doubled, so the passes stay linear in commits.
  if (count < prune_at_.load(std::memory_order_relaxed) &&
      min_active_snapshot() == pruned_below_.load(std::memory_order_relaxed)) {
    return;
  }
  pruned_below_.store(prune_committed(), std::memory_order_relaxed);
  prune_at_.store(2 * committed_.size(), std::memory_order_relaxed);
}

std::uint64_t MvccManager::prune_committed() {
  // No running or later transaction has a snapshot at or below a record older than the oldest
  // held snapshot, so no validation can count it as concurrent any more.
  const std::uint64_t oldest = min_active_snapshot();
  committed_.for_each_shard_exclusive([&](auto& shard) {
    std::erase_if(shard, [&](const auto& entry) { return entry.second.commit_ts < oldest; });
  });
  return oldest;
}

}  // namespace kavrel
