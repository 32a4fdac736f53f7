#include "storage/backup.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "core/cleanup.h"
#include "core/log.h"
#include "core/text.h"
#include "storage/internal/crypto/keyring.h"
#include "storage/internal/io/file_io.h"
#include "storage/internal/io/fs_util.h"
#include "storage/internal/wal/snapshot.h"
#include "storage/internal/wal/txn_wal.h"
#include "storage/internal/wal/wal_manifest.h"
#include "storage/internal/wal/wal_reader.h"

namespace kavrel {
namespace {

namespace fs = std::filesystem;

constexpr const char* kTarget = "kavrel_storage";
constexpr std::string_view kPartialInfix = ".partial-";

KavrelError refused(std::string text) { return KavrelError::invalid_argument(std::move(text)); }

std::string quoted(const fs::path& p) { return debug_quote(p.string()); }

// dir without a trailing separator ("/a/b/" is "/a/b"), lexically normal.
fs::path normal_dir(const fs::path& dir) {
  fs::path out = dir.lexically_normal();
  if (!out.has_filename() && out.has_parent_path() && out != out.root_path()) {
    out = out.parent_path();
  }
  return out;
}

// Whether inner is base or lies under it (both resolved through existing symbolic links).
bool is_within(const fs::path& inner, const fs::path& base) {
  std::error_code ec;
  const fs::path a = fs::weakly_canonical(inner, ec);
  if (ec) return false;
  const fs::path b = fs::weakly_canonical(base, ec);
  if (ec) return false;
  const auto [end, _] = std::mismatch(b.begin(), b.end(), a.begin(), a.end());
  return end == b.end();
}

// The refusals of a backup directory (see backup()).
Result<> check_target(const fs::path& dir, const fs::path& db_dir) {
  if (!dir.is_absolute()) {
    return fail(refused(fmt::format(
        "Backup directory must be an absolute path on the server's machine: {}", quoted(dir))));
  }
  if (is_within(dir, db_dir)) {
    return fail(refused(fmt::format("Backup directory {} is inside the database directory {}",
                                    quoted(dir), quoted(db_dir))));
  }
  std::error_code ec;
  const auto status = fs::status(dir, ec);
  if (!fs::exists(status)) return {};
  if (!fs::is_directory(status)) {
    return fail(refused(fmt::format("Backup path {} exists and is not a directory", quoted(dir))));
  }
  const bool empty = fs::is_empty(dir, ec);
  if (ec) return fail(KavrelError::io(ec.value()));
  if (!empty) return fail(refused(fmt::format("Backup directory {} is not empty", quoted(dir))));
  return {};
}

// A new directory "<dir>.partial-XXXXXX" beside dir, mode 0700.
Result<fs::path> make_partial_dir(const fs::path& dir) {
  for (;;) {
    fs::path partial = dir;
    partial += std::string(kPartialInfix) + random_alnum(6);
    if (::mkdir(partial.c_str(), 0700) != 0) {
      if (errno == EEXIST) continue;
      return fail(KavrelError::io(errno));
    }
    if (::chmod(partial.c_str(), 0700) != 0) return fail(KavrelError::io(errno));
    return partial;
  }
}

// Removes a partial copy, best effort: its files through the I/O seam (a dead disk keeps them,
// as it would after a power cut), then the directory once empty.
void remove_partial_copy(const fs::path& dir) {
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(dir, ec)) io::unlink(e.path().c_str());
  ::rmdir(dir.c_str());
}

std::uint64_t bytes_in(const fs::path& dir) {
  std::uint64_t total = 0;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(dir, ec)) {
    if (e.is_regular_file(ec)) total += e.file_size(ec);
  }
  return total;
}

// The generations of the logs in dir, ascending.
std::vector<std::uint64_t> log_generations(const fs::path& dir) {
  std::vector<std::uint64_t> out;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(dir, ec)) {
    if (auto g = TxnWal::generation_of(e.path().filename().string())) out.push_back(*g);
  }
  std::sort(out.begin(), out.end());
  return out;
}

// backup() past its refusals: the copy, its publication and the summary.
Result<BackupSummary> write_and_publish(Database& db, BackupSummary summary,
                                        const BackupOptions& options) {
  if (auto r = create_dir_all(summary.path.parent_path()); !r) return fail(std::move(r.error()));
  auto partial = make_partial_dir(summary.path);
  if (!partial) return fail(std::move(partial.error()));
  // Whatever fails before the rename leaves dir as it was; the partial copy is only waste.
  Cleanup remove_partial([&] { remove_partial_copy(*partial); });
  if (options.on_temp_dir) options.on_temp_dir(*partial);
  auto written = db.storage().write_backup(*partial);
  if (!written) return fail(std::move(written.error()));
  if (auto r = fsync_dir(*partial); !r) return fail(std::move(r.error()));
  // The publication: one rename, which also takes the place of an empty directory (and fails
  // when something was put into it meanwhile).
  if (io::rename(partial->c_str(), summary.path.c_str()) != 0) {
    const int err = errno;
    if (err == ENOTEMPTY || err == EEXIST) {
      return fail(refused(fmt::format("Backup directory {} is not empty", quoted(summary.path))));
    }
    return fail(KavrelError::io(err));
  }
  std::move(remove_partial).cancel();
  if (auto r = fsync_dir(summary.path.parent_path()); !r) return fail(std::move(r.error()));
  summary.lsn = written->lsn;
  summary.keys = written->keys;
  summary.tables = written->tables;
  summary.bytes = bytes_in(summary.path);
  return summary;
}

}  // namespace

Result<BackupSummary> backup(Database& db, const fs::path& dir, const BackupOptions& options) {
  const auto started = std::chrono::steady_clock::now();
  BackupSummary summary;
  summary.path = normal_dir(dir);
  summary.encrypted = db.storage().encrypted();
  if (auto r = check_target(summary.path, db.path()); !r) return fail(std::move(r.error()));
  auto done = write_and_publish(db, std::move(summary), options);
  if (!done) {
    log::warn(kTarget, "Backup into {} failed ({}); the database is untouched",
              quoted(normal_dir(dir)), done.error().message());
    return done;
  }
  log::info(kTarget,
            "Backup of {} keys and {} tables at LSN {} written to {} ({} bytes) in {:.3f}s",
            done->keys, done->tables, done->lsn, quoted(done->path), done->bytes,
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
  return done;
}

namespace {

// The sealing of dir's frames from its keyring (none: plain).
Result<SnapshotSealing> sealing_of(const fs::path& dir, const std::optional<EncryptionKey>& kek) {
  std::error_code ec;
  const fs::path path = dir / keyring::kFileName;
  if (!fs::exists(path, ec)) return SnapshotSealing{};
  auto file = keyring::read_keyring(path);
  if (!file) return fail(std::move(file.error()));
  if (!file->encrypted) return SnapshotSealing{};
  if (!kek) {
    return fail(KavrelError::encryption(fmt::format(
        "{} is encrypted ({}): its key is needed to check it", quoted(dir), keyring::kFileName)));
  }
  if (auto r = keyring::verify_mac(*file, *kek); !r) return fail(std::move(r.error()));
  auto opened = keyring::open_encrypted(*file, *kek);
  if (!opened) return fail(std::move(opened.error()));
  return SnapshotSealing{opened->engine, opened->db_uuid, opened->key_epoch};
}

// Every record of a log or snapshot file read and checked; the first record is kept.
struct ReadFile {
  CheckedFile file;
  std::optional<TxnWalEntry> first;
};

// Reads records up to the end of the file, or past the first one of type `last` when given.
Result<ReadFile> read_every_record(const fs::path& path, const SnapshotSealing& sealing,
                                   std::uint8_t domain,
                                   std::optional<WalRecordType> last = std::nullopt) {
  ReadFile out;
  out.file.name = path.filename().string();
  auto reader = WalReader::open(path, sealing.engine, sealing.db_uuid, sealing.key_epoch, domain);
  if (!reader) return fail(std::move(reader.error()));
  out.file.bytes = reader->file_size();
  for (;;) {
    auto read = reader->next();
    if (!read) return fail(std::move(read.error()));
    switch (read->kind) {
      case WalRead::Kind::Record:
        if (!out.first) out.first = TxnWalEntry::from_view(read->record);
        ++out.file.records;
        if (last && read->record.record_type == static_cast<std::uint8_t>(*last)) return out;
        continue;
      case WalRead::Kind::CleanEnd: return out;
      case WalRead::Kind::TornTail:
        return fail(KavrelError::corruption(
            fmt::format("{} is cut short at byte {} (after {} record{})", out.file.name,
                        read->offset, out.file.records, out.file.records == 1 ? "" : "s")));
      case WalRead::Kind::Damaged:
        return fail(KavrelError::corruption(fmt::format(
            "{} is damaged at byte {} (record {}): {}", out.file.name, read->offset,
            out.file.records + 1, read->damage ? read->damage->message() : "unreadable")));
    }
  }
}

// The snapshot checked by its load (its rules and every record); when that fails, the first
// damaged record up to its end record is looked for to name the place (else the load's error
// says what is wrong). The generation of the log that follows it.
Result<std::uint64_t> check_snapshot(const fs::path& dir, const SnapshotSealing& sealing,
                                     BackupCheck& check) {
  std::uint64_t tables = 0;
  std::uint64_t records = 2;  // the start and the end, besides those handed over
  auto loaded = load_snapshot(dir, sealing, [&](const TxnWalEntryView& e) -> Result<> {
    if (e.record_type == static_cast<std::uint8_t>(WalRecordType::Schema)) ++tables;
    ++records;
    return {};
  });
  if (!loaded || !*loaded) {
    auto located = read_every_record(dir / kSnapshotFileName, sealing, kSnapshotFrameDomain,
                                     WalRecordType::SnapshotEnd);
    if (!located) return fail(std::move(located.error()));
    if (!loaded) return fail(std::move(loaded.error()));
    return fail(KavrelError::corruption(
        fmt::format("{} holds no {}: it is not a backup", quoted(dir), kSnapshotFileName)));
  }
  check.keys = (*loaded)->keys;
  check.tables = tables;
  check.files.push_back({kSnapshotFileName, records, (*loaded)->bytes});
  return (*loaded)->next_generation;
}

}  // namespace

Result<BackupCheck> verify_backup(const fs::path& dir, const std::optional<EncryptionKey>& kek) {
  std::error_code ec;
  if (!fs::is_directory(dir, ec)) {
    return fail(
        ec ? KavrelError::io(ec.value())
           : KavrelError::invalid_argument(fmt::format("{} is not a directory", quoted(dir))));
  }
  if (!fs::exists(dir / kSnapshotFileName, ec)) {
    return fail(KavrelError::corruption(
        fmt::format("{} holds no {}: it is not a backup", quoted(dir), kSnapshotFileName)));
  }
  auto sealing = sealing_of(dir, kek);
  if (!sealing) return fail(std::move(sealing.error()));
  BackupCheck check;
  check.encrypted = sealing->engine != nullptr;
  auto next_generation = check_snapshot(dir, *sealing, check);
  if (!next_generation) return fail(std::move(next_generation.error()));
  const std::uint64_t first = *next_generation;
  // The logs the snapshot does not cover: the one it names first, then any later ones.
  std::vector<std::uint64_t> generations = log_generations(dir);
  std::erase_if(generations, [first](std::uint64_t g) { return g < first; });
  if (generations.empty() || generations.front() != first) {
    return fail(KavrelError::corruption(fmt::format("the log {} that follows {} is missing",
                                                    TxnWal::file_name(first), kSnapshotFileName)));
  }
  for (const std::uint64_t g : generations) {
    auto log = read_every_record(dir / TxnWal::file_name(g), *sealing, kLogFrameDomain);
    if (!log) return fail(std::move(log.error()));
    if (g == first) {
      const auto& start = log->first;
      if (!start || start->record_type != static_cast<std::uint8_t>(WalRecordType::LogStart) ||
          start->value.size() != 8) {
        return fail(KavrelError::corruption(
            fmt::format("{} does not start with its LogStart record", TxnWal::file_name(g))));
      }
      check.lsn = get_u64(start->value.data());
    }
    check.files.push_back(std::move(log->file));
  }
  if (WalManifest::exists(dir)) {
    if (auto manifest = WalManifest::load(dir); !manifest) return fail(std::move(manifest.error()));
  }
  return check;
}

}  // namespace kavrel
