// Reading a log (or a snapshot) back, one record at a time. The reader tells what it finds and
// decides nothing: what a torn tail or a damaged record means for a log is recovery's to judge
// (storage/internal/wal/recovery.h), the snapshot's load has rules of its own.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>

#include "core/bytes.h"
#include "core/error.h"
#include "core/unique_fd.h"
#include "storage/internal/crypto/encryption.h"
#include "storage/internal/wal/txn_wal_entry.h"
#include "storage/internal/wal/wal_frame.h"

namespace kavrel {

// What one step of a reader found: the next record, or how the file's records end.
struct WalRead {
  enum class Kind : std::uint8_t {
    // `record` holds the next record.
    Record,
    // The records end where the data does: at the end of the file, or at zeros that fill the
    // rest of it (the room a log writes ahead of its records; no record is all zeros).
    CleanEnd,
    // Bytes follow the last record but stop inside the next one: its length or its body is cut
    // short by the end of the file.
    TornTail,
    // The next record is complete in the file but does not check: `damage` says why (Corruption
    // for a bad length, checksum or contents; Encryption for a frame that does not open).
    Damaged,
  };

  Kind kind = Kind::Record;
  // Record: the record read; its key and value stay valid until the next read.
  TxnWalEntryView record;
  // Record: where the record starts; otherwise where the records end (the reader's good_offset).
  std::uint64_t offset = 0;
  // Damaged: why the record there does not check.
  std::optional<KavrelError> damage;
};

// Reads records through a 64 KiB buffer over its own read-only descriptor; every read goes
// through the I/O seam (storage/internal/io/file_io.h). Used by recovery, the snapshot load and
// the tools that inspect a log. Not synchronized: one thread at a time.
class WalReader {
 public:
  static constexpr std::size_t kBufferSize = 65'536;

  // Opens path read-only. A null engine means a plain file; `domain` the frames' domain when
  // sealed. Io error on failure.
  static Result<WalReader> open(const std::filesystem::path& path,
                                std::shared_ptr<const EncryptionEngine> engine,
                                std::array<std::uint8_t, 16> db_uuid, std::uint32_t key_epoch,
                                std::uint8_t domain = kLogFrameDomain);

  // The next record, or how the records end (see WalRead). The error is a device that fails to
  // read (Io with its errno): it could hide any amount of good data, so it is no end. After
  // anything but a record the reader is not to be used further.
  Result<WalRead> next();

  // next() for callers that take every end as an error: the record, or
  // KavrelError::unexpected_eof() at a clean end or a torn tail, or the damage: Corruption "WAL
  // entry too short", "WAL entry length N exceeds maximum 536870912", "WAL entry length N does
  // not match its contents", "encrypted WAL frame length N exceeds maximum 536870912" or a
  // record's own check; Encryption when a frame does not open; Io with its errno when the device
  // fails.
  Result<TxnWalEntryView> read_view();
  // read_view() with the record copied out of the reader.
  Result<TxnWalEntry> read_record();

  // Whether a complete frame after the damaged one at good_offset() opens: sealed records
  // follow the damage. False for a plain file, and when the file cannot be read.
  bool later_frame_opens() const;

  // File offset just past the last record read successfully.
  std::uint64_t good_offset() const { return good_offset_; }
  // Bytes consumed from the file so far.
  std::uint64_t bytes_read() const { return consumed_; }
  // Size of the file when the reader was opened.
  std::uint64_t file_size() const { return file_size_; }
  // Records read successfully (also the frame counter of the next frame).
  std::uint64_t records() const { return records_; }
  // Whether the records ended at zeros that fill the rest of the file.
  bool zero_tail() const { return zero_tail_; }
  bool encrypted() const { return engine_->enabled(); }

 private:
  WalReader(UniqueFd fd, std::uint64_t file_size, std::shared_ptr<const EncryptionEngine> engine,
            std::array<std::uint8_t, 16> db_uuid, std::uint32_t key_epoch, std::uint8_t domain);
  Result<> read_exact(char* dst, std::size_t n);
  // The next record, or the error that stops it (unexpected_eof for data cut short).
  Result<TxnWalEntryView> read_next();
  // Whether every byte from `offset` to the end of the file is zero.
  bool zeros_from(std::uint64_t offset) const;
  // The next n bytes, valid until the next read: in place in the buffer when it holds them, else
  // gathered in scratch_, whose storage grows with the bytes actually read (a forged length costs
  // no memory).
  Result<BytesView> read_body(std::size_t n);

  UniqueFd fd_;
  std::uint64_t file_size_;
  std::shared_ptr<const EncryptionEngine> engine_;
  std::array<std::uint8_t, 16> db_uuid_;
  std::uint32_t key_epoch_;
  std::uint8_t domain_;
  std::unique_ptr<char[]> buf_;
  std::size_t pos_ = 0;
  std::size_t len_ = 0;
  std::uint64_t consumed_ = 0;
  std::uint64_t good_offset_ = 0;
  std::uint64_t records_ = 0;
  bool zero_tail_ = false;
  Bytes scratch_;  // a body that crosses the buffer's end
  Bytes plain_;    // the last frame opened (encrypted files)
};

}  // namespace kavrel
