// Online backup: a copy of the committed state at one commit point, written while writers go on,
// that the storage opens as it is; and the check of a backup's files.
#include "storage/backup.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "storage/internal/io/file_io.h"
#include "storage/internal/wal/txn_wal.h"
#include "storage/internal/wal/wal_reader.h"
#include "tests/support/database_fixture.h"
#include "tests/support/files.h"
#include "tests/support/temp_dir.h"

namespace kavrel {
namespace {

namespace fs = std::filesystem;
using testing::read_file;
using testing::write_file;
using Data = std::map<std::string, std::string>;

const EncryptionKey kKey(Bytes(32, '\x42'));

// The committed state and the tables a log holds below an LSN: every transaction whose Commit
// record lies below it, every schema logged below it (the log of a database never compacted).
struct LoggedState {
  Data keys;
  std::set<std::string> tables;
};
LoggedState state_below(const fs::path& log, std::uint64_t lsn) {
  LoggedState out;
  auto reader = WalReader::open(log, nullptr, {}, 0);
  EXPECT_TRUE(reader) << reader.error().message();
  if (!reader) return out;
  std::unordered_map<std::uint64_t, std::vector<std::pair<std::string, std::optional<Bytes>>>>
      pending;
  std::unordered_map<std::uint64_t, std::vector<std::string>> drops;
  for (std::uint64_t at = 0; at < lsn; ++at) {
    auto e = reader->read_record();
    EXPECT_TRUE(e) << "record " << at << ": " << e.error().message();
    if (!e) return out;
    switch (static_cast<WalRecordType>(e->record_type)) {
      case WalRecordType::Write: pending[e->txn_id].emplace_back(e->key, e->value); break;
      case WalRecordType::Delete: pending[e->txn_id].emplace_back(e->key, std::nullopt); break;
      case WalRecordType::SchemaDrop: drops[e->txn_id].push_back(e->key); break;
      case WalRecordType::Schema: out.tables.insert(e->key); break;
      case WalRecordType::Commit:
        for (auto& [k, v] : pending[e->txn_id]) {
          if (v) {
            out.keys[k] = *v;
          } else {
            out.keys.erase(k);
          }
        }
        for (const auto& t : drops[e->txn_id]) out.tables.erase(t);
        pending.erase(e->txn_id);
        drops.erase(e->txn_id);
        break;
      default: break;
    }
  }
  return out;
}

class BackupTest : public testing::DatabaseFixture {
 protected:
  Data all(Database& db) {
    Data out;
    for (auto& [k, v] : scan(db, "")) out[k] = v;
    return out;
  }
  std::set<std::string> tables(const Database& db) {
    std::set<std::string> out;
    for (const TableSchema& t : db.list_tables()) out.insert(t.name);
    return out;
  }
  // The entries of a directory, by name.
  static std::set<std::string> entries(const fs::path& dir) {
    std::set<std::string> out;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir, ec)) out.insert(e.path().filename().string());
    return out;
  }
  std::shared_ptr<Database> open_backup(const fs::path& dir, const StorageEncryption& enc = {}) {
    auto db = Database::open(dir, enc);
    EXPECT_TRUE(db) << db.error().message();
    return db ? *db : nullptr;
  }

  testing::TempDir out_;  // where backups go
};

// Writers commit on three threads and a fourth registers tables while the backup runs. The
// backup holds exactly the commits (and registrations) the log holds below its LSN, which
// includes every write acknowledged before it began, and it opens with that state.
TEST_F(BackupTest, CopyUnderWritersIsExactlyTheLoggedStateBelowItsPoint) {
  auto db = open();
  ASSERT_TRUE(db);
  {
    Database::Transaction base = db->begin();
    for (int i = 0; i < 20'000; ++i) {
      ASSERT_TRUE(db->write_key(base.id(), fmt::format("base/{:05}", i), std::string(40, 'b')));
    }
    ASSERT_TRUE(base.commit());
  }
  ASSERT_TRUE(db->register_table(TableSchema{"before", {{"id", ColumnType::Int, false}}}));

  constexpr int kWriters = 3;
  std::atomic<bool> stop{false};
  std::atomic<int> acked_total{0};
  std::array<std::atomic<int>, kWriters> acked{};
  std::vector<std::thread> threads;
  for (int w = 0; w < kWriters; ++w) {
    threads.emplace_back([&, w] {
      for (int i = 1; !stop; ++i) {
        Database::Transaction txn = db->begin();
        const auto key = fmt::format("w{}/k{}", w, i % 16);
        auto written = i % 7 == 0 ? db->write_key(txn.id(), key, std::nullopt)
                                  : db->write_key(txn.id(), key, fmt::format("{}.{}", w, i));
        ASSERT_TRUE(written) << written.error().message();
        ASSERT_TRUE(db->write_key(txn.id(), fmt::format("w{}/count", w), std::to_string(i)));
        auto committed = txn.commit();
        ASSERT_TRUE(committed) << committed.error().message();
        acked[w] = i;
        ++acked_total;
      }
    });
  }
  threads.emplace_back([&] {
    for (int n = 0; !stop; ++n) {
      ASSERT_TRUE(db->register_table(
          TableSchema{fmt::format("during{}", n), {{"id", ColumnType::Int, false}}}));
      if (n % 3 == 2) {
        ASSERT_TRUE(db->drop_table(fmt::format("during{}", n - 1)));
      }
    }
  });
  while (acked_total < 300) std::this_thread::yield();
  std::array<int, kWriters> acked_before{};
  for (int w = 0; w < kWriters; ++w) acked_before[w] = acked[w];
  auto summary = backup(*db, out_ / "b1");
  ASSERT_TRUE(summary) << summary.error().message();
  const int at_end = acked_total;
  while (acked_total < at_end + 300) std::this_thread::yield();  // commits after the point too
  stop = true;
  for (auto& t : threads) t.join();
  db.reset();  // everything acknowledged is in the log

  const LoggedState expected = state_below(tmp_ / "wal.log", summary->lsn);
  EXPECT_EQ(summary->path, out_ / "b1");
  EXPECT_EQ(summary->keys, expected.keys.size());
  EXPECT_EQ(summary->tables, expected.tables.size());
  auto check = verify_backup(out_ / "b1", std::nullopt);
  ASSERT_TRUE(check) << check.error().message();
  EXPECT_EQ(check->lsn, summary->lsn);
  EXPECT_EQ(check->keys, summary->keys);
  EXPECT_EQ(entries(out_.path()), std::set<std::string>{"b1"});  // no partial copy is left

  auto copy = open_backup(out_ / "b1");
  ASSERT_TRUE(copy);
  const Data got = all(*copy);
  EXPECT_EQ(got, expected.keys);
  EXPECT_EQ(tables(*copy), expected.tables);
  EXPECT_TRUE(expected.tables.contains("before"));
  for (int w = 0; w < kWriters; ++w) {
    const auto count = got.find(fmt::format("w{}/count", w));
    ASSERT_NE(count, got.end());
    EXPECT_GE(std::stoi(count->second), acked_before[w]) << "writer " << w;
  }
  // The copy goes on where the point left off: its LSNs follow it, and it takes writes.
  EXPECT_EQ(copy->figures().next_lsn, summary->lsn + 1);
  put(*copy, "after", "restore");
  EXPECT_EQ(get(*copy, "after"), "restore");
}

// What is refused is refused before anything is written: the target stays as it was and no
// partial copy appears.
TEST_F(BackupTest, RefusesTargetsThatAreNotAnEmptyPlaceOutsideTheDatabase) {
  auto db = open();
  ASSERT_TRUE(db);
  put(*db, "k", "v");
  fs::create_directory(out_ / "full");
  write_file(out_ / "full" / "x", "x");
  write_file(out_ / "file", "f");
  fs::create_directory(tmp_ / "inside");
  struct Case {
    const char* name;
    fs::path dir;
    std::string error;
  };
  const Case cases[] = {
      {"relative", "backups/b",
       R"(Invalid argument: Backup directory must be an absolute path on the server's machine: "backups/b")"},
      {"not empty", out_ / "full",
       fmt::format(R"(Invalid argument: Backup directory "{}" is not empty)",
                   (out_ / "full").string())},
      {"not empty, trailing slash", (out_ / "full").string() + "/",
       fmt::format(R"(Invalid argument: Backup directory "{}" is not empty)",
                   (out_ / "full").string())},
      {"a file", out_ / "file",
       fmt::format(R"(Invalid argument: Backup path "{}" exists and is not a directory)",
                   (out_ / "file").string())},
      {"the database itself", tmp_.path(),
       fmt::format(
           R"(Invalid argument: Backup directory "{}" is inside the database directory "{}")",
           tmp_.path().string(), tmp_.path().string())},
      {"inside the database", tmp_ / "inside" / ".." / "inside" / "b",
       fmt::format(
           R"(Invalid argument: Backup directory "{}" is inside the database directory "{}")",
           (tmp_ / "inside" / "b").string(), tmp_.path().string())},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto r = backup(*db, c.dir);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(), c.error);
  }
  EXPECT_EQ(entries(out_.path()), (std::set<std::string>{"file", "full"}));
  EXPECT_EQ(entries(out_ / "full"), std::set<std::string>{"x"});
  EXPECT_EQ(entries(tmp_ / "inside"), std::set<std::string>{});
  // An empty directory is taken, and missing parents are made.
  fs::create_directory(out_ / "empty");
  ASSERT_TRUE(backup(*db, out_ / "empty"));
  ASSERT_TRUE(backup(*db, out_ / "a" / "b" / "c"));
  for (const fs::path& dir : {out_ / "empty", out_ / "a" / "b" / "c"}) {
    auto copy = open_backup(dir);
    ASSERT_TRUE(copy);
    EXPECT_EQ(all(*copy), (Data{{"k", "v"}}));
  }
}

// An encrypted database's backup is sealed as the database is: no key or value in clear, a
// copy of its keyring, and it opens (and checks) only with the key.
TEST_F(BackupTest, EncryptedBackupStaysSealedAndOpensOnlyWithTheKey) {
  const StorageEncryption enc{"test", kKey};
  auto db = open(enc);
  ASSERT_TRUE(db);
  put(*db, "secret-key", "plaintext-value-to-hide");
  ASSERT_TRUE(db->register_table(TableSchema{"hidden_table", {{"id", ColumnType::Int, false}}}));
  ASSERT_TRUE(db->checkpoint());  // the manifest is not written by the open itself
  auto summary = backup(*db, out_ / "sealed");
  ASSERT_TRUE(summary) << summary.error().message();
  EXPECT_TRUE(summary->encrypted);
  EXPECT_EQ(read_file(out_ / "sealed" / "keyring.json"), read_file(tmp_ / "keyring.json"));
  for (const auto& name : entries(out_ / "sealed")) {
    const std::string bytes = read_file(out_ / "sealed" / name);
    for (const char* clear : {"secret-key", "plaintext-value-to-hide", "hidden_table"}) {
      EXPECT_EQ(bytes.find(clear), std::string::npos) << clear << " in clear in " << name;
    }
  }
  auto without = Database::open(out_ / "sealed");
  ASSERT_FALSE(without);
  EXPECT_EQ(without.error().kind(), KavrelError::Kind::Encryption);
  auto no_key = verify_backup(out_ / "sealed", std::nullopt);
  ASSERT_FALSE(no_key);
  EXPECT_EQ(
      no_key.error().message(),
      fmt::format(
          R"(Encryption error: "{}" is encrypted (keyring.json): its key is needed to check it)",
          (out_ / "sealed").string()));
  auto wrong = verify_backup(out_ / "sealed", EncryptionKey(Bytes(32, '\x43')));
  ASSERT_FALSE(wrong);
  EXPECT_EQ(wrong.error().kind(), KavrelError::Kind::Encryption);
  auto check = verify_backup(out_ / "sealed", kKey);
  ASSERT_TRUE(check) << check.error().message();
  EXPECT_TRUE(check->encrypted);
  EXPECT_EQ(check->tables, 1u);
  auto copy = open_backup(out_ / "sealed", enc);
  ASSERT_TRUE(copy);
  EXPECT_EQ(all(*copy), (Data{{"secret-key", "plaintext-value-to-hide"}}));
  EXPECT_EQ(tables(*copy), std::set<std::string>{"hidden_table"});
}

// The check reads every record: a flipped byte anywhere in the snapshot or the log, a file cut
// short or missing is found and named; an intact backup passes.
TEST_F(BackupTest, VerifyNamesTheFirstDamagedPlace) {
  for (const bool encrypted : {false, true}) {
    SCOPED_TRACE(encrypted ? "encrypted" : "plain");
    const StorageEncryption enc = encrypted ? StorageEncryption{"test", kKey} : StorageEncryption{};
    const std::optional<EncryptionKey> key =
        encrypted ? std::optional<EncryptionKey>(kKey) : std::nullopt;
    testing::TempDir src;
    auto opened = Database::open(src.path(), enc);
    ASSERT_TRUE(opened) << opened.error().message();
    const auto& db = *opened;
    for (int i = 0; i < 200; ++i) put(*db, fmt::format("k{:03}", i), std::string(100, 'v'));
    const fs::path good = out_ / (encrypted ? "good-sealed" : "good");
    ASSERT_TRUE(backup(*db, good));
    ASSERT_TRUE(verify_backup(good, key));
    const std::string snapshot = read_file(good / "wal.snapshot");
    const std::string log = read_file(good / "wal-1.log");
    ASSERT_GT(snapshot.size(), 20'000u);
    struct Case {
      const char* name;
      const char* file;
      std::function<void(std::string&)> damage;
      bool remove;  // the file is removed instead
      std::string error_start;
    };
    const auto flip = [](std::size_t at) {
      return [at](std::string& b) { b[std::min(at, b.size() - 1)] ^= 0x01; };
    };
    const auto cut = [](std::size_t n) { return [n](std::string& b) { b.resize(b.size() - n); }; };
    const std::string damaged = "Corruption detected: wal.snapshot is damaged at byte ";
    const Case cases[] = {
        {"first record", "wal.snapshot", flip(10), false, damaged + "0 (record 1)"},
        {"a middle record", "wal.snapshot", flip(snapshot.size() / 2), false,
         "Corruption detected: wal.snapshot is "},
        {"the end record", "wal.snapshot", flip(snapshot.size() - 2), false, damaged},
        {"snapshot cut short", "wal.snapshot", cut(7), false,
         "Corruption detected: wal.snapshot is cut short at byte "},
        {"bytes after its end", "wal.snapshot", [](std::string& b) { b += "junk"; }, false,
         "Corruption detected: snapshot wal.snapshot is damaged: bytes follow its last record"},
        {"log flipped", "wal-1.log", flip(log.size() - 3), false,
         "Corruption detected: wal-1.log is damaged at byte 0 (record 1)"},
        {"log cut short", "wal-1.log", cut(1), false,
         "Corruption detected: wal-1.log is cut short at byte 0 (after 0 records)"},
        {"log missing", "wal-1.log", nullptr, true,
         "Corruption detected: the log wal-1.log that follows wal.snapshot is missing"},
        {"snapshot missing", "wal.snapshot", nullptr, true,
         fmt::format(R"(Corruption detected: "{}" holds no wal.snapshot: it is not a backup)",
                     (out_ / "case").string())},
    };
    for (const Case& c : cases) {
      SCOPED_TRACE(c.name);
      fs::remove_all(out_ / "case");
      fs::copy(good, out_ / "case");
      if (c.remove) {
        fs::remove(out_ / "case" / c.file);
      } else {
        std::string bytes = read_file(out_ / "case" / c.file);
        c.damage(bytes);
        write_file(out_ / "case" / c.file, bytes);
      }
      auto r = verify_backup(out_ / "case", key);
      ASSERT_FALSE(r);
      EXPECT_TRUE(r.error().message().starts_with(c.error_start)) << r.error().message();
    }
  }
}

// A failure at any kind of step leaves no backup and no partial copy, and the database goes on.
TEST_F(BackupTest, FailedStepLeavesNothingBehind) {
  auto db = open();
  ASSERT_TRUE(db);
  put(*db, "k", "v");
  ASSERT_TRUE(db->checkpoint());
  for (const io::Op op : {io::Op::OpenCreate, io::Op::Write, io::Op::Fsync, io::Op::Rename}) {
    SCOPED_TRACE(static_cast<int>(op));
    int failed = 0;
    for (int nth = 1; nth <= 4; ++nth) {
      auto calls = std::make_shared<std::atomic<int>>(0);
      io::set_fault_plan(io::FaultPlan{[=](io::Op o) -> std::optional<int> {
        if (o == op && ++*calls == nth) return EIO;
        return std::nullopt;
      }});
      auto r = backup(*db, out_ / "b");
      io::set_fault_plan(std::nullopt);
      if (r) {  // fewer such calls than nth: it went through
        EXPECT_LT(calls->load(), nth);
        fs::remove_all(out_ / "b");
        continue;
      }
      ++failed;
      EXPECT_EQ(r.error().message(), "IO error: Input/output error (os error 5)");
      EXPECT_EQ(entries(out_.path()), std::set<std::string>{});
    }
    EXPECT_GE(failed, 1);
  }
  put(*db, "k2", "v2");
  ASSERT_TRUE(backup(*db, out_ / "b"));
  auto copy = open_backup(out_ / "b");
  ASSERT_TRUE(copy);
  EXPECT_EQ(all(*copy), (Data{{"k", "v"}, {"k2", "v2"}}));
}

}  // namespace
}  // namespace kavrel
