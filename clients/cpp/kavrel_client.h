// A small synchronous client of the socket protocol (frame layout and payloads in protocol/wire.h):
// one call per request with typed results, the raw frame calls, and a pipelined mode that sends
// many frames before reading their responses. One Client is one connection at a time; it is
// movable and not thread-safe.
//
// Where it connects (ConnectOptions): the server's Unix socket, or a TCP address (a host name,
// an IPv4 or an IPv6 address, and a port) with TLS (the server's certificate checked against a
// CA file or the system's store, and its name against the host's; TLS 1.2 at least; a client
// certificate if one is given) or, for a server run with --insecure-tcp on loopback, plain TCP.
// With a login (a user and a password) every connection logs in by SCRAM-SHA-256 (AUTH, see
// protocol/scram.h) right after it is made, the first and every one made again below, and checks
// the server's signature: a server that does not know the user's verifier is refused. The
// password never crosses the wire. A TCP connection must log in (or present a client certificate
// naming a user) before the server answers anything else; a Unix one only under --unix-auth.
// Writes never raise SIGPIPE, over TLS too: a peer that has gone is an Io error.
//
// Connecting again. The server closes a connection that has sent nothing for its idle time-out
// (kavrel-server --timeout-ms). A request is sent again on a new connection, once, only when the
// client knows that the server never had the whole request, so it cannot have run it:
//   - before the request goes out, while no earlier request awaits its answer, the connection
//     reads as closed by the server (poll() finds it readable or hung up, and a MSG_PEEK receive
//     gets the end of the stream or an error; over TLS: the close alert, the end of the stream or
//     an error): nothing is sent on it; or
//   - the send fails with EPIPE or ECONNRESET before the last byte of the frame has gone out:
//     the server had closed its end, and it never runs a frame it has not received whole.
// This holds only while no transaction begun on the connection is open (a BEGIN_TXN answered,
// not yet followed by COMMIT_TXN or ABORT_TXN of its handle, nor ended by the server's answer to
// a request inside it). The server aborted those when it closed the connection, so instead the
// request fails, unsent, with an Io error whose lost_transactions() names them, and the
// connection is dropped; the next request connects again.
// A connection that fails after a whole request went out is never replaced for that request:
// the server may have run it (it takes a request out of the socket only once it has answered
// it). That is an Io error, as is any failure with set_reconnect(false). A new connection logs
// in again (with TLS: after its handshake) before the request goes out; when that fails, the
// request fails unsent with the login's error.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "clients/cpp/row_packer.h"
#include "core/bytes.h"
#include "core/error.h"
#include "core/unique_fd.h"
#include "protocol/wire.h"

namespace kavrel {

class ClientError {
 public:
  enum class Kind : std::uint8_t {
    Connect,   // the socket could not be reached
    Io,        // sending or receiving failed, the time-out passed, or the server closed
    Protocol,  // the server answered with an unexpected frame
    Server,    // the server answered ERROR (0x81); text() is its message
    Invalid,   // refused by the client before sending (too large, or a row that does not fit)
  };
  static ClientError connect(std::string text) { return {Kind::Connect, std::move(text)}; }
  static ClientError io(std::string text) { return {Kind::Io, std::move(text)}; }
  static ClientError protocol(std::string text) { return {Kind::Protocol, std::move(text)}; }
  static ClientError server(std::string text) { return {Kind::Server, std::move(text)}; }
  static ClientError invalid(std::string text) { return {Kind::Invalid, std::move(text)}; }
  // An Io error: the server had closed the connection while these transactions were open.
  static ClientError transactions_lost(std::string text, std::vector<std::uint64_t> handles) {
    ClientError e(Kind::Io, std::move(text));
    e.lost_ = std::move(handles);
    return e;
  }

  Kind kind() const { return kind_; }
  bool is_server_error() const { return kind_ == Kind::Server; }
  // The server's text for Server errors, else the description of the failure.
  const std::string& text() const { return text_; }
  // Server: the server's text as it is; others: "Connect error: ", "I/O error: ",
  // "Protocol error: " or "Invalid request: " followed by the text.
  std::string message() const;
  // The handles of the transactions that ended with the connection, when the client found it
  // closed by the server before sending (see the notes atop this file); empty otherwise.
  const std::vector<std::uint64_t>& lost_transactions() const { return lost_; }

 private:
  ClientError(Kind kind, std::string text) : kind_(kind), text_(std::move(text)) {}
  Kind kind_;
  std::string text_;
  std::vector<std::uint64_t> lost_;
};

template <class T = void>
using ClientResult = Result<T, ClientError>;

// TLS on a TCP connection.
struct TlsOptions {
  // The CA certificates (PEM) that the server's certificate must chain to; empty: the system's
  // default store.
  std::filesystem::path ca_file;
  // A client certificate (PEM, its chain after it) and its private key (PEM, not encrypted):
  // both or neither. A server that checks client certificates logs in the user the
  // certificate's common name names, without a password.
  std::filesystem::path cert_file, key_file;
  // The name the server's certificate must carry (a DNS name or an IP address) and the one sent
  // in the handshake; empty: the host connected to.
  std::string server_name;
};

// A password login, made on every connection (see the notes atop this file).
struct Login {
  std::string user;
  // Kept by the Client for the connections it makes again, and wiped when it goes; it is only
  // ever used to compute the SCRAM proof.
  std::string password;
};

// Where and how Client::connect connects: the Unix socket when socket is set, else host and
// port over TCP.
struct ConnectOptions {
  std::filesystem::path socket;
  std::string host;  // a DNS name, an IPv4 address, or an IPv6 address without brackets
  std::uint16_t port = 0;
  std::optional<TlsOptions> tls;  // TCP only; nullopt: plain TCP (the server's --insecure-tcp)
  std::optional<Login> login;
  // Bounds the connect, the TLS handshake, the login and every later send and receive; zero
  // means no bound. Resolving a host name is not bounded by it.
  std::chrono::milliseconds timeout = std::chrono::seconds(30);
};

// The roles of users (USERS, protocol/wire.h): each may do what the one before it may, and
// more. Read: reads and STATS; Write: also writes, transactions and tables; Admin: also
// CHECKPOINT, COMPACT, BACKUP and the users.
enum class UserRole : std::uint8_t { Read = 1, Write = 2, Admin = 3 };
// "read", "write", "admin"; nullopt for anything else.
std::optional<UserRole> parse_user_role(std::string_view text);

// One user as the server lists it.
struct UserInfo {
  std::string name;
  std::string role;    // "read", "write" or "admin"
  std::string prefix;  // every key the user touches starts with it; empty: any key
  bool operator==(const UserInfo&) const = default;
};

class Transaction;
class TlsLink;

class Client {
 public:
  // Connects to the server's socket. timeout bounds the connect and every later send and
  // receive; zero means no bound. The path is kept for connecting again.
  static ClientResult<Client> connect(const std::filesystem::path& socket,
                                      std::chrono::milliseconds timeout = std::chrono::seconds(30));
  // Connects as options say: the socket or the TCP address, the TLS handshake, the login. The
  // errors: Invalid for options that do not go together (TLS on a Unix socket, no address, a
  // certificate without its key); Connect when no connection could be made (the text says why:
  // the address, "cannot resolve ...", "TLS handshake failed: ...", or a login whose server
  // did not prove that it knows the user's verifier); Server with the server's text when it
  // refused the login ("Authentication failed"); Io when the connection failed during the
  // login.
  static ClientResult<Client> connect(const ConnectOptions& options);

  Client(Client&&) noexcept = default;
  Client& operator=(Client&&) noexcept = default;
  // Over TLS, sends the close alert (without waiting) before closing the socket.
  ~Client();

  ClientResult<> put(BytesView key, BytesView value);
  // The visible value; the server answers an absent key and an empty value alike (empty).
  ClientResult<Bytes> get(BytesView key);
  ClientResult<> del(BytesView key);
  // A new transaction handle (private to this connection).
  ClientResult<std::uint64_t> begin();
  // The commit timestamp.
  ClientResult<std::uint64_t> commit(std::uint64_t handle);
  ClientResult<> abort(std::uint64_t handle);
  // Begins a transaction whose requests run inside it (IN_TXN); see Transaction.
  ClientResult<Transaction> transaction();
  // From now on, sends every data request (put, get, del, query, put_path, get_path, scan,
  // drop_table) inside this handle; nullopt sends them alone again.
  void use_transaction(std::optional<std::uint64_t> handle) { inside_ = handle; }
  // TOON text; limit and offset 0 mean none, no columns means every column. exact_floats asks
  // for floats as the shortest text that reads back to the same double rather than with six
  // digits after the point (a server without that option ignores the request for it).
  ClientResult<std::string> query(std::string_view path, std::uint32_t limit = 0,
                                  std::uint32_t offset = 0,
                                  const std::vector<std::string>& columns = {},
                                  bool exact_floats = false);
  ClientResult<> register_table(std::string_view name, const std::vector<WireColumn>& columns);
  ClientResult<> put_path(const std::vector<std::string>& segments, BytesView value);
  ClientResult<Bytes> get_path(const std::vector<std::string>& segments);
  ClientResult<ScanListing> scan(std::string_view prefix);
  ClientResult<> checkpoint();
  // COMPACT: a snapshot of the committed state and a fresh log; OK once it is durable.
  ClientResult<> compact();
  // BACKUP: the server writes a copy of the database at one commit point into dir, a path on the
  // server's machine that must be absolute and either absent or an empty directory; the answer
  // is the JSON summary ({"path","lsn","keys","tables","bytes","encrypted"}). The answer is
  // awaited without the receive time-out: a backup takes as long as the data it copies.
  ClientResult<std::string> backup(std::string_view dir);
  // The statistics JSON text.
  ClientResult<std::string> stats();
  ClientResult<> ping();
  // The server's JSON refusal text.
  ClientResult<std::string> execute_sql(std::string_view sql);
  // Every registered table, in ascending name order.
  ClientResult<std::vector<WireSchema>> list_tables();
  // One registered table; a Server error "Table not found: NAME" when there is none.
  ClientResult<WireSchema> describe_table(std::string_view name);
  // DROP_TABLE: removes a registered table's schema and every row under "NAME/" in one durable
  // step (inside use_transaction's handle: when that transaction commits). A Server error
  // "Table not found: NAME" when there is none.
  ClientResult<> drop_table(std::string_view name);
  // Writes the row TABLE/ID of a registered table as a packed row built from values (see
  // row_packer.h); the first form asks the server for the schema. A row that does not fit the
  // schema, or an id holding "/", is an Invalid error and nothing is sent.
  ClientResult<> insert_row(std::string_view table, std::string_view id,
                            const std::vector<RowValue>& values);
  ClientResult<> insert_row(const WireSchema& schema, std::string_view id,
                            const std::vector<RowValue>& values);

  // User management (USERS; an admin's, or the server's own OS user's on its Unix socket while
  // no admin exists, or always without --unix-auth). add_user and set_password send the
  // password's SCRAM verifier (scram::Verifier::of), never the password itself. The server's
  // refusals are Server errors: "User already exists: NAME", "User not found: NAME",
  // "Permission denied: ...".
  ClientResult<> add_user(std::string_view name, UserRole role, std::string_view prefix,
                          std::string_view password);
  ClientResult<> set_password(std::string_view name, std::string_view password);
  ClientResult<> delete_user(std::string_view name);
  // Every user, by name.
  ClientResult<std::vector<UserInfo>> list_users();

  // Raw frames: send one request, read one response (ERROR responses are returned as frames,
  // not as errors), or both. A payload above MAX_MESSAGE_SIZE, which the server would answer
  // by closing the connection, is refused with an Invalid error before anything is sent.
  ClientResult<> send_frame(std::uint8_t opcode, BytesView payload);
  ClientResult<Message> read_frame();
  ClientResult<Message> call(std::uint8_t opcode, BytesView payload);
  // Sends every request and reads as many responses, in order. Sending and receiving overlap,
  // so any number of frames of any size can be in flight without a deadlock.
  ClientResult<std::vector<Message>> pipeline(const std::vector<Message>& requests);

  // The socket's descriptor; a connection made again takes the same number, so that another
  // thread may shut it down (to interrupt a request) at any time. -1 after a connection was
  // dropped with its transactions, until the next request.
  int fd() const { return fd_.get(); }

  // Whether a connection the server has closed is made again (see the notes atop this file); on
  // by default.
  void set_reconnect(bool on) { reconnect_ = on; }
  // How many times a new connection replaced one that the server had closed.
  std::uint64_t reconnects() const { return reconnects_; }
  // The handles of the transactions open on the connection, as the client has seen them begin
  // and end.
  const std::set<std::uint64_t>& open_transactions() const { return open_; }

 private:
  friend class Transaction;
  // A request sent and not yet answered, with what the client needs to follow the transactions:
  // the handle of COMMIT_TXN, ABORT_TXN and IN_TXN.
  struct Pending {
    std::uint8_t opcode = 0;
    std::uint64_t handle = 0;
  };

  // How this client makes its connections (shared by the moves of one Client): the options,
  // the TLS context.
  struct Dialer;
  // Frees the TLS session of the connection (clients/cpp/tls_link.h).
  struct TlsLinkFree {
    void operator()(TlsLink* link) const;
  };

  explicit Client(std::shared_ptr<const Dialer> dialer);
  // Makes a new connection (socket, TLS handshake, login) in place of none. With reuse_fd, the
  // new socket takes that descriptor's number (closing what it was), so that fd() stays the
  // same. On failure there is no connection (fd() is -1).
  ClientResult<> open_connection(bool reuse_fd);
  // The SCRAM login on a connection just made, before anything else is sent on it.
  ClientResult<> log_in();
  // One request and its answer on a connection with nothing else in flight, outside the
  // reconnect rules (the login's steps).
  ClientResult<Message> round_trip(std::uint8_t opcode, BytesView payload);
  // The Io error of a failed send or receive (over TLS, the TLS layer's reason).
  ClientError io_failure(int err) const;
  // Sends as much of data as the socket takes: with wait, all of it (or an error); without, what
  // goes without blocking (possibly nothing). The errno of a failure.
  Result<std::size_t, int> send_some(BytesView data, bool wait);
  // One round trip that must be answered with expected (or ERROR, turned into a Server error).
  ClientResult<Message> expect(std::uint8_t opcode, BytesView payload, std::uint8_t expected);
  ClientResult<> expect_empty(std::uint8_t opcode, BytesView payload, std::uint8_t expected);
  // A whole response frame from the receive buffer, if one is there.
  std::optional<Message> take_buffered_frame();
  // What one receive into the buffer brought.
  enum class Received : std::uint8_t {
    Bytes,    // more bytes are in the buffer
    Closed,   // the end of the stream: the server closed the connection
    Nothing,  // without blocking: none were waiting
  };
  ClientResult<Received> receive_some(bool block);
  // Before a request goes out: connects when the last connection was dropped, and replaces one
  // that the server has closed when nothing awaits an answer on it.
  ClientResult<> prepare_send();
  // Whether the server has closed the connection (never blocks).
  bool closed_by_server() const;
  // The server closed the connection before it had a whole request: a new connection, or the
  // open transactions reported lost (and the connection dropped).
  ClientResult<> replace_closed_connection();
  // Sends the whole frame; the errno of a failed send.
  Result<void, int> send_all(BytesView frame);
  // Follows the transactions through one request and its answer.
  void track(const Pending& request, const Message& answer);

  std::shared_ptr<const Dialer> dialer_;
  UniqueFd fd_;
  std::unique_ptr<TlsLink, TlsLinkFree> tls_;  // set on a TLS connection (over fd_); frees only
  std::chrono::milliseconds timeout_;
  bool reconnect_ = true;
  std::uint64_t reconnects_ = 0;
  std::set<std::uint64_t> open_;  // handles begun on this connection and not ended
  std::deque<Pending> pending_;   // requests sent, oldest first, awaiting their answers
  std::vector<char> rbuf_;
  std::size_t rpos_ = 0;  // unread bytes are rbuf_[rpos_, rbuf_.size())
  // While set, expect() sends each data request inside this transaction handle (IN_TXN).
  std::optional<std::uint64_t> inside_;
};

// An open transaction on one Client: every request made through it runs inside the transaction,
// reads see its snapshot and its own writes, and nothing is visible to others before commit().
// It ends with commit() or abort(), or is aborted when destroyed while still open. A write that
// meets another transaction's pending write, and a refused commit, end it on the server: open()
// is then false and the caller retries with a new transaction. The Client must outlive it and
// must not be moved meanwhile.
class Transaction {
 public:
  Transaction(Transaction&& other) noexcept
      : client_(other.client_), handle_(other.handle_), open_(std::exchange(other.open_, false)) {}
  Transaction& operator=(Transaction&&) = delete;
  Transaction(const Transaction&) = delete;
  ~Transaction();

  std::uint64_t handle() const { return handle_; }
  bool open() const { return open_; }

  ClientResult<> put(BytesView key, BytesView value);
  ClientResult<Bytes> get(BytesView key);
  ClientResult<> del(BytesView key);
  ClientResult<ScanListing> scan(std::string_view prefix);
  ClientResult<std::string> query(std::string_view path, std::uint32_t limit = 0,
                                  std::uint32_t offset = 0,
                                  const std::vector<std::string>& columns = {},
                                  bool exact_floats = false);
  ClientResult<> put_path(const std::vector<std::string>& segments, BytesView value);
  ClientResult<Bytes> get_path(const std::vector<std::string>& segments);
  // Drops a registered table when the transaction commits (see Client::drop_table).
  ClientResult<> drop_table(std::string_view name);
  // The commit timestamp. The transaction is over whatever the answer.
  ClientResult<std::uint64_t> commit();
  ClientResult<> abort();

 private:
  friend class Client;
  Transaction(Client& client, std::uint64_t handle) : client_(&client), handle_(handle) {}
  // Runs one request of the client inside the transaction; an answer saying the server ended the
  // transaction closes it here too.
  template <class F>
  auto inside(F&& request);

  Client* client_;
  std::uint64_t handle_;
  bool open_ = true;
};

// Whether a server error says that the server ended the transaction it names (aborted it after a
// failed write, or knows no such handle): classes TransactionAborted and TransactionNotFound of
// protocol/errors.h. Whether a new transaction may then succeed is is_retryable(error.text()).
bool ends_transaction(const ClientError& error);

}  // namespace kavrel
