#include "bench/load/latency_histogram.h"

#include <random>

#include <gtest/gtest.h>

namespace kavrel::bench {
namespace {

TEST(LatencyHistogramTest, EmptyReportsZero) {
  const LatencyHistogram h;
  EXPECT_EQ(h.count(), 0u);
  EXPECT_EQ(h.percentile(0.5), 0u);
  EXPECT_EQ(h.max(), 0u);
}

TEST(LatencyHistogramTest, SmallValuesAreExact) {
  LatencyHistogram h;
  for (std::uint64_t v = 1; v <= 1000; ++v) h.record(v);
  EXPECT_EQ(h.percentile(0.5), 500u);
  EXPECT_EQ(h.percentile(0.9), 900u);
  EXPECT_EQ(h.percentile(0.999), 999u);
  EXPECT_EQ(h.percentile(1.0), 1000u);
  EXPECT_EQ(h.max(), 1000u);
  EXPECT_DOUBLE_EQ(h.mean(), 500.5);
}

// Against the exact order statistic of random values spread over many powers of two.
TEST(LatencyHistogramTest, PercentilesWithinTwoPerMille) {
  std::mt19937_64 rng(42);
  std::lognormal_distribution<double> dist(12.0, 2.0);  // median ~160 µs, long tail
  std::vector<std::uint64_t> values;
  LatencyHistogram a, b;
  for (int i = 0; i < 200000; ++i) {
    const auto v = static_cast<std::uint64_t>(dist(rng));
    values.push_back(v);
    (i % 2 == 0 ? a : b).record(v);
  }
  a.merge(b);
  std::sort(values.begin(), values.end());
  EXPECT_EQ(a.count(), values.size());
  EXPECT_EQ(a.max(), values.back());
  for (const double q : {0.5, 0.9, 0.99, 0.999}) {
    SCOPED_TRACE(q);
    const auto exact = values[static_cast<std::size_t>(std::ceil(q * values.size())) - 1];
    const auto got = a.percentile(q);
    EXPECT_NEAR(static_cast<double>(got), static_cast<double>(exact), exact * 0.002 + 1);
  }
}

TEST(LatencyHistogramTest, HugeValuesAreClampedNotLost) {
  LatencyHistogram h;
  h.record(UINT64_MAX / 2);
  h.record(5);
  EXPECT_EQ(h.count(), 2u);
  EXPECT_EQ(h.max(), UINT64_MAX / 2);
  EXPECT_EQ(h.percentile(0.5), 5u);
  EXPECT_LE(h.percentile(1.0), h.max());
}

}  // namespace
}  // namespace kavrel::bench
