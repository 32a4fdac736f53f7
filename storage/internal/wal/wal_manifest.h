// "wal.manifest": the log's format version, the database's identity string and the LSN of the
// last checkpoint, as compact JSON in this key order:
//   {"format_version":1,"db_uuid":"<text>","last_checkpoint_lsn":<u64>}
// Read back from an object with the three keys in any order (other keys skipped, a repeated key
// refused) or from an array of the three values in this order.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "core/error.h"

namespace kavrel {

struct WalManifest {
  static constexpr std::uint32_t kFormatVersion = 1;
  static constexpr const char* kFileName = "wal.manifest";

  std::uint32_t format_version = kFormatVersion;
  std::string db_uuid;
  std::uint64_t last_checkpoint_lsn = 0;

  // Whether dir/wal.manifest can be examined (its metadata can be read).
  static bool exists(const std::filesystem::path& dir);
  // Reads and checks dir/wal.manifest. Errors: Io (read), Corruption "malformed wal.manifest:
  // <parser message>", Corruption "unsupported wal.manifest version N (expected 1)".
  static Result<WalManifest> load(const std::filesystem::path& dir);
  // Atomically replaces dir/wal.manifest with one naming `lsn`, keeping the old format version
  // and identity when the old file loads, else version 1 and a fresh 32-hex-digit identity.
  // Errors: Io (directory, temporary file, rename, fsync; when the fsync after the rename fails
  // the new file is already in place), Internal "serialize wal.manifest: ...".
  static Result<> publish(const std::filesystem::path& dir, std::uint64_t lsn);

  // The compact JSON text (no trailing newline).
  std::string to_json() const;

  friend bool operator==(const WalManifest&, const WalManifest&) = default;
};

}  // namespace kavrel
