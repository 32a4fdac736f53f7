// The writer of the write-ahead log "wal.log" (and "wal-<generation>.log" after compactions):
// appends, per-transaction buffers, syncs, LSNs and the zeros written ahead of the records.
// The file's framing is in wal_frame.h; reading it back is WalReader's (wal_reader.h); the scan at
// open that finds the log's end, repairs its tail and sets the counters below is recovery's
// (recovery.h).
//
// LSN: the 0-based ordinal of a record in the log.
//
// Locking. `mu_` guards the buffered writer and the file offsets: every append, buffer write and
// flush holds it, so records never interleave and a transaction's records form one run. The
// fsync of `sync()` runs outside `mu_` (appends go on meanwhile and are covered by the next
// sync); syncs are serialized among themselves by `sync_mu_`, taken before `mu_`.
//
// Failure. Once an fsync of the log has failed, or a write or flush failed for any reason but a
// full disk, the log is closed for good: the buffered bytes are discarded, the file is cut back
// (best effort) to the last offset known durable, and every later append, write_buffer and sync
// fails with the Io error "log is unusable after an earlier failure: <original error>". A failed
// fsync leaves the file's content unknown, so retrying could acknowledge data that is not on disk.
//
// A full disk. A write that fails with ENOSPC (or EDQUOT) cuts the log back to its durable offset
// (the buffered bytes are dropped, the file truncated and synced, the counters reset to that
// point) and the log stays usable: the next write tries again. What was cut may hold other
// transactions' records whose Commit is not yet written, and Commit records not yet synced. So
// every run of records is known by a WalPosition (the log's generation, counted up at each cut,
// and the offset past the run): survived() tells whether a cut removed it, append_batch() leaves
// out a Commit whose transaction's records were cut, and durable() is what a committer checks.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/bytes.h"
#include "core/error.h"
#include "core/unique_fd.h"
#include "storage/internal/crypto/encryption.h"
#include "storage/internal/wal/txn_wal_entry.h"
#include "storage/internal/wal/wal_frame.h"
#include "storage/internal/wal/wal_reader.h"

namespace kavrel {

// One transaction's records, collected in memory until the transaction commits: the storage puts
// its Begin record first (so a transaction that writes nothing logs nothing), then its Write and
// Delete records. Not synchronized: the owner (the buffer map's shard lock) serializes access.
struct TxnWalBuffer {
  static constexpr std::size_t kInitialCapacity = 4'096;

  Bytes buf;  // complete plaintext records, back to back
  std::uint64_t txn_id;
  std::uint64_t count = 0;  // records in buf

  explicit TxnWalBuffer(std::uint64_t txn_id);
  // Appends a Begin record.
  void append_begin();
  // Appends a Write record stamped with ts_cache_now_us().
  void append(BytesView key, BytesView value);
  // Appends a Delete record (the key and an empty value).
  void append_delete(BytesView key);
  // Appends a SchemaDrop record (the table name).
  void append_schema_drop(BytesView table);
};

// Where a run of records ends in the log (see "A full disk" above).
struct WalPosition {
  std::uint64_t generation = 0;  // cuts of the log before the run was written
  std::uint64_t end = 0;         // file offset just past the run
};

class TxnWal {
 public:
  static constexpr std::size_t kWriteBufferSize = 262'144;
  // Zeros are written this far ahead of the records (see preallocate_locked).
  static constexpr std::uint64_t kPreallocateStep = 1 << 20;
  static constexpr const char* kFileName = "wal.log";

  // The file of the log of a generation: "wal.log" for 0 (the only log before the first
  // compaction), "wal-<generation>.log" after.
  static std::string file_name(std::uint64_t generation);
  // The generation a file name stands for, or nullopt for any other name.
  static std::optional<std::uint64_t> generation_of(std::string_view file_name);

  // Opens or creates the log of `generation` in dir (which must exist) for appending (mode
  // 0600; a new file's name is made durable). A null engine means EncryptionEngine::disabled().
  // Counters start at next_lsn 0, frame_counter 0 until recovery resumes the log
  // at its end (recover_logs() in recovery.h). Io error on failure.
  static Result<std::shared_ptr<TxnWal>> open(const std::filesystem::path& dir,
                                              std::shared_ptr<const EncryptionEngine> engine,
                                              std::array<std::uint8_t, 16> db_uuid,
                                              std::uint32_t key_epoch,
                                              std::uint64_t generation = 0);
  // Creates the log of `generation` (which must not exist) holding one LogStart record with
  // first_lsn, durable with its name; ready for appends, no recovery needed.
  static Result<std::shared_ptr<TxnWal>> create(const std::filesystem::path& dir,
                                                std::shared_ptr<const EncryptionEngine> engine,
                                                std::array<std::uint8_t, 16> db_uuid,
                                                std::uint32_t key_epoch, std::uint64_t generation,
                                                std::uint64_t first_lsn);
  // Flushes what is still buffered (errors ignored) unless the log has failed, and cuts the
  // zeros written ahead of the records off the file: a log let go in order ends at its last
  // record.
  ~TxnWal();
  TxnWal(const TxnWal&) = delete;
  TxnWal& operator=(const TxnWal&) = delete;

  // Appends one record (sealed as a frame when encrypted) to the write buffer and returns its
  // LSN; does not flush or sync. Errors: Encryption (sealing; nothing written, the log stays
  // usable), Io (write failed: the log is now unusable; no counter changes).
  Result<std::uint64_t> append(const TxnWalEntry& entry);
  // Appends one record and syncs; returns its LSN once it is durable. A record that a full
  // disk's cut removed before the sync reached it is reported as failed.
  Result<std::uint64_t> append_durably(const TxnWalEntry& entry);

  // Writes a transaction's buffer as one contiguous run: plain, in one piece; encrypted, one
  // frame per record. Adds the buffer's count to next_lsn and returns where the run ends.
  // Errors: Corruption "txn buffer truncated mid-record during encrypted flush" and Encryption
  // (both before anything is written), Io (a full disk: the log was cut back; else the log is
  // now unusable).
  Result<WalPosition> write_buffer(const TxnWalBuffer& buffer);
  // Appends the records as one piece (so they become durable all together or not at all) and
  // returns where the piece ends: once durable() says so they are on disk, whatever a later
  // failure reports. With `after` (one position per record), a record whose position no longer
  // survived() is left out and its index listed in `lost`; this is decided under the lock that
  // orders cuts and appends, so no record is ever written after a cut of what it depends on.
  struct Appended {
    WalPosition end;
    std::vector<std::size_t> lost;
  };
  Result<Appended> append_batch(const std::vector<TxnWalEntry>& entries,
                                const std::vector<WalPosition>& after = {});
  // The error of a commit whose records a cut removed.
  static KavrelError cut_back_error();
  // Whether no cut of the log removed the run ending at p.
  bool survived(WalPosition p);
  // Whether the run ending at p is on disk: it survived and a sync covered it.
  bool durable(WalPosition p);

  // Flushes the write buffer and fsyncs the file; on success every record appended before the
  // call is durable. The fsync itself runs without holding the writer mutex. Fails (Io) when
  // the log failed before or while this sync ran.
  Result<> sync();

  // The frame for one record body: u32 length followed by the sealed body, sealed with the
  // additional data of `sequence`. Encryption error on failure.
  Result<Bytes> encrypt_frame(BytesView body, std::uint64_t sequence) const;

  // Where recovery found the log's records to end, and the counters from its records.
  struct Resume {
    std::uint64_t end = 0;        // file offset just past the last record
    std::uint64_t file_size = 0;  // the file's size: `end`, or more when zeros follow the records
    std::uint64_t next_lsn = 0;
    std::uint64_t frames = 0;  // records in the file
  };
  // Takes the log up at `at` once recovery has read it (and cut back or synced what it kept):
  // records go on at at.end, over any zeros after it, and everything up to at.end counts as
  // durable. Must run before the first append. Io error when the log has failed or the
  // descriptor cannot be positioned.
  Result<> resume(const Resume& at);
  // The scan at open without a replay, for a log opened by itself (tools, benchmarks):
  // recover_logs() of this log alone; the first transaction id the caller may use (the storage
  // keeps the one counter of transaction ids). Defined in recovery.cc.
  Result<std::uint64_t> recover_state();

  std::uint64_t next_lsn() const { return next_lsn_.load(std::memory_order_acquire); }
  std::uint64_t frame_counter() const { return frame_counter_.load(std::memory_order_acquire); }
  // File offset up to which the log is known durable (synced, or present at open).
  std::uint64_t durable_offset() const { return durable_offset_.load(std::memory_order_acquire); }
  // The bytes of the log's records written to the file (what is still buffered is not yet
  // there; the zeros written ahead of them are not counted).
  std::uint64_t file_size() {
    std::scoped_lock lock(mu_);
    return file_end_;
  }
  // Whether a write, flush or fsync has failed; the log then refuses every write and sync.
  bool failed() const { return failed_.load(std::memory_order_acquire); }
  const std::filesystem::path& path() const { return path_; }
  const std::filesystem::path& dir() const { return dir_; }
  std::uint64_t generation() const { return generation_; }
  bool encrypted() const { return engine_->enabled(); }
  // The sealing of the log's frames, for readers of the logs of this directory.
  const std::shared_ptr<const EncryptionEngine>& engine() const { return engine_; }
  const std::array<std::uint8_t, 16>& db_uuid() const { return db_uuid_; }
  std::uint32_t key_epoch() const { return key_epoch_; }

 private:
  TxnWal(std::filesystem::path dir, std::uint64_t generation, UniqueFd fd, std::uint64_t file_size,
         std::shared_ptr<const EncryptionEngine> engine, std::array<std::uint8_t, 16> db_uuid,
         std::uint32_t key_epoch);

  // All of these require mu_. Every write failure cuts the log back (a full disk) or closes it
  // (fail_locked) before returning.
  Result<std::uint64_t> append_locked(const TxnWalEntry& entry);
  Result<> write_locked(BytesView data);
  Result<> flush_locked();
  Result<> write_file_locked(BytesView data);
  // Writes zeros from the file's end to past `end` (a whole step), so that appends overwrite
  // bytes the file already has and a data sync finds no size to make durable. Best effort: a
  // failure leaves the records to extend the file themselves.
  void preallocate_locked(std::uint64_t end);
  // Shortens the file to `end` (dropping the zeros after it too) and writes on from there.
  // 0 or the errno of the failure.
  int truncate_locked(std::uint64_t end);
  void fail_locked(const KavrelError& cause);
  // Cuts the log back to its durable offset after a write found the disk full; closes the log
  // if the cut itself fails. Returns the error to report.
  KavrelError cut_back_locked(const KavrelError& cause);
  bool survived_locked(WalPosition p) const;
  WalPosition position_locked() const { return {cuts_.size(), file_end_ + buf_.size()}; }
  KavrelError unusable_error() const;

  const std::filesystem::path dir_;
  const std::uint64_t generation_;
  const std::filesystem::path path_;
  const UniqueFd fd_;
  const std::shared_ptr<const EncryptionEngine> engine_;
  const std::array<std::uint8_t, 16> db_uuid_;
  const std::uint32_t key_epoch_;

  std::mutex sync_mu_;  // serializes syncs; taken before mu_
  std::mutex mu_;
  Bytes buf_;                        // guarded by mu_; the write buffer
  std::uint64_t file_end_ = 0;       // guarded by mu_; bytes handed to the file so far
  std::uint64_t allocated_end_ = 0;  // guarded by mu_; the file's size: file_end_ and zeros after
  std::string fail_text_;            // guarded by mu_; set once, before failed_ becomes true
  int fail_errno_ = 0;               // guarded by mu_; as fail_text_
  std::atomic<bool> failed_{false};
  std::atomic<std::uint64_t> durable_offset_{0};  // written under sync_mu_ and mu_
  // The counters as of durable_offset_, restored by a cut. Guarded by mu_.
  std::uint64_t durable_lsn_ = 0;
  std::uint64_t durable_frames_ = 0;
  std::vector<std::uint64_t> cuts_;  // guarded by mu_; the offset of each cut, oldest first

  std::atomic<std::uint64_t> next_lsn_{0};       // written under mu_
  std::atomic<std::uint64_t> frame_counter_{0};  // written under mu_
};

}  // namespace kavrel
