// Damaged logs against the real server: a torn tail, a flipped byte in the middle, garbage after
// the last record and an empty log. After each the server must open, keep exactly the commits
// that precede the damage, move the unreadable bytes aside with one warning, and keep what is
// written after that restart through a further restart.
#include <signal.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "clients/cpp/kavrel_client.h"
#include "core/bytes.h"
#include "tests/support/files.h"
#include "tests/support/server_process.h"
#include "tests/support/temp_dir.h"

namespace kavrel::testing {
namespace {

using Data = std::map<std::string, std::string>;

using testing::read_file;
using testing::write_file;

std::size_t count_of(const std::string& text, const std::string& needle) {
  std::size_t n = 0;
  for (auto p = text.find(needle); p != std::string::npos; p = text.find(needle, p + 1)) ++n;
  return n;
}

// One record of a plain log as the test reads it back (independently of the engine's reader).
struct Record {
  std::size_t offset = 0;
  std::size_t size = 0;
  std::uint8_t type = 0;
  std::uint64_t txn = 0;
  std::string key;
  std::string value;
};

// Record types of the log.
constexpr std::uint8_t kWrite = 1, kDelete = 2, kBegin = 16, kCommit = 17, kAbort = 18;

// The complete records at the start of bytes (no checksum check: the bytes are the server's).
std::vector<Record> parse_log(const std::string& bytes) {
  std::vector<Record> out;
  std::size_t pos = 0;
  while (bytes.size() - pos >= 4) {
    const std::uint32_t body = load_le<std::uint32_t>(bytes.data() + pos);
    if (body < 29 || body > bytes.size() - pos - 4) break;
    Record r;
    r.offset = pos;
    r.size = 4 + body;
    r.type = static_cast<std::uint8_t>(bytes[pos + 4]);
    r.txn = load_le<std::uint64_t>(bytes.data() + pos + 5);
    const std::uint32_t key_len = load_le<std::uint32_t>(bytes.data() + pos + 21);
    const std::uint32_t value_len = load_le<std::uint32_t>(bytes.data() + pos + 25);
    r.key = bytes.substr(pos + 29, key_len);
    r.value = bytes.substr(pos + 29 + key_len, value_len);
    out.push_back(r);
    pos += r.size;
  }
  return out;
}

// What a restart must show when the first n records are read: every committed transaction's
// writes and deletions, applied in commit order.
Data replay(const std::vector<Record>& records, std::size_t n) {
  std::map<std::uint64_t, std::vector<const Record*>> pending;
  Data data;
  for (std::size_t i = 0; i < n; ++i) {
    const Record& r = records[i];
    switch (r.type) {
      case kWrite:
      case kDelete: pending[r.txn].push_back(&r); break;
      case kBegin: pending[r.txn].clear(); break;
      case kAbort: pending.erase(r.txn); break;
      case kCommit:
        for (const Record* w : pending[r.txn]) {
          if (w->type == kWrite) {
            data[w->key] = w->value;
          } else {
            data.erase(w->key);
          }
        }
        pending.erase(r.txn);
        break;
      default: break;
    }
  }
  return data;
}

// The unreadable tail a server must move aside at its first start.
struct MovedTail {
  std::size_t offset;   // where the log is cut
  std::size_t records;  // complete records before it (the LSN in the file name)
  std::string bytes;    // what the side file must hold
};

class LogDamageTest : public ::testing::Test {
 protected:
  // Writes the baseline through a real server, kills it and keeps the log. The last request is a
  // PUT, so the log ends with that PUT's Commit record.
  static void SetUpTestSuite() {
    TempDir tmp;
    const auto db = tmp / "db";
    {
      ServerProcess server({"--db", db.string()}, tmp.path());
      ASSERT_TRUE(server.wait_ready(db / "kavrel.sock")) << server.stdout_text();
      auto c = Client::connect(db / "kavrel.sock", std::chrono::seconds(20));
      ASSERT_TRUE(c.has_value()) << c.error().message();
      for (int i = 0; i < 10; ++i) {
        ASSERT_TRUE(c->put("d/k" + std::to_string(i), "v" + std::to_string(i)).has_value());
      }
      ASSERT_TRUE(c->del("d/k3").has_value());
      ASSERT_TRUE(c->put("d/k4", "v4b").has_value());
      ASSERT_TRUE(c->get("d/k4").has_value());  // a read between the writes
      ASSERT_TRUE(c->put("d/last", "tail").has_value());
      server.signal(SIGKILL);
      ASSERT_EQ(server.wait_exit(), 128 + SIGKILL);
    }
    // The killed server's log carries the zeros it wrote ahead of its records.
    const std::string file = read_file(db / "wal.log");
    std::size_t end = 0;
    for (const auto& rec : parse_log(file)) end = rec.offset + rec.size;
    baseline_ = new std::string(file.substr(0, end));
    room_ = new std::string(file.substr(end));
  }
  static void TearDownTestSuite() {
    delete baseline_;
    baseline_ = nullptr;
    delete room_;
    room_ = nullptr;
  }

  static const std::string& baseline() { return *baseline_; }
  // What followed the records in the killed server's log file.
  static const std::string& room() { return *room_; }
  static std::vector<Record> records() { return parse_log(*baseline_); }
  static Data all_committed() {
    const auto r = records();
    return replay(r, r.size());
  }

  // Starts a server on a directory whose log holds `log`, checks what it opened with, writes
  // more, kills it, and checks that a second start keeps everything.
  void check_open(const std::string& log, const Data& expected,
                  const std::optional<MovedTail>& moved) {
    TempDir tmp;
    const auto db = tmp / "db";
    std::filesystem::create_directories(db);
    std::filesystem::permissions(db, std::filesystem::perms::owner_all);  // private: no warning
    write_file(db / "wal.log", log);
    const auto socket = db / "kavrel.sock";
    Data now = expected;
    {
      ServerProcess server({"--db", db.string()}, tmp.path());
      ASSERT_TRUE(server.wait_ready(socket)) << server.stdout_text() << server.stderr_text();
      const std::string out = server.stdout_text();
      if (moved) {
        const std::string side = "wal.log.damaged-" + std::to_string(moved->records);
        const std::string warning =
            " WARN kavrel_storage: wal.log: " + std::to_string(moved->bytes.size()) +
            " unreadable bytes at offset " + std::to_string(moved->offset) + " (after " +
            std::to_string(moved->records) + " records) moved to " + side +
            "; the log was truncated there\n";
        EXPECT_EQ(count_of(out, warning), 1u) << out;
        EXPECT_EQ(read_file(db / side), moved->bytes);
        EXPECT_EQ(std::filesystem::file_size(db / "wal.log"), moved->offset);
      } else {
        EXPECT_EQ(std::filesystem::file_size(db / "wal.log"), log.size());
      }
      EXPECT_EQ(count_of(out, " WARN "), moved ? 1u : 0u) << out;
      auto c = Client::connect(socket, std::chrono::seconds(20));
      ASSERT_TRUE(c.has_value()) << c.error().message();
      expect_data(*c, now);
      // Writes after the open, a deletion of something that survived among them.
      ASSERT_TRUE(c->put("d/after", "a1").has_value());
      ASSERT_TRUE(c->put("d/after2", std::string(300, 'z')).has_value());
      if (!now.empty()) {
        ASSERT_TRUE(c->del(now.begin()->first).has_value());
        now.erase(now.begin());
      }
      ASSERT_TRUE(c->put("d/after", "a2").has_value());
      now["d/after"] = "a2";
      now["d/after2"] = std::string(300, 'z');
      server.signal(SIGKILL);
      ASSERT_EQ(server.wait_exit(), 128 + SIGKILL);
    }
    {
      SCOPED_TRACE("restart after the writes");
      ServerProcess server({"--db", db.string()}, tmp.path());
      ASSERT_TRUE(server.wait_ready(socket)) << server.stdout_text() << server.stderr_text();
      EXPECT_EQ(count_of(server.stdout_text(), " WARN "), 0u) << server.stdout_text();
      auto c = Client::connect(socket, std::chrono::seconds(20));
      ASSERT_TRUE(c.has_value()) << c.error().message();
      expect_data(*c, now);
      server.signal(SIGINT);
      ASSERT_EQ(server.wait_exit(), 0);
    }
    if (moved) {
      EXPECT_EQ(read_file(db / ("wal.log.damaged-" + std::to_string(moved->records))), moved->bytes)
          << "the side file is never touched again";
    }
  }

  // SCAN and GET both show exactly `expected` under "d/".
  static void expect_data(Client& c, const Data& expected) {
    auto listing = c.scan("d/");
    ASSERT_TRUE(listing.has_value()) << listing.error().message();
    EXPECT_EQ(Data(listing->begin(), listing->end()), expected);
    for (const auto& [key, value] : all_committed()) {
      auto got = c.get(key);
      ASSERT_TRUE(got.has_value()) << got.error().message();
      const auto it = expected.find(key);
      EXPECT_EQ(*got, it == expected.end() ? "" : it->second) << key;
    }
  }

 private:
  static std::string* baseline_;
  static std::string* room_;
};

std::string* LogDamageTest::baseline_ = nullptr;
std::string* LogDamageTest::room_ = nullptr;

TEST_F(LogDamageTest, BaselineEndsWithTheLastPutsCommit) {
  const auto r = records();
  ASSERT_GE(r.size(), 3u);
  std::size_t total = 0;
  for (const auto& rec : r) total += rec.size;
  EXPECT_EQ(total, baseline().size()) << "the baseline log is whole";
  EXPECT_EQ(r.back().type, kCommit);
  EXPECT_EQ(r.back().size, 33u);
  EXPECT_EQ(r[r.size() - 2].type, kWrite);
  EXPECT_EQ(r[r.size() - 2].key, "d/last");
  const Data data = all_committed();
  EXPECT_EQ(data.count("d/k3"), 0u) << "deleted";
  EXPECT_EQ(data.at("d/k4"), "v4b");
  EXPECT_EQ(data.at("d/last"), "tail");
  EXPECT_EQ(data.size(), 10u);
}

TEST_F(LogDamageTest, TornTailOfOneTo32Bytes) {
  const auto r = records();
  const Data without_last = replay(r, r.size() - 1);
  ASSERT_EQ(without_last.count("d/last"), 0u);
  const std::size_t commit_at = r.back().offset;
  for (std::size_t cut = 1; cut <= 32; ++cut) {
    SCOPED_TRACE("cut " + std::to_string(cut) + " bytes");
    const std::string torn = baseline().substr(0, baseline().size() - cut);
    check_open(torn, without_last, MovedTail{commit_at, r.size() - 1, torn.substr(commit_at)});
    if (HasFatalFailure() || HasFailure()) break;
  }
}

TEST_F(LogDamageTest, FlippedByteInTheMiddle) {
  const auto r = records();
  // The Write record of d/k6: the commits before it survive, everything from it on is moved.
  std::size_t m = 0;
  while (m < r.size() && !(r[m].type == kWrite && r[m].key == "d/k6")) ++m;
  ASSERT_LT(m, r.size());
  const Record& rec = r[m];
  const std::size_t after = baseline().size() - rec.offset - 4;  // bytes after its length field
  struct Case {
    const char* name;
    std::size_t at;      // offset within the record of the byte to flip
    unsigned char mask;  // its flipped bits; 0: set the length field to `length` instead
    std::uint32_t length = 0;
  };
  const Case cases[] = {
      {"value byte (checksum mismatch)", rec.size - 5, 0x01},
      {"key byte", 29, 0x20},
      {"checksum byte", rec.size - 1, 0x80},
      {"type byte (invalid type)", 4, 0x40},
      {"transaction id", 7, 0x01},
      {"key length", 21, 0x02},
      {"length beyond the maximum", 0, 0, 536'870'913},
      {"length below the minimum", 0, 0, 28},
      {"length past the end of the file", 0, 0, static_cast<std::uint32_t>(after + 1)},
  };
  const Data before = replay(r, m);
  ASSERT_FALSE(before.empty());
  ASSERT_NE(before, all_committed());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string damaged = baseline();
    if (c.mask != 0) {
      damaged[rec.offset + c.at] = static_cast<char>(damaged[rec.offset + c.at] ^ c.mask);
    } else {
      store_le<std::uint32_t>(damaged.data() + rec.offset, c.length);
    }
    check_open(damaged, before, MovedTail{rec.offset, m, damaged.substr(rec.offset)});
    if (HasFailure()) break;
  }
}

TEST_F(LogDamageTest, GarbageAfterTheLastRecord) {
  std::mt19937 rng(20240611);
  std::string random_bytes(100, '\0');
  for (char& ch : random_bytes) ch = static_cast<char>(rng());
  // A record header that promises 1000 bytes of body, of which only a few follow.
  std::string torn_header;
  put_u32(torn_header, 1000);
  torn_header += std::string(10, '\x11');
  struct Case {
    const char* name;
    std::string garbage;
  };
  const Case cases[] = {
      {"random bytes", random_bytes},
      {"a length beyond the maximum", std::string(4, '\xff')},
      {"zeros, then a byte that is not", std::string(40, '\0') + "\x21"},
      {"a single byte", std::string(1, '\x21')},
      {"a header promising more than follows", torn_header},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    check_open(baseline() + c.garbage, all_committed(),
               MovedTail{baseline().size(), records().size(), c.garbage});
    if (HasFailure()) break;
  }
}

TEST_F(LogDamageTest, EmptyLog) {
  // Nothing to read and nothing to move aside; what is written afterwards stays.
  check_open("", {}, std::nullopt);
}

TEST_F(LogDamageTest, UndamagedLogOpensAsItIs) {
  check_open(baseline(), all_committed(), std::nullopt);
}

TEST_F(LogDamageTest, ZerosAfterTheLastRecordAreRoomNotDamage) {
  // A running server writes zeros ahead of its records; a kill leaves them in the file.
  ASSERT_FALSE(room().empty());
  EXPECT_EQ(room().find_first_not_of('\0'), std::string::npos);
  const std::string cases[] = {room(), std::string(40, '\0'), std::string(1, '\0')};
  for (const std::string& zeros : cases) {
    SCOPED_TRACE(zeros.size());
    check_open(baseline() + zeros, all_committed(), std::nullopt);
    if (HasFailure()) break;
  }
}

}  // namespace
}  // namespace kavrel::testing
