#include "core/version_chain.h"

#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace kavrel {
namespace {

// A write for VersionChain::write: the value (nullopt for a deletion) and the writer.
struct Write {
  std::optional<std::string> value;
  std::uint64_t txn = 0;
};
Write put(std::uint64_t txn, std::string value) { return Write{std::move(value), txn}; }
Write del(std::uint64_t txn) { return Write{std::nullopt, txn}; }

std::optional<BytesView> view_of(const Write& w) {
  return w.value ? std::optional<BytesView>(*w.value) : std::nullopt;
}
ChainWrite write(VersionChain& c, const Write& w) { return c.write(view_of(w), w.txn); }

// A chain whose first version is a write of txn 0 swept away again: no version at all.
VersionChain empty_chain() {
  VersionChain c("k", std::nullopt, 0);
  EXPECT_TRUE(c.sweep(0));
  EXPECT_EQ(c.version_count(), 0u);
  return c;
}

// The value a reader sees: nullopt for nothing visible, "<tombstone>" for a deletion.
std::optional<std::string> seen(const VersionChain& c, std::uint64_t reader, std::uint64_t snap) {
  const VersionRecord* v = c.visible(reader, snap);
  if (v == nullptr) return std::nullopt;
  return v->value() ? std::string(*v->value()) : std::string("<tombstone>");
}

std::vector<std::uint64_t> timestamps(const VersionChain& c) {
  std::vector<std::uint64_t> out;
  for (const VersionRecord* v : c.committed()) out.push_back(v->commit_ts());
  return out;
}

TEST(VersionChainTest, SlotBelongsToFirstWriterUntilCommitOrSweep) {
  VersionChain c = empty_chain();
  EXPECT_EQ(write(c, put(1, "a")), ChainWrite::Installed);
  EXPECT_EQ(write(c, put(2, "b")), ChainWrite::Conflict);
  EXPECT_EQ(c.uncommitted()->value(), "a");
  EXPECT_EQ(write(c, del(1)), ChainWrite::Replaced);
  EXPECT_EQ(c.uncommitted()->value(), std::nullopt);
  EXPECT_EQ(write(c, put(1, "c")), ChainWrite::Replaced);  // put after delete: a value again
  EXPECT_EQ(c.uncommitted()->value(), "c");
  EXPECT_EQ(c.uncommitted()->txn_id(), 1u);
  EXPECT_EQ(c.uncommitted()->commit_ts(), 0u);
  EXPECT_EQ(c.key(), "k");

  EXPECT_FALSE(c.sweep(2));  // not the owner
  EXPECT_TRUE(c.sweep(1));
  EXPECT_EQ(c.uncommitted(), nullptr);
  EXPECT_EQ(write(c, put(2, "b")), ChainWrite::Installed);
  EXPECT_FALSE(c.commit(1, 5));  // not the owner: skipped
  EXPECT_TRUE(c.commit(2, 5));
  EXPECT_FALSE(c.commit(2, 6));  // slot already empty
  EXPECT_EQ(timestamps(c), std::vector<std::uint64_t>{5});
  EXPECT_EQ(write(c, put(3, "d")), ChainWrite::Installed);
  // A swept write over a committed version leaves that version as it was.
  EXPECT_TRUE(c.sweep(3));
  EXPECT_EQ(c.uncommitted(), nullptr);
  EXPECT_EQ(timestamps(c), std::vector<std::uint64_t>{5});
  EXPECT_EQ(seen(c, 9, 6), "b");
  EXPECT_EQ(c.key(), "k");
}

TEST(VersionChainTest, CommitInsertsByTimestampNewestFirst) {
  VersionChain c = empty_chain();
  // Commit timestamps out of order, and an equal one, which goes in front of the existing one.
  const std::uint64_t order[] = {10, 30, 20, 5, 20};
  std::uint64_t txn = 1;
  for (std::uint64_t ts : order) {
    ASSERT_EQ(write(c, put(txn, "v" + std::to_string(txn))), ChainWrite::Installed);
    ASSERT_TRUE(c.commit(txn, ts));
    ++txn;
  }
  EXPECT_EQ(timestamps(c), (std::vector<std::uint64_t>{30, 20, 20, 10, 5}));
  EXPECT_EQ(c.committed()[1]->value(), "v5");  // the later commit at 20 is in front
  EXPECT_EQ(c.committed()[2]->value(), "v3");
  EXPECT_EQ(c.committed()[0]->value(), "v2");
  EXPECT_EQ(c.key(), "k");
}

TEST(VersionChainTest, VisibilityBySnapshot) {
  VersionChain c = empty_chain();
  ASSERT_EQ(write(c, put(1, "one")), ChainWrite::Installed);
  ASSERT_TRUE(c.commit(1, 10));
  ASSERT_EQ(write(c, del(2)), ChainWrite::Installed);
  ASSERT_TRUE(c.commit(2, 20));
  ASSERT_EQ(write(c, put(3, "")), ChainWrite::Installed);
  ASSERT_TRUE(c.commit(3, 30));
  ASSERT_EQ(write(c, del(4)), ChainWrite::Installed);  // pending, owned by 4

  struct Case {
    std::uint64_t reader, snapshot;
    std::optional<std::string> want;
  };
  const Case cases[] = {
      {9, 1, std::nullopt},  {9, 10, std::nullopt},  // equal timestamp: not visible
      {9, 11, "one"},        {9, 20, "one"},         {9, 21, "<tombstone>"},
      {9, 31, ""},           {9, 1000, ""},           // others' pending versions are invisible
      {4, 1, "<tombstone>"}, {4, 31, "<tombstone>"},  // the owner sees its own pending delete
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(testing::Message() << "reader " << k.reader << " snapshot " << k.snapshot);
    EXPECT_EQ(seen(c, k.reader, k.snapshot), k.want);
  }
}

TEST(VersionChainTest, PruneKeepsWhatEverySnapshotAtOrAboveHorizonSees) {
  VersionChain c = empty_chain();
  for (std::uint64_t ts = 1; ts <= 10; ++ts) {
    ASSERT_EQ(write(c, put(ts, "v" + std::to_string(ts * 10))), ChainWrite::Installed);
    ASSERT_TRUE(c.commit(ts, ts * 10));
  }
  struct Case {
    std::uint64_t horizon;
    std::vector<std::uint64_t> kept;
  };
  const Case cases[] = {
      {0, {100, 90, 80, 70, 60, 50, 40, 30, 20, 10}},  // horizon 0 keeps all
      {5, {100, 90, 80, 70, 60, 50, 40, 30, 20, 10}},  // nothing is below the horizon
      {11, {100, 90, 80, 70, 60, 50, 40, 30, 20, 10}},
      {41, {100, 90, 80, 70, 60, 50, 40}},
      {50, {100, 90, 80, 70, 60, 50, 40}},  // 50 is not below 50
      {51, {100, 90, 80, 70, 60, 50}},
      {1000, {100}},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.horizon);
    VersionChain pruned = c.clone();
    EXPECT_EQ(pruned.prune(k.horizon), c.committed().size() - k.kept.size());
    EXPECT_EQ(timestamps(pruned), k.kept);
    for (std::uint64_t snap = k.horizon; snap < 120; ++snap) {
      ASSERT_EQ(seen(pruned, 0, snap), seen(c, 0, snap)) << "snapshot " << snap;
    }
  }
}

TEST(VersionChainTest, PruneLeavesThePendingSlotAlone) {
  VersionChain c = empty_chain();
  ASSERT_EQ(write(c, put(1, "a")), ChainWrite::Installed);
  ASSERT_TRUE(c.commit(1, 3));
  ASSERT_EQ(write(c, put(2, "b")), ChainWrite::Installed);
  ASSERT_TRUE(c.commit(2, 4));
  ASSERT_EQ(write(c, put(7, "mine")), ChainWrite::Installed);
  EXPECT_EQ(c.prune(100), 1u);
  EXPECT_EQ(c.version_count(), 2u);
  EXPECT_EQ(seen(c, 7, 1), "mine");
  EXPECT_EQ(seen(c, 8, 100), "b");
}

TEST(VersionChainTest, RandomPruningNeverChangesReadsAtOrAboveHorizon) {
  std::mt19937_64 rng(7);
  for (int round = 0; round < 50; ++round) {
    VersionChain full = empty_chain(), pruned = empty_chain();
    std::int64_t accounted = pruned.take_byte_delta();  // the bytes the chain reports holding
    std::uint64_t ts = 1, horizon = 0;
    for (std::uint64_t txn = 1; txn <= 60; ++txn) {
      ts += 1 + rng() % 3;
      const Write v = (rng() % 4 == 0) ? del(txn) : put(txn, std::to_string(rng() % 100));
      ASSERT_EQ(write(full, v), ChainWrite::Installed);
      ASSERT_EQ(write(pruned, v), ChainWrite::Installed);
      ASSERT_TRUE(full.commit(txn, ts));
      ASSERT_TRUE(pruned.commit(txn, ts));
      horizon = std::max(horizon, static_cast<std::uint64_t>(rng() % (ts + 2)));  // never falls
      pruned.prune(horizon);
      accounted += pruned.take_byte_delta();
      ASSERT_EQ(accounted, static_cast<std::int64_t>(pruned.bytes()));
      for (std::uint64_t snap = horizon; snap <= ts + 2; ++snap) {
        ASSERT_EQ(seen(pruned, 0, snap), seen(full, 0, snap)) << "snapshot " << snap;
      }
    }
    EXPECT_LT(pruned.committed().size(), full.committed().size());
    EXPECT_EQ(pruned.key(), "k");
  }
}

// Each change reports the bytes it allocated and freed; their sum is what the chain holds, through
// writes, replacements, commits out of order, sweeps and pruning.
TEST(VersionChainTest, ByteDeltasAddUpToTheChainsBytes) {
  std::mt19937_64 rng(3);
  VersionChain c("key", "first", 1);
  std::int64_t accounted = c.take_byte_delta();
  ASSERT_EQ(accounted, static_cast<std::int64_t>(c.bytes()));
  std::uint64_t txn = 2, ts = 100;
  for (int step = 0; step < 2'000; ++step) {
    switch (rng() % 5) {
      case 0: (void)write(c, put(txn, std::string(rng() % 300, 'x'))); break;
      case 1: (void)write(c, del(txn)); break;
      case 2: (void)c.commit(txn++, rng() % 4 == 0 ? ts - rng() % 50 : ++ts); break;
      case 3: (void)c.sweep(txn++); break;
      default: (void)c.prune(ts - rng() % 60); break;
    }
    accounted += c.take_byte_delta();
    ASSERT_EQ(accounted, static_cast<std::int64_t>(c.bytes())) << "step " << step;
  }
}

// Most keys have one version: after an update whose old version is pruned, the chain is a single
// record again, as small as a chain created with the new value.
TEST(VersionChainTest, UpdatePrunedBackToOneVersionIsOneRecord) {
  VersionChain c("key", "old value", 1);
  ASSERT_TRUE(c.commit(1, 5));
  ASSERT_EQ(write(c, put(2, "new value")), ChainWrite::Installed);
  EXPECT_GT(c.bytes(), VersionChain("key", "new value", 9).bytes());  // two versions
  ASSERT_TRUE(c.commit(2, 8));
  EXPECT_EQ(c.prune(9), 1u);
  EXPECT_EQ(c.version_count(), 1u);
  EXPECT_EQ(c.bytes(), VersionChain("key", "new value", 9).bytes());
  EXPECT_EQ(seen(c, 0, 9), "new value");
  EXPECT_EQ(c.key(), "key");
}

// Versions kept behind the head are stored without the key; each of them still reads as before,
// and the key comes back with a version that becomes the head again.
TEST(VersionChainTest, KeptVersionsReadTheSameAndGiveTheKeyBack) {
  VersionChain c("key", "v1", 1);
  ASSERT_TRUE(c.commit(1, 10));
  ASSERT_EQ(write(c, put(2, "v2")), ChainWrite::Installed);
  ASSERT_TRUE(c.commit(2, 20));
  const std::size_t two = c.bytes();
  ASSERT_EQ(write(c, put(3, "v3")), ChainWrite::Installed);
  ASSERT_TRUE(c.commit(3, 30, /*horizon=*/5));  // nothing below the horizon: all kept
  EXPECT_EQ(timestamps(c), (std::vector<std::uint64_t>{30, 20, 10}));
  EXPECT_LT(c.bytes() - two, VersionChain("key", "v3", 9).bytes());  // less than a keyed record
  for (auto [snap, want] :
       {std::pair<std::uint64_t, const char*>{11, "v1"}, {21, "v2"}, {31, "v3"}}) {
    EXPECT_EQ(seen(c, 0, snap), want);
  }
  // An out-of-order commit puts the newest version back at the head, with the key.
  ASSERT_EQ(write(c, put(4, "v25")), ChainWrite::Installed);
  ASSERT_TRUE(c.commit(4, 25));
  EXPECT_EQ(timestamps(c), (std::vector<std::uint64_t>{30, 25, 20, 10}));
  EXPECT_EQ(c.key(), "key");
  EXPECT_EQ(seen(c, 0, 26), "v25");
  ASSERT_EQ(write(c, put(5, "v4")), ChainWrite::Installed);
  ASSERT_TRUE(c.sweep(5));
  EXPECT_EQ(c.key(), "key");
  EXPECT_EQ(c.prune(31), 3u);
  EXPECT_EQ(c.bytes(), VersionChain("key", "v3", 9).bytes());
}

}  // namespace
}  // namespace kavrel
