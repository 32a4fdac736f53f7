#include "storage/internal/wal/txn_wal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <utility>

#include <fmt/format.h>

#include "core/log.h"
#include "storage/internal/io/file_io.h"
#include "storage/internal/io/fs_util.h"

namespace kavrel {
namespace {

constexpr const char* kTarget = "kavrel_storage";

Result<std::uint64_t> file_size_of(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return fail(KavrelError::io(errno));
  return static_cast<std::uint64_t>(st.st_size);
}

std::shared_ptr<const EncryptionEngine> or_disabled(std::shared_ptr<const EncryptionEngine> e) {
  return e ? std::move(e) : EncryptionEngine::disabled();
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// TxnWalBuffer

TxnWalBuffer::TxnWalBuffer(std::uint64_t id) : txn_id(id) { buf.reserve(kInitialCapacity); }

void TxnWalBuffer::append_begin() {
  append_record(buf, static_cast<std::uint8_t>(WalRecordType::Begin), txn_id, ts_cache_now_us(), {},
                {});
  ++count;
}

void TxnWalBuffer::append(BytesView key, BytesView value) {
  append_record(buf, static_cast<std::uint8_t>(WalRecordType::Write), txn_id, ts_cache_now_us(),
                key, value);
  ++count;
}

void TxnWalBuffer::append_delete(BytesView key) {
  append_record(buf, static_cast<std::uint8_t>(WalRecordType::Delete), txn_id, ts_cache_now_us(),
                key, {});
  ++count;
}

void TxnWalBuffer::append_schema_drop(BytesView table) {
  append_record(buf, static_cast<std::uint8_t>(WalRecordType::SchemaDrop), txn_id,
                ts_cache_now_us(), table, {});
  ++count;
}

// ---------------------------------------------------------------------------------------------
// TxnWal: opening and writing

TxnWal::TxnWal(std::filesystem::path dir, std::uint64_t generation, UniqueFd fd,
               std::uint64_t file_size, std::shared_ptr<const EncryptionEngine> engine,
               std::array<std::uint8_t, 16> db_uuid, std::uint32_t key_epoch)
    : dir_(std::move(dir)),
      generation_(generation),
      path_(dir_ / file_name(generation)),
      fd_(std::move(fd)),
      engine_(std::move(engine)),
      db_uuid_(db_uuid),
      key_epoch_(key_epoch),
      file_end_(file_size),
      allocated_end_(file_size),
      durable_offset_(file_size) {
  buf_.reserve(kWriteBufferSize);
  // Records are written at the descriptor's offset (not appended: zeros may follow them).
  (void)::lseek(fd_.get(), static_cast<off_t>(file_size), SEEK_SET);
}

std::string TxnWal::file_name(std::uint64_t generation) {
  return generation == 0 ? kFileName : fmt::format("wal-{}.log", generation);
}

std::optional<std::uint64_t> TxnWal::generation_of(std::string_view name) {
  if (name == kFileName) return 0;
  if (!name.starts_with("wal-") || !name.ends_with(".log")) return std::nullopt;
  const std::string_view digits = name.substr(4, name.size() - 8);
  std::uint64_t g = 0;
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), g);
  if (ec != std::errc() || end != digits.data() + digits.size() || g == 0 || digits[0] == '0') {
    return std::nullopt;
  }
  return g;
}

Result<std::shared_ptr<TxnWal>> TxnWal::create(const std::filesystem::path& dir,
                                               std::shared_ptr<const EncryptionEngine> engine,
                                               std::array<std::uint8_t, 16> db_uuid,
                                               std::uint32_t key_epoch, std::uint64_t generation,
                                               std::uint64_t first_lsn) {
  const auto path = dir / file_name(generation);
  UniqueFd fd(io::open_create(path.c_str(), O_RDWR | O_EXCL | O_CLOEXEC, 0600));
  if (!fd.valid()) return fail(KavrelError::io(errno));
  std::shared_ptr<TxnWal> wal(new TxnWal(dir, generation, std::move(fd), 0,
                                         or_disabled(std::move(engine)), db_uuid, key_epoch));
  wal->next_lsn_.store(first_lsn, std::memory_order_release);
  Bytes lsn;
  put_u64(lsn, first_lsn);
  const Result<> made = [&]() -> Result<> {
    if (auto r = wal->append(TxnWalEntry{
            {}, lsn, 0, ts_cache_now_us(), static_cast<std::uint8_t>(WalRecordType::LogStart)});
        !r) {
      return fail(std::move(r.error()));
    }
    if (auto r = wal->sync(); !r) return r;
    return fsync_dir(dir);
  }();
  if (!made) {
    io::unlink(path.c_str());  // nothing was ever acknowledged in it
    return fail(made.error());
  }
  return wal;
}

Result<std::shared_ptr<TxnWal>> TxnWal::open(const std::filesystem::path& dir,
                                             std::shared_ptr<const EncryptionEngine> engine,
                                             std::array<std::uint8_t, 16> db_uuid,
                                             std::uint32_t key_epoch, std::uint64_t generation) {
  const auto path = dir / file_name(generation);
  std::error_code ec;
  const bool created = !std::filesystem::exists(path, ec);
  UniqueFd fd(io::open_create(path.c_str(), O_RDWR | O_CLOEXEC, 0600));
  if (!fd.valid()) return fail(KavrelError::io(errno));
  // A new log's name must be durable before any commit in it is acknowledged.
  if (created) {
    if (auto r = fsync_dir(dir); !r) return fail(std::move(r.error()));
  }
  auto size = file_size_of(fd.get());
  if (!size) return fail(std::move(size.error()));
  // What the file holds at open counts as durable: the failure path never cuts below it.
  return std::shared_ptr<TxnWal>(new TxnWal(dir, generation, std::move(fd), *size,
                                            or_disabled(std::move(engine)), db_uuid, key_epoch));
}

TxnWal::~TxnWal() {
  std::scoped_lock lock(mu_);
  if (failed()) return;
  ignore_error(flush_locked(), "dropping the log cannot report a failed flush");
  // Not synced: zeros a crash brings back end the log just as well.
  if (!failed() && allocated_end_ > file_end_)
    (void)io::ftruncate(fd_.get(), static_cast<off_t>(file_end_));
}

KavrelError TxnWal::unusable_error() const {
  return KavrelError::io_message("log is unusable after an earlier failure: " + fail_text_,
                                 fail_errno_);
}

void TxnWal::fail_locked(const KavrelError& cause) {
  if (failed()) return;
  fail_text_ = cause.text();
  fail_errno_ = cause.os_error();
  failed_.store(true, std::memory_order_release);
  // The buffered bytes must never reach the file: a failed batch's Commit records would bring
  // its transactions back at the next open although their committers saw an error.
  buf_.clear();
  // Whatever lies past the durable offset may be torn or may be records whose writers were
  // told they failed; cut it off so a restart does not replay them.
  const std::uint64_t durable = durable_offset_.load(std::memory_order_acquire);
  bool truncated = false;
  if (truncate_locked(durable) == 0) {
    truncated = true;
    (void)io::fsync(fd_.get());
  }
  log::error(kTarget, "{} failed ({}); refusing further writes, {} at offset {}",
             path_.filename().string(), cause.message(),
             truncated ? "truncated" : "could not truncate", durable);
}

KavrelError TxnWal::cut_back_locked(const KavrelError& cause) {
  buf_.clear();
  const std::uint64_t durable = durable_offset_.load(std::memory_order_acquire);
  // The cut must itself be durable: records of transactions told they failed must not come
  // back after a crash.
  if (const int err = truncate_locked(durable); err != 0 || io::fsync(fd_.get()) != 0) {
    fail_locked(KavrelError::io(err != 0 ? err : errno));
    return unusable_error();
  }
  next_lsn_.store(durable_lsn_, std::memory_order_release);
  frame_counter_.store(durable_frames_, std::memory_order_release);
  cuts_.push_back(durable);
  log::warn(kTarget, "{}: a write failed ({}); the log was cut back to offset {}",
            path_.filename().string(), cause.message(), durable);
  return cause;
}

int TxnWal::truncate_locked(std::uint64_t end) {
  if (io::ftruncate(fd_.get(), static_cast<off_t>(end)) != 0) return errno;
  file_end_ = end;
  allocated_end_ = end;
  return ::lseek(fd_.get(), static_cast<off_t>(end), SEEK_SET) < 0 ? errno : 0;
}

void TxnWal::preallocate_locked(std::uint64_t end) {
  const std::uint64_t target = (end / kPreallocateStep + 1) * kPreallocateStep;
  while (allocated_end_ < target) {
    const auto n = static_cast<std::size_t>(std::min(target - allocated_end_, kPreallocateStep));
    const ssize_t w = io::write_zeros(fd_.get(), n, static_cast<off_t>(allocated_end_));
    if (w <= 0) return;
    allocated_end_ += static_cast<std::uint64_t>(w);
  }
}

Result<> TxnWal::write_file_locked(BytesView data) {
  if (file_end_ + data.size() > allocated_end_) preallocate_locked(file_end_ + data.size());
  if (const int err = io::write_all(fd_.get(), data.data(), data.size()); err != 0) {
    const KavrelError e = KavrelError::io(err);
    // A full disk passes: refuse this write, and try the next one.
    if (err == ENOSPC || err == EDQUOT) return fail(cut_back_locked(e));
    fail_locked(e);
    return fail(e);
  }
  file_end_ += data.size();
  allocated_end_ = std::max(allocated_end_, file_end_);
  return {};
}

KavrelError TxnWal::cut_back_error() {
  return KavrelError::io_message(
      "the log was cut back after a full disk: " + KavrelError::io(ENOSPC).text(), ENOSPC);
}

bool TxnWal::survived_locked(WalPosition p) const {
  for (std::size_t i = p.generation; i < cuts_.size(); ++i) {
    if (cuts_[i] < p.end) return false;
  }
  return true;
}

bool TxnWal::survived(WalPosition p) {
  std::scoped_lock lock(mu_);
  return survived_locked(p);
}

bool TxnWal::durable(WalPosition p) {
  std::scoped_lock lock(mu_);
  return survived_locked(p) && durable_offset_.load(std::memory_order_acquire) >= p.end;
}

Result<> TxnWal::flush_locked() {
  if (buf_.empty()) return {};
  if (auto r = write_file_locked(buf_); !r) return r;
  buf_.clear();
  return {};
}

// The buffered writer: copy into the buffer when the bytes fit its free room; otherwise flush
// and then buffer them if they are shorter than the buffer, or write them straight through.
Result<> TxnWal::write_locked(BytesView data) {
  if (buf_.size() + data.size() <= kWriteBufferSize) {
    buf_.append(data);
    return {};
  }
  if (auto r = flush_locked(); !r) return r;
  if (data.size() < kWriteBufferSize) {
    buf_.append(data);
    return {};
  }
  return write_file_locked(data);
}

Result<Bytes> TxnWal::encrypt_frame(BytesView body, std::uint64_t sequence) const {
  auto sealed = engine_->encrypt_with_aad(body, wal_frame_aad(db_uuid_, key_epoch_, sequence));
  if (!sealed) return fail(KavrelError::from(sealed.error()));
  Bytes frame;
  frame.reserve(4 + sealed->size());
  put_u32(frame, static_cast<std::uint32_t>(sealed->size()));
  frame.append(*sealed);
  return frame;
}

Result<std::uint64_t> TxnWal::append(const TxnWalEntry& entry) {
  std::scoped_lock lock(mu_);
  return append_locked(entry);
}

Result<std::uint64_t> TxnWal::append_durably(const TxnWalEntry& entry) {
  Result<std::uint64_t> lsn;
  WalPosition end;
  {
    std::scoped_lock lock(mu_);
    lsn = append_locked(entry);
    if (!lsn) return lsn;
    end = position_locked();
  }
  auto synced = sync();
  if (durable(end)) return lsn;
  return fail(synced ? cut_back_error() : std::move(synced.error()));
}

Result<std::uint64_t> TxnWal::append_locked(const TxnWalEntry& entry) {
  if (failed()) return fail(unusable_error());
  const bool sealed = encrypted();
  Bytes bytes;
  if (sealed) {
    auto frame = encrypt_frame(TxnWalEntry::body_bytes(entry),
                               frame_counter_.load(std::memory_order_relaxed));
    if (!frame) return fail(std::move(frame.error()));
    bytes = std::move(*frame);
  } else {
    bytes = TxnWalEntry::to_bytes(entry);
  }
  if (auto r = write_locked(bytes); !r) return fail(std::move(r.error()));
  if (sealed) frame_counter_.fetch_add(1, std::memory_order_release);
  return next_lsn_.fetch_add(1, std::memory_order_acq_rel);
}

Result<TxnWal::Appended> TxnWal::append_batch(const std::vector<TxnWalEntry>& entries,
                                              const std::vector<WalPosition>& after) {
  std::scoped_lock lock(mu_);
  if (failed()) return fail(unusable_error());
  const bool sealed = encrypted();
  std::uint64_t sequence = frame_counter_.load(std::memory_order_relaxed);
  std::uint64_t appended = 0;
  Appended out;
  Bytes bytes;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const TxnWalEntry& entry = entries[i];
    if (i < after.size() && !survived_locked(after[i])) {
      out.lost.push_back(i);
      continue;
    }
    ++appended;
    if (sealed) {
      auto frame = encrypt_frame(TxnWalEntry::body_bytes(entry), sequence++);
      if (!frame) return fail(std::move(frame.error()));
      bytes.append(*frame);
    } else {
      bytes.append(TxnWalEntry::to_bytes(entry));
    }
  }
  if (auto r = write_locked(bytes); !r) return fail(std::move(r.error()));
  if (sealed) frame_counter_.store(sequence, std::memory_order_release);
  next_lsn_.fetch_add(appended, std::memory_order_acq_rel);
  out.end = position_locked();
  return out;
}

Result<WalPosition> TxnWal::write_buffer(const TxnWalBuffer& buffer) {
  std::scoped_lock lock(mu_);
  if (failed()) return fail(unusable_error());
  if (buffer.buf.empty()) return position_locked();
  if (!encrypted()) {
    if (auto r = write_locked(buffer.buf); !r) return fail(std::move(r.error()));
    next_lsn_.fetch_add(buffer.count, std::memory_order_acq_rel);
    return position_locked();
  }
  // Every frame is sealed before any is written, so a damaged buffer or a sealing failure leaves
  // the log without a partial run of the transaction's records.
  const BytesView buf = buffer.buf;
  Bytes frames;
  frames.reserve(buf.size() + (buffer.count + 1) * EncryptionEngine::kOverhead);
  std::uint64_t sequence = frame_counter_.load(std::memory_order_relaxed);
  std::size_t pos = 0;
  while (buf.size() - pos >= 4) {
    const std::uint32_t len = get_u32(buf.data() + pos);
    if (len > buf.size() - pos - 4) {
      return fail(
          KavrelError::corruption("txn buffer truncated mid-record during encrypted flush"));
    }
    auto frame = encrypt_frame(buf.substr(pos + 4, len), sequence);
    if (!frame) return fail(std::move(frame.error()));
    frames.append(*frame);
    ++sequence;
    pos += 4 + static_cast<std::size_t>(len);
  }
  if (auto r = write_locked(frames); !r) return fail(std::move(r.error()));
  frame_counter_.store(sequence, std::memory_order_release);
  next_lsn_.fetch_add(buffer.count, std::memory_order_acq_rel);
  return position_locked();
}

Result<> TxnWal::sync() {
  std::scoped_lock sync_lock(sync_mu_);
  std::uint64_t target = 0;
  std::uint64_t lsn = 0;
  std::uint64_t frames = 0;
  std::size_t generation = 0;
  {
    std::scoped_lock lock(mu_);
    if (failed()) return fail(unusable_error());
    if (auto r = flush_locked(); !r) return r;
    target = file_end_;
    lsn = next_lsn_.load(std::memory_order_relaxed);
    frames = frame_counter_.load(std::memory_order_relaxed);
    generation = cuts_.size();
  }
  // The fsync runs without mu_: appends (the next commits' records) go into the buffer
  // meanwhile and are made durable by the next sync.
  // A data sync: with the file's room written ahead, no size or other metadata is due.
  if (durable_offset_.load(std::memory_order_acquire) < target && io::fdatasync(fd_.get()) != 0) {
    const KavrelError e = KavrelError::io(errno);
    std::scoped_lock lock(mu_);
    fail_locked(e);
    return fail(e);
  }
  // A failure while the fsync ran may have cut the file below target: report it, never success.
  std::scoped_lock lock(mu_);
  if (failed()) return fail(unusable_error());
  if (cuts_.size() != generation) return fail(cut_back_error());
  if (durable_offset_.load(std::memory_order_relaxed) < target) {
    durable_offset_.store(target, std::memory_order_release);
    durable_lsn_ = lsn;
    durable_frames_ = frames;
  }
  return {};
}

// ---------------------------------------------------------------------------------------------
// TxnWal: taking the log up after recovery

Result<> TxnWal::resume(const Resume& at) {
  std::scoped_lock sync_lock(sync_mu_);
  std::scoped_lock lock(mu_);
  if (failed()) return fail(unusable_error());
  // Records go on at the end of the last one, over the zeros written ahead of them.
  if (::lseek(fd_.get(), static_cast<off_t>(at.end), SEEK_SET) < 0) {
    return fail(KavrelError::io(errno));
  }
  allocated_end_ = at.file_size;
  file_end_ = at.end;
  durable_offset_.store(at.end, std::memory_order_release);
  durable_lsn_ = at.next_lsn;
  durable_frames_ = at.frames;
  next_lsn_.store(at.next_lsn, std::memory_order_release);
  frame_counter_.store(at.frames, std::memory_order_release);
  return {};
}

}  // namespace kavrel
