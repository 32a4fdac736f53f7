// SsiBloomFilter: the small bloom filter over a transaction's read or write keys, used by the
// serializable-snapshot validation to rule out most conflicts by comparing words.
//
// Sizing: on the first insertion the filter allocates ceil(ceil(expected_items * 9.6) / 64)
// zeroed 64-bit words; the bit-position modulus m is the number of words times 64 (64 expected
// keys: 615 bits asked for, 10 words, m = 640). Bit p lives in word p / 64 at bit p % 64, counted
// from the least significant bit.
//
// Positions of a key: h1 = SipHash-1-3 (keys 0, 0) over u64le(key length) followed by the key;
// h2 = XXH3-64 (seed 0) over the key, 0 for the empty key; position i = (h1 + i * h2) mod m for
// i in 0 .. num_hashes-1, the sum wrapping modulo 2^64.
//
// Not synchronised; a filter belongs to one transaction or one SSI record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/bytes.h"

namespace kavrel {

class SsiBloomFilter {
 public:
  static constexpr std::uint64_t kExpectedItems = 64;
  static constexpr std::uint32_t kNumHashes = 7;
  static constexpr double kBitsPerItem = 9.6;

  // Unallocated, sized for 64 keys with 7 hash functions (the size every filter of the system
  // uses).
  SsiBloomFilter() = default;
  SsiBloomFilter(std::uint64_t expected_items, std::uint32_t num_hashes)
      : expected_items_(expected_items), num_hashes_(num_hashes) {}

  // Allocates the words if needed, then sets the key's bits.
  void insert(BytesView key);
  // False when unallocated; otherwise true exactly when all of the key's bits are set.
  bool may_contain(BytesView key) const;
  // True when both filters are allocated and some word of one ANDed with the same word of the
  // other (over the shorter length) is non-zero.
  bool intersects(const SsiBloomFilter& other) const;

  bool allocated() const { return !words_.empty(); }
  // The words (empty while unallocated).
  std::span<const std::uint64_t> words() const { return words_; }
  // The modulus m: words * 64, or 0 while unallocated.
  std::uint64_t bit_count() const { return words_.size() * 64; }
  std::uint64_t expected_items() const { return expected_items_; }
  std::uint32_t num_hashes() const { return num_hashes_; }
  // The number of words the first insertion allocates.
  std::size_t word_count_for_size() const;

  // The two base hashes of a key, exposed so that tests can recompute positions.
  static std::uint64_t hash1(BytesView key);
  static std::uint64_t hash2(BytesView key);

 private:
  std::vector<std::uint64_t> words_;  // empty = unallocated
  std::uint64_t expected_items_ = kExpectedItems;
  std::uint32_t num_hashes_ = kNumHashes;
};

}  // namespace kavrel
