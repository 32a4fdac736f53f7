// A hash map split into shards, each behind its own reader-writer lock.
//
// A lookup takes one shard's shared lock, an insertion or removal its exclusive lock, and a full
// walk visits the shards one after another. No operation holds two shard locks at once, so a
// callback must never call back into the same map.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

namespace kavrel {

// Transparent hash for string keys, so lookups by string_view do not allocate.
struct StringHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};

template <class K>
struct DefaultMapHash {
  using type = std::hash<K>;
  using eq = std::equal_to<K>;
};
template <>
struct DefaultMapHash<std::string> {
  using type = StringHash;
  using eq = std::equal_to<>;
};

template <class K, class V, std::size_t kShardCount = 64>
class ShardedMap {
 public:
  using Hash = typename DefaultMapHash<K>::type;
  using Map = std::unordered_map<K, V, Hash, typename DefaultMapHash<K>::eq>;
  static_assert((kShardCount & (kShardCount - 1)) == 0, "shard count must be a power of two");

  ShardedMap() = default;
  ShardedMap(const ShardedMap&) = delete;
  ShardedMap& operator=(const ShardedMap&) = delete;

  // Runs fn(const Map&) under the shared lock of the key's shard and returns its result.
  template <class Q, class F>
  decltype(auto) with_shard_shared(const Q& key, F&& fn) const {
    const Shard& s = shard_for(key);
    std::shared_lock lock(s.mu);
    return std::forward<F>(fn)(s.map);
  }

  // Runs fn(Map&) under the exclusive lock of the key's shard and returns its result.
  template <class Q, class F>
  decltype(auto) with_shard_exclusive(const Q& key, F&& fn) {
    Shard& s = shard_for(key);
    std::unique_lock lock(s.mu);
    return std::forward<F>(fn)(s.map);
  }

  // A copy of the value, or nullopt.
  template <class Q>
  std::optional<V> get(const Q& key) const {
    return with_shard_shared(key, [&](const Map& m) -> std::optional<V> {
      auto it = m.find(key);
      if (it == m.end()) return std::nullopt;
      return it->second;
    });
  }

  template <class Q>
  bool contains(const Q& key) const {
    return with_shard_shared(key, [&](const Map& m) { return m.find(key) != m.end(); });
  }

  // Inserts or replaces.
  void insert_or_assign(K key, V value) {
    Shard& s = shard_for(key);
    std::unique_lock lock(s.mu);
    s.map.insert_or_assign(std::move(key), std::move(value));
  }

  // Removes the entry and hands it back, or nullopt when absent.
  template <class Q>
  std::optional<V> remove(const Q& key) {
    return with_shard_exclusive(key, [&](Map& m) -> std::optional<V> {
      auto it = m.find(key);
      if (it == m.end()) return std::nullopt;
      std::optional<V> out(std::move(it->second));
      m.erase(it);
      return out;
    });
  }

  // Sum of the shards' sizes, each read under its shared lock.
  std::size_t size() const {
    std::size_t n = 0;
    for (const Shard& s : shards_) {
      std::shared_lock lock(s.mu);
      n += s.map.size();
    }
    return n;
  }

  // Visits the shards one after another: fn(const Map&) under each shard's shared lock.
  template <class F>
  void for_each_shard_shared(F&& fn) const {
    for (const Shard& s : shards_) {
      std::shared_lock lock(s.mu);
      fn(s.map);
    }
  }

  // Visits the shards one after another: fn(Map&) under each shard's exclusive lock.
  template <class F>
  void for_each_shard_exclusive(F&& fn) {
    for (Shard& s : shards_) {
      std::unique_lock lock(s.mu);
      fn(s.map);
    }
  }

 private:
  struct alignas(64) Shard {
    mutable std::shared_mutex mu;
    Map map;  // guarded by mu
  };

  template <class Q>
  static std::size_t shard_index(const Q& key) {
    const std::uint64_t h = static_cast<std::uint64_t>(Hash{}(key)) * 0x9E3779B97F4A7C15ull;
    return static_cast<std::size_t>(h >> 40) & (kShardCount - 1);
  }
  template <class Q>
  Shard& shard_for(const Q& key) {
    return shards_[shard_index(key)];
  }
  template <class Q>
  const Shard& shard_for(const Q& key) const {
    return shards_[shard_index(key)];
  }

  std::array<Shard, kShardCount> shards_;
};

}  // namespace kavrel
