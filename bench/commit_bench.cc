// Commits per second and fsyncs per commit with several committing threads on a real file,
// through the writers queue (commits that arrive during a sync share the next one).
#include <atomic>
#include <cstdlib>
#include <memory>
#include <string>

#include <benchmark/benchmark.h>

#include "storage/database.h"
#include "storage/internal/io/file_io.h"

namespace kavrel {
namespace {

std::shared_ptr<Database> g_db;
std::string g_dir;
std::atomic<std::uint64_t> g_commits{0};
std::uint64_t g_fsyncs_before = 0;

void BM_Commit(benchmark::State& state) {
  if (state.thread_index() == 0) {
    char tmpl[] = "/var/tmp/kvcommit.XXXXXX";
    g_dir = mkdtemp(tmpl);
    g_db = *Database::open(g_dir);
    g_commits = 0;
    g_fsyncs_before = io::fsync_count();
  }
  std::uint64_t i = 0;
  const std::string prefix = "t" + std::to_string(state.thread_index()) + "/";
  for (auto _ : state) {
    const std::string key = prefix + std::to_string(i++ % 1000);
    auto t = g_db->storage().begin_transaction();
    if (!t || !g_db->storage().write_refs(*t, key, std::string(100, 'v')) || !g_db->commit(*t)) {
      state.SkipWithError("commit failed");
      break;
    }
    g_commits.fetch_add(1, std::memory_order_relaxed);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));  // commits/s
  if (state.thread_index() == 0) {
    const double commits = static_cast<double>(g_commits.load());
    state.counters["fsyncs_per_commit"] =
        commits > 0 ? static_cast<double>(io::fsync_count() - g_fsyncs_before) / commits : 0;
    g_db.reset();
    std::filesystem::remove_all(g_dir);
  }
}
BENCHMARK(BM_Commit)->Threads(1)->Threads(4)->Threads(16)->Threads(64)->UseRealTime()->MinTime(1.0);

}  // namespace
}  // namespace kavrel

BENCHMARK_MAIN();
