// Memtable write+commit and point lookups (1 and 2 threads), prefix ranges of the ordered
// index, and the SSI bloom filter's insert and may_contain.
#include <atomic>
#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "storage/internal/mvcc/bloom_filter.h"
#include "storage/internal/mvcc/deferred_index.h"
#include "storage/internal/mvcc/memtable.h"

namespace kavrel {
namespace {

constexpr std::size_t kKeysPerThread = 1 << 16;
constexpr std::size_t kLookupKeys = 100'000;

std::string key_of(std::size_t thread, std::size_t i) {
  return "user/" + std::to_string(thread) + "/" + std::to_string(i);
}

std::shared_ptr<MvccMemTable> g_table;
std::atomic<std::uint64_t> g_next_ts{1};

// One transaction per iteration: a pending put, then its commit with an idle horizon (so each
// chain is pruned back to one version).
void BM_MemtableWriteCommit(benchmark::State& state) {
  if (state.thread_index() == 0) g_table = std::make_shared<MvccMemTable>();
  const std::size_t thread = static_cast<std::size_t>(state.thread_index());
  std::vector<std::string> keys;
  for (std::size_t i = 0; i < kKeysPerThread; ++i) keys.push_back(key_of(thread, i));
  const std::string value(100, 'v');
  KeySet write_set;
  std::uint64_t txn = (thread + 1) << 40;
  std::size_t i = 0;
  for (auto _ : state) {
    const std::string& key = keys[i++ % kKeysPerThread];
    if (!g_table->write(key, BytesView(value), ++txn)) state.SkipWithError("write refused");
    write_set.clear();
    write_set.insert(key);
    const std::uint64_t ts = g_next_ts.fetch_add(1);
    g_table->commit(txn, ts, write_set, ts + 1);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_MemtableWriteCommit)->Threads(1)->Threads(2)->UseRealTime();

void BM_MemtableLookup(benchmark::State& state) {
  if (state.thread_index() == 0) {
    g_table = std::make_shared<MvccMemTable>();
    KeySet all;
    for (std::size_t i = 0; i < kLookupKeys; ++i) {
      const std::string key = key_of(0, i);
      if (!g_table->write(key, "value-of-some-length", 1)) state.SkipWithError("prefill");
      all.insert(key);
    }
    g_table->commit(1, 1, all);
  }
  std::vector<std::string> keys;
  for (std::size_t i = 0; i < kLookupKeys; ++i) keys.push_back(key_of(0, i));
  std::mt19937_64 rng(static_cast<std::uint64_t>(state.thread_index()));
  for (auto _ : state) {
    benchmark::DoNotOptimize(g_table->visible(keys[rng() % kLookupKeys], 99, 2));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_MemtableLookup)->Threads(1)->Threads(2)->UseRealTime();

// A narrow prefix over a large index: the whole tail (range_from) against the prefix only.
void index_with_keys(DeferredSortedIndex& index) {
  for (std::size_t i = 0; i < kLookupKeys; ++i) index.insert(key_of(i % 100, i));
  index.compact();
}

void BM_IndexRangeFromTail(benchmark::State& state) {
  DeferredSortedIndex index;
  index_with_keys(index);
  for (auto _ : state) {
    std::size_t n = 0;
    for (const Bytes& k : index.range_from("user/1/")) {
      if (!k.starts_with("user/1/")) break;
      ++n;
    }
    benchmark::DoNotOptimize(n);
  }
}
BENCHMARK(BM_IndexRangeFromTail);

void BM_IndexRangePrefix(benchmark::State& state) {
  DeferredSortedIndex index;
  index_with_keys(index);
  for (auto _ : state) benchmark::DoNotOptimize(index.range_prefix("user/1/").size());
}
BENCHMARK(BM_IndexRangePrefix);

std::vector<std::string> bloom_keys(std::size_t n, const char* tag) {
  std::vector<std::string> keys;
  for (std::size_t i = 0; i < n; ++i) keys.push_back(std::string(tag) + std::to_string(i));
  return keys;
}

void BM_BloomInsert(benchmark::State& state) {
  const auto keys = bloom_keys(64, "key/");
  SsiBloomFilter filter;
  std::size_t i = 0;
  for (auto _ : state) {
    if (i % 64 == 0) filter = SsiBloomFilter();  // a fresh transaction's filter every 64 keys
    filter.insert(keys[i++ % 64]);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_BloomInsert);

void BM_BloomMayContain(benchmark::State& state) {
  const auto in = bloom_keys(64, "key/");
  const auto out = bloom_keys(64, "absent/");
  SsiBloomFilter filter;
  for (const auto& k : in) filter.insert(k);
  std::size_t i = 0;
  for (auto _ : state) {
    const auto& k = (i & 1) ? in[(i >> 1) % 64] : out[(i >> 1) % 64];
    ++i;
    benchmark::DoNotOptimize(filter.may_contain(k));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_BloomMayContain);

}  // namespace
}  // namespace kavrel

BENCHMARK_MAIN();
