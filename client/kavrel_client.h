// A small synchronous client of the socket protocol (frame layout and payloads in core/wire.h):
// one call per request with typed results, the raw frame calls, and a pipelined mode that sends
// many frames before reading their responses. One Client is one connection; it is movable and
// not thread-safe.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "client/row_packer.h"
#include "core/bytes.h"
#include "core/error.h"
#include "core/unique_fd.h"
#include "core/wire.h"

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

  Kind kind() const { return kind_; }
  bool is_server_error() const { return kind_ == Kind::Server; }
  // The server's text for Server errors, else the description of the failure.
  const std::string& text() const { return text_; }
  // Server: the server's text as it is; others: "Connect error: ", "I/O error: ",
  // "Protocol error: " or "Invalid request: " followed by the text.
  std::string message() const;

 private:
  ClientError(Kind kind, std::string text) : kind_(kind), text_(std::move(text)) {}
  Kind kind_;
  std::string text_;
};

template <class T = void>
using ClientResult = Result<T, ClientError>;

class Transaction;

class Client {
 public:
  // Connects to the server's socket. timeout bounds the connect and every later send and
  // receive; zero means no bound.
  static ClientResult<Client> connect(const std::filesystem::path& socket,
                                      std::chrono::milliseconds timeout = std::chrono::seconds(30));

  Client(Client&&) noexcept = default;
  Client& operator=(Client&&) noexcept = default;

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
  // From now on, sends every data request (put, get, del, query, put_path, get_path, scan)
  // inside this handle; nullopt sends them alone again.
  void use_transaction(std::optional<std::uint64_t> handle) { inside_ = handle; }
  // TOON text; limit and offset 0 mean none, no columns means every column.
  ClientResult<std::string> query(std::string_view path, std::uint32_t limit = 0,
                                  std::uint32_t offset = 0,
                                  const std::vector<std::string>& columns = {});
  ClientResult<> register_table(std::string_view name, const std::vector<WireColumn>& columns);
  ClientResult<> put_path(const std::vector<std::string>& segments, BytesView value);
  ClientResult<Bytes> get_path(const std::vector<std::string>& segments);
  ClientResult<ScanListing> scan(std::string_view prefix);
  ClientResult<> checkpoint();
  // COMPACT: a snapshot of the committed state and a fresh log; OK once it is durable.
  ClientResult<> compact();
  // The statistics JSON text.
  ClientResult<std::string> stats();
  ClientResult<> ping();
  // The server's JSON refusal text.
  ClientResult<std::string> execute_sql(std::string_view sql);
  // Every registered table, in ascending name order.
  ClientResult<std::vector<WireSchema>> list_tables();
  // One registered table; a Server error "Table not found: NAME" when there is none.
  ClientResult<WireSchema> describe_table(std::string_view name);
  // Writes the row TABLE/ID of a registered table as a packed row built from values (see
  // row_packer.h); the first form asks the server for the schema. A row that does not fit the
  // schema, or an id holding "/", is an Invalid error and nothing is sent.
  ClientResult<> insert_row(std::string_view table, std::string_view id,
                            const std::vector<RowValue>& values);
  ClientResult<> insert_row(const WireSchema& schema, std::string_view id,
                            const std::vector<RowValue>& values);

  // Raw frames: send one request, read one response (ERROR responses are returned as frames,
  // not as errors), or both. A payload above MAX_MESSAGE_SIZE, which the server would answer
  // by closing the connection, is refused with an Invalid error before anything is sent.
  ClientResult<> send_frame(std::uint8_t opcode, BytesView payload);
  ClientResult<Message> read_frame();
  ClientResult<Message> call(std::uint8_t opcode, BytesView payload);
  // Sends every request and reads as many responses, in order. Sending and receiving overlap,
  // so any number of frames of any size can be in flight without a deadlock.
  ClientResult<std::vector<Message>> pipeline(const std::vector<Message>& requests);

  int fd() const { return fd_.get(); }

 private:
  friend class Transaction;
  Client(UniqueFd fd, std::chrono::milliseconds timeout) : fd_(std::move(fd)), timeout_(timeout) {}
  // One round trip that must be answered with expected (or ERROR, turned into a Server error).
  ClientResult<Message> expect(std::uint8_t opcode, BytesView payload, std::uint8_t expected);
  ClientResult<> expect_empty(std::uint8_t opcode, BytesView payload, std::uint8_t expected);
  // A whole response frame from the receive buffer, if one is there.
  std::optional<Message> take_buffered_frame();
  // Receives more bytes into the buffer. 0 bytes: the server closed. Without blocking, a receive
  // that would block sets would_block and returns 0.
  ClientResult<std::size_t> receive_some(bool block, bool* would_block = nullptr);

  UniqueFd fd_;
  std::chrono::milliseconds timeout_;
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
                                  const std::vector<std::string>& columns = {});
  ClientResult<> put_path(const std::vector<std::string>& segments, BytesView value);
  ClientResult<Bytes> get_path(const std::vector<std::string>& segments);
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

// Whether a server error says that the transaction was ended (aborted after a write conflict or
// a failed write, or no longer known): the client should retry from a new transaction.
bool ends_transaction(const ClientError& error);

}  // namespace kavrel
