#include "storage/group_commit.h"

#include <algorithm>
#include <chrono>
#include <cmath>

namespace kavrel {
namespace {
// The steady clock: a wall clock set back would stall the estimate, set forward inflate it.
std::uint64_t steady_micros() {
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                        std::chrono::steady_clock::now().time_since_epoch())
                                        .count());
}
}  // namespace

std::uint64_t EventDrivenGroupCommit::compute_target() {
  std::uint64_t target = forced_target_.load(std::memory_order_relaxed);
  if (target == 0) {
    const double lambda =
        static_cast<double>(arrival_rate_.load(std::memory_order_relaxed)) / 1000.0;
    const double t = static_cast<double>(fsync_latency_us_.load(std::memory_order_relaxed)) / 1e6;
    const auto n = static_cast<std::uint64_t>(std::sqrt(2.0 * lambda * t));
    target = std::min(max_batch, std::max(n, min_batch));
  }
  target_batch_.store(target, std::memory_order_relaxed);
  return target;
}

void EventDrivenGroupCommit::record_arrival() {
  const std::uint64_t now = steady_micros();
  const std::uint64_t prev = last_arrival_us_.exchange(now);
  if (prev != 0 && prev < now) {
    const std::uint64_t sample = 1'000'000'000ull / (now - prev);
    const std::uint64_t old = arrival_rate_.load(std::memory_order_relaxed);
    arrival_rate_.store((100 * sample + 900 * old) / 1000, std::memory_order_relaxed);
  }
}

Result<> EventDrivenGroupCommit::submit_and_wait(std::uint64_t txn_id, WalPosition records) {
  record_arrival();
  Slot own;
  Slot* const slot = &own;
  bool flush_now;
  {
    std::scoped_lock lock(queue_mu_);
    queue_.push_back({Request{txn_id, records, {}}, slot});
    const std::uint64_t target = compute_target();
    flush_now = queue_.size() >= target || flushing_ == 0;
  }
  if (flush_now) flush_batch();

  std::unique_lock lock(slot->mu);
  while (!slot->done) {
    slot->cv.wait_for(lock, std::chrono::microseconds(2 * max_wait_us),
                      [&] { return slot->done || slot->lead; });
    if (slot->done) break;
    // Handed the lead by a finished batch, or nobody flushed our entry in time: write what is
    // queued ourselves. The slot lock is dropped meanwhile, since a flush delivers outcomes
    // under slot locks.
    slot->lead = false;
    lock.unlock();
    flush_batch();
    lock.lock();
  }
  return std::move(slot->outcome);
}

void EventDrivenGroupCommit::flush_batch() {
  std::vector<PendingCommit> batch;
  {
    std::scoped_lock lock(queue_mu_);
    if (queue_.empty()) return;
    // Everything queued goes out with one sync; a batch cut at the target would leave the rest
    // to a sync of its own.
    const std::size_t n = std::min<std::size_t>(queue_.size(), max_batch);
    batch.assign(std::make_move_iterator(queue_.begin()),
                 std::make_move_iterator(queue_.begin() + static_cast<std::ptrdiff_t>(n)));
    queue_.erase(queue_.begin(), queue_.begin() + static_cast<std::ptrdiff_t>(n));
    ++flushing_;
  }
  std::vector<Request> requests;
  requests.reserve(batch.size());
  for (PendingCommit& p : batch) requests.push_back(std::move(p.request));

  const auto start = std::chrono::steady_clock::now();
  flush_fn_(requests);
  const auto elapsed = std::chrono::duration_cast<std::chrono::microseconds>(
                           std::chrono::steady_clock::now() - start)
                           .count();
  const std::uint64_t sample = elapsed < 0 ? 0 : static_cast<std::uint64_t>(elapsed);
  const std::uint64_t old = fsync_latency_us_.load(std::memory_order_relaxed);
  fsync_latency_us_.store((100 * sample + 900 * old) / 1000, std::memory_order_relaxed);

  for (std::size_t i = 0; i < batch.size(); ++i) {
    Slot& slot = *batch[i].slot;
    std::scoped_lock lock(slot.mu);
    slot.done = true;
    slot.outcome = std::move(requests[i].outcome);
    slot.cv.notify_one();
  }

  // Commits that queued up meanwhile go out now, written by the first of their waiters. It is
  // told while queue_mu_ is held: once its commit leaves the queue (a waiter that timed out may
  // flush it) it may return at any moment.
  std::scoped_lock lock(queue_mu_);
  --flushing_;
  if (flushing_ == 0 && !queue_.empty()) {
    Slot& next = *queue_.front().slot;
    std::scoped_lock next_lock(next.mu);
    next.lead = true;
    next.cv.notify_one();
  }
}

}  // namespace kavrel
