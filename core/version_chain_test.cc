#include "core/version_chain.h"

#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace kavrel {
namespace {

Version put(std::uint64_t txn, std::string value) { return Version{std::move(value), txn, 0}; }
Version del(std::uint64_t txn) { return Version{std::nullopt, txn, 0}; }

// The value a reader sees: nullopt for nothing visible, "<tombstone>" for a deletion.
std::optional<std::string> seen(const VersionChain& c, std::uint64_t reader, std::uint64_t snap) {
  const Version* v = c.visible(reader, snap);
  if (v == nullptr) return std::nullopt;
  return v->value ? *v->value : std::string("<tombstone>");
}

std::vector<std::uint64_t> timestamps(const VersionChain& c) {
  std::vector<std::uint64_t> out;
  for (const Version& v : c.versions()) out.push_back(v.commit_ts);
  return out;
}

TEST(VersionChainTest, SlotBelongsToFirstWriterUntilCommitOrSweep) {
  VersionChain c;
  EXPECT_EQ(c.write(put(1, "a")), ChainWrite::Installed);
  EXPECT_EQ(c.write(put(2, "b")), ChainWrite::Conflict);
  EXPECT_EQ(c.uncommitted()->value, "a");
  EXPECT_EQ(c.write(del(1)), ChainWrite::Replaced);
  EXPECT_EQ(c.uncommitted()->value, std::nullopt);
  EXPECT_EQ(c.write(put(1, "c")), ChainWrite::Replaced);  // put after delete: a value again
  EXPECT_EQ(c.uncommitted()->value, "c");
  EXPECT_EQ(c.uncommitted()->txn_id, 1u);
  EXPECT_EQ(c.uncommitted()->commit_ts, 0u);

  EXPECT_FALSE(c.sweep(2));  // not the owner
  EXPECT_TRUE(c.sweep(1));
  EXPECT_FALSE(c.uncommitted().has_value());
  EXPECT_EQ(c.write(put(2, "b")), ChainWrite::Installed);
  EXPECT_FALSE(c.commit(1, 5));  // not the owner: skipped
  EXPECT_TRUE(c.commit(2, 5));
  EXPECT_FALSE(c.commit(2, 6));  // slot already empty
  EXPECT_EQ(timestamps(c), std::vector<std::uint64_t>{5});
  EXPECT_EQ(c.write(put(3, "d")), ChainWrite::Installed);
}

TEST(VersionChainTest, CommitInsertsByTimestampNewestFirst) {
  VersionChain c;
  // Commit timestamps out of order, and an equal one, which goes in front of the existing one.
  const std::uint64_t order[] = {10, 30, 20, 5, 20};
  std::uint64_t txn = 1;
  for (std::uint64_t ts : order) {
    ASSERT_EQ(c.write(put(txn, "v" + std::to_string(txn))), ChainWrite::Installed);
    ASSERT_TRUE(c.commit(txn, ts));
    ++txn;
  }
  EXPECT_EQ(timestamps(c), (std::vector<std::uint64_t>{30, 20, 20, 10, 5}));
  EXPECT_EQ(c.versions()[1].txn_id, 5u);  // the later commit at 20 is in front
  EXPECT_EQ(c.versions()[2].txn_id, 3u);
}

TEST(VersionChainTest, VisibilityBySnapshot) {
  VersionChain c;
  ASSERT_EQ(c.write(put(1, "one")), ChainWrite::Installed);
  ASSERT_TRUE(c.commit(1, 10));
  ASSERT_EQ(c.write(del(2)), ChainWrite::Installed);
  ASSERT_TRUE(c.commit(2, 20));
  ASSERT_EQ(c.write(put(3, "")), ChainWrite::Installed);
  ASSERT_TRUE(c.commit(3, 30));
  ASSERT_EQ(c.write(del(4)), ChainWrite::Installed);  // pending, owned by 4

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
  VersionChain c;
  for (std::uint64_t ts = 1; ts <= 10; ++ts) {
    ASSERT_EQ(c.write(put(ts, "v" + std::to_string(ts * 10))), ChainWrite::Installed);
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
    VersionChain pruned = c;
    EXPECT_EQ(pruned.prune(k.horizon), c.versions().size() - k.kept.size());
    EXPECT_EQ(timestamps(pruned), k.kept);
    for (std::uint64_t snap = k.horizon; snap < 120; ++snap) {
      ASSERT_EQ(seen(pruned, 0, snap), seen(c, 0, snap)) << "snapshot " << snap;
    }
  }
}

TEST(VersionChainTest, PruneLeavesThePendingSlotAlone) {
  VersionChain c;
  ASSERT_EQ(c.write(put(1, "a")), ChainWrite::Installed);
  ASSERT_TRUE(c.commit(1, 3));
  ASSERT_EQ(c.write(put(2, "b")), ChainWrite::Installed);
  ASSERT_TRUE(c.commit(2, 4));
  ASSERT_EQ(c.write(put(7, "mine")), ChainWrite::Installed);
  EXPECT_EQ(c.prune(100), 1u);
  EXPECT_EQ(c.version_count(), 2u);
  EXPECT_EQ(seen(c, 7, 1), "mine");
  EXPECT_EQ(seen(c, 8, 100), "b");
}

TEST(VersionChainTest, RandomPruningNeverChangesReadsAtOrAboveHorizon) {
  std::mt19937_64 rng(7);
  for (int round = 0; round < 50; ++round) {
    VersionChain full, pruned;
    std::uint64_t ts = 1, horizon = 0;
    for (std::uint64_t txn = 1; txn <= 60; ++txn) {
      ts += 1 + rng() % 3;
      const Version v = (rng() % 4 == 0) ? del(txn) : put(txn, std::to_string(rng() % 100));
      ASSERT_EQ(full.write(v), ChainWrite::Installed);
      ASSERT_EQ(pruned.write(v), ChainWrite::Installed);
      ASSERT_TRUE(full.commit(txn, ts));
      ASSERT_TRUE(pruned.commit(txn, ts));
      horizon = std::max(horizon, static_cast<std::uint64_t>(rng() % (ts + 2)));  // never falls
      pruned.prune(horizon);
      for (std::uint64_t snap = horizon; snap <= ts + 2; ++snap) {
        ASSERT_EQ(seen(pruned, 0, snap), seen(full, 0, snap)) << "snapshot " << snap;
      }
    }
    EXPECT_LT(pruned.versions().size(), full.versions().size());
  }
}

}  // namespace
}  // namespace kavrel
