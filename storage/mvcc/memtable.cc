#include "storage/mvcc/memtable.h"

#include <algorithm>

namespace kavrel {
namespace {

// Approximate bytes, for the statistics: a version's record and its value, and a chain's key,
// map entry and chain object.
std::int64_t version_bytes(const Version& v) {
  return static_cast<std::int64_t>(sizeof(Version) + (v.value ? v.value->size() : 0));
}
std::int64_t pending_bytes(const VersionChain& chain) {
  return chain.uncommitted() ? version_bytes(*chain.uncommitted()) : 0;
}
std::int64_t committed_bytes(const VersionChain& chain) {
  std::int64_t n = 0;
  for (const Version& v : chain.versions()) n += version_bytes(v);
  return n;
}
std::int64_t chain_bytes(BytesView key) {
  return static_cast<std::int64_t>(key.size() + sizeof(Bytes) + sizeof(VersionChain));
}

}  // namespace

MvccMemTable::MvccMemTable() = default;

Result<> MvccMemTable::write(BytesView key, std::optional<BytesView> value, std::uint64_t txn_id) {
  // Indexed first, on every write (also a refused one), before the chain can exist.
  if (index_.insert(key)) index_.try_compact();
  Version pending{value ? std::optional<Bytes>(std::in_place, *value) : std::nullopt, txn_id, 0};
  bool created = false;
  const ChainWrite outcome = data_.with_shard_exclusive(key, [&](ChainMap::Map& shard) {
    auto it = shard.find(key);
    if (it == shard.end()) {
      it = shard.emplace(Bytes(key), VersionChain{}).first;
      created = true;
    }
    const std::int64_t before = pending_bytes(it->second) - (created ? chain_bytes(key) : 0);
    const ChainWrite w = it->second.write(std::move(pending));
    account(pending_bytes(it->second) - before);
    return w;
  });
  // A compaction may have dropped the key (its chain was pruned away) between the insertion
  // above and the creation of the new chain; indexing it again keeps it visible to scans.
  if (created && index_.insert(key)) index_.try_compact();
  switch (outcome) {
    case ChainWrite::Conflict: return fail(KavrelError::internal("Write-write conflict detected"));
    case ChainWrite::Installed: remember_owner(txn_id, key); break;
    case ChainWrite::Replaced: break;  // the key was remembered when the slot was filled
  }
  return {};
}

void MvccMemTable::remember_owner(std::uint64_t txn_id, BytesView key) {
  owned_.with_shard_exclusive(txn_id, [&](auto& owners) { owners[txn_id].emplace_back(key); });
}

void MvccMemTable::commit(std::uint64_t txn_id, std::uint64_t commit_ts, const KeySet& keys,
                          std::uint64_t horizon) {
  std::vector<Bytes> removed;
  for (const Bytes& key : keys) {
    if (commit_key(key, txn_id, commit_ts, horizon)) removed.push_back(key);
  }
  // The transaction's pending slots are gone, except (normally never) slots of keys outside
  // `keys`: those stay pending, so the sweep must still find them.
  if (auto mine = owned_.remove(txn_id)) {
    std::vector<Bytes> still;
    for (Bytes& key : *mine) {
      if (!keys.contains(key) && owns_pending(key, txn_id)) still.push_back(std::move(key));
    }
    for (Bytes& key : still) remember_owner(txn_id, key);
  }
  if (!removed.empty()) index_.remove_keys(std::move(removed));
}

bool MvccMemTable::commit_key(BytesView key, std::uint64_t txn_id, std::uint64_t commit_ts,
                              std::uint64_t horizon) {
  return data_.with_shard_exclusive(key, [&](ChainMap::Map& shard) {
    auto it = shard.find(key);
    if (it == shard.end()) return false;
    VersionChain& chain = it->second;
    if (!chain.commit(txn_id, commit_ts) || horizon == 0) return false;
    const std::int64_t before = committed_bytes(chain);
    chain.prune(horizon);
    const std::int64_t after = committed_bytes(chain);
    account(after - before);
    // A deletion older than every snapshot that can still read, with no writer on the key:
    // "no chain" reads exactly like the tombstone, so the chain can go.
    const Version& newest = chain.versions().front();
    if (chain.uncommitted() || newest.value || newest.commit_ts >= horizon) return false;
    account(-after - chain_bytes(key));
    shard.erase(it);
    return true;
  });
}

bool MvccMemTable::owns_pending(BytesView key, std::uint64_t txn_id) const {
  return data_.with_shard_shared(key, [&](const ChainMap::Map& shard) {
    auto it = shard.find(key);
    if (it == shard.end()) return false;
    const auto& slot = it->second.uncommitted();
    return slot && slot->txn_id == txn_id;
  });
}

std::optional<Bytes> MvccMemTable::visible_in(const ChainMap::Map& shard, BytesView key,
                                              std::uint64_t reader_txn_id,
                                              std::uint64_t snapshot_ts) const {
  auto it = shard.find(key);
  if (it == shard.end()) return std::nullopt;
  const Version* v = it->second.visible(reader_txn_id, snapshot_ts);
  if (v == nullptr) return std::nullopt;
  return v->value;  // a copy made under the shard lock; a tombstone is nullopt
}

std::optional<Bytes> MvccMemTable::visible(BytesView key, std::uint64_t reader_txn_id,
                                           std::uint64_t snapshot_ts) const {
  return data_.with_shard_shared(key, [&](const ChainMap::Map& shard) {
    return visible_in(shard, key, reader_txn_id, snapshot_ts);
  });
}

std::vector<std::pair<Bytes, Bytes>> MvccMemTable::scan_prefix(BytesView prefix,
                                                               std::uint64_t reader_txn_id,
                                                               std::uint64_t snapshot_ts) const {
  std::vector<std::pair<Bytes, Bytes>> out;
  std::vector<Bytes> keys = index_.range_prefix(prefix);
  out.reserve(keys.size());  // an upper bound of the result
  for (Bytes& key : keys) {
    if (auto value = visible(key, reader_txn_id, snapshot_ts)) {
      out.emplace_back(std::move(key), std::move(*value));
    }
  }
  return out;
}

void MvccMemTable::sweep_uncommitted(std::uint64_t txn_id) {
  auto mine = owned_.remove(txn_id);
  if (!mine) return;
  for (const Bytes& key : *mine) sweep_key(key, txn_id);
}

bool MvccMemTable::sweep_key(BytesView key, std::uint64_t txn_id) {
  return data_.with_shard_exclusive(key, [&](ChainMap::Map& shard) {
    auto it = shard.find(key);
    if (it == shard.end()) return false;
    const std::int64_t before = pending_bytes(it->second);
    if (!it->second.sweep(txn_id)) return false;
    account(-before);
    return true;
  });
}

std::size_t MvccMemTable::chain_count() const { return data_.size(); }

std::size_t MvccMemTable::version_count() const {
  std::size_t n = 0;
  data_.for_each_shard_shared([&](const ChainMap::Map& shard) {
    for (const auto& [key, chain] : shard) n += chain.version_count();
  });
  return n;
}

}  // namespace kavrel
