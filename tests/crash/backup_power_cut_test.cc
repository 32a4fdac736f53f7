// Power loss during an online backup, in process: a running database (a snapshot, a log after it,
// a registered table, a manifest; plain and encrypted) is backed up with the I/O seam's
// power-cut model watching the backup's temporary directory (storage/internal/io/power_cut.h),
// and power is cut before each of the backup's I/O calls in turn, and once after it returned,
// with several seeds each (the model keeps a random part of what was not synced). Once the
// directory is rewritten to what "the disk" kept:
//   - the target exists only if the backup got as far as its rename, and then it verifies and
//     opens with exactly the state of the database at the backup's point;
//   - a temporary ".partial-" directory left behind either fails verification or is that same
//     whole state: nothing verifies that is not complete;
//   - the database's own files are byte for byte as before, and it goes on serving.
// The rename of the temporary directory into place is taken as durable at once (the model
// watches the files, not the parent directory); undone, it would only leave no backup.
//
// KAVREL_POWER_CUT_SEED sets the first seed.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "storage/backup.h"
#include "storage/database.h"
#include "storage/internal/io/file_io.h"
#include "storage/internal/io/power_cut.h"
#include "tests/support/files.h"
#include "tests/support/temp_dir.h"

namespace kavrel {
namespace {

namespace fs = std::filesystem;
using Data = std::map<std::string, std::string>;

constexpr int kSeedsPerCut = 3;
const EncryptionKey kKek(Bytes(32, 'k'));

// Every regular file of dir but the lock: name -> contents.
std::map<std::string, std::string> files_of(const fs::path& dir) {
  std::map<std::string, std::string> out;
  for (const auto& e : fs::directory_iterator(dir)) {
    if (e.is_regular_file() && e.path().filename() != ".lock") {
      out[e.path().filename()] = testing::read_file(e.path());
    }
  }
  return out;
}

// The data and the tables a database directory opens with.
struct State {
  Data data;
  std::set<std::string> tables;
  friend bool operator==(const State&, const State&) = default;
};
State state_of(Database& db) {
  State out;
  Database::Transaction txn = db.begin();
  auto all = db.scan_unchecked(txn.id(), "");
  EXPECT_TRUE(all) << all.error().message();
  if (all) {
    for (auto& [k, v] : *all) out.data[k] = v;
  }
  for (const TableSchema& t : db.list_tables()) out.tables.insert(t.name);
  return out;
}

class BackupPowerCutTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    const char* seed = std::getenv("KAVREL_POWER_CUT_SEED");
    first_seed_ = seed != nullptr && *seed != '\0'
                      ? std::strtoull(seed, nullptr, 10)
                      : static_cast<std::uint64_t>(
                            std::chrono::steady_clock::now().time_since_epoch().count());
    if (GetParam()) encryption_ = StorageEncryption{"key-file", kKek};
    auto db = Database::open(tmp_ / "db", encryption_);
    ASSERT_TRUE(db.has_value()) << db.error().message();
    db_ = *db;
    for (int i = 0; i < 300; ++i) {
      if (i == 150) {
        ASSERT_TRUE(db_->compact().has_value());
      }
      ASSERT_TRUE(db_->write_blind(fmt::format("bk/{}", i), std::string(50 + i % 30, 'v')));
    }
    ASSERT_TRUE(db_->register_table(TableSchema{"bk_table", {{"id", ColumnType::Int, false}}}));
    ASSERT_TRUE(db_->checkpoint().has_value());  // the manifest
    expected_ = state_of(*db_);
    source_files_ = files_of(tmp_ / "db");
  }
  void TearDown() override {
    io::set_fault_plan(std::nullopt);
    io::set_power_cut_disk(nullptr);
  }

  // What a backup with power cut before I/O call number `cut_before` (counted from 0; past the
  // last call, the cut follows the return) reported, and how many calls it made.
  struct Outcome {
    bool reported = false;
    int calls = 0;
    std::optional<fs::path> partial;
  };
  Outcome backup_with_cut(const fs::path& target, int cut_before, std::uint64_t seed) {
    auto disk = std::make_shared<std::shared_ptr<io::PowerCutDisk>>();
    auto partial = std::make_shared<fs::path>();
    auto calls = std::make_shared<int>(0);
    auto dead = std::make_shared<bool>(false);
    // Captures what the disk kept under the directory's name at the moment of the cut (the
    // rename into place may already have been made).
    const auto cut = [disk, partial, target] {
      if (!*disk) return;
      const bool renamed = !fs::exists(*partial) && fs::exists(target);
      if (renamed) fs::rename(target, *partial);
      (*disk)->cut();
      if (renamed) fs::rename(*partial, target);
    };
    io::set_fault_plan(io::FaultPlan{[=](io::Op) -> std::optional<int> {
                                       if ((*calls)++ == cut_before) {
                                         cut();
                                         *dead = true;
                                       }
                                       // A cut disk fails the call anyway; before the model is
                                       // installed the plan fails it.
                                       if (*dead) return EIO;
                                       return std::nullopt;
                                     },
                                     nullptr});
    BackupOptions options;
    options.on_temp_dir = [=](const fs::path& dir) {
      *partial = dir;
      *disk = std::make_shared<io::PowerCutDisk>(dir, seed);
      io::set_power_cut_disk(*disk);
      if (*dead) (*disk)->cut();
    };
    Outcome out;
    out.reported = backup(*db_, target, options).has_value();
    cut();  // idempotent
    io::set_fault_plan(std::nullopt);
    io::set_power_cut_disk(nullptr);
    out.calls = *calls;
    if (*disk) {
      // A real cut would have left the temporary directory where the failed backup removed it.
      const bool renamed = !fs::exists(*partial) && fs::exists(target);
      if (renamed) fs::rename(target, *partial);
      fs::create_directories(*partial);
      (*disk)->restore();
      last_disk_ = (*disk)->describe();
      if (renamed) {
        fs::rename(*partial, target);
      } else {
        out.partial = *partial;
      }
    }
    return out;
  }

  // A backup (or a partial one that verifies) must open with exactly the expected state.
  void check_whole(const fs::path& dir) {
    auto check = verify_backup(dir, encryption_.key);
    ASSERT_TRUE(check) << dir << ": " << check.error().message();
    auto opened = Database::open(dir, encryption_);
    ASSERT_TRUE(opened) << dir << ": " << opened.error().message();
    EXPECT_EQ(state_of(**opened), expected_) << dir << " verifies but is not the whole state";
  }

  testing::TempDir tmp_;
  std::uint64_t first_seed_ = 0;
  StorageEncryption encryption_;
  std::shared_ptr<Database> db_;
  State expected_;
  std::map<std::string, std::string> source_files_;
  std::string last_disk_;
};

TEST_P(BackupPowerCutTest, NoCutLeavesABackupThatVerifiesUnlessItIsWhole) {
  // A backup without a cut, to count its I/O calls.
  const Outcome whole = backup_with_cut(tmp_ / "counted", -1, first_seed_);
  ASSERT_TRUE(whole.reported);
  check_whole(tmp_ / "counted");
  const int calls = whole.calls;
  ASSERT_GE(calls, 12) << "the reads, the publishes, the log, the syncs and the rename";

  int published = 0, verified_partials = 0;
  for (int cut = 0; cut <= calls && !HasFailure(); ++cut) {
    for (int s = 0; s < kSeedsPerCut && !HasFailure(); ++s) {
      const std::uint64_t seed = first_seed_ + static_cast<std::uint64_t>(cut * kSeedsPerCut + s);
      SCOPED_TRACE(::testing::Message()
                   << "cut before call " << cut << " of " << calls << ", seed " << seed);
      testing::TempDir out;
      const fs::path target = out / "backup";
      const Outcome o = backup_with_cut(target, cut, seed);
      EXPECT_EQ(o.reported, cut == calls) << "a backup that lost power reported success";
      if (fs::exists(target)) {
        ++published;
        check_whole(target);
      }
      if (o.partial && verify_backup(*o.partial, encryption_.key)) {
        ++verified_partials;
        check_whole(*o.partial);
      }
      EXPECT_EQ(files_of(tmp_ / "db"), source_files_) << "the database's files changed";
      if (HasFailure()) std::printf("what the disk kept:\n%s", last_disk_.c_str());
    }
  }
  // The cuts fell on both sides of the rename, or they proved little.
  EXPECT_GT(published, 0);
  EXPECT_LT(published, (calls + 1) * kSeedsPerCut);
  // The database goes on, and opens again with its state.
  ASSERT_TRUE(db_->write_blind("after", "cuts"));
  expected_.data["after"] = "cuts";
  db_.reset();
  auto again = Database::open(tmp_ / "db", encryption_);
  ASSERT_TRUE(again) << again.error().message();
  EXPECT_EQ(state_of(**again), expected_);
  std::printf(
      "backup power cut (%s): %d calls, %d seeds each from seed %llu: %d published, %d "
      "partial copies verified whole\n",
      GetParam() ? "encrypted" : "plain", calls, kSeedsPerCut,
      static_cast<unsigned long long>(first_seed_), published, verified_partials);
}

INSTANTIATE_TEST_SUITE_P(PlainAndEncrypted, BackupPowerCutTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& p) {
                           return p.param ? "Encrypted" : "Plain";
                         });

}  // namespace
}  // namespace kavrel
