#include "storage/internal/mvcc/deferred_index.h"

#include <algorithm>
#include <iterator>
#include <utility>

namespace kavrel {
namespace {

// The batch's keys, ascending and without duplicates (views into the batch).
std::vector<BytesView> sorted_views(const PackedKeys& batch) {
  std::vector<BytesView> keys;
  keys.reserve(batch.size());
  batch.for_each([&](BytesView k) { keys.push_back(k); });
  std::sort(keys.begin(), keys.end());
  keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
  return keys;
}

void sort_unique(std::vector<Bytes>& keys) {
  std::sort(keys.begin(), keys.end());
  keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
}

// Merges two ascending duplicate-free lists into one, leaving out the keys of `drop` (ascending).
SortedKeys merge_lists(const SortedKeys& old_sorted, const std::vector<BytesView>& batch,
                       const std::vector<Bytes>& drop) {
  std::size_t batch_bytes = 0;
  for (BytesView k : batch) batch_bytes += packed::encoded_size(k);
  SortedKeys out;
  out.reserve(old_sorted.size() + batch.size(), old_sorted.bytes() + batch_bytes);
  auto d = drop.begin();
  auto emit = [&](BytesView key) {
    while (d != drop.end() && BytesView(*d) < key) ++d;
    if (d != drop.end() && BytesView(*d) == key) return;
    out.push_back(key);
  };
  SortedKeys::Cursor a = old_sorted.begin();
  auto b = batch.begin();
  while (!a.done() && b != batch.end()) {
    if (a.key() < *b) {
      emit(a.key());
      a.next();
    } else if (*b < a.key()) {
      emit(*b++);
    } else {
      emit(a.key());
      a.next();
      ++b;
    }
  }
  for (; !a.done(); a.next()) emit(a.key());
  for (; b != batch.end(); ++b) emit(*b);
  return out;
}

}  // namespace

DeferredSortedIndex::DeferredSortedIndex() = default;

DeferredSortedIndex::DeferredSortedIndex(LivenessCheck is_live) : is_live_(std::move(is_live)) {}

bool DeferredSortedIndex::insert(BytesView key) {
  std::size_t len;
  {
    std::unique_lock lock(pending_mu_);
    pending_.push_back(key);
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
  PackedKeys batch;
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
  const std::vector<BytesView> keys = sorted_views(batch);  // no lock of the index held
  const std::vector<Bytes> drop = take_removals(keys);

  // Only compactions write sorted_, and this one holds compact_mu_: the merge may read sorted_
  // without its lock and take the lock only to put the result in place.
  SortedKeys merged = merge_lists(sorted_, keys, drop);
  {
    std::unique_lock lock(sorted_mu_);
    std::swap(sorted_, merged);
  }
  sorted_count_.store(sorted_.size(), std::memory_order_relaxed);
  needs_compact_.store(false, std::memory_order_release);
  compactions_.fetch_add(1, std::memory_order_relaxed);
}

std::vector<Bytes> DeferredSortedIndex::take_removals(const std::vector<BytesView>& batch) {
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
    if (std::binary_search(batch.begin(), batch.end(), BytesView(key))) {
      retry.push_back(std::move(key));
    } else {
      drop.push_back(std::move(key));
    }
  }
  if (!retry.empty()) remove_keys(std::move(retry));
  return drop;
}

std::vector<Bytes> DeferredSortedIndex::range_from(BytesView start, std::size_t limit) {
  compact();
  std::shared_lock lock(sorted_mu_);
  std::vector<Bytes> out;
  for (SortedKeys::Cursor c = sorted_.lower_bound(start); !c.done() && out.size() < limit;
       c.next()) {
    out.emplace_back(c.key());
  }
  return out;
}

std::vector<Bytes> DeferredSortedIndex::range_prefix(BytesView prefix) {
  compact();
  std::shared_lock lock(sorted_mu_);
  std::vector<Bytes> out;
  for (SortedKeys::Cursor c = sorted_.lower_bound(prefix); !c.done() && c.key().starts_with(prefix);
       c.next()) {
    out.emplace_back(c.key());
  }
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
