// Power loss during a key rotation, in process: an encrypted database with data in its snapshot
// and in its log is re-wrapped under a new key-encryption key (Database::rotate_key) with the I/O
// seam's power-cut model installed (storage/internal/io/power_cut.h), and power is cut before
// each of the rotation's I/O calls in turn (taking the lock, reading the keyring, creating,
// writing and syncing the temporary file, the rename, the syncs after it), and once after it
// returned. Each cut is tried with several seeds, as the model keeps a random part of what was not
// synced. After each cut the directory, rewritten to what "the disk" kept, must open with exactly
// one of the two keys (the new one whenever the rotation had reported success), refuse the other
// with the keyring's message, hold every key written before, and hold no temporary file once
// opened. The log and the snapshot are never rewritten.
//
// KAVREL_POWER_CUT_SEED sets the first seed.
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "storage/database.h"
#include "storage/internal/io/file_io.h"
#include "storage/internal/io/power_cut.h"
#include "tests/support/files.h"
#include "tests/support/temp_dir.h"

namespace kavrel {
namespace {

namespace fs = std::filesystem;

constexpr int kKeys = 200;
constexpr int kSeedsPerCut = 6;
constexpr const char* kAuthFailed =
    "Encryption error: keyring authentication failed: wrong encryption key or tampered keyring; "
    "refusing to open";

const EncryptionKey kOldKek(Bytes(32, 'o'));
const EncryptionKey kNewKek(Bytes(32, 'n'));

// Every regular file of dir: name -> contents.
std::map<std::string, std::string> files_of(const fs::path& dir) {
  std::map<std::string, std::string> out;
  for (const auto& e : fs::directory_iterator(dir)) {
    if (e.is_regular_file()) out[e.path().filename()] = testing::read_file(e.path());
  }
  return out;
}

class KeyRotationPowerCutTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* seed = std::getenv("KAVREL_POWER_CUT_SEED");
    first_seed_ = seed != nullptr && *seed != '\0'
                      ? std::strtoull(seed, nullptr, 10)
                      : static_cast<std::uint64_t>(
                            std::chrono::steady_clock::now().time_since_epoch().count());
    // The database every cut starts from: a snapshot and a log after it, both sealed.
    auto db = Database::open(original(), StorageEncryption{"key-file", kOldKek});
    ASSERT_TRUE(db.has_value()) << db.error().message();
    for (int i = 0; i < kKeys; ++i) {
      if (i == kKeys / 2) {
        ASSERT_TRUE((*db)->compact().has_value());
      }
      const std::string key = "rot/" + std::to_string(i);
      expected_[key] = "value-" + std::to_string(i * 7);
      ASSERT_TRUE((*db)->write_blind(key, expected_[key]).has_value());
    }
    db->reset();
    ASSERT_TRUE(fs::exists(original() / "wal.snapshot"));
    original_files_ = files_of(original());
  }
  void TearDown() override {
    io::set_fault_plan(std::nullopt);
    io::set_power_cut_disk(nullptr);
  }

  fs::path original() const { return tmp_ / "original"; }

  // A copy of the original database, to cut power under.
  fs::path fresh_copy(const testing::TempDir& dir) const {
    const fs::path db = dir / "db";
    fs::copy(original(), db, fs::copy_options::recursive);
    fs::permissions(db, fs::perms::owner_all);
    return db;
  }

  // Rotates the copy at db with power cut before I/O call number `cut_before` (counted from 0;
  // none when it is past the last call, then the cut follows the return). Returns whether the
  // rotation reported success and the number of calls it made.
  std::pair<bool, int> rotate_with_cut(const fs::path& db, int cut_before, std::uint64_t seed) {
    auto disk = std::make_shared<io::PowerCutDisk>(db, seed);
    io::set_power_cut_disk(disk);
    auto calls = std::make_shared<int>(0);
    io::set_fault_plan(io::FaultPlan{[disk, calls, cut_before](io::Op) -> std::optional<int> {
                                       if ((*calls)++ == cut_before) disk->cut();
                                       return std::nullopt;  // a cut disk fails it anyway
                                     },
                                     nullptr});
    const bool rotated = Database::rotate_key(db, kOldKek, kNewKek, "key-file").has_value();
    disk->cut();  // idempotent
    io::set_fault_plan(std::nullopt);
    io::set_power_cut_disk(nullptr);
    disk->restore();
    last_disk_ = disk->describe();
    return {rotated, *calls};
  }

  // The error of opening db under kek, or nullopt when it opens.
  static std::optional<std::string> open_error(const fs::path& db, const EncryptionKey& kek) {
    auto opened = Database::open(db, StorageEncryption{"key-file", kek});
    if (opened) return std::nullopt;
    return opened.error().message();
  }

  // Checks that db opens under exactly one of the two keys, refuses the other with the keyring's
  // message, and holds the data; which key opened it.
  enum class Opened { Old, New, Neither };
  Opened check_after_restart(const fs::path& db) {
    const auto old_error = open_error(db, kOldKek);
    const auto new_error = open_error(db, kNewKek);
    if (old_error.has_value() == new_error.has_value()) {
      ADD_FAILURE() << (old_error
                            ? "neither key opens the database: " + *old_error + " / " + *new_error
                            : "both keys open the database");
      return Opened::Neither;
    }
    EXPECT_EQ(old_error ? *old_error : *new_error, kAuthFailed);
    const EncryptionKey& right = old_error ? kNewKek : kOldKek;
    auto opened = Database::open(db, StorageEncryption{"key-file", right});
    if (!opened) {
      ADD_FAILURE() << "the key opened once, then not: " << opened.error().message();
      return Opened::Neither;
    }
    Database::SnapshotReader reader(**opened);
    for (const auto& [key, value] : expected_) {
      EXPECT_EQ(reader.get(key).value_or("(absent)"), value) << key;
    }
    for (const auto& e : fs::directory_iterator(db)) {
      EXPECT_FALSE(e.path().filename().string().starts_with(".tmp"))
          << e.path().filename() << " is left after the open";
    }
    return old_error ? Opened::New : Opened::Old;
  }

  testing::TempDir tmp_;
  std::uint64_t first_seed_ = 0;
  std::map<std::string, std::string> expected_;
  std::map<std::string, std::string> original_files_;
  std::string last_disk_;
};

TEST_F(KeyRotationPowerCutTest, EveryCutOpensWithTheOldOrTheNewKeyAndKeepsTheData) {
  // A rotation without a cut, to count its I/O calls.
  int calls = 0;
  {
    testing::TempDir dir;
    const fs::path db = fresh_copy(dir);
    const auto [rotated, made] = rotate_with_cut(db, -1, first_seed_);
    ASSERT_TRUE(rotated);
    calls = made;
    auto after = files_of(db);
    EXPECT_NE(after["keyring.json"], original_files_["keyring.json"]);
    for (const auto& [name, bytes] : original_files_) {
      if (name != "keyring.json") {
        EXPECT_EQ(after[name], bytes) << name << " was rewritten";
      }
    }
  }
  ASSERT_GE(calls, 8) << "the lock, the read and the publish all pass the seam";

  std::map<Opened, int> seen;
  for (int cut = 0; cut <= calls && !HasFailure(); ++cut) {
    for (int s = 0; s < kSeedsPerCut && !HasFailure(); ++s) {
      const std::uint64_t seed = first_seed_ + static_cast<std::uint64_t>(cut * kSeedsPerCut + s);
      SCOPED_TRACE(::testing::Message()
                   << "cut before call " << cut << " of " << calls << ", seed " << seed);
      testing::TempDir dir;
      const fs::path db = fresh_copy(dir);
      const auto [rotated, made] = rotate_with_cut(db, cut, seed);
      EXPECT_EQ(rotated, cut == calls) << "a rotation that lost power reported success";
      const Opened opened = check_after_restart(db);
      ++seen[opened];
      if (rotated) {
        EXPECT_EQ(opened, Opened::New) << "a reported rotation was lost";
      }
      if (HasFailure()) std::printf("what the disk kept:\n%s", last_disk_.c_str());
    }
  }
  // The cuts must have fallen on both sides of the rename, or they proved little.
  EXPECT_GT(seen[Opened::Old], 0);
  EXPECT_GT(seen[Opened::New], 0);
  std::printf("key rotation power cut: %d calls, %d seeds each from seed %llu: %d old, %d new\n",
              calls, kSeedsPerCut, static_cast<unsigned long long>(first_seed_), seen[Opened::Old],
              seen[Opened::New]);
}

}  // namespace
}  // namespace kavrel
