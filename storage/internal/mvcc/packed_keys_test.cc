#include "storage/internal/mvcc/packed_keys.h"

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace kavrel {
namespace {

// Keys of every length class: empty, short, one byte under and over a one-byte length, and
// longer than a chunk, with any byte values.
std::vector<Bytes> mixed_keys(std::mt19937_64& rng, std::size_t n) {
  const std::size_t lengths[] = {0, 1, 2, 16, 127, 128, 300, PackedKeys::kChunkBytes + 5};
  std::vector<Bytes> keys;
  for (std::size_t i = 0; i < n; ++i) {
    Bytes k(lengths[rng() % 7 == 0 ? rng() % 8 : rng() % 4], '\0');
    for (char& c : k) c = "ab\0\xff"[rng() % 4];
    keys.push_back(std::move(k));
  }
  return keys;
}

TEST(PackedKeysTest, GivesBackEveryKeyInOrder) {
  std::mt19937_64 rng(1);
  const std::vector<Bytes> keys = mixed_keys(rng, 5'000);
  PackedKeys packed;
  for (const Bytes& k : keys) packed.push_back(k);
  ASSERT_EQ(packed.size(), keys.size());
  std::vector<Bytes> got;
  packed.for_each([&](BytesView k) { got.emplace_back(k); });
  EXPECT_EQ(got, keys);

  PackedKeys other;
  other.swap(packed);
  EXPECT_TRUE(packed.empty());
  EXPECT_EQ(other.size(), keys.size());
}

TEST(SortedKeysTest, LowerBoundAndWalkMatchASortedVector) {
  std::mt19937_64 rng(2);
  for (std::size_t n : {0, 1, 15, 16, 17, 1'000}) {
    SCOPED_TRACE(n);
    std::vector<Bytes> keys = mixed_keys(rng, n);
    std::sort(keys.begin(), keys.end());
    keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
    SortedKeys sorted;
    for (const Bytes& k : keys) sorted.push_back(k);
    ASSERT_EQ(sorted.size(), keys.size());
    std::vector<Bytes> walked;
    for (SortedKeys::Cursor c = sorted.begin(); !c.done(); c.next()) walked.emplace_back(c.key());
    ASSERT_EQ(walked, keys);
    std::vector<Bytes> probes = mixed_keys(rng, 200);
    probes.insert(probes.end(), keys.begin(), keys.end());
    for (const Bytes& p : probes) {
      const auto want = std::lower_bound(keys.begin(), keys.end(), p);
      const SortedKeys::Cursor got = sorted.lower_bound(p);
      ASSERT_EQ(got.done(), want == keys.end());
      if (!got.done()) {
        ASSERT_EQ(got.key(), *want);
      }
    }
  }
}

}  // namespace
}  // namespace kavrel
