// Power loss, in process: the engine runs under concurrent writers, checkpoints, compactions,
// table registrations and user changes with the I/O seam's power-cut model installed
// (storage/internal/io/power_cut.h); power is cut at a random moment (during the first open of a
// new directory, a snapshot load, a replay, a commit, a checkpoint, a compaction or a publish), the
// directory is rewritten to what "the disk" kept, and the database is opened again.
//
// Model. Every key belongs to one writer with one operation in flight, so the states a key may be
// in after the cut are exact: from the state of its last operation acknowledged before the cut to
// the state of the last one it started. An acknowledgement counts only when it was recorded
// before the cut, under the same lock; a commit returns only after its fsync, and cut() captures
// after that, so a counted acknowledgement is always on "the disk". The observed state then
// becomes the acknowledged state for the next life of the same directory. The same holds for the
// tables, registered and dropped by one thread: every registration or drop acknowledged before
// the cut holds after it, the one in flight may or may not, and no temporary file of an
// interrupted compaction or publish is left once the database has opened. And for the users,
// added, changed and dropped by one thread: each name holds exactly its last acknowledged
// record (or none), except the name of the change in flight, which may hold that change, whole.
//
// KAVREL_POWER_CUT_ROUNDS sets the number of rounds (default 12; `make crash` runs many more),
// KAVREL_POWER_CUT_SEED the first seed.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "storage/database.h"
#include "storage/internal/io/file_io.h"
#include "storage/internal/io/power_cut.h"
#include "storage/internal/wal/wal_manifest.h"
#include "tests/support/temp_dir.h"

namespace kavrel {
namespace {

constexpr int kWriters = 3;
constexpr int kKeysPerWriter = 6;
constexpr int kLivesPerRound = 3;

std::uint64_t env_or(const char* name, std::uint64_t fallback) {
  const char* v = std::getenv(name);
  return v != nullptr && *v != '\0' ? std::strtoull(v, nullptr, 10) : fallback;
}

// What a key may hold: its operations' results in order (nullopt: absent).
struct KeyHistory {
  std::vector<std::optional<std::string>> states{std::nullopt};
  std::size_t acked = 0;      // index of the last state acknowledged before the cut
  std::size_t attempted = 0;  // index of the last state an operation started on
};

class PowerCutRound {
 public:
  PowerCutRound(std::filesystem::path dir, std::uint64_t seed, bool encrypted)
      : dir_(std::move(dir)), rng_(seed), seed_(seed) {
    if (encrypted) encryption_ = StorageEncryption{"test", EncryptionKey(Bytes(32, '\x5a'))};
    for (int i = 0; i < kWriters * kKeysPerWriter; ++i) keys_["pc/" + std::to_string(i)];
  }

  // One life: open (maybe a new directory), write and checkpoint until the cut, then restore
  // what the disk kept and check it by a plain open.
  void live(int life) {
    SCOPED_TRACE(::testing::Message() << "seed " << seed_ << " life " << life);
    disk_ = std::make_shared<io::PowerCutDisk>(dir_, rng_());
    io::set_power_cut_disk(disk_);
    stop_ = false;
    // The cut may land in the open (a new directory's first files, a replay, a tail repair) or
    // in the workload after it.
    const int cut_after_us = std::bernoulli_distribution(0.3)(rng_)
                                 ? std::uniform_int_distribution<int>(0, 5'000)(rng_)
                                 : std::uniform_int_distribution<int>(5'000, 100'000)(rng_);
    std::thread life_thread([this, writer_seed = rng_()] {
      auto db = Database::open(dir_, encryption_);
      if (!db) return;  // power was cut during the open
      std::vector<std::thread> workers;
      for (int w = 0; w < kWriters; ++w) {
        workers.emplace_back([this, &db, w, writer_seed] { write_loop(**db, w, writer_seed + w); });
      }
      workers.emplace_back([this, &db] {
        while (!stop_) {
          ignore_error((*db)->storage().checkpoint(), "a checkpoint fails once power is cut");
          std::this_thread::sleep_for(std::chrono::milliseconds(3));
        }
      });
      workers.emplace_back([this, &db] {
        while (!stop_) {
          ignore_error((*db)->compact(), "a compaction fails once power is cut");
          std::this_thread::sleep_for(std::chrono::milliseconds(7));
        }
      });
      workers.emplace_back([this, &db] { register_loop(**db); });
      workers.emplace_back([this, &db] { user_loop(**db); });
      for (auto& t : workers) t.join();
      // The release that follows fails on the dead disk, as it should.
    });
    std::this_thread::sleep_for(std::chrono::microseconds(cut_after_us));
    {
      std::scoped_lock lock(mu_);
      disk_->cut();
    }
    stop_ = true;
    life_thread.join();
    io::set_power_cut_disk(nullptr);
    disk_->restore();
    check_after_restart();
    if (::testing::Test::HasFailure())
      std::printf("what the disk kept:\n%s", disk_->describe().c_str());
  }

  std::uint64_t acknowledged() const { return acknowledged_; }
  std::uint64_t acknowledged_user_changes() const { return acknowledged_user_changes_; }

 private:
  void write_loop(Database& db, int writer, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::uint64_t seq = 0;
    while (!stop_) {
      const std::string key = "pc/" + std::to_string(writer * kKeysPerWriter +
                                                     static_cast<int>(rng() % kKeysPerWriter));
      std::optional<std::string> value;
      if (rng() % 5 != 0)
        value = key + "#" + std::to_string(seed % 10'000) + "." + std::to_string(++seq);
      {
        std::scoped_lock lock(mu_);
        KeyHistory& h = keys_[key];
        h.states.push_back(value);
        h.attempted = h.states.size() - 1;
      }
      DurableStorage& s = db.storage();
      auto txn = s.begin_transaction();
      if (!txn) return;
      auto w = value ? s.write_refs(*txn, key, *value) : s.delete_key(*txn, key);
      if (!w) {
        ignore_error(s.abort(*txn), "the write already failed");
        return;
      }
      if (!db.commit(*txn)) return;  // after the cut every commit fails: the writer stops
      std::scoped_lock lock(mu_);
      if (disk_->is_cut()) return;
      KeyHistory& h = keys_[key];
      h.acked = h.attempted;
      ++acknowledged_;
    }
  }

  // Registers tables and drops every third one it registered (its row with it).
  void register_loop(Database& db) {
    for (int n = 0; !stop_; ++n) {
      std::string name;
      bool registering = true;
      {
        std::scoped_lock lock(mu_);
        registering = n % 3 != 2;
        name = "pc_t" + std::to_string(registering ? next_table_++ : next_table_ - 1);
        table_in_flight_ = {name, registering};
      }
      const bool done =
          registering
              ? db.register_table(TableSchema{name, {{"id", ColumnType::Int, false}}}).has_value()
              : db.drop_table(name).has_value();
      if (!done) return;  // power is cut
      {
        std::scoped_lock lock(mu_);
        if (disk_->is_cut()) return;
        acked_tables_[name] = registering;
        table_in_flight_.reset();
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }

  // Adds, changes and drops the users of a few names: each change a new verifier, role and prefix.
  void user_loop(Database& db) {
    while (!stop_) {
      std::string name;
      std::optional<UserRecord> next;  // nullopt: a drop
      {
        std::scoped_lock lock(mu_);
        const int n = next_user_change_++;
        name = "pc_u" + std::to_string(n % 4);
        if (n % 3 != 2) {
          next = UserRecord{name, static_cast<Role>(1 + n % 3), "p" + std::to_string(n % 2) + "/",
                            "verifier-" + std::to_string(n)};
        }
        user_in_flight_ = {name, next};
      }
      const bool done = next ? db.put_user(*next).has_value() : db.drop_user(name).has_value();
      if (!done) return;  // power is cut
      {
        std::scoped_lock lock(mu_);
        if (disk_->is_cut()) return;
        acked_users_[name] = next;
        user_in_flight_.reset();
        ++acknowledged_user_changes_;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));  // room for the other writers
    }
  }

  // Every user as acknowledged, the one in flight as it was or as it was to be.
  void check_users(const Database& db) {
    std::map<std::string, std::optional<UserRecord>> seen;
    for (const auto& [name, acked] : acked_users_) seen[name] = std::nullopt;
    for (UserRecord& u : db.users()) seen[u.name] = std::move(u);
    const auto text = [](const std::optional<UserRecord>& u) {
      return u ? u->verifier + " " + role_name(u->role) + " " + u->prefix : "(none)";
    };
    for (const auto& [name, got] : seen) {
      const auto acked = acked_users_.find(name);
      const std::optional<UserRecord> expected =
          acked == acked_users_.end() ? std::nullopt : acked->second;
      const bool in_flight = user_in_flight_ && user_in_flight_->first == name;
      EXPECT_TRUE(got == expected || (in_flight && got == user_in_flight_->second))
          << "user " << name << " holds " << text(got) << ", acknowledged " << text(expected)
          << (in_flight ? ", in flight " + text(user_in_flight_->second) : "");
    }
    acked_users_ = std::move(seen);
    user_in_flight_.reset();
  }

  void check_after_restart() {
    auto db = Database::open(dir_, encryption_);
    ASSERT_TRUE(db.has_value()) << "the database does not open after a power cut: "
                                << db.error().message();
    for (const auto& entry : std::filesystem::directory_iterator(dir_)) {
      EXPECT_FALSE(entry.path().filename().string().starts_with(".tmp"))
          << entry.path().filename() << " is left after the open";
    }
    std::set<std::string> listed;
    for (const TableSchema& t : (*db)->list_tables()) listed.insert(t.name);
    const auto in_flight = [&](const std::string& t) {
      return table_in_flight_ && table_in_flight_->first == t;
    };
    for (const auto& [t, present] : acked_tables_) {
      if (in_flight(t)) continue;
      EXPECT_EQ(listed.contains(t), present)
          << "table " << t << (present ? ": acknowledged registration lost" : ": dropped, back");
    }
    for (const std::string& t : listed) {
      EXPECT_TRUE(acked_tables_.contains(t) || in_flight(t))
          << "table " << t << " was never registered";
    }
    acked_tables_.clear();
    for (const std::string& t : listed) acked_tables_[t] = true;
    if (table_in_flight_ && !listed.contains(table_in_flight_->first)) {
      acked_tables_[table_in_flight_->first] = false;
    }
    table_in_flight_.reset();
    check_users(**db);
    DurableStorage& s = (*db)->storage();
    auto txn = s.begin_transaction();
    ASSERT_TRUE(txn.has_value());
    for (auto& [key, h] : keys_) {
      auto got = (*db)->get(*txn, key);
      ASSERT_TRUE(got.has_value());
      const std::optional<std::string> seen =
          *got ? std::optional<std::string>(std::string(**got)) : std::nullopt;
      bool allowed = false;
      for (std::size_t i = h.acked; i <= h.attempted; ++i) allowed |= h.states[i] == seen;
      EXPECT_TRUE(allowed) << key << " holds " << seen.value_or("(absent)") << ", acknowledged "
                           << h.states[h.acked].value_or("(absent)")
                           << (h.attempted > h.acked ? " (one later write in flight)" : "");
      h = KeyHistory{{seen}, 0, 0};
    }
    ignore_error(s.abort(*txn), "a read");
  }

  const std::filesystem::path dir_;
  std::mt19937_64 rng_;
  const std::uint64_t seed_;
  StorageEncryption encryption_;
  std::atomic<bool> stop_{false};
  std::mutex mu_;
  std::map<std::string, KeyHistory> keys_;  // guarded by mu_ while writers run
  // Tables registered (true) or dropped (false), as acknowledged; the operation in flight.
  std::map<std::string, bool> acked_tables_;                     // guarded by mu_ while writers run
  std::optional<std::pair<std::string, bool>> table_in_flight_;  // guarded by mu_ while writers run
  int next_table_ = 0;                                           // guarded by mu_ while writers run
  // Users as acknowledged (nullopt: none of that name); the change in flight.
  std::map<std::string, std::optional<UserRecord>> acked_users_;  // guarded by mu_, as above
  std::optional<std::pair<std::string, std::optional<UserRecord>>> user_in_flight_;  // as above
  int next_user_change_ = 0;  // guarded by mu_ while writers run
  std::shared_ptr<io::PowerCutDisk> disk_;
  std::uint64_t acknowledged_ = 0;               // guarded by mu_ while writers run
  std::uint64_t acknowledged_user_changes_ = 0;  // guarded by mu_ while writers run
};

TEST(PowerCutTest, AcknowledgedWritesSurviveAndNothingElseAppears) {
  const std::uint64_t rounds = env_or("KAVREL_POWER_CUT_ROUNDS", 12);
  const std::uint64_t first_seed = env_or(
      "KAVREL_POWER_CUT_SEED",
      static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()));
  std::uint64_t acknowledged = 0;
  std::uint64_t user_changes = 0;
  for (std::uint64_t r = 0; r < rounds && !::testing::Test::HasFailure(); ++r) {
    const std::uint64_t seed = first_seed + r;
    testing::TempDir tmp;
    const auto dir = tmp.path() / "db";
    // Some rounds start with a manifest, so checkpoints publish it under the cut as well.
    if (seed % 3 == 0) {
      ASSERT_TRUE(WalManifest::publish(dir, 0).has_value());
    }
    PowerCutRound round(dir, seed, seed % 2 == 0);
    std::filesystem::create_directories(dir);
    std::filesystem::permissions(dir, std::filesystem::perms::owner_all);
    for (int life = 0; life < kLivesPerRound && !::testing::Test::HasFailure(); ++life) {
      round.live(life);
    }
    acknowledged += round.acknowledged();
    user_changes += round.acknowledged_user_changes();
  }
  // The rounds must have put acknowledged writes and user changes at risk, or they checked nothing.
  EXPECT_GT(acknowledged, rounds);
  EXPECT_GT(user_changes, 0u);
  std::printf(
      "power cut: %llu rounds from seed %llu, %llu acknowledged writes and %llu user changes "
      "checked\n",
      static_cast<unsigned long long>(rounds), static_cast<unsigned long long>(first_seed),
      static_cast<unsigned long long>(acknowledged), static_cast<unsigned long long>(user_changes));
}

}  // namespace
}  // namespace kavrel
