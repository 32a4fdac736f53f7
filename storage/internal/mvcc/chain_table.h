// ChainTable: the memtable's map from key to version chain, split into 64 shards, each an
// open-addressing hash table (linear probing, backward-shift deletion) of chain heads behind its
// own reader-writer lock.
//
// A slot is one word: the head record's address in the low 48 bits and 16 bits of the key's hash
// above them, so a probe compares keys only when those bits match; 0 is a free slot. The key is
// read from the head record, so the table stores no key of its own. A shard grows by half when
// it is 4/5 full; its capacity need not be a power of two (a hash maps to a slot by a
// multiply-shift). In AddressSanitizer builds the hash bits stay zero: the leak checker finds a
// record only through a word that holds its plain address, and would report every chain of a
// live table as leaked.
//
// Ownership: the table owns the chains it holds (its destructor frees them). Callers change a
// chain by adopting its head into a VersionChain and storing the new head back (set_head) under
// the shard's exclusive lock. Every operation holds at most one shard lock; a callback must not
// call back into the table.
#pragma once

#include <xxhash.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <utility>

#include "core/bytes.h"
#include "core/version_chain.h"

// GCC names an AddressSanitizer build by a macro, Clang by a feature test.
#if defined(__SANITIZE_ADDRESS__)
#define KAVREL_LEAK_CHECKED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KAVREL_LEAK_CHECKED 1
#endif
#endif
#ifndef KAVREL_LEAK_CHECKED
#define KAVREL_LEAK_CHECKED 0
#endif

namespace kavrel {

// One shard's hash table. Not synchronised.
class ChainShard {
 public:
  static constexpr std::size_t kNotFound = static_cast<std::size_t>(-1);

  ChainShard() = default;
  ChainShard(const ChainShard&) = delete;
  ChainShard& operator=(const ChainShard&) = delete;
  ~ChainShard() {
    for (std::size_t i = 0; i < capacity_; ++i) {
      if (slots_[i] != 0) (void)VersionChain::adopt(record(slots_[i]));
    }
  }

  static std::uint64_t hash_of(BytesView key) { return XXH3_64bits(key.data(), key.size()); }

  // The slot of key's chain, or kNotFound.
  std::size_t find(BytesView key, std::uint64_t hash) const {
    if (size_ == 0) return kNotFound;
    const std::uint64_t tag = tag_of(hash);
    for (std::size_t i = home(hash, capacity_);; i = i + 1 == capacity_ ? 0 : i + 1) {
      const std::uint64_t s = slots_[i];
      if (s == 0) return kNotFound;
      if ((s >> kTagShift) == tag && record(s)->key() == key) return i;
    }
  }

  // Adds the chain of a key that has none yet (the caller checked with find()); returns its slot.
  std::size_t insert(VersionRecord* head, std::uint64_t hash) {
    if ((size_ + 1) * 5 > capacity_ * 4) grow();
    ++size_;
    return place(slots_.get(), capacity_, pack(head, hash));
  }

  VersionRecord* head(std::size_t i) const { return record(slots_[i]); }
  // Replaces the head of the chain in slot i by a new head record of the same key.
  void set_head(std::size_t i, VersionRecord* head) {
    slots_[i] = (slots_[i] & ~kAddressMask) | address(head);
  }

  // Removes slot i's chain from the table and hands back its head (the caller frees it).
  VersionRecord* erase(std::size_t i) {
    VersionRecord* out = record(slots_[i]);
    slots_[i] = 0;
    --size_;
    // Backward shift: move later entries of the probe run into the hole when their home slot is
    // not after it, so every entry stays reachable from its home without tombstones.
    for (std::size_t j = next(i);; j = next(j)) {
      const std::uint64_t s = slots_[j];
      if (s == 0) break;
      const std::size_t h = home(hash_of(record(s)->key()), capacity_);
      const bool stays = i <= j ? (i < h && h <= j) : (i < h || h <= j);
      if (stays) continue;
      slots_[i] = s;
      slots_[j] = 0;
      i = j;
    }
    return out;
  }

  std::size_t size() const { return size_; }
  std::size_t capacity() const { return capacity_; }

  // Calls fn(const VersionRecord* head) for every chain.
  template <class F>
  void for_each_head(F&& fn) const {
    for (std::size_t i = 0; i < capacity_; ++i) {
      if (slots_[i] != 0) fn(static_cast<const VersionRecord*>(record(slots_[i])));
    }
  }

 private:
  static constexpr int kTagShift = 48;
  static constexpr std::uint64_t kAddressMask = (std::uint64_t{1} << kTagShift) - 1;

#if KAVREL_LEAK_CHECKED
  static std::uint64_t tag_of(std::uint64_t /*hash*/) { return 0; }
#else
  static std::uint64_t tag_of(std::uint64_t hash) { return hash & 0xffff; }
#endif
  // The top 6 bits chose the shard; the next 32 choose the slot (a shard stays far below 2^32
  // slots).
  static std::size_t home(std::uint64_t hash, std::size_t capacity) {
    return static_cast<std::size_t>((((hash << 6) >> 32) * capacity) >> 32);
  }
  static std::uint64_t address(VersionRecord* r) {
    const auto a = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(r));
    if ((a & ~kAddressMask) != 0) std::abort();  // user-space addresses fit in 48 bits
    return a;
  }
  static std::uint64_t pack(VersionRecord* r, std::uint64_t hash) {
    return (tag_of(hash) << kTagShift) | address(r);
  }
  static VersionRecord* record(std::uint64_t slot) {
    // NOLINTNEXTLINE(performance-no-int-to-ptr): a slot packs the address with hash bits
    return reinterpret_cast<VersionRecord*>(static_cast<std::uintptr_t>(slot & kAddressMask));
  }
  std::size_t next(std::size_t i) const { return i + 1 == capacity_ ? 0 : i + 1; }

  static std::size_t place(std::uint64_t* slots, std::size_t capacity, std::uint64_t s) {
    std::size_t i = home(hash_of(record(s)->key()), capacity);
    while (slots[i] != 0) i = i + 1 == capacity ? 0 : i + 1;
    slots[i] = s;
    return i;
  }

  void grow() {
    const std::size_t capacity = capacity_ < 16 ? 16 : capacity_ + capacity_ / 2;
    auto slots = std::make_unique<std::uint64_t[]>(capacity);  // zeroed: all free
    for (std::size_t i = 0; i < capacity_; ++i) {
      if (slots_[i] != 0) place(slots.get(), capacity, slots_[i]);
    }
    slots_ = std::move(slots);
    capacity_ = capacity;
  }

  std::unique_ptr<std::uint64_t[]> slots_;
  std::size_t capacity_ = 0;
  std::size_t size_ = 0;
};

class ChainTable {
 public:
  static constexpr std::size_t kShardCount = 64;

  // Runs fn(const ChainShard&) under the shared lock of the hash's shard.
  template <class F>
  decltype(auto) with_shard_shared(std::uint64_t hash, F&& fn) const {
    const Shard& s = shards_[hash >> 58];
    std::shared_lock lock(s.mu);
    return std::forward<F>(fn)(s.table);
  }
  // Runs fn(ChainShard&) under the exclusive lock of the hash's shard.
  template <class F>
  decltype(auto) with_shard_exclusive(std::uint64_t hash, F&& fn) {
    Shard& s = shards_[hash >> 58];
    std::unique_lock lock(s.mu);
    return std::forward<F>(fn)(s.table);
  }
  // Visits the shards one after another: fn(const ChainShard&) under each shared lock.
  template <class F>
  void for_each_shard_shared(F&& fn) const {
    for (const Shard& s : shards_) {
      std::shared_lock lock(s.mu);
      fn(s.table);
    }
  }

  bool contains(BytesView key) const {
    const std::uint64_t hash = ChainShard::hash_of(key);
    return with_shard_shared(
        hash, [&](const ChainShard& t) { return t.find(key, hash) != ChainShard::kNotFound; });
  }
  // Chains in all shards, each shard read under its shared lock.
  std::size_t size() const {
    std::size_t n = 0;
    for_each_shard_shared([&](const ChainShard& t) { n += t.size(); });
    return n;
  }

 private:
  static_assert(kShardCount == 64, "with_shard_* take the top 6 bits of the hash");
  struct alignas(64) Shard {
    mutable std::shared_mutex mu;
    ChainShard table;  // guarded by mu
  };
  std::array<Shard, kShardCount> shards_;
};

}  // namespace kavrel
