// Faults injected through the file-I/O seam into a Database: short writes, failing writes,
// failing fsyncs, failures while the manifest or the keyring is published, a device that fails
// to read the log, and damaged encrypted logs. After each the database is reopened and compared
// with what was acknowledged: nothing acknowledged may be missing, nothing refused may appear.
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "storage/database.h"
#include "storage/internal/io/file_io.h"
#include "storage/internal/wal/txn_wal.h"
#include "tests/support/database_fixture.h"
#include "tests/support/files.h"
#include "tests/support/temp_dir.h"

namespace kavrel {
namespace {

using Data = std::map<std::string, std::string>;

using testing::read_file;

std::string io_text(int err) { return "IO error: " + os_error_text(err); }
std::string unusable_text(int err) {
  return "IO error: log is unusable after an earlier failure: " + os_error_text(err);
}

// Temporary files of the atomic publish left in dir.
std::vector<std::string> temp_files(const std::filesystem::path& dir) {
  std::vector<std::string> out;
  for (const auto& e : std::filesystem::directory_iterator(dir)) {
    const std::string name = e.path().filename().string();
    if (name.starts_with(".tmp")) out.push_back(name);
  }
  return out;
}

std::vector<std::string> side_files(const std::filesystem::path& dir) {
  std::vector<std::string> out;
  for (const auto& e : std::filesystem::directory_iterator(dir)) {
    const std::string name = e.path().filename().string();
    if (name.starts_with("wal.log.damaged-")) out.push_back(name);
  }
  return out;
}

// Calls of `op` after the first `skip` fail with err (every later one when sticky, else once).
io::FaultPlan fail_after(io::Op op, int skip, int err, bool sticky = true) {
  auto seen = std::make_shared<std::atomic<int>>(0);
  return io::FaultPlan{[=](io::Op o) -> std::optional<int> {
                         if (o != op) return std::nullopt;
                         const int n = seen->fetch_add(1);
                         if (n < skip || (!sticky && n > skip)) return std::nullopt;
                         return err;
                       },
                       {}};
}

// The steps of an atomic publish (temporary file, move, sync of the moved file).
enum class Stage { TempCreate, TempWrite, TempFsync, Move, AfterMove };

const char* stage_name(Stage s) {
  switch (s) {
    case Stage::TempCreate: return "creating the temporary file";
    case Stage::TempWrite: return "writing the temporary file";
    case Stage::TempFsync: return "syncing the temporary file";
    case Stage::Move: return "moving it into place";
    case Stage::AfterMove: return "syncing the moved file";
  }
  return "?";
}

// Fails the publish in dir at the given stage. The temporary file exists from its creation to
// the move, which tells its writes and fsyncs from those of the log and the lock.
io::FaultPlan publish_fault(Stage stage, int err, const std::filesystem::path& dir) {
  auto moved = std::make_shared<std::atomic<bool>>(false);
  auto fired = std::make_shared<std::atomic<bool>>(false);
  return io::FaultPlan{[=](io::Op op) -> std::optional<int> {
                         if (op == io::Op::Rename) moved->store(true);
                         bool hit = false;
                         switch (stage) {
                           case Stage::TempCreate:  // the lock file is created before
                             hit =
                                 op == io::Op::OpenCreate && std::filesystem::exists(dir / ".lock");
                             break;
                           case Stage::TempWrite:
                             hit = op == io::Op::Write && !temp_files(dir).empty();
                             break;
                           case Stage::TempFsync:
                             hit = op == io::Op::Fsync && !temp_files(dir).empty();
                             break;
                           case Stage::Move: hit = op == io::Op::Rename; break;
                           case Stage::AfterMove: hit = op == io::Op::Fsync && moved->load(); break;
                         }
                         if (!hit || fired->exchange(true)) return std::nullopt;
                         return err;
                       },
                       {}};
}

class FaultInjectionTest : public testing::DatabaseFixture {
 protected:
  // Everything in the database.
  Data scan(Database& db) {
    auto all = DatabaseFixture::scan(db, "");
    return Data(all.begin(), all.end());
  }
  // Acknowledged writes go into the model; refused ones must be absent later.
  void put_acked(Database& db, const std::string& key, const std::string& value) {
    auto r = try_put(db, key, value);
    ASSERT_TRUE(r) << r.error().message();
    model_[key] = value;
  }
  void del_acked(Database& db, const std::string& key) {
    auto r = try_del(db, key);
    ASSERT_TRUE(r) << r.error().message();
    model_.erase(key);
  }
  // Reopens (no faults) and compares everything with the model.
  std::shared_ptr<Database> reopen_and_compare(std::shared_ptr<Database>& db,
                                               const StorageEncryption& enc = {}) {
    db.reset();
    io::set_fault_plan(std::nullopt);
    auto again = open(enc);
    if (!again) return nullptr;
    EXPECT_EQ(scan(*again), model_);
    return again;
  }

  Data model_;
};

const EncryptionKey kKey(Bytes(32, '\x42'));

TEST_F(FaultInjectionTest, ShortWritesLoseNothing) {
  // Every write of the log, the keyring and the manifest is cut to a few bytes; the writers must
  // carry on until all bytes are out.
  for (std::size_t cap : {std::size_t{1}, std::size_t{7}, std::size_t{4096}}) {
    SCOPED_TRACE("writes cut to " + std::to_string(cap) + " bytes");
    testing::TempDir dir;
    std::ofstream(dir / "wal.manifest")
        << R"({"format_version":1,"db_uuid":"u","last_checkpoint_lsn":0})";
    std::atomic<std::uint64_t> short_writes{0};
    io::set_fault_plan(io::FaultPlan{{}, [&](std::size_t n) -> std::optional<std::size_t> {
                                       if (n <= cap) return std::nullopt;
                                       ++short_writes;
                                       return cap;
                                     }});
    Data model;
    std::uint64_t lsn = 0;
    {
      auto db = Database::open(dir.path(), StorageEncryption{"test", kKey});
      ASSERT_TRUE(db) << db.error().message();
      for (int i = 0; i < 20; ++i) {
        const std::string key = "k" + std::to_string(i);
        ASSERT_TRUE(try_put(**db, key, "value-" + key));
        model[key] = "value-" + key;
      }
      // Larger than the log's write buffer: written straight to the file.
      const std::string big(300'000, 'b');
      ASSERT_TRUE(try_put(**db, "big", big));
      model["big"] = big;
      ASSERT_TRUE(try_del(**db, "k3"));
      model.erase("k3");
      auto cp = (*db)->storage().checkpoint();
      ASSERT_TRUE(cp) << cp.error().message();
      lsn = *cp;
    }
    io::set_fault_plan(std::nullopt);
    EXPECT_GT(short_writes.load(), 0u);
    EXPECT_EQ(
        read_file(dir / "wal.manifest"),
        R"({"format_version":1,"db_uuid":"u","last_checkpoint_lsn":)" + std::to_string(lsn) + "}");
    auto db = Database::open(dir.path(), StorageEncryption{"test", kKey});
    ASSERT_TRUE(db) << db.error().message();
    EXPECT_TRUE((*db)->storage().encrypted());
    EXPECT_EQ((*db)->storage().last_checkpoint_lsn(), lsn);
    EXPECT_EQ(scan(**db), model);
    EXPECT_TRUE(side_files(dir.path()).empty());
  }
}

TEST_F(FaultInjectionTest, WriteFailureMidRecordLeavesNoTornTail) {
  auto db = open();
  put_acked(*db, "a", "1");
  put_acked(*db, "b", "2");
  const auto log = tmp_ / "wal.log";
  const auto durable = db->storage().figures().log_durable_bytes;
  EXPECT_EQ(db->storage().log_bytes(), durable);
  // Writes of at most 5 bytes, and the third of them fails: part of the batch reached the file.
  auto writes = std::make_shared<std::atomic<int>>(0);
  io::set_fault_plan(io::FaultPlan{
      [writes](io::Op op) -> std::optional<int> {
        if (op == io::Op::Write && writes->fetch_add(1) >= 2) return EIO;
        return std::nullopt;
      },
      [](std::size_t n) -> std::optional<std::size_t> { return std::min<std::size_t>(n, 5); }});
  auto r = try_put(*db, "torn", "never");
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().message(), io_text(EIO));
  EXPECT_EQ(std::filesystem::file_size(log), durable) << "the partial record was cut off";
  io::set_fault_plan(std::nullopt);

  EXPECT_EQ(get(*db, "a"), "1") << "reads go on";
  EXPECT_EQ(get(*db, "torn"), std::nullopt);
  auto again = try_put(*db, "later", "x");
  ASSERT_FALSE(again);
  EXPECT_EQ(again.error().kind(), KavrelError::Kind::Io);
  EXPECT_EQ(again.error().message(), unusable_text(EIO));
  db = reopen_and_compare(db);
  ASSERT_TRUE(db);
  EXPECT_TRUE(side_files(tmp_.path()).empty()) << "nothing torn was left for the open to move";
  put_acked(*db, "after", "3");
  db = reopen_and_compare(db);
}

TEST_F(FaultInjectionTest, FailedWritesRefuseEveryLaterCommitUntilRestart) {
  struct Case {
    const char* name;
    int err;
    std::size_t value_size;  // above 256 KiB the commit writes its records straight through
    std::string message;     // of the failed commit
  };
  const Case cases[] = {
      {"EIO at the batch flush", EIO, 10, io_text(EIO)},
      {"EROFS at the batch flush", EROFS, 10, io_text(EROFS)},
      {"EIO writing a large transaction", EIO, 300'000, io_text(EIO)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::TempDir dir;
    auto db_or = Database::open(dir.path());
    ASSERT_TRUE(db_or);
    auto db = std::move(*db_or);
    Data model;
    ASSERT_TRUE(try_put(*db, "kept", "1"));
    model["kept"] = "1";
    ASSERT_TRUE(try_put(*db, "gone", "1"));
    ASSERT_TRUE(try_del(*db, "gone"));
    // A transaction that is running when the log fails.
    const auto open_txn = begin(*db);
    ASSERT_TRUE(db->storage().write_refs(open_txn, "open", "o"));

    io::set_fault_plan(fail_after(io::Op::Write, 0, c.err));
    auto r = try_put(*db, "failed", std::string(c.value_size, 'f'));
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(), c.message);
    io::set_fault_plan(std::nullopt);  // the device recovers; the log stays closed

    EXPECT_EQ(get(*db, "kept"), "1");
    EXPECT_EQ(get(*db, "gone"), std::nullopt);
    EXPECT_EQ(get(*db, "failed"), std::nullopt);
    auto open_commit = db->commit(open_txn);
    ASSERT_FALSE(open_commit);
    EXPECT_EQ(open_commit.error().message(), unusable_text(c.err));
    auto later = try_put(*db, "later", "x");
    ASSERT_FALSE(later);
    EXPECT_EQ(later.error().message(), unusable_text(c.err));
    auto cp = db->storage().checkpoint();
    ASSERT_FALSE(cp);
    EXPECT_EQ(cp.error().message(), unusable_text(c.err));
    EXPECT_EQ(get(*db, "later"), std::nullopt);

    db.reset();
    auto reopened = Database::open(dir.path());
    ASSERT_TRUE(reopened) << reopened.error().message();
    EXPECT_EQ(scan(**reopened), model);
    ASSERT_TRUE(try_put(**reopened, "after", "2")) << "a restart makes the log usable again";
    model["after"] = "2";
    reopened->reset();
    reopened = Database::open(dir.path());
    ASSERT_TRUE(reopened);
    EXPECT_EQ(scan(**reopened), model);
  }
}

TEST_F(FaultInjectionTest, FailedFsyncsOfCommitsAndCheckpoints) {
  // (EIO at a commit's fsync is covered beside the commit protocol's tests.)
  struct Case {
    const char* name;
    int err;
    bool at_checkpoint;
  };
  const Case cases[] = {
      {"ENOSPC at a commit", ENOSPC, false},
      {"EIO at a checkpoint", EIO, true},
      {"ENOSPC at a checkpoint", ENOSPC, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::TempDir dir;
    std::ofstream(dir / "wal.manifest")
        << R"({"format_version":1,"db_uuid":"m","last_checkpoint_lsn":3})";
    const std::string manifest = read_file(dir / "wal.manifest");
    auto db = *Database::open(dir.path());
    Data model;
    ASSERT_TRUE(try_put(*db, "kept", "1"));
    model["kept"] = "1";

    io::set_fault_plan(fail_after(io::Op::Fsync, 0, c.err));
    if (c.at_checkpoint) {
      auto cp = db->storage().checkpoint();
      ASSERT_FALSE(cp);
      EXPECT_EQ(cp.error().message(), io_text(c.err));
      EXPECT_EQ(db->storage().last_checkpoint_lsn(), 3u) << "keeps its old value";
      EXPECT_EQ(read_file(dir / "wal.manifest"), manifest) << "nothing was published";
    } else {
      auto r = try_put(*db, "failed", "f");
      ASSERT_FALSE(r);
      EXPECT_EQ(r.error().message(), io_text(c.err));
    }
    io::set_fault_plan(std::nullopt);

    EXPECT_EQ(get(*db, "kept"), "1") << "reads go on";
    EXPECT_EQ(get(*db, "failed"), std::nullopt);
    auto later = try_put(*db, "later", "x");
    ASSERT_FALSE(later);
    EXPECT_EQ(later.error().message(), unusable_text(c.err));
    auto cp = db->storage().checkpoint();
    ASSERT_FALSE(cp);
    EXPECT_EQ(cp.error().message(), unusable_text(c.err));

    db.reset();
    auto reopened = Database::open(dir.path());
    ASSERT_TRUE(reopened) << reopened.error().message();
    EXPECT_EQ(scan(**reopened), model);
    EXPECT_EQ((*reopened)->storage().last_checkpoint_lsn(), 3u);
    auto lsn = (*reopened)->storage().checkpoint();
    ASSERT_TRUE(lsn) << lsn.error().message();
    EXPECT_EQ(
        read_file(dir / "wal.manifest"),
        R"({"format_version":1,"db_uuid":"m","last_checkpoint_lsn":)" + std::to_string(*lsn) + "}");
  }
}

TEST_F(FaultInjectionTest, ConcurrentCommittersAcrossAFailingDevice) {
  // Committers run while the device starts refusing fsyncs after a number of them. Afterwards
  // every acknowledged commit must be there after a restart and every refused one absent.
  auto db = open();
  constexpr int kThreads = 8, kPerThread = 60;
  io::set_fault_plan(fail_after(io::Op::Fsync, 25, ENOSPC));
  std::mutex mu;
  Data acked;
  std::vector<std::string> refused;
  int reads = 0, reads_ok = 0;
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      for (int j = 0; j < kPerThread; ++j) {
        const std::string key = "t" + std::to_string(i) + "/" + std::to_string(j);
        auto t = db->storage().begin_transaction();
        ASSERT_TRUE(t) << "beginning never fails: " << t.error().message();
        ASSERT_TRUE(db->storage().write_refs(*t, key, "v" + key));
        auto r = db->commit(*t);
        std::scoped_lock lock(mu);
        if (r) {
          acked[key] = "v" + key;
        } else {
          refused.push_back(key);
        }
        // Reads of what was acknowledged keep working throughout.
        if (!acked.empty()) {
          ++reads;
          if (get(*db, acked.begin()->first) == acked.begin()->second) ++reads_ok;
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  io::set_fault_plan(std::nullopt);
  EXPECT_FALSE(acked.empty());
  EXPECT_FALSE(refused.empty());
  EXPECT_EQ(acked.size() + refused.size(), static_cast<std::size_t>(kThreads * kPerThread));
  EXPECT_GT(reads, 0);
  EXPECT_EQ(reads_ok, reads);
  EXPECT_EQ(scan(*db), acked) << "before the restart: exactly the acknowledged commits";
  model_ = acked;
  db = reopen_and_compare(db);
  ASSERT_TRUE(db);
  for (const auto& key : refused) EXPECT_EQ(get(*db, key), std::nullopt) << key;
}

TEST_F(FaultInjectionTest, ManifestPublishFailures) {
  struct Case {
    Stage stage;
    int err;
  };
  const Case cases[] = {{Stage::TempCreate, EIO},
                        {Stage::TempWrite, ENOSPC},
                        {Stage::TempFsync, EIO},
                        {Stage::Move, EIO},
                        {Stage::AfterMove, EIO}};
  for (const Case& c : cases) {
    SCOPED_TRACE(stage_name(c.stage));
    testing::TempDir dir;
    const std::string old_manifest =
        R"({"format_version":1,"db_uuid":"id","last_checkpoint_lsn":0})";
    std::ofstream(dir / "wal.manifest") << old_manifest;
    auto db = *Database::open(dir.path());
    Data model;
    ASSERT_TRUE(try_put(*db, "a", "1"));
    model["a"] = "1";

    io::set_fault_plan(publish_fault(c.stage, c.err, dir.path()));
    auto cp = db->storage().checkpoint();
    io::set_fault_plan(std::nullopt);
    // The Checkpoint record itself is durable and remembered: the checkpoint succeeded, whatever
    // became of the manifest (a warning says so).
    ASSERT_TRUE(cp) << cp.error().message();
    const std::uint64_t lsn = db->storage().last_checkpoint_lsn();
    EXPECT_EQ(*cp, lsn);
    EXPECT_EQ(lsn, db->storage().figures().next_lsn - 1);
    const std::string new_manifest =
        R"({"format_version":1,"db_uuid":"id","last_checkpoint_lsn":)" + std::to_string(lsn) + "}";
    EXPECT_EQ(read_file(dir / "wal.manifest"),
              c.stage == Stage::AfterMove ? new_manifest : old_manifest);
    EXPECT_TRUE(temp_files(dir.path()).empty()) << "no temporary file is left behind";

    // A failed publish does not close the log.
    EXPECT_EQ(get(*db, "a"), "1");
    ASSERT_TRUE(try_put(*db, "b", "2"));
    model["b"] = "2";
    db.reset();
    auto reopened = Database::open(dir.path());
    ASSERT_TRUE(reopened) << reopened.error().message();
    EXPECT_EQ(scan(**reopened), model);
    EXPECT_EQ((*reopened)->storage().last_checkpoint_lsn(), c.stage == Stage::AfterMove ? lsn : 0);
    auto next = (*reopened)->storage().checkpoint();
    ASSERT_TRUE(next);
    EXPECT_EQ(read_file(dir / "wal.manifest"),
              R"({"format_version":1,"db_uuid":"id","last_checkpoint_lsn":)" +
                  std::to_string(*next) + "}");
  }
}

TEST_F(FaultInjectionTest, KeyringPublishFailuresLeaveNoHalfCreatedDatabase) {
  struct Case {
    Stage stage;
    int err;
    std::string message;
  };
  const Case cases[] = {
      {Stage::TempCreate, EIO, io_text(EIO)},
      {Stage::TempWrite, ENOSPC, io_text(ENOSPC)},
      {Stage::TempFsync, EIO, io_text(EIO)},
      {Stage::Move, EIO, "Encryption error: failed to publish keyring: " + os_error_text(EIO)},
      {Stage::AfterMove, EIO, io_text(EIO)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(stage_name(c.stage));
    testing::TempDir dir;
    io::set_fault_plan(publish_fault(c.stage, c.err, dir.path()));
    auto db = Database::open(dir.path(), StorageEncryption{"test", kKey});
    io::set_fault_plan(std::nullopt);
    ASSERT_FALSE(db);
    EXPECT_EQ(db.error().message(), c.message);
    EXPECT_TRUE(temp_files(dir.path()).empty());
    EXPECT_FALSE(std::filesystem::exists(dir / "wal.log")) << "no log without a keyring";
    EXPECT_FALSE(std::filesystem::exists(dir / ".lock")) << "the lock was released";
    // Only a failure after the move leaves the new keyring, and it is whole.
    EXPECT_EQ(std::filesystem::exists(dir / "keyring.json"), c.stage == Stage::AfterMove);

    auto retry = Database::open(dir.path(), StorageEncryption{"test", kKey});
    ASSERT_TRUE(retry) << retry.error().message();
    EXPECT_TRUE((*retry)->storage().encrypted());
    ASSERT_TRUE(try_put(**retry, "secret", "s"));
    retry->reset();
    auto again = Database::open(dir.path(), StorageEncryption{"test", kKey});
    ASSERT_TRUE(again) << again.error().message();
    EXPECT_EQ(get(**again, "secret"), "s");
    EXPECT_EQ(read_file(dir / "wal.log").find("secret"), std::string::npos);
  }
}

// A device that fails to read could hide any amount of good log: the open fails with the error
// and changes nothing, not even a torn tail it would otherwise cut.
TEST_F(FaultInjectionTest, DeviceReadErrorFailsTheOpen) {
  {
    auto db = open();
    put_acked(*db, "small", "1");
    put_acked(*db, "big", std::string(100'000, 'b'));  // the log takes more than one read
    put_acked(*db, "last", "2");
  }
  const auto log = tmp_ / "wal.log";
  { std::ofstream(log, std::ios::binary | std::ios::app) << "torn"; }
  const Bytes before = read_file(log);
  struct Case {
    const char* name;
    int skip;  // reads that succeed first
  };
  const Case cases[] = {{"the first read of the log", 0}, {"a read in the middle of the log", 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    io::set_fault_plan(fail_after(io::Op::Read, c.skip, EIO));
    auto db = Database::open(tmp_.path());
    io::set_fault_plan(std::nullopt);
    ASSERT_FALSE(db);
    EXPECT_EQ(db.error().message(), io_text(EIO));
    EXPECT_FALSE(std::filesystem::exists(tmp_ / ".lock"));
    EXPECT_EQ(read_file(log), before) << "nothing cut";
    EXPECT_TRUE(side_files(tmp_.path()).empty()) << "an unreadable device is not a torn tail";
  }
  auto db = open();
  ASSERT_TRUE(db);
  EXPECT_EQ(scan(*db), model_);
  EXPECT_EQ(side_files(tmp_.path()), std::vector<std::string>{"wal.log.damaged-9"});
}

TEST_F(FaultInjectionTest, EncryptedLogTornTailOpensButACompleteBadFrameRefuses) {
  const StorageEncryption enc{"test", kKey};
  {
    auto db = open(enc);
    put_acked(*db, "a", "1");
    ASSERT_TRUE(try_put(*db, "b", "2"));
  }
  const auto log = tmp_ / "wal.log";
  const auto size = std::filesystem::file_size(log);
  std::filesystem::resize_file(log, size - 5);  // b's Commit frame is torn
  {
    auto db = open(enc);
    ASSERT_TRUE(db);
    EXPECT_EQ(scan(*db), model_);
    EXPECT_EQ(side_files(tmp_.path()), std::vector<std::string>{"wal.log.damaged-5"});
    EXPECT_EQ(std::filesystem::file_size(log), size - 62) << "cut at the torn frame";
    put_acked(*db, "c", "3");
  }
  {
    auto db = open(enc);
    ASSERT_TRUE(db);
    EXPECT_EQ(scan(*db), model_) << "written after the torn tail, read after the restart";
  }
  // A whole last frame that does not authenticate, with nothing after it that opens: what a
  // power cut leaves of a frame whose pages did not all reach the disk. It is a tail as well.
  Bytes frame;
  put_u32(frame, 40);
  frame += '\x01';  // the seal version, so that the frame reaches authentication
  frame += Bytes(39, '\x5a');
  { std::ofstream(log, std::ios::binary | std::ios::app) << frame; }
  {
    auto db = open(enc);
    ASSERT_TRUE(db);
    EXPECT_EQ(scan(*db), model_);
    EXPECT_EQ(side_files(tmp_.path()).size(), 2u);
  }
  // A frame inside the log that does not authenticate while later ones do: refused, and the log
  // is left as it is.
  Bytes damaged = read_file(log);
  damaged[4 + 20] ^= 0x01;  // inside the first frame
  { std::ofstream(log, std::ios::binary | std::ios::trunc) << damaged; }
  auto refused = Database::open(tmp_.path(), enc);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().message(),
            "Encryption error: Decryption failed (wrong key or tampered data)");
  EXPECT_EQ(read_file(log), damaged);
  EXPECT_EQ(side_files(tmp_.path()).size(), 2u);
}

// A write that finds the disk full refuses that commit and cuts the log back to its durable
// offset; once space is free the next commit goes through, without a restart.
TEST_F(FaultInjectionTest, FullDiskRefusesWritesUntilSpaceIsFree) {
  struct Case {
    const char* name;
    int err;
    std::size_t value_size;  // 300 KB goes straight to the file, 10 bytes at the batch flush
  };
  const Case cases[] = {{"ENOSPC at the batch flush", ENOSPC, 10},
                        {"ENOSPC writing a large transaction", ENOSPC, 300'000},
                        {"EDQUOT at the batch flush", EDQUOT, 10}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::TempDir dir;
    auto db = *Database::open(dir.path());
    Data model;
    ASSERT_TRUE(try_put(*db, "kept", "1"));
    model["kept"] = "1";
    const auto durable = db->storage().figures().log_durable_bytes;
    io::set_fault_plan(fail_after(io::Op::Write, 0, c.err));
    for (int i = 0; i < 3; ++i) {
      auto r = try_put(*db, "refused", std::string(c.value_size, 'r'));
      ASSERT_FALSE(r);
      EXPECT_EQ(r.error().message(), io_text(c.err));
    }
    EXPECT_EQ(std::filesystem::file_size(dir / "wal.log"), durable)
        << "cut back, the room written ahead of the records given back too";
    io::set_fault_plan(std::nullopt);  // space is free again
    EXPECT_FALSE(db->storage().figures().log_failed);
    for (int i = 0; i < 60; ++i) {
      const std::string key = "after" + std::to_string(i);
      ASSERT_TRUE(try_put(*db, key, "a")) << key;
      model[key] = "a";
    }
    ASSERT_TRUE(db->storage().checkpoint());
    db.reset();
    auto reopened = Database::open(dir.path());
    ASSERT_TRUE(reopened) << reopened.error().message();
    EXPECT_EQ(scan(**reopened), model);
  }
}

}  // namespace
}  // namespace kavrel
