// EventDrivenGroupCommit: lets concurrent commits share one log sync.
//
// Committing threads queue their transaction ids; whichever thread finds the queue at least as
// long as the adaptive target, or finds no batch being written, or has waited 20 ms for its
// outcome, takes every queued commit (up to max_batch), hands them to the batch writer (which
// appends the Commit records and syncs once) and delivers the outcome to exactly that batch's
// waiters. When a batch ends with commits still queued, the first of their waiters is woken to
// write them at once. There is no background thread. Lock order: queue_mu_, then a slot's mutex.
//
// Commits that arrive while a batch is being written wait for it and then go out together. The
// target only lets a long queue start a batch beside the one being written: a committer never
// waits for arrivals that may not come. (Waiting for the target alone stalls every commit for the
// full 20 ms whenever fewer clients than the target are committing, and released waiters arrive
// in bursts that drive the arrival estimate up.)
//
// The target batch size follows n = sqrt(2 * lambda * t) clamped to [1, 1000], where lambda is a
// moving average of commit arrivals per second and t of the batch write-and-sync time. The
// averages use integer arithmetic with weight 100/1000 for the newest sample; concurrent updates
// may lose a sample, which only shifts an estimate.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/error.h"
#include "storage/internal/wal/txn_wal.h"

namespace kavrel {

class EventDrivenGroupCommit {
 public:
  // One commit of a batch: the transaction, where its records end in the log, and the outcome
  // the batch writer gives it (success unless it sets an error).
  struct Request {
    std::uint64_t txn_id = 0;
    WalPosition records;
    Result<> outcome;
  };
  // Writes and syncs one batch, setting the outcome of each request.
  using FlushFn = std::function<void(std::vector<Request>&)>;

  static constexpr std::uint64_t min_batch = 1;
  static constexpr std::uint64_t max_batch = 1000;
  static constexpr std::uint64_t max_wait_us = 10'000;  // a waiter flushes after twice this

  explicit EventDrivenGroupCommit(FlushFn flush_fn) : flush_fn_(std::move(flush_fn)) {}

  // Queues the commit of txn_id (its records end at `records`) and waits until its batch was
  // written and synced. Returns success when it is durable, else the error of its commit.
  Result<> submit_and_wait(std::uint64_t txn_id, WalPosition records);
  // Writes and syncs one batch from the front of the queue; does nothing when it is empty.
  void flush_batch();

  std::uint64_t target_batch() const { return target_batch_.load(std::memory_order_relaxed); }
  std::uint64_t arrival_rate() const { return arrival_rate_.load(std::memory_order_relaxed); }
  std::uint64_t fsync_latency_us() const {
    return fsync_latency_us_.load(std::memory_order_relaxed);
  }
  // For tests and benchmarks: pin the target (0 = adaptive), and the queue's length.
  void force_target(std::uint64_t target) { forced_target_.store(target); }
  std::size_t queued() {
    std::scoped_lock lock(queue_mu_);
    return queue_.size();
  }

 private:
  // A waiting commit's rendezvous; it lives on the committing thread's stack (no allocation per
  // commit). Whoever flushes the commit sets done under mu; the committer returns only after
  // seeing it under mu, so a flusher never touches a slot whose commit has returned. The lead
  // flag is set while queue_mu_ is held and the commit is still queued, which keeps it alive.
  struct Slot {
    std::mutex mu;
    std::condition_variable cv;
    bool done = false;  // guarded by mu
    bool lead = false;  // guarded by mu: write the queued commits now
    Result<> outcome;   // guarded by mu
  };
  struct PendingCommit {
    Request request;
    Slot* slot;
  };

  std::uint64_t compute_target();
  void record_arrival();

  FlushFn flush_fn_;
  std::mutex queue_mu_;
  std::deque<PendingCommit> queue_;  // guarded by queue_mu_
  int flushing_ = 0;                 // guarded by queue_mu_: batches being written
  std::atomic<std::uint64_t> target_batch_{10};
  std::atomic<std::uint64_t> arrival_rate_{100'000};  // arrivals per 1,000 s
  std::atomic<std::uint64_t> fsync_latency_us_{5'000};
  std::atomic<std::uint64_t> last_arrival_us_{0};
  std::atomic<std::uint64_t> forced_target_{0};
};

}  // namespace kavrel
