#include "storage/internal/wal/txn_wal_entry.h"

#include <zlib.h>

#include <chrono>
#include <cstdint>
#include <random>
#include <set>
#include <thread>

#include <gtest/gtest.h>

namespace kavrel {
namespace {

TxnWalEntry make_entry(WalRecordType type, std::uint64_t txn_id, Bytes key = {}, Bytes value = {},
                       std::uint64_t ts = 1'700'000'000'000'000) {
  return TxnWalEntry{std::move(key), std::move(value), txn_id, ts, static_cast<std::uint8_t>(type)};
}

std::uint32_t zlib_crc(BytesView data) {
  return static_cast<std::uint32_t>(
      crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
}

TEST(TxnWalEntryTest, ControlRecordsAre33Bytes) {
  for (auto type : {WalRecordType::Begin, WalRecordType::Commit, WalRecordType::Abort,
                    WalRecordType::Checkpoint}) {
    SCOPED_TRACE(static_cast<int>(type));
    const auto e = make_entry(type, type == WalRecordType::Checkpoint ? 0 : 77);
    const Bytes bytes = TxnWalEntry::to_bytes(e);
    ASSERT_EQ(bytes.size(), 33u);
    EXPECT_EQ(get_u32(bytes.data()), 29u);
    EXPECT_EQ(static_cast<std::uint8_t>(bytes[4]), static_cast<std::uint8_t>(type));
    EXPECT_EQ(get_u32(bytes.data() + 21), 0u);  // key_len
    EXPECT_EQ(get_u32(bytes.data() + 25), 0u);  // value_len
    EXPECT_EQ(TxnWalEntry::body_bytes(e), bytes.substr(4));
  }
}

TEST(TxnWalEntryTest, WriteRecordLayoutAndChecksumCoverage) {
  const auto e = make_entry(WalRecordType::Write, 0x0102030405060708, "abc", "hello", 0x1122334455);
  const Bytes bytes = TxnWalEntry::to_bytes(e);
  ASSERT_EQ(bytes.size(), 41u);
  EXPECT_EQ(get_u32(bytes.data()), 37u);
  EXPECT_EQ(bytes[4], 1);
  EXPECT_EQ(get_u64(bytes.data() + 5), 0x0102030405060708u);
  EXPECT_EQ(get_u64(bytes.data() + 13), 0x1122334455u);
  EXPECT_EQ(get_u32(bytes.data() + 21), 3u);
  EXPECT_EQ(get_u32(bytes.data() + 25), 5u);
  EXPECT_EQ(bytes.substr(29, 3), "abc");
  EXPECT_EQ(bytes.substr(32, 5), "hello");
  // The checksum covers bytes 4 to 36: not the length prefix, not itself.
  const std::uint32_t expected = zlib_crc(BytesView(bytes).substr(4, 33));
  EXPECT_EQ(get_u32(bytes.data() + 37), expected);
  EXPECT_EQ(TxnWalEntry::checksum(e), expected);
}

TEST(TxnWalEntryTest, EveryCoveredByteIsCheckedAndTheLengthPrefixIsNot) {
  const auto e = make_entry(WalRecordType::Write, 9, "abc", "hello");
  const Bytes body = TxnWalEntry::body_bytes(e);
  ASSERT_TRUE(TxnWalEntry::parse_body(body).has_value());
  for (std::size_t i = 0; i < body.size(); ++i) {
    SCOPED_TRACE(i);
    Bytes damaged = body;
    damaged[i] = static_cast<char>(damaged[i] ^ 0x01);  // type 1 -> 0, lengths +-1, ...
    EXPECT_FALSE(TxnWalEntry::parse_body(damaged).has_value());
  }
  // parse_body never sees body_len: a record whose prefix differs decodes the same body.
  Bytes record = TxnWalEntry::to_bytes(e);
  record[0] = 'X';
  auto parsed = TxnWalEntry::parse_body(BytesView(record).substr(4));
  ASSERT_TRUE(parsed.has_value());
  EXPECT_EQ(*parsed, e);
}

TEST(TxnWalEntryTest, AcceptedTypeCodes) {
  const std::set<int> accepted = {1,  2,  3,  16, 17, 18, 19, 20, 21, 32,
                                  33, 48, 49, 50, 51, 64, 80, 81, 96, 97};
  for (int code = 0; code < 256; ++code) {
    EXPECT_EQ(is_accepted_record_type(static_cast<std::uint8_t>(code)), accepted.contains(code))
        << code;
  }
}

TEST(TxnWalEntryTest, UnknownTypeRefusedEvenWithRightChecksum) {
  auto e = make_entry(WalRecordType::Write, 5, "k", "v");
  e.record_type = 4;
  auto r = TxnWalEntry::parse_body(TxnWalEntry::body_bytes(e));  // checksum computed over type 4
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind(), KavrelError::Kind::Corruption);
  EXPECT_EQ(r.error().message(), "Corruption detected: Invalid record type: 4");

  e.record_type = 97;
  auto ok = TxnWalEntry::parse_body(TxnWalEntry::body_bytes(e));
  ASSERT_TRUE(ok.has_value());
  EXPECT_EQ(ok->record_type, 97);
  EXPECT_EQ(*ok, e);
}

TEST(TxnWalEntryTest, CutShortBodiesAreTheUnexpectedEndNotCorruption) {
  const Bytes control = TxnWalEntry::body_bytes(make_entry(WalRecordType::Begin, 3));  // 29 bytes
  const Bytes write = TxnWalEntry::body_bytes(make_entry(WalRecordType::Write, 3, "key", "value"));
  struct Case {
    const char* name;
    Bytes body;
  };
  const Case cases[] = {
      {"empty", Bytes()},
      {"type only", control.substr(0, 1)},
      {"24 bytes", control.substr(0, 24)},
      {"25 bytes, no checksum", control.substr(0, 25)},
      {"26 bytes", control.substr(0, 26)},
      {"27 bytes", control.substr(0, 27)},
      {"28 bytes", control.substr(0, 28)},
      {"inside the key", write.substr(0, 26)},
      {"inside the value", write.substr(0, 30)},
      {"inside the checksum", write.substr(0, write.size() - 1)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto r = TxnWalEntry::parse_body(c.body);
    ASSERT_FALSE(r.has_value());
    EXPECT_TRUE(r.error().is_unexpected_eof());
    EXPECT_EQ(r.error().message(), "IO error: failed to fill whole buffer");
  }
  // A key length claiming 4 GiB is refused by the length check, before any allocation.
  Bytes huge = write;
  store_le<std::uint32_t>(huge.data() + 17, 0xffffffffu);
  auto r = TxnWalEntry::parse_body(huge);
  ASSERT_FALSE(r.has_value());
  EXPECT_TRUE(r.error().is_unexpected_eof());
}

TEST(TxnWalEntryTest, TypeIsCheckedBeforeLength) {
  Bytes body(10, '\0');
  body[0] = 4;
  auto r = TxnWalEntry::parse_body(body);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().message(), "Corruption detected: Invalid record type: 4");
}

TEST(TxnWalEntryTest, FlippedValueByteNamesBothChecksums) {
  const auto e = make_entry(WalRecordType::Write, 123456789, "key", "value");
  Bytes body = TxnWalEntry::body_bytes(e);
  const std::uint32_t stored = TxnWalEntry::checksum(e);
  body[25 + 3 + 2] ^= 0x20;  // "value" -> "vaLue"
  auto damaged = e;
  damaged.value = "vaLue";
  const std::uint32_t computed = TxnWalEntry::checksum(damaged);
  auto r = TxnWalEntry::parse_body(body);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind(), KavrelError::Kind::Corruption);
  EXPECT_EQ(r.error().message(),
            "Corruption detected: WAL checksum mismatch for txn_id 123456789: "
            "expected " +
                std::to_string(computed) + ", got " + std::to_string(stored));
}

TEST(TxnWalEntryTest, TrailingBytesAfterTheChecksumAreIgnored) {
  const auto e = make_entry(WalRecordType::Write, 8, "k", "v");
  auto r = TxnWalEntry::parse_body(TxnWalEntry::body_bytes(e) + "trailing garbage");
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(*r, e);
}

TEST(TxnWalEntryTest, RandomEntriesRoundTrip) {
  std::mt19937_64 rng(42);
  for (int i = 0; i < 200; ++i) {
    TxnWalEntry e;
    e.key.resize(rng() % 40);
    e.value.resize(rng() % 300);
    for (char& c : e.key) c = static_cast<char>(rng());
    for (char& c : e.value) c = static_cast<char>(rng());
    e.txn_id = rng();
    e.timestamp_us = rng();
    e.record_type = static_cast<std::uint8_t>(i % 2 == 0 ? 1 : 2);
    const Bytes bytes = TxnWalEntry::to_bytes(e);
    ASSERT_EQ(bytes.size(), 33 + e.key.size() + e.value.size());
    auto r = TxnWalEntry::parse_body(BytesView(bytes).substr(4));
    ASSERT_TRUE(r.has_value()) << r.error().message();
    EXPECT_EQ(*r, e);
    // append_record builds the same bytes behind existing content.
    Bytes out = "prefix";
    append_record(out, e.record_type, e.txn_id, e.timestamp_us, e.key, e.value);
    EXPECT_EQ(out, "prefix" + bytes);
  }
}

TEST(TsCacheTest, FollowsTheWallClock) {
  const auto wall_us = [] {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                          std::chrono::system_clock::now().time_since_epoch())
                                          .count());
  };
  const std::uint64_t before = wall_us();
  const std::uint64_t a = ts_cache_now_us();
  const std::uint64_t b = ts_cache_now_us();
  // Within one refresh period values only move forward.
  EXPECT_LE(a, b);
  // Loose bounds: the cache is the wall clock plus less than a millisecond of monotonic time.
  EXPECT_GE(a + 2'000'000, before);
  EXPECT_LE(a, wall_us() + 2'000'000);

  std::uint64_t other = 0;
  std::thread([&] { other = ts_cache_now_us(); }).join();
  EXPECT_GE(other + 2'000'000, before);
}

}  // namespace
}  // namespace kavrel
