// The engine as its callers use it: the commit protocol, reads and scans, abort, recovery,
// checkpoints, encryption and failures of the log.
#include "storage/database.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdint>
#include <fstream>
#include <mutex>
#include <optional>
#include <sstream>
#include <thread>
#include <unordered_map>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "storage/internal/io/file_io.h"
#include "storage/internal/mvcc/memtable.h"
#include "storage/internal/mvcc/mvcc_manager.h"
#include "storage/internal/wal/txn_wal.h"
#include "tests/support/database_fixture.h"
#include "tests/support/files.h"
#include "tests/support/temp_dir.h"

namespace kavrel {
namespace {

constexpr const char* kValidation =
    "Validation error: transaction aborted: SSI validation failed (serialization conflict) or "
    "transaction not found";

using testing::read_file;

using DatabaseTest = testing::DatabaseFixture;

TEST_F(DatabaseTest, CommitIsVisibleOnlyToLaterSnapshots) {
  auto db = open();
  const auto writer = begin(*db);
  ASSERT_TRUE(db->storage().write_refs(writer, "k", "v1"));
  EXPECT_EQ(*db->get(writer, "k"), "v1") << "a transaction sees its own write";
  const auto before = begin(*db);
  EXPECT_EQ(*db->get(before, "k"), std::nullopt) << "pending writes of others are invisible";
  auto ts = db->commit(writer);
  ASSERT_TRUE(ts);
  const auto after = begin(*db);
  EXPECT_EQ(*db->get(after, "k"), "v1");
  EXPECT_EQ(*db->get(before, "k"), std::nullopt) << "committed at or after the snapshot";
  EXPECT_GT(*db->storage().read_point(after), *ts);
}

// A transaction that wrote nothing (a read, an empty explicit transaction, an abort) leaves no
// byte in the log and waits for no sync.
TEST_F(DatabaseTest, TransactionsWithoutWritesLogNothing) {
  auto db = open();
  put(*db, "k", "v");
  const auto size = std::filesystem::file_size(tmp_ / "wal.log");
  const auto syncs = io::fsync_count();
  const auto t1 = begin(*db);
  EXPECT_EQ(*db->get(t1, "k"), "v");
  auto ts1 = db->commit(t1);
  ASSERT_TRUE(ts1);
  ASSERT_TRUE(db->storage().abort(begin(*db)));
  const auto t3 = begin(*db);
  ASSERT_TRUE(db->storage().write_refs(t3, "w", "x"));
  ASSERT_TRUE(db->storage().abort(t3));  // its records never reached the log
  EXPECT_EQ(io::fsync_count(), syncs);
  EXPECT_EQ(std::filesystem::file_size(tmp_ / "wal.log"), size);
  auto ts2 = db->commit(begin(*db));
  ASSERT_TRUE(ts2);
  EXPECT_GT(*ts2, *ts1);
}

TEST_F(DatabaseTest, CommitTwiceOrUnknownIdGivesTheValidationMessage) {
  auto db = open();
  const auto t = begin(*db);
  ASSERT_TRUE(db->commit(t));
  for (std::uint64_t id : {t, std::uint64_t{12345}}) {
    auto r = db->commit(id);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(), kValidation);
  }
}

TEST_F(DatabaseTest, ReadsOfUnknownTransactionsFail) {
  auto db = open();
  const auto t = begin(*db);
  ASSERT_TRUE(db->storage().abort(t));
  for (std::uint64_t id : {t, std::uint64_t{999}}) {
    EXPECT_EQ(db->get(id, "k").error().message(), "Internal error: Transaction not found");
    EXPECT_EQ(db->scan_unchecked(id, "").error().message(),
              "Internal error: Transaction not found");
  }
}

TEST_F(DatabaseTest, WriteSkewIsRefusedAndTheLoserLeavesNoPendingVersions) {
  auto db = open();
  put(*db, "x", "0");
  put(*db, "y", "0");
  const auto t1 = begin(*db), t2 = begin(*db);
  for (auto t : {t1, t2}) {
    ASSERT_TRUE(db->get(t, "x"));
    ASSERT_TRUE(db->get(t, "y"));
  }
  ASSERT_TRUE(db->storage().write_refs(t1, "y", "1"));
  ASSERT_TRUE(db->storage().write_refs(t2, "x", "1"));
  ASSERT_TRUE(db->commit(t1));
  auto r = db->commit(t2);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().message(), kValidation);
  EXPECT_EQ(get(*db, "x"), "0");
  put(*db, "x", "2");  // no write-write conflict left behind by the refused transaction
  EXPECT_EQ(get(*db, "x"), "2");
}

TEST_F(DatabaseTest, SecondWriterConflictsUntilTheFirstEnds) {
  auto db = open();
  const auto t1 = begin(*db), t2 = begin(*db);
  ASSERT_TRUE(db->storage().write_refs(t1, "k", "a"));
  auto r = db->storage().write_refs(t2, "k", "b");
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().message(), "Internal error: Write-write conflict detected");
  ASSERT_TRUE(db->storage().abort(t2));
  ASSERT_TRUE(db->commit(t1));
  put(*db, "k", "c");
  EXPECT_EQ(get(*db, "k"), "c");
}

TEST_F(DatabaseTest, BlindWriteWaitsForAPendingWriteWithinItsBound) {
  auto db = open();
  const auto holder = begin(*db);
  ASSERT_TRUE(db->storage().write_refs(holder, "k", "held"));
  // Past its bound it fails with the conflict error, leaving nothing behind.
  const auto started = std::chrono::steady_clock::now();
  auto refused = db->write_blind("k", BytesView("late"), std::chrono::milliseconds(50));
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().message(), "Internal error: Write-write conflict detected");
  EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(50));
  // Within its bound it applies once the holder has committed, after it.
  std::thread committer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    ASSERT_TRUE(db->commit(holder));
  });
  auto written = db->write_blind("k", BytesView("blind"));
  committer.join();
  ASSERT_TRUE(written);
  EXPECT_EQ(get(*db, "k"), "blind");
  // A deletion waits the same way.
  ASSERT_TRUE(db->write_blind("k", std::nullopt));
  EXPECT_EQ(get(*db, "k"), std::nullopt);
}

TEST_F(DatabaseTest, ScannedPrefixesAreCheckedAtCommit) {
  auto db = open();
  const auto scanner = begin(*db);
  ASSERT_TRUE(db->scan_unchecked(scanner, "p/"));
  put(*db, "p/new", "phantom");
  ASSERT_TRUE(db->storage().write_refs(scanner, "count", "0"));
  auto r = db->commit(scanner);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().message(), kValidation);
  EXPECT_EQ(get(*db, "count"), std::nullopt);
}

TEST_F(DatabaseTest, AbortFreesTheKeyAndItsValueIsNeverRead) {
  auto db = open();
  put(*db, "k", "committed");
  const auto t = begin(*db);
  ASSERT_TRUE(db->storage().delete_key(t, "k"));
  ASSERT_TRUE(db->storage().write_refs(t, "other", "pending"));
  EXPECT_EQ(*db->get(t, "k"), std::nullopt) << "own pending delete";
  ASSERT_TRUE(db->storage().abort(t));
  EXPECT_EQ(get(*db, "k"), "committed");
  EXPECT_EQ(get(*db, "other"), std::nullopt);
  put(*db, "other", "new");
  EXPECT_EQ(get(*db, "other"), "new");
  EXPECT_TRUE(db->storage().abort(424242)) << "unknown ids abort successfully";
  EXPECT_EQ(db->storage().figures().running_transactions, 0u);
}

TEST_F(DatabaseTest, AbortOfAReadOnlyTransactionLogsNothing) {
  auto db = open();
  put(*db, "k", "v");
  const auto t = begin(*db);
  const auto size = std::filesystem::file_size(tmp_ / "wal.log");
  ASSERT_TRUE(db->get(t, "k"));
  ASSERT_TRUE(db->storage().abort(t));
  EXPECT_EQ(std::filesystem::file_size(tmp_ / "wal.log"), size);
}

TEST_F(DatabaseTest, ScansAreOrderedAndSeeOnlyTheSnapshot) {
  auto db = open();
  for (const char* k : {"ab3", "ab1", "b", "ab2", "a", "ab"}) put(*db, k, k);
  del(*db, "ab2");
  const auto other = begin(*db);
  ASSERT_TRUE(db->storage().write_refs(other, "ab4", "pending"));
  auto got = scan(*db, "ab");
  std::vector<Bytes> keys;
  for (auto& [k, v] : got) keys.push_back(k);
  EXPECT_EQ(keys, (std::vector<Bytes>{"ab", "ab1", "ab3"}));
  EXPECT_EQ(scan(*db, "").size(), 5u);
  EXPECT_TRUE(scan(*db, "zz").empty());
  const auto t = begin(*db);
  EXPECT_EQ(db->scan_path(t, "a").error().message(),
            "Invalid argument: Prefix too short: 1 bytes (minimum 2 required). Use "
            "scan_unchecked() for unrestricted scans.");
  EXPECT_EQ(db->scan_path(t, "").error().message(),
            "Invalid argument: Prefix too short: 0 bytes (minimum 2 required). Use "
            "scan_unchecked() for unrestricted scans.");
}

TEST_F(DatabaseTest, ScanPathDropsKeysThatAreNotUtf8) {
  auto db = open();
  put(*db, "p/a", "1");
  put(*db, "p/\xff", "2");
  put(*db, "p/c", "3");
  const auto t = begin(*db);
  auto got = db->scan_path(t, "p/");
  ASSERT_TRUE(got);
  ASSERT_EQ(got->size(), 2u);
  EXPECT_EQ((*got)[0].first, "p/a");
  EXPECT_EQ((*got)[1].first, "p/c");
}

TEST_F(DatabaseTest, RestartReplaysCommittedDataDeletionsIncluded) {
  {
    auto db = open();
    put(*db, "kept", "v");
    put(*db, "empty", "");
    put(*db, "gone", "v");
    del(*db, "gone");
    const auto unfinished = begin(*db);
    ASSERT_TRUE(db->storage().write_refs(unfinished, "unfinished", "v"));
  }
  EXPECT_TRUE(std::filesystem::exists(tmp_ / ".clean_shutdown"));
  auto db = open();
  EXPECT_FALSE(std::filesystem::exists(tmp_ / ".clean_shutdown")) << "consumed by the open";
  EXPECT_EQ(get(*db, "kept"), "v");
  EXPECT_EQ(get(*db, "empty"), "") << "an empty value stays a present value";
  EXPECT_EQ(get(*db, "gone"), std::nullopt);
  EXPECT_EQ(get(*db, "unfinished"), std::nullopt);
  std::vector<Bytes> keys;
  for (auto& [k, v] : scan(*db, "")) keys.push_back(k);
  EXPECT_EQ(keys, (std::vector<Bytes>{"empty", "kept"}));
}

TEST_F(DatabaseTest, FreshLogGivesTheFirstClientTransactionTheFirstIdOfThisProcess) {
  // The replay of an empty log takes neither an id nor a timestamp.
  auto db = open();
  const std::uint64_t pid = static_cast<std::uint64_t>(getpid());
  const std::uint64_t txn = begin(*db);
  EXPECT_EQ(txn, (pid << 32) + 1);
  EXPECT_EQ(db->storage().read_point(txn), std::optional<std::uint64_t>(1));
}

TEST_F(DatabaseTest, WritesAfterATornTailSurviveTheNextRestart) {
  {
    auto db = open();
    put(*db, "a", "1");
    put(*db, "b", "2");
  }
  const auto log = tmp_ / "wal.log";
  std::filesystem::resize_file(log, std::filesystem::file_size(log) - 3);  // cuts b's Commit
  {
    auto db = open();
    EXPECT_EQ(get(*db, "a"), "1");
    EXPECT_EQ(get(*db, "b"), std::nullopt);
    put(*db, "c", "3");
  }
  auto db = open();
  EXPECT_EQ(get(*db, "a"), "1");
  EXPECT_EQ(get(*db, "c"), "3");
}

TEST_F(DatabaseTest, CheckpointsAppendAMarkerAndUpdateOnlyAnExistingManifest) {
  {
    auto db = open();
    auto first = db->storage().checkpoint();
    ASSERT_TRUE(first);
    EXPECT_EQ(*first, 0u) << "the replay appends nothing to an empty log";
    auto second = db->storage().checkpoint();
    ASSERT_TRUE(second);
    EXPECT_EQ(*second, *first + 1);
    EXPECT_EQ(db->storage().last_checkpoint_lsn(), *second);
    EXPECT_FALSE(std::filesystem::exists(tmp_ / "wal.manifest"));
  }
  std::ofstream(tmp_ / "wal.manifest")
      << R"({"last_checkpoint_lsn":7,"db_uuid":"x","format_version":1})";
  auto db = open();
  EXPECT_EQ(db->storage().last_checkpoint_lsn(), 7u);
  auto lsn = db->storage().checkpoint();
  ASSERT_TRUE(lsn);
  EXPECT_EQ(
      read_file(tmp_ / "wal.manifest"),
      R"({"format_version":1,"db_uuid":"x","last_checkpoint_lsn":)" + std::to_string(*lsn) + "}");
}

// Checkpoints that run at once leave the manifest and last_checkpoint_lsn at the newest of them,
// never an older one.
TEST_F(DatabaseTest, ConcurrentCheckpointsLeaveTheManifestAtTheNewest) {
  std::ofstream(tmp_ / "wal.manifest")
      << R"({"format_version":1,"db_uuid":"x","last_checkpoint_lsn":0})";
  auto db = open();
  put(*db, "a", "1");
  std::vector<std::thread> threads;
  std::mutex mu;
  std::uint64_t newest = 0;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 10; ++i) {
        auto l = db->storage().checkpoint();
        ASSERT_TRUE(l) << l.error().message();
        std::scoped_lock lock(mu);
        newest = std::max(newest, *l);
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(db->storage().last_checkpoint_lsn(), newest);
  EXPECT_EQ(
      read_file(tmp_ / "wal.manifest"),
      R"({"format_version":1,"db_uuid":"x","last_checkpoint_lsn":)" + std::to_string(newest) + "}");
}

TEST_F(DatabaseTest, OpenRefusalsReleaseTheLock) {
  std::ofstream(tmp_ / "wal.manifest")
      << R"({"format_version":2,"db_uuid":"x","last_checkpoint_lsn":0})";
  auto r = Database::open(tmp_.path());
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().message(),
            "Corruption detected: unsupported wal.manifest version 2 (expected 1)");
  EXPECT_FALSE(std::filesystem::exists(tmp_ / ".lock"));
  std::filesystem::remove(tmp_ / "wal.manifest");

  std::ofstream(tmp_ / "keyring.json") << "{}";
  r = Database::open(tmp_.path());
  ASSERT_FALSE(r);
  EXPECT_FALSE(std::filesystem::exists(tmp_ / ".lock"));
}

TEST_F(DatabaseTest, EncryptedDatabaseOpensOnlyWithItsKey) {
  const EncryptionKey key(Bytes(32, '\x11'));
  {
    auto db = open(StorageEncryption{"test", key});
    ASSERT_TRUE(db);
    EXPECT_TRUE(db->storage().encrypted());
    put(*db, "secret", "value");
  }
  EXPECT_EQ(read_file(tmp_ / "wal.log").find("secret"), std::string::npos);
  {
    auto db = open(StorageEncryption{"test", key});
    ASSERT_TRUE(db);
    EXPECT_EQ(get(*db, "secret"), "value");
  }
  auto wrong =
      Database::open(tmp_.path(), StorageEncryption{"test", EncryptionKey(Bytes(32, 'x'))});
  ASSERT_FALSE(wrong);
  EXPECT_EQ(wrong.error().message(),
            "Encryption error: keyring authentication failed: wrong encryption key or tampered "
            "keyring; refusing to open");
  auto none = Database::open(tmp_.path());
  ASSERT_FALSE(none);
  EXPECT_EQ(none.error().message(),
            "Encryption error: database has a keyring (encryption configured) but no encryption "
            "key was provided (set the KEK, e.g. KAVREL_ENCRYPTION_KEY); refusing to open");

  // A flipped byte inside the first frame: the right key no longer opens the log.
  {
    std::fstream f(tmp_ / "wal.log", std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(20);
    f.put('\x5a');
  }
  auto tampered = Database::open(tmp_.path(), StorageEncryption{"test", key});
  ASSERT_FALSE(tampered);
  EXPECT_EQ(tampered.error().message(),
            "Encryption error: Decryption failed (wrong key or tampered data)");
  EXPECT_FALSE(std::filesystem::exists(tmp_ / ".lock"));
}

TEST_F(DatabaseTest, FailedSyncFailsClosedButReadsGoOn) {
  auto db = open();
  put(*db, "before", "1");
  io::set_fault_plan(io::FaultPlan{[](io::Op op) -> std::optional<int> {
                                     if (op == io::Op::Fsync) return EIO;
                                     return std::nullopt;
                                   },
                                   {}});
  const auto t = begin(*db);
  ASSERT_TRUE(db->storage().write_refs(t, "lost", "x"));
  auto r = db->commit(t);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), KavrelError::Kind::Io);
  EXPECT_EQ(r.error().message(), "IO error: Input/output error (os error 5)");
  io::set_fault_plan(std::nullopt);  // the device recovers; the log must stay closed

  EXPECT_EQ(get(*db, "before"), "1") << "reads keep working";
  EXPECT_EQ(get(*db, "lost"), std::nullopt) << "a failed commit is never visible";
  const auto t2 = begin(*db);
  ASSERT_TRUE(db->storage().write_refs(t2, "lost", "y")) << "the failed commit left no conflict";
  auto r2 = db->commit(t2);
  ASSERT_FALSE(r2) << "nothing is acknowledged after a failed sync";
  EXPECT_EQ(r2.error().kind(), KavrelError::Kind::Io);
  EXPECT_FALSE(db->storage().checkpoint());
  db.reset();

  db = open();
  EXPECT_EQ(get(*db, "before"), "1");
  EXPECT_EQ(get(*db, "lost"), std::nullopt) << "the failed batch must not resurrect";
  put(*db, "after", "2");
  EXPECT_EQ(get(*db, "after"), "2");
}

TEST_F(DatabaseTest, ConcurrentCommittersShareSyncs) {
  auto db = open();
  constexpr int kThreads = 16, kPerThread = 40;
  const auto syncs = io::fsync_count();
  std::vector<std::thread> threads;
  std::atomic<int> ok{0};
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      for (int j = 0; j < kPerThread; ++j) {
        const std::string key = "k" + std::to_string(i) + "/" + std::to_string(j);
        auto t = db->storage().begin_transaction();
        if (!t || !db->storage().write_refs(*t, key, key)) continue;
        if (db->commit(*t)) ++ok;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(ok.load(), kThreads * kPerThread);
  EXPECT_LT(io::fsync_count() - syncs, static_cast<std::uint64_t>(kThreads * kPerThread));
  EXPECT_EQ(scan(*db, "k").size(), static_cast<std::size_t>(kThreads * kPerThread));
}

// Reads outside any transaction: the reader sees what was committed when it was made, never
// another transaction's pending write, and keeps the versions it sees while it lives, without
// registering a transaction; once it ends, those versions are pruned like any others.
TEST_F(DatabaseTest, SnapshotReaderHoldsItsSnapshotWithoutATransaction) {
  auto db = open();
  put(*db, "k", "1");
  std::optional<Database::SnapshotReader> reader(std::in_place, *db);
  const auto pending = begin(*db);
  ASSERT_TRUE(db->storage().write_refs(pending, "k", "theirs"));
  EXPECT_EQ(reader->get("k"), "1");
  EXPECT_EQ(Database::SnapshotReader(*db).get("k"), "1");
  ASSERT_TRUE(db->storage().abort(pending));
  for (int i = 2; i <= 4; ++i) put(*db, "k", std::to_string(i));
  EXPECT_EQ(reader->get("k"), "1") << "a version the reader sees was dropped";
  EXPECT_EQ(reader->get("absent"), std::nullopt);
  EXPECT_EQ(Database::SnapshotReader(*db).get("k"), "4");
  EXPECT_EQ(db->storage().figures().running_transactions, 0u);
  reader.reset();
  put(*db, "k", "5");
  put(*db, "k", "6");
  EXPECT_EQ(db->storage().figures().versions, 2u);
}

TEST_F(DatabaseTest, SnapshotReadsStayCorrectWhileVersionsArePruned) {
  // Writers update a few keys (each key has one writer, so they never conflict) while readers
  // hold snapshots across many reads. Every read is checked afterwards against what the writers
  // acknowledged: it must come from a commit below the reader's snapshot, at least as new as the
  // last commit acknowledged before the reader began, and never older than an earlier read of
  // the same key in the same transaction.
  auto db = open();
  constexpr int kKeys = 8, kWriters = 4, kReaders = 4, kUpdates = 300;
  const auto key_of = [](int k) { return "key" + std::to_string(k); };
  for (int k = 0; k < kKeys; ++k) put(*db, key_of(k), "init");
  std::mutex mu;
  std::unordered_map<std::string, std::uint64_t> ts_of;  // guarded by mu
  ts_of["init"] = 0;
  std::array<std::atomic<std::uint64_t>, kKeys> acked{};
  struct Read {
    int key;
    std::string value;
    std::uint64_t snapshot, acked_before, previous_ts_index;
  };
  std::vector<std::vector<Read>> reads(kReaders);
  std::atomic<bool> writers_done{false};

  std::vector<std::thread> threads;
  for (int w = 0; w < kWriters; ++w) {
    threads.emplace_back([&, w] {
      for (int i = 0; i < kUpdates; ++i) {
        const int k = w + kWriters * (i % (kKeys / kWriters));
        const std::string value = std::to_string(w) + "-" + std::to_string(i);
        auto t = db->storage().begin_transaction();
        ASSERT_TRUE(t);
        ASSERT_TRUE(db->storage().write_refs(*t, key_of(k), value));
        auto ts = db->commit(*t);
        ASSERT_TRUE(ts);
        {
          std::scoped_lock lock(mu);
          ts_of[value] = *ts;
        }
        acked[k].store(*ts);
      }
    });
  }
  for (int r = 0; r < kReaders; ++r) {
    threads.emplace_back([&, r] {
      while (!writers_done.load()) {
        std::array<std::uint64_t, kKeys> before{};
        for (int k = 0; k < kKeys; ++k) before[k] = acked[k].load();
        auto t = db->storage().begin_transaction();
        ASSERT_TRUE(t);
        const std::uint64_t snapshot = *db->storage().read_point(*t);
        std::array<std::size_t, kKeys> last{};
        last.fill(SIZE_MAX);
        for (int round = 0; round < 3; ++round) {
          for (int k = 0; k < kKeys; ++k) {
            auto v = db->get(*t, key_of(k));
            ASSERT_TRUE(v);
            ASSERT_TRUE(v->has_value()) << "a version the snapshot needs was dropped";
            reads[r].push_back({k, **v, snapshot, before[k], last[k]});
            last[k] = reads[r].size() - 1;
            std::this_thread::yield();
          }
        }
        ASSERT_TRUE(db->storage().abort(*t));
      }
    });
  }
  for (int w = 0; w < kWriters; ++w) threads[w].join();
  writers_done = true;
  for (std::size_t i = kWriters; i < threads.size(); ++i) threads[i].join();

  std::size_t checked = 0;
  for (const auto& list : reads) {
    for (const Read& read : list) {
      ASSERT_TRUE(ts_of.contains(read.value)) << read.value;
      const std::uint64_t ts = ts_of[read.value];
      EXPECT_LT(ts, read.snapshot);
      EXPECT_GE(ts, read.acked_before) << "older than a commit acknowledged before the snapshot";
      if (read.previous_ts_index != SIZE_MAX) {
        EXPECT_GE(ts, ts_of[list[read.previous_ts_index].value]) << "a read went back in time";
      }
      ++checked;
    }
  }
  EXPECT_GT(checked, 0u);
  // With no snapshot held any more, the next commits of each key keep only the new version and
  // the one before it: a transaction that begins while a commit is becoming visible takes a
  // snapshot below it and still reads the previous version.
  for (int round = 0; round < 2; ++round) {
    for (int k = 0; k < kKeys; ++k) put(*db, key_of(k), "last" + std::to_string(round));
  }
  EXPECT_EQ(db->storage().figures().versions, static_cast<std::size_t>(2 * kKeys))
      << "old versions are pruned once no snapshot needs them";
}

}  // namespace
}  // namespace kavrel

namespace kavrel {
namespace {

TableSchema schema_of(std::string name, std::vector<ColumnDef> columns) {
  return TableSchema{std::move(name), std::move(columns)};
}

std::string describe(const std::optional<TableSchema>& s) {
  if (!s) return "(none)";
  std::string out = s->name + ":";
  for (const ColumnDef& c : s->columns) {
    out += fmt::format(" {}/{}/{}", c.name, static_cast<int>(c.column_type), c.nullable ? 1 : 0);
  }
  return out;
}

TEST_F(DatabaseTest, RegisteredSchemasSurviveRestartsAndStayOutOfTheKeySpace) {
  auto db = open();
  ASSERT_TRUE(db->register_table(
      schema_of("orders", {{"id", ColumnType::Int, false}, {"note", ColumnType::Text, true}})));
  // A table without columns, as servers that did not refuse them registered it.
  ASSERT_TRUE(db->storage().log_schema("empty", encode_table_schema(schema_of("empty", {}))));
  ASSERT_TRUE(db->register_table(schema_of("flags", {{"on", ColumnType::Bool, false}})));
  put(*db, "orders/1", "row bytes");
  db.reset();

  for (int round = 0; round < 2; ++round) {  // twice: recovery must not log them again
    SCOPED_TRACE(round);
    db = open();
    EXPECT_EQ(describe(db->describe_table("orders")), "orders: id/0/0 note/3/1");
    EXPECT_EQ(describe(db->describe_table("flags")), "flags: on/5/0");
    EXPECT_EQ(describe(db->describe_table("empty")), "empty:");
    EXPECT_EQ(describe(db->describe_table("nope")), "(none)");
    std::vector<std::string> names;
    for (const auto& s : db->list_tables()) names.push_back(s.name);
    EXPECT_EQ(names, (std::vector<std::string>{"empty", "flags", "orders"}));
    // The schemas are not keys: no read sees them.
    EXPECT_EQ(get(*db, "orders"), std::nullopt);
    const auto all = scan(*db, "");
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].first, "orders/1");
    // The name stays taken after the restart, and the first schema stays in place.
    auto again = db->register_table(schema_of("orders", {}));
    ASSERT_FALSE(again);
    EXPECT_EQ(again.error().message(), "Invalid argument: Table 'orders' already exists");
    EXPECT_EQ(db->describe_table("orders")->columns.size(), 2u);
    db.reset();
  }
}

TEST_F(DatabaseTest, ConcurrentRegistrationsOfOneNameLogItOnce) {
  auto db = open();
  constexpr int kThreads = 8;
  std::atomic<int> succeeded{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      if (db->register_table(schema_of("t", {{fmt::format("c{}", i), ColumnType::Int, false}}))) {
        ++succeeded;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(succeeded.load(), 1);
  const std::string before = describe(db->describe_table("t"));
  db.reset();
  auto reader = WalReader::open(tmp_ / "wal.log", nullptr, {}, 0);
  ASSERT_TRUE(reader);
  int schema_records = 0;
  for (auto e = reader->read_record(); e; e = reader->read_record()) {
    if (e->record_type == static_cast<std::uint8_t>(WalRecordType::Schema)) ++schema_records;
  }
  EXPECT_EQ(schema_records, 1) << "one Schema record in the log";
  db = open();
  EXPECT_EQ(describe(db->describe_table("t")), before);
}

// A table its own paths or queries could not serve is refused, and nothing of it is logged.
TEST_F(DatabaseTest, UnusableTablesAreRefused) {
  const ColumnDef id{"id", ColumnType::Int, false};
  struct Case {
    TableSchema schema;
    const char* error;
  };
  const Case cases[] = {
      {schema_of("", {id}), "Invalid argument: Table name must not be empty"},
      {schema_of("sl/ash", {id}), "Invalid argument: Table name must not contain '/': sl/ash"},
      {schema_of("none", {}), "Invalid argument: Table 'none' must have at least one column"},
      {schema_of("twice", {id, {"v", ColumnType::Text, true}, {"id", ColumnType::Text, true}}),
       "Invalid argument: Duplicate column name 'id' in table 'twice'"},
  };
  auto db = open();
  const auto log_size = db->storage().log_bytes();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.error);
    auto r = db->register_table(c.schema);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(), c.error);
    EXPECT_FALSE(db->describe_table(c.schema.name));
  }
  EXPECT_EQ(db->storage().log_bytes(), log_size);
  EXPECT_TRUE(db->list_tables().empty());
}

// A drop removes the schema and every row under "NAME/" in one durable step: nothing else, both
// gone after a restart, and the name free for a new table.
TEST_F(DatabaseTest, DropTableRemovesSchemaAndRowsDurably) {
  auto db = open();
  const ColumnDef id{"id", ColumnType::Int, false};
  ASSERT_TRUE(db->register_table(schema_of("t", {id})));
  ASSERT_TRUE(db->register_table(schema_of("tt", {id})));
  for (const char* key : {"t/1", "t/2/name", "tt/1", "t"}) put(*db, key, "v");
  ASSERT_TRUE(db->drop_table("t"));
  const auto after = [&](Database& d) {
    std::vector<std::string> keys;
    for (const auto& [k, v] : scan(d, "")) keys.push_back(k);
    EXPECT_EQ(keys, (std::vector<std::string>{"t", "tt/1"}));
    EXPECT_FALSE(d.describe_table("t"));
    EXPECT_TRUE(d.describe_table("tt"));
  };
  after(*db);
  auto again = db->drop_table("t");
  ASSERT_FALSE(again);
  EXPECT_EQ(again.error().message(), "Invalid argument: Table not found: t");
  db.reset();
  db = open();
  after(*db);
  ASSERT_TRUE(db->register_table(schema_of("t", {{"other", ColumnType::Text, true}})))
      << "a dropped name can be registered again";
  db.reset();
  db = open();
  EXPECT_EQ(describe(db->describe_table("t")), "t: other/3/1");
}

// In a transaction the drop is part of it: an abort keeps table and rows; a row written under
// the table by another transaction meanwhile refuses the commit; a drop whose table was dropped
// and registered again before it commits is refused and leaves the new table alone.
TEST_F(DatabaseTest, DropTableInATransactionCommitsWithItOrNotAtAll) {
  auto db = open();
  const ColumnDef id{"id", ColumnType::Int, false};
  ASSERT_TRUE(db->register_table(schema_of("t", {id})));
  put(*db, "t/1", "v");

  auto aborted = begin(*db);
  ASSERT_TRUE(db->drop_table(aborted, "t"));
  ASSERT_TRUE(db->storage().abort(aborted));
  EXPECT_TRUE(db->describe_table("t"));
  EXPECT_EQ(get(*db, "t/1"), "v");

  auto raced = begin(*db);
  ASSERT_TRUE(db->drop_table(raced, "t"));
  put(*db, "t/2", "inserted meanwhile");
  auto refused = db->commit(raced);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().kind(), KavrelError::Kind::Validation);
  EXPECT_TRUE(db->describe_table("t"));
  EXPECT_EQ(get(*db, "t/1"), "v");

  // A table without rows, so that only the schema tells the two drops apart.
  ASSERT_TRUE(db->register_table(schema_of("e", {id})));
  auto stale = begin(*db);
  ASSERT_TRUE(db->drop_table(stale, "e"));
  ASSERT_TRUE(db->drop_table("e"));
  ASSERT_TRUE(db->register_table(schema_of("e", {{"new", ColumnType::Bool, false}})));
  auto late = db->commit(stale);
  ASSERT_FALSE(late);
  EXPECT_EQ(late.error().kind(), KavrelError::Kind::Validation);
  EXPECT_EQ(describe(db->describe_table("e")), "e: new/5/0");
  EXPECT_EQ(db->storage().figures().running_transactions, 0u);
  db.reset();
  db = open();
  EXPECT_EQ(describe(db->describe_table("e")), "e: new/5/0");
  EXPECT_TRUE(db->describe_table("t"));
}

TEST_F(DatabaseTest, FailedSchemaSyncRegistersNothing) {
  auto db = open();
  io::set_fault_plan(io::FaultPlan{[](io::Op op) -> std::optional<int> {
                                     if (op == io::Op::Fsync) return EIO;
                                     return std::nullopt;
                                   },
                                   {}});
  auto r = db->register_table(schema_of("t", {{"x", ColumnType::Int, false}}));
  io::set_fault_plan(std::nullopt);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), KavrelError::Kind::Io);
  EXPECT_FALSE(db->describe_table("t")) << "an unlogged table must not be served";
}

}  // namespace
}  // namespace kavrel
