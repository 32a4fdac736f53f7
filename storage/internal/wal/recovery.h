// Recovery at open: the logs a snapshot does not cover are read, oldest first, by one loop that
// hands every record to a replay; where each log's records end is judged by the policy of its
// generation, and the current log's tail is repaired here before its writer takes it up.
//
// Where a log's records end (WalRead, wal_reader.h) and what each policy does about it:
//
//   end                                   OlderGeneration          CurrentLog
//   clean end (also zeros to the end)     kept                     kept, synced
//   torn tail (a record cut short)        kept, file untouched     cut back
//   damaged plain record                  refused                  cut back
//   sealed frame that does not open,      refused                  cut back
//     no later frame opening
//   other damage of a sealed log          refused                  refused
//   a device that fails to read           refused                  refused
//
// "Cut back": the bytes from the end of the last good record to the end of the file are copied
// to "<log>.damaged-<records read>" (".1", ".2", ... when that exists), the log is truncated
// there and synced, and a warning names both; records appended afterwards are then read by later
// opens. "Refused": the open fails with the error found, and the file is left as it is. A
// refusal of an older generation is the rule "any damage refuses": it was complete when the log
// moved on, so damage there is not a tail a crash left.
#pragma once

#include <algorithm>
#include <concepts>
#include <cstdint>
#include <span>
#include <utility>

#include "core/error.h"
#include "storage/internal/wal/txn_wal.h"
#include "storage/internal/wal/txn_wal_entry.h"
#include "storage/internal/wal/wal_reader.h"

namespace kavrel {

// The policy a log generation is read under (see the table above).
enum class LogPolicy : std::uint8_t {
  // A log before the current one, left by a compaction that stopped before its snapshot
  // replaced it: only read.
  OlderGeneration,
  // The log the writer appends to: its tail is repaired, its counters set.
  CurrentLog,
};

// What is done where a log's records end.
enum class TailVerdict : std::uint8_t {
  Keep,     // the records end there
  CutBack,  // the rest of the file is moved aside
  Refuse,   // the open fails
};

// The verdict of `policy` on `end` (not a record), found by `reader`, which may be asked whether a
// sealed frame after the damage opens.
TailVerdict judge_end(LogPolicy policy, const WalRead& end, const WalReader& reader);

// What recover_logs hands the records to: record() for each record of a log in order (an error
// stops recovery and is returned), end_of_log() once a log has been read to its end and judged.
template <class S>
concept RecoverySink = requires(S& sink, TxnWalEntry& entry, const WalReader& reader) {
  { sink.record(entry, reader) } -> std::same_as<Result<>>;
  sink.end_of_log();
};

struct RecoveredLogs {
  std::uint64_t records = 0;  // read from all the logs
  // The first transaction id of this process: past the ids of this process id in the current
  // log (pid << 32 | (largest lower half) + 1).
  std::uint64_t next_txn_id = 1;
};

namespace recovery_internal {

// The counters the current log's records set: the next LSN (after a LogStart first record,
// counted on from its first_lsn) and the next transaction id of this process.
class LogCounters {
 public:
  LogCounters();
  // The record read as the `ordinal`-th (1-based) of its log.
  void note(const TxnWalEntry& entry, std::uint64_t ordinal) {
    if ((entry.txn_id >> 32) == pid_) largest_ = std::max(largest_, entry.txn_id & 0xffffffffu);
    if (ordinal == 1) note_first(entry);
  }
  std::uint64_t first_lsn() const { return first_lsn_; }
  // pid << 32 | (largest lower half of the ids of this pid) + 1.
  std::uint64_t next_txn_id() const { return (pid_ << 32) + largest_ + 1; }

 private:
  void note_first(const TxnWalEntry& entry);

  std::uint64_t pid_;
  std::uint64_t largest_ = 0;
  std::uint64_t first_lsn_ = 0;
};

Result<WalReader> open_log(const TxnWal& wal, std::uint64_t generation);
// Judges where the log of `generation` ended and acts on it; for the current log also repairs
// or syncs the file and resumes the writer at the end.
Result<> finish_log(TxnWal& wal, LogPolicy policy, WalRead& end, const WalReader& reader,
                    const LogCounters& counters);

}  // namespace recovery_internal

// Reads the logs of `generations` (ascending, the last one `wal`'s own) to their ends, handing
// every record to `sink`, and judges each end by its policy: CurrentLog for wal's generation,
// OlderGeneration for the others. Then `wal` goes on after the current log's last record, with
// next_lsn and frame_counter set from its records. Must run before wal's first
// append. Errors: the first refusal (the damage or the read error found), an error of `sink`, or
// an Io error of the repair; the logs read so far were handed to `sink`.
template <RecoverySink Sink>
Result<RecoveredLogs> recover_logs(TxnWal& wal, std::span<const std::uint64_t> generations,
                                   Sink& sink) {
  using namespace recovery_internal;
  RecoveredLogs out;
  for (const std::uint64_t generation : generations) {
    const LogPolicy policy =
        generation == wal.generation() ? LogPolicy::CurrentLog : LogPolicy::OlderGeneration;
    auto reader = open_log(wal, generation);
    if (!reader) return fail(std::move(reader.error()));
    LogCounters counters;
    for (;;) {
      auto read = reader->next();
      if (!read) return fail(std::move(read.error()));
      if (read->kind != WalRead::Kind::Record) {
        if (auto r = finish_log(wal, policy, *read, *reader, counters); !r) {
          return fail(std::move(r.error()));
        }
        if (policy == LogPolicy::CurrentLog) out.next_txn_id = counters.next_txn_id();
        break;
      }
      TxnWalEntry entry = TxnWalEntry::from_view(read->record);
      counters.note(entry, reader->records());
      if (auto r = sink.record(entry, *reader); !r) return fail(std::move(r.error()));
    }
    sink.end_of_log();
    out.records += reader->records();
  }
  return out;
}

}  // namespace kavrel
