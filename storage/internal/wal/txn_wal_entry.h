// One record of the write-ahead log, its byte layout, checksum and decoder, and the per-thread
// timestamp cache that stamps every record.
//
// Record layout (all integers little-endian), 33 + key length + value length bytes:
//
//   offset  width      field
//   0       4          body_len      u32 = 29 + key length + value length (bytes that follow)
//   4       1          record_type   u8 code of WalRecordType
//   5       8          txn_id        u64 (0 for Checkpoint)
//   13      8          timestamp_us  u64 microseconds since the UNIX epoch
//   21      4          key_len       u32
//   25      4          value_len     u32
//   29      key_len    key
//   29+k    value_len  value
//   29+k+v  4          crc32         zlib CRC-32 over record_type .. last value byte
//
// The body is the record without body_len; it is also the plaintext of an encrypted frame.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/bytes.h"
#include "core/error.h"

namespace kavrel {

enum class WalRecordType : std::uint8_t {
  Write = 1,
  // A deletion: the key and an empty value; replay applies it as a tombstone. A Write with an
  // empty value stays a present empty value.
  Delete = 2,
  Begin = 16,
  Commit = 17,
  Abort = 18,
  Checkpoint = 32,
  // A registered table: txn_id 0, key the table name, value the schema exactly as
  // REGISTER_TABLE carries it (protocol/wire.h). Logs from before it never hold one; readers that
  // predate it skip it.
  Schema = 48,
  // A dropped table: key the table name, value empty. Part of the transaction that deletes the
  // table's rows (between its Begin and Commit records), so replay removes the schema only when
  // that transaction commits, together with the rows.
  SchemaDrop = 49,
  // A user added or changed: txn_id 0, key the user name, value the user's record (encode_user,
  // storage/users.h). Written alone and synced, outside any transaction. Unlike schemas, the
  // last User or UserDrop record of a name wins.
  User = 50,
  // A user removed: txn_id 0, key the user name, value empty. Written alone, like User.
  UserDrop = 51,
  // The first record of a log that follows a snapshot: key empty, value = the LSN of this record
  // (u64), so that LSNs go on across logs.
  LogStart = 33,
  // A snapshot file's first record (value: the generation of the first log after it, u64) and
  // last one (value: the number of Write records in it, u64).
  SnapshotStart = 64,
  SnapshotEnd = 80,
};

// Whether the decoder accepts a record of this type code (the used codes and the reserved ones:
// 1, 2, 3, 16-21, 32, 33, 48-51, 64, 80, 81, 96, 97).
bool is_accepted_record_type(std::uint8_t code);

// Bytes of a record around its key and value: body_len, the fixed fields and the checksum.
inline constexpr std::size_t kRecordOverhead = 33;
// Bytes of a body around its key and value: the fixed fields and the checksum.
inline constexpr std::size_t kBodyOverhead = 29;
// The fixed fields of a body before the key.
inline constexpr std::size_t kBodyHeaderSize = 25;
// Largest record body (plain) or sealed frame (encrypted) a reader accepts: 512 MiB.
inline constexpr std::uint32_t kMaxWalEntrySize = 536'870'912;

// A record decoded in place: key and value point into the body it was decoded from.
struct TxnWalEntryView {
  BytesView key;
  BytesView value;
  std::uint64_t txn_id = 0;
  std::uint64_t timestamp_us = 0;
  std::uint8_t record_type = 0;
};

struct TxnWalEntry {
  Bytes key;
  Bytes value;
  std::uint64_t txn_id = 0;
  std::uint64_t timestamp_us = 0;
  std::uint8_t record_type = 0;

  // The full record: body_len followed by the body. Sized once; the checksum is computed while
  // the fields are written.
  static Bytes to_bytes(const TxnWalEntry& entry);
  // The body alone (the record without its first four bytes).
  static Bytes body_bytes(const TxnWalEntry& entry);
  // CRC-32 over record_type, txn_id, timestamp_us, key_len, value_len, key and value, each in
  // its on-disk width.
  static std::uint32_t checksum(const TxnWalEntry& entry);
  // Decodes one body. Checks, in order: empty body (unexpected end), unknown type
  // ("Invalid record type: N"), body of 24 bytes or less, key/value/checksum cut short (all
  // unexpected end: KavrelError::unexpected_eof()), checksum mismatch ("WAL checksum mismatch
  // for txn_id T: expected COMPUTED, got STORED"). Bytes after the checksum are ignored.
  static Result<TxnWalEntry> parse_body(BytesView body);
  // parse_body without copying: the view's key and value lie in `body`.
  static Result<TxnWalEntryView> view_body(BytesView body);
  // An owned copy of a view.
  static TxnWalEntry from_view(const TxnWalEntryView& view);

  friend bool operator==(const TxnWalEntry&, const TxnWalEntry&) = default;
};

// Appends one complete record (body_len included) to out. `to_bytes` and the per-transaction
// buffers use it.
void append_record(Bytes& out, std::uint8_t record_type, std::uint64_t txn_id,
                   std::uint64_t timestamp_us, BytesView key, BytesView value);

// The per-thread timestamp cache: microseconds since the UNIX epoch. Reads the wall clock at the
// first call of a thread and whenever 1 ms (monotonic) has passed since the last reading; in
// between returns the last reading advanced by the monotonic time elapsed. A wall clock before
// the epoch is fatal.
std::uint64_t ts_cache_now_us();

}  // namespace kavrel
