// Start-up replay of a log of 1,000,000 PUTs (16-byte keys, 100-byte values): seconds and peak
// memory of the replay, against a sequential read of the same file (the ceiling).
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>

#include "core/log.h"
#include "storage/database.h"

namespace {

using namespace kavrel;
constexpr int kPuts = 1'000'000;

std::string key_of(int i) { return fmt::format("key{:013}", i); }  // 16 bytes

void build_log(const std::string& dir) {
  auto db = *Database::open(dir);
  // Many writers so that group commit keeps the build quick.
  std::vector<std::thread> threads;
  constexpr int kThreads = 32;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const std::string value(100, 'v');
      for (int i = t; i < kPuts; i += kThreads) {
        auto txn = db->storage().begin_transaction();
        if (!txn || !db->storage().write_refs(*txn, key_of(i), value) || !db->commit(*txn)) {
          std::fprintf(stderr, "build failed\n");
          std::exit(1);
        }
      }
    });
  }
  for (auto& th : threads) th.join();
}

// Runs fn in a child process; returns (seconds, peak RSS in MiB) of the child.
template <class F>
std::pair<double, double> measure(F fn) {
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    fn();
    _exit(0);
  }
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  const double secs =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return {secs, static_cast<double>(usage.ru_maxrss) / 1024.0};
}

}  // namespace

int main() {
  log::install(log::Level::Warn, false);
  char tmpl[] = "/var/tmp/kvreplay.XXXXXX";
  const std::string dir = mkdtemp(tmpl);
  // Every phase runs in a child of this small process, so each peak is the phase's own.
  measure([&] { build_log(dir); });
  const auto log_path = std::filesystem::path(dir) / "wal.log";
  const double mib = static_cast<double>(std::filesystem::file_size(log_path)) / (1 << 20);

  const auto [read_secs, read_rss] = measure([&] {
    const int fd = ::open(log_path.c_str(), O_RDONLY);
    std::vector<char> buf(1 << 16);
    while (::read(fd, buf.data(), buf.size()) > 0) {
    }
  });
  const auto [replay_secs, replay_rss] = measure([&] {
    auto db = Database::open(dir);
    if (!db) _exit(1);
  });
  std::printf("log: %d PUTs, %.1f MiB\n", kPuts, mib);
  std::printf("sequential read: %.3f s (%.0f MiB/s), peak RSS %.1f MiB\n", read_secs,
              mib / read_secs, read_rss);
  std::printf("replay (open):   %.3f s (%.0f MiB/s), peak RSS %.1f MiB\n", replay_secs,
              mib / replay_secs, replay_rss);
  std::filesystem::remove_all(dir);
}
