#include "storage/internal/mvcc/memtable.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <limits>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace kavrel {
namespace {

using Pairs = std::vector<std::pair<Bytes, Bytes>>;

constexpr const char* kConflict = "Internal error: Write-write conflict detected";

// Writes and commits in one step: one transaction, one key.
void put_committed(MvccMemTable& t, std::uint64_t txn, std::uint64_t ts, const Bytes& key,
                   std::optional<Bytes> value, std::uint64_t horizon = 0) {
  auto r = value ? t.write(key, BytesView(*value), txn) : t.write(key, std::nullopt, txn);
  ASSERT_TRUE(r.has_value()) << r.error().message();
  t.commit(txn, ts, KeySet{key}, horizon);
}

TEST(MvccMemTableTest, SecondWriterIsRefusedUntilTheFirstCommitsOrIsSwept) {
  auto t = std::make_shared<MvccMemTable>();
  ASSERT_TRUE(t->write("k", "a", 1));
  auto refused = t->write("k", "b", 2);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().kind(), KavrelError::Kind::WriteConflict);
  EXPECT_EQ(refused.error().message(), kConflict);
  EXPECT_EQ(t->visible("k", 1, 1), "a");  // the refused write changed nothing
  EXPECT_FALSE(t->write("k", std::nullopt, 2));

  t->commit(1, 5, KeySet{"k"});
  ASSERT_TRUE(t->write("k", "b", 2));  // free again after the commit
  EXPECT_FALSE(t->write("k", "c", 3));
  t->sweep_uncommitted(2);
  ASSERT_TRUE(t->write("k", "c", 3));  // and after the sweep
  EXPECT_EQ(t->visible("k", 9, 6), "a");
}

// The byte figure follows the data: it grows with values and versions, shrinks when versions are
// pruned, swept or their chain dropped, and returns to zero once everything is deleted.
TEST(MvccMemTableTest, LoadedKeysAreCommittedVersionsLikeAnyOther) {
  MvccMemTable t;
  ASSERT_TRUE(t.load("a", "1", 5));
  ASSERT_TRUE(t.load("b", "2", 5));
  EXPECT_EQ(t.visible("a", 9, 5), std::nullopt) << "not before its timestamp";
  EXPECT_EQ(t.visible("a", 9, 6), "1");
  EXPECT_EQ(t.scan_prefix("", 9, 6), (Pairs{{"a", "1"}, {"b", "2"}}));
  EXPECT_EQ(t.owners_count(), 0U) << "no pending version to sweep";

  // A later transaction writes over a loaded key as over any committed one.
  ASSERT_TRUE(t.write("a", "new", 7));
  EXPECT_EQ(t.visible("a", 8, 9), "1");
  t.commit(7, 8, KeySet{Bytes("a")});
  EXPECT_EQ(t.visible("a", 9, 9), "new");
  EXPECT_EQ(t.visible("a", 9, 8), "1");

  auto twice = t.load("b", "other", 10);
  ASSERT_FALSE(twice);
  EXPECT_EQ(twice.error().kind(), KavrelError::Kind::Internal);
  EXPECT_EQ(t.visible("b", 9, 11), "2") << "a refused load changes nothing";
  EXPECT_EQ(t.version_count(), 3U);
}

TEST(MvccMemTableTest, ApproximateBytesFollowTheData) {
  MvccMemTable t;
  EXPECT_EQ(t.approx_bytes(), 0u);
  put_committed(t, 1, 1, "a", Bytes(1000, 'x'));
  const auto one = t.approx_bytes();
  EXPECT_GE(one, 1001u);
  put_committed(t, 2, 2, "a", Bytes(1000, 'y'));  // no horizon: both versions stay
  EXPECT_GE(t.approx_bytes(), one + 1000);
  put_committed(t, 3, 3, "a", Bytes(10, 'z'), /*horizon=*/4);  // the old versions are pruned
  EXPECT_LT(t.approx_bytes(), one);
  ASSERT_TRUE(t.write("b", Bytes(5000, 'p'), 4));
  EXPECT_GE(t.approx_bytes(), 5000u);
  t.sweep_uncommitted(4);
  ASSERT_TRUE(t.write("a", "v", 5));
  ASSERT_TRUE(t.write("a", Bytes(2000, 'q'), 5));  // the pending value replaced
  t.sweep_uncommitted(5);
  put_committed(t, 6, 6, "a", std::nullopt, /*horizon=*/7);  // a deletion every reader sees
  EXPECT_EQ(t.chain_count(), 1u) << "b's chain stays, empty, until compaction";
  put_committed(t, 7, 8, "b", std::nullopt, /*horizon=*/9);
  EXPECT_EQ(t.approx_bytes(), 0u);
}

TEST(MvccMemTableTest, SameTransactionRewritesKeepTheLastValue) {
  struct Case {
    const char* name;
    std::vector<std::optional<Bytes>> writes;
    std::optional<Bytes> want;
  };
  const Case cases[] = {
      {"put twice", {"a", "b"}, "b"},
      {"put after delete", {std::nullopt, "v"}, "v"},
      {"delete after put", {"v", std::nullopt}, std::nullopt},
      {"empty value", {""}, ""},
      {"empty after delete", {std::nullopt, ""}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto t = std::make_shared<MvccMemTable>();
    for (const auto& w : c.writes) {
      ASSERT_TRUE(w ? t->write("k", BytesView(*w), 7) : t->write("k", std::nullopt, 7));
    }
    EXPECT_EQ(t->visible("k", 7, 1), c.want);          // the writer sees its pending value
    EXPECT_EQ(t->visible("k", 8, 100), std::nullopt);  // nobody else does
    t->commit(7, 10, KeySet{"k"});
    EXPECT_EQ(t->visible("k", 8, 11), c.want);
    EXPECT_EQ(t->version_count(), 1u);
    EXPECT_EQ(t->scan_prefix("", 8, 11).size(), c.want ? 1u : 0u);
  }
}

TEST(MvccMemTableTest, OwnPendingDeleteHidesCommittedValue) {
  auto t = std::make_shared<MvccMemTable>();
  put_committed(*t, 1, 2, "k", "committed");
  ASSERT_TRUE(t->write("k", std::nullopt, 5));
  EXPECT_EQ(t->visible("k", 5, 10), std::nullopt);
  EXPECT_TRUE(t->scan_prefix("", 5, 10).empty());
  EXPECT_EQ(t->visible("k", 6, 10), "committed");
  t->sweep_uncommitted(5);
  EXPECT_EQ(t->visible("k", 5, 10), "committed");
}

TEST(MvccMemTableTest, VisibilityFollowsTheSnapshot) {
  auto t = std::make_shared<MvccMemTable>();
  put_committed(*t, 1, 10, "k", "v10");
  put_committed(*t, 2, 20, "k", std::nullopt);
  put_committed(*t, 3, 30, "k", "");
  struct Case {
    std::uint64_t snapshot;
    std::optional<Bytes> want;
  };
  const Case cases[] = {{10, std::nullopt}, {11, "v10"},        {20, "v10"},
                        {21, std::nullopt}, {30, std::nullopt}, {31, ""}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.snapshot);
    EXPECT_EQ(t->visible("k", 99, c.snapshot), c.want);
  }
  EXPECT_EQ(t->visible("missing", 99, 100), std::nullopt);
}

TEST(MvccMemTableTest, CommitSkipsKeysItDoesNotOwn) {
  auto t = std::make_shared<MvccMemTable>();
  ASSERT_TRUE(t->write("mine", "1", 1));
  ASSERT_TRUE(t->write("theirs", "2", 2));
  t->commit(1, 5, KeySet{"mine", "theirs", "nochain"});
  EXPECT_EQ(t->visible("mine", 9, 6), "1");
  EXPECT_EQ(t->visible("theirs", 9, 6), std::nullopt);
  EXPECT_EQ(t->visible("theirs", 2, 6), "2");  // still pending, still 2's
  EXPECT_EQ(t->chain_count(), 2u);
}

TEST(MvccMemTableTest, ScanReturnsVisibleKeysWithThePrefixInOrder) {
  auto t = std::make_shared<MvccMemTable>();
  put_committed(*t, 1, 2, "p/b", "b");
  put_committed(*t, 2, 3, "p/a", "a");
  put_committed(*t, 3, 4, "p/gone", "x");
  put_committed(*t, 4, 5, "p/gone", std::nullopt);  // deleted before the snapshot
  put_committed(*t, 5, 6, "q/other", "o");
  put_committed(*t, 6, 7, "p", "short");       // shorter than the prefix "p/"
  put_committed(*t, 7, 20, "p/late", "late");  // committed at the snapshot: invisible
  ASSERT_TRUE(t->write("p/pending", "n", 8));  // another transaction's pending write
  put_committed(*t, 9, 5, "p/empty", "");
  ASSERT_TRUE(t->write("p/aborted", "z", 10));  // aborted: only ever an aborted write
  t->sweep_uncommitted(10);

  EXPECT_EQ(t->scan_prefix("p/", 99, 20), (Pairs{{"p/a", "a"}, {"p/b", "b"}, {"p/empty", ""}}));
  EXPECT_EQ(t->scan_prefix("none", 99, 20), Pairs{});
  EXPECT_EQ(t->scan_prefix("", 99, 100), (Pairs{{"p", "short"},
                                                {"p/a", "a"},
                                                {"p/b", "b"},
                                                {"p/empty", ""},
                                                {"p/late", "late"},
                                                {"q/other", "o"}}));
  // The pending writer sees its own key.
  Pairs own = t->scan_prefix("p/p", 8, 20);
  EXPECT_EQ(own, (Pairs{{"p/pending", "n"}}));
  // Keys that only ever had an aborted or pending write stay in the index.
  const auto indexed = t->ordered_index().range_from("p/");
  EXPECT_TRUE(std::count(indexed.begin(), indexed.end(), "p/aborted"));
  EXPECT_TRUE(std::count(indexed.begin(), indexed.end(), "p/pending"));
}

TEST(MvccMemTableTest, ScanFromInPiecesShowsWhatOneScanShows) {
  // Keys with nothing visible (deleted, pending, later) count toward a piece's limit and are
  // left out of it; a key that is another key followed by "\0" comes next in order.
  using namespace std::string_literals;
  auto t = std::make_shared<MvccMemTable>();
  std::uint64_t txn = 1;
  for (const Bytes& key : {"a"s, "a\0"s, "a\0\0"s, "ab"s, "b"s, "c"s, "d"s, "e"s}) {
    put_committed(*t, txn, txn + 1, key, "v");
    ++txn;
  }
  put_committed(*t, 20, 21, "c", std::nullopt);
  ASSERT_TRUE(t->write("d", "pending", 30));
  put_committed(*t, 31, 90, "e", "late");
  const Pairs whole = t->scan_prefix("", 99, 50);
  EXPECT_EQ(whole.size(), 7u) << "all but the deleted c";
  for (const std::size_t limit : {1, 2, 3, 100}) {
    SCOPED_TRACE(limit);
    Pairs pieces;
    std::optional<Bytes> next = Bytes();
    for (int calls = 0; next && calls < 100; ++calls) {
      const Bytes start = *next;
      for (auto& kv : t->scan_from(start, limit, 99, 50, next)) pieces.push_back(kv);
    }
    EXPECT_EQ(pieces, whole);
  }
}

TEST(MvccMemTableTest, WritesWithoutScansKeepThePendingIndexBounded) {
  auto t = std::make_shared<MvccMemTable>();
  for (int i = 0; i < 50'000; ++i) {
    const Bytes key = "k" + std::to_string(i % 100);
    ASSERT_TRUE(t->write(key, "v", 1));  // rewrites of the same 100 keys
  }
  DeferredSortedIndex& index = t->ordered_index();
  EXPECT_LT(index.pending_size(), DeferredSortedIndex::kCompactThreshold);
  EXPECT_EQ(index.compaction_count(), 5u);
  EXPECT_EQ(index.range_from("").size(), 100u);
}

TEST(MvccMemTableTest, RefusedWriteStillReachesTheIndex) {
  auto t = std::make_shared<MvccMemTable>();
  ASSERT_TRUE(t->write("k", "a", 1));
  ASSERT_FALSE(t->write("k", "b", 2));
  // The first write indexes the key again once it created the chain; the refused one once.
  EXPECT_EQ(t->ordered_index().pending_size(), 3u);
  EXPECT_EQ(t->ordered_index().range_from("").size(), 1u);
}

TEST(MvccMemTableTest, SweepEmptiesOnlyTheGivenTransactionsSlots) {
  auto t = std::make_shared<MvccMemTable>();
  // Id 77 is not a running transaction anywhere; the memtable sweeps its writes all the same.
  for (int i = 0; i < 50; ++i) ASSERT_TRUE(t->write("a" + std::to_string(i), "x", 77));
  ASSERT_TRUE(t->write("a0", "again", 77));
  ASSERT_TRUE(t->write("b", "y", 78));
  put_committed(*t, 79, 3, "c", "z");
  EXPECT_EQ(t->owners_count(), 2u);
  t->sweep_uncommitted(77);
  EXPECT_EQ(t->owners_count(), 1u);
  for (int i = 0; i < 50; ++i) {
    EXPECT_EQ(t->visible("a" + std::to_string(i), 77, 10), std::nullopt);
    ASSERT_TRUE(t->write("a" + std::to_string(i), "free", 80));
  }
  EXPECT_EQ(t->visible("b", 78, 10), "y");
  EXPECT_FALSE(t->write("b", "no", 80));
  EXPECT_EQ(t->visible("c", 1, 10), "z");
  t->sweep_uncommitted(77);  // twice: harmless
  t->sweep_uncommitted(12345);
  EXPECT_EQ(t->version_count(), 52u);  // 50 of 80, b pending, c committed
}

TEST(MvccMemTableTest, SweepFindsSlotsLeftOutOfTheCommittedKeySet) {
  auto t = std::make_shared<MvccMemTable>();
  ASSERT_TRUE(t->write("in", "1", 4));
  ASSERT_TRUE(t->write("out", "2", 4));
  t->commit(4, 9, KeySet{"in"});
  EXPECT_EQ(t->owners_count(), 1u);  // "out" is still 4's
  t->sweep_uncommitted(4);
  EXPECT_EQ(t->owners_count(), 0u);
  ASSERT_TRUE(t->write("out", "3", 5));
  t->commit(5, 10, KeySet{"out"});
  EXPECT_EQ(t->owners_count(), 0u);
  EXPECT_EQ(t->visible("out", 9, 11), "3");
}

TEST(MvccMemTableTest, TombstoneBelowHorizonDropsTheChainAndLaterTheIndexEntry) {
  auto t = std::make_shared<MvccMemTable>();
  put_committed(*t, 1, 1, "gone", "v");
  put_committed(*t, 2, 2, "kept", "v");
  put_committed(*t, 3, 3, "held", "v");
  EXPECT_EQ(t->scan_prefix("", 9, 4).size(), 3u);
  // A snapshot at 5 still runs, so the horizon is 5.
  put_committed(*t, 4, 4, "gone", std::nullopt, 5);
  EXPECT_EQ(t->chain_count(), 2u);
  EXPECT_EQ(t->version_count(), 2u);
  // A tombstone at or above the horizon stays: a snapshot <= its timestamp may still read the
  // older value.
  put_committed(*t, 5, 6, "held", std::nullopt, 5);
  EXPECT_EQ(t->chain_count(), 2u);
  EXPECT_EQ(t->visible("held", 9, 5), "v");
  // A pending slot keeps the chain too.
  ASSERT_TRUE(t->write("kept", std::nullopt, 6));
  t->commit(6, 7, KeySet{"kept"}, 100);
  EXPECT_EQ(t->chain_count(), 1u);

  DeferredSortedIndex& index = t->ordered_index();
  EXPECT_EQ(index.sorted_size(), 3u);  // the index drops keys only when it compacts
  EXPECT_EQ(t->scan_prefix("", 9, 100), Pairs{});
  EXPECT_EQ(index.range_from(""), std::vector<Bytes>{"held"});

  // The key comes back with its next write.
  put_committed(*t, 7, 8, "gone", "back", 9);
  EXPECT_EQ(t->scan_prefix("", 9, 9), (Pairs{{"gone", "back"}}));
}

// Writers delete keys (their chains go, the index is asked to drop them) and create them again,
// while a scanner's ranges compact the index. A key that stays live through a whole scan is in
// that scan: no compaction drops a key that a writer re-created.
TEST(MvccMemTableTest, KeysRecreatedWhileScansCompactTheIndexAreNeverLost) {
  constexpr int kWriters = 2, kKeysEach = 4, kRounds = 200;
  MvccMemTable t;
  std::atomic<std::uint64_t> next_ts{1}, next_txn{1};
  std::array<std::atomic<std::uint64_t>, kWriters * kKeysEach> live_since{};  // 0: maybe gone
  std::atomic<int> writing{kWriters};
  std::atomic<std::uint64_t> scans_begun{0}, scans_done{0};
  auto key_of = [](int k) { return "key/" + std::to_string(k); };
  // Commits one write of one key; ts gets its commit timestamp.
  auto commit_one = [&](const Bytes& key, std::optional<Bytes> value, std::uint64_t& ts) {
    const std::uint64_t txn = next_txn++;
    ASSERT_TRUE(value ? t.write(key, BytesView(*value), txn) : t.write(key, std::nullopt, txn));
    ts = next_ts++;
    t.commit(txn, ts, KeySet{key}, ts + 1);  // no reader needs anything older
  };
  std::vector<std::thread> threads;
  for (int w = 0; w < kWriters; ++w) {
    threads.emplace_back([&, w] {
      for (int round = 0; round < kRounds; ++round) {
        std::uint64_t ts = 0;
        for (int k = w * kKeysEach; k < (w + 1) * kKeysEach; ++k) {
          commit_one(key_of(k), "v", ts);
          live_since[k].store(ts);
        }
        // Keep the keys until a scan that began after they were published has ended.
        const std::uint64_t scan = scans_begun.load() + 1;
        while (scans_done.load() < scan) std::this_thread::yield();
        for (int k = w * kKeysEach; k < (w + 1) * kKeysEach; ++k) {
          live_since[k].store(0);  // announced before the deletion can take effect
          commit_one(key_of(k), std::nullopt, ts);
        }
      }
      --writing;
    });
  }
  int checked = 0;
  while (writing.load() > 0) {
    std::array<std::uint64_t, kWriters * kKeysEach> before{};
    for (std::size_t k = 0; k < before.size(); ++k) before[k] = live_since[k].load();
    ++scans_begun;
    const auto pairs = t.scan_prefix("key/", 0, std::numeric_limits<std::uint64_t>::max());
    for (std::size_t k = 0; k < before.size(); ++k) {
      if (before[k] == 0 || live_since[k].load() != before[k]) continue;  // deleted meanwhile
      const Bytes key = key_of(static_cast<int>(k));
      ASSERT_TRUE(
          std::any_of(pairs.begin(), pairs.end(), [&](const auto& p) { return p.first == key; }))
          << key << " live since " << before[k] << " is missing from a scan";
      ++checked;
    }
    ++scans_done;
  }
  for (auto& th : threads) th.join();
  EXPECT_GE(checked, kWriters * kKeysEach * kRounds);  // every round's keys, at least once
  EXPECT_EQ(t.chain_count(), 0u);
  // The index may still name some of the deleted keys (a deletion's own write indexes its key
  // again); scans skip them.
  EXPECT_EQ(t.scan_prefix("", 0, next_ts.load()), Pairs{});
}

// A reference that keeps every version: the value a snapshot sees.
struct Model {
  std::map<Bytes, std::vector<std::pair<std::uint64_t, std::optional<Bytes>>>> versions;
  [[nodiscard]] std::optional<Bytes> read(const Bytes& key, std::uint64_t snapshot) const {
    auto it = versions.find(key);
    if (it == versions.end()) return std::nullopt;
    std::optional<Bytes> out;
    for (const auto& [ts, value] : it->second) {
      if (ts < snapshot) out = value;  // ascending: the last one below the snapshot wins
    }
    return out;
  }
  [[nodiscard]] Pairs scan(std::uint64_t snapshot) const {
    Pairs out;
    for (const auto& [key, chain] : versions) {
      if (auto v = read(key, snapshot)) out.emplace_back(key, *v);
    }
    return out;
  }
};

TEST(MvccMemTableTest, PruningNeverChangesWhatHeldSnapshotsRead) {
  std::mt19937_64 rng(11);
  auto pruned = std::make_shared<MvccMemTable>();
  Model model;
  std::multiset<std::uint64_t> held;
  std::uint64_t next_ts = 1, txn = 1;
  std::size_t model_versions = 0;
  for (int step = 0; step < 3'000; ++step) {
    const auto op = rng() % 10;
    if (op < 2) {
      held.insert(next_ts);  // a reader begins
    } else if (op < 4 && !held.empty()) {
      held.erase(std::next(held.begin(), static_cast<long>(rng() % held.size())));
    } else {
      // A writer commits one to three keys; the horizon is the oldest held snapshot.
      KeySet keys;
      const std::uint64_t ts = next_ts++;
      for (int n = 1 + rng() % 3; n > 0; --n) {
        const Bytes key = "k" + std::to_string(rng() % 24);
        std::optional<Bytes> value;
        if (rng() % 3 != 0) value = std::to_string(ts);
        ASSERT_TRUE(value ? pruned->write(key, BytesView(*value), txn)
                          : pruned->write(key, std::nullopt, txn));
        if (keys.insert(key).second) {
          model.versions[key].emplace_back(ts, value);
          ++model_versions;
        } else {
          model.versions[key].back().second = value;
        }
      }
      const std::uint64_t horizon = held.empty() ? next_ts : *held.begin();
      pruned->commit(txn++, ts, keys, horizon);
    }
    std::set<std::uint64_t> readers(held.begin(), held.end());
    readers.insert(next_ts);
    for (std::uint64_t snap : readers) {
      for (int k = 0; k < 24; ++k) {
        const Bytes key = "k" + std::to_string(k);
        ASSERT_EQ(pruned->visible(key, 0, snap), model.read(key, snap))
            << "step " << step << " key " << key << " snapshot " << snap;
      }
    }
    const std::uint64_t snap =
        *std::next(readers.begin(), static_cast<long>(rng() % readers.size()));
    ASSERT_EQ(pruned->scan_prefix("k", 0, snap), model.scan(snap)) << "step " << step;
  }
  EXPECT_LT(pruned->version_count() * 2, model_versions);
  // Once no snapshot is held, one more commit of a key leaves it a single version; a deletion
  // leaves it no chain at all.
  KeySet all;
  for (int k = 0; k < 24; ++k) {
    const Bytes key = "k" + std::to_string(k);
    ASSERT_TRUE(k % 2 == 0 ? pruned->write(key, "last", txn)
                           : pruned->write(key, std::nullopt, txn));
    all.insert(key);
  }
  pruned->commit(txn, next_ts, all, next_ts + 1);
  EXPECT_EQ(pruned->chain_count(), 12u);
  EXPECT_EQ(pruned->version_count(), 12u);
}

}  // namespace
}  // namespace kavrel
