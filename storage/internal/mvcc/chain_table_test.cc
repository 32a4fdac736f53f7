#include "storage/internal/mvcc/chain_table.h"

#include <random>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace kavrel {
namespace {

// One shard against a std::set: inserts, lookups and removals in a random order, so that probe
// runs wrap around the end of the slots and backward shifts move entries across it.
TEST(ChainTableTest, ShardFindsExactlyTheKeysItHolds) {
  std::mt19937_64 rng(5);
  ChainShard shard;
  std::set<Bytes> model;
  auto key_of = [](std::uint64_t k) { return "key/" + std::to_string(k); };
  for (int step = 0; step < 40'000; ++step) {
    const Bytes key = key_of(rng() % 3'000);
    const std::uint64_t hash = ChainShard::hash_of(key);
    const std::size_t i = shard.find(key, hash);
    ASSERT_EQ(i != ChainShard::kNotFound, model.count(key) == 1) << key;
    if (i == ChainShard::kNotFound) {
      VersionChain chain(key, "v", 1);
      const std::size_t at = shard.insert(chain.release(), hash);
      ASSERT_EQ(shard.head(at)->key(), key);
      model.insert(key);
    } else if (rng() % 3 != 0) {
      ASSERT_EQ(shard.head(i)->key(), key);
      const VersionChain gone = VersionChain::adopt(shard.erase(i));
      ASSERT_EQ(gone.key(), key);
      model.erase(key);
    }
    ASSERT_EQ(shard.size(), model.size());
    ASSERT_LE(shard.size() * 5, shard.capacity() * 4);
    if (step % 4'000 == 0) {
      for (std::uint64_t k = 0; k < 3'000; ++k) {
        const Bytes probe = key_of(k);
        const std::size_t at = shard.find(probe, ChainShard::hash_of(probe));
        ASSERT_EQ(at != ChainShard::kNotFound, model.count(probe) == 1) << probe;
        if (at != ChainShard::kNotFound) {
          ASSERT_EQ(shard.head(at)->key(), probe);
        }
      }
    }
  }
  std::size_t walked = 0;
  shard.for_each_head([&](const VersionRecord* head) {
    EXPECT_EQ(model.count(Bytes(head->key())), 1u);
    ++walked;
  });
  EXPECT_EQ(walked, model.size());
}

TEST(ChainTableTest, SetHeadKeepsTheSlotFindable) {
  ChainShard shard;
  const std::uint64_t hash = ChainShard::hash_of("k");
  const std::size_t i = shard.insert(VersionChain("k", "a", 1).release(), hash);
  VersionChain chain = VersionChain::adopt(shard.head(i));
  ASSERT_EQ(chain.write("b", 1), ChainWrite::Replaced);  // a new head record
  shard.set_head(i, chain.release());
  ASSERT_EQ(shard.find("k", hash), i);
  EXPECT_EQ(shard.head(i)->value(), "b");
}

TEST(ChainTableTest, ShardsSplitTheKeysAndCountThemAll) {
  ChainTable table;
  for (int k = 0; k < 1'000; ++k) {
    const Bytes key = "k" + std::to_string(k);
    const std::uint64_t hash = ChainShard::hash_of(key);
    table.with_shard_exclusive(
        hash, [&](ChainShard& s) { s.insert(VersionChain(key, std::nullopt, 1).release(), hash); });
  }
  EXPECT_EQ(table.size(), 1'000u);
  EXPECT_TRUE(table.contains("k999"));
  EXPECT_FALSE(table.contains("k1000"));
  std::size_t used = 0;
  table.for_each_shard_shared([&](const ChainShard& s) { used += s.size() > 0 ? 1 : 0; });
  EXPECT_GT(used, ChainTable::kShardCount / 2);
}

}  // namespace
}  // namespace kavrel
