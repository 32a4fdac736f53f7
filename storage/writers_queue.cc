#include "storage/writers_queue.h"

#include <algorithm>
#include <utility>
#include <vector>

namespace kavrel {

bool WritersQueue::submit(WriteRequest& request) {
  std::scoped_lock lock(mu_);
  queue_.push_back(&request);
  return !std::exchange(leading_, true);
}

void WritersQueue::lead() {
  std::vector<WriteRequest*> batch;
  {
    std::scoped_lock lock(mu_);
    const std::size_t n = std::min(queue_.size(), kMaxBatch);
    batch.assign(queue_.begin(), queue_.begin() + static_cast<std::ptrdiff_t>(n));
    queue_.erase(queue_.begin(), queue_.begin() + static_cast<std::ptrdiff_t>(n));
  }
  if (!batch.empty()) commit_batch_(batch);
  // The next batch starts before this one's writers are told: they need a core each, and its
  // sync need not wait for them. The request told to lead is queued, so it is alive.
  WriteRequest* next = nullptr;
  {
    std::scoped_lock lock(mu_);
    if (queue_.empty()) {
      leading_ = false;
    } else {
      next = queue_.front();
    }
  }
  if (next != nullptr) next->lead();
  for (WriteRequest* r : batch) r->done();
}

void WaitingRequest::submit_and_wait(WritersQueue& queue) {
  bool leader = queue.submit(*this);
  for (;;) {
    // A leader's own request is queued, so the batch it commits includes it.
    if (leader) queue.lead();
    std::unique_lock lock(mu_);
    cv_.wait(lock, [&] { return done_ || lead_; });
    if (done_) return;
    lead_ = false;
    leader = true;
  }
}

// Both are set and notified under mu_, and the waiter returns only after seeing done_ under mu_:
// the leader never touches a request whose submitter has returned.
void WaitingRequest::done() {
  std::scoped_lock lock(mu_);
  done_ = true;
  cv_.notify_one();
}

void WaitingRequest::lead() {
  std::scoped_lock lock(mu_);
  lead_ = true;
  cv_.notify_one();
}

}  // namespace kavrel
