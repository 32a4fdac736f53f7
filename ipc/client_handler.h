// One client connection: the request dispatcher (ClientHandler) and the connection loop that
// reads request frames, answers each with one response frame and keeps the statistics.
//
// A data request sent alone runs in a storage transaction of its own: reads abort it, writes
// commit it (a single write waits for another transaction's pending write of its key, within a
// bound). BEGIN_TXN / COMMIT_TXN / ABORT_TXN manage explicit storage transactions under handles
// private to the connection; IN_TXN runs a data request inside one of them, seeing its snapshot
// and its own writes. A write inside one that meets another transaction's pending write aborts
// it. Whenever a connection ends, for whatever reason, its open explicit transactions are
// aborted.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <unordered_map>

#include "core/bytes.h"
#include "core/error.h"
#include "core/unique_fd.h"
#include "core/wire.h"
#include "ipc/server_stats.h"
#include "storage/database.h"

namespace kavrel {

// The state of one connection. Owned by its connection thread alone; not thread-safe.
class ClientHandler {
 public:
  // Neither may be null; stats is read by STATS only (the connection loop does the counting).
  ClientHandler(std::shared_ptr<Database> db, std::shared_ptr<ServerStats> stats);
  // Aborts every transaction still open (abort_all).
  ~ClientHandler();
  ClientHandler(const ClientHandler&) = delete;
  ClientHandler& operator=(const ClientHandler&) = delete;

  // Answers one request. Never fails: every failure is an ERROR response.
  Message process_request(const Message& request);

  // Aborts every open explicit transaction (abort errors ignored) and forgets them.
  void abort_all();

  // The number of open explicit transactions, and the storage transaction behind a handle.
  std::size_t open_transactions() const { return transactions_.size(); }
  std::optional<std::uint64_t> storage_txn(std::uint64_t handle) const;

 private:
  Message dispatch(const Message& request);
  Message put(BytesView payload);
  Message get_key(BytesView key);
  Message del(BytesView key);
  Message begin_txn();
  // Decodes a COMMIT_TXN/ABORT_TXN handle and removes it from this connection's transactions:
  // the storage transaction id, or the error text to answer.
  Result<std::uint64_t, std::string> take_transaction(std::uint8_t op, BytesView payload);
  Message commit_txn(BytesView payload);
  Message abort_txn(BytesView payload);
  Message query(BytesView payload);
  Message register_table(BytesView payload);
  Message list_tables();
  Message describe_table(BytesView payload);
  Message put_path(BytesView payload);
  Message get_path(BytesView payload);
  Message scan(BytesView payload);
  Message checkpoint();
  Message compact();
  Message stats();
  Message execute_sql(BytesView payload);
  // IN_TXN: runs the inner request in the explicit transaction behind the handle.
  Message in_txn(BytesView payload);
  // Runs read(txn) in the current explicit transaction, or else in a storage transaction of its
  // own which it aborts afterwards, whatever the read answered: read requests never commit.
  template <class Read>
  Message in_read_transaction(Read&& read);
  // Writes (or deletes) one key in the current explicit transaction (aborting it on failure), or
  // else as a blind write in a transaction of its own.
  Message write_one(BytesView key, std::optional<BytesView> value);

  std::shared_ptr<Database> db_;
  std::shared_ptr<ServerStats> stats_;
  std::unordered_map<std::uint64_t, std::uint64_t> transactions_;  // handle -> storage txn id
  std::uint64_t next_txn_id_ = 1;
  // The explicit transaction an IN_TXN request runs in, while it runs.
  struct Current {
    std::uint64_t handle = 0;
    std::uint64_t txn = 0;
  };
  std::optional<Current> current_;
};

// The receive time-out of every connection.
inline constexpr std::chrono::seconds kReceiveTimeout{30};

// Serves one accepted connection until the client closes it or an error ends it, then aborts the
// client's open transactions, closes the stream and subtracts 1 from connections_active. A
// connection error is reported on standard error as "[IpcServer] Client error: <text>".
// Never raises SIGPIPE. The receive time-out is a parameter for tests only.
void serve_connection(UniqueFd stream, std::shared_ptr<Database> db,
                      const std::shared_ptr<ServerStats>& stats,
                      std::chrono::microseconds receive_timeout = kReceiveTimeout);

// The connection loop over fd with a caller-owned handler: returns success on a clean close
// (end of input where an opcode was expected) and the connection error otherwise. It neither
// aborts the handler's transactions nor closes fd nor touches connections_active.
Result<void, IpcError> run_connection(int fd, ClientHandler& handler, ServerStats& stats,
                                      std::chrono::microseconds receive_timeout = kReceiveTimeout);

}  // namespace kavrel
