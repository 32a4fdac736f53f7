// IpcServer: the listener. run() prepares the Unix socket file, binds, listens (and on the TCP
// addresses it was given, if any) and then accepts on the calling thread until stop(); the
// admitted connections are served by the connection loops (server/connection_loop.h) that run()
// starts, a few threads for all of them. The listener never reads or writes a byte of any
// connection: it admits, refuses above max_clients (Unix and TCP connections together), counts
// and hands over; a TCP connection is handed over with the TLS context to serve it under. Once
// run() returns the loops go on serving the connections still open and end with the last of them.
// Lines of the listener go straight to standard error, prefixed
// "[IpcServer] ".
#pragma once

#include <sys/socket.h>
#include <atomic>
#include <cstdint>
#include <filesystem>

#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/error.h"
#include "core/unique_fd.h"
#include "server/connection_loop.h"
#include "server/server_stats.h"
#include "server/tls.h"
#include "storage/database.h"

namespace kavrel {

// Where to listen on TCP: HOST:PORT texts (IPv6 hosts in brackets, "[::1]:7070"; port 0: any
// free port), and the TLS to serve them with. Without TLS only loopback addresses are allowed
// (plain TCP, for tests and tunnels). TCP connections must log in; Unix ones too with unix_auth.
struct ListenOptions {
  std::vector<std::string> listen;
  std::shared_ptr<TlsContext> tls;
  bool unix_auth = false;
};

// HOST and PORT of "HOST:PORT" ("[HOST]:PORT" for an IPv6 host), or the error text.
Result<std::pair<std::string, std::string>, std::string> split_host_port(std::string_view text);

class IpcServer {
 public:
  // A server with fresh statistics, not running. db must not be null.
  IpcServer(std::filesystem::path socket_path, std::uint64_t max_clients,
            std::shared_ptr<Database> db, ConnectionLoops::Options options = {},
            ListenOptions tcp = {});
  // Stops the server (see stop()).
  ~IpcServer();
  IpcServer(const IpcServer&) = delete;
  IpcServer& operator=(const IpcServer&) = delete;

  // Serves until stop(): returns success after the loop ended (the socket file deleted and the
  // listening sockets closed), AlreadyRunning if run is active already, Io if a socket cannot
  // be prepared (stale file not deletable, path longer than 107 bytes, socket, bind, listen or
  // blocking mode failing; a TCP address that does not resolve, or is not loopback without
  // TLS). After an error the server may be run again.
  Result<void, IpcError> run();

  // Clears the running flag and wakes the accepting thread. Safe from any thread; does nothing
  // if the server is not running.
  void stop();

  std::shared_ptr<ServerStats> stats() const { return stats_; }
  const std::filesystem::path& socket_path() const { return socket_path_; }
  // The TCP ports listened on, once run() listens (empty before). Thread-safe.
  std::vector<std::uint16_t> tcp_ports() const;

 private:
  // A listening socket; a TCP one's connections are served under the TLS context, if any.
  struct Listener {
    UniqueFd fd;
    std::string tcp_address;  // HOST:PORT; empty for the Unix socket
  };
  Result<UniqueFd, IpcError> open_unix_listener();
  Result<void, IpcError> open_tcp_listeners(std::vector<Listener>& out);
  void accept_loop(std::vector<Listener>& listeners);
  void admit(const Listener& from);
  // Who is at the other end of an accepted connection.
  Peer peer_of(const Listener& from, int fd, const sockaddr_storage& address) const;

  std::filesystem::path socket_path_;
  std::uint64_t max_clients_;
  std::shared_ptr<Database> db_;
  std::shared_ptr<ServerStats> stats_;
  ConnectionLoops::Options options_;
  ListenOptions tcp_;
  std::unique_ptr<ConnectionLoops> loops_;  // while run() accepts; used by its thread only
  std::atomic<bool> running_{false};
  UniqueFd wake_;  // an eventfd: stop() wakes the accepting thread with it
  mutable std::mutex ports_mu_;
  std::vector<std::uint16_t> ports_;  // guarded by ports_mu_
};

}  // namespace kavrel
