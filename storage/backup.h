// Online backup of a running database, and the check of a backup's files.
//
// A backup is a database directory that `kavrel-server --db DIR` opens as it is, holding the
// committed state at one commit point (DurableStorage::write_backup):
//   keyring.json    an encrypted database's keyring, copied as it is (same data key)
//   wal.snapshot    every live key and every registered table at the point, sealed as the log
//   wal-<g>.log     the log that follows the snapshot: its LogStart record alone, holding the
//                   point's LSN, so that LSNs go on from there once the backup is opened
//   wal.manifest    when the database has one, naming the last checkpoint at or before the point
//
// Publication. The files are written into a new directory next to DIR, "<DIR>.partial-" + 6
// letters or digits (mode 0700), each made durable with its name, then that directory is renamed
// to DIR and DIR's parent synced. So DIR either does not exist (or is the empty directory it
// was) or holds the whole backup: a stop, crash or power cut at any moment leaves at most a
// ".partial-" directory, which is never complete unless everything was written, and which an
// operator removes. Nothing of the database's own directory is written.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/error.h"
#include "storage/database.h"
#include "storage/internal/crypto/encryption.h"

namespace kavrel {

struct BackupOptions {
  // Called once the temporary directory exists, before anything is written into it (tests
  // watch it with the power-cut model).
  std::function<void(const std::filesystem::path& temp_dir)> on_temp_dir;
};

struct BackupSummary {
  std::filesystem::path path;  // DIR, lexically normal
  std::uint64_t lsn = 0;       // the commit point: the LSN after the last commit it holds
  std::uint64_t keys = 0;
  std::uint64_t tables = 0;
  std::uint64_t bytes = 0;  // of all its files
  bool encrypted = false;
};

// Writes a backup of db into dir while readers and writers go on. dir must be absolute, outside
// the database's directory, and either absent (its missing parents are created, mode 0700) or an
// empty directory. Refusals (InvalidArgument, nothing written): "Backup directory must be an
// absolute path on the server's machine: DIR", "Backup directory DIR is inside the database
// directory DB", "Backup path DIR exists and is not a directory", "Backup directory DIR is not
// empty". Any other failure (Io, ...) removes the temporary directory and leaves dir as it was,
// except a failed sync of dir's parent after the rename: the whole backup is then in place, its
// name perhaps not yet durable.
Result<BackupSummary> backup(Database& db, const std::filesystem::path& dir,
                             const BackupOptions& options = {});

// One file of a checked backup.
struct CheckedFile {
  std::string name;
  std::uint64_t records = 0;
  std::uint64_t bytes = 0;
};

struct BackupCheck {
  std::uint64_t lsn = 0;  // of the log that follows the snapshot (its LogStart record)
  std::uint64_t keys = 0;
  std::uint64_t tables = 0;
  bool encrypted = false;
  std::vector<CheckedFile> files;  // the snapshot, then the logs, ascending
};

// Reads the backup (or any stopped database directory that has a snapshot) in dir without
// opening it and checks everything a reader can: the keyring's authentication under kek, every
// record's CRC-32 and every sealed frame of the snapshot and of the logs that follow it, the
// snapshot's own rules (header, keys in ascending order, record count, nothing after its end),
// that the log it names is there and ends cleanly, and that the manifest reads. Errors name the
// first damaged place, e.g. Corruption "wal.snapshot is damaged at byte 4130 (record 57): WAL
// checksum mismatch ...", "wal-2.log is cut short at byte 40 (after 1 record)", "the log
// wal-2.log that follows wal.snapshot is missing", "DIR holds no wal.snapshot: it is not a
// backup"; Encryption "DIR is encrypted (keyring.json): its key is needed to check it" without
// kek, and the keyring's own refusals of a wrong one; Io when a file cannot be read. A kek given
// for a backup that is not encrypted is not used.
Result<BackupCheck> verify_backup(const std::filesystem::path& dir,
                                  const std::optional<EncryptionKey>& kek);

}  // namespace kavrel
