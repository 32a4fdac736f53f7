// The key-encryption key kavrel-cli needs to check an encrypted backup (backup --verify): from a
// key file (--key-file) or the KAVREL_ENCRYPTION_KEY environment variable, by the rules the
// server reads its own key with.
//
// A key file holds the 32 key bytes raw, or 64 hexadecimal characters (either case) with at most
// one line ending after them, and must be a regular file that neither group nor others may read
// or write. The variable holds 64 hexadecimal characters. Error texts name the file or the
// variable, never a byte of the key.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "core/error.h"
#include "storage/internal/crypto/encryption.h"

namespace kavrel::cli {

inline constexpr const char* kKeyEnvVar = "KAVREL_ENCRYPTION_KEY";

// The key in the file at path. Errors, one line each: "key file \"P\" cannot be read: ...",
// "... is not a regular file", "... may be read or written by group or others (mode 644); allow
// its owner only (chmod 600)", "... holds N bytes; expected 32 raw bytes or 64 hexadecimal
// characters", "... holds 64 characters that are not all hexadecimal".
Result<EncryptionKey, std::string> read_key_file(const std::string& path);

// The key written as exactly 64 hexadecimal characters (either case), or nullopt.
std::optional<EncryptionKey> parse_hex_key(std::string_view text);

// The key of --key-file when given, else of KAVREL_ENCRYPTION_KEY when set, else none.
// Errors: those of read_key_file, and "KAVREL_ENCRYPTION_KEY must hold 64 hexadecimal
// characters".
Result<std::optional<EncryptionKey>, std::string> key_from(
    const std::optional<std::string>& key_file);

}  // namespace kavrel::cli
