// The server's command line.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "core/log.h"

namespace kavrel::server {

inline constexpr const char* kVersion = "2.1.0";
// The longest idle time-out (about 24.8 days: what poll() can wait at once).
inline constexpr std::uint64_t kMaxTimeoutMs = 2'147'483'647;

struct Args {
  std::filesystem::path db = "./kavrel_data";
  std::optional<std::filesystem::path> socket;
  std::uint64_t max_clients = 100;
  std::uint64_t compact_log_mib = 64;  // 0: no automatic compaction
  std::uint64_t timeout_ms = 30000;    // idle time-out of a connection; 0: none
  std::string log_level = "info";
  // The key-encryption key's file (storage/key_file.h); KAVREL_ENCRYPTION_KEY is the other way.
  std::optional<std::filesystem::path> key_file;
  // A new database must be created encrypted, and an existing one must be encrypted.
  bool encrypt = false;
  // Offline KEK rotation: re-wrap the data key under this file's key, then exit without serving.
  std::optional<std::filesystem::path> rotate_key_file;

  // TCP: the addresses to listen on (HOST:PORT, repeatable; none by default), and TLS. Without
  // TLS, TCP is served only with insecure_tcp and only on loopback addresses.
  std::vector<std::string> listen;
  std::optional<std::filesystem::path> tls_cert, tls_key, tls_ca;
  bool require_client_cert = false;  // --tls-client-cert require
  bool insecure_tcp = false;
  // Unix socket connections must log in too (TCP ones always must).
  bool unix_auth = false;

  // The --socket value, or the database directory joined with "kavrel.sock".
  std::filesystem::path socket_path() const;
  log::Level level() const { return log::parse_level(log_level); }
};

// The outcome of parsing: either Args to run with, or an exit status with the text the parser
// wants printed (help and version go to standard output, errors to standard error).
struct ParseOutcome {
  std::optional<Args> args;
  int exit_status = 0;
  std::string out;
  std::string err;
};

ParseOutcome parse_args(const std::vector<std::string>& argv);

}  // namespace kavrel::server
