// The users: their record's bytes, and their durability through the log, the snapshot, restarts,
// compactions, backups, damaged tails and failed syncs.
#include "storage/users.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "storage/database.h"
#include "storage/internal/io/file_io.h"
#include "storage/internal/wal/snapshot.h"
#include "storage/internal/wal/txn_wal_entry.h"
#include "storage/internal/wal/wal_reader.h"
#include "tests/support/database_fixture.h"
#include "tests/support/files.h"
#include "tests/support/temp_dir.h"

namespace kavrel {
namespace {

namespace fs = std::filesystem;
using testing::read_file;
using testing::write_file;
using Users = std::map<std::string, UserRecord>;

const EncryptionKey kKey(Bytes(32, '\x42'));

UserRecord user_of(std::string name, Role role, std::string verifier, std::string prefix = {}) {
  return UserRecord{std::move(name), role, std::move(prefix), std::move(verifier)};
}

std::string describe(const UserRecord& u) {
  return fmt::format("{} {} prefix={} verifier={}", u.name, role_name(u.role), u.prefix,
                     u.verifier);
}

std::string describe(const Users& users) {
  std::string out;
  for (const auto& [name, u] : users) out += describe(u) + "\n";
  return out;
}

// ---- The record's bytes ----

TEST(UserRecordTest, EncodesItsFieldsInTheirOrderAndDecodesBack) {
  const UserRecord u =
      user_of("ann", Role::Write, "SCRAM-SHA-256$4096:c2FsdA==$a2V5:c2Vy", "app1/");
  const Bytes bytes = encode_user(u);
  Bytes expected;
  put_u8(expected, 2);
  put_u32(expected, 5);
  expected += "app1/";
  put_u32(expected, 37);
  expected += u.verifier;
  EXPECT_EQ(bytes, expected);
  auto back = decode_user("ann", bytes);
  ASSERT_TRUE(back) << back.error().message();
  EXPECT_EQ(*back, u);

  for (const UserRecord& other :
       {user_of("r", Role::Read, "v"), user_of(std::string(255, 'n'), Role::Admin, "v", "p/"),
        user_of(std::string("nul\0in", 6), Role::Read, std::string("x\0y", 3),
                std::string(1, '\0'))}) {
    SCOPED_TRACE(describe(other));
    auto again = decode_user(other.name, encode_user(other));
    ASSERT_TRUE(again) << again.error().message();
    EXPECT_EQ(*again, other);
  }
}

TEST(UserRecordTest, RoleNamesParseBack) {
  for (const Role r : {Role::Read, Role::Write, Role::Admin}) {
    EXPECT_EQ(parse_role(role_name(r)), r);
    EXPECT_TRUE(is_known_role(r));
  }
  for (const char* text : {"", "Admin", "root", "read "}) EXPECT_EQ(parse_role(text), std::nullopt);
  EXPECT_FALSE(is_known_role(static_cast<Role>(0)));
  EXPECT_FALSE(is_known_role(static_cast<Role>(4)));
  EXPECT_STREQ(role_name(static_cast<Role>(9)), "unknown");
}

TEST(UserRecordTest, DamagedBytesAreRefusedNamingWhy) {
  const Bytes good = encode_user(user_of("ann", Role::Read, "verifier", "pre"));
  const auto with_role = [&](std::uint8_t role) {
    Bytes b = good;
    b[0] = static_cast<char>(role);
    return b;
  };
  Bytes empty_verifier;
  put_u8(empty_verifier, 1);
  put_u32(empty_verifier, 0);
  put_u32(empty_verifier, 0);
  Bytes long_prefix = good;
  long_prefix[1] = '\x7f';  // a prefix length far past the end
  struct Case {
    const char* what;
    std::string name;
    Bytes bytes;
    const char* why;
  };
  const Case cases[] = {
      {"no bytes", "ann", "", "it is empty"},
      {"role 0", "ann", with_role(0), "unknown role 0"},
      {"role 4", "ann", with_role(4), "unknown role 4"},
      {"role 255", "ann", with_role(255), "unknown role 255"},
      {"prefix length cut", "ann", good.substr(0, 3), "it ends inside its prefix"},
      {"prefix cut", "ann", good.substr(0, 7), "it ends inside its prefix"},
      {"prefix length too large", "ann", long_prefix, "it ends inside its prefix"},
      {"verifier length cut", "ann", good.substr(0, 10), "it ends inside its verifier"},
      {"verifier cut", "ann", good.substr(0, good.size() - 1), "it ends inside its verifier"},
      {"empty verifier", "ann", empty_verifier, "its verifier is empty"},
      {"bytes after it", "ann", good + "xy", "2 bytes follow its verifier"},
      {"empty name", "", good, "its name is empty"},
      {"long name", std::string(256, 'n'), good, "its name is longer than 255 bytes"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto r = decode_user(c.name, c.bytes);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind(), KavrelError::Kind::Corruption);
    EXPECT_EQ(r.error().message(), fmt::format("Corruption detected: user record {} is damaged: {}",
                                               debug_quote(c.name), c.why));
  }
  // Every strict prefix of a record is refused: a record is never read from part of its bytes.
  for (std::size_t n = 0; n < good.size(); ++n) {
    EXPECT_FALSE(decode_user("ann", good.substr(0, n))) << n << " bytes";
  }
}

// ---- Durability ----

class UsersTest : public testing::DatabaseFixture {
 protected:
  // users() as a map, checked to come in ascending name order.
  static Users listed(const Database& db) {
    const std::vector<UserRecord> all = db.users();
    EXPECT_TRUE(std::is_sorted(all.begin(), all.end(),
                               [](const auto& a, const auto& b) { return a.name < b.name; }));
    Users out;
    for (const UserRecord& u : all) out.emplace(u.name, u);
    EXPECT_EQ(out.size(), all.size()) << "a name listed twice";
    return out;
  }
  // Everything the database says about the users agrees with the model.
  static void expect_users(const Database& db, const Users& model,
                           const std::vector<std::string>& absent = {}) {
    EXPECT_EQ(describe(listed(db)), describe(model));
    for (const auto& [name, u] : model) {
      const auto got = db.user(name);
      ASSERT_TRUE(got) << name;
      EXPECT_EQ(*got, u);
    }
    for (const std::string& name : absent) {
      if (!model.contains(name)) {
        EXPECT_EQ(db.user(name), std::nullopt) << name;
      }
    }
    const bool admin = std::any_of(model.begin(), model.end(),
                                   [](const auto& e) { return e.second.role == Role::Admin; });
    EXPECT_EQ(db.has_admin(), admin);
  }
  // The records of a type in a plain log.
  std::vector<TxnWalEntry> log_records(const fs::path& log, WalRecordType type) {
    std::vector<TxnWalEntry> out;
    auto reader = WalReader::open(log, nullptr, {}, 0);
    EXPECT_TRUE(reader) << reader.error().message();
    if (!reader) return out;
    for (auto e = reader->read_record(); e; e = reader->read_record()) {
      if (e->record_type == static_cast<std::uint8_t>(type)) out.push_back(std::move(*e));
    }
    return out;
  }
  // The users a plain snapshot holds, in file order.
  std::vector<UserRecord> snapshot_users() {
    std::vector<UserRecord> out;
    auto loaded = load_snapshot(tmp_.path(), SnapshotSealing{}, [&](const TxnWalEntryView& e) {
      if (e.record_type == static_cast<std::uint8_t>(WalRecordType::User)) {
        auto u = decode_user(std::string(e.key), e.value);
        EXPECT_TRUE(u) << u.error().message();
        if (u) out.push_back(std::move(*u));
      }
      return Result<>();
    });
    EXPECT_TRUE(loaded && *loaded) << (loaded ? "no snapshot" : loaded.error().message());
    return out;
  }
  void fresh_directory() {
    fs::remove_all(tmp_.path());
    fs::create_directories(tmp_.path());
    fs::permissions(tmp_.path(), fs::perms::owner_all);
  }
};

TEST_F(UsersTest, PutUserRefusesWhatCouldNotBeReadBackAndLogsNothing) {
  struct Case {
    UserRecord user;
    const char* error;
  };
  const Case cases[] = {
      {user_of("", Role::Read, "v"), "Invalid argument: User name must not be empty"},
      {user_of(std::string(256, 'n'), Role::Read, "v"),
       "Invalid argument: User name is too long: 256 bytes (max 255)"},
      {user_of("ann", Role::Admin, ""), "Invalid argument: User 'ann' must have a verifier"},
      {user_of("ann", static_cast<Role>(0), "v"),
       "Invalid argument: Unknown role 0 for user 'ann'"},
      {user_of("ann", static_cast<Role>(4), "v"),
       "Invalid argument: Unknown role 4 for user 'ann'"},
  };
  auto db = open();
  const auto log_size = db->storage().log_bytes();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.error);
    auto r = db->put_user(c.user);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(), c.error);
  }
  auto missing = db->drop_user("ann");
  ASSERT_TRUE(missing);
  EXPECT_FALSE(*missing) << "no such user";
  EXPECT_EQ(db->storage().log_bytes(), log_size) << "nothing logged";
  expect_users(*db, {}, {"ann"});
  // The longest name is accepted.
  const UserRecord longest = user_of(std::string(255, 'n'), Role::Read, "v");
  ASSERT_TRUE(db->put_user(longest));
  db.reset();
  db = open();
  expect_users(*db, {{longest.name, longest}});
}

// Users are no keys: reads, scans, queries, table listings and the snapshot's key count never see
// them, before or after a restart and a compaction.
TEST_F(UsersTest, UsersAreInvisibleToDataRequests) {
  auto db = open();
  ASSERT_TRUE(db->put_user(user_of("ann", Role::Admin, "verifier-ann")));
  ASSERT_TRUE(db->put_user(user_of("users/1", Role::Read, "verifier-u1")));
  for (int life = 0; life < 3; ++life) {
    SCOPED_TRACE(life);
    EXPECT_EQ(get(*db, "ann"), std::nullopt);
    EXPECT_EQ(get(*db, "users/1"), std::nullopt);
    EXPECT_TRUE(scan(*db, "").empty());
    EXPECT_TRUE(db->list_tables().empty());
    EXPECT_EQ(db->figures().versions, 0u);
    auto rows = db->query(begin(*db), "users").execute();
    ASSERT_TRUE(rows) << rows.error().message();
    EXPECT_EQ(rows->rows.size(), 0u);
    auto stats = db->compact();
    ASSERT_TRUE(stats) << stats.error().message();
    EXPECT_EQ(stats->keys, 0u);
    EXPECT_EQ(db->users().size(), 2u);
    db.reset();
    db = open();
  }
}

// A user's last record wins, whatever lies between it and the open: changes of role, prefix and
// verifier, drops and re-adds, in the log, in the snapshot, or split between them.
TEST_F(UsersTest, LastRecordOfANameWinsAcrossRestartsAndCompactions) {
  enum class Op { Put, Drop, Restart, Compact };
  struct Step {
    Op op;
    UserRecord user;  // Put: the record; Drop: its name
    bool existed = true;
  };
  const auto put = [](UserRecord u) { return Step{Op::Put, std::move(u)}; };
  const auto drop = [](std::string name, bool existed = true) {
    return Step{Op::Drop, user_of(std::move(name), Role::Read, ""), existed};
  };
  const Step restart{Op::Restart, {}};
  const Step compact{Op::Compact, {}};
  const std::vector<Step> steps = {
      put(user_of("alice", Role::Read, "alice-1")),
      put(user_of("bob", Role::Admin, "bob-1")),
      restart,
      put(user_of("alice", Role::Write, "alice-2", "app1/")),  // role, prefix and password
      drop("carol", false),
      drop("bob"),
      restart,
      put(user_of("bob", Role::Read, "bob-2")),  // added again
      compact,
      put(user_of("alice", Role::Admin, "alice-3")),
      drop("bob"),
      restart,  // the snapshot has bob, the log after it drops him
      compact,
      restart,  // the snapshot alone
      put(user_of("dave", Role::Write, "dave-1", "d/")),
      compact,
      compact,
      drop("dave"),
      put(user_of("dave", Role::Read, "dave-2")),
      restart,
  };
  const std::vector<std::string> names = {"alice", "bob", "carol", "dave"};
  for (const bool encrypted : {false, true}) {
    SCOPED_TRACE(encrypted ? "encrypted" : "plain");
    fresh_directory();
    const StorageEncryption enc = encrypted ? StorageEncryption{"test", kKey} : StorageEncryption{};
    auto db = open(enc);
    ASSERT_TRUE(db);
    Users model;
    for (std::size_t i = 0; i < steps.size(); ++i) {
      const Step& s = steps[i];
      SCOPED_TRACE(::testing::Message() << "step " << i);
      switch (s.op) {
        case Op::Put:
          ASSERT_TRUE(db->put_user(s.user));
          model.insert_or_assign(s.user.name, s.user);
          break;
        case Op::Drop: {
          auto dropped = db->drop_user(s.user.name);
          ASSERT_TRUE(dropped) << dropped.error().message();
          EXPECT_EQ(*dropped, s.existed);
          model.erase(s.user.name);
          break;
        }
        case Op::Restart:
          db.reset();
          db = open(enc);
          ASSERT_TRUE(db);
          break;
        case Op::Compact: {
          ASSERT_TRUE(db->compact());
          const Bytes snapshot = read_file(tmp_ / kSnapshotFileName);
          if (encrypted) {
            for (const auto& [name, u] : model) {
              EXPECT_EQ(snapshot.find(u.verifier), std::string::npos) << "in clear: " << name;
            }
          } else {
            std::vector<UserRecord> expected;
            for (const auto& [name, u] : model) expected.push_back(u);
            EXPECT_EQ(snapshot_users(), expected) << "the snapshot holds the users, ascending";
          }
          break;
        }
      }
      expect_users(*db, model, names);
    }
  }
}

// Before the first compaction the log holds one record per change that succeeded: a drop of a
// user that is not there and a restart log nothing.
TEST_F(UsersTest, EachChangeIsOneRecordInTheLog) {
  auto db = open();
  ASSERT_TRUE(db->put_user(user_of("alice", Role::Read, "a1")));
  ASSERT_TRUE(db->put_user(user_of("alice", Role::Admin, "a2")));
  ASSERT_FALSE(*db->drop_user("nobody"));
  ASSERT_TRUE(*db->drop_user("alice"));
  db.reset();
  db = open();
  db.reset();
  const auto users = log_records(tmp_ / "wal.log", WalRecordType::User);
  const auto drops = log_records(tmp_ / "wal.log", WalRecordType::UserDrop);
  ASSERT_EQ(users.size(), 2u);
  ASSERT_EQ(drops.size(), 1u);
  for (const TxnWalEntry& e : users) EXPECT_EQ(e.txn_id, 0u);
  EXPECT_EQ(users[1].key, "alice");
  EXPECT_EQ(users[1].value, encode_user(user_of("alice", Role::Admin, "a2")));
  EXPECT_EQ(drops[0].key, "alice");
  EXPECT_EQ(drops[0].value, "");
  EXPECT_EQ(drops[0].txn_id, 0u);
}

// Two threads compact while three change users (each its own names: adds, changes, drops) until
// the compactions are done, then the database restarts; every change acknowledged is there, in
// every round, however the changes and the log switches interleave. (A compaction that copied
// the users before its switch would lose a change in flight; the restart comes before any later
// compaction could put it back.)
TEST_F(UsersTest, ChangesDuringOverlappingCompactionsAreAllKept) {
  constexpr int kRounds = 8, kChangers = 3, kCompactions = 2, kMinChanges = 8;
  Users model;
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE(round);
    auto db = open();
    ASSERT_TRUE(db);
    std::atomic<int> compacting{2};
    std::vector<std::thread> compactors;
    for (int c = 0; c < 2; ++c) {
      compactors.emplace_back([&] {
        for (int n = 0; n < kCompactions; ++n) EXPECT_TRUE(db->compact());
        --compacting;
      });
    }
    std::mutex mu;
    std::vector<std::thread> changers;
    for (int w = 0; w < kChangers; ++w) {
      changers.emplace_back([&, w] {
        Users mine;
        // Most changes are the last of their name, so that a lost one shows: u_4k is added and
        // then dropped, u_4k+1 added and then changed.
        const auto name = [&](int n) { return fmt::format("u{}_{}_{}", round, w, n); };
        for (int i = 0; compacting > 0 || i < kMinChanges; ++i) {
          if (i % 4 == 3) {
            auto dropped = db->drop_user(name(i - 3));
            ASSERT_TRUE(dropped) << dropped.error().message();
            EXPECT_TRUE(*dropped) << name(i - 3);
            mine.erase(name(i - 3));
            continue;
          }
          const UserRecord u = user_of(name(i % 4 == 2 ? i - 1 : i), static_cast<Role>(1 + i % 3),
                                       fmt::format("v{}", i), fmt::format("p{}/", i % 2));
          ASSERT_TRUE(db->put_user(u));
          mine.insert_or_assign(u.name, u);
        }
        std::scoped_lock lock(mu);
        model.merge(mine);
      });
    }
    for (auto& t : compactors) t.join();
    for (auto& t : changers) t.join();
    expect_users(*db, model);
    db.reset();
    db = open();
    ASSERT_TRUE(db);
    expect_users(*db, model);
  }
}

// The last record of the log, a user's change, cut short or damaged by a crash: the open drops it
// by the log's own rules (the log is cut back to the record before it) and serves the state
// before the change; the records before it stand.
TEST_F(UsersTest, ATornOrDamagedLastUserRecordIsDroppedLikeAnyOther) {
  const UserRecord alice1 = user_of("alice", Role::Read, "alice-1");
  const UserRecord alice2 = user_of("alice", Role::Admin, "alice-2", "a/");
  const UserRecord bob = user_of("bob", Role::Write, "bob-1");
  // What is done to the last record's bytes (its 4-byte length, 25 fixed bytes, key, value, 4
  // checksum bytes); each applies to a User and a UserDrop record alike.
  struct Harm {
    const char* what;
    std::function<void(Bytes& record)> apply;
  };
  const Harm harms[] = {
      {"nothing (the control)", [](Bytes&) {}},
      {"its last byte cut", [](Bytes& r) { r.pop_back(); }},
      {"cut inside its checksum", [](Bytes& r) { r.resize(r.size() - 2); }},
      {"cut inside its key", [](Bytes& r) { r.resize(30); }},
      {"cut inside its fixed fields", [](Bytes& r) { r.resize(20); }},
      {"only 2 bytes of its length", [](Bytes& r) { r.resize(2); }},
      {"a key byte flipped", [](Bytes& r) { r[29] ^= 0x20; }},
      {"the byte before its checksum flipped", [](Bytes& r) { r[r.size() - 5] ^= 0x20; }},
      {"a checksum byte flipped", [](Bytes& r) { r.back() ^= 0x01; }},
  };
  struct Last {
    const char* what;
    bool is_drop;
  };
  for (const Last last : {Last{"a change", false}, Last{"a drop", true}}) {
    for (const Harm& h : harms) {
      SCOPED_TRACE(::testing::Message() << last.what << ", " << h.what);
      const bool harmed = h.what != harms[0].what;
      fresh_directory();
      auto db = open();
      ASSERT_TRUE(db->put_user(alice1));
      ASSERT_TRUE(db->put_user(bob));
      const auto before = db->storage().log_bytes();
      if (last.is_drop) {
        ASSERT_TRUE(*db->drop_user("bob"));
      } else {
        ASSERT_TRUE(db->put_user(alice2));
      }
      db.reset();
      const fs::path log = tmp_ / "wal.log";
      Bytes bytes = read_file(log);
      ASSERT_GT(bytes.size(), before + 33);
      Bytes record = bytes.substr(before);
      h.apply(record);
      bytes.resize(before);
      bytes += record;
      write_file(log, bytes);

      db = open();
      ASSERT_TRUE(db);
      Users expected{{"alice", alice1}, {"bob", bob}};
      if (!harmed) {
        if (last.is_drop) {
          expected.erase("bob");
        } else {
          expected["alice"] = alice2;
        }
      }
      expect_users(*db, expected);
      if (harmed) {
        EXPECT_EQ(db->storage().log_bytes(), before) << "cut back to the record before";
      }
      // The log goes on after the repair, and the next change is read back by the next open.
      ASSERT_TRUE(db->put_user(user_of("carol", Role::Read, "carol-1")));
      db.reset();
      db = open();
      expected["carol"] = user_of("carol", Role::Read, "carol-1");
      expect_users(*db, expected);
    }
  }
}

// A User record that passes its checksum but does not read as a user (only a writer's bug could
// make one) removes the user rather than leave an older record in force; the rest opens.
TEST_F(UsersTest, AnUnreadableUserRecordLeavesTheNameWithoutAUser) {
  auto db = open();
  ASSERT_TRUE(db->put_user(user_of("alice", Role::Admin, "alice-1")));
  ASSERT_TRUE(db->put_user(user_of("bob", Role::Read, "bob-1")));
  put(*db, "k", "v");
  db.reset();
  const fs::path log = tmp_ / "wal.log";
  Bytes bytes = read_file(log);
  append_record(bytes, static_cast<std::uint8_t>(WalRecordType::User), 0, 1, "alice", "\x07");
  write_file(log, bytes);
  db = open();
  ASSERT_TRUE(db);
  expect_users(*db, {{"bob", user_of("bob", Role::Read, "bob-1")}}, {"alice"});
  EXPECT_EQ(get(*db, "k"), "v");
  ASSERT_TRUE(db->put_user(user_of("alice", Role::Write, "alice-2")));
  db.reset();
  db = open();
  EXPECT_EQ(db->user("alice"), user_of("alice", Role::Write, "alice-2"));
}

// A change whose sync fails is not made: the users stay as they were, and the log refuses the
// next change as it refuses every write after a failed sync.
TEST_F(UsersTest, AFailedSyncChangesNoUser) {
  auto db = open();
  const UserRecord alice = user_of("alice", Role::Admin, "alice-1");
  ASSERT_TRUE(db->put_user(alice));
  io::set_fault_plan(io::FaultPlan{[](io::Op op) -> std::optional<int> {
                                     if (op == io::Op::Fsync) return EIO;
                                     return std::nullopt;
                                   },
                                   {}});
  auto changed = db->put_user(user_of("alice", Role::Read, "alice-2"));
  io::set_fault_plan(std::nullopt);
  ASSERT_FALSE(changed);
  EXPECT_EQ(changed.error().kind(), KavrelError::Kind::Io);
  expect_users(*db, {{"alice", alice}});
  auto dropped = db->drop_user("alice");
  ASSERT_FALSE(dropped);
  EXPECT_EQ(dropped.error().kind(), KavrelError::Kind::Io);
  expect_users(*db, {{"alice", alice}});
}

// A backup's snapshot carries the users as they were at its point; the copy opens with them.
TEST_F(UsersTest, ABackupCarriesTheUsersOfItsPoint) {
  auto db = open();
  const UserRecord alice = user_of("alice", Role::Admin, "alice-1");
  const UserRecord bob = user_of("bob", Role::Read, "bob-1", "b/");
  ASSERT_TRUE(db->put_user(alice));
  ASSERT_TRUE(db->put_user(bob));
  ASSERT_TRUE(db->put_user(user_of("carol", Role::Read, "carol-1")));
  ASSERT_TRUE(*db->drop_user("carol"));
  testing::TempDir target;
  auto written = db->storage().write_backup(target.path());
  ASSERT_TRUE(written) << written.error().message();
  EXPECT_EQ(written->users, 2u);
  ASSERT_TRUE(*db->drop_user("alice"));  // after the point
  auto copy = Database::open(target.path());
  ASSERT_TRUE(copy) << copy.error().message();
  expect_users(**copy, {{"alice", alice}, {"bob", bob}}, {"carol"});
}

}  // namespace
}  // namespace kavrel
