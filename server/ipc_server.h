// IpcServer: the Unix-domain socket listener. run() prepares the socket file, binds, listens and
// then accepts on the calling thread until stop(); the admitted connections are served by the
// connection loops (server/connection_loop.h) that run() starts, a few threads for all of them. The
// listener never reads or writes a byte of any connection: it admits, refuses above max_clients,
// counts and hands over. Once run() returns the loops go on serving the connections still open
// and end with the last of them. Lines of the listener go straight to standard error, prefixed
// "[IpcServer] ".
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>

#include "core/error.h"
#include "server/connection_loop.h"
#include "server/server_stats.h"
#include "storage/database.h"

namespace kavrel {

class IpcServer {
 public:
  // A server with fresh statistics, not running. db must not be null.
  IpcServer(std::filesystem::path socket_path, std::uint64_t max_clients,
            std::shared_ptr<Database> db, ConnectionLoops::Options options = {});
  // Stops the server (see stop()).
  ~IpcServer();
  IpcServer(const IpcServer&) = delete;
  IpcServer& operator=(const IpcServer&) = delete;

  // Serves until stop(): returns success after the loop ended (the socket file deleted and the
  // listening socket closed), AlreadyRunning if run is active already, Io if the socket cannot
  // be prepared (stale file not deletable, path longer than 107 bytes, socket, bind, listen or
  // blocking mode failing). After an error the server may be run again.
  Result<void, IpcError> run();

  // Clears the running flag and wakes a blocked accept by connecting to the socket once. Safe
  // from any thread; does nothing if the server is not running.
  void stop();

  std::shared_ptr<ServerStats> stats() const { return stats_; }
  const std::filesystem::path& socket_path() const { return socket_path_; }

 private:
  Result<int, IpcError> open_listener();
  void accept_loop(int listener);

  std::filesystem::path socket_path_;
  std::uint64_t max_clients_;
  std::shared_ptr<Database> db_;
  std::shared_ptr<ServerStats> stats_;
  ConnectionLoops::Options options_;
  std::unique_ptr<ConnectionLoops> loops_;  // while run() accepts; used by its thread only
  std::atomic<bool> running_{false};
};

}  // namespace kavrel
