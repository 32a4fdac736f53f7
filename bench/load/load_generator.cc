#include "bench/load/load_generator.h"

#include <charconv>
#include <chrono>
#include <deque>
#include <latch>
#include <memory>
#include <random>
#include <thread>

#include <fmt/format.h>

#include "core/text.h"

namespace kavrel::bench {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint64_t kKeyDigits = 10;
constexpr std::uint64_t kMaxKeys = 10'000'000'000ULL;  // 10 digits
constexpr std::size_t kKeySize = 6 + kKeyDigits;       // "bench:" + digits
constexpr std::size_t kScanWidth = 100;                // keys under one scan prefix at most
// Frames in flight one way that surely fit the socket buffers (the kernel's default is ~208 KiB).
constexpr std::size_t kSafeInFlightBytes = 64 * 1024;
constexpr unsigned kPreloadMinConnections = 16;
constexpr unsigned kPreloadMaxConnections = 64;
constexpr unsigned kPreloadPipeline = 4;

std::uint64_t now_ns() {
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
          .count());
}

// Which requests a worker may still start: a shared count of tickets (-n) and/or a deadline
// (-t). A follow-up frame (the COMMIT of a begun transaction) needs no ticket.
struct Budget {
  std::atomic<std::int64_t> tickets{INT64_MAX};
  std::optional<Clock::time_point> deadline;

  bool take() {
    if (deadline && Clock::now() >= *deadline) return false;
    return tickets.fetch_sub(1, std::memory_order_relaxed) > 0;
  }
};

// What one worker sends, and what it makes of the answers.
class FrameSource {
 public:
  FrameSource(const BenchConfig& config, unsigned index, Budget& budget,
              std::atomic<std::uint64_t>* preload_next)
      : config_(config),
        budget_(budget),
        preload_next_(preload_next),
        rng_(config.seed * 0x9E3779B97F4A7C15ULL + index),
        keys_(0, config.keys - 1),
        value_(config.value_size, 'x') {
    for (auto& c : value_) c = static_cast<char>('a' + rng_() % 26);
  }

  // The next frame to send, or nullopt when this worker is done starting requests.
  std::optional<Message> next() {
    if (!followups_.empty()) {
      Message m = std::move(followups_.front());
      followups_.pop_front();
      return m;
    }
    if (preload_next_ != nullptr) {
      const std::uint64_t k = preload_next_->fetch_add(1, std::memory_order_relaxed);
      if (k >= config_.keys) return std::nullopt;
      if (config_.workload == Workload::Transfer) {
        return Message{opcode::PUT, encode_put(bench_key(k), kStartBalance)};
      }
      return Message{opcode::PUT, encode_put(bench_key(k), value_)};
    }
    if (retry_) {
      retry_ = false;
      ++retries_;
      return Message{opcode::BEGIN_TXN, {}};
    }
    if (!budget_.take()) return std::nullopt;
    switch (config_.workload) {
      case Workload::Put: return Message{opcode::PUT, encode_put(random_key(), value_)};
      case Workload::Get: return Message{opcode::GET, random_key()};
      case Workload::Mixed:
        if (std::uniform_real_distribution<double>(0, 1)(rng_) < config_.ratio) {
          return Message{opcode::GET, random_key()};
        }
        return Message{opcode::PUT, encode_put(random_key(), value_)};
      case Workload::Scan: {
        std::string prefix = random_key();
        prefix.resize(prefix.size() - 2);
        return Message{opcode::SCAN, std::move(prefix)};
      }
      case Workload::Txn: return Message{opcode::BEGIN_TXN, {}};
      case Workload::Ping:
      case Workload::Connect: return Message{opcode::PING, {}};
      case Workload::Transfer: {
        from_ = keys_(rng_);
        do {
          to_ = keys_(rng_);
        } while (to_ == from_ && config_.keys > 1);
        amount_ = static_cast<std::int64_t>(rng_() % 100);
        return Message{opcode::BEGIN_TXN, {}};
      }
    }
    return std::nullopt;
  }

  // True when the answer is the expected success; queues the COMMIT after a BEGIN.
  bool on_answer(std::uint8_t sent, const Message& answer) {
    switch (sent) {
      case opcode::PUT: return answer.opcode == response::OK;
      case opcode::GET:
      case opcode::SCAN: return answer.opcode == response::VALUE;
      case opcode::PING: return answer.opcode == response::PONG;
      case opcode::BEGIN_TXN:
        if (answer.opcode != response::TXN_ID || answer.payload.size() != 8) return false;
        if (config_.workload == Workload::Transfer) {
          handle_ = answer.payload;
          step_ = 0;
          followups_.push_back(inside(opcode::GET, bench_key(from_)));
          return true;
        }
        followups_.push_back(Message{opcode::COMMIT_TXN, answer.payload});
        return true;
      case opcode::IN_TXN: return on_transfer_step(answer);
      case opcode::ABORT_TXN: return true;  // OK, or already ended by the server: both end it
      case opcode::COMMIT_TXN:
        if (answer.opcode == response::TXN_ID) {
          ++transactions_;
          return true;
        }
        if (config_.workload == Workload::Transfer && is_conflict(answer)) {
          ++aborts_;  // refused by validation; the handle is gone
          retry_ = true;
          return true;
        }
        return false;
      default: return false;  // the generator sends no other request
    }
  }

  [[nodiscard]] std::uint64_t transactions() const { return transactions_; }
  [[nodiscard]] std::uint64_t aborts() const { return aborts_; }
  [[nodiscard]] std::uint64_t retries() const { return retries_; }

 private:
  static constexpr const char* kStartBalance = "1000";

  Message inside(std::uint8_t op, BytesView payload) const {
    Bytes out = handle_;
    out.push_back(static_cast<char>(op));
    out.append(payload);
    return Message{opcode::IN_TXN, std::move(out)};
  }

  static bool is_conflict(const Message& answer) {
    if (answer.opcode != response::ERROR) return false;
    const std::string_view text = answer.payload;
    return text.find("retry from BEGIN_TXN") != std::string_view::npos ||
           text.find("serialization conflict") != std::string_view::npos;
  }

  static std::int64_t balance(BytesView text) {
    std::int64_t v = 0;
    std::from_chars(text.data(), text.data() + text.size(), v);
    return v;
  }

  // One answer inside a transfer: read from, read to, write from, write to, then commit.
  bool on_transfer_step(const Message& answer) {
    if (answer.opcode == response::ERROR) {
      if (!is_conflict(answer)) return false;
      ++aborts_;  // the server aborted it already: the steps still queued are dropped
      followups_.clear();
      retry_ = true;
      return true;
    }
    switch (step_++) {
      case 0:
        from_balance_ = balance(answer.payload);
        followups_.push_back(inside(opcode::GET, bench_key(to_)));
        return answer.opcode == response::VALUE;
      case 1: {
        const std::int64_t to_balance = balance(answer.payload);
        followups_.push_back(inside(
            opcode::PUT, encode_put(bench_key(from_), std::to_string(from_balance_ - amount_))));
        followups_.push_back(
            inside(opcode::PUT, encode_put(bench_key(to_), std::to_string(to_balance + amount_))));
        return answer.opcode == response::VALUE;
      }
      case 2: return answer.opcode == response::OK;
      default:
        followups_.push_back(Message{opcode::COMMIT_TXN, handle_});
        return answer.opcode == response::OK;
    }
  }

  std::string random_key() { return bench_key(keys_(rng_)); }

  const BenchConfig& config_;
  Budget& budget_;
  std::atomic<std::uint64_t>* preload_next_;
  std::mt19937_64 rng_;
  std::uniform_int_distribution<std::uint64_t> keys_;
  Bytes value_;
  std::deque<Message> followups_;
  std::uint64_t transactions_ = 0;
  // transfer: the running transaction's handle (8 bytes), accounts, amount and step
  Bytes handle_;
  std::uint64_t from_ = 0, to_ = 0;
  std::int64_t amount_ = 0, from_balance_ = 0;
  unsigned step_ = 0;
  bool retry_ = false;
  std::uint64_t aborts_ = 0, retries_ = 0;
};

struct WorkerResult {
  LatencyHistogram latency, commit_latency;
  std::uint64_t requests = 0, errors = 0;
  std::string first_error;
  std::optional<std::string> failure;
};

std::string describe_answer(const Message& m) {
  if (m.opcode == response::ERROR) return utf8_lossy(m.payload);
  return fmt::format("unexpected answer {:#x} ({} bytes)", m.opcode, m.payload.size());
}

// The closed loop of one connection: it tops the pipeline up, sends what it queued in one go,
// then takes every answer that has arrived before topping up again.
void run_worker(BenchConnection& conn, FrameSource& source, unsigned depth, LiveCounters& live,
                WorkerResult& out) {
  struct InFlight {
    std::uint64_t sent_ns;
    std::uint8_t op;
  };
  std::deque<InFlight> in_flight;
  for (;;) {
    const std::size_t before = in_flight.size();
    const std::uint64_t t = now_ns();
    while (in_flight.size() < depth) {
      auto m = source.next();
      if (!m) break;
      if (auto queued = conn.queue(*m); !queued) {
        out.failure = queued.error();
        return;
      }
      in_flight.push_back({t, m->opcode});
    }
    if (in_flight.size() > before) {
      if (auto sent = conn.flush(); !sent) {
        out.failure = sent.error();
        return;
      }
    }
    if (in_flight.empty()) return;
    do {
      auto answer = conn.read();
      const std::uint64_t done_ns = now_ns();
      if (!answer) {
        out.failure = answer.error();
        return;
      }
      const InFlight done = in_flight.front();
      in_flight.pop_front();
      out.latency.record(done_ns - done.sent_ns);
      if (done.op == opcode::COMMIT_TXN) out.commit_latency.record(done_ns - done.sent_ns);
      ++out.requests;
      live.done.fetch_add(1, std::memory_order_relaxed);
      if (!source.on_answer(done.op, *answer)) {
        ++out.errors;
        live.errors.fetch_add(1, std::memory_order_relaxed);
        if (out.first_error.empty()) out.first_error = describe_answer(*answer);
      }
    } while (!in_flight.empty() && conn.answer_buffered());
  }
}

// The connect workload: each request is a new connection (connect, handshake, login), one PING
// and the close.
void run_connect_worker(const Target& target, FrameSource& source, LiveCounters& live,
                        WorkerResult& out) {
  while (auto ping = source.next()) {
    const std::uint64_t start = now_ns();
    auto conn = BenchConnection::connect(target);
    if (!conn) {
      out.failure = conn.error();
      return;
    }
    auto answer = (*conn)->call(*ping);
    if (!answer) {
      out.failure = answer.error();
      return;
    }
    conn->reset();
    out.latency.record(now_ns() - start);
    ++out.requests;
    live.done.fetch_add(1, std::memory_order_relaxed);
    if (!source.on_answer(ping->opcode, *answer)) {
      ++out.errors;
      live.errors.fetch_add(1, std::memory_order_relaxed);
      if (out.first_error.empty()) out.first_error = describe_answer(*answer);
    }
  }
}

// Connects `connections` clients, runs one worker each from the same start, and merges.
BenchResult run_workers(const BenchConfig& config, unsigned connections, unsigned depth,
                        Budget& budget, std::atomic<std::uint64_t>* preload_next,
                        std::optional<double> seconds, LiveCounters& live) {
  BenchResult result;
  std::vector<std::unique_ptr<BenchConnection>> clients;
  clients.reserve(connections);
  // The connect workload's workers connect for each request; the others once, here.
  const bool connect_each = config.workload == Workload::Connect && preload_next == nullptr;
  for (unsigned i = 0; i < (connect_each ? 1u : connections); ++i) {
    auto c = BenchConnection::connect(config.target);
    if (!c) {
      result.failure = fmt::format("cannot reach the server at {}: {}",
                                   debug_quote(config.target.where()), c.error());
      result.unreachable = i == 0;
      return result;
    }
    if (!connect_each) clients.push_back(std::move(*c));
  }
  std::vector<std::unique_ptr<FrameSource>> sources;
  for (unsigned i = 0; i < connections; ++i) {
    sources.push_back(std::make_unique<FrameSource>(config, i, budget, preload_next));
  }
  std::vector<WorkerResult> results(connections);
  std::latch ready(static_cast<std::ptrdiff_t>(connections) + 1);
  std::vector<std::thread> threads;
  for (unsigned i = 0; i < connections; ++i) {
    threads.emplace_back([&, i] {
      ready.arrive_and_wait();
      if (connect_each) {
        run_connect_worker(config.target, *sources[i], live, results[i]);
      } else {
        run_worker(*clients[i], *sources[i], depth, live, results[i]);
      }
    });
  }
  const auto start = Clock::now();
  if (seconds) {
    budget.deadline = start + std::chrono::duration_cast<Clock::duration>(
                                  std::chrono::duration<double>(*seconds));
  }
  ready.arrive_and_wait();
  for (auto& t : threads) t.join();
  result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  for (unsigned i = 0; i < connections; ++i) {
    const WorkerResult& r = results[i];
    result.latency.merge(r.latency);
    result.commit_latency.merge(r.commit_latency);
    result.requests += r.requests;
    result.errors += r.errors;
    result.transactions += sources[i]->transactions();
    result.aborts += sources[i]->aborts();
    result.retries += sources[i]->retries();
    if (result.first_error.empty()) result.first_error = r.first_error;
    if (r.failure && !result.failure) {
      result.failure = fmt::format("connection {} failed: {}", i + 1, *r.failure);
    }
  }
  return result;
}

}  // namespace

const char* workload_name(Workload w) {
  switch (w) {
    case Workload::Put: return "put";
    case Workload::Get: return "get";
    case Workload::Mixed: return "mixed";
    case Workload::Scan: return "scan";
    case Workload::Txn: return "txn";
    case Workload::Transfer: return "transfer";
    case Workload::Ping: return "ping";
    case Workload::Connect: return "connect";
  }
  return "?";
}

std::optional<Workload> parse_workload(const std::string& name) {
  for (const Workload w : {Workload::Put, Workload::Get, Workload::Mixed, Workload::Scan,
                           Workload::Txn, Workload::Transfer, Workload::Ping, Workload::Connect}) {
    if (name == workload_name(w)) return w;
  }
  return std::nullopt;
}

std::string bench_key(std::uint64_t i) { return fmt::format("bench:{:010}", i); }

std::string BenchConfig::check() const {
  if (connections < 1 || connections > 1000) return "-c must be from 1 to 1000";
  if (pipeline < 1 || pipeline > 4096) return "--pipeline must be from 1 to 4096";
  if (keys < 1 || keys > kMaxKeys) return fmt::format("--keys must be from 1 to {}", kMaxKeys);
  if (!(ratio >= 0.0 && ratio <= 1.0)) return "--ratio must be from 0 to 1";
  if (requests && *requests == 0) return "-n must be at least 1";
  if (seconds && !(*seconds > 0.0)) return "-t must be above 0";
  if (target.protocol == Protocol::Resp && workload != Workload::Put && workload != Workload::Get &&
      workload != Workload::Mixed && workload != Workload::Ping && workload != Workload::Connect) {
    return fmt::format("the {} workload needs --protocol kavrel", workload_name(workload));
  }
  const std::size_t max_value = MAX_MESSAGE_SIZE - 4 - kKeySize;
  if (value_size > max_value) return fmt::format("--value-size must be at most {}", max_value);
  // A connection blocks in send only when the server is not reading, and the server stops
  // reading only while its answers are not read: a deadlock needs both directions full.
  std::size_t request = 0, answer = 0;
  const std::size_t put = FRAME_HEADER_SIZE + 4 + kKeySize + value_size;
  switch (workload) {
    case Workload::Put: request = put, answer = FRAME_HEADER_SIZE; break;
    case Workload::Get: request = FRAME_HEADER_SIZE + kKeySize, answer = put; break;
    case Workload::Mixed: request = put, answer = put; break;
    case Workload::Scan:
      request = FRAME_HEADER_SIZE + kKeySize;
      answer = FRAME_HEADER_SIZE + 4 + kScanWidth * (2 + kKeySize + 4 + value_size);
      break;
    case Workload::Txn: request = answer = FRAME_HEADER_SIZE + 8; break;
    case Workload::Ping:
    case Workload::Connect: request = answer = FRAME_HEADER_SIZE; break;
    case Workload::Transfer:
      // Each step needs the answer of the one before.
      if (pipeline > 1) return "--pipeline must be 1 with the transfer workload";
      if (keys < 2) return "--keys must be at least 2 with the transfer workload";
      break;
  }
  if (pipeline > 1 && pipeline * request > kSafeInFlightBytes &&
      pipeline * answer > kSafeInFlightBytes) {
    return fmt::format(
        "--pipeline {} with --value-size {} could fill the socket buffers both ways; lower one "
        "of them",
        pipeline, value_size);
  }
  return {};
}

BenchResult preload(const BenchConfig& config, LiveCounters& live) {
  const unsigned connections = static_cast<unsigned>(std::min<std::uint64_t>(
      config.keys, std::clamp(config.connections, kPreloadMinConnections, kPreloadMaxConnections)));
  Budget budget;
  std::atomic<std::uint64_t> next{0};
  return run_workers(config, connections, kPreloadPipeline, budget, &next, std::nullopt, live);
}

BenchResult run_load(const BenchConfig& config, LiveCounters& live) {
  Budget budget;
  if (config.requests) {
    budget.tickets =
        static_cast<std::int64_t>(std::min<std::uint64_t>(*config.requests, INT64_MAX));
  }
  return run_workers(config, config.connections, config.pipeline, budget, nullptr, config.seconds,
                     live);
}

}  // namespace kavrel::bench
