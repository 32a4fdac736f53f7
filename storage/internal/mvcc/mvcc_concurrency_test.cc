// Threads run whole transactions against one manager and one memtable, as the commit protocol
// and the abort do (begin, record, write, certify, end, commit with the pruning horizon,
// publish; sweep on abort or refusal), and check every read against a model of all committed
// versions.
#include <atomic>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "storage/internal/mvcc/memtable.h"
#include "storage/internal/mvcc/mvcc_manager.h"

namespace kavrel {
namespace {

constexpr int kKeys = 16;

Bytes key_name(int k) { return "key/" + std::to_string(k); }

// Begins a transaction and returns its snapshot.
std::uint64_t begin(MvccManager& m, std::uint64_t txn_id) {
  m.begin(txn_id);
  return m.snapshot_of(txn_id).value_or(0);
}

// Every committed version of every key: announced before the memtable commit, marked done after
// it. A read is correct when it returns a version below the reader's snapshot that is not older
// than the newest version that was done, below the snapshot, before the read began.
class Model {
 public:
  struct Version {
    std::uint64_t ts;
    std::optional<Bytes> value;
    bool done;
  };

  void announce(const Bytes& key, std::uint64_t ts, std::optional<Bytes> value) {
    std::scoped_lock lock(mu_);
    versions_[key].push_back({ts, std::move(value), false});
  }
  void finish(const Bytes& key, std::uint64_t ts) {
    std::scoped_lock lock(mu_);
    for (Version& v : versions_[key]) {
      if (v.ts == ts) v.done = true;
    }
  }
  // The timestamp of the newest done version below the snapshot, 0 for none.
  std::uint64_t floor(const Bytes& key, std::uint64_t snapshot) {
    std::scoped_lock lock(mu_);
    std::uint64_t best = 0;
    for (const Version& v : versions_[key]) {
      if (v.done && v.ts < snapshot) best = std::max(best, v.ts);
    }
    return best;
  }
  bool acceptable(const Bytes& key, std::uint64_t snapshot, std::uint64_t floor_ts,
                  const std::optional<Bytes>& got) {
    std::scoped_lock lock(mu_);
    if (floor_ts == 0 && !got) return true;
    for (const Version& v : versions_[key]) {
      if (v.ts >= floor_ts && v.ts < snapshot && v.value == got) return true;
    }
    return false;
  }
  std::optional<Bytes> latest(const Bytes& key) {
    std::scoped_lock lock(mu_);
    const auto& vs = versions_[key];
    if (vs.empty()) return std::nullopt;
    return vs.back().value;
  }

 private:
  std::mutex mu_;
  std::map<Bytes, std::vector<Version>> versions_;  // guarded by mu_; ascending ts per key
};

struct Harness {
  MvccManager manager;
  std::shared_ptr<MvccMemTable> table = std::make_shared<MvccMemTable>();
  Model model;
  std::atomic<std::uint64_t> next_id{1};
  std::atomic<int> commits{0}, refusals{0}, conflicts{0};

  void end_without_commit(std::uint64_t id) {
    if (auto t = manager.remove_active(id)) manager.track_active_end(t->snapshot_ts);
    table->sweep_uncommitted(id);
  }

  void checked_read(std::uint64_t id, std::uint64_t snapshot, const Bytes& key) {
    const std::uint64_t floor_ts = model.floor(key, snapshot);
    manager.record_read(id, key);
    const auto got = table->visible(key, id, snapshot);
    ASSERT_TRUE(model.acceptable(key, snapshot, floor_ts, got))
        << key << " at snapshot " << snapshot << " read " << got.value_or("<none>");
  }

  void checked_scan(std::uint64_t id, std::uint64_t snapshot) {
    std::vector<std::uint64_t> floors;
    for (int k = 0; k < kKeys; ++k) floors.push_back(model.floor(key_name(k), snapshot));
    const auto pairs = table->scan_prefix("key/", id, snapshot);
    std::map<Bytes, Bytes> got;
    for (std::size_t i = 0; i < pairs.size(); ++i) {
      if (i > 0) {
        ASSERT_LT(pairs[i - 1].first, pairs[i].first);  // ascending, no duplicates
      }
      got.emplace(pairs[i].first, pairs[i].second);
    }
    for (int k = 0; k < kKeys; ++k) {
      const Bytes key = key_name(k);
      std::optional<Bytes> value;
      if (auto it = got.find(key); it != got.end()) value = it->second;
      ASSERT_TRUE(model.acceptable(key, snapshot, floors[k], value))
          << "scan: " << key << " at snapshot " << snapshot << " read " << value.value_or("<none>");
    }
  }

  // One read-write transaction: two reads, one or two writes, then commit or abort.
  void run_writer(std::mt19937_64& rng) {
    const std::uint64_t id = next_id++;
    const std::uint64_t snapshot = begin(manager, id);
    for (int i = 0; i < 2; ++i) checked_read(id, snapshot, key_name(rng() % kKeys));
    std::map<Bytes, std::optional<Bytes>> written;
    for (int n = 1 + rng() % 2; n > 0; --n) {
      const Bytes key = key_name(rng() % kKeys);
      std::optional<Bytes> value;
      if (rng() % 4 != 0) value = std::to_string(id) + "/" + std::to_string(n);
      manager.record_write(id, key);
      auto r =
          value ? table->write(key, BytesView(*value), id) : table->write(key, std::nullopt, id);
      if (!r) {
        ASSERT_EQ(r.error().message(), "Internal error: Write-write conflict detected");
        ++conflicts;
        end_without_commit(id);
        return;
      }
      written[key] = value;
      ASSERT_EQ(table->visible(key, id, snapshot), value);  // its own pending write
    }
    if (rng() % 8 == 0) {  // an explicit abort
      end_without_commit(id);
      return;
    }
    auto removed = manager.remove_active(id);
    ASSERT_TRUE(removed);
    const auto certified = manager.certify(id, *removed);
    manager.track_active_end(removed->snapshot_ts);
    if (!certified) {
      ++refusals;
      table->sweep_uncommitted(id);
      return;
    }
    const std::uint64_t ts = *certified;
    for (const auto& [key, value] : written) model.announce(key, ts, value);
    table->commit(id, ts, removed->write_set, manager.min_active_snapshot());
    for (const auto& [key, value] : written) model.finish(key, ts);
    manager.publish(ts);
    ++commits;
  }

  // A reader that keeps its snapshot through many reads and scans.
  void run_long_reader(std::mt19937_64& rng) {
    const std::uint64_t id = next_id++;
    const std::uint64_t snapshot = begin(manager, id);
    for (int i = 0; i < 20; ++i) {
      if (i % 5 == 0) {
        checked_scan(id, snapshot);
      } else {
        checked_read(id, snapshot, key_name(rng() % kKeys));
      }
      std::this_thread::yield();
    }
    end_without_commit(id);
  }
};

TEST(MvccConcurrencyTest, RacingTransactionsReadWhatTheModelAllows) {
  Harness h;
  constexpr int kWriters = 3;
  constexpr int kRounds = 1'500;
  std::atomic<int> writers_left{kWriters};
  std::vector<std::thread> threads;
  for (int t = 0; t < kWriters; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937_64 rng(100 + t);
      for (int i = 0; i < kRounds && !testing::Test::HasFatalFailure(); ++i) h.run_writer(rng);
      --writers_left;
    });
  }
  threads.emplace_back([&] {
    std::mt19937_64 rng(7);
    while (writers_left.load() > 0 && !testing::Test::HasFatalFailure()) h.run_long_reader(rng);
  });
  for (auto& t : threads) t.join();

  EXPECT_GT(h.commits.load(), kWriters * kRounds / 4);
  EXPECT_EQ(h.manager.active_count(), 0u);
  EXPECT_EQ(h.manager.min_active_snapshot(), h.manager.next_ts());
  EXPECT_EQ(h.table->owners_count(), 0u);

  // A fresh reader sees the latest committed state of every key.
  const std::uint64_t reader = h.next_id++;
  const std::uint64_t snapshot = begin(h.manager, reader);
  for (int k = 0; k < kKeys; ++k) {
    EXPECT_EQ(h.table->visible(key_name(k), reader, snapshot), h.model.latest(key_name(k)));
  }
  h.end_without_commit(reader);

  // Idle: one more commit of every key leaves each live key one version, each deleted key none.
  const std::uint64_t last = h.next_id++;
  h.manager.begin(last);
  KeySet all;
  for (int k = 0; k < kKeys; ++k) {
    ASSERT_TRUE(k % 2 ? h.table->write(key_name(k), "final", last)
                      : h.table->write(key_name(k), std::nullopt, last));
    all.insert(key_name(k));
  }
  const std::uint64_t ts = h.manager.allocate_commit_ts();
  auto removed = h.manager.remove_active(last);
  h.manager.track_active_end(removed->snapshot_ts);
  h.table->commit(last, ts, all, h.manager.min_active_snapshot());
  EXPECT_EQ(h.table->version_count(), static_cast<std::size_t>(kKeys / 2));
  EXPECT_EQ(h.table->chain_count(), static_cast<std::size_t>(kKeys / 2));
  EXPECT_EQ(h.table->scan_prefix("", last + 1, h.manager.next_ts()).size(),
            static_cast<std::size_t>(kKeys / 2));
}

TEST(MvccConcurrencyTest, MinimumNeverPassesARunningSnapshot) {
  // Threads begin, commit timestamps and end; each checks, while its transaction runs, that the
  // published minimum is not above its snapshot.
  MvccManager m;
  std::atomic<std::uint64_t> next_id{1};
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 5'000; ++i) {
        const std::uint64_t id = next_id++;
        const std::uint64_t snap = begin(m, id);
        ASSERT_LE(m.min_active_snapshot(), snap);
        if (i % 2 == 0) (void)m.allocate_commit_ts();
        ASSERT_LE(m.min_active_snapshot(), snap);
        auto removed = m.remove_active(id);
        ASSERT_TRUE(removed);
        m.track_active_end(removed->snapshot_ts);
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(m.min_active_snapshot(), m.next_ts());
}

}  // namespace
}  // namespace kavrel
