#include "storage/internal/mvcc/bloom_filter.h"

#include <xxhash.h>

#include <bit>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "storage/internal/mvcc/siphash.h"

namespace kavrel {
namespace {

// The message 00 01 02 .. n-1.
std::string counting_bytes(std::size_t n) {
  std::string s;
  for (std::size_t i = 0; i < n; ++i) s.push_back(static_cast<char>(i));
  return s;
}

TEST(SipHashTest, ReferenceVectorsOfSipHash24) {
  // The reference vectors: key 00..0f, message 00..n-1.
  const std::uint64_t k0 = 0x0706050403020100ull, k1 = 0x0f0e0d0c0b0a0908ull;
  struct Case {
    std::size_t len;
    std::uint64_t want;
  };
  const Case cases[] = {
      {0, 0x726fdb47dd0e0e31ull},  {1, 0x74f839c593dc67fdull},  {2, 0x0d6c8009d9a94f5aull},
      {3, 0x85676696d7fb7e2dull},  {4, 0xcf2794e0277187b7ull},  {5, 0x18765564cd99a68dull},
      {6, 0xcbc9466e58fee3ceull},  {7, 0xab0200f58b01d137ull},  {8, 0x93f5f5799a932462ull},
      {15, 0xa129ca6149be45e5ull}, {63, 0x958a324ceb064572ull},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.len);
    EXPECT_EQ(siphash_2_4(k0, k1, counting_bytes(c.len)), c.want);
  }
}

TEST(SipHashTest, SipHash13WithZeroKeys) {
  // SipHash-1-3 under keys (0, 0), as the filter uses it; values from an independent
  // implementation.
  struct Case {
    std::size_t len;
    std::uint64_t want;
  };
  const Case cases[] = {
      {1, 0x68a914128e01e473ull},  {7, 0x2f098ab0c751325aull},  {8, 0xead411e67ebe2eeaull},
      {9, 0x75927f9d95124362ull},  {15, 0xf30eb725bb91c9eaull}, {16, 0x8972188433a5c5b7ull},
      {63, 0x385d3e39e5f37359ull},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.len);
    EXPECT_EQ(siphash_1_3(0, 0, counting_bytes(c.len)), c.want);
  }
}

TEST(SipHashTest, IncrementalWritesEqualOneShot) {
  const std::string msg = counting_bytes(40);
  const std::uint64_t whole = siphash_1_3(3, 4, msg);
  for (std::size_t a = 0; a <= msg.size(); a += 3) {
    for (std::size_t b = a; b <= msg.size(); b += 5) {
      SipHasher13 h(3, 4);
      h.write(BytesView(msg).substr(0, a));
      h.write(BytesView(msg).substr(a, b - a));
      h.write(BytesView(msg).substr(b));
      ASSERT_EQ(h.finish(), whole) << a << " " << b;
    }
  }
}

TEST(SsiBloomFilterTest, FirstHashIsSipHash13OverLengthPrefixedKey) {
  // Independent values of SipHash-1-3 (keys 0) over u64le(len) followed by the key.
  EXPECT_EQ(SsiBloomFilter::hash1(""), 0xbd60acb658c79e45ull);
  EXPECT_EQ(SsiBloomFilter::hash1("a"), 0xbeb9a6bbf61b58b4ull);
  EXPECT_EQ(SsiBloomFilter::hash1("hello world"), 0x846d8f5b292efb98ull);
  EXPECT_EQ(SsiBloomFilter::hash1(std::string(40, 'x')), 0x59a22a3bb2fcbb89ull);
  EXPECT_EQ(SsiBloomFilter::hash2(""), 0u);
  EXPECT_EQ(SsiBloomFilter::hash2("abc"), XXH3_64bits("abc", 3));
}

TEST(SsiBloomFilterTest, UnallocatedFilterAnswersFalse) {
  const SsiBloomFilter f;
  EXPECT_FALSE(f.allocated());
  EXPECT_TRUE(f.words().empty());
  EXPECT_EQ(f.bit_count(), 0u);
  EXPECT_FALSE(f.may_contain(""));
  EXPECT_FALSE(f.may_contain("key"));
  EXPECT_EQ(f.expected_items(), 64u);
  EXPECT_EQ(f.num_hashes(), 7u);
}

TEST(SsiBloomFilterTest, SixtyFourKeysGetTenWordsAndModulus640) {
  SsiBloomFilter f;
  EXPECT_EQ(f.word_count_for_size(), 10u);  // ceil(64 * 9.6) = 615 bits -> 10 words
  f.insert("k");
  EXPECT_EQ(f.words().size(), 10u);
  EXPECT_EQ(f.bit_count(), 640u);
  EXPECT_TRUE(f.may_contain("k"));
}

TEST(SsiBloomFilterTest, SetBitsAreExactlyTheKeysPositionsModulo640) {
  const std::string keys[] = {"", "a", "user/42", std::string(100, '\0'), "\xff\xfe"};
  for (const std::string& key : keys) {
    SCOPED_TRACE(key.size());
    SsiBloomFilter f;
    f.insert(key);
    const std::uint64_t h1 = SsiBloomFilter::hash1(key), h2 = SsiBloomFilter::hash2(key);
    std::set<std::uint64_t> want;
    for (std::uint64_t i = 0; i < 7; ++i) want.insert((h1 + i * h2) % 640);
    std::set<std::uint64_t> got;
    for (std::size_t w = 0; w < f.words().size(); ++w) {
      for (int b = 0; b < 64; ++b) {
        if ((f.words()[w] >> b) & 1) got.insert(w * 64 + b);
      }
    }
    EXPECT_EQ(got, want);
  }
  SsiBloomFilter empty_key;
  empty_key.insert("");  // h2 = 0: all seven positions coincide
  int bits = 0;
  for (std::uint64_t w : empty_key.words()) bits += std::popcount(w);
  EXPECT_EQ(bits, 1);
}

TEST(SsiBloomFilterTest, NoFalseNegatives) {
  for (int round = 0; round < 200; ++round) {
    SsiBloomFilter f;
    std::vector<std::string> keys;
    for (int i = 0; i < 64 + round; ++i)
      keys.push_back("r" + std::to_string(round) + "/" + std::to_string(i));
    for (const auto& k : keys) f.insert(k);
    for (const auto& k : keys) ASSERT_TRUE(f.may_contain(k)) << k;
  }
}

TEST(SsiBloomFilterTest, FalsePositiveRateIsSmallAtDesignLoad) {
  SsiBloomFilter f;
  for (int i = 0; i < 64; ++i) f.insert("in" + std::to_string(i));
  int positives = 0;
  for (int i = 0; i < 20000; ++i) positives += f.may_contain("out" + std::to_string(i)) ? 1 : 0;
  EXPECT_LT(positives, 20000 / 20);  // about 1% expected; 5% means the positions are broken
}

TEST(SsiBloomFilterTest, IntersectsComparesWordsOverTheShorterLength) {
  SsiBloomFilter empty, a, b, c;
  a.insert("x");
  b.insert("x");
  c.insert("y");
  EXPECT_FALSE(empty.intersects(a));
  EXPECT_FALSE(a.intersects(empty));
  EXPECT_FALSE(empty.intersects(empty));
  EXPECT_TRUE(a.intersects(b));
  // "x" and "y" share no word bits unless their positions collide; compute what to expect.
  bool overlap = false;
  for (std::size_t i = 0; i < 10; ++i) overlap |= (a.words()[i] & c.words()[i]) != 0;
  EXPECT_EQ(a.intersects(c), overlap);

  // A bigger filter: only its first words are compared.
  SsiBloomFilter big(640, 7), small;
  ASSERT_EQ(big.word_count_for_size(), 96u);
  small.insert("x");
  // Find a key whose bits in the big filter all lie beyond word 9, and one with a bit in 0..9.
  for (int i = 0;; ++i) {
    SsiBloomFilter probe(640, 7);
    probe.insert("p" + std::to_string(i));
    bool low = false;
    for (std::size_t w = 0; w < 10; ++w) low |= probe.words()[w] != 0;
    if (!low) {
      EXPECT_FALSE(probe.intersects(small));
      break;
    }
  }
  SsiBloomFilter full(640, 7);
  for (int i = 0; i < 2000; ++i) full.insert(std::to_string(i));
  EXPECT_TRUE(full.intersects(small));
  EXPECT_TRUE(small.intersects(full));
}

}  // namespace
}  // namespace kavrel
