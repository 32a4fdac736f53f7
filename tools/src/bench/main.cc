// kavrel-bench: a closed-loop load generator for a running kavrel-server.
#include <unistd.h>

#include <atomic>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>

#include <fmt/format.h>
#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include "tools/src/bench/load_generator.h"

namespace {

using namespace kavrel::bench;

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitUnreachable = 3;
constexpr std::uint64_t kDefaultRequests = 10000;
constexpr auto kProgressInterval = std::chrono::milliseconds(250);

constexpr const char* kFooter =
    R"(Each connection runs on its own thread and keeps up to --pipeline requests in flight,
sending the next as soon as an answer arrives. Without -n and -t it sends 10000 requests.
With both, it stops at whichever comes first. For txn, -n counts transactions (BEGIN_TXN and
COMMIT_TXN, two requests each). Latencies run from sending a request to reading its answer.
Exit status: 0 done, 1 a connection failed during the run, 2 usage error, 3 the server cannot
be reached.)";

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
      const std::uint64_t done = live_.done.load(std::memory_order_relaxed);
      const auto now = std::chrono::steady_clock::now();
      const double rate =
          static_cast<double>(done - last) / std::chrono::duration<double>(now - last_time).count();
      last = done;
      last_time = now;
      std::fprintf(stderr, "\r\033[K%s: %llu requests, %.0f ops/s, %llu errors", phase_,
                   static_cast<unsigned long long>(done), rate,
                   static_cast<unsigned long long>(live_.errors.load(std::memory_order_relaxed)));
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

double us(std::uint64_t ns) { return static_cast<double>(ns) / 1000.0; }

void print_text(const BenchConfig& c, const BenchResult& r) {
  std::string setup = fmt::format("{}: {} connection{}, pipeline {}, {} keys, {}-byte values",
                                  workload_name(c.workload), c.connections,
                                  c.connections == 1 ? "" : "s", c.pipeline, c.keys, c.value_size);
  if (c.workload == Workload::Mixed) setup += fmt::format(", {:.0f}% reads", c.ratio * 100);
  std::printf("%s\n", setup.c_str());
  const double rate = r.seconds > 0 ? static_cast<double>(r.requests) / r.seconds : 0;
  std::printf("  %llu requests in %.2f s: %.0f ops/s", static_cast<unsigned long long>(r.requests),
              r.seconds, rate);
  if (c.workload == Workload::Txn) {
    std::printf(" (%.0f transactions/s)", static_cast<double>(r.transactions) / r.seconds);
  }
  std::printf(", %llu errors\n", static_cast<unsigned long long>(r.errors));
  const auto& h = r.latency;
  std::printf("  latency (microseconds): p50 %.1f  p90 %.1f  p99 %.1f  p99.9 %.1f  max %.1f\n",
              us(h.percentile(0.5)), us(h.percentile(0.9)), us(h.percentile(0.99)),
              us(h.percentile(0.999)), us(h.max()));
  if (!r.first_error.empty()) std::printf("  first error: %s\n", r.first_error.c_str());
}

void print_json(const BenchConfig& c, const BenchResult& r) {
  const auto& h = r.latency;
  nlohmann::ordered_json j;
  j["workload"] = workload_name(c.workload);
  j["connections"] = c.connections;
  j["pipeline"] = c.pipeline;
  j["keys"] = c.keys;
  j["value_size"] = c.value_size;
  if (c.workload == Workload::Mixed) j["ratio"] = c.ratio;
  j["requests"] = r.requests;
  j["errors"] = r.errors;
  if (c.workload == Workload::Txn) j["transactions"] = r.transactions;
  j["seconds"] = r.seconds;
  j["ops_per_sec"] = r.seconds > 0 ? static_cast<double>(r.requests) / r.seconds : 0.0;
  j["latency_us"] = {{"p50", us(h.percentile(0.5))},
                     {"p90", us(h.percentile(0.9))},
                     {"p99", us(h.percentile(0.99))},
                     {"p99_9", us(h.percentile(0.999))},
                     {"max", us(h.max())},
                     {"mean", h.mean() / 1000.0}};
  if (!r.first_error.empty()) j["first_error"] = r.first_error;
  std::printf("%s\n", j.dump().c_str());
}

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
  BenchConfig config;
  CLI::App app{"Closed-loop load generator for kavrel-server", "kavrel-bench"};
  app.footer(kFooter);
  std::string db, workload = "put";
  std::uint64_t requests = 0;
  double seconds = 0;
  bool json = false, quiet = false, no_preload = false;
  auto* socket_opt = app.add_option("-s,--socket", config.socket,
                                    "The server's Unix socket (default: ./kavrel_data/kavrel.sock)")
                         ->type_name("SOCKET");
  auto* db_opt =
      app.add_option("-d,--db", db, "The database directory: its socket is DB/kavrel.sock")
          ->type_name("DB");
  app.add_option("-c,--connections", config.connections, "Connections, one thread each (default 1)")
      ->type_name("C");
  auto* n_opt = app.add_option("-n,--requests", requests,
                               "Requests in all (txn: transactions; default 10000)")
                    ->type_name("N");
  auto* t_opt = app.add_option("-t,--time", seconds, "Seconds to run")->type_name("SECONDS");
  app.add_option("--pipeline", config.pipeline, "Frames in flight per connection (default 1)")
      ->type_name("D");
  app.add_option("-w,--workload", workload, "put, get, mixed, scan or txn (default put)")
      ->type_name("W");
  app.add_option("--ratio", config.ratio, "mixed: the fraction of reads (default 0.8)")
      ->type_name("R");
  app.add_option("--keys", config.keys, "Key space (default 10000)")->type_name("N");
  app.add_option("--value-size", config.value_size, "Value bytes (default 100)")->type_name("B");
  app.add_option("--seed", config.seed, "Random seed (default 1)")->type_name("S");
  app.add_flag("--no-preload", no_preload,
               "get, mixed, scan: the keys are already there (from an earlier run)");
  app.add_flag("--json", json, "The summary as one JSON line");
  app.add_flag("-q,--quiet", quiet, "No progress line");
  try {
    app.parse(argc, argv);
    if (socket_opt->count() > 0 && db_opt->count() > 0) {
      throw CLI::ValidationError("give either -s SOCKET or -d DB, not both");
    }
    const auto w = parse_workload(workload);
    if (!w) throw CLI::ValidationError(fmt::format("unknown workload '{}'", workload));
    config.workload = *w;
    if (n_opt->count() > 0) config.requests = requests;
    if (t_opt->count() > 0) config.seconds = seconds;
    if (!config.requests && !config.seconds) config.requests = kDefaultRequests;
    if (db_opt->count() > 0) config.socket = (std::filesystem::path(db) / "kavrel.sock").string();
    if (const std::string problem = config.check(); !problem.empty()) {
      throw CLI::ValidationError(problem);
    }
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return app.exit(e);
    std::fprintf(stderr, "error: %s\nRun 'kavrel-bench --help' for the options.\n", e.what());
    return kExitUsage;
  }

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
  if (json) {
    print_json(config, result);
  } else {
    print_text(config, result);
  }
  return result.failure ? report_failure(result) : kExitOk;
}
