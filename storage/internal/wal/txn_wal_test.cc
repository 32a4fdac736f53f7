#include "storage/internal/wal/txn_wal.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <fstream>
#include <iterator>
#include <latch>
#include <optional>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "storage/internal/io/file_io.h"
#include "tests/support/files.h"
#include "tests/support/temp_dir.h"

namespace kavrel {
namespace {

namespace fs = std::filesystem;
using kavrel::testing::TempDir;

constexpr std::array<std::uint8_t, 16> kUuid = {1, 2,  3,  4,  5,  6,  7,  8,
                                                9, 10, 11, 12, 13, 14, 15, 16};
constexpr std::uint32_t kEpoch = 7;
constexpr const char* kUnexpectedEnd = "IO error: failed to fill whole buffer";
constexpr const char* kDecryptionFailed =
    "Encryption error: Decryption failed (wrong key or tampered data)";

// Removes any installed fault plan when the test ends, however it ends.
// The next write fails with err; later ones succeed.
io::FaultPlan fail_next_write(int err) {
  auto fired = std::make_shared<std::atomic<bool>>(false);
  return io::FaultPlan{[=](io::Op op) -> std::optional<int> {
                         if (op != io::Op::Write || fired->exchange(true)) return std::nullopt;
                         return err;
                       },
                       {}};
}

struct FaultPlanReset {
  ~FaultPlanReset() { io::set_fault_plan(std::nullopt); }
};

std::shared_ptr<const EncryptionEngine> engine_with(char fill) {
  return std::make_shared<const EncryptionEngine>(EncryptionKey(Bytes(32, fill)));
}

TxnWalEntry control(WalRecordType type, std::uint64_t txn_id) {
  return TxnWalEntry{{}, {}, txn_id, 1'000, static_cast<std::uint8_t>(type)};
}

TxnWalEntry write_entry(std::uint64_t txn_id, Bytes key, Bytes value) {
  return TxnWalEntry{std::move(key), std::move(value), txn_id, 2'000,
                     static_cast<std::uint8_t>(WalRecordType::Write)};
}

using testing::read_file;
using testing::write_file;

void append_file(const fs::path& p, BytesView bytes) {
  std::ofstream out(p, std::ios::binary | std::ios::app);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::uint64_t size_of(const fs::path& p) { return fs::file_size(p); }

std::vector<fs::path> damaged_files(const fs::path& dir) {
  std::vector<fs::path> out;
  for (const auto& e : fs::directory_iterator(dir)) {
    if (e.path().filename().string().starts_with("wal.log.damaged-")) out.push_back(e.path());
  }
  return out;
}

// Opens the log in dir and runs the counter scan; fails the test on error.
std::shared_ptr<TxnWal> open_wal(const fs::path& dir,
                                 std::shared_ptr<const EncryptionEngine> engine = nullptr) {
  auto wal = TxnWal::open(dir, std::move(engine), kUuid, kEpoch);
  EXPECT_TRUE(wal.has_value()) << wal.error().message();
  if (!wal) return nullptr;
  auto r = (*wal)->recover_state();
  EXPECT_TRUE(r.has_value()) << r.error().message();
  return *wal;
}

struct ReadAll {
  std::vector<TxnWalEntry> entries;
  std::optional<KavrelError> end;  // the error that ended the scan
};

ReadAll read_all(const fs::path& path, std::shared_ptr<const EncryptionEngine> engine = nullptr,
                 std::array<std::uint8_t, 16> uuid = kUuid, std::uint32_t epoch = kEpoch) {
  ReadAll out;
  auto reader = WalReader::open(path, std::move(engine), uuid, epoch);
  EXPECT_TRUE(reader.has_value());
  if (!reader) return out;
  for (;;) {
    auto e = reader->read_record();
    if (!e) {
      out.end = e.error();
      return out;
    }
    out.entries.push_back(std::move(*e));
  }
}

std::vector<std::uint8_t> types_of(const std::vector<TxnWalEntry>& entries) {
  std::vector<std::uint8_t> out;
  for (const auto& e : entries) out.push_back(e.record_type);
  return out;
}

// ---------------------------------------------------------------------------------------------
// Appending and numbering

TEST(TxnWalTest, LsnNumberingFollowsTheRecordsOfTheFile) {
  for (const bool encrypted : {false, true}) {
    SCOPED_TRACE(encrypted ? "encrypted" : "plain");
    TempDir dir;
    auto engine = encrypted ? engine_with('k') : nullptr;
    auto wal = open_wal(dir.path(), engine);
    ASSERT_TRUE(wal);
    EXPECT_EQ(wal->encrypted(), encrypted);
    EXPECT_EQ(wal->path(), dir / "wal.log");

    auto begin = wal->append(control(WalRecordType::Begin, 10));
    ASSERT_TRUE(begin.has_value());
    EXPECT_EQ(*begin, 0u);
    TxnWalBuffer buffer(10);
    buffer.append("a", "1");
    buffer.append("bb", "22");
    ASSERT_TRUE(wal->write_buffer(buffer).has_value());
    EXPECT_EQ(wal->next_lsn(), 3u);
    auto commit = wal->append(control(WalRecordType::Commit, 10));
    ASSERT_TRUE(commit.has_value());
    EXPECT_EQ(*commit, 3u);
    EXPECT_EQ(wal->next_lsn(), 4u);
    EXPECT_EQ(wal->frame_counter(), encrypted ? 4u : 0u);
    ASSERT_TRUE(wal->sync().has_value());

    const std::uint64_t expected_size = encrypted ? 62 + 64 + 66 + 62 : 33 + 35 + 37 + 33;
    EXPECT_EQ(wal->file_size(), expected_size);
    EXPECT_EQ(wal->durable_offset(), expected_size);
    auto got = read_all(wal->path(), engine);
    EXPECT_EQ(types_of(got.entries), (std::vector<std::uint8_t>{16, 1, 1, 17}));
    ASSERT_EQ(got.entries.size(), 4u);
    EXPECT_EQ(got.entries[2].key, "bb");
    EXPECT_EQ(got.entries[2].value, "22");
    EXPECT_EQ(got.entries[2].txn_id, 10u);
    ASSERT_TRUE(got.end);
    EXPECT_TRUE(got.end->is_unexpected_eof());
  }
}

TEST(TxnWalTest, BatchMadeDurableByAnEarlierSyncStaysDurableAfterAFailure) {
  FaultPlanReset reset;
  TempDir dir;
  auto wal = open_wal(dir.path());
  ASSERT_TRUE(wal);
  auto end =
      wal->append_batch({control(WalRecordType::Commit, 1), control(WalRecordType::Commit, 2)});
  ASSERT_TRUE(end.has_value());
  EXPECT_EQ(end->end.end, 66u);
  EXPECT_EQ(wal->next_lsn(), 2u);
  ASSERT_TRUE(wal->sync().has_value());  // another batch's sync covers these records
  ASSERT_TRUE(wal->append(control(WalRecordType::Commit, 3)).has_value());
  io::set_fault_plan(io::FaultPlan{[](io::Op op) -> std::optional<int> {
                                     if (op == io::Op::Fsync) return EIO;
                                     return std::nullopt;
                                   },
                                   {}});
  EXPECT_FALSE(wal->sync().has_value());
  EXPECT_TRUE(wal->durable(end->end)) << "the batch is on disk: its commits must stand";
  io::set_fault_plan(std::nullopt);
  EXPECT_EQ(size_of(dir / "wal.log"), end->end.end) << "only the unsynced record is cut off";
}

// A full disk cuts the log back to its durable offset and the log goes on. What the cut removed
// is known by position: a Commit for a transaction whose records were cut is left out.
TEST(TxnWalTest, FullDiskCutsBackToTheDurableOffsetAndTheLogGoesOn) {
  for (const bool encrypted : {false, true}) {
    SCOPED_TRACE(encrypted ? "encrypted" : "plain");
    FaultPlanReset reset;
    TempDir dir;
    auto engine = encrypted ? engine_with('k') : nullptr;
    auto wal = open_wal(dir.path(), engine);
    const auto buffer_of = [](std::uint64_t txn, const char* key) {
      TxnWalBuffer b(txn);
      b.append_begin();
      b.append(key, "v");
      return b;
    };
    auto kept = wal->write_buffer(buffer_of(1, "a"));
    ASSERT_TRUE(kept.has_value());
    ASSERT_TRUE(wal->append_batch({control(WalRecordType::Commit, 1)}).has_value());
    ASSERT_TRUE(wal->sync().has_value());
    const std::uint64_t durable = wal->durable_offset();
    // Transaction 2's records are written but not synced when the disk fills.
    auto cut = wal->write_buffer(buffer_of(2, "b"));
    ASSERT_TRUE(cut.has_value());
    io::set_fault_plan(fail_next_write(ENOSPC));
    auto full = wal->sync();
    ASSERT_FALSE(full.has_value());
    EXPECT_EQ(full.error().message(), "IO error: No space left on device (os error 28)");
    EXPECT_FALSE(wal->failed());
    EXPECT_EQ(size_of(dir / "wal.log"), durable);
    EXPECT_EQ(wal->next_lsn(), 3u) << "counted as of the durable offset";
    EXPECT_TRUE(wal->survived(*kept));
    EXPECT_FALSE(wal->survived(*cut));

    auto third = wal->write_buffer(buffer_of(3, "c"));
    ASSERT_TRUE(third.has_value());
    auto end = wal->append_batch(
        {control(WalRecordType::Commit, 2), control(WalRecordType::Commit, 3)}, {*cut, *third});
    ASSERT_TRUE(end.has_value());
    EXPECT_EQ(end->lost, std::vector<std::size_t>{0}) << "never a Commit whose writes were cut";
    ASSERT_TRUE(wal->sync().has_value());
    EXPECT_TRUE(wal->durable(end->end));
    EXPECT_FALSE(wal->durable(*cut)) << "later data past its offset does not bring it back";
    auto got = read_all(dir / "wal.log", engine);
    EXPECT_EQ(types_of(got.entries), (std::vector<std::uint8_t>{16, 1, 17, 16, 1, 17}));
    EXPECT_EQ(got.entries[4].key, "c");
    EXPECT_TRUE(got.end->is_unexpected_eof()) << "every frame opens in order";
  }
}

// A sync whose bytes another writer's full disk cut away does not report them durable.
TEST(TxnWalTest, SyncAfterAnotherWritersCutDoesNotMakeCutRecordsDurable) {
  FaultPlanReset reset;
  TempDir dir;
  auto wal = open_wal(dir.path());
  auto batch = wal->append_batch({control(WalRecordType::Commit, 1)});
  ASSERT_TRUE(batch.has_value());
  TxnWalBuffer big(2);
  big.append("k", Bytes(TxnWal::kWriteBufferSize, 'x'));  // goes straight to the file
  io::set_fault_plan(fail_next_write(ENOSPC));
  EXPECT_FALSE(wal->write_buffer(big).has_value());
  io::set_fault_plan(std::nullopt);
  ASSERT_TRUE(wal->sync().has_value()) << "nothing left to sync";
  EXPECT_FALSE(wal->durable(batch->end));
  EXPECT_EQ(size_of(dir / "wal.log"), 0u);
}

TEST(WalReaderTest, LengthThatSwallowsTheNextRecordEndsThePlainLog) {
  TempDir dir;
  Bytes log = TxnWalEntry::to_bytes(write_entry(5, "k", "v"));
  const Bytes commit = TxnWalEntry::to_bytes(control(WalRecordType::Commit, 5));
  store_le<std::uint32_t>(log.data(),
                          get_u32(log.data()) + static_cast<std::uint32_t>(commit.size()));
  log += commit;
  write_file(dir / "wal.log", log);
  auto reader = WalReader::open(dir / "wal.log", nullptr, kUuid, kEpoch);
  ASSERT_TRUE(reader.has_value());
  auto r = reader->read_record();
  ASSERT_FALSE(r.has_value()) << "the record decodes, but its length does not match it";
  EXPECT_EQ(r.error().message(),
            "Corruption detected: WAL entry length 64 does not match its contents");
}

TEST(TxnWalTest, BufferRecordsWritesAndDeletions) {
  TxnWalBuffer buffer(42);
  EXPECT_GE(buffer.buf.capacity(), TxnWalBuffer::kInitialCapacity);
  buffer.append("key", "");
  buffer.append_delete("gone");
  EXPECT_EQ(buffer.count, 2u);
  ASSERT_EQ(buffer.buf.size(), 36u + 37u);
  auto first = TxnWalEntry::parse_body(BytesView(buffer.buf).substr(4, 32));
  ASSERT_TRUE(first.has_value());
  EXPECT_EQ(first->record_type, static_cast<std::uint8_t>(WalRecordType::Write));
  EXPECT_EQ(first->key, "key");
  EXPECT_EQ(first->value, "");  // a present empty value
  EXPECT_EQ(first->txn_id, 42u);
  EXPECT_GT(first->timestamp_us, 1'600'000'000'000'000u);
  auto second = TxnWalEntry::parse_body(BytesView(buffer.buf).substr(36 + 4));
  ASSERT_TRUE(second.has_value());
  EXPECT_EQ(second->record_type, static_cast<std::uint8_t>(WalRecordType::Delete));
  EXPECT_EQ(second->key, "gone");
  EXPECT_EQ(second->value, "");
}

TEST(TxnWalTest, EmptyBufferWritesNothing) {
  TempDir dir;
  auto wal = open_wal(dir.path());
  ASSERT_TRUE(wal->write_buffer(TxnWalBuffer(1)).has_value());
  ASSERT_TRUE(wal->sync().has_value());
  EXPECT_EQ(wal->next_lsn(), 0u);
  EXPECT_EQ(size_of(wal->path()), 0u);
}

TEST(TxnWalTest, AppendsReachTheFileOnSyncOrDrop) {
  TempDir dir;
  auto wal = open_wal(dir.path());
  ASSERT_TRUE(wal->append(control(WalRecordType::Begin, 1)).has_value());
  EXPECT_EQ(wal->file_size(), 0u);  // buffered
  ASSERT_TRUE(wal->sync().has_value());
  EXPECT_EQ(wal->file_size(), 33u);
  EXPECT_EQ(size_of(wal->path()), TxnWal::kPreallocateStep) << "zeros written ahead";
  ASSERT_TRUE(wal->append(control(WalRecordType::Abort, 1)).has_value());
  const auto path = wal->path();
  wal.reset();  // the destructor flushes, and cuts the zeros off
  EXPECT_EQ(size_of(path), 66u);
  EXPECT_EQ(types_of(read_all(path).entries), (std::vector<std::uint8_t>{16, 18}));
}

TEST(TxnWalTest, RecordsLargerThanTheWriteBufferKeepTheirOrder) {
  TempDir dir;
  auto wal = open_wal(dir.path());
  ASSERT_TRUE(wal->append(control(WalRecordType::Begin, 1)).has_value());
  const Bytes big(TxnWal::kWriteBufferSize + 10, 'x');
  ASSERT_TRUE(wal->append(write_entry(1, "big", big)).has_value());
  // The buffered Begin was flushed first, then the big record written straight through.
  EXPECT_EQ(wal->file_size(), 33u + 33 + 3 + big.size());
  ASSERT_TRUE(wal->append(control(WalRecordType::Commit, 1)).has_value());
  ASSERT_TRUE(wal->sync().has_value());
  auto got = read_all(wal->path());
  ASSERT_EQ(types_of(got.entries), (std::vector<std::uint8_t>{16, 1, 17}));
  EXPECT_EQ(got.entries[1].value, big);
}

// ---------------------------------------------------------------------------------------------
// Reading

TEST(WalReaderTest, PlainLengthLimits) {
  struct Case {
    std::uint32_t length;
    std::string error;
  };
  const Case cases[] = {
      {28, "Corruption detected: WAL entry too short"},
      {0, "Corruption detected: WAL entry too short"},
      // Accepted by the limit; the fabricated file then ends inside the body.
      {536'870'912, kUnexpectedEnd},
      {536'870'913, "Corruption detected: WAL entry length 536870913 exceeds maximum 536870912"},
      {0xffffffff, "Corruption detected: WAL entry length 4294967295 exceeds maximum 536870912"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.length);
    TempDir dir;
    Bytes bytes;
    put_u32(bytes, c.length);
    bytes += Bytes(100, '\x01');
    write_file(dir / "wal.log", bytes);
    auto reader = WalReader::open(dir / "wal.log", nullptr, kUuid, kEpoch);
    ASSERT_TRUE(reader.has_value());
    auto r = reader->read_record();
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().message(), c.error);
    if (c.error != kUnexpectedEnd) {
      EXPECT_EQ(reader->bytes_read(), 4u);  // the body was never read
    }
    EXPECT_EQ(reader->good_offset(), 0u);
    EXPECT_EQ(reader->records(), 0u);
  }
}

TEST(WalReaderTest, RecordsAcrossTheBufferAreReadWhole) {
  // Records of many sizes, so that some lie inside one buffer fill, some cross its end and some
  // are larger than the buffer.
  TempDir dir;
  std::vector<TxnWalEntry> written;
  Bytes file;
  for (std::size_t i = 0; i < 400; ++i) {
    const std::size_t size = i % 50 == 7 ? WalReader::kBufferSize + i : (i * 977) % 3000;
    TxnWalEntry e{"key" + std::to_string(i), Bytes(size, static_cast<char>('a' + i % 26)), i, 0,
                  static_cast<std::uint8_t>(WalRecordType::Write)};
    file += TxnWalEntry::to_bytes(e);
    written.push_back(std::move(e));
  }
  write_file(dir / "wal.log", file);
  EXPECT_EQ(read_all(dir / "wal.log").entries, written);

  auto reader = WalReader::open(dir / "wal.log", nullptr, kUuid, kEpoch);
  ASSERT_TRUE(reader.has_value());
  for (const TxnWalEntry& want : written) {
    auto view = reader->read_view();
    ASSERT_TRUE(view.has_value()) << view.error().message();
    EXPECT_EQ(TxnWalEntry::from_view(*view), want);
  }
  auto end = reader->read_view();
  ASSERT_FALSE(end.has_value());
  EXPECT_TRUE(end.error().is_unexpected_eof());
  EXPECT_EQ(reader->good_offset(), file.size());
}

TEST(WalReaderTest, SmallestRecordIsAccepted) {
  TempDir dir;
  write_file(dir / "wal.log", TxnWalEntry::to_bytes(control(WalRecordType::Begin, 5)));
  auto got = read_all(dir / "wal.log");
  ASSERT_EQ(got.entries.size(), 1u);
  EXPECT_EQ(got.entries[0], control(WalRecordType::Begin, 5));
}

TEST(WalReaderTest, EncryptedLengthLimits) {
  struct Case {
    std::uint32_t length;
    std::string error;
  };
  const Case cases[] = {
      {28, "Encryption error: Invalid format: Data too short for encrypted block"},
      {536'870'913,
       "Corruption detected: encrypted WAL frame length 536870913 exceeds maximum 536870912"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.length);
    TempDir dir;
    Bytes bytes;
    put_u32(bytes, c.length);
    bytes += Bytes(28, '\x01');
    write_file(dir / "wal.log", bytes);
    auto got = read_all(dir / "wal.log", engine_with('k'));
    EXPECT_TRUE(got.entries.empty());
    ASSERT_TRUE(got.end);
    EXPECT_EQ(got.end->message(), c.error);
  }
}

TEST(WalReaderTest, DeviceErrorsCarryTheirErrno) {
  TempDir dir;
  fs::create_directory(dir / "wal.log");
  auto reader = WalReader::open(dir / "wal.log", nullptr, kUuid, kEpoch);
  ASSERT_TRUE(reader.has_value());
  auto r = reader->read_record();
  ASSERT_FALSE(r.has_value());
  EXPECT_FALSE(r.error().is_unexpected_eof());
  EXPECT_EQ(r.error().os_error(), EISDIR);
  EXPECT_EQ(r.error().message(), "IO error: Is a directory (os error 21)");

  auto missing = WalReader::open(dir / "absent", nullptr, kUuid, kEpoch);
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error().os_error(), ENOENT);
}

TEST(WalReaderTest, ReportsProgress) {
  TempDir dir;
  Bytes bytes = TxnWalEntry::to_bytes(control(WalRecordType::Begin, 1)) +
                TxnWalEntry::to_bytes(write_entry(1, "k", "v")) + "xyz";
  write_file(dir / "wal.log", bytes);
  auto reader = WalReader::open(dir / "wal.log", nullptr, kUuid, kEpoch);
  ASSERT_TRUE(reader.has_value());
  EXPECT_EQ(reader->file_size(), bytes.size());
  ASSERT_TRUE(reader->read_record().has_value());
  ASSERT_TRUE(reader->read_record().has_value());
  EXPECT_EQ(reader->records(), 2u);
  EXPECT_EQ(reader->good_offset(), 33u + 35u);
  auto end = reader->read_record();
  ASSERT_FALSE(end.has_value());
  EXPECT_TRUE(end.error().is_unexpected_eof());
  EXPECT_EQ(reader->good_offset(), 33u + 35u);
  EXPECT_EQ(reader->bytes_read(), bytes.size());
}

// ---------------------------------------------------------------------------------------------
// Encrypted frames

TEST(TxnWalTest, EncryptedFramesOpenOnlyInTheirOwnContext) {
  TempDir dir;
  auto engine = engine_with('k');
  auto wal = open_wal(dir.path(), engine);
  ASSERT_TRUE(wal->append(control(WalRecordType::Begin, 3)).has_value());
  ASSERT_TRUE(wal->append(write_entry(3, "secret-key", "secret-value")).has_value());
  ASSERT_TRUE(wal->sync().has_value());
  const Bytes file = read_file(wal->path());
  EXPECT_EQ(file.find("secret"), Bytes::npos);
  EXPECT_EQ(get_u32(file.data()), 29u + 29u);  // body + seal overhead
  EXPECT_EQ(file[4], 0x01);

  auto good = read_all(wal->path(), engine);
  ASSERT_EQ(good.entries.size(), 2u);
  EXPECT_EQ(good.entries[1], write_entry(3, "secret-key", "secret-value"));

  auto other_uuid = kUuid;
  other_uuid[0] ^= 1;
  struct Case {
    const char* name;
    std::shared_ptr<const EncryptionEngine> engine;
    std::array<std::uint8_t, 16> uuid;
    std::uint32_t epoch;
  };
  const Case cases[] = {
      {"other key", engine_with('j'), kUuid, kEpoch},
      {"other database", engine, other_uuid, kEpoch},
      {"other key epoch", engine, kUuid, kEpoch + 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto got = read_all(wal->path(), c.engine, c.uuid, c.epoch);
    EXPECT_TRUE(got.entries.empty());
    ASSERT_TRUE(got.end);
    EXPECT_EQ(got.end->message(), kDecryptionFailed);
  }
}

TEST(TxnWalTest, EncryptFrameBindsTheSequence) {
  TempDir dir;
  auto engine = engine_with('k');
  auto wal = open_wal(dir.path(), engine);
  const Bytes body = TxnWalEntry::body_bytes(control(WalRecordType::Begin, 1));
  auto frame = wal->encrypt_frame(body, 5);
  ASSERT_TRUE(frame.has_value());
  ASSERT_EQ(frame->size(), 4u + 29 + 29);
  EXPECT_EQ(get_u32(frame->data()), 58u);
  auto opened =
      engine->decrypt_with_aad(BytesView(*frame).substr(4), wal_frame_aad(kUuid, kEpoch, 5));
  ASSERT_TRUE(opened.has_value());
  EXPECT_EQ(*opened, body);
  EXPECT_FALSE(
      engine->decrypt_with_aad(BytesView(*frame).substr(4), wal_frame_aad(kUuid, kEpoch, 4))
          .has_value());
  const Bytes aad = wal_frame_aad(kUuid, 0x01020304, 0x0102030405060708);
  ASSERT_EQ(aad.size(), 29u);
  EXPECT_EQ(aad[0], 0x01);
  EXPECT_EQ(aad.substr(1, 16), Bytes(reinterpret_cast<const char*>(kUuid.data()), 16));
  EXPECT_EQ(get_u32(aad.data() + 17), 0x01020304u);
  EXPECT_EQ(get_u64(aad.data() + 21), 0x0102030405060708u);
}

TEST(TxnWalTest, SwappedFramesFailAuthentication) {
  TempDir dir;
  auto engine = engine_with('k');
  auto wal = open_wal(dir.path(), engine);
  ASSERT_TRUE(wal->append(control(WalRecordType::Begin, 1)).has_value());
  ASSERT_TRUE(wal->append(control(WalRecordType::Begin, 2)).has_value());
  ASSERT_TRUE(wal->sync().has_value());
  const auto path = wal->path();
  wal.reset();
  const Bytes file = read_file(path);
  ASSERT_EQ(file.size(), 124u);
  write_file(path, file.substr(62) + file.substr(0, 62));
  auto got = read_all(path, engine);
  EXPECT_TRUE(got.entries.empty());
  ASSERT_TRUE(got.end);
  EXPECT_EQ(got.end->message(), kDecryptionFailed);
}

TEST(TxnWalTest, TruncatedBufferIsRefusedByTheEncryptedFlushOnly) {
  TxnWalBuffer buffer(4);
  buffer.append("k1", "v1");
  buffer.append("k2", "v2");
  buffer.buf.pop_back();  // the last record's prefix now claims one byte more than remains
  {
    TempDir dir;
    auto wal = open_wal(dir.path(), engine_with('k'));
    auto r = wal->write_buffer(buffer);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().message(),
              "Corruption detected: txn buffer truncated mid-record during encrypted flush");
    // Nothing of the buffer was written and the counters did not move; the log stays usable.
    EXPECT_EQ(wal->next_lsn(), 0u);
    EXPECT_EQ(wal->frame_counter(), 0u);
    EXPECT_FALSE(wal->failed());
    ASSERT_TRUE(wal->sync().has_value());
    EXPECT_EQ(size_of(wal->path()), 0u);
    EXPECT_EQ(*wal->append(control(WalRecordType::Abort, 4)), 0u);
  }
  {
    TempDir dir;
    auto wal = open_wal(dir.path());
    ASSERT_TRUE(wal->write_buffer(buffer).has_value());
    ASSERT_TRUE(wal->sync().has_value());
    EXPECT_EQ(read_file(wal->path()).substr(0, wal->file_size()), buffer.buf);
    EXPECT_EQ(wal->file_size(), buffer.buf.size());
    EXPECT_EQ(wal->next_lsn(), 2u);
  }
}

TEST(TxnWalTest, EncryptedNumberingContinuesAfterReopen) {
  TempDir dir;
  auto engine = engine_with('k');
  {
    auto wal = open_wal(dir.path(), engine);
    for (std::uint64_t id = 1; id <= 3; ++id) {
      ASSERT_TRUE(wal->append(control(WalRecordType::Begin, id)).has_value());
    }
  }  // dropped without a sync: the destructor flushes
  auto wal = open_wal(dir.path(), engine);
  EXPECT_EQ(wal->next_lsn(), 3u);
  EXPECT_EQ(wal->frame_counter(), 3u);
  TxnWalBuffer buffer(4);
  buffer.append("a", "b");
  ASSERT_TRUE(wal->write_buffer(buffer).has_value());
  EXPECT_EQ(*wal->append(control(WalRecordType::Commit, 4)), 4u);
  EXPECT_EQ(wal->frame_counter(), 5u);
  ASSERT_TRUE(wal->sync().has_value());
  auto got = read_all(wal->path(), engine);
  EXPECT_EQ(types_of(got.entries), (std::vector<std::uint8_t>{16, 16, 16, 1, 17}));
  EXPECT_TRUE(got.end->is_unexpected_eof());
}

// ---------------------------------------------------------------------------------------------
// The counter scan

TEST(TxnWalRecoverTest, CountersFollowTheIdsOfThisProcess) {
  const std::uint64_t pid = static_cast<std::uint32_t>(::getpid());
  TempDir dir;
  Bytes bytes;
  for (std::uint64_t id :
       {pid << 32 | 7, pid << 32 | 41, (pid + 1) << 32 | 100, pid << 32 | 3, std::uint64_t{99}}) {
    bytes += TxnWalEntry::to_bytes(control(WalRecordType::Begin, id));
  }
  write_file(dir / "wal.log", bytes);
  auto wal = TxnWal::open(dir.path(), nullptr, kUuid, kEpoch);
  ASSERT_TRUE(wal.has_value());
  const auto next_txn_id = (*wal)->recover_state();
  ASSERT_TRUE(next_txn_id.has_value());
  EXPECT_EQ(*next_txn_id, pid << 32 | 42);
  EXPECT_EQ((*wal)->next_lsn(), 5u);
  EXPECT_EQ((*wal)->frame_counter(), 5u);
  EXPECT_EQ(*(*wal)->append(control(WalRecordType::Begin, 1)), 5u);
}

TEST(TxnWalRecoverTest, EmptyLogStartsTheSequenceAtOne) {
  const std::uint64_t pid = static_cast<std::uint32_t>(::getpid());
  for (const bool encrypted : {false, true}) {
    TempDir dir;
    auto wal = TxnWal::open(dir.path(), encrypted ? engine_with('k') : nullptr, kUuid, kEpoch);
    ASSERT_TRUE(wal.has_value());
    const auto next_txn_id = (*wal)->recover_state();
    ASSERT_TRUE(next_txn_id.has_value());
    EXPECT_EQ(*next_txn_id, pid << 32 | 1);
    EXPECT_EQ((*wal)->next_lsn(), 0u);
    EXPECT_EQ((*wal)->frame_counter(), 0u);
    EXPECT_TRUE(damaged_files(dir.path()).empty());
  }
}

// Writes Begin 1, Write 1 (k=v), Commit 1 through the log and closes it; returns its size.
std::uint64_t write_base_log(const fs::path& dir, std::shared_ptr<const EncryptionEngine> engine) {
  auto wal = open_wal(dir, std::move(engine));
  EXPECT_TRUE(wal->append(control(WalRecordType::Begin, 1)).has_value());
  TxnWalBuffer buffer(1);
  buffer.append("k", "v");
  EXPECT_TRUE(wal->write_buffer(buffer).has_value());
  EXPECT_TRUE(wal->append(control(WalRecordType::Commit, 1)).has_value());
  EXPECT_TRUE(wal->sync().has_value());
  return wal->file_size();
}

// A running log writes zeros ahead of its records; a crash leaves them in the file. They end the
// log like the end of the file (nothing is moved aside, the room is used again); zeros followed
// by anything else are a damaged tail.
TEST(TxnWalRecoverTest, ZerosAfterTheRecordsAreRoomAndOnlyThat) {
  struct Case {
    const char* name;
    Bytes tail;
    bool damaged;
  };
  const Case cases[] = {{"one zero", Bytes(1, '\0'), false},
                        {"a page of zeros", Bytes(4096, '\0'), false},
                        {"zeros, then a byte", Bytes(4096, '\0') + "\x07", true}};
  for (const bool encrypted : {false, true}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(encrypted ? "encrypted, " : "plain, ") + c.name);
      TempDir dir;
      auto engine = encrypted ? engine_with('k') : nullptr;
      const std::uint64_t good_size = write_base_log(dir.path(), engine);
      append_file(dir / "wal.log", c.tail);
      {
        auto wal = open_wal(dir.path(), engine);
        ASSERT_TRUE(wal);
        EXPECT_EQ(wal->next_lsn(), 3u);
        EXPECT_EQ(wal->file_size(), good_size);
        EXPECT_EQ(damaged_files(dir.path()).size(), c.damaged ? 1u : 0u);
        EXPECT_EQ(size_of(dir / "wal.log"), c.damaged ? good_size : good_size + c.tail.size());
        ASSERT_TRUE(wal->append(control(WalRecordType::Abort, 5)).has_value());
        ASSERT_TRUE(wal->sync().has_value());
      }
      const auto got = read_all(dir / "wal.log", engine);
      EXPECT_EQ(types_of(got.entries), (std::vector<std::uint8_t>{16, 1, 17, 18}));
      ASSERT_TRUE(got.end.has_value());
      EXPECT_TRUE(got.end->is_unexpected_eof());
    }
  }
}

TEST(TxnWalRecoverTest, TornTailIsMovedAsideAndLaterAppendsSurvive) {
  struct Mode {
    const char* name;
    std::shared_ptr<const EncryptionEngine> engine;
    std::vector<std::size_t> cuts;  // bytes of the torn record that reached the file
  };
  std::vector<std::size_t> plain_cuts;
  for (std::size_t cut = 1; cut <= 32; ++cut) plain_cuts.push_back(cut);
  const Mode modes[] = {{"plain", nullptr, plain_cuts},
                        {"encrypted", engine_with('k'), {1, 3, 4, 5, 30, 61, 65}}};
  for (const Mode& m : modes) {
    for (const std::size_t cut : m.cuts) {
      SCOPED_TRACE(std::string(m.name) + " cut " + std::to_string(cut));
      TempDir dir;
      const std::uint64_t good_size = write_base_log(dir.path(), m.engine);
      // The record that was being written when the power went: Write 2 (key, value).
      Bytes torn;
      if (m.engine) {
        auto wal = open_wal(dir.path(), m.engine);
        auto frame = wal->encrypt_frame(TxnWalEntry::body_bytes(write_entry(2, "key", "value")), 3);
        ASSERT_TRUE(frame.has_value());
        torn = frame->substr(0, cut);
      } else {
        torn = TxnWalEntry::to_bytes(write_entry(2, "key", "value")).substr(0, cut);
      }
      append_file(dir / "wal.log", torn);

      {
        auto wal = open_wal(dir.path(), m.engine);
        ASSERT_TRUE(wal);
        EXPECT_EQ(wal->next_lsn(), 3u);
        EXPECT_EQ(size_of(dir / "wal.log"), good_size);
        EXPECT_EQ(read_file(dir / "wal.log.damaged-3"), torn);
        EXPECT_EQ(wal->durable_offset(), good_size);
        ASSERT_TRUE(wal->append(control(WalRecordType::Begin, 5)).has_value());
        ASSERT_TRUE(wal->sync().has_value());
      }
      auto wal = open_wal(dir.path(), m.engine);
      EXPECT_EQ(wal->next_lsn(), 4u);
      auto got = read_all(dir / "wal.log", m.engine);
      EXPECT_EQ(types_of(got.entries), (std::vector<std::uint8_t>{16, 1, 17, 16}));
      EXPECT_EQ(damaged_files(dir.path()).size(), 1u);
    }
  }
}

TEST(TxnWalRecoverTest, ASecondTailAtTheSameLsnKeepsTheFirstSideFile) {
  TempDir dir;
  write_base_log(dir.path(), nullptr);
  write_file(dir / "wal.log.damaged-3", "earlier");
  append_file(dir / "wal.log", Bytes("\x05\x00", 2));
  auto wal = open_wal(dir.path());
  EXPECT_EQ(wal->next_lsn(), 3u);
  EXPECT_EQ(read_file(dir / "wal.log.damaged-3"), "earlier");
  EXPECT_EQ(read_file(dir / "wal.log.damaged-3.1"), Bytes("\x05\x00", 2));
}

TEST(TxnWalRecoverTest, DamagedRecordEndsAPlainLog) {
  for (const std::size_t damaged : {std::size_t{0}, std::size_t{4}, std::size_t{9}}) {
    SCOPED_TRACE(damaged);
    TempDir dir;
    std::vector<Bytes> records;
    for (int i = 0; i < 10; ++i) {
      records.push_back(TxnWalEntry::to_bytes(write_entry(1, "k" + std::to_string(i), "value")));
    }
    records[damaged][records[damaged].size() - 6] ^= 0x40;  // a value byte
    Bytes file;
    for (const auto& r : records) file += r;
    write_file(dir / "wal.log", file);

    auto wal = open_wal(dir.path());
    ASSERT_TRUE(wal);
    EXPECT_EQ(wal->next_lsn(), damaged);
    const std::uint64_t good = damaged * records[0].size();
    EXPECT_EQ(size_of(dir / "wal.log"), good);
    EXPECT_EQ(read_file(dir / ("wal.log.damaged-" + std::to_string(damaged))), file.substr(good));
    ASSERT_TRUE(wal->append(control(WalRecordType::Begin, 2)).has_value());
    ASSERT_TRUE(wal->sync().has_value());
    EXPECT_EQ(read_all(dir / "wal.log").entries.size(), damaged + 1);
  }
}

TEST(TxnWalRecoverTest, BadCompleteFrameFailsAnEncryptedOpen) {
  auto engine = engine_with('k');
  struct Case {
    const char* name;
    std::string error;
  };
  const Case cases[] = {
      {"flipped ciphertext byte", kDecryptionFailed},
      {"opens but holds an unknown record type", "Corruption detected: Invalid record type: 4"},
      {"oversized frame length",
       "Corruption detected: encrypted WAL frame length 4294967295 exceeds maximum 536870912"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    write_base_log(dir.path(), engine);
    const auto path = dir / "wal.log";
    Bytes file = read_file(path);
    const std::string_view name = c.name;
    if (name.starts_with("flipped")) {
      file[62 + 20] ^= 0x01;  // inside the second frame
    } else if (name.starts_with("opens")) {
      auto wal = TxnWal::open(dir.path(), engine, kUuid, kEpoch);
      auto bad = control(WalRecordType::Begin, 9);
      bad.record_type = 4;
      auto frame = (*wal)->encrypt_frame(TxnWalEntry::body_bytes(bad), 3);
      ASSERT_TRUE(frame.has_value());
      file += *frame + *frame;  // a complete frame, then more
    } else {
      file += Bytes("\xff\xff\xff\xff", 4) + Bytes(100, 'x');
    }
    write_file(path, file);

    auto wal = TxnWal::open(dir.path(), engine, kUuid, kEpoch);
    ASSERT_TRUE(wal.has_value());
    auto r = (*wal)->recover_state();
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().message(), c.error);
    EXPECT_EQ(read_file(path), file);  // nothing cut
    EXPECT_TRUE(damaged_files(dir.path()).empty());
  }
}

// What a power cut leaves past the last sync: zeros where pages never reached the disk, a frame
// torn by a lost page. Nothing after it opens, so it is a tail, moved aside like a torn frame.
TEST(TxnWalRecoverTest, EncryptedTailThatNeverBecameDurableEndsTheLog) {
  auto engine = engine_with('k');
  struct Case {
    const char* name;
    std::function<void(Bytes&, std::uint64_t good)> damage;
    std::uint64_t records_left;
    std::size_t side_files;  // zeros alone are room written ahead, not a tail to move aside
  };
  const Case cases[] = {
      {"zeros after the last frame", [](Bytes& f, auto) { f += Bytes(4096, '\0'); }, 3, 0},
      {"last frame torn to zeros",
       [](Bytes& f, std::uint64_t good) {
         for (std::size_t i = good - 20; i < good; ++i) f[i] = '\0';
       },
       2, 1},
      {"zeros after a torn frame",
       [](Bytes& f, std::uint64_t good) {
         f[good - 5] ^= 0x10;
         f += Bytes(8192, '\0');
       },
       2, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::uint64_t good = write_base_log(dir.path(), engine);
    Bytes file = read_file(dir / "wal.log");
    c.damage(file, good);
    write_file(dir / "wal.log", file);
    auto wal = open_wal(dir.path(), engine);
    ASSERT_TRUE(wal);
    EXPECT_EQ(wal->next_lsn(), c.records_left);
    EXPECT_EQ(damaged_files(dir.path()).size(), c.side_files);
    EXPECT_EQ(read_all(dir / "wal.log", engine).entries.size(), c.records_left);
  }
}

TEST(TxnWalRecoverTest, DeviceReadErrorFailsTheScanAndCutsNothing) {
  TempDir dir;
  write_base_log(dir.path(), nullptr);
  auto wal = TxnWal::open(dir.path(), nullptr, kUuid, kEpoch);
  ASSERT_TRUE(wal.has_value());
  // The scan opens the path anew; a directory there fails every read with EISDIR.
  fs::rename(dir / "wal.log", dir / "wal.log.real");
  fs::create_directory(dir / "wal.log");
  auto r = (*wal)->recover_state();
  ASSERT_FALSE(r.has_value());
  EXPECT_FALSE(r.error().is_unexpected_eof());
  EXPECT_EQ(r.error().os_error(), EISDIR);
  EXPECT_EQ(size_of(dir / "wal.log.real"), 33u + 35u + 33u);
  EXPECT_TRUE(damaged_files(dir.path()).empty());
}

// ---------------------------------------------------------------------------------------------
// Failing closed

constexpr const char* kUnusablePrefix = "IO error: log is unusable after an earlier failure: ";

// Checks that every write path of a failed log refuses with the text naming `original`.
void expect_unusable(TxnWal& wal, const std::string& original) {
  EXPECT_TRUE(wal.failed());
  const std::string expected = kUnusablePrefix + original;
  auto a = wal.append(control(WalRecordType::Begin, 77));
  ASSERT_FALSE(a.has_value());
  EXPECT_EQ(a.error().message(), expected);
  TxnWalBuffer buffer(77);
  buffer.append("k", "v");
  auto b = wal.write_buffer(buffer);
  ASSERT_FALSE(b.has_value());
  EXPECT_EQ(b.error().message(), expected);
  auto s = wal.sync();
  ASSERT_FALSE(s.has_value());
  EXPECT_EQ(s.error().message(), expected);
  EXPECT_EQ(s.error().kind(), KavrelError::Kind::Io);
}

TEST(TxnWalFailureTest, FailedWriteClosesTheLogAndDropsTheBatch) {
  FaultPlanReset reset;
  struct Case {
    const char* name;
    std::function<io::FaultPlan(std::shared_ptr<std::atomic<int>>)> plan;
    std::string error;
  };
  const Case cases[] = {
      {"EIO",
       [](const auto&) {
         return io::FaultPlan{[](io::Op op) -> std::optional<int> {
                                return op == io::Op::Write ? std::optional<int>(EIO) : std::nullopt;
                              },
                              nullptr};
       },
       "Input/output error (os error 5)"},
      {"short write then EROFS",
       [](std::shared_ptr<std::atomic<int>> writes) {
         return io::FaultPlan{[writes = std::move(writes)](io::Op op) -> std::optional<int> {
                                if (op == io::Op::Write && writes->fetch_add(1) >= 1) {
                                  return EROFS;
                                }
                                return std::nullopt;
                              },
                              [](std::size_t n) -> std::optional<std::size_t> { return n / 2; }};
       },
       "Read-only file system (os error 30)"},
      {"write makes no progress",
       [](const auto&) {
         return io::FaultPlan{nullptr, [](std::size_t) -> std::optional<std::size_t> { return 0; }};
       },
       "Input/output error (os error 5)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    {
      auto wal = open_wal(dir.path());
      ASSERT_TRUE(wal->append(control(WalRecordType::Begin, 1)).has_value());
      ASSERT_TRUE(wal->sync().has_value());
      // A batch: a transaction's writes and its Commit, then the shared sync fails.
      ASSERT_TRUE(wal->append(control(WalRecordType::Begin, 2)).has_value());
      TxnWalBuffer buffer(2);
      buffer.append("k", "v");
      ASSERT_TRUE(wal->write_buffer(buffer).has_value());
      ASSERT_TRUE(wal->append(control(WalRecordType::Commit, 2)).has_value());
      io::set_fault_plan(c.plan(std::make_shared<std::atomic<int>>(0)));
      auto r = wal->sync();
      ASSERT_FALSE(r.has_value());
      EXPECT_EQ(r.error().message(), "IO error: " + c.error);
      io::set_fault_plan(std::nullopt);
      // Partial bytes were cut back to what was durable.
      EXPECT_EQ(size_of(dir / "wal.log"), 33u);
      expect_unusable(*wal, c.error);
    }  // dropping the failed log must not flush the discarded batch
    EXPECT_EQ(size_of(dir / "wal.log"), 33u);
    auto wal = open_wal(dir.path());
    EXPECT_EQ(wal->next_lsn(), 1u);
    EXPECT_TRUE(damaged_files(dir.path()).empty());
  }
}

TEST(TxnWalFailureTest, FailedFsyncCutsTheUnsyncedTail) {
  FaultPlanReset reset;
  TempDir dir;
  {
    auto wal = open_wal(dir.path());
    ASSERT_TRUE(wal->append(control(WalRecordType::Begin, 1)).has_value());
    ASSERT_TRUE(wal->sync().has_value());
    ASSERT_TRUE(wal->append(control(WalRecordType::Begin, 2)).has_value());
    ASSERT_TRUE(wal->append(control(WalRecordType::Commit, 2)).has_value());
    io::set_fault_plan(io::FaultPlan{[](io::Op op) -> std::optional<int> {
                                       return op == io::Op::Fsync ? std::optional<int>(EIO)
                                                                  : std::nullopt;
                                     },
                                     nullptr});
    auto r = wal->sync();
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().message(), "IO error: Input/output error (os error 5)");
    EXPECT_EQ(r.error().os_error(), EIO);
    io::set_fault_plan(std::nullopt);
    EXPECT_EQ(size_of(dir / "wal.log"), 33u);
    expect_unusable(*wal, "Input/output error (os error 5)");
  }
  auto wal = open_wal(dir.path());
  EXPECT_EQ(wal->next_lsn(), 1u);  // Commit 2 did not survive
}

TEST(TxnWalFailureTest, FailedAppendClosesTheLog) {
  FaultPlanReset reset;
  TempDir dir;
  auto wal = open_wal(dir.path(), engine_with('k'));
  io::set_fault_plan(io::FaultPlan{[](io::Op op) -> std::optional<int> {
                                     return op == io::Op::Write ? std::optional<int>(EIO)
                                                                : std::nullopt;
                                   },
                                   nullptr});
  // Larger than the write buffer: written straight through, and the write fails.
  auto r = wal->append(write_entry(1, "k", Bytes(TxnWal::kWriteBufferSize, 'x')));
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().os_error(), EIO);
  EXPECT_EQ(wal->next_lsn(), 0u);
  EXPECT_EQ(wal->frame_counter(), 0u);
  io::set_fault_plan(std::nullopt);
  expect_unusable(*wal, "Input/output error (os error 5)");
  EXPECT_EQ(size_of(dir / "wal.log"), 0u);
}

TEST(TxnWalFailureTest, SyncRacingAFailureReportsIt) {
  FaultPlanReset reset;
  TempDir dir;
  auto wal = open_wal(dir.path());
  ASSERT_TRUE(wal->append(control(WalRecordType::Begin, 1)).has_value());

  std::latch in_fsync(1);
  std::latch release(1);
  std::atomic<int> fsyncs{0};
  std::atomic<bool> fail_writes{false};
  io::set_fault_plan(io::FaultPlan{[&](io::Op op) -> std::optional<int> {
                                     if (op == io::Op::Fsync && fsyncs.fetch_add(1) == 0) {
                                       in_fsync.count_down();
                                       release.wait();
                                     }
                                     if (op == io::Op::Write && fail_writes) return EIO;
                                     return std::nullopt;
                                   },
                                   nullptr});
  std::optional<Result<>> synced;
  std::thread syncer([&] { synced = wal->sync(); });
  in_fsync.wait();
  // The fsync is under way and does not hold the writer: appends go on.
  ASSERT_TRUE(wal->append(control(WalRecordType::Begin, 2)).has_value());
  fail_writes = true;
  auto r = wal->append(write_entry(2, "k", Bytes(TxnWal::kWriteBufferSize, 'x')));
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().os_error(), EIO);
  release.count_down();
  syncer.join();
  ASSERT_TRUE(synced.has_value());
  ASSERT_FALSE(synced->has_value());
  EXPECT_EQ(synced->error().message(),
            std::string(kUnusablePrefix) + "Input/output error (os error 5)");
  EXPECT_EQ(size_of(dir / "wal.log"), 0u);  // cut back to what was durable
}

TEST(TxnWalSyncTest, AppendsDuringAnFsyncAreCoveredByTheNextSync) {
  FaultPlanReset reset;
  TempDir dir;
  auto wal = open_wal(dir.path());
  ASSERT_TRUE(wal->append(control(WalRecordType::Begin, 1)).has_value());
  std::latch in_fsync(1);
  std::latch release(1);
  std::atomic<int> fsyncs{0};
  io::set_fault_plan(io::FaultPlan{[&](io::Op op) -> std::optional<int> {
                                     if (op == io::Op::Fsync && fsyncs.fetch_add(1) == 0) {
                                       in_fsync.count_down();
                                       release.wait();
                                     }
                                     return std::nullopt;
                                   },
                                   nullptr});
  std::optional<Result<>> synced;
  std::thread syncer([&] { synced = wal->sync(); });
  in_fsync.wait();
  auto lsn = wal->append(control(WalRecordType::Begin, 2));
  ASSERT_TRUE(lsn.has_value());
  EXPECT_EQ(*lsn, 1u);
  release.count_down();
  syncer.join();
  ASSERT_TRUE(synced.has_value() && synced->has_value());
  EXPECT_EQ(wal->durable_offset(), 33u);  // the first sync covered Begin 1 only
  ASSERT_TRUE(wal->sync().has_value());
  EXPECT_EQ(wal->durable_offset(), 66u);
  EXPECT_EQ(fsyncs.load(), 2);
}

TEST(TxnWalSyncTest, SyncWithNothingNewSkipsTheFsync) {
  TempDir dir;
  auto wal = open_wal(dir.path());
  ASSERT_TRUE(wal->append(control(WalRecordType::Begin, 1)).has_value());
  const auto before = io::fsync_count();
  ASSERT_TRUE(wal->sync().has_value());
  EXPECT_EQ(io::fsync_count() - before, 1u);
  ASSERT_TRUE(wal->sync().has_value());
  EXPECT_EQ(io::fsync_count() - before, 1u);
}

TEST(TxnWalSyncTest, ConcurrentAppendsAndSyncsKeepEveryRecordWhole) {
  TempDir dir;
  auto wal = open_wal(dir.path());
  constexpr int kThreads = 4;
  constexpr int kPerThread = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        const std::uint64_t id =
            static_cast<std::uint64_t>(t) * 1000 + static_cast<std::uint64_t>(i);
        ASSERT_TRUE(wal->append(control(WalRecordType::Begin, id)).has_value());
        TxnWalBuffer buffer(id);
        buffer.append(std::to_string(id) + "#0", Bytes(static_cast<std::size_t>(i) * 50, 'v'));
        buffer.append(std::to_string(id) + "#1", "w");
        ASSERT_TRUE(wal->write_buffer(buffer).has_value());
        ASSERT_TRUE(wal->append(control(WalRecordType::Commit, id)).has_value());
        if (i % 10 == 0) {
          ASSERT_TRUE(wal->sync().has_value());
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  ASSERT_TRUE(wal->sync().has_value());
  EXPECT_EQ(wal->next_lsn(), 4u * kThreads * kPerThread);
  auto got = read_all(wal->path());
  ASSERT_EQ(got.entries.size(), 4u * kThreads * kPerThread);
  EXPECT_TRUE(got.end->is_unexpected_eof());
  // A transaction's buffered records form one run: its second Write directly follows its first.
  for (std::size_t i = 0; i < got.entries.size(); ++i) {
    const auto& e = got.entries[i];
    if (e.record_type != 1 || !e.key.ends_with("#0")) continue;
    ASSERT_LT(i + 1, got.entries.size());
    EXPECT_EQ(got.entries[i + 1].key, std::to_string(e.txn_id) + "#1");
    EXPECT_EQ(e.key, std::to_string(e.txn_id) + "#0");
  }
}

}  // namespace
}  // namespace kavrel
