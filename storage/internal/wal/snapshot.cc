#include "storage/internal/wal/snapshot.h"

#include <cerrno>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

#include <fmt/format.h>

#include "storage/internal/io/file_io.h"
#include "storage/internal/io/fs_util.h"
#include "storage/internal/wal/wal_frame.h"

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

Result<SnapshotWritten> write_snapshot(const std::filesystem::path& dir,
                                       const SnapshotSealing& sealing,
                                       const SnapshotContents& contents) {
  constexpr std::size_t kFlushAt = 1 << 20;
  SnapshotWritten written;
  std::optional<KavrelError> failure;  // a failure that is not the file's own
  const auto write = [&](int fd) -> int {
    Bytes out;
    std::uint64_t ordinal = 0;
    const auto put = [&](const TxnWalEntry& entry) -> int {
      if (auto r = append(out, sealing, ordinal, entry); !r) {
        failure = std::move(r.error());
        return ECANCELED;
      }
      if (out.size() < kFlushAt) return 0;
      written.bytes += out.size();
      const int err = io::write_all(fd, out.data(), out.size());
      out.clear();
      return err;
    };
    int err =
        put(record(WalRecordType::SnapshotStart, kMagic, u64_bytes(contents.next_generation)));
    for (const auto& [name, schema] : contents.schemas) {
      if (err == 0) err = put(record(WalRecordType::Schema, name, schema));
    }
    for (const auto& [name, user] : contents.users) {
      if (err == 0) err = put(record(WalRecordType::User, name, user));
    }
    std::vector<std::pair<Bytes, Bytes>> chunk;
    while (err == 0) {
      chunk.clear();
      if (auto r = contents.entries(chunk); !r) {
        failure = std::move(r.error());
        return ECANCELED;
      }
      if (chunk.empty()) break;
      for (auto& [key, value] : chunk) {
        if (err == 0) err = put(record(WalRecordType::Write, std::move(key), std::move(value)));
        ++written.keys;
      }
    }
    if (err == 0) err = put(record(WalRecordType::SnapshotEnd, {}, u64_bytes(written.keys)));
    if (err != 0) return err;
    written.bytes += out.size();
    return io::write_all(fd, out.data(), out.size());
  };
  auto published = publish_file_with(dir, kSnapshotFileName, write, PublishMode::Replace);
  if (failure) return fail(std::move(*failure));
  if (!published) return fail(KavrelError::io(published.error().err));
  return written;
}

Result<std::optional<SnapshotFile>> open_snapshot(const std::filesystem::path& dir,
                                                  const SnapshotSealing& sealing) {
  std::error_code ec;
  if (!std::filesystem::exists(dir / kSnapshotFileName, ec)) return std::optional<SnapshotFile>();
  auto reader = open_reader(dir, sealing);
  if (!reader) return fail(std::move(reader.error()));
  auto generation = read_start(*reader);
  if (!generation) return fail(std::move(generation.error()));
  return std::optional<SnapshotFile>(SnapshotFile(std::move(*reader), *generation));
}

namespace {

// Records copied out of the reader: each record's key and then its value, back to back.
struct RecordBatch {
  struct Item {
    std::uint8_t type;
    std::uint32_t key_size;
    std::uint32_t value_size;
  };
  static constexpr std::size_t kBytes = 1 << 20;

  Bytes bytes;
  std::vector<Item> items;

  void add(const TxnWalEntryView& e) {
    bytes.append(e.key);
    bytes.append(e.value);
    items.push_back({e.record_type, static_cast<std::uint32_t>(e.key.size()),
                     static_cast<std::uint32_t>(e.value.size())});
  }
  bool full() const { return bytes.size() >= kBytes; }
};

// The hand-over between the thread that reads the snapshot and the one that applies it: at most
// kDepth batches wait, and applied batches go back to the reader to be filled again, so memory
// stays a few megabytes whatever the file's size and nothing is allocated once they are in use.
class BatchQueue {
 public:
  static constexpr std::size_t kDepth = 4;

  // Reader: an empty batch, reusing an applied one's storage when there is one.
  RecordBatch empty_batch() {
    std::scoped_lock lock(mu_);
    if (spare_.empty()) return {};
    RecordBatch batch = std::move(spare_.back());
    spare_.pop_back();
    return batch;
  }
  // Applier: hands an applied batch back for reuse.
  void recycle(RecordBatch batch) {
    batch.bytes.clear();
    batch.items.clear();
    std::scoped_lock lock(mu_);
    spare_.push_back(std::move(batch));
  }

  // Reader: queues a batch; false once the applier has stopped.
  bool push(RecordBatch batch) {
    std::unique_lock lock(mu_);
    room_.wait(lock, [&] { return queue_.size() < kDepth || stopped_; });
    if (stopped_) return false;
    queue_.push_back(std::move(batch));
    ready_.notify_one();
    return true;
  }
  // Reader: the file has been read, to its end or to its first fault.
  void finish(Result<SnapshotInfo> outcome) {
    std::scoped_lock lock(mu_);
    outcome_ = std::move(outcome);
    ready_.notify_one();
  }
  // Applier: the next batch, or nullopt once the reader has finished and every batch was taken.
  std::optional<RecordBatch> pop() {
    std::unique_lock lock(mu_);
    ready_.wait(lock, [&] { return !queue_.empty() || outcome_.has_value(); });
    if (queue_.empty()) return std::nullopt;
    RecordBatch batch = std::move(queue_.front());
    queue_.pop_front();
    room_.notify_one();
    return batch;
  }
  // Applier: takes no more batches (the reader stops at its next push).
  void stop() {
    std::scoped_lock lock(mu_);
    stopped_ = true;
    room_.notify_one();
  }
  // After the reader has finished.
  Result<SnapshotInfo> outcome() {
    std::scoped_lock lock(mu_);
    return std::move(*outcome_);
  }

 private:
  std::mutex mu_;
  std::condition_variable ready_;
  std::condition_variable room_;
  std::deque<RecordBatch> queue_;                // guarded by mu_
  std::vector<RecordBatch> spare_;               // guarded by mu_: applied, to be filled again
  std::optional<Result<SnapshotInfo>> outcome_;  // guarded by mu_
  bool stopped_ = false;                         // guarded by mu_
};

// Reads the records after the start record, checks them and queues every Schema, User and Write.
Result<SnapshotInfo> read_records(WalReader& reader, SnapshotInfo info, BatchQueue& queue) {
  Bytes last_key;  // of the previous Write record
  RecordBatch batch = queue.empty_batch();
  for (;;) {
    auto entry = reader.read_view();
    if (!entry) {
      // The log's tail rules do not apply: the file was published whole, so any end before its
      // last record is damage.
      return fail(damaged(entry.error().is_unexpected_eof() ? "it ends before its last record"
                                                            : entry.error().message()));
    }
    switch (static_cast<WalRecordType>(entry->record_type)) {
      case WalRecordType::Write:
        if (info.keys != 0 && entry->key <= BytesView(last_key)) {
          return fail(damaged("its keys are out of order"));
        }
        last_key.assign(entry->key);
        ++info.keys;
        [[fallthrough]];
      case WalRecordType::Schema:
      case WalRecordType::User:
        batch.add(*entry);
        if (batch.full()) {
          if (!queue.push(std::move(batch))) return info;
          batch = queue.empty_batch();
        }
        break;
      case WalRecordType::SnapshotEnd:
        if (entry->value.size() != 8 || get_u64(entry->value.data()) != info.keys) {
          return fail(damaged("its record count does not match"));
        }
        if (reader.bytes_read() != reader.file_size()) {
          return fail(damaged("bytes follow its last record"));
        }
        if (!batch.items.empty()) queue.push(std::move(batch));
        return info;
      default: return fail(damaged(fmt::format("unexpected record type {}", entry->record_type)));
    }
  }
}

}  // namespace

Result<std::optional<SnapshotInfo>> load_snapshot(
    const std::filesystem::path& dir, const SnapshotSealing& sealing,
    const std::function<Result<>(const TxnWalEntryView&)>& each) {
  auto file = open_snapshot(dir, sealing);
  if (!file) return fail(std::move(file.error()));
  if (!*file) return std::optional<SnapshotInfo>();
  auto loaded = load_snapshot(std::move(**file), each);
  if (!loaded) return fail(std::move(loaded.error()));
  return std::optional<SnapshotInfo>(*loaded);
}

Result<SnapshotInfo> load_snapshot(SnapshotFile file,
                                   const std::function<Result<>(const TxnWalEntryView&)>& each) {
  WalReader& reader = file.reader_;
  // A second thread reads and checks the file while this one applies what it has read.
  BatchQueue queue;
  std::thread read_ahead([&, info = SnapshotInfo{file.next_generation_, 0, reader.file_size()}] {
    queue.finish(read_records(reader, info, queue));
  });
  Result<> applied;
  while (auto batch = queue.pop()) {
    std::size_t at = 0;
    for (const RecordBatch::Item& item : batch->items) {
      TxnWalEntryView view;
      view.record_type = item.type;
      view.key = BytesView(batch->bytes).substr(at, item.key_size);
      view.value = BytesView(batch->bytes).substr(at + item.key_size, item.value_size);
      at += item.key_size + item.value_size;
      applied = each(view);
      if (!applied) break;
    }
    if (!applied) {
      queue.stop();
      break;
    }
    queue.recycle(std::move(*batch));
  }
  read_ahead.join();
  // A record the caller refused comes before whatever the reader met after it.
  if (!applied) return fail(std::move(applied.error()));
  return queue.outcome();
}

}  // namespace kavrel
