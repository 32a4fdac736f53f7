// The request dispatcher of one client connection (ClientHandler).
//
// A data request sent alone runs in a storage transaction of its own: reads abort it, writes
// commit it (a single write waits for another transaction's pending write of its key, within a
// bound). BEGIN_TXN / COMMIT_TXN / ABORT_TXN manage explicit storage transactions under handles
// private to the connection; IN_TXN runs a data request inside one of them, seeing its snapshot
// and its own writes. A write inside one that meets another transaction's pending write aborts
// it. Whenever a connection ends, for whatever reason, its open explicit transactions are
// aborted.
//
// Single writes sent back to back (PUT, DELETE, PUT_PATH outside IN_TXN) that have already
// arrived are answered together (process_writes, or decode_writes and finish_writes around a
// commit of the caller's): they commit in one storage transaction, with the writes of other
// connections, sharing one log sync; each is answered only once that transaction is durable and
// visible. Single reads (GET, GET_PATH) received back to back share one snapshot
// (process_reads). The framing, the order of the answers and the connection loops are in
// server/connection.h and server/connection_loop.h.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/bytes.h"
#include "core/error.h"
#include "protocol/scram.h"
#include "protocol/wire.h"
#include "server/server_stats.h"
#include "storage/database.h"
#include "storage/users.h"

namespace kavrel {

// The explicit transactions one connection may hold open at once: each pins its snapshot (and
// every version it may read) until it ends, so a connection that only begins could hold memory
// without bound. BEGIN_TXN past it is refused and opens nothing.
inline constexpr std::size_t kMaxOpenTransactions = 1024;

// Failed logins a connection may make; the answer to the last one is its last.
inline constexpr unsigned kMaxFailedLogins = 3;

// Who is at the other end of a connection, as the listener found it.
struct Peer {
  // The connection must log in (AUTH, or a client certificate naming a user) before anything
  // else: a TCP connection, or a Unix one under --unix-auth. A Unix connection that need not is
  // trusted by the socket's file mode, as it always was: every request but USERS.
  bool login_required = false;
  // A Unix peer running as the server's OS user, or as root: may manage users without a login
  // (with login_required, only while no admin user exists: the first admin comes from here).
  bool local_admin = false;
  std::string address;  // for the log: "HOST:PORT", or "unix (uid N)"
};

// The state of one connection. Used by one thread at a time (the one serving the connection at
// the moment); not thread-safe.
//
// Logins: AUTH runs SCRAM-SHA-256 (protocol/scram.h) against the user's stored verifier; an
// unknown user gets the same exchange (a made-up salt) and the same refusal as a wrong password,
// so the answers do not tell which users exist. A refused login is answered after a pause,
// logged (the user and the peer, never the secret), and after kMaxFailedLogins the connection is
// ended. A logged-in user is held to its role and prefix (server/access.h).
class ClientHandler {
 public:
  struct Options {
    // BACKUP writes where its request says. A harness that feeds arbitrary requests (the
    // connection fuzzer) turns it off: its inputs could name any directory of the machine.
    bool backups = true;
    Peer peer;
    // The pause before a refused login is answered.
    std::chrono::milliseconds failed_login_pause{1000};
  };
  // Neither db nor stats may be null; stats is read by STATS only (the connection loop does the
  // counting).
  ClientHandler(std::shared_ptr<Database> db, std::shared_ptr<ServerStats> stats, Options options);
  ClientHandler(std::shared_ptr<Database> db, std::shared_ptr<ServerStats> stats)
      : ClientHandler(std::move(db), std::move(stats), Options{}) {}
  // Aborts every transaction still open (abort_all).
  ~ClientHandler();
  ClientHandler(const ClientHandler&) = delete;
  ClientHandler& operator=(const ClientHandler&) = delete;

  // Answers one request. Never fails: every failure is an ERROR response.
  Message process_request(const Message& request);

  // Answers consecutive single writes (is_single_write in protocol/requests.h) of this connection,
  // in their order, as process_request would answer them one after another. The writes commit in
  // one storage transaction (Database::write, with other connections' writes): one log sync,
  // visible together, each answered OK only once that transaction is durable, and a failed commit
  // (its sync failing) fails every one of them. A request whose payload does not decode is answered
  // with its error and takes no part; a write the storage refuses (another transaction's write
  // of the key pending) sends every write of the run back to be written one by one, as if each
  // had arrived alone.
  std::vector<Message> process_writes(std::span<const Message> requests);
  // process_writes in two steps around the commit, for a caller that commits the writes of
  // several connections to the write road itself (Database::submit): the writes to commit, in
  // request order. They view the requests, which must stay unchanged until finish_writes has
  // returned, and the handler's buffers, kept from one run to the next.
  std::span<const BlindWrite> decode_writes(std::span<const Message> requests);
  // The answers, one per request of the last decode_writes, once its writes' commit had outcome;
  // valid until the next decode_writes. WriteAlone writes them one by one, each waiting (up to
  // the blind write's bound) for another transaction's pending write of its key.
  std::span<const Message> finish_writes(const WriteOutcome& outcome);

  // Answers consecutive single reads (is_single_read in protocol/requests.h) of this connection, in
  // their order, as process_request would answer them one after another, all from one snapshot
  // taken now (Database::SnapshotReader). They have all been received already, so none was sent
  // after the answer of another: one snapshot is a valid order for them.
  std::vector<Message> process_reads(std::span<const Message> requests);

  // Aborts every open explicit transaction (abort errors ignored) and forgets them.
  void abort_all();

  // The subject name of the client certificate the TLS handshake verified: once the connection
  // asks for anything, a user of that name is logged in as if by AUTH.
  void set_certificate_user(std::string name) { certificate_user_ = std::move(name); }
  // Too many failed logins: the connection ends once the answers given are sent.
  bool ending() const { return failed_logins_ >= kMaxFailedLogins; }

  // The number of open explicit transactions, and the storage transaction behind a handle.
  std::size_t open_transactions() const { return transactions_.size(); }
  std::optional<std::uint64_t> storage_txn(std::uint64_t handle) const;

 private:
  // The refusal of a request this connection may not send now (no login yet, a role or prefix
  // that does not allow it), or nullopt.
  std::optional<Message> refused(const Message& request);
  Message dispatch(const Message& request);
  Message auth(BytesView payload);
  // A refused login: logged, counted, answered after the pause.
  Message login_failed(std::string_view user, std::string_view why);
  Message users(BytesView payload);
  Message put(BytesView payload);
  Message get_key(BytesView key);
  // The VALUE answer of key under the transaction's snapshot.
  Message read_value(std::uint64_t txn, BytesView key);
  // The VALUE answer of key in a snapshot read outside any transaction.
  static Message read_value(const Database::SnapshotReader& reader, BytesView key);
  Message del(BytesView key);
  Message begin_txn();
  // Decodes a COMMIT_TXN/ABORT_TXN handle and removes it from this connection's transactions:
  // the storage transaction id, or the error text to answer.
  Result<Database::Transaction, std::string> take_transaction(std::uint8_t op, BytesView payload);
  Message commit_txn(BytesView payload);
  Message abort_txn(BytesView payload);
  Message query(BytesView payload);
  Message register_table(BytesView payload);
  Message list_tables();
  Message describe_table(BytesView payload);
  Message drop_table(BytesView payload);
  Message put_path(BytesView payload);
  Message get_path(BytesView payload);
  Message scan(BytesView payload);
  Message checkpoint();
  Message compact();
  // BACKUP: the JSON summary of a backup written into the payload's directory.
  Message backup(BytesView payload);
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
  // Ends the transaction of the request running in IN_TXN after a write of it failed: the
  // answer, "Transaction N aborted: <error>; retry from BEGIN_TXN".
  Message abort_current(const KavrelError& error);

  std::shared_ptr<Database> db_;
  std::shared_ptr<ServerStats> stats_;
  Options options_;
  // The open explicit transactions by their handles (private to the connection, handed out
  // from 1 up; not the storage's transaction ids).
  std::unordered_map<std::uint64_t, Database::Transaction> transactions_;
  std::uint64_t next_handle_ = 1;
  // The explicit transaction an IN_TXN request runs in, while it runs.
  struct Current {
    std::uint64_t handle = 0;
    std::uint64_t txn = 0;
  };
  std::optional<Current> current_;
  // The run of writes between decode_writes and finish_writes.
  struct DecodedWrites {
    std::vector<Message> answers;    // one per request: the decoding errors so far
    std::vector<std::size_t> index;  // the request each write answers
    std::vector<BlindWrite> writes;  // what to commit, in request order
    std::vector<Bytes> path_keys;    // PUT_PATH keys built here; writes view them
  };
  DecodedWrites decoded_;
  // The login: the user once logged in, the exchange under way, the refusals so far.
  std::optional<UserRecord> user_;
  std::optional<scram::ServerExchange> exchange_;
  std::string certificate_user_;
  unsigned failed_logins_ = 0;
};

}  // namespace kavrel
