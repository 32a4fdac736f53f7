// ConnectionLoops: the server's connections served by a few event-driven threads.
//
// Each loop thread owns the connections handed to it (round robin) and waits for all of them at
// once (epoll, edge-triggered, sockets used without blocking). Per wake-up it serves every
// ready connection (Connection::serve: it reads what has arrived, answers the whole frames in
// order and sends the answers with one send). A loop thread never waits for a sync or for
// another transaction; what must wait leaves it together with its connection:
//
//  - the runs of single writes of every connection served in one pass go to the write road as
//    one request (Database::submit): they commit in one storage transaction with the writes of
//    whoever else writes meanwhile, with one log sync, and the request's done() sends each
//    connection its answers, once durable and visible. When the loop must lead that batch it
//    does so itself if it answered nothing else in the pass (it then gathers a larger batch for
//    the next), and on a worker otherwise.
//  - a request that may take long (a commit of an explicit transaction, a table registration,
//    CHECKPOINT, COMPACT, QUERY, SCAN) runs on a worker thread of its own (WorkerPool), as does
//    a run of writes the storage refused because another transaction's write of a key is
//    pending: those are written one by one, each waiting up to the blind write's bound, which
//    may take seconds and may need the other transaction's COMMIT_TXN, served meanwhile.
//
// A connection that keeps asking for reads leaves the loop for a thread of its own: after
// kReadServes serves in a row that answered requests without a write or a long request, while
// fewer than Options::own_threads connections are away like this. That thread (a worker) waits
// for its socket in poll() and serves it there (serve_here): its writes go to the same write
// road, sharing batches and syncs with the loops', and its long requests run there. After
// kWriteRuns runs of writes in a row with nothing else between them the connection comes back to
// the loop, where the writes of many connections share one pass and one sync. Why: a thread that
// answers one client and then waits hands its core to the client it woke, where the loop, serving
// the others, wakes each client on the other core; and the readers then use every core, not the
// loop's one.
//
// Either way the connection comes back to its loop (a queue under the loop's mutex, and an
// eventfd to wake it) and is served again; nothing after the pending requests was answered
// before them. A connection is used by one thread at a time, and every hand-over goes through a
// mutex.
//
// The loop also ends connections: on a clean close or a connection error (logged as
// "[IpcServer] Client error: <text>"), when one that waits for input received nothing for the
// receive time-out, when one that waits for room to send had none of its answers taken for as
// long (the send time-out), or when a TLS handshake is not done within its time-out (checked every
// quarter of the shortest bound, at most every second). Ending a connection aborts its open
// explicit transactions, closes its socket and subtracts 1 from connections_active.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <vector>

#include "core/unique_fd.h"
#include "server/connection.h"
#include "server/server_stats.h"
#include "server/stream.h"
#include "storage/database.h"

namespace kavrel {

class ConnectionLoop;
struct LoopCore;

// An accepted connection: its socket, and the TLS context to serve it under (null: the socket
// as it is).
struct Accepted {
  UniqueFd socket;
  std::shared_ptr<SSL_CTX> tls;
  Peer peer;
};

class ConnectionLoops {
 public:
  struct Options {
    std::size_t threads = 1;  // loop threads
    // The most connections served on threads of their own at once (0: none).
    std::size_t own_threads = 128;
    std::chrono::microseconds receive_timeout = kReceiveTimeout;
    std::chrono::microseconds handshake_timeout = kHandshakeTimeout;
  };

  // Starts the loop threads. db and stats must not be null.
  ConnectionLoops(std::shared_ptr<Database> db, std::shared_ptr<ServerStats> stats,
                  Options options);
  // Closes the loops: each ends once the connections it serves have ended (they are served as
  // before until then).
  ~ConnectionLoops();
  ConnectionLoops(const ConnectionLoops&) = delete;
  ConnectionLoops& operator=(const ConnectionLoops&) = delete;

  // Serves an accepted connection (already counted by connection_admitted) on one of the loops.
  // Called by one thread (the listener).
  void adopt(Accepted accepted);

  // Connections served on threads of their own just now.
  std::size_t on_own_threads() const;

  // Serves in a row that answered requests, with no write or long request, after which a
  // connection leaves the loop for a thread of its own; runs of writes in a row after which it
  // comes back.
  static constexpr unsigned kReadServes = 8;
  static constexpr std::size_t kWriteRuns = 4;

 private:
  std::shared_ptr<LoopCore> core_;
  std::vector<std::shared_ptr<ConnectionLoop>> loops_;
  std::size_t next_ = 0;
};

}  // namespace kavrel
