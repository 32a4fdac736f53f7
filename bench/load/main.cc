// kavrel-bench: a closed-loop load generator for a running kavrel-server.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench/load/load_generator.h"
#include "bench/load/options.h"

namespace {

using namespace kavrel::bench;

constexpr auto kProgressInterval = std::chrono::milliseconds(250);

// The live line on standard error: requests done and the rate over the last interval.
class Progress {
 public:
  Progress(const char* phase, const LiveCounters& live, bool enabled) : phase_(phase), live_(live) {
    if (enabled) thread_ = std::thread([this] { loop(); });
  }
  ~Progress() {
    if (!thread_.joinable()) return;
    {
      std::scoped_lock lock(mu_);
      stop_ = true;
    }
    cv_.notify_all();
    thread_.join();
    std::fputs("\r\033[K", stderr);  // the line is cleared for the summary
  }
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

 private:
  void loop() {
    std::unique_lock lock(mu_);
    std::uint64_t last = 0;
    auto last_time = std::chrono::steady_clock::now();
    while (!cv_.wait_for(lock, kProgressInterval, [this] { return stop_; })) {
      // The rate counts successful requests, as the summary does.
      const std::uint64_t errors = live_.errors.load(std::memory_order_relaxed);
      const std::uint64_t total = live_.done.load(std::memory_order_relaxed);
      const std::uint64_t done = total >= errors ? total - errors : 0;
      const auto now = std::chrono::steady_clock::now();
      const double rate =
          static_cast<double>(done - last) / std::chrono::duration<double>(now - last_time).count();
      last = done;
      last_time = now;
      std::fprintf(stderr, "\r\033[K%s: %llu requests, %.0f ops/s, %llu errors", phase_,
                   static_cast<unsigned long long>(total), rate,
                   static_cast<unsigned long long>(errors));
      std::fflush(stderr);
    }
  }

  const char* phase_;
  const LiveCounters& live_;
  std::mutex mu_;
  std::condition_variable cv_;
  bool stop_ = false;  // guarded by mu_
  std::thread thread_;
};

int report_failure(const BenchResult& r) {
  if (r.unreachable) {
    std::fprintf(stderr, "error: %s (is kavrel-server running? start it with `make run`)\n",
                 r.failure->c_str());
    return kExitUnreachable;
  }
  std::fprintf(stderr, "error: %s\n", r.failure->c_str());
  return kExitFailed;
}

}  // namespace

int main(int argc, char** argv) {
  const BenchParse parsed = parse_bench_args(std::vector<std::string>(argv + 1, argv + argc));
  std::fputs(parsed.out.c_str(), stdout);
  std::fputs(parsed.err.c_str(), stderr);
  if (!parsed.options) return parsed.status;
  const BenchConfig& config = parsed.options->config;
  const bool quiet = parsed.options->quiet, no_preload = parsed.options->no_preload;

  const bool progress = !quiet && ::isatty(STDERR_FILENO) == 1;
  if (config.needs_preload() && !no_preload) {
    LiveCounters live;
    BenchResult pre;
    {
      Progress p("preload", live, progress);
      pre = preload(config, live);
    }
    if (pre.failure) return report_failure(pre);
    if (pre.errors > 0) {
      std::fprintf(stderr, "warning: %llu preload writes failed (first: %s)\n",
                   static_cast<unsigned long long>(pre.errors), pre.first_error.c_str());
    }
  }
  LiveCounters live;
  BenchResult result;
  {
    Progress p(workload_name(config.workload), live, progress);
    result = run_load(config, live);
  }
  if (result.failure && (result.unreachable || result.requests == 0)) {
    return report_failure(result);
  }
  switch (parsed.options->format) {
    case OutputFormat::Text: std::fputs(summary_text(config, result).c_str(), stdout); break;
    case OutputFormat::Json: std::fputs(summary_json(config, result).c_str(), stdout); break;
    case OutputFormat::Csv: std::fputs(summary_csv(config, result).c_str(), stdout); break;
  }
  return result.failure ? report_failure(result) : kExitOk;
}
