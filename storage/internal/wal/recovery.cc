#include "storage/internal/wal/recovery.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <memory>
#include <string>

#include <fmt/format.h>

#include "core/log.h"
#include "core/unique_fd.h"
#include "storage/internal/io/file_io.h"
#include "storage/internal/io/fs_util.h"

namespace kavrel {
namespace {

constexpr const char* kTarget = "kavrel_storage";

// Creates the side file for a tail cut from the log at `records`: "<log>.damaged-<records>", or
// with ".1", ".2", ... when an earlier tail holds that name.
Result<UniqueFd> create_side_file(const std::filesystem::path& log, std::uint64_t records,
                                  std::filesystem::path& side) {
  for (int attempt = 0;; ++attempt) {
    std::string name = fmt::format("{}.damaged-{}", log.filename().string(), records);
    if (attempt > 0) name += fmt::format(".{}", attempt);
    side = log.parent_path() / name;
    UniqueFd out(io::open_create(side.c_str(), O_WRONLY | O_EXCL | O_CLOEXEC, 0600));
    if (out.valid()) return out;
    if (errno != EEXIST || attempt >= 1000) return fail(KavrelError::io(errno));
  }
}

// Copies the bytes of fd from `from` to `to` into out.
Result<> copy_range(int fd, std::uint64_t from, std::uint64_t to, int out) {
  constexpr std::size_t kChunk = 65'536;
  auto chunk = std::make_unique<char[]>(kChunk);
  for (std::uint64_t off = from; off < to;) {
    const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, to - off));
    const ssize_t got = io::pread(fd, chunk.get(), want, static_cast<off_t>(off));
    if (got < 0) {
      if (errno == EINTR) continue;
      return fail(KavrelError::io(errno));
    }
    if (got == 0) break;  // the file shrank under us; copy what there was
    if (const int err = io::write_all(out, chunk.get(), static_cast<std::size_t>(got)); err != 0) {
      return fail(KavrelError::io(err));
    }
    off += static_cast<std::uint64_t>(got);
  }
  return {};
}

// Moves the log's bytes past `good` to a side file, durably, then truncates the log there and
// syncs it. Without this, records appended after a torn tail would sit behind bytes no reader
// gets past.
Result<> cut_back_tail(const std::filesystem::path& log, int fd, std::uint64_t good,
                       std::uint64_t size, std::uint64_t records) {
  std::filesystem::path side;
  auto out = create_side_file(log, records, side);
  if (!out) return fail(std::move(out.error()));
  if (auto r = copy_range(fd, good, size, out->get()); !r) return r;
  if (io::fsync(out->get()) != 0) return fail(KavrelError::io(errno));
  if (auto r = out->close(); !r) return r;
  if (auto r = fsync_dir(log.parent_path()); !r) return r;
  if (io::ftruncate(fd, static_cast<off_t>(good)) != 0) return fail(KavrelError::io(errno));
  if (io::fsync(fd) != 0) return fail(KavrelError::io(errno));
  log::warn(kTarget,
            "{}: {} unreadable bytes at offset {} (after {} records) moved to {}; the log "
            "was truncated there",
            log.filename().string(), size - good, good, records, side.filename().string());
  return {};
}

// The current log once its records have been read: repaired or synced, then taken up by its
// writer where the records end.
Result<> finish_current(TxnWal& wal, TailVerdict verdict, const WalReader& reader,
                        const recovery_internal::LogCounters& counters) {
  UniqueFd log(io::open_existing(wal.path().c_str(), O_RDWR | O_CLOEXEC));
  if (!log.valid()) return fail(KavrelError::io(errno));
  struct stat st {};
  if (::fstat(log.get(), &st) != 0) return fail(KavrelError::io(errno));
  const auto size = static_cast<std::uint64_t>(st.st_size);
  const std::uint64_t good = reader.good_offset();
  const std::uint64_t records = reader.records();
  if (verdict == TailVerdict::CutBack) {
    if (auto r = cut_back_tail(wal.path(), log.get(), good, size, records); !r) return r;
  } else if (io::fsync(log.get()) != 0) {
    // The records about to be replayed may come from a run that never synced them.
    return fail(KavrelError::io(errno));
  }
  return wal.resume({.end = good,
                     .file_size = reader.zero_tail() ? size : good,
                     .next_lsn = counters.first_lsn() + records,
                     .frames = records});
}

}  // namespace

TailVerdict judge_end(LogPolicy policy, const WalRead& end, const WalReader& reader) {
  const bool current = policy == LogPolicy::CurrentLog;
  switch (end.kind) {
    case WalRead::Kind::Record:
    case WalRead::Kind::CleanEnd: break;
    case WalRead::Kind::TornTail: return current ? TailVerdict::CutBack : TailVerdict::Keep;
    case WalRead::Kind::Damaged:
      if (!current) return TailVerdict::Refuse;
      if (!reader.encrypted()) return TailVerdict::CutBack;
      // A sealed frame that fails to open ends the log only when no frame after it opens: then
      // it lies in a tail that never became durable (a power cut leaves torn pages and zeros
      // there). A later frame that opens means damage inside the log's history; a frame that
      // opens but does not decode, or a length no writer produces, is damage as well.
      if (end.damage->kind() != KavrelError::Kind::Encryption || reader.later_frame_opens()) {
        return TailVerdict::Refuse;
      }
      return TailVerdict::CutBack;
  }
  return TailVerdict::Keep;
}

namespace recovery_internal {

LogCounters::LogCounters()
    : pid_(static_cast<std::uint64_t>(static_cast<std::uint32_t>(::getpid()))) {}

void LogCounters::note_first(const TxnWalEntry& entry) {
  // A log after a snapshot numbers on from its LogStart record.
  if (entry.record_type == static_cast<std::uint8_t>(WalRecordType::LogStart) &&
      entry.value.size() == 8) {
    first_lsn_ = get_u64(entry.value.data());
  }
}

Result<WalReader> open_log(const TxnWal& wal, std::uint64_t generation) {
  return WalReader::open(wal.dir() / TxnWal::file_name(generation), wal.engine(), wal.db_uuid(),
                         wal.key_epoch());
}

Result<> finish_log(TxnWal& wal, LogPolicy policy, WalRead& end, const WalReader& reader,
                    const LogCounters& counters) {
  const TailVerdict verdict = judge_end(policy, end, reader);
  if (verdict == TailVerdict::Refuse) return fail(std::move(*end.damage));
  if (policy == LogPolicy::OlderGeneration) return {};
  return finish_current(wal, verdict, reader, counters);
}

}  // namespace recovery_internal

Result<std::uint64_t> TxnWal::recover_state() {
  struct Nothing {
    Result<> record(TxnWalEntry& /*entry*/, const WalReader& /*reader*/) { return {}; }
    void end_of_log() {}
  } nothing;
  const std::uint64_t generations[] = {generation_};
  auto recovered = recover_logs(*this, generations, nothing);
  if (!recovered) return fail(std::move(recovered.error()));
  return recovered->next_txn_id;
}

}  // namespace kavrel
