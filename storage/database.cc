#include "storage/database.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <string_view>
#include <system_error>
#include <thread>
#include <unordered_set>

#include <fmt/format.h>

#include "core/log.h"
#include "core/text.h"
#include "storage/internal/crypto/keyring.h"
#include "storage/internal/io/lock.h"

namespace kavrel {
namespace {

constexpr const char* kTarget = "kavrel_storage";

}  // namespace

Result<std::shared_ptr<Database>> Database::open(const std::filesystem::path& dir,
                                                 const StorageEncryption& encryption) {
  auto storage = DurableStorage::open(dir, encryption);
  if (!storage) return fail(std::move(storage.error()));
  std::shared_ptr<Database> db(new Database(dir, std::move(*storage)));
  db->register_recovered_schemas();
  return db;
}

Result<> Database::rotate_key(const std::filesystem::path& dir, const EncryptionKey& current_kek,
                              const EncryptionKey& new_kek, std::string_view new_source_id) {
  // A rotation has nothing to do in a directory that does not exist, and must not create one
  // (taking the lock would).
  struct stat st {};
  if (::stat(dir.c_str(), &st) != 0) return fail(KavrelError::io(errno));
  if (!S_ISDIR(st.st_mode)) return fail(KavrelError::io(ENOTDIR));
  // A wrong key is refused before the lock is taken, so that it leaves the directory as it was.
  if (auto r = keyring::check_existing(dir, current_kek); !r) return r;
  // The lock's own wait and refusal, as for an open.
  auto lock = DatabaseLock::acquire(dir);
  if (!lock) return fail(KavrelError::from(lock.error()));
  auto rotated = keyring::rotate(dir, current_kek, new_kek, new_source_id);
  if (!rotated) return fail(std::move(rotated.error()));
  return {};
}

Database::~Database() {
  std::scoped_lock lock(compactor_mu_);
  if (compactor_.joinable()) compactor_.join();
}

Database::Transaction::Transaction(Transaction&& other) noexcept
    : db_(other.db_), id_(std::exchange(other.id_, 0)) {}

Database::Transaction& Database::Transaction::operator=(Transaction&& other) noexcept {
  if (this != &other) {
    abort();
    db_ = other.db_;
    id_ = std::exchange(other.id_, 0);
  }
  return *this;
}

Result<std::uint64_t> Database::Transaction::commit() { return db_->commit(std::exchange(id_, 0)); }

void Database::Transaction::abort() {
  if (id_ == 0) return;
  ignore_error(db_->storage_->abort(std::exchange(id_, 0)), "an abort cannot fail");
}

Database::Transaction Database::begin() {
  // Beginning only draws an id and a read point: it cannot fail.
  auto id = storage_->begin_transaction();
  return Transaction(*this, id.value_or(0));
}

Result<std::uint64_t> Database::commit(std::uint64_t txn_id) {
  // A transaction that drops tables commits under the registry's lock: no registration and no
  // other drop comes between its check that the tables are those it dropped and their removal.
  std::unique_lock registry(register_mu_, std::defer_lock);
  if (storage_->drops_schemas(txn_id)) registry.lock();
  auto committed = storage_->commit(txn_id);
  if (registry.owns_lock()) {
    // The tables it dropped have left the storage's catalog with its commit.
    if (committed) {
      const auto schemas = storage_->schemas();
      for (const TableSchema& t : tables_.all()) {
        const bool kept =
            std::ranges::binary_search(schemas, t.name, {}, &std::pair<std::string, Bytes>::first);
        if (!kept) tables_.remove(t.name);
      }
    }
    registry.unlock();
  }
  if (committed) maybe_compact();
  return committed;
}

std::vector<WriteOutcome> Database::write(std::span<const std::span<const BlindWrite>> runs) {
  auto outcomes = storage_->write(runs);
  maybe_compact();
  return outcomes;
}

void Database::lead_writes() {
  storage_->lead_writes();
  maybe_compact();
}

Result<CompactionStats> Database::compact() { return storage_->compact(); }

bool Database::log_past_limit() {
  const std::uint64_t limit = compact_log_bytes_.load(std::memory_order_relaxed);
  if (limit == 0) return false;
  const std::uint64_t log_size = storage_->log_bytes();
  // Not again before the log has grown by the snapshot's size: a large database is not
  // compacted over and over.
  return log_size >= std::max(limit, storage_->snapshot_bytes());
}

void Database::maybe_compact() {
  if (!log_past_limit() || compacting_.exchange(true)) return;
  // On a thread of its own: the committer goes on (a connection loop that committed for many
  // connections serves them again), and readers and writers are served while it runs.
  std::scoped_lock lock(compactor_mu_);
  if (compactor_.joinable()) compactor_.join();  // it has finished: compacting_ was clear
  try {
    compactor_ = std::thread([this] {
      for (;;) {
        // A failure logs a warning and leaves the old state in use; a later commit tries again.
        const bool done = compact().has_value();
        compacting_.store(false);
        // A commit that passed the size while this one ran found it running and went on, so
        // the size is looked at again here.
        if (!done || !log_past_limit() || compacting_.exchange(true)) return;
      }
    });
  } catch (const std::system_error& e) {
    log::warn(kTarget, "automatic compaction not started: {}", e.what());
    compacting_.store(false);
  }
}

Result<std::uint64_t> Database::write_blind(BytesView key, std::optional<BytesView> value,
                                            std::chrono::milliseconds bound) {
  const BlindWrite one[] = {{key, value}};
  const std::span<const BlindWrite> run(one);
  const auto deadline = std::chrono::steady_clock::now() + bound;
  auto pause = std::chrono::microseconds(50);
  for (;;) {
    WriteOutcome outcome = std::move(write(std::span(&run, 1)).front());
    switch (outcome.status) {
      case WriteOutcome::Status::Committed: return outcome.commit_ts;
      case WriteOutcome::Status::Failed: return fail(std::move(*outcome.error));
      case WriteOutcome::Status::WriteAlone: break;
    }
    // Another transaction's write of the key is pending: a blind write cannot cause an anomaly,
    // so it waits for that one to end and applies after it, within the bound.
    if (outcome.error->kind() != KavrelError::Kind::WriteConflict ||
        std::chrono::steady_clock::now() >= deadline) {
      return fail(std::move(*outcome.error));
    }
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::microseconds(2000));
  }
}

Result<std::optional<Bytes>> Database::get(std::uint64_t txn_id, BytesView key) {
  return storage_->get(txn_id, key);
}

Result<std::vector<std::pair<Bytes, Bytes>>> Database::scan_unchecked(std::uint64_t txn_id,
                                                                      BytesView prefix) {
  return storage_->scan(txn_id, prefix);
}

Result<PathEntries> Database::scan_path(std::uint64_t txn_id, std::string_view prefix) {
  if (prefix.size() < MIN_PREFIX_LEN) {
    return fail(KavrelError::invalid_argument(fmt::format(
        "Prefix too short: {} bytes (minimum {} required). Use scan_unchecked() for unrestricted "
        "scans.",
        prefix.size(), MIN_PREFIX_LEN)));
  }
  auto entries = scan_unchecked(txn_id, prefix);
  if (!entries) return fail(std::move(entries.error()));
  PathEntries out;
  out.reserve(entries->size());
  for (auto& [key, value] : *entries) {
    if (is_valid_utf8(key)) out.emplace_back(std::move(key), std::move(value));
  }
  return out;
}

namespace {

// What a new table must be to be usable: rows live under "NAME/ID/...", so a name that is empty
// or holds a "/" would garble its own paths, and a query names columns, so they must differ.
// Tables registered before these checks are served as they are.
Result<> check_new_table(const TableSchema& schema) {
  const auto refuse = [](std::string text) {
    return fail(KavrelError::invalid_argument(std::move(text)));
  };
  if (schema.name.empty()) return refuse("Table name must not be empty");
  if (schema.name.find('/') != std::string::npos) {
    return refuse(fmt::format("Table name must not contain '/': {}", schema.name));
  }
  if (schema.columns.empty()) {
    return refuse(fmt::format("Table '{}' must have at least one column", schema.name));
  }
  std::unordered_set<std::string_view> names;
  for (const ColumnDef& c : schema.columns) {
    if (!names.insert(c.name).second) {
      return refuse(fmt::format("Duplicate column name '{}' in table '{}'", c.name, schema.name));
    }
  }
  return {};
}

}  // namespace

Result<> Database::register_table(TableSchema schema) {
  std::scoped_lock lock(register_mu_);
  if (tables_.table(schema.name)) {
    return fail(
        KavrelError::invalid_argument(fmt::format("Table '{}' already exists", schema.name)));
  }
  if (auto r = check_new_table(schema); !r) return r;
  if (auto r = storage_->log_schema(schema.name, encode_table_schema(schema)); !r) return r;
  return tables_.register_table(std::move(schema));
}

Result<> Database::drop_table(std::uint64_t txn_id, const std::string& name) {
  if (!tables_.table(name)) {
    return fail(KavrelError::invalid_argument(fmt::format("Table not found: {}", name)));
  }
  auto rows = scan_unchecked(txn_id, name + "/");
  if (!rows) return fail(std::move(rows.error()));
  for (const auto& [key, value] : *rows) {
    if (auto r = storage_->delete_key(txn_id, key); !r) return r;
  }
  return storage_->drop_schema(txn_id, name);
}

Result<> Database::drop_table(const std::string& name) {
  Transaction txn = begin();
  if (auto r = drop_table(txn.id(), name); !r) return r;
  auto committed = txn.commit();
  if (!committed) return fail(std::move(committed.error()));
  return {};
}

namespace {

// What a user record must be to be stored and read back (decode_user refuses anything else).
Result<> check_user(const UserRecord& user) {
  const auto refuse = [](std::string text) {
    return fail(KavrelError::invalid_argument(std::move(text)));
  };
  if (user.name.empty()) return refuse("User name must not be empty");
  if (user.name.size() > kMaxUserNameSize) {
    return refuse(fmt::format("User name is too long: {} bytes (max {})", user.name.size(),
                              kMaxUserNameSize));
  }
  if (user.verifier.empty()) {
    return refuse(fmt::format("User '{}' must have a verifier", user.name));
  }
  if (!is_known_role(user.role)) {
    return refuse(
        fmt::format("Unknown role {} for user '{}'", static_cast<int>(user.role), user.name));
  }
  return {};
}

}  // namespace

Result<> Database::put_user(const UserRecord& user) {
  if (auto r = check_user(user); !r) return r;
  return storage_->log_user(user);
}

Result<bool> Database::drop_user(std::string_view name) { return storage_->log_user_drop(name); }

void Database::register_recovered_schemas() {
  for (const auto& [name, encoded] : storage_->schemas()) {
    auto wire = decode_wire_schema(encoded);
    if (!wire || wire->name != name) {
      // The record passed its checksum, so only a writer's bug could produce this; the table is
      // left out rather than the whole database refused.
      log::warn(kTarget, "Skipping the logged schema of table {}: {}", debug_quote(name),
                wire ? "its name differs from the record's key" : wire.error());
      continue;
    }
    ignore_error(tables_.register_table(from_wire_schema(std::move(*wire))),
                 "registrations are logged once per name; a repeat keeps the first");
  }
}

QueryBuilder Database::query(std::uint64_t txn_id, std::string path) {
  return QueryBuilder(
      tables_, [this, txn_id](std::string_view prefix) { return scan_path(txn_id, prefix); },
      std::move(path));
}

}  // namespace kavrel
