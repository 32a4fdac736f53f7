#include "storage/internal/mvcc/mvcc_manager.h"

#include <atomic>
#include <chrono>
#include <initializer_list>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

namespace kavrel {
namespace {

MvccTransaction make_txn(std::uint64_t snapshot, std::initializer_list<const char*> reads,
                         std::initializer_list<const char*> writes) {
  MvccTransaction t;
  t.txn_id = 1000;
  t.snapshot_ts = snapshot;
  for (const char* k : reads) {
    t.read_set.insert(k);
    t.read_filter.insert(k);
  }
  for (const char* k : writes) {
    t.write_set.insert(k);
    t.write_filter.insert(k);
  }
  return t;
}

SsiRecord make_record(std::uint64_t commit_ts, const std::vector<std::string>& writes) {
  SsiRecord r;
  r.commit_ts = commit_ts;
  for (const auto& k : writes) {
    r.write_set.insert(k);
    r.write_filter.insert(k);
  }
  return r;
}

// Ends a transaction the way commit and abort do.
void end(MvccManager& m, std::uint64_t txn_id) {
  auto t = m.remove_active(txn_id);
  ASSERT_TRUE(t.has_value());
  m.track_active_end(t->snapshot_ts);
}

TEST(MvccManagerTest, CountersStartAtOneAndZero) {
  MvccManager m;
  EXPECT_EQ(m.next_ts(), 1u);
  EXPECT_EQ(m.min_active_snapshot(), 0u);
  EXPECT_EQ(m.allocate_commit_ts(), 1u);  // the replay's timestamp
  EXPECT_EQ(m.allocate_commit_ts(), 2u);
  EXPECT_EQ(m.next_ts(), 3u);
}

TEST(MvccManagerTest, BeginTakesNextTsAndEmptySets) {
  MvccManager m;
  (void)m.allocate_commit_ts();
  m.begin(7);
  EXPECT_EQ(m.snapshot_of(7), 2u);
  EXPECT_EQ(m.snapshot_of(8), std::nullopt);
  EXPECT_EQ(m.active_count(), 1u);
  EXPECT_EQ(m.min_active_snapshot(), 2u);
  const auto t = m.remove_active(7);
  ASSERT_TRUE(t);
  EXPECT_EQ(t->txn_id, 7u);
  EXPECT_EQ(t->snapshot_ts, 2u);
  EXPECT_TRUE(t->write_set.empty());
  EXPECT_TRUE(t->read_set.empty());
  EXPECT_FALSE(t->write_filter.allocated());
  EXPECT_FALSE(t->read_filter.allocated());
  EXPECT_TRUE(t->scanned_prefixes.empty());
  EXPECT_FALSE(t->read_everything);
}

TEST(MvccManagerTest, SharedSnapshotIsCountedTwiceAndStaysMinimumUntilBothEnd) {
  MvccManager m;
  (void)m.allocate_commit_ts();
  m.begin(1);
  m.begin(2);  // no commit in between: the same snapshot
  EXPECT_EQ(m.snapshot_holders(2), 2u);
  EXPECT_EQ(m.allocate_commit_ts(), 2u);
  m.begin(3);
  EXPECT_EQ(m.snapshot_of(3), 3u);
  EXPECT_EQ(m.min_active_snapshot(), 2u);

  end(m, 1);
  EXPECT_EQ(m.snapshot_holders(2), 1u);
  EXPECT_EQ(m.min_active_snapshot(), 2u);
  end(m, 2);
  EXPECT_EQ(m.snapshot_holders(2), 0u);
  EXPECT_EQ(m.min_active_snapshot(), 3u);
  EXPECT_EQ(m.allocate_commit_ts(), 3u);
  end(m, 3);
  EXPECT_EQ(m.min_active_snapshot(), 4u);  // idle: next_ts
  EXPECT_EQ(m.min_active_snapshot(), m.next_ts());
  EXPECT_EQ(m.active_count(), 0u);

  // Ending an unknown snapshot only refreshes the minimum.
  (void)m.allocate_commit_ts();
  m.track_active_end(12345);
  EXPECT_EQ(m.min_active_snapshot(), 5u);
}

TEST(MvccManagerTest, RecordingGoesToTheRunningTransactionOnly) {
  MvccManager m;
  m.begin(1);
  m.begin(2);
  m.record_write(1, "w");
  m.record_read(1, "r");
  m.record_scan(1, "p/");
  m.record_scan(1, "p/");  // already there
  m.record_read(2, "r2");
  m.record_write(3, "w");  // not running: ignored
  m.record_read(3, "r");
  m.record_scan(3, "p/");
  EXPECT_EQ(m.active_count(), 2u);
  EXPECT_EQ(m.scan_count(1), 1u);
  EXPECT_EQ(m.scan_count(2), 0u);
  EXPECT_EQ(m.scan_count(3), 0u);
  EXPECT_TRUE(m.wrote(1, "w"));
  EXPECT_FALSE(m.wrote(2, "w"));
  EXPECT_FALSE(m.wrote(3, "w"));

  const auto t1 = m.remove_active(1);
  const auto t2 = m.remove_active(2);
  ASSERT_TRUE(t1 && t2);
  EXPECT_EQ(t1->write_set, KeySet{"w"});
  EXPECT_TRUE(t1->write_filter.may_contain("w"));
  EXPECT_EQ(t1->read_set, KeySet{"r"});
  EXPECT_TRUE(t1->read_filter.may_contain("r"));
  EXPECT_EQ(t1->scanned_prefixes, std::vector<Bytes>{"p/"});
  EXPECT_TRUE(t2->write_set.empty());
  EXPECT_FALSE(t2->write_filter.allocated());
  EXPECT_EQ(t2->read_set, KeySet{"r2"});
  EXPECT_TRUE(t2->read_filter.may_contain("r2"));
  EXPECT_FALSE(m.remove_active(3).has_value());

  // Once removed, a transaction records nothing more and is not removed twice.
  m.record_read(1, "late");
  EXPECT_EQ(m.active_count(), 0u);
  EXPECT_FALSE(m.remove_active(1).has_value());
}

TEST(MvccManagerTest, ReadSetStopsGrowingAtTenThousandKeysAndThenCountsAsReadingEverything) {
  MvccManager m;
  m.begin(1);
  for (int i = 0; i < 10'000; ++i) m.record_read(1, "k" + std::to_string(i));
  m.record_read(1, "k0");  // already there
  m.record_read(1, "one-too-many");
  const auto t = m.remove_active(1);
  ASSERT_TRUE(t);
  EXPECT_EQ(t->read_set.size(), 10'000u);
  EXPECT_FALSE(t->read_set.contains("one-too-many"));
  EXPECT_TRUE(t->read_set.contains("k9999"));
  EXPECT_TRUE(t->read_everything);
  // Any concurrent write now refuses it, even of a key it never named.
  MvccTransaction txn = *t;
  txn.write_set.insert("w");
  txn.write_filter.insert("w");
  m.remember_committed(7, make_record(txn.snapshot_ts, {"unrelated"}));
  EXPECT_FALSE(m.validate_ssi(txn));
}

TEST(MvccManagerTest, ValidationRefusesAReadOverwrittenByAConcurrentCommit) {
  std::vector<std::string> many_writes;
  for (int i = 0; i < 2'000; ++i) many_writes.push_back("w" + std::to_string(i));
  auto scanning = [](MvccTransaction t, std::vector<Bytes> prefixes) {
    t.scanned_prefixes = std::move(prefixes);
    return t;
  };
  struct Case {
    const char* name;
    MvccTransaction txn;
    std::vector<SsiRecord> records;
    bool want;
  };
  const Case cases[] = {
      {"read-only passes", make_txn(5, {"x", "y"}, {}), {make_record(10, {"x", "y"})}, true},
      {"no history passes", make_txn(5, {"x", "y"}, {"x"}), {}, true},
      {"a transaction that read nothing passes",
       make_txn(5, {}, {"x"}),
       {make_record(10, {"x"})},
       true},
      {"one read and one write are not exempt (write skew)",
       make_txn(5, {"y"}, {"x"}),
       {make_record(10, {"y"})},
       false},
      {"read and write of one key (lost update)",
       make_txn(5, {"x"}, {"x"}),
       {make_record(10, {"x"})},
       false},
      {"commit at the snapshot is concurrent",
       make_txn(10, {"x"}, {"z"}),
       {make_record(10, {"x"})},
       false},
      {"records below the snapshot are ignored",
       make_txn(11, {"x"}, {"z"}),
       {make_record(10, {"x"})},
       true},
      {"a concurrent write of an unread key passes",
       make_txn(5, {"x", "y"}, {"z"}),
       {make_record(10, {"q"})},
       true},
      {"an insert under a scanned prefix is a phantom",
       scanning(make_txn(5, {}, {"z"}), {"p/"}),
       {make_record(10, {"p/new"})},
       false},
      {"a write beside a scanned prefix passes",
       scanning(make_txn(5, {}, {"z"}), {"p/"}),
       {make_record(10, {"q/new", "p"})},
       true},
      {"saturated filters without exact overlap pass",
       make_txn(5, {"x", "y"}, {"x", "y"}),
       {make_record(10, many_writes)},
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MvccManager m;
    std::uint64_t id = 1;
    for (const SsiRecord& r : c.records) m.remember_committed(id++, r);
    EXPECT_EQ(m.validate_ssi(c.txn), c.want);
    EXPECT_EQ(m.committed_count(), c.records.size());  // validation changes nothing
  }
}

TEST(MvccManagerTest, SnapshotsStayBelowCommitsThatAreNotYetVisible) {
  MvccManager m;
  (void)m.allocate_commit_ts();  // the replay's: next_ts 2
  m.begin(1);
  m.begin(2);
  m.record_write(1, "a");
  m.record_write(2, "b");
  auto t1 = m.remove_active(1);
  auto t2 = m.remove_active(2);
  const auto ts1 = m.certify(1, *t1);
  const auto ts2 = m.certify(2, *t2);
  ASSERT_EQ(ts1, 2u);
  ASSERT_EQ(ts2, 3u);
  // Neither is visible yet: a snapshot taken now must not include either.
  m.begin(3);
  EXPECT_EQ(m.snapshot_of(3), 2u);
  m.publish(*ts2);  // the later one first: the watermark still waits for the earlier
  m.begin(4);
  EXPECT_EQ(m.snapshot_of(4), 2u);
  std::atomic<bool> waited{false};
  std::thread waiter([&] {
    m.wait_visible(*ts2);
    waited = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(waited.load());
  m.publish(*ts1);
  waiter.join();
  m.begin(5);
  EXPECT_EQ(m.snapshot_of(5), 4u);
  // Records of both are kept for the validation of transactions 3 and 4.
  EXPECT_EQ(m.committed_count(), 2u);
}

// Transactions 1 (reads x, writes y) and 2 (reads y, writes x), both begun and then taken out
// of the running ones for their commit: a write skew, of which only one may pass.
std::pair<MvccTransaction, MvccTransaction> write_skew_pair(MvccManager& m) {
  m.begin(1);
  m.begin(2);
  m.record_read(1, "x");
  m.record_write(1, "y");
  m.record_read(2, "y");
  m.record_write(2, "x");
  return {*m.remove_active(1), *m.remove_active(2)};
}

TEST(MvccManagerTest, CertifyRefusesAndChangesNothingOnConflict) {
  MvccManager m;
  const auto [t1, t2] = write_skew_pair(m);
  ASSERT_TRUE(m.certify(1, t1).has_value());
  const std::uint64_t next = m.next_ts();
  EXPECT_FALSE(m.certify(2, t2).has_value());
  EXPECT_EQ(m.next_ts(), next);  // no timestamp used
  EXPECT_EQ(m.committed_count(), 1u);
}

// Two commits that certify at the same moment see each other: of two write-skew transactions,
// never both pass.
TEST(MvccManagerTest, ConcurrentCertificationsNeverBothPassWriteSkew) {
  for (int round = 0; round < 200; ++round) {
    MvccManager m;
    const auto [t1, t2] = write_skew_pair(m);
    std::optional<std::uint64_t> r1, r2;
    std::thread a([&] { r1 = m.certify(1, t1); });
    std::thread b([&] { r2 = m.certify(2, t2); });
    a.join();
    b.join();
    ASSERT_NE(r1.has_value(), r2.has_value()) << "round " << round;
  }
}

TEST(MvccManagerTest, WriteSkewThroughTheManager) {
  // T1 reads x and y and writes y; T2 reads x and y and writes x; both begin before either
  // commits. T1 commits first and its record is stored; T2 is refused.
  MvccManager m;
  (void)m.allocate_commit_ts();
  m.begin(1);
  m.begin(2);
  for (std::uint64_t id : {1, 2}) {
    m.record_read(id, "x");
    m.record_read(id, "y");
  }
  m.record_write(1, "y");
  m.record_write(2, "x");
  auto t1 = m.remove_active(1);
  ASSERT_TRUE(t1);
  ASSERT_TRUE(m.validate_ssi(*t1));
  const std::uint64_t ts = m.allocate_commit_ts();
  m.remember_committed(1, SsiRecord{ts, std::move(t1->write_filter), t1->write_set});
  m.track_active_end(t1->snapshot_ts);
  auto t2 = m.remove_active(2);
  ASSERT_TRUE(t2);
  EXPECT_FALSE(m.validate_ssi(*t2));
  // A transaction that began after T1's commit is not concurrent with it.
  m.begin(3);
  m.record_read(3, "x");
  m.record_read(3, "y");
  m.record_write(3, "x");
  auto t3 = m.remove_active(3);
  ASSERT_TRUE(t3);
  EXPECT_TRUE(m.validate_ssi(*t3));
}

TEST(MvccManagerTest, CommittedRecordsArePrunedAboveTwoThousand) {
  MvccManager m;
  for (int i = 0; i < 100; ++i) (void)m.allocate_commit_ts();
  m.begin(1);  // snapshot 101 holds the minimum
  ASSERT_EQ(m.min_active_snapshot(), 101u);
  for (std::uint64_t ts = 1; ts <= 2 * MvccManager::committed_gc_limit; ++ts) {
    m.remember_committed(ts, make_record(ts, {"w"}));
  }
  EXPECT_EQ(m.committed_count(), 2'000u);  // not above the limit yet
  m.remember_committed(5'000, make_record(3'000, {"w"}));
  EXPECT_EQ(m.committed_count(), 1'901u);  // commit_ts 1..100 are below the oldest snapshot

  // With nothing running, the minimum is next_ts and everything older goes.
  end(m, 1);
  while (m.next_ts() < 2'500) (void)m.allocate_commit_ts();
  m.track_active_end(0);  // refreshes the minimum
  ASSERT_EQ(m.min_active_snapshot(), 2'500u);
  std::uint64_t id = 10'000;
  while (m.committed_count() <= 1'999) m.remember_committed(id++, make_record(2'600, {"w"}));
  EXPECT_EQ(m.committed_count(), 2'000u);
  m.remember_committed(id, make_record(2'600, {"w"}));
  // Left: the record at 3,000 and the 100 records at 2,600.
  EXPECT_EQ(m.committed_count(), 101u);
}

}  // namespace
}  // namespace kavrel
