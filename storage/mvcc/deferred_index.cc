#include "storage/mvcc/deferred_index.h"

#include <algorithm>
#include <iterator>
#include <utility>

namespace kavrel {
namespace {

void sort_unique(std::vector<Bytes>& keys) {
  std::sort(keys.begin(), keys.end());
  keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
}

// Merges two ascending duplicate-free lists into one, leaving out the keys of `drop` (ascending).
// The elements of `old_sorted` are moved from.
std::vector<Bytes> merge_lists(std::vector<Bytes>& old_sorted, std::vector<Bytes>& batch,
                               const std::vector<Bytes>& drop) {
  std::vector<Bytes> out;
  out.reserve(old_sorted.size() + batch.size());
  auto d = drop.begin();
  auto emit = [&](Bytes&& key) {
    while (d != drop.end() && *d < key) ++d;
    if (d != drop.end() && *d == key) return;
    out.push_back(std::move(key));
  };
  auto a = old_sorted.begin();
  auto b = batch.begin();
  while (a != old_sorted.end() && b != batch.end()) {
    if (*a < *b) {
      emit(std::move(*a++));
    } else if (*b < *a) {
      emit(std::move(*b++));
    } else {
      emit(std::move(*a++));
      ++b;
    }
  }
  for (; a != old_sorted.end(); ++a) emit(std::move(*a));
  for (; b != batch.end(); ++b) emit(std::move(*b));
  return out;
}

}  // namespace

DeferredSortedIndex::DeferredSortedIndex() { pending_.reserve(kPendingReserve); }

DeferredSortedIndex::DeferredSortedIndex(LivenessCheck is_live) : is_live_(std::move(is_live)) {
  pending_.reserve(kPendingReserve);
}

bool DeferredSortedIndex::insert(BytesView key) {
  Bytes copy(key);
  std::size_t len;
  {
    std::unique_lock lock(pending_mu_);
    pending_.push_back(std::move(copy));
    len = pending_.size();
  }
  if (len < kCompactThreshold) return false;
  needs_compact_.store(true, std::memory_order_release);
  return len >= sorted_count_.load(std::memory_order_relaxed);
}

void DeferredSortedIndex::try_compact() {
  std::unique_lock lock(compact_mu_, std::try_to_lock);
  if (lock.owns_lock()) compact_locked();
}

void DeferredSortedIndex::remove_keys(std::vector<Bytes> keys) {
  if (!is_live_ || keys.empty()) return;
  std::scoped_lock lock(candidates_mu_);
  if (candidates_.empty()) {
    candidates_ = std::move(keys);
  } else {
    candidates_.insert(candidates_.end(), std::make_move_iterator(keys.begin()),
                       std::make_move_iterator(keys.end()));
  }
}

void DeferredSortedIndex::compact() {
  std::scoped_lock lock(compact_mu_);
  compact_locked();
}

void DeferredSortedIndex::compact_locked() {
  std::vector<Bytes> batch;
  {
    std::unique_lock lock(pending_mu_);
    batch.swap(pending_);
  }
  bool has_candidates;
  {
    std::scoped_lock lock(candidates_mu_);
    has_candidates = !candidates_.empty();
  }
  if (batch.empty() && !has_candidates) return;
  sort_unique(batch);  // no lock of the index held
  const std::vector<Bytes> drop = take_removals(batch);

  std::unique_lock lock(sorted_mu_);
  if (sorted_.empty()) {
    sorted_ = std::move(batch);  // the dropped keys were not in the batch
  } else {
    sorted_ = merge_lists(sorted_, batch, drop);
  }
  sorted_count_.store(sorted_.size(), std::memory_order_relaxed);
  needs_compact_.store(false, std::memory_order_release);
  compactions_.fetch_add(1, std::memory_order_relaxed);
}

std::vector<Bytes> DeferredSortedIndex::take_removals(const std::vector<Bytes>& batch) {
  std::vector<Bytes> candidates;
  {
    std::scoped_lock lock(candidates_mu_);
    candidates.swap(candidates_);
  }
  if (candidates.empty()) return {};
  sort_unique(candidates);
  std::vector<Bytes> drop, retry;
  for (Bytes& key : candidates) {
    if (is_live_(key)) continue;  // re-created since: it stays
    // A key in the batch may belong to a writer that appended it and has not created its data
    // yet; its pending entry is consumed by this merge, so the key must stay. Check it again at
    // the next compaction.
    if (std::binary_search(batch.begin(), batch.end(), key)) {
      retry.push_back(std::move(key));
    } else {
      drop.push_back(std::move(key));
    }
  }
  if (!retry.empty()) remove_keys(std::move(retry));
  return drop;
}

std::vector<Bytes> DeferredSortedIndex::range_from(BytesView start) {
  compact();
  std::shared_lock lock(sorted_mu_);
  const auto first = std::lower_bound(sorted_.begin(), sorted_.end(), start,
                                      [](const Bytes& a, BytesView b) { return BytesView(a) < b; });
  return std::vector<Bytes>(first, sorted_.end());
}

std::vector<Bytes> DeferredSortedIndex::range_prefix(BytesView prefix) {
  compact();
  std::shared_lock lock(sorted_mu_);
  auto it = std::lower_bound(sorted_.begin(), sorted_.end(), prefix,
                             [](const Bytes& a, BytesView b) { return BytesView(a) < b; });
  std::vector<Bytes> out;
  for (; it != sorted_.end() && it->starts_with(prefix); ++it) out.push_back(*it);
  return out;
}

std::size_t DeferredSortedIndex::pending_size() const {
  std::shared_lock lock(pending_mu_);
  return pending_.size();
}

std::size_t DeferredSortedIndex::sorted_size() const {
  std::shared_lock lock(sorted_mu_);
  return sorted_.size();
}

std::size_t DeferredSortedIndex::removal_candidates() const {
  std::scoped_lock lock(candidates_mu_);
  return candidates_.size();
}

}  // namespace kavrel
