// Where a key-encryption key (KEK) comes from: a key file (--key-file) or the
// KAVREL_ENCRYPTION_KEY environment variable, never both. The server reads its key by these rules,
// and kavrel-cli the key of an encrypted backup it checks (backup --verify).
//
// A key file holds the 32 key bytes raw, or 64 hexadecimal characters (either case) with at most
// one line ending after them. It must be a regular file that neither group nor others may read or
// write (mode & 077 == 0), as a private key file. The variable holds 64 hexadecimal characters.
//
// Error texts name the file or the variable, never a byte of what they hold.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "core/error.h"
#include "storage/durable_storage.h"

namespace kavrel {

inline constexpr const char* kKeyEnvVar = "KAVREL_ENCRYPTION_KEY";
// What a new keyring records as its kek_source_id: where the key came from, not the key.
inline constexpr std::string_view kKeyFileSource = "key-file";
inline constexpr std::string_view kEnvSource = "env";

// The key in the file at path. Errors, one line each, e.g.:
//   key file "P" cannot be read: No such file or directory (os error 2)
//   key file "P" is not a regular file
//   key file "P" may be read or written by group or others (mode 644); allow its owner only
//   (chmod 600)
//   key file "P" holds 33 bytes; expected 32 raw bytes or 64 hexadecimal characters
//   key file "P" holds 64 characters that are not all hexadecimal
Result<EncryptionKey, std::string> read_key_file(const std::filesystem::path& path);

// The key written as exactly 64 hexadecimal characters (either case), or nullopt.
std::optional<EncryptionKey> parse_hex_key(std::string_view text);

// What becomes of KAVREL_ENCRYPTION_KEY once looked at.
enum class KeyVariable {
  Keep,
  // Removed whenever it was set, used or not, so that nothing started later inherits it. Only
  // on the main thread before any other thread exists (the environment is changed).
  Remove,
};

// The key of key_file (source "key-file") or of KAVREL_ENCRYPTION_KEY (source "env"), or no key
// (source "none"). Errors: both given ("give the key by --key-file or by KAVREL_ENCRYPTION_KEY,
// not both"), the file's errors above, and "KAVREL_ENCRYPTION_KEY must hold exactly 64
// hexadecimal characters" (an empty variable included).
Result<StorageEncryption, std::string> key_from(
    const std::optional<std::filesystem::path>& key_file, KeyVariable variable);

}  // namespace kavrel
