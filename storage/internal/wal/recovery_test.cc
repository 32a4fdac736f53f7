#include "storage/internal/wal/recovery.h"

#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "storage/internal/io/file_io.h"
#include "tests/support/files.h"
#include "tests/support/temp_dir.h"

namespace kavrel {
namespace {

namespace fs = std::filesystem;
using kavrel::testing::read_file;
using kavrel::testing::TempDir;
using kavrel::testing::write_file;

constexpr std::array<std::uint8_t, 16> kUuid = {9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 1, 2, 3, 4, 5, 6};
constexpr std::uint32_t kEpoch = 3;

struct FaultPlanReset {
  ~FaultPlanReset() { io::set_fault_plan(std::nullopt); }
};

TxnWalEntry entry(std::uint64_t txn_id, const std::string& key) {
  return TxnWalEntry{key, "value", txn_id, 1'000, static_cast<std::uint8_t>(WalRecordType::Write)};
}
Bytes record(std::uint64_t txn_id, const std::string& key) {
  return TxnWalEntry::to_bytes(entry(txn_id, key));
}

// Three records of 40 bytes each: "k1", "k2", "k3".
Bytes three_records() { return record(1, "k1") + record(1, "k2") + record(1, "k3"); }
constexpr std::uint64_t kRecordSize = 40;

std::vector<std::string> side_files(const fs::path& dir) {
  std::vector<std::string> out;
  for (const auto& e : fs::directory_iterator(dir)) {
    const std::string name = e.path().filename().string();
    if (name.find(".damaged-") != std::string::npos) out.push_back(name);
  }
  return out;
}

// How a log's bytes end after three good records.
struct Ending {
  const char* name;
  std::function<void(Bytes&)> damage;
};
const Ending kEndings[] = {
    {"clean end", [](Bytes&) {}},
    {"zeros to the end of the file", [](Bytes& f) { f += Bytes(4096, '\0'); }},
    {"torn tail", [](Bytes& f) { f += record(2, "k4").substr(0, 10); }},
    {"damaged middle record", [](Bytes& f) { f[kRecordSize + 30] ^= 0x40; }},
};

// ---------------------------------------------------------------------------------------------
// The reader: what it finds, without judging it

TEST(WalReaderTest, NextTellsHowTheRecordsEnd) {
  struct Want {
    WalRead::Kind kind;
    std::uint64_t records;
    std::uint64_t offset;
    bool zero_tail;
    const char* damage;
  };
  const Want wants[] = {
      {WalRead::Kind::CleanEnd, 3, 3 * kRecordSize, false, ""},
      {WalRead::Kind::CleanEnd, 3, 3 * kRecordSize, true, ""},
      {WalRead::Kind::TornTail, 3, 3 * kRecordSize, false, ""},
      {WalRead::Kind::Damaged, 1, kRecordSize, false,
       "Corruption detected: WAL checksum mismatch for txn_id 1"},
  };
  for (std::size_t i = 0; i < std::size(kEndings); ++i) {
    SCOPED_TRACE(kEndings[i].name);
    const Want& want = wants[i];
    TempDir dir;
    Bytes file = three_records();
    kEndings[i].damage(file);
    write_file(dir / "wal.log", file);
    auto reader = WalReader::open(dir / "wal.log", nullptr, kUuid, kEpoch);
    ASSERT_TRUE(reader.has_value());
    std::vector<std::string> keys;
    std::optional<WalRead> end;
    while (!end) {
      auto read = reader->next();
      ASSERT_TRUE(read.has_value()) << read.error().message();
      if (read->kind == WalRead::Kind::Record) {
        EXPECT_EQ(read->offset, keys.size() * kRecordSize);
        keys.emplace_back(read->record.key);
      } else {
        end = std::move(*read);
      }
    }
    EXPECT_EQ(end->kind, want.kind);
    EXPECT_EQ(keys.size(), want.records);
    EXPECT_EQ(end->offset, want.offset);
    EXPECT_EQ(reader->good_offset(), want.offset);
    EXPECT_EQ(reader->zero_tail(), want.zero_tail);
    EXPECT_EQ(end->damage.has_value(), want.kind == WalRead::Kind::Damaged);
    if (end->damage) {
      EXPECT_TRUE(end->damage->message().starts_with(want.damage)) << end->damage->message();
    }
    EXPECT_EQ(read_file(dir / "wal.log"), file) << "reading changes nothing";
  }
}

TEST(WalReaderTest, AReadErrorOfTheDeviceIsAnErrorNotAnEnd) {
  FaultPlanReset reset;
  TempDir dir;
  write_file(dir / "wal.log", three_records());
  auto reader = WalReader::open(dir / "wal.log", nullptr, kUuid, kEpoch);
  ASSERT_TRUE(reader.has_value());
  io::set_fault_plan(io::FaultPlan{
      [](io::Op op) { return op == io::Op::Read ? std::optional<int>(EIO) : std::nullopt; }, {}});
  auto read = reader->next();
  ASSERT_FALSE(read.has_value());
  EXPECT_EQ(read.error().os_error(), EIO);
  EXPECT_EQ(read.error().message(), "IO error: Input/output error (os error 5)");
  EXPECT_EQ(reader->records(), 0u);
}

// ---------------------------------------------------------------------------------------------
// Recovery: one loop over the generations, each end judged by its generation's policy

// Collects what recover_logs hands over.
struct Collect {
  std::vector<std::string> keys;
  int ends = 0;
  Result<> record(TxnWalEntry& e, const WalReader& /*reader*/) {
    keys.push_back(std::move(e.key));
    return {};
  }
  void end_of_log() { ++ends; }
};

// A directory with an older log "wal.log" and the current one "wal-1.log", each of three
// records ("o" and "c" keys); `damage` is applied to one of them.
struct TwoGenerations {
  TempDir dir;
  Bytes older = record(1, "o1") + record(1, "o2") + record(1, "o3");
  Bytes current = record(2, "c1") + record(2, "c2") + record(2, "c3");

  TwoGenerations(LogPolicy damaged, const std::function<void(Bytes&)>& damage) {
    damage(damaged == LogPolicy::OlderGeneration ? older : current);
    write_file(dir / "wal.log", older);
    write_file(dir / "wal-1.log", current);
  }
};

TEST(RecoveryTest, EachGenerationsEndIsJudgedByItsPolicy) {
  struct Want {
    std::size_t keys;     // of the damaged generation replayed
    const char* refusal;  // the open's error, "" when it opens
    bool cut;             // the damaged log was cut back (with a side file)
  };
  const Want older[] = {
      {3, "", false},
      {3, "", false},
      {3, "", false},  // an older log's torn tail ends it and is left in place
      {1, "Corruption detected: WAL checksum mismatch for txn_id 1", false},
  };
  const Want current[] = {
      {3, "", false},
      {3, "", false},  // the zeros stay as room for the next records
      {3, "", true},
      {1, "", true},
  };
  const std::uint64_t pid = static_cast<std::uint32_t>(::getpid());
  for (const LogPolicy policy : {LogPolicy::OlderGeneration, LogPolicy::CurrentLog}) {
    const bool is_older = policy == LogPolicy::OlderGeneration;
    for (std::size_t i = 0; i < std::size(kEndings); ++i) {
      SCOPED_TRACE(std::string(is_older ? "older generation, " : "current log, ") +
                   kEndings[i].name);
      const Want& want = is_older ? older[i] : current[i];
      TwoGenerations logs(policy, kEndings[i].damage);
      const fs::path damaged = logs.dir / (is_older ? "wal.log" : "wal-1.log");
      const Bytes before = read_file(damaged);
      auto wal = TxnWal::open(logs.dir.path(), nullptr, kUuid, kEpoch, 1);
      ASSERT_TRUE(wal.has_value());
      Collect sink;
      const std::uint64_t generations[] = {0, 1};
      auto r = recover_logs(**wal, generations, sink);
      const std::size_t older_keys = is_older ? want.keys : 3;
      ASSERT_GE(sink.keys.size(), older_keys);
      EXPECT_EQ(sink.keys.front(), "o1");
      if (*want.refusal != '\0') {
        ASSERT_FALSE(r.has_value());
        EXPECT_TRUE(r.error().message().starts_with(want.refusal)) << r.error().message();
        EXPECT_EQ(sink.keys.size(), older_keys) << "nothing after the refusal";
        EXPECT_EQ(read_file(damaged), before) << "a refused log is left as it is";
        EXPECT_TRUE(side_files(logs.dir.path()).empty());
        continue;
      }
      ASSERT_TRUE(r.has_value()) << r.error().message();
      EXPECT_EQ(sink.ends, 2);
      EXPECT_EQ(sink.keys.size(), older_keys + (is_older ? 3 : want.keys));
      EXPECT_EQ(r->records, sink.keys.size());
      const std::uint64_t good = want.keys * kRecordSize;
      if (want.cut) {
        EXPECT_EQ(read_file(damaged), before.substr(0, good));
        const std::string side = (is_older ? "wal.log" : "wal-1.log") + std::string(".damaged-") +
                                 std::to_string(want.keys);
        EXPECT_EQ(side_files(logs.dir.path()), std::vector<std::string>{side});
        EXPECT_EQ(read_file(logs.dir / side), before.substr(good));
      } else {
        EXPECT_EQ(read_file(damaged), before) << "kept as it is";
        EXPECT_TRUE(side_files(logs.dir.path()).empty());
      }
      // The writer goes on after the current log's last record, numbering on from its records
      // and only from them.
      const std::uint64_t current_records = is_older ? 3 : want.keys;
      EXPECT_EQ((*wal)->next_lsn(), current_records);
      EXPECT_EQ((*wal)->frame_counter(), current_records);
      EXPECT_EQ((*wal)->durable_offset(), current_records * kRecordSize);
      EXPECT_EQ(r->next_txn_id, pid << 32 | 1);
      ASSERT_TRUE((*wal)->append(entry(3, "c9")).has_value());
      ASSERT_TRUE((*wal)->sync().has_value());
      wal->reset();
      const Bytes now = read_file(logs.dir / "wal-1.log");
      EXPECT_EQ(now.substr(current_records * kRecordSize, kRecordSize), record(3, "c9"))
          << "appended right after the last record, over any zeros";
    }
  }
}

TEST(RecoveryTest, AReadErrorRefusesEitherGenerationAndCutsNothing) {
  FaultPlanReset reset;
  for (const LogPolicy policy : {LogPolicy::OlderGeneration, LogPolicy::CurrentLog}) {
    SCOPED_TRACE(policy == LogPolicy::OlderGeneration ? "older generation" : "current log");
    // A torn tail, which the current log would otherwise cut back.
    TwoGenerations logs(policy, kEndings[2].damage);
    auto wal = TxnWal::open(logs.dir.path(), nullptr, kUuid, kEpoch, 1);
    ASSERT_TRUE(wal.has_value());
    // Every read of the damaged generation fails: the older log's from the start, the current
    // log's once the older one has been read.
    const int failing_from = policy == LogPolicy::OlderGeneration ? 0 : 1;  // logs read before
    Collect sink;
    io::set_fault_plan(io::FaultPlan{[&](io::Op op) -> std::optional<int> {
                                       if (op != io::Op::Read || sink.ends < failing_from) {
                                         return std::nullopt;
                                       }
                                       return EIO;
                                     },
                                     {}});
    const std::uint64_t generations[] = {0, 1};
    auto r = recover_logs(**wal, generations, sink);
    io::set_fault_plan(std::nullopt);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().message(), "IO error: Input/output error (os error 5)");
    EXPECT_EQ(read_file(logs.dir / "wal.log"), logs.older);
    EXPECT_EQ(read_file(logs.dir / "wal-1.log"), logs.current);
    EXPECT_TRUE(side_files(logs.dir.path()).empty()) << "an unreadable device is not a torn tail";
  }
}

TEST(RecoveryTest, SealedDamageIsCutBackOnlyWhenNoLaterFrameOpens) {
  auto engine = std::make_shared<const EncryptionEngine>(EncryptionKey(Bytes(32, 'k')));
  struct Case {
    const char* name;
    bool later_frame_opens;
    TailVerdict older, current;
  };
  const Case cases[] = {
      {"the last frame does not open", false, TailVerdict::Refuse, TailVerdict::CutBack},
      {"a frame in the middle does not open", true, TailVerdict::Refuse, TailVerdict::Refuse},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    {
      auto wal = TxnWal::create(dir.path(), engine, kUuid, kEpoch, 1, 0);
      ASSERT_TRUE(wal.has_value());
      for (int i = 0; i < 3; ++i) ASSERT_TRUE((*wal)->append(entry(1, "k")).has_value());
      ASSERT_TRUE((*wal)->sync().has_value());
    }
    Bytes file = read_file(dir / "wal-1.log");
    std::vector<std::size_t> frames;  // offsets: LogStart, then the three Writes
    for (std::size_t at = 0; at < file.size(); at += 4 + get_u32(file.data() + at)) {
      frames.push_back(at);
    }
    ASSERT_EQ(frames.size(), 4u);
    file[frames[c.later_frame_opens ? 2 : 3] + 20] ^= 0x01;
    write_file(dir / "wal-1.log", file);
    auto reader = WalReader::open(dir / "wal-1.log", engine, kUuid, kEpoch);
    ASSERT_TRUE(reader.has_value());
    auto read = reader->next();
    while (read && read->kind == WalRead::Kind::Record) read = reader->next();
    ASSERT_TRUE(read.has_value());
    ASSERT_EQ(read->kind, WalRead::Kind::Damaged);
    EXPECT_EQ(read->damage->kind(), KavrelError::Kind::Encryption);
    EXPECT_EQ(reader->later_frame_opens(), c.later_frame_opens);
    EXPECT_EQ(judge_end(LogPolicy::OlderGeneration, *read, *reader), c.older);
    EXPECT_EQ(judge_end(LogPolicy::CurrentLog, *read, *reader), c.current);
  }
}

}  // namespace
}  // namespace kavrel
