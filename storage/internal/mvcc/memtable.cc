#include "storage/internal/mvcc/memtable.h"

#include <algorithm>

#include "core/cleanup.h"

namespace kavrel {

MvccMemTable::MvccMemTable() = default;

template <class F>
decltype(auto) MvccMemTable::edit_chain(ChainShard& shard, std::size_t i, F&& fn) {
  VersionChain chain = VersionChain::adopt(shard.head(i));
  // The table keeps the chain whatever fn does; the chain object never frees it.
  Cleanup put_back([&] {
    account(chain.take_byte_delta());
    shard.set_head(i, chain.release());
  });
  return std::forward<F>(fn)(chain);
}

Result<> MvccMemTable::write(BytesView key, std::optional<BytesView> value, std::uint64_t txn_id) {
  // Indexed first, on every write (also a refused one), before the chain can exist.
  if (index_.insert(key)) index_.try_compact();
  const std::uint64_t hash = ChainShard::hash_of(key);
  bool created = false;
  const ChainWrite outcome = data_.with_shard_exclusive(hash, [&](ChainShard& shard) {
    const std::size_t i = shard.find(key, hash);
    if (i != ChainShard::kNotFound) {
      return edit_chain(shard, i, [&](VersionChain& chain) { return chain.write(value, txn_id); });
    }
    VersionChain chain(key, value, txn_id);
    account(chain.take_byte_delta());
    shard.insert(chain.release(), hash);
    created = true;
    return ChainWrite::Installed;
  });
  // A compaction may have dropped the key (its chain was pruned away) between the insertion
  // above and the creation of the new chain; indexing it again keeps it visible to scans.
  if (created && index_.insert(key)) index_.try_compact();
  switch (outcome) {
    case ChainWrite::Conflict: return fail(KavrelError::write_conflict());
    case ChainWrite::Installed: remember_owner(txn_id, key); break;
    case ChainWrite::Replaced: break;  // the key was remembered when the slot was filled
  }
  return {};
}

Result<> MvccMemTable::load(BytesView key, BytesView value, std::uint64_t commit_ts) {
  if (index_.insert(key)) index_.try_compact();
  const std::uint64_t hash = ChainShard::hash_of(key);
  const bool inserted = data_.with_shard_exclusive(hash, [&](ChainShard& shard) {
    if (shard.find(key, hash) != ChainShard::kNotFound) return false;
    VersionChain chain = VersionChain::committed(key, value, commit_ts);
    account(chain.take_byte_delta());
    shard.insert(chain.release(), hash);
    return true;
  });
  if (!inserted) return fail(KavrelError::internal("the key is loaded twice"));
  return {};
}

void MvccMemTable::remember_owner(std::uint64_t txn_id, BytesView key) {
  owned_.with_shard_exclusive(txn_id, [&](auto& owners) { owners[txn_id].push_back(key); });
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
    mine->for_each([&](BytesView key) {
      if (!keys.contains(key) && owns_pending(key, txn_id)) still.emplace_back(key);
    });
    for (const Bytes& key : still) remember_owner(txn_id, key);
  }
  if (!removed.empty()) index_.remove_keys(std::move(removed));
}

bool MvccMemTable::commit_key(BytesView key, std::uint64_t txn_id, std::uint64_t commit_ts,
                              std::uint64_t horizon) {
  const std::uint64_t hash = ChainShard::hash_of(key);
  return data_.with_shard_exclusive(hash, [&](ChainShard& shard) {
    const std::size_t i = shard.find(key, hash);
    if (i == ChainShard::kNotFound) return false;
    const bool gone = edit_chain(shard, i, [&](VersionChain& chain) {
      if (!chain.commit(txn_id, commit_ts, horizon) || horizon == 0) return false;
      // A deletion older than every snapshot that can still read, with no writer on the key:
      // "no chain" reads exactly like the tombstone, so the chain can go.
      const VersionRecord* newest = chain.newest_committed();
      return chain.uncommitted() == nullptr && newest->tombstone() && newest->commit_ts() < horizon;
    });
    if (!gone) return false;
    const VersionChain chain = VersionChain::adopt(shard.erase(i));
    account(-static_cast<std::int64_t>(chain.bytes()));
    return true;
  });
}

bool MvccMemTable::owns_pending(BytesView key, std::uint64_t txn_id) const {
  const std::uint64_t hash = ChainShard::hash_of(key);
  return data_.with_shard_shared(hash, [&](const ChainShard& shard) {
    const std::size_t i = shard.find(key, hash);
    if (i == ChainShard::kNotFound) return false;
    const VersionRecord* slot = ChainView(shard.head(i)).uncommitted();
    return slot != nullptr && slot->txn_id() == txn_id;
  });
}

std::optional<Bytes> MvccMemTable::visible(BytesView key, std::uint64_t reader_txn_id,
                                           std::uint64_t snapshot_ts) const {
  const std::uint64_t hash = ChainShard::hash_of(key);
  return data_.with_shard_shared(hash, [&](const ChainShard& shard) -> std::optional<Bytes> {
    const std::size_t i = shard.find(key, hash);
    if (i == ChainShard::kNotFound) return std::nullopt;
    const VersionRecord* v = ChainView(shard.head(i)).visible(reader_txn_id, snapshot_ts);
    if (v == nullptr) return std::nullopt;
    const std::optional<BytesView> value = v->value();
    if (!value) return std::nullopt;  // a tombstone
    return Bytes(*value);             // a copy made under the shard lock
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

std::vector<std::pair<Bytes, Bytes>> MvccMemTable::scan_from(BytesView start, std::size_t limit,
                                                             std::uint64_t reader_txn_id,
                                                             std::uint64_t snapshot_ts,
                                                             std::optional<Bytes>& next) const {
  std::vector<Bytes> keys = index_.range_from(start, limit);
  next.reset();
  if (keys.size() == limit && limit > 0) next = keys.back() + '\0';  // the least key after it
  std::vector<std::pair<Bytes, Bytes>> out;
  out.reserve(keys.size());
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
  mine->for_each([&](BytesView key) { sweep_key(key, txn_id); });
}

bool MvccMemTable::sweep_key(BytesView key, std::uint64_t txn_id) {
  const std::uint64_t hash = ChainShard::hash_of(key);
  return data_.with_shard_exclusive(hash, [&](ChainShard& shard) {
    const std::size_t i = shard.find(key, hash);
    if (i == ChainShard::kNotFound) return false;
    return edit_chain(shard, i, [&](VersionChain& chain) { return chain.sweep(txn_id); });
  });
}

std::size_t MvccMemTable::chain_count() const { return data_.size(); }

std::size_t MvccMemTable::version_count() const {
  std::size_t n = 0;
  data_.for_each_shard_shared([&](const ChainShard& shard) {
    shard.for_each_head([&](const VersionRecord* head) { n += ChainView(head).version_count(); });
  });
  return n;
}

}  // namespace kavrel
