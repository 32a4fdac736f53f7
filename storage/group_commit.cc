#include "storage/group_commit.h"

#include <algorithm>
#include <chrono>
#include <cmath>

namespace kavrel {
namespace {
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

std::optional<std::string> EventDrivenGroupCommit::submit_and_wait(std::uint64_t txn_id) {
  record_arrival();
  auto slot = std::make_shared<Slot>();
  bool flush_now;
  {
    std::scoped_lock lock(queue_mu_);
    queue_.push_back({txn_id, slot});
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
  return slot->error;
}

void EventDrivenGroupCommit::flush_batch() {
  std::vector<PendingCommit> batch;
  {
    std::scoped_lock lock(queue_mu_);
    if (queue_.empty()) return;
    const std::uint64_t target = compute_target();
    const std::size_t n = std::min<std::size_t>(queue_.size(), target);
    batch.assign(std::make_move_iterator(queue_.begin()),
                 std::make_move_iterator(queue_.begin() + static_cast<std::ptrdiff_t>(n)));
    queue_.erase(queue_.begin(), queue_.begin() + static_cast<std::ptrdiff_t>(n));
    ++flushing_;
  }
  std::vector<std::uint64_t> ids;
  ids.reserve(batch.size());
  for (const PendingCommit& p : batch) ids.push_back(p.txn_id);

  const auto start = std::chrono::steady_clock::now();
  const std::optional<std::string> error = flush_fn_(ids);
  const auto elapsed = std::chrono::duration_cast<std::chrono::microseconds>(
                           std::chrono::steady_clock::now() - start)
                           .count();
  const std::uint64_t sample = elapsed < 0 ? 0 : static_cast<std::uint64_t>(elapsed);
  const std::uint64_t old = fsync_latency_us_.load(std::memory_order_relaxed);
  fsync_latency_us_.store((100 * sample + 900 * old) / 1000, std::memory_order_relaxed);

  for (PendingCommit& p : batch) {
    std::scoped_lock lock(p.slot->mu);
    p.slot->done = true;
    p.slot->error = error;
    p.slot->cv.notify_one();
  }

  // Commits that queued up meanwhile go out now, written by the first of their waiters.
  std::shared_ptr<Slot> next;
  {
    std::scoped_lock lock(queue_mu_);
    --flushing_;
    if (flushing_ == 0 && !queue_.empty()) next = queue_.front().slot;
  }
  if (next) {
    std::scoped_lock lock(next->mu);
    next->lead = true;
    next->cv.notify_one();
  }
}

}  // namespace kavrel
