// Latencies of one benchmark run: a log-linear histogram of nanosecond values (exact below
// 1,024 ns, then 512 buckets per power of two, so a reported percentile is within 0.2% of the
// true one), plus the exact count, sum and maximum. One per connection thread; merged at the end.
#pragma once

#include <cstdint>
#include <vector>

namespace kavrel::bench {

class LatencyHistogram {
 public:
  LatencyHistogram();

  void record(std::uint64_t ns);
  void merge(const LatencyHistogram& other);

  std::uint64_t count() const { return count_; }
  std::uint64_t max() const { return max_; }
  double mean() const { return count_ == 0 ? 0.0 : static_cast<double>(sum_) / count_; }
  // The smallest recorded value v (to the histogram's precision) such that at least the fraction
  // q (0..1) of all values is at most v; 0 when nothing was recorded. Never above max().
  std::uint64_t percentile(double q) const;

 private:
  static std::size_t index_of(std::uint64_t ns);
  // The middle of a bucket's range (its value for buckets that hold one value).
  static std::uint64_t value_of(std::size_t index);

  std::vector<std::uint64_t> buckets_;
  std::uint64_t count_ = 0, sum_ = 0, max_ = 0;
};

}  // namespace kavrel::bench
