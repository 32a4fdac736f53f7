#include "core/sharded_map.h"

#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace kavrel {
namespace {

TEST(ShardedMapTest, InsertGetRemoveSize) {
  ShardedMap<std::string, int> m;
  for (int i = 0; i < 1000; ++i) m.insert_or_assign(std::to_string(i), i);
  EXPECT_EQ(m.size(), 1000u);
  EXPECT_EQ(m.get(std::string_view("42")), 42);
  m.insert_or_assign("42", -1);
  EXPECT_EQ(m.get(std::string("42")), -1);
  EXPECT_EQ(m.remove(std::string_view("42")), -1);
  EXPECT_FALSE(m.remove(std::string_view("42")));
  EXPECT_FALSE(m.contains(std::string_view("42")));
  std::size_t walked = 0;
  m.for_each_shard_shared([&](const auto& shard) { walked += shard.size(); });
  EXPECT_EQ(walked, 999u);
}

TEST(ShardedMapTest, ConcurrentIncrementsUnderShardLock) {
  ShardedMap<std::uint64_t, int> m;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (std::uint64_t k = 0; k < 2000; ++k) {
        m.with_shard_exclusive(k % 50, [&](auto& shard) { ++shard[k % 50]; });
      }
    });
  }
  for (auto& t : threads) t.join();
  int total = 0;
  m.for_each_shard_shared([&](const auto& shard) {
    for (const auto& [k, v] : shard) total += v;
  });
  EXPECT_EQ(total, 8000);
}

}  // namespace
}  // namespace kavrel
