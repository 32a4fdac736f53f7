// Fuzzes reading the log back: the input is written as "wal.log" and read with WalReader as a
// plain and as an encrypted log, then opened with TxnWal::recover_state as the storage open does.
// Properties: a record read from a plain log is the bytes at its offset; reads stop at the first
// error and report only the reader's own kinds; after recover_state a fresh scan reads exactly the
// records it counted and ends cleanly at the end of the (possibly cut) file.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <system_error>

#include "storage/internal/wal/txn_wal.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

using namespace kavrel;

struct Scan {
  std::uint64_t records = 0;
  std::uint64_t good_offset = 0;
  bool clean_end = false;       // ended with the unexpected-end error
  bool unopened = false;        // ended at an encrypted frame that does not open
  bool zero_tail = false;       // ended at zeros that fill the rest of the file
  std::uint64_t first_lsn = 0;  // from a LogStart first record
};

Scan scan(const std::filesystem::path& log, BytesView bytes,
          std::shared_ptr<const EncryptionEngine> engine) {
  const bool sealed = engine != nullptr;
  auto reader = WalReader::open(log, std::move(engine), fuzz::kFuzzDbUuid, fuzz::kFuzzKeyEpoch);
  FUZZ_CHECK(reader.has_value());
  Scan s;
  for (;;) {
    const std::uint64_t at = reader->good_offset();
    auto entry = reader->read_record();
    if (!entry) {
      const KavrelError& e = entry.error();
      s.clean_end = e.is_unexpected_eof();
      s.zero_tail = reader->zero_tail();
      // Zeros up to the end are the room a log writes ahead of its records, never a record.
      FUZZ_CHECK(s.zero_tail ==
                 (reader->good_offset() < bytes.size() &&
                  bytes.substr(reader->good_offset()).find_first_not_of('\0') == BytesView::npos));
      FUZZ_CHECK(!s.zero_tail || s.clean_end);
      s.unopened = sealed && e.kind() == KavrelError::Kind::Encryption;
      FUZZ_CHECK(e.is_unexpected_eof() || e.kind() == KavrelError::Kind::Corruption ||
                 (sealed && e.kind() == KavrelError::Kind::Encryption));
      break;
    }
    ++s.records;
    if (s.records == 1 &&
        entry->record_type == static_cast<std::uint8_t>(WalRecordType::LogStart) &&
        entry->value.size() == 8) {
      s.first_lsn = get_u64(entry->value.data());
    }
    FUZZ_CHECK(reader->records() == s.records);
    FUZZ_CHECK(reader->good_offset() > at && reader->good_offset() <= bytes.size());
    if (!sealed) {
      const Bytes body = TxnWalEntry::body_bytes(*entry);
      FUZZ_CHECK(bytes.substr(at + 4, body.size()) == body);
    } else {
      FUZZ_CHECK(reader->good_offset() - at == 4 + EncryptionEngine::kOverhead + kBodyOverhead +
                                                   entry->key.size() + entry->value.size());
    }
  }
  s.good_offset = reader->good_offset();
  return s;
}

void remove_side_files(const std::filesystem::path& dir) {
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(dir, ec)) {
    if (e.path().filename().string() != "wal.log") std::filesystem::remove(e.path(), ec);
  }
}

void check_recovery(const std::filesystem::path& dir, BytesView bytes, bool sealed) {
  const auto log = dir / "wal.log";
  fuzz::write_file(log, bytes);
  auto engine = sealed ? fuzz::fuzz_engine() : nullptr;
  const Scan before = scan(log, bytes, engine);
  {
    auto wal = TxnWal::open(dir, engine, fuzz::kFuzzDbUuid, fuzz::kFuzzKeyEpoch);
    FUZZ_CHECK(wal.has_value());
    auto r = (*wal)->recover_state();
    // A plain log always opens; an encrypted one when only a torn tail follows, or a frame that
    // does not open (it opens then only if no later frame does), never after other damage.
    if (!sealed || before.clean_end) FUZZ_CHECK(r.has_value());
    if (sealed && !before.clean_end && !before.unopened) FUZZ_CHECK(!r.has_value());
    if (!r) {
      FUZZ_CHECK(std::filesystem::file_size(log) == bytes.size());  // refused: left alone
      remove_side_files(dir);
      return;
    }
    FUZZ_CHECK((*wal)->next_lsn() == before.first_lsn + before.records);
    FUZZ_CHECK((*wal)->durable_offset() == before.good_offset);
  }
  // A damaged tail is moved aside; zeros stay as the room they are while the log is open, and a
  // clean close gives the room back: the file ends at its last record either way.
  const std::uint64_t kept_size = before.good_offset;
  FUZZ_CHECK(std::filesystem::file_size(log) == kept_size);
  const Bytes kept(bytes.substr(0, kept_size));
  const Scan after = scan(log, kept, engine);
  FUZZ_CHECK(after.records == before.records);
  FUZZ_CHECK(after.clean_end && after.good_offset == before.good_offset);
  remove_side_files(dir);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const auto dir = [] {
    auto d = fuzz::scratch_dir() / "wal";
    std::filesystem::create_directories(d);
    return d;
  }();
  const BytesView bytes = fuzz::view(data, size);
  check_recovery(dir, bytes, false);
  check_recovery(dir, bytes, true);
  return 0;
}
