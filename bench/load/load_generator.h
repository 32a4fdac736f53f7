// kavrel-bench's closed-loop load: one thread and one connection per client, each keeping up to
// `pipeline` request frames in flight and sending the next one as soon as an answer arrives.
// The latency of a request runs from just before its frame is sent to the moment its answer has
// been read, per frame also when frames are pipelined.
//
// Keys are "bench:" followed by a 10-digit number below `keys`; values are `value_size` bytes.
// Workloads: put (PUT of a random key), get (GET of a random key, after a preload that writes
// every key), mixed (GET with probability `ratio`, else PUT, after the preload), scan (SCAN of a
// random key's prefix without its last two digits, so up to 100 keys, after the preload) and
// txn (BEGIN_TXN, then COMMIT_TXN of the handle it returned; both frames count as requests) and
// transfer (after a preload that sets every account to 1000: BEGIN_TXN, then inside it GET of two
// random accounts, PUT of both with an amount moved from one to the other, then COMMIT_TXN; a
// transaction aborted by a conflict is aborted, counted and retried with the same accounts) and
// ping (PING) and connect (a new connection for each request: the connect, the TLS handshake
// and the login when given, one PING, the close; its latency is the whole of that).
//
// With the RESP protocol the same load goes to a RESP server: PUT as SET, GET as GET, PING as
// PING (workloads put, get, mixed and ping); see bench_connection.h.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "bench/load/bench_connection.h"
#include "bench/load/latency_histogram.h"

namespace kavrel::bench {

enum class Workload { Put, Get, Mixed, Scan, Txn, Transfer, Ping, Connect };

const char* workload_name(Workload w);
std::optional<Workload> parse_workload(const std::string& name);

struct BenchConfig {
  Target target;
  unsigned connections = 1;
  std::optional<std::uint64_t> requests;  // -n: requests in all (txn: transactions)
  std::optional<double> seconds;          // -t: run time
  unsigned pipeline = 1;
  Workload workload = Workload::Put;
  double ratio = 0.8;  // mixed: the fraction of reads
  std::uint64_t keys = 10000;
  std::size_t value_size = 100;
  std::uint64_t seed = 1;

  // Empty when the settings can run, else what is wrong (a usage error).
  std::string check() const;
  bool needs_preload() const {
    return workload != Workload::Put && workload != Workload::Txn && workload != Workload::Ping &&
           workload != Workload::Connect;
  }
};

// The key for number i.
std::string bench_key(std::uint64_t i);

// Counters the workers update while they run, read by the progress line.
struct LiveCounters {
  std::atomic<std::uint64_t> done{0};
  std::atomic<std::uint64_t> errors{0};
};

struct BenchResult {
  std::uint64_t requests = 0;
  std::uint64_t errors = 0;        // ERROR answers (and unexpected ones)
  std::uint64_t transactions = 0;  // txn, transfer: committed handles
  std::uint64_t aborts = 0;        // transfer: transactions aborted by a conflict
  std::uint64_t retries = 0;       // transfer: transactions begun again after an abort
  double seconds = 0;
  LatencyHistogram latency;
  LatencyHistogram commit_latency;  // txn, transfer: of the COMMIT_TXN requests alone
  std::string first_error;          // the text of the first ERROR answer, for the summary
  // A connection that failed (could not connect, or lost mid-run): the run is incomplete.
  std::optional<std::string> failure;
  bool unreachable = false;  // the failure was the first connect
};

// Writes every key once with `connections` (at least 16) connections; live counts the keys.
BenchResult preload(const BenchConfig& config, LiveCounters& live);

// Runs the workload to its end (-n requests or -t seconds).
BenchResult run_load(const BenchConfig& config, LiveCounters& live);

}  // namespace kavrel::bench
