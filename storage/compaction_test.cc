// Compaction: a snapshot of the committed state and a log that holds only what follows it.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "storage/database.h"
#include "storage/internal/io/file_io.h"
#include "storage/internal/wal/snapshot.h"
#include "storage/internal/wal/txn_wal.h"
#include "tests/support/database_fixture.h"
#include "tests/support/files.h"

namespace kavrel {
namespace {

namespace fs = std::filesystem;
using testing::read_file;
using testing::write_file;
using Data = std::map<std::string, std::string>;

const EncryptionKey kKey(Bytes(32, '\x42'));

class CompactionTest : public testing::DatabaseFixture {
 protected:
  Data all(Database& db) {
    Data out;
    for (auto& [k, v] : scan(db, "")) out[k] = v;
    return out;
  }
  void put_acked(Database& db, const std::string& key, const std::string& value) {
    put(db, key, value);
    model_[key] = value;
  }
  void del_acked(Database& db, const std::string& key) {
    del(db, key);
    model_.erase(key);
  }
  std::vector<std::string> files() {
    std::vector<std::string> out;
    for (const auto& e : fs::directory_iterator(tmp_.path())) {
      out.push_back(e.path().filename().string());
    }
    std::sort(out.begin(), out.end());
    return out;
  }
  Data model_;
};

TEST_F(CompactionTest, RoundTripKeepsExactlyTheAcknowledgedState) {
  for (const bool encrypted : {false, true}) {
    SCOPED_TRACE(encrypted ? "encrypted" : "plain");
    fs::remove_all(tmp_.path());
    fs::create_directories(tmp_.path());
    model_.clear();
    const StorageEncryption enc = encrypted ? StorageEncryption{"test", kKey} : StorageEncryption{};
    auto db = open(enc);
    ASSERT_TRUE(db);
    ASSERT_TRUE(db->register_table(TableSchema{"t", {{"id", ColumnType::Int, false}}}));
    for (int i = 0; i < 50; ++i) put_acked(*db, "k" + std::to_string(i), "v" + std::to_string(i));
    for (int i = 0; i < 50; i += 2) put_acked(*db, "k" + std::to_string(i), "again");
    for (int i = 0; i < 50; i += 5) del_acked(*db, "k" + std::to_string(i));
    const std::uint64_t lsn_before = *db->storage().checkpoint();
    const auto log_before = db->storage().log_bytes();

    auto stats = db->compact();
    ASSERT_TRUE(stats) << stats.error().message();
    EXPECT_EQ(stats->keys, model_.size());
    EXPECT_EQ(stats->generation, 1u);
    EXPECT_FALSE(fs::exists(tmp_ / "wal.log")) << "the snapshot covers it";
    EXPECT_LT(db->storage().log_bytes(), 100u) << "the new log holds its start alone";
    EXPECT_LT(fs::file_size(tmp_ / "wal.snapshot"), log_before);
    EXPECT_EQ(all(*db), model_);
    if (encrypted) {
      EXPECT_EQ(read_file(tmp_ / "wal.snapshot").find("again"), std::string::npos)
          << "nothing in plain text";
    }
    // Writes after it go to the new log; LSNs go on.
    put_acked(*db, "k1", "after");
    del_acked(*db, "k3");
    put_acked(*db, "new", "n");
    EXPECT_GT(*db->storage().checkpoint(), lsn_before);
    db.reset();

    db = open(enc);
    ASSERT_TRUE(db);
    EXPECT_EQ(all(*db), model_);
    EXPECT_TRUE(db->tables().table("t").has_value()) << "registered tables survive compaction";
    // A second compaction covers the first one's log.
    ASSERT_TRUE(db->compact());
    EXPECT_FALSE(fs::exists(tmp_ / "wal-1.log"));
    put_acked(*db, "last", "l");
    db.reset();
    db = open(enc);
    ASSERT_TRUE(db);
    EXPECT_EQ(all(*db), model_);
    EXPECT_TRUE(db->tables().table("t").has_value());
  }
}

TEST_F(CompactionTest, WritersGoOnDuringCompactions) {
  auto db = open();
  ASSERT_TRUE(db);
  std::mutex mu;
  std::atomic<bool> stop{false};
  std::vector<std::thread> writers;
  for (int w = 0; w < 8; ++w) {
    writers.emplace_back([&, w] {
      for (int i = 0; !stop; ++i) {
        const std::string key = "w" + std::to_string(w) + "/" + std::to_string(i % 20);
        const std::string value = std::to_string(i);
        const bool deleting = i % 7 == 3;
        auto r = deleting ? try_del(*db, key) : try_put(*db, key, value);
        ASSERT_TRUE(r) << r.error().message();
        std::scoped_lock lock(mu);
        if (deleting) {
          model_.erase(key);
        } else {
          model_[key] = value;
        }
      }
    });
  }
  for (int c = 0; c < 5; ++c) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    auto r = db->compact();
    ASSERT_TRUE(r) << r.error().message();
  }
  stop = true;
  for (auto& t : writers) t.join();
  EXPECT_EQ(all(*db), model_);
  db.reset();
  db = open();
  ASSERT_TRUE(db);
  EXPECT_EQ(all(*db), model_);
}

// Every registration and every drop acknowledged is kept by the compactions around it, however
// they overlap: two threads compact without pause while a third registers tables and drops some
// of them (rows and all), then the database restarts; each round registers again a name dropped
// in the round before.
TEST_F(CompactionTest, RegistrationsAndDropsAroundOverlappingCompactionsSurviveRestarts) {
  std::set<std::string> tables;  // acknowledged: registered and not dropped
  for (int round = 0; round < 4; ++round) {
    SCOPED_TRACE(round);
    auto db = open();
    ASSERT_TRUE(db);
    std::atomic<bool> stop{false};
    std::vector<std::thread> compactors;
    for (int c = 0; c < 2; ++c) {
      compactors.emplace_back([&] {
        while (!stop) ASSERT_TRUE(db->compact());
      });
    }
    const auto add = [&](const std::string& name) {
      ASSERT_TRUE(db->register_table(TableSchema{name, {{"id", ColumnType::Int, false}}}));
      put_acked(*db, name + "/1", "row");
      tables.insert(name);
    };
    for (int i = 0; i < 40; ++i) {
      add(fmt::format("t{}_{}", round, i));
      if (i % 2 == 0) continue;
      ASSERT_TRUE(db->drop_table(fmt::format("t{}_{}", round, i)));
      model_.erase(fmt::format("t{}_{}/1", round, i));
      tables.erase(fmt::format("t{}_{}", round, i));
      if (round > 0) add(fmt::format("t{}_{}", round - 1, i));  // dropped a round before
    }
    stop = true;
    for (auto& t : compactors) t.join();
    db.reset();
    db = open();
    ASSERT_TRUE(db);
    std::set<std::string> listed;
    for (const TableSchema& t : db->list_tables()) listed.insert(t.name);
    EXPECT_EQ(listed, tables);
    EXPECT_EQ(all(*db), model_);
  }
}

// A compaction stopped while writing its snapshot (a kill, a power cut, an exit on a signal)
// leaves the temporary file; the next open removes it and serves the state as acknowledged.
TEST_F(CompactionTest, OpenRemovesTheTemporaryOfAnInterruptedCompaction) {
  {
    auto db = open();
    ASSERT_TRUE(db);
    for (int i = 0; i < 20; ++i) put_acked(*db, "k" + std::to_string(i), std::string(100, 'a'));
    ASSERT_TRUE(db->compact());
    put_acked(*db, "after", "1");
  }
  const Bytes snapshot = read_file(tmp_ / "wal.snapshot");
  write_file(tmp_ / ".tmpQ1w2E3", snapshot.substr(0, snapshot.size() / 2));
  auto db = open();
  ASSERT_TRUE(db);
  EXPECT_FALSE(fs::exists(tmp_ / ".tmpQ1w2E3"));
  EXPECT_EQ(all(*db), model_);
}

// A failure at any step leaves the previous state in use: later writes and a restart see
// everything acknowledged.
TEST_F(CompactionTest, FailureAtAnyStepKeepsThePreviousState) {
  struct Case {
    const char* name;
    io::Op op;
    int skip;  // calls of op that succeed first
    int err;
  };
  const Case cases[] = {
      {"creating the next log", io::Op::OpenCreate, 0, EIO},
      {"creating the snapshot's temporary file", io::Op::OpenCreate, 1, ENOSPC},
      {"writing the snapshot", io::Op::Write, 1, ENOSPC},
      {"moving the snapshot into place", io::Op::Rename, 0, EIO},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(tmp_.path());
    fs::create_directories(tmp_.path());
    model_.clear();
    auto db = open();
    ASSERT_TRUE(db);
    for (int i = 0; i < 20; ++i) put_acked(*db, "k" + std::to_string(i), std::string(100, 'a'));
    ASSERT_TRUE(db->compact()) << "an earlier snapshot, so a failure keeps an older one";
    put_acked(*db, "between", "b");
    auto seen = std::make_shared<std::atomic<int>>(0);
    io::set_fault_plan(io::FaultPlan{[c, seen](io::Op op) -> std::optional<int> {
                                       if (op != c.op || seen->fetch_add(1) != c.skip) {
                                         return std::nullopt;
                                       }
                                       return c.err;
                                     },
                                     {}});
    auto r = db->compact();
    io::set_fault_plan(std::nullopt);
    ASSERT_FALSE(r);
    EXPECT_FALSE(db->storage().figures().log_failed);
    EXPECT_EQ(all(*db), model_);
    put_acked(*db, "later", "l");
    del_acked(*db, "k3");
    db.reset();
    db = open();
    ASSERT_TRUE(db);
    EXPECT_EQ(all(*db), model_);
    ASSERT_TRUE(db->compact()) << "and a later compaction succeeds";
    db.reset();
    db = open();
    ASSERT_TRUE(db);
    EXPECT_EQ(all(*db), model_);
  }
}

TEST_F(CompactionTest, DamagedSnapshotRefusesTheOpenNamingIt) {
  for (const bool encrypted : {false, true}) {
    SCOPED_TRACE(encrypted ? "encrypted" : "plain");
    fs::remove_all(tmp_.path());
    fs::create_directories(tmp_.path());
    const StorageEncryption enc = encrypted ? StorageEncryption{"test", kKey} : StorageEncryption{};
    {
      auto db = open(enc);
      ASSERT_TRUE(db);
      for (int i = 0; i < 10; ++i) put(*db, "k" + std::to_string(i), "value");
      ASSERT_TRUE(db->compact());
    }
    const Bytes good = read_file(tmp_ / "wal.snapshot");
    struct Damage {
      const char* name;
      Bytes bytes;
    };
    Bytes flipped = good;
    flipped[good.size() / 2] ^= 0x20;
    const Damage damages[] = {{"a flipped byte", flipped},
                              {"cut short", good.substr(0, good.size() - 3)},
                              {"its last record missing", good.substr(0, good.size() / 2)}};
    for (const Damage& d : damages) {
      SCOPED_TRACE(d.name);
      write_file(tmp_ / "wal.snapshot", d.bytes);
      auto db = Database::open(tmp_.path(), enc);
      ASSERT_FALSE(db);
      EXPECT_NE(db.error().message().find("snapshot wal.snapshot is damaged"), std::string::npos)
          << db.error().message();
      EXPECT_FALSE(fs::exists(tmp_ / ".clean_shutdown")) << "a refused open marks no clean end";
    }
    write_file(tmp_ / "wal.snapshot", good);
    auto db = open(enc);
    ASSERT_TRUE(db) << "the whole file opens again";
  }
}

// The records of a plain log or snapshot file, each with its length prefix.
std::vector<Bytes> records_of(BytesView file) {
  std::vector<Bytes> out;
  while (file.size() >= 4) {
    const std::size_t n = 4 + get_u32(file.data());
    out.emplace_back(file.substr(0, n));
    file.remove_prefix(n);
  }
  return out;
}

TEST_F(CompactionTest, SnapshotKeysOutOfOrderRefuseTheOpen) {
  {
    auto db = open();
    ASSERT_TRUE(db);
    for (int i = 0; i < 5; ++i) put(*db, "k" + std::to_string(i), "value");
    ASSERT_TRUE(db->compact());
  }
  const Bytes good = read_file(tmp_ / "wal.snapshot");
  const std::vector<Bytes> records = records_of(good);
  ASSERT_EQ(records.size(), 7U) << "start, five keys, end";
  const auto joined = [](const std::vector<Bytes>& parts) {
    Bytes out;
    for (const Bytes& p : parts) out += p;
    return out;
  };
  std::vector<Bytes> swapped = records;
  std::swap(swapped[2], swapped[3]);
  std::vector<Bytes> repeated = records;
  repeated[3] = repeated[2];
  for (const auto& [name, parts] :
       {std::pair{"swapped", swapped}, std::pair{"repeated", repeated}}) {
    SCOPED_TRACE(name);
    write_file(tmp_ / "wal.snapshot", joined(parts));
    auto db = Database::open(tmp_.path());
    ASSERT_FALSE(db);
    EXPECT_EQ(db.error().message(),
              "Corruption detected: snapshot wal.snapshot is damaged: its keys are out of order");
  }
  write_file(tmp_ / "wal.snapshot", good);
  auto db = open();
  ASSERT_TRUE(db);
  EXPECT_EQ(all(*db).size(), 5U);
}

TEST_F(CompactionTest, LoadHandsOverEveryRecordInOrderAndStopsAtTheFirstRefusal) {
  // Enough keys for several of the reading thread's batches.
  constexpr int kKeys = 30'000;
  {
    auto db = open();
    ASSERT_TRUE(db);
    for (int i = 0; i < kKeys; i += 1000) {
      const auto t = begin(*db);
      for (int j = i; j < i + 1000; ++j) {
        ASSERT_TRUE(db->storage().write_refs(t, fmt::format("k{:06}", j), Bytes(90, 'v')));
      }
      ASSERT_TRUE(db->commit(t));
    }
    ASSERT_TRUE(db->compact());
  }
  std::vector<Bytes> keys;
  auto loaded = load_snapshot(tmp_.path(), {}, [&](const TxnWalEntryView& e) -> Result<> {
    keys.emplace_back(e.key);
    EXPECT_EQ(e.value, Bytes(90, 'v'));
    return {};
  });
  ASSERT_TRUE(loaded) << loaded.error().message();
  ASSERT_TRUE(loaded->has_value());
  EXPECT_EQ((*loaded)->keys, static_cast<std::uint64_t>(kKeys));
  ASSERT_EQ(keys.size(), static_cast<std::size_t>(kKeys));
  EXPECT_TRUE(std::is_sorted(keys.begin(), keys.end()));

  // The applier's refusal ends the load with its error, however much the reader has read ahead.
  std::size_t seen = 0;
  auto refused = load_snapshot(tmp_.path(), {}, [&](const TxnWalEntryView&) -> Result<> {
    if (++seen == 12'345) return fail(KavrelError::internal("refused"));
    return {};
  });
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().message(), "Internal error: refused");
  EXPECT_EQ(seen, 12'345U);

  // Damage in the middle: the records before it are handed over, then the damage is reported.
  Bytes cut = read_file(tmp_ / "wal.snapshot");
  cut.resize(cut.size() / 2);
  write_file(tmp_ / "wal.snapshot", cut);
  seen = 0;
  auto damaged = load_snapshot(tmp_.path(), {}, [&](const TxnWalEntryView&) -> Result<> {
    ++seen;
    return {};
  });
  ASSERT_FALSE(damaged);
  EXPECT_EQ(
      damaged.error().message(),
      "Corruption detected: snapshot wal.snapshot is damaged: it ends before its last record");
  EXPECT_GT(seen, 0U);
  EXPECT_LT(seen, static_cast<std::size_t>(kKeys));
}

}  // namespace
}  // namespace kavrel
