#include "server/server_stats.h"

#include <fmt/format.h>

#include "protocol/wire.h"

namespace kavrel {
namespace {
constexpr auto kRelaxed = std::memory_order_relaxed;
}  // namespace

void ServerStats::connection_admitted() {
  connections_total.fetch_add(1, kRelaxed);
  connections_active.fetch_add(1, kRelaxed);
}

void ServerStats::connection_ended() { connections_active.fetch_sub(1, kRelaxed); }

void ServerStats::request_received(std::uint64_t payload_len) {
  requests_total.fetch_add(1, kRelaxed);
  bytes_received.fetch_add(payload_len + FRAME_HEADER_SIZE, kRelaxed);
}

void ServerStats::response_ready(std::uint8_t code, std::uint64_t payload_len) {
  (code == response::ERROR ? requests_error : requests_success).fetch_add(1, kRelaxed);
  bytes_sent.fetch_add(payload_len + FRAME_HEADER_SIZE, kRelaxed);
}

void ServerStats::set_start_time(Clock::time_point t) {
  std::scoped_lock lock(start_mu_);
  start_time_ = t;
}

std::uint64_t ServerStats::uptime_secs() const {
  std::scoped_lock lock(start_mu_);
  if (!start_time_) return 0;
  const auto elapsed = Clock::now() - *start_time_;
  if (elapsed.count() < 0) return 0;
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::seconds>(elapsed).count());
}

std::string ServerStats::render(StorageFigures storage, std::uint64_t active_transactions) const {
  return fmt::format(
      "{{\"connections_total\":{},\"connections_active\":{},\"requests_total\":{},"
      "\"requests_success\":{},\"requests_error\":{},\"bytes_received\":{},\"bytes_sent\":{},"
      "\"uptime_secs\":{},\"memtable_size_bytes\":{},\"wal_size_bytes\":{},"
      "\"active_transactions\":{}}}",
      connections_total.load(kRelaxed), connections_active.load(kRelaxed),
      requests_total.load(kRelaxed), requests_success.load(kRelaxed), requests_error.load(kRelaxed),
      bytes_received.load(kRelaxed), bytes_sent.load(kRelaxed), uptime_secs(),
      storage.memtable_bytes, storage.wal_bytes, active_transactions);
}

}  // namespace kavrel
