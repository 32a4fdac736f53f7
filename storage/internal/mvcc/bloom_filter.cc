#include "storage/internal/mvcc/bloom_filter.h"

#include <xxhash.h>

#include <algorithm>
#include <cmath>

#include "storage/internal/mvcc/siphash.h"

namespace kavrel {

std::uint64_t SsiBloomFilter::hash1(BytesView key) {
  SipHasher13 h(0, 0);
  h.write_u64_le(key.size());
  h.write(key);
  return h.finish();
}

std::uint64_t SsiBloomFilter::hash2(BytesView key) {
  return key.empty() ? 0 : XXH3_64bits(key.data(), key.size());
}

std::size_t SsiBloomFilter::word_count_for_size() const {
  const auto bits =
      static_cast<std::uint64_t>(std::ceil(static_cast<double>(expected_items_) * kBitsPerItem));
  // At least one word, so that the modulus is never zero.
  return std::max<std::size_t>(1, static_cast<std::size_t>((bits + 63) / 64));
}

void SsiBloomFilter::insert(BytesView key) {
  if (words_.empty()) words_.assign(word_count_for_size(), 0);
  const std::uint64_t m = bit_count();
  const std::uint64_t h1 = hash1(key);
  const std::uint64_t h2 = hash2(key);
  for (std::uint32_t i = 0; i < num_hashes_; ++i) {
    const std::uint64_t pos = (h1 + i * h2) % m;
    words_[pos / 64] |= std::uint64_t{1} << (pos % 64);
  }
}

bool SsiBloomFilter::may_contain(BytesView key) const {
  if (words_.empty()) return false;
  const std::uint64_t m = bit_count();
  const std::uint64_t h1 = hash1(key);
  const std::uint64_t h2 = hash2(key);
  for (std::uint32_t i = 0; i < num_hashes_; ++i) {
    const std::uint64_t pos = (h1 + i * h2) % m;
    if ((words_[pos / 64] & (std::uint64_t{1} << (pos % 64))) == 0) return false;
  }
  return true;
}

bool SsiBloomFilter::intersects(const SsiBloomFilter& other) const {
  const std::size_t n = std::min(words_.size(), other.words_.size());
  for (std::size_t i = 0; i < n; ++i) {
    if ((words_[i] & other.words_[i]) != 0) return true;
  }
  return false;
}

}  // namespace kavrel
