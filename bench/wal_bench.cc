// Log record encoding and append throughput (plain and sealed), with a sync every 64 appends.
#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include <benchmark/benchmark.h>

#include "storage/internal/crypto/encryption.h"
#include "storage/internal/wal/txn_wal.h"
#include "storage/internal/wal/txn_wal_entry.h"

namespace kavrel {
namespace {

constexpr std::size_t kKeySize = 16;
constexpr int kAppendsPerSync = 64;

TxnWalEntry write_record(std::size_t value_size) {
  return TxnWalEntry{Bytes(kKeySize, 'k'), Bytes(value_size, 'v'), 42, ts_cache_now_us(),
                     static_cast<std::uint8_t>(WalRecordType::Write)};
}

// A scratch directory removed when the benchmark ends.
class ScratchDir {
 public:
  ScratchDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "kavrel-wal-bench.XXXXXX");
    if (::mkdtemp(tmpl.data()) != nullptr) path_ = tmpl;
  }
  ~ScratchDir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  [[nodiscard]] const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

void BM_RecordEncoding(benchmark::State& state) {
  const TxnWalEntry entry = write_record(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    Bytes bytes = TxnWalEntry::to_bytes(entry);
    benchmark::DoNotOptimize(bytes.data());
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() *
                          static_cast<std::int64_t>(kRecordOverhead + kKeySize + state.range(0)));
}
BENCHMARK(BM_RecordEncoding)->Arg(0)->Arg(100)->Arg(4096);

void BM_Append(benchmark::State& state, bool encrypted) {
  ScratchDir dir;
  std::shared_ptr<const EncryptionEngine> engine =
      encrypted ? std::make_shared<const EncryptionEngine>(EncryptionKey(Bytes(32, 'k')))
                : EncryptionEngine::disabled();
  auto wal = TxnWal::open(dir.path(), engine, {}, 0);
  if (!wal || !(*wal)->recover_state()) {
    state.SkipWithError("cannot open the log");
    return;
  }
  const TxnWalEntry entry = write_record(static_cast<std::size_t>(state.range(0)));
  int pending = 0;
  for (auto _ : state) {
    if (!(*wal)->append(entry)) {
      state.SkipWithError("append failed");
      break;
    }
    if (++pending == kAppendsPerSync) {
      pending = 0;
      if (!(*wal)->sync()) {
        state.SkipWithError("sync failed");
        break;
      }
    }
  }
  if (!(*wal)->sync()) state.SkipWithError("sync failed");
  const std::int64_t on_disk = static_cast<std::int64_t>(kRecordOverhead + kKeySize) +
                               state.range(0) + (encrypted ? EncryptionEngine::kOverhead : 0);
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * on_disk);
}
BENCHMARK_CAPTURE(BM_Append, plain, false)->Arg(100)->Arg(4096)->UseRealTime();
BENCHMARK_CAPTURE(BM_Append, encrypted, true)->Arg(100)->Arg(4096)->UseRealTime();

}  // namespace
}  // namespace kavrel

BENCHMARK_MAIN();
