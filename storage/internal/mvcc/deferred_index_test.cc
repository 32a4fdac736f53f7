#include "storage/internal/mvcc/deferred_index.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace kavrel {
namespace {

std::vector<Bytes> random_keys(std::mt19937_64& rng, std::size_t n) {
  // Short keys over a small alphabet, so that duplicates and shared prefixes are common.
  std::vector<Bytes> keys;
  for (std::size_t i = 0; i < n; ++i) {
    Bytes k;
    const std::size_t len = rng() % 6;
    for (std::size_t j = 0; j < len; ++j) k.push_back("ab\0\xff"[rng() % 4]);
    keys.push_back(k);
  }
  return keys;
}

std::vector<Bytes> sorted_unique(std::vector<Bytes> keys) {
  std::sort(keys.begin(), keys.end());
  keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
  return keys;
}

TEST(DeferredSortedIndexTest, RangeIsSortedAndUniqueWhateverIsPending) {
  // The same keys reach the index with 10,000+ pending (compaction flagged), with fewer pending,
  // and with none pending (already merged); every range gives the same result.
  std::mt19937_64 rng(1);
  const std::vector<Bytes> keys = random_keys(rng, 12'000);
  const std::vector<Bytes> want = sorted_unique(keys);

  DeferredSortedIndex many, few, none;
  for (const Bytes& k : keys) many.insert(k);
  EXPECT_TRUE(many.needs_compact());
  EXPECT_EQ(many.pending_size(), 12'000u);

  for (std::size_t i = 0; i < keys.size(); ++i) {
    few.insert(keys[i]);
    if (i % 5'000 == 4'999) few.compact();  // leaves 2,000 pending
  }
  EXPECT_FALSE(few.needs_compact());
  EXPECT_EQ(few.pending_size(), 2'000u);

  for (const Bytes& k : keys) none.insert(k);
  none.compact();
  EXPECT_EQ(none.pending_size(), 0u);

  for (DeferredSortedIndex* index : {&many, &few, &none}) {
    EXPECT_EQ(index->range_from(""), want);
    EXPECT_EQ(index->pending_size(), 0u);
    EXPECT_FALSE(index->needs_compact());
    EXPECT_EQ(index->sorted_size(), want.size());
  }
  EXPECT_EQ(many.compaction_count(), 1u);
  EXPECT_EQ(few.compaction_count(), 3u);
  EXPECT_EQ(none.compaction_count(), 1u);
  none.compact();  // nothing pending: not a compaction
  EXPECT_EQ(none.compaction_count(), 1u);
}

TEST(DeferredSortedIndexTest, NeedsCompactIsSetAtTheThreshold) {
  DeferredSortedIndex index;
  for (std::size_t i = 0; i + 1 < DeferredSortedIndex::kCompactThreshold; ++i) {
    ASSERT_FALSE(index.insert("k"));
  }
  EXPECT_FALSE(index.needs_compact());
  EXPECT_TRUE(index.insert("k"));  // 10,000 pending, nothing sorted: time to compact
  EXPECT_TRUE(index.needs_compact());
  EXPECT_EQ(index.compaction_count(), 0u);  // insert itself never compacts
  EXPECT_EQ(index.range_from(""), std::vector<Bytes>{"k"});
}

TEST(DeferredSortedIndexTest, InsertAsksForCompactionOncePendingOutgrowsSorted) {
  DeferredSortedIndex index;
  for (int i = 0; i < 20'000; ++i) (void)index.insert("k" + std::to_string(i));
  index.compact();
  ASSERT_EQ(index.sorted_size(), 20'000u);
  // Pending may now grow as large as sorted before a compaction is due.
  for (int i = 0; i < 19'999; ++i) ASSERT_FALSE(index.insert("again"));
  EXPECT_TRUE(index.needs_compact());
  EXPECT_TRUE(index.insert("again"));
  index.try_compact();
  EXPECT_EQ(index.pending_size(), 0u);
  EXPECT_EQ(index.sorted_size(), 20'001u);
}

TEST(DeferredSortedIndexTest, RangeFromStartsAtTheFirstKeyNotBelowStart) {
  DeferredSortedIndex index;
  for (const char* k : {"b", "a", "ab", "abc", "b\0", "c", "a"}) index.insert(k);
  index.insert(Bytes("b\0", 2));
  struct Case {
    Bytes start;
    std::vector<Bytes> want;
  };
  const Case cases[] = {
      {"", {"a", "ab", "abc", "b", Bytes("b\0", 2), "c"}},
      {"ab", {"ab", "abc", "b", Bytes("b\0", 2), "c"}},
      {"abd", {"b", Bytes("b\0", 2), "c"}},
      {"b", {"b", Bytes("b\0", 2), "c"}},
      {Bytes("b\0", 2), {Bytes("b\0", 2), "c"}},
      {"d", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.start);
    EXPECT_EQ(index.range_from(c.start), c.want);
  }
}

TEST(DeferredSortedIndexTest, RangePrefixEqualsFilteredRangeFrom) {
  std::mt19937_64 rng(2);
  for (int round = 0; round < 20; ++round) {
    DeferredSortedIndex index;
    const std::vector<Bytes> keys = random_keys(rng, 1 + rng() % 3'000);
    for (std::size_t i = 0; i < keys.size(); ++i) {
      index.insert(keys[i]);
      if (rng() % 500 == 0) index.compact();
    }
    for (const Bytes& prefix : random_keys(rng, 30)) {
      std::vector<Bytes> want;
      for (Bytes& k : index.range_from(prefix)) {
        if (!k.starts_with(prefix)) break;
        want.push_back(std::move(k));
      }
      ASSERT_EQ(index.range_prefix(prefix), want) << "prefix length " << prefix.size();
    }
  }
}

// A liveness check over a set the test controls.
struct LiveSet {
  std::mutex mu;
  std::set<Bytes> live;
  bool contains(BytesView k) {
    std::scoped_lock lock(mu);
    return live.count(Bytes(k)) != 0;
  }
};

TEST(DeferredSortedIndexTest, RemovedKeysLeaveAtTheNextCompactionOnlyIfStillGone) {
  LiveSet live;
  DeferredSortedIndex index([&](BytesView k) { return live.contains(k); });
  for (const char* k : {"a", "b", "c", "d"}) {
    index.insert(k);
    live.live.insert(k);
  }
  EXPECT_EQ(index.range_prefix("").size(), 4u);

  live.live.erase("a");
  live.live.erase("b");
  index.remove_keys({"a", "b", "c"});  // "c" is still live: it stays
  EXPECT_EQ(index.removal_candidates(), 3u);
  EXPECT_EQ(index.sorted_size(), 4u);  // nothing happens before a compaction
  EXPECT_EQ(index.range_prefix(""), (std::vector<Bytes>{"c", "d"}));
  EXPECT_EQ(index.removal_candidates(), 0u);

  // A candidate that is also pending again (a writer is re-creating it) stays, and is checked
  // again at the next compaction.
  live.live.erase("d");
  index.insert("d");
  index.remove_keys({"d"});
  EXPECT_EQ(index.range_from(""), (std::vector<Bytes>{"c", "d"}));
  EXPECT_EQ(index.removal_candidates(), 1u);
  index.insert("e");
  live.live.insert("e");
  EXPECT_EQ(index.range_from(""), (std::vector<Bytes>{"c", "e"}));
  EXPECT_EQ(index.removal_candidates(), 0u);
}

TEST(DeferredSortedIndexTest, WithoutLivenessCheckKeysAreNeverRemoved) {
  DeferredSortedIndex index;
  index.insert("a");
  index.remove_keys({"a"});
  EXPECT_EQ(index.range_from(""), std::vector<Bytes>{"a"});
}

TEST(DeferredSortedIndexTest, RangeWaitsForACompactionInFlight) {
  // A compaction has taken "x" out of pending and is still working (held inside the liveness
  // check); a range that starts now must still return "x".
  std::mutex mu;
  std::condition_variable cv;
  bool checking = false, release = false;
  DeferredSortedIndex index([&](BytesView) {
    std::unique_lock lock(mu);
    checking = true;
    cv.notify_all();
    cv.wait(lock, [&] { return release; });
    return false;
  });
  index.insert("x");
  index.remove_keys({"dead"});
  std::thread compactor([&] { index.compact(); });
  {
    std::unique_lock lock(mu);
    cv.wait(lock, [&] { return checking; });
  }
  std::vector<Bytes> got;
  std::thread reader([&] { got = index.range_from(""); });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // let the reader try to run ahead
  {
    std::scoped_lock lock(mu);
    release = true;
  }
  cv.notify_all();
  compactor.join();
  reader.join();
  EXPECT_EQ(got, std::vector<Bytes>{"x"});
}

TEST(DeferredSortedIndexTest, ConcurrentInsertsAndRangesLoseNothing) {
  // Every key inserted before a range call started is in that range's result, while writers
  // also compact when pending outgrows the sorted keys.
  DeferredSortedIndex index;
  std::atomic<int> published{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 8'000; ++i) {
        if (index.insert("w" + std::to_string(t) + "/" + std::to_string(i))) index.try_compact();
        if (t == 0) published.store(i + 1, std::memory_order_release);
      }
    });
  }
  threads.emplace_back([&] {
    for (int round = 0; round < 100; ++round) {
      const int n = published.load(std::memory_order_acquire);
      const std::vector<Bytes> got = index.range_prefix("w0/");
      for (std::size_t i = 1; i < got.size(); ++i) ASSERT_LT(got[i - 1], got[i]);
      int published_seen = 0;  // keys are distinct, so n of them must be w0/0 .. w0/n-1
      for (const Bytes& k : got) published_seen += std::stoi(k.substr(3)) < n ? 1 : 0;
      ASSERT_EQ(published_seen, n);
    }
  });
  for (auto& t : threads) t.join();
  EXPECT_EQ(index.range_prefix("w1/").size(), 8'000u);
}

}  // namespace
}  // namespace kavrel
