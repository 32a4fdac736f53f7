// Memory held by the engine per live key (versions no snapshot can see are pruned as commits go),
// and a mixed read/update throughput figure.
//   updates: 1,000,000 updates spread over 1,000 keys
//   inserts: 1,000,000 inserts of distinct keys
//   restart: the database of the inserts case opened again by a new process (snapshot and log
//            replayed)
// Keys are 16 bytes, values 100 bytes. Each case runs in a child process; the figure is the
// growth of its resident set over the empty database (for restart: over the process before the
// open), divided by the live keys. The restart case also gives the growth before the allocator's
// free memory is handed back, which is what a process that never trims keeps.
#include <malloc.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>

#include "core/log.h"
#include "storage/database.h"

namespace {

using namespace kavrel;
constexpr int kThreads = 25;  // divides the 1,000 keys of the update case
constexpr int kOps = 1'000'000;

std::string key_of(std::uint64_t i) { return fmt::format("key{:013}", i); }

// Resident bytes, after handing the allocator's free memory back to the system so that the
// figure is what the engine holds rather than what the allocator keeps around (unless `trim` is
// false).
std::uint64_t rss_bytes(bool trim = true) {
  if (trim) malloc_trim(0);
  std::ifstream statm("/proc/self/statm");
  std::uint64_t size = 0, resident = 0;
  statm >> size >> resident;
  return resident * static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
}

bool put(Database& db, const std::string& key, const std::string& value) {
  auto t = db.storage().begin_transaction();
  return t && db.storage().write_refs(*t, key, value) && db.commit(*t);
}

// Thread t writes only the keys k with k % kThreads == t, so writers never conflict.
void run_writes(Database& db, std::uint64_t key_space) {
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const std::string value(100, 'v');
      const std::uint64_t own_keys = key_space / kThreads;
      for (std::uint64_t j = 0; j < kOps / kThreads; ++j) {
        const std::uint64_t slot = key_space == 0 ? j : j % own_keys;
        if (!put(db, key_of(static_cast<std::uint64_t>(t) + kThreads * slot), value)) {
          std::_Exit(3);
        }
      }
    });
  }
  for (auto& th : threads) th.join();
}

double mixed_ops_per_sec(Database& db) {
  std::atomic<bool> stop{false};
  std::atomic<std::uint64_t> ops{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937_64 rng(static_cast<std::uint64_t>(t));
      const std::string value(100, 'w');
      while (!stop.load(std::memory_order_relaxed)) {
        // Updates stay on this thread's own keys; reads go anywhere.
        const std::uint64_t k = rng() % 1000;
        if (rng() % 2 == 0) {
          if (!put(db, key_of(k - k % 4 + static_cast<std::uint64_t>(t)), value)) std::_Exit(4);
        } else {
          auto txn = db.storage().begin_transaction();
          if (!txn || !db.get(*txn, key_of(k)) || !db.storage().abort(*txn)) std::_Exit(5);
        }
        ops.fetch_add(1, std::memory_order_relaxed);
      }
    });
  }
  std::this_thread::sleep_for(std::chrono::seconds(3));
  stop = true;
  for (auto& th : threads) th.join();
  return static_cast<double>(ops.load()) / 3.0;
}

void run_case(const char* name, std::uint64_t key_space) {
  const pid_t pid = fork();
  if (pid == 0) {
    char tmpl[] = "/dev/shm/kvmem.XXXXXX";
    const std::string dir = mkdtemp(tmpl);
    auto db = *Database::open(dir);
    const std::uint64_t base = rss_bytes();
    run_writes(*db, key_space);
    const std::uint64_t grown = rss_bytes() - base;
    const std::uint64_t live = key_space == 0 ? kOps : key_space;
    std::string extra;
    if (key_space != 0)
      extra = fmt::format(", mixed read/update {:.0f} ops/s", mixed_ops_per_sec(*db));
    std::printf("%-8s: RSS +%.1f MiB, %.0f bytes per live key%s\n", name,
                static_cast<double>(grown) / (1 << 20),
                static_cast<double>(grown) / static_cast<double>(live), extra.c_str());
    std::fflush(stdout);
    db.reset();
    std::filesystem::remove_all(dir);
    _exit(0);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) std::printf("%s failed\n", name);
}

// Runs fn in a child process and waits for it.
template <class F>
void in_child(const char* name, F fn) {
  const pid_t pid = fork();
  if (pid == 0) {
    fn();
    _exit(0);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) std::printf("%s failed\n", name);
}

void run_restart_case() {
  char tmpl[] = "/dev/shm/kvmem.XXXXXX";
  const std::string dir = mkdtemp(tmpl);
  in_child("restart (writes)", [&] {
    auto db = *Database::open(dir);
    run_writes(*db, 0);
  });
  in_child("restart", [&] {
    const std::uint64_t base = rss_bytes();
    auto db = Database::open(dir);
    if (!db) std::_Exit(6);
    const std::uint64_t untrimmed = rss_bytes(false) - base;
    const std::uint64_t grown = rss_bytes() - base;
    std::printf(
        "restart : RSS +%.1f MiB, %.0f bytes per live key (untrimmed +%.1f MiB, %.0f "
        "bytes per live key)\n",
        static_cast<double>(grown) / (1 << 20), static_cast<double>(grown) / kOps,
        static_cast<double>(untrimmed) / (1 << 20), static_cast<double>(untrimmed) / kOps);
    std::fflush(stdout);
  });
  std::filesystem::remove_all(dir);
}

}  // namespace

int main() {
  log::install(log::Level::Warn, false);
  run_case("updates", 1000);
  run_case("inserts", 0);
  run_restart_case();
}
