#include "server/server_stats.h"

#include <gtest/gtest.h>

#include "protocol/wire.h"

namespace kavrel {
namespace {

TEST(ServerStatsTest, FreshRecordRendersZerosAndNoUptime) {
  ServerStats stats;
  EXPECT_EQ(stats.render({}, 0),
            "{\"connections_total\":0,\"connections_active\":0,\"requests_total\":0,"
            "\"requests_success\":0,\"requests_error\":0,\"bytes_received\":0,\"bytes_sent\":0,"
            "\"uptime_secs\":0,\"memtable_size_bytes\":0,\"wal_size_bytes\":0,"
            "\"active_transactions\":0}");
}

TEST(ServerStatsTest, CountersInTemplateOrder) {
  ServerStats stats;
  stats.connection_admitted();
  stats.connection_admitted();
  stats.connection_ended();
  stats.request_received(0);                   // +5
  stats.request_received(10);                  // +15
  stats.request_received(3);                   // +8
  stats.response_ready(response::ERROR, 4);    // +9
  stats.response_ready(response::PONG, 0);     // +5
  stats.response_ready(response::VALUE, 100);  // +105
  stats.set_start_time(ServerStats::Clock::now() - std::chrono::milliseconds(2200));
  EXPECT_EQ(stats.render({4096, 30'000'000}, 7),
            "{\"connections_total\":2,\"connections_active\":1,\"requests_total\":3,"
            "\"requests_success\":2,\"requests_error\":1,\"bytes_received\":28,"
            "\"bytes_sent\":119,\"uptime_secs\":2,\"memtable_size_bytes\":4096,"
            "\"wal_size_bytes\":30000000,\"active_transactions\":7}");
}

TEST(ServerStatsTest, UptimeDropsFractionsAndIsZeroForAFutureStart) {
  ServerStats stats;
  stats.set_start_time(ServerStats::Clock::now() - std::chrono::milliseconds(200));
  EXPECT_EQ(stats.uptime_secs(), 0u);
  stats.set_start_time(ServerStats::Clock::now() - std::chrono::seconds(61));
  EXPECT_EQ(stats.uptime_secs(), 61u);
  stats.set_start_time(ServerStats::Clock::now() + std::chrono::hours(1));
  EXPECT_EQ(stats.uptime_secs(), 0u);
}

}  // namespace
}  // namespace kavrel
