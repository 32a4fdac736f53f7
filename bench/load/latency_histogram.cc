#include "bench/load/latency_histogram.h"

#include <algorithm>
#include <bit>
#include <cmath>

namespace kavrel::bench {
namespace {

constexpr unsigned kSubBits = 9;                  // 512 buckets per power of two
constexpr std::uint64_t kExact = 2u << kSubBits;  // values below are their own bucket
constexpr unsigned kMaxBits = 42;                 // ~73 minutes; longer values are clamped
constexpr std::size_t kBuckets = kExact + (kMaxBits - kSubBits - 1) * (1u << kSubBits);

}  // namespace

LatencyHistogram::LatencyHistogram() : buckets_(kBuckets, 0) {}

std::size_t LatencyHistogram::index_of(std::uint64_t ns) {
  if (ns < kExact) return static_cast<std::size_t>(ns);
  const unsigned msb = std::min<unsigned>(63 - std::countl_zero(ns), kMaxBits - 1);
  const unsigned shift = msb - kSubBits;
  const std::uint64_t sub = std::min<std::uint64_t>(ns >> shift, (2u << kSubBits) - 1);
  return kExact + (msb - kSubBits - 1) * (1u << kSubBits) + (sub - (1u << kSubBits));
}

std::uint64_t LatencyHistogram::value_of(std::size_t index) {
  if (index < kExact) return index;
  const std::size_t rel = index - kExact;
  const unsigned msb = static_cast<unsigned>(rel >> kSubBits) + kSubBits + 1;
  const unsigned shift = msb - kSubBits;
  const std::uint64_t sub = (rel & ((1u << kSubBits) - 1)) + (1u << kSubBits);
  const std::uint64_t low = sub << shift;
  return low + ((std::uint64_t{1} << shift) >> 1);
}

void LatencyHistogram::record(std::uint64_t ns) {
  ++buckets_[index_of(ns)];
  ++count_;
  sum_ += ns;
  max_ = std::max(max_, ns);
}

void LatencyHistogram::merge(const LatencyHistogram& other) {
  for (std::size_t i = 0; i < buckets_.size(); ++i) buckets_[i] += other.buckets_[i];
  count_ += other.count_;
  sum_ += other.sum_;
  max_ = std::max(max_, other.max_);
}

std::uint64_t LatencyHistogram::percentile(double q) const {
  if (count_ == 0) return 0;
  q = std::clamp(q, 0.0, 1.0);
  const auto rank = std::max<std::uint64_t>(
      1, static_cast<std::uint64_t>(std::ceil(q * static_cast<double>(count_))));
  std::uint64_t seen = 0;
  for (std::size_t i = 0; i < buckets_.size(); ++i) {
    seen += buckets_[i];
    if (seen >= rank) return std::min(value_of(i), max_);
  }
  return max_;
}

}  // namespace kavrel::bench
