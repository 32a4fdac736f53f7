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
      {KavrelError::corruption("c"), "Corruption detected: c"},
      {KavrelError::invalid_argument("a"), "Invalid argument: a"},
      {KavrelError::internal("i"), "Internal error: i"},
      {KavrelError::validation("v"), "Validation error: v"},
      {KavrelError::make(K::Lock, "l"), "Lock error: l"},
      {KavrelError::encryption("e"), "Encryption error: e"},
      // Its own kind, shown as clients have always seen it.
      {KavrelError::write_conflict(), "Internal error: Write-write conflict detected"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.error.message(), c.want);
  }
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
      {IpcError::protocol("PUT payload too short"), "Protocol error: PUT payload too short"},
      {IpcError::already_running(), "Server already running"},
      {IpcError::message_too_large(20000000, 16777216),
       "Message too large: 20000000 bytes (max: 16777216)"},
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
