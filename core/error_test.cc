#include "core/error.h"

#include <cerrno>

#include <gtest/gtest.h>

namespace kavrel {
namespace {

using K = KavrelError::Kind;

TEST(ErrorTest, KavrelErrorMessages) {
  struct Case {
    KavrelError error;
    const char* want;
  };
  const Case cases[] = {
      {KavrelError::io(ENOENT), "IO error: No such file or directory (os error 2)"},
      {KavrelError::unexpected_eof(), "IO error: failed to fill whole buffer"},
      {KavrelError::make(K::Serialization, "x"), "Serialization error: x"},
      {KavrelError::data_corruption("d", "l", "r"),
       "Data corruption detected: d. Location: l. Recommendation: r"},
      {KavrelError::corruption("c"), "Corruption detected: c"},
      {KavrelError::make(K::KeyNotFound, ""), "Key not found: "},
      {KavrelError::invalid_argument("a"), "Invalid argument: a"},
      {KavrelError::invalid_timestamp_range("ctx", 7, "too big", 1, 5),
       "Invalid timestamp in ctx: 7 is too big. Valid range: 1 to 5"},
      {KavrelError::make(K::InvalidTimestamp, "t"), "Invalid timestamp: t"},
      {KavrelError::make(K::ResourceExhausted, "r"), "Resource exhausted: r"},
      {KavrelError::internal("i"), "Internal error: i"},
      {KavrelError::make(K::Compaction, "c"), "Compaction error: c"},
      {KavrelError::make(K::Index, "i"), "Index error: i"},
      {KavrelError::make(K::Backup, "b"), "Backup error: b"},
      {KavrelError::validation("v"), "Validation error: v"},
      {KavrelError::make(K::InvalidData, "d"), "Invalid data: d"},
      {KavrelError::make(K::InvalidReference, "r"), "Invalid reference: r"},
      {KavrelError::make(K::CircuitBreakerOpen, "o"), "Circuit breaker open: o"},
      {KavrelError::make(K::WriteStallTimeout, "w"), "Write stall timeout: w"},
      {KavrelError::make(K::SchemaEvolution, "s"), "Schema evolution error: s"},
      {KavrelError::make(K::Lock, "l"), "Lock error: l"},
      {KavrelError::database_locked(), "Database is locked by another process"},
      {KavrelError::wal_epoch_mismatch(3, 5), "WAL epoch mismatch: expected 3, got 5"},
      {KavrelError::make(K::SplitBrain, "s"), "Split-brain detected in WAL: s"},
      {KavrelError::encryption("e"), "Encryption error: e"},
      // Its own kind, shown as clients have always seen it.
      {KavrelError::write_conflict(), "Internal error: Write-write conflict detected"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.error.message(), c.want);
  }
}

TEST(ErrorTest, KindCodesFollowDeclarationOrder) {
  EXPECT_EQ(KavrelError::io(1).code(), 0);
  EXPECT_EQ(KavrelError::internal("").code(), 9);
  EXPECT_EQ(KavrelError::validation("").code(), 13);
  EXPECT_EQ(KavrelError::database_locked().code(), 20);
  EXPECT_EQ(KavrelError::encryption("").code(), 23);
}

TEST(ErrorTest, UnexpectedEofIsDistinguishable) {
  EXPECT_TRUE(KavrelError::unexpected_eof().is_unexpected_eof());
  EXPECT_FALSE(KavrelError::io(EIO).is_unexpected_eof());
  EXPECT_EQ(KavrelError::io(EIO).os_error(), EIO);
}

TEST(ErrorTest, IpcErrorMessages) {
  struct Case {
    IpcError error;
    const char* want;
  };
  const Case cases[] = {
      {IpcError::io(EPIPE), "I/O error: Broken pipe (os error 32)"},
      {IpcError::database("d"), "Database error: d"},
      {IpcError::protocol("PUT payload too short"), "Protocol error: PUT payload too short"},
      {IpcError::already_running(), "Server already running"},
      {IpcError::not_running(), "Server not running"},
      {IpcError::connection_closed(), "Connection closed"},
      {IpcError::message_too_large(20000000, 16777216),
       "Message too large: 20000000 bytes (max: 16777216)"},
      {IpcError::invalid_opcode(0), "Invalid opcode: 0x0"},
      {IpcError::invalid_opcode(7), "Invalid opcode: 0x7"},
      {IpcError::invalid_opcode(171), "Invalid opcode: 0xab"},
      {IpcError::invalid_opcode(255), "Invalid opcode: 0xff"},
      {IpcError::transaction_not_found(42), "Transaction not found: 42"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.error.message(), c.want);
  }
}

TEST(ErrorTest, LockAndEncryptionConversions) {
  using namespace std::chrono_literals;
  const LockError timeout = LockError::timeout(5s, 5s);
  EXPECT_EQ(timeout.message(), "Lock acquisition timed out after 5s (timeout: 5s)");
  EXPECT_EQ(KavrelError::from(timeout).message(),
            "Lock error: Lock acquisition timed out after 5s (timeout: 5s)");
  EXPECT_EQ(LockError::io(EACCES).message(), "Lock I/O error: Permission denied (os error 13)");

  struct Case {
    EncryptionError error;
    const char* want;
  };
  const Case cases[] = {
      {EncryptionError::encryption_failed(), "Encryption error: Encryption failed"},
      {EncryptionError::decryption_failed(),
       "Encryption error: Decryption failed (wrong key or tampered data)"},
      {EncryptionError::invalid_format("Data too short for encrypted block"),
       "Encryption error: Invalid format: Data too short for encrypted block"},
      {EncryptionError::unsupported_version(2),
       "Encryption error: Unsupported encryption version: 2"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(KavrelError::from(c.error).message(), c.want);
  }
}

}  // namespace
}  // namespace kavrel
