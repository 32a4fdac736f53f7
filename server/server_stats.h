// ServerStats: the process-wide counters of the socket service, shared by the listener and every
// thread serving connections. Counters are relaxed atomics (readers never block writers and the
// values read together are not a consistent snapshot); only the start time sits behind a mutex.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

namespace kavrel {

class ServerStats {
 public:
  using Clock = std::chrono::steady_clock;

  std::atomic<std::uint64_t> connections_total{0};
  std::atomic<std::uint64_t> connections_active{0};
  std::atomic<std::uint64_t> requests_total{0};
  std::atomic<std::uint64_t> requests_success{0};
  std::atomic<std::uint64_t> requests_error{0};
  std::atomic<std::uint64_t> bytes_received{0};
  std::atomic<std::uint64_t> bytes_sent{0};

  // The listener admitted a connection.
  void connection_admitted();
  // A connection ends, whatever the reason.
  void connection_ended();
  // A complete request frame with this payload length was read (counted before processing).
  void request_received(std::uint64_t payload_len);
  // A response is about to be written (counted even if writing it then fails).
  void response_ready(std::uint8_t code, std::uint64_t payload_len);

  // Sets the start time to now (the listener does so once, just before it announces itself).
  void set_start_time() { set_start_time(Clock::now()); }
  void set_start_time(Clock::time_point t);
  // Whole seconds since the start time; 0 before it is set or if the clock reads earlier.
  std::uint64_t uptime_secs() const;

  // The one-line JSON of the STATS request: the storage's figures (the memtable's approximate
  // bytes, the log file's size) and a connection with active_transactions open explicit
  // transactions.
  struct StorageFigures {
    std::uint64_t memtable_bytes = 0;
    std::uint64_t wal_bytes = 0;
  };
  std::string render(StorageFigures storage, std::uint64_t active_transactions) const;

 private:
  mutable std::mutex start_mu_;
  std::optional<Clock::time_point> start_time_;  // guarded by start_mu_
};

}  // namespace kavrel
