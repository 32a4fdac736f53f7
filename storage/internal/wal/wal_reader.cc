#include "storage/internal/wal/wal_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "storage/internal/io/file_io.h"

namespace kavrel {

WalReader::WalReader(UniqueFd fd, std::uint64_t file_size,
                     std::shared_ptr<const EncryptionEngine> engine,
                     std::array<std::uint8_t, 16> db_uuid, std::uint32_t key_epoch,
                     std::uint8_t domain)
    : fd_(std::move(fd)),
      file_size_(file_size),
      engine_(std::move(engine)),
      db_uuid_(db_uuid),
      key_epoch_(key_epoch),
      domain_(domain),
      buf_(std::make_unique_for_overwrite<char[]>(kBufferSize)) {}

Result<WalReader> WalReader::open(const std::filesystem::path& path,
                                  std::shared_ptr<const EncryptionEngine> engine,
                                  std::array<std::uint8_t, 16> db_uuid, std::uint32_t key_epoch,
                                  std::uint8_t domain) {
  UniqueFd fd(io::open_existing(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return fail(KavrelError::io(errno));
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return fail(KavrelError::io(errno));
  if (!engine) engine = EncryptionEngine::disabled();
  return WalReader(std::move(fd), static_cast<std::uint64_t>(st.st_size), std::move(engine),
                   db_uuid, key_epoch, domain);
}

Result<WalRead> WalReader::next() {
  const std::uint64_t at = good_offset_;
  auto entry = read_next();
  if (entry) return WalRead{WalRead::Kind::Record, *entry, at, std::nullopt};
  KavrelError& err = entry.error();
  if (err.kind() == KavrelError::Kind::Io && err.os_error() != 0) return fail(std::move(err));
  // No record is all zeros: zeros from here to the end are room written ahead, not damage.
  if (good_offset_ < file_size_ && zeros_from(good_offset_)) {
    zero_tail_ = true;
    return WalRead{WalRead::Kind::CleanEnd, {}, good_offset_, std::nullopt};
  }
  if (err.is_unexpected_eof()) {
    const auto kind = good_offset_ < file_size_ ? WalRead::Kind::TornTail : WalRead::Kind::CleanEnd;
    return WalRead{kind, {}, good_offset_, std::nullopt};
  }
  return WalRead{WalRead::Kind::Damaged, {}, good_offset_, std::move(err)};
}

Result<TxnWalEntryView> WalReader::read_view() {
  auto read = next();
  if (!read) return fail(std::move(read.error()));
  switch (read->kind) {
    case WalRead::Kind::Record: return read->record;
    case WalRead::Kind::CleanEnd:
    case WalRead::Kind::TornTail: return fail(KavrelError::unexpected_eof());
    case WalRead::Kind::Damaged: break;
  }
  return fail(std::move(*read->damage));
}

Result<TxnWalEntry> WalReader::read_record() {
  auto view = read_view();
  if (!view) return fail(std::move(view.error()));
  return TxnWalEntry::from_view(*view);
}

Result<> WalReader::read_exact(char* dst, std::size_t n) {
  while (n > 0) {
    if (pos_ == len_) {
      // Large reads bypass the buffer; small ones refill it.
      char* target = n >= kBufferSize ? dst : buf_.get();
      const std::size_t cap = n >= kBufferSize ? n : kBufferSize;
      const ssize_t got = io::read(fd_.get(), target, cap);
      if (got < 0) {
        if (errno == EINTR) continue;
        return fail(KavrelError::io(errno));
      }
      if (got == 0) return fail(KavrelError::unexpected_eof());
      if (target == dst) {
        dst += got;
        n -= static_cast<std::size_t>(got);
        consumed_ += static_cast<std::uint64_t>(got);
        continue;
      }
      pos_ = 0;
      len_ = static_cast<std::size_t>(got);
    }
    const std::size_t take = std::min(n, len_ - pos_);
    std::copy_n(buf_.get() + pos_, take, dst);
    pos_ += take;
    dst += take;
    n -= take;
    consumed_ += take;
  }
  return {};
}

Result<BytesView> WalReader::read_body(std::size_t n) {
  if (len_ - pos_ >= n) {
    const BytesView in_place(buf_.get() + pos_, n);
    pos_ += n;
    consumed_ += n;
    return in_place;
  }
  constexpr std::size_t kFirstChunk = 65'536;
  scratch_.clear();
  std::size_t have = 0;
  while (have < n) {
    const std::size_t want = std::min(n, std::max(have * 2, kFirstChunk));
    scratch_.resize(want);
    if (auto r = read_exact(scratch_.data() + have, want - have); !r) {
      return fail(std::move(r.error()));
    }
    have = want;
  }
  return BytesView(scratch_);
}

bool WalReader::zeros_from(std::uint64_t offset) const {
  std::vector<char> chunk(64 * 1024);
  while (offset < file_size_) {
    const auto n =
        static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), file_size_ - offset));
    if (io::pread(fd_.get(), chunk.data(), n, static_cast<off_t>(offset)) !=
        static_cast<ssize_t>(n)) {
      return false;
    }
    if (std::any_of(chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(n),
                    [](char c) { return c != 0; })) {
      return false;
    }
    offset += n;
  }
  return true;
}

bool WalReader::later_frame_opens() const {
  if (!encrypted()) return false;
  // A length past the end of the file is checked before any storage is taken for it: a damaged
  // length field must not cost the memory it names.
  const auto read_at = [&](std::uint64_t at, std::size_t n, Bytes& out) {
    if (at + n > file_size_) return false;
    out.resize(n);
    return io::pread(fd_.get(), out.data(), n, static_cast<off_t>(at)) == static_cast<ssize_t>(n);
  };
  std::uint64_t offset = good_offset_;
  std::uint64_t sequence = records_;
  Bytes len_bytes;
  Bytes sealed;
  bool first = true;  // the damaged frame itself
  while (read_at(offset, 4, len_bytes)) {
    const std::uint32_t len = get_u32(len_bytes.data());
    if (len > kMaxWalEntrySize || !read_at(offset + 4, len, sealed)) return false;
    if (!first &&
        engine_->decrypt_with_aad(sealed, wal_frame_aad(db_uuid_, key_epoch_, sequence, domain_))) {
      return true;
    }
    first = false;
    offset += 4 + static_cast<std::uint64_t>(len);
    ++sequence;
  }
  return false;
}

Result<TxnWalEntryView> WalReader::read_next() {
  char len_bytes[4];
  if (auto r = read_exact(len_bytes, sizeof len_bytes); !r) return fail(std::move(r.error()));
  const std::uint32_t n = get_u32(len_bytes);
  Result<TxnWalEntryView> entry;
  if (!engine_->enabled()) {
    if (n < kBodyOverhead) return fail(KavrelError::corruption("WAL entry too short"));
    if (n > kMaxWalEntrySize) {
      return fail(KavrelError::corruption(
          fmt::format("WAL entry length {} exceeds maximum {}", n, kMaxWalEntrySize)));
    }
    auto body = read_body(n);
    if (!body) return fail(std::move(body.error()));
    entry = TxnWalEntry::view_body(*body);
    // A damaged length that still covers a whole record would swallow the records after it
    // (the decoder ignores bytes past the checksum); every record this log writes is exact.
    if (entry && kBodyOverhead + entry->key.size() + entry->value.size() != n) {
      return fail(KavrelError::corruption(
          fmt::format("WAL entry length {} does not match its contents", n)));
    }
  } else {
    if (n > kMaxWalEntrySize) {
      return fail(KavrelError::corruption(
          fmt::format("encrypted WAL frame length {} exceeds maximum {}", n, kMaxWalEntrySize)));
    }
    auto sealed = read_body(n);
    if (!sealed) return fail(std::move(sealed.error()));
    auto plain =
        engine_->decrypt_with_aad(*sealed, wal_frame_aad(db_uuid_, key_epoch_, records_, domain_));
    if (!plain) return fail(KavrelError::from(plain.error()));
    plain_ = std::move(*plain);
    entry = TxnWalEntry::view_body(plain_);
  }
  if (!entry) return entry;
  ++records_;
  good_offset_ = consumed_;
  return entry;
}

}  // namespace kavrel
