// The snapshot file "wal.snapshot": the committed state of a database at a compaction (every live
// key with its value, no tombstones, no history, every registered table schema and every user),
// and the generation of the first log that follows it. At open the snapshot is loaded, then the
// logs of that generation and later are replayed; logs of earlier generations are covered by it.
//
// Layout: records exactly as in a log (TxnWalEntry, each with its CRC-32; in an encrypted
// database each sealed as a frame whose additional data uses the snapshot domain 0x02 and the
// record's ordinal), in this order:
//   SnapshotStart  key "kavrel-snapshot", value = u64 generation of the next log
//   Schema         key = table name, value = the schema as REGISTER_TABLE encodes it (any number)
//   User           key = user name, value = the user's record (storage/users.h; any number, one
//                  per name, ascending; snapshots written before users existed have none)
//   Write          txn_id 0, key, value (one per live key, ascending)
//   SnapshotEnd    value = u64 number of Write records
// Nothing may follow SnapshotEnd. The file is published by atomic rename, so it is whole or
// absent; a damaged one refuses the open (the logs it covers are gone).
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/bytes.h"
#include "core/error.h"
#include "storage/internal/crypto/encryption.h"
#include "storage/internal/wal/txn_wal_entry.h"
#include "storage/internal/wal/wal_reader.h"

namespace kavrel {

inline constexpr const char* kSnapshotFileName = "wal.snapshot";

// How a snapshot's frames are sealed: the log's engine and identity.
struct SnapshotSealing {
  std::shared_ptr<const EncryptionEngine> engine;  // null: plain
  std::array<std::uint8_t, 16> db_uuid{};
  std::uint32_t key_epoch = 0;
};

// The live entries in ascending key order, a piece at a time: each call appends the next entries
// to `chunk` (handed over empty); a call that leaves it empty ends them.
using SnapshotChunks = std::function<Result<>(std::vector<std::pair<Bytes, Bytes>>& chunk)>;

struct SnapshotContents {
  std::uint64_t next_generation = 0;
  std::vector<std::pair<std::string, Bytes>> schemas;  // (table name, encoded schema)
  std::vector<std::pair<std::string, Bytes>> users;    // (user name, encoded user record)
  SnapshotChunks entries;
};

// What a write put in the file.
struct SnapshotWritten {
  std::uint64_t keys = 0;
  std::uint64_t bytes = 0;
};

// Writes the snapshot and publishes it (temporary file, fsync, rename, fsync of the file and the
// directory). The file is written as the entries come, so memory holds a chunk and a buffer,
// never the whole state. On failure the previous snapshot, if any, is untouched.
Result<SnapshotWritten> write_snapshot(const std::filesystem::path& dir,
                                       const SnapshotSealing& sealing,
                                       const SnapshotContents& contents);

// What a load found.
struct SnapshotInfo {
  std::uint64_t next_generation = 0;
  std::uint64_t keys = 0;
  std::uint64_t bytes = 0;
};

// A snapshot opened and its first record read: the generation of the log that follows it is
// known, its other records are load_snapshot()'s to read.
class SnapshotFile {
 public:
  std::uint64_t next_generation() const { return next_generation_; }

 private:
  friend Result<std::optional<SnapshotFile>> open_snapshot(const std::filesystem::path& dir,
                                                           const SnapshotSealing& sealing);
  friend Result<SnapshotInfo> load_snapshot(
      SnapshotFile file, const std::function<Result<>(const TxnWalEntryView&)>& each);
  SnapshotFile(WalReader reader, std::uint64_t next_generation)
      : reader_(std::move(reader)), next_generation_(next_generation) {}

  WalReader reader_;
  std::uint64_t next_generation_;
};

// Opens the snapshot of dir and reads its first record, or nullopt when there is none. Io error
// when it cannot be opened; Corruption "snapshot wal.snapshot is damaged: ..." when its first
// record is unreadable or no snapshot header.
Result<std::optional<SnapshotFile>> open_snapshot(const std::filesystem::path& dir,
                                                  const SnapshotSealing& sealing);

// Reads the rest of the snapshot, handing every Schema, User and Write record to `each` in file
// order (the view's bytes last until `each` returns). Corruption "snapshot wal.snapshot is damaged:
// ..." for anything but a whole, well-formed file, Write keys in strictly ascending order
// included; an error of `each` ends the load and is returned.
Result<SnapshotInfo> load_snapshot(SnapshotFile file,
                                   const std::function<Result<>(const TxnWalEntryView&)>& each);
// open_snapshot() and load_snapshot() in one: nullopt when there is none.
Result<std::optional<SnapshotInfo>> load_snapshot(
    const std::filesystem::path& dir, const SnapshotSealing& sealing,
    const std::function<Result<>(const TxnWalEntryView&)>& each);

}  // namespace kavrel
