#include "storage/wal/snapshot.h"

#include <system_error>

#include <fmt/format.h>

#include "storage/io/fs_util.h"
#include "storage/wal/txn_wal.h"

namespace kavrel {
namespace {

constexpr const char* kMagic = "kavrel-snapshot";

KavrelError damaged(std::string_view why) {
  return KavrelError::corruption(fmt::format("snapshot {} is damaged: {}", kSnapshotFileName, why));
}

TxnWalEntry record(WalRecordType type, Bytes key, Bytes value) {
  return TxnWalEntry{std::move(key), std::move(value), 0, ts_cache_now_us(),
                     static_cast<std::uint8_t>(type)};
}

Bytes u64_bytes(std::uint64_t v) {
  Bytes out;
  put_u64(out, v);
  return out;
}

// Appends one record to out, sealed as a frame of the snapshot domain when encrypted.
Result<> append(Bytes& out, const SnapshotSealing& sealing, std::uint64_t& ordinal,
                const TxnWalEntry& entry) {
  if (!sealing.engine || !sealing.engine->enabled()) {
    out += TxnWalEntry::to_bytes(entry);
    ++ordinal;
    return {};
  }
  auto sealed = sealing.engine->encrypt_with_aad(
      TxnWalEntry::body_bytes(entry),
      wal_frame_aad(sealing.db_uuid, sealing.key_epoch, ordinal++, kSnapshotFrameDomain));
  if (!sealed) return fail(KavrelError::from(sealed.error()));
  put_u32(out, static_cast<std::uint32_t>(sealed->size()));
  out += *sealed;
  return {};
}

Result<WalReader> open_reader(const std::filesystem::path& dir, const SnapshotSealing& sealing) {
  return WalReader::open(dir / kSnapshotFileName, sealing.engine, sealing.db_uuid,
                         sealing.key_epoch, kSnapshotFrameDomain);
}

// The first record: SnapshotStart with its magic and generation.
Result<std::uint64_t> read_start(WalReader& reader) {
  auto first = reader.read_record();
  if (!first) return fail(damaged(first.error().message()));
  if (first->record_type != static_cast<std::uint8_t>(WalRecordType::SnapshotStart) ||
      first->key != kMagic || first->value.size() != 8) {
    return fail(damaged("it does not start with a snapshot header"));
  }
  return get_u64(first->value.data());
}

}  // namespace

Result<std::uint64_t> write_snapshot(const std::filesystem::path& dir,
                                     const SnapshotSealing& sealing,
                                     const SnapshotContents& contents) {
  Bytes out;
  std::uint64_t ordinal = 0;
  auto r =
      append(out, sealing, ordinal,
             record(WalRecordType::SnapshotStart, kMagic, u64_bytes(contents.next_generation)));
  for (const auto& [name, schema] : contents.schemas) {
    if (r) r = append(out, sealing, ordinal, record(WalRecordType::Schema, name, schema));
  }
  for (const auto& [key, value] : contents.entries) {
    if (r) r = append(out, sealing, ordinal, record(WalRecordType::Write, key, value));
  }
  if (r) {
    r = append(out, sealing, ordinal,
               record(WalRecordType::SnapshotEnd, {}, u64_bytes(contents.entries.size())));
  }
  if (!r) return fail(std::move(r.error()));
  auto published = publish_file(dir, kSnapshotFileName, out, PublishMode::Replace);
  if (!published) return fail(KavrelError::io(published.error().err));
  return out.size();
}

Result<std::optional<std::uint64_t>> snapshot_generation(const std::filesystem::path& dir,
                                                         const SnapshotSealing& sealing) {
  std::error_code ec;
  if (!std::filesystem::exists(dir / kSnapshotFileName, ec)) return std::optional<std::uint64_t>();
  auto reader = open_reader(dir, sealing);
  if (!reader) return fail(std::move(reader.error()));
  auto generation = read_start(*reader);
  if (!generation) return fail(std::move(generation.error()));
  return std::optional<std::uint64_t>(*generation);
}

Result<std::optional<SnapshotInfo>> load_snapshot(
    const std::filesystem::path& dir, const SnapshotSealing& sealing,
    const std::function<Result<>(TxnWalEntry&)>& each) {
  std::error_code ec;
  if (!std::filesystem::exists(dir / kSnapshotFileName, ec)) return std::optional<SnapshotInfo>();
  auto reader = open_reader(dir, sealing);
  if (!reader) return fail(std::move(reader.error()));
  auto generation = read_start(*reader);
  if (!generation) return fail(std::move(generation.error()));
  SnapshotInfo info{*generation, 0, reader->file_size()};
  for (;;) {
    auto entry = reader->read_record();
    if (!entry) {
      // The log's tail rules do not apply: the file was published whole, so any end before its
      // last record is damage.
      return fail(damaged(entry.error().is_unexpected_eof() ? "it ends before its last record"
                                                            : entry.error().message()));
    }
    switch (static_cast<WalRecordType>(entry->record_type)) {
      case WalRecordType::Schema:
      case WalRecordType::Write:
        if (entry->record_type == static_cast<std::uint8_t>(WalRecordType::Write)) ++info.keys;
        if (auto r = each(*entry); !r) return fail(std::move(r.error()));
        break;
      case WalRecordType::SnapshotEnd: {
        if (entry->value.size() != 8 || get_u64(entry->value.data()) != info.keys) {
          return fail(damaged("its record count does not match"));
        }
        if (reader->bytes_read() != reader->file_size()) {
          return fail(damaged("bytes follow its last record"));
        }
        return std::optional<SnapshotInfo>(info);
      }
      default: return fail(damaged(fmt::format("unexpected record type {}", entry->record_type)));
    }
  }
}

}  // namespace kavrel
