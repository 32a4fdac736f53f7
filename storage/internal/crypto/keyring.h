// The keyring: "keyring.json" in the database directory says whether the database is encrypted
// and holds its data key (DEK) sealed under a key-encryption key (KEK) supplied by the opener.
//
// File format: one compact JSON object with exactly these members, written in this order:
//   format_version  u32     1
//   encrypted       bool    true when created
//   db_uuid         string  16 random bytes, 32 hex characters
//   kek_source_id   string  where the creator's KEK came from, verbatim
//   key_epoch       u32     0 when created
//   salt            string  16 random bytes, 32 hex characters
//   wrapped_dek     string  the DEK sealed under derive_subkey(KEK, salt, kWrapLabel) with
//                           wrap_aad(db_uuid, key_epoch, kek_source_id): 61 bytes, 122 hex chars
//   canary          string  kCanaryToken sealed under the DEK with canary_aad(db_uuid,
//                           key_epoch): 53 bytes, 106 hex characters
//   mac             string  HMAC-SHA256 under derive_subkey(KEK, salt, kMacLabel) of
//                           mac_input(file): 32 bytes, 64 hex characters
// Hex is written in lower case and read in either case; the MAC covers the hex texts exactly as
// they appear in the file. Readers ignore unknown members, refuse a member given twice, and also
// accept a JSON array of the nine values in the order above.
//
// The keyring is written when an encrypted database is created, and rewritten only by a KEK
// rotation (rotate), which re-wraps the same DEK under another KEK: db_uuid, key_epoch and the
// canary stay, so every sealed log and snapshot frame still opens. Every function here is called
// on the opening (or rotating) thread; none keeps state between calls.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "core/bytes.h"
#include "core/error.h"
#include "storage/internal/crypto/encryption.h"

namespace kavrel {

// The members of "keyring.json", as read or to be written. The hex fields hold the text as it
// appears in the file (not the decoded bytes).
struct KeyringFile {
  std::uint32_t format_version = 1;
  bool encrypted = true;
  std::string db_uuid;
  std::string kek_source_id;
  std::uint32_t key_epoch = 0;
  std::string salt;
  std::string wrapped_dek;
  std::string canary;
  std::string mac;
};

// What an open learns from the keyring. Without encryption: the disabled engine, a zero db_uuid,
// key_epoch 0 and encrypted false. Otherwise an engine under the DEK and the keyring's identity.
struct KeyringOutcome {
  std::shared_ptr<const EncryptionEngine> engine;
  std::array<std::uint8_t, 16> db_uuid{};
  std::uint32_t key_epoch = 0;
  bool encrypted = false;
};

namespace keyring {

inline constexpr std::string_view kFileName = "keyring.json";
inline constexpr std::uint32_t kFormatVersion = 1;
inline constexpr std::string_view kWrapLabel = "kavrel/keyring/wrap/v1";
inline constexpr std::string_view kMacLabel = "kavrel/keyring/mac/v1";
inline constexpr std::string_view kCanaryToken = "kavrel-keyring-canary-v1";

// Loads, creates or refuses the keyring of a database directory. The storage open calls it after
// taking the directory lock and before opening the log.
//   - no keyring, no KEK: the no-encryption outcome, nothing written;
//   - no keyring, KEK, new_database false: refused (plaintext data is never encrypted in place);
//   - no keyring, KEK, new_database true: creates and publishes a keyring (never replacing one
//     that appeared meanwhile: then that one is opened with this KEK instead);
//   - a keyring: read, version-checked, refused without a KEK, authenticated with the KEK, then
//     opened (or the no-encryption outcome when its `encrypted` member is false).
// new_database is true when "wal.log" did not exist before this open. Every refusal is an
// Encryption error; read, write and fsync failures are Io errors. On failure nothing is left
// behind except, when the fsync after the final move fails, the new keyring itself.
Result<KeyringOutcome> load_or_init(const std::filesystem::path& dir,
                                    const std::optional<EncryptionKey>& kek,
                                    std::string_view kek_source_id, bool new_database);

// The refusals of a keyring on disk (its format version, a missing key, a wrong key or a tampered
// file, the unwrap and the canary) with nothing written and no lock taken: for an opener that must
// leave a directory it cannot open exactly as it found it, since the open itself first takes the
// directory lock and clears stale temporary files. Succeeds when there is no keyring (the open
// then decides) or when kek opens it; the open checks again under the lock.
Result<> check_existing(const std::filesystem::path& dir, const std::optional<EncryptionKey>& kek);

// Re-wraps the data key of the encrypted database in dir under new_kek, rewriting keyring.json
// and nothing else. The keyring must authenticate under old_kek and open (MAC, unwrap, canary)
// exactly as load_or_init would. The new keyring keeps format_version, encrypted, db_uuid,
// key_epoch and canary; it takes new_source_id, a fresh salt (no subkey of the old KEK is
// reused), the DEK wrapped under the new wrapping key and a MAC under the new MAC key. It is
// opened with new_kek before it is published; the publish goes through the I/O seam: a temporary
// file written and synced, renamed over keyring.json, then the file and the directory synced.
// After a crash or power cut at any point the directory holds the old keyring or the new one,
// whole (and maybe a temporary file, which the next open removes). The caller holds the
// directory lock. Returns the published file. Errors: "database has no keyring (it is not
// encrypted); there is no data key to re-wrap" and "keyring says the database is not
// encrypted; there is no data key to re-wrap" (Encryption), load_or_init's refusals of the
// file and of old_kek, and Io errors of the read and of the publish (after a failed sync that
// follows the rename, the new keyring may be in place or not).
Result<KeyringFile> rotate(const std::filesystem::path& dir, const EncryptionKey& old_kek,
                           const EncryptionKey& new_kek, std::string_view new_source_id);

// Reads and parses the file: Io error when it cannot be read, else as parse_keyring.
Result<KeyringFile> read_keyring(const std::filesystem::path& path);
// Parses keyring text; a failure is the Encryption error "malformed keyring: {}" with the
// parser's message ("missing field `x`", "duplicate field `x`", a syntax error...).
Result<KeyringFile> parse_keyring(std::string_view text);
// Compact JSON with the members in file order; "serialize keyring: {}" when a text member is not
// valid UTF-8.
Result<std::string> serialize_keyring(const KeyringFile& file);

// Checks `mac` against mac_input(file) under the MAC key derived from kek and the file's salt, in
// constant time. Errors: those of decode_fixed for the salt, "malformed keyring mac", and
// "keyring authentication failed: wrong encryption key or tampered keyring; refusing to open".
Result<> verify_mac(const KeyringFile& file, const EncryptionKey& kek);
// Unwraps the DEK, proves it with the canary and returns an engine under it (encrypted true).
// Call only after verify_mac succeeded.
Result<KeyringOutcome> open_encrypted(const KeyringFile& file, const EncryptionKey& kek);

// HMAC-SHA256 of mac_input(file) under mac_key.
std::array<std::uint8_t, 32> compute_mac(const EncryptionKey& mac_key, const KeyringFile& file);
// The eight length-prefixed items the MAC covers (every member but `mac`).
Bytes mac_input(const KeyringFile& file);
// db_uuid (16 bytes), key_epoch (u32 LE), then the bytes of kek_source_id.
Bytes wrap_aad(const std::array<std::uint8_t, 16>& db_uuid, std::uint32_t key_epoch,
               std::string_view kek_source_id);
// db_uuid (16 bytes) and key_epoch (u32 LE).
Bytes canary_aad(const std::array<std::uint8_t, 16>& db_uuid, std::uint32_t key_epoch);
// Decodes a 32-character hex text into 16 bytes. Errors: "malformed keyring {name}" and
// "keyring {name} wrong length: {decoded} != 16".
Result<std::array<std::uint8_t, 16>> decode_fixed(std::string_view text, std::string_view name);

}  // namespace keyring
}  // namespace kavrel
