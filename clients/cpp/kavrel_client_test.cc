// The client against a scripted stand-in server: request encodings, response decoding, the error
// kinds, pipelining that cannot deadlock, and connecting again after the server closed an idle
// connection.
#include "clients/cpp/kavrel_client.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "tests/support/temp_dir.h"

namespace kavrel {
namespace {

bool read_exact(int fd, char* dst, std::size_t n) {
  while (n > 0) {
    const ssize_t got = ::read(fd, dst, n);
    if (got <= 0) return false;
    dst += got;
    n -= static_cast<std::size_t>(got);
  }
  return true;
}

bool write_all(int fd, BytesView data) {
  while (!data.empty()) {
    const ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
    if (n <= 0) return false;
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

// Accepts one connection and answers every request frame with the raw bytes the script returns;
// nullopt closes the connection instead.
class ScriptedServer {
 public:
  using Script = std::function<std::optional<Bytes>(const Message&)>;

  explicit ScriptedServer(Script script) : script_(std::move(script)) {
    listener_ = UniqueFd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, socket().c_str(), sizeof addr.sun_path - 1);
    EXPECT_EQ(::bind(listener_.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    EXPECT_EQ(::listen(listener_.get(), 4), 0);
    thread_ = std::thread([this] { serve(); });
  }
  ~ScriptedServer() { thread_.join(); }

  [[nodiscard]] std::filesystem::path socket() const { return dir_ / "s.sock"; }
  std::vector<Message> requests() {
    std::scoped_lock lock(mu_);
    return requests_;
  }

 private:
  void serve() {
    UniqueFd conn(::accept(listener_.get(), nullptr, nullptr));
    for (;;) {
      char header[5];
      if (!read_exact(conn.get(), header, 5)) return;
      Message m{static_cast<std::uint8_t>(header[0]), Bytes(get_u32(header + 1), '\0')};
      if (!read_exact(conn.get(), m.payload.data(), m.payload.size())) return;
      {
        std::scoped_lock lock(mu_);
        requests_.push_back(m);
      }
      auto reply = script_(m);
      if (!reply || !write_all(conn.get(), *reply)) return;
    }
  }

  testing::TempDir dir_;
  Script script_;
  UniqueFd listener_;
  std::mutex mu_;
  std::vector<Message> requests_;  // guarded by mu_
  std::thread thread_;
};

Bytes u64(std::uint64_t v) {
  Bytes b;
  put_u64(b, v);
  return b;
}

TEST(ClientTest, TypedCallsSendTheirEncodingAndDecodeTheAnswer) {
  const ScanListing listing = {{"ab/1", "x"}, {"ab/2", ""}};
  ScriptedServer server([&](const Message& m) -> std::optional<Bytes> {
    switch (m.opcode) {
      case opcode::GET:
      case opcode::GET_PATH: return encode_frame(response::VALUE, "val");
      case opcode::BEGIN_TXN: return encode_frame(response::TXN_ID, u64(7));
      case opcode::COMMIT_TXN: return encode_frame(response::TXN_ID, u64(99));
      case opcode::QUERY: return encode_frame(response::VALUE, "[]");
      case opcode::SCAN: return encode_frame(response::VALUE, *encode_scan_listing(listing));
      case opcode::STATS: return encode_frame(response::STATS_JSON, "{}");
      case opcode::PING: return encode_frame(response::PONG, "");
      case opcode::EXECUTE_SQL: return encode_frame(response::VALUE, "{\"error\":1}");
      default: return encode_frame(response::OK, "");
    }
  });
  auto client = Client::connect(server.socket(), std::chrono::seconds(10));
  ASSERT_TRUE(client.has_value()) << client.error().message();
  Client& c = *client;
  ASSERT_TRUE(c.put(Bytes("k\0", 2), "v").has_value());
  EXPECT_EQ(c.get("k").value(), "val");
  ASSERT_TRUE(c.del("k").has_value());
  EXPECT_EQ(c.begin().value(), 7u);
  EXPECT_EQ(c.commit(7).value(), 99u);
  ASSERT_TRUE(c.abort(3).has_value());
  EXPECT_EQ(c.query("users", 5, 2, {"name"}).value(), "[]");
  EXPECT_EQ(c.query("users", 0, 0, {}, /*exact_floats=*/true).value(), "[]");
  ASSERT_TRUE(c.register_table("users", {{"name", 3, true}}).has_value());
  ASSERT_TRUE(c.put_path({"users", "42"}, "row").has_value());
  EXPECT_EQ(c.get_path({"users", "42"}).value(), "val");
  EXPECT_EQ(c.scan("ab").value(), listing);
  ASSERT_TRUE(c.checkpoint().has_value());
  EXPECT_EQ(c.stats().value(), "{}");
  ASSERT_TRUE(c.ping().has_value());
  EXPECT_EQ(c.execute_sql("SELECT 1").value(), "{\"error\":1}");

  const std::vector<Message> expected = {
      {opcode::PUT, encode_put(Bytes("k\0", 2), "v")},
      {opcode::GET, "k"},
      {opcode::DELETE, "k"},
      {opcode::BEGIN_TXN, ""},
      {opcode::COMMIT_TXN, u64(7)},
      {opcode::ABORT_TXN, u64(3)},
      {opcode::QUERY, encode_query("users", 5, 2, {"name"})},
      {opcode::QUERY, encode_query("users", 0, 0, {}) + "\x01"},  // the flags byte
      {opcode::REGISTER_TABLE, encode_schema("users", {{"name", 3, true}})},
      {opcode::PUT_PATH, encode_path({"users", "42"}, "row")},
      {opcode::GET_PATH, encode_path({"users", "42"})},
      {opcode::SCAN, "ab"},
      {opcode::CHECKPOINT, ""},
      {opcode::STATS, ""},
      {opcode::PING, ""},
      {opcode::EXECUTE_SQL, "SELECT 1"},
  };
  EXPECT_EQ(server.requests(), expected);
}

TEST(ClientTest, ErrorKinds) {
  int n = 0;
  ScriptedServer server([&](const Message&) -> std::optional<Bytes> {
    switch (n++) {
      case 0: return encode_frame(response::ERROR, "Transaction not found: 42");
      case 1: return encode_frame(response::PONG, "");        // wrong code for a PUT
      case 2: return encode_frame(response::TXN_ID, "abcd");  // handle not 8 bytes
      case 3: return encode_frame(response::OK, "");
      default: return std::nullopt;  // closes without an answer
    }
  });
  auto client = Client::connect(server.socket(), std::chrono::seconds(10));
  ASSERT_TRUE(client.has_value());

  auto server_error = client->commit(42);
  ASSERT_FALSE(server_error.has_value());
  EXPECT_EQ(server_error.error().kind(), ClientError::Kind::Server);
  EXPECT_EQ(server_error.error().message(), "Transaction not found: 42");

  auto wrong_code = client->put("k", "v");
  ASSERT_FALSE(wrong_code.has_value());
  EXPECT_EQ(wrong_code.error().kind(), ClientError::Kind::Protocol);

  auto short_handle = client->begin();
  ASSERT_FALSE(short_handle.has_value());
  EXPECT_EQ(short_handle.error().kind(), ClientError::Kind::Protocol);

  ASSERT_TRUE(client->put("k", "v").has_value());  // the connection goes on after each

  auto closed = client->ping();
  ASSERT_FALSE(closed.has_value());
  EXPECT_EQ(closed.error().kind(), ClientError::Kind::Io);
  EXPECT_EQ(closed.error().message(), "I/O error: connection closed by the server");
}

TEST(ClientTest, TablesAndRowsOfRegisteredTables) {
  const Bytes schema = encode_schema("t", {{"id", 0, false}, {"note", 3, true}});
  ScriptedServer server([&](const Message& m) -> std::optional<Bytes> {
    switch (m.opcode) {
      case opcode::LIST_TABLES:
        return encode_frame(response::VALUE,
                            le_bytes<std::uint32_t>(1) +
                                le_bytes<std::uint32_t>(static_cast<std::uint32_t>(schema.size())) +
                                schema);
      case opcode::DESCRIBE_TABLE:
        if (m.payload == "t") return encode_frame(response::VALUE, schema);
        if (m.payload == "bad") return encode_frame(response::VALUE, "\x01");
        return encode_frame(response::ERROR, "Table not found: " + m.payload);
      default: return encode_frame(response::OK, "");
    }
  });
  auto client = Client::connect(server.socket(), std::chrono::seconds(10));
  ASSERT_TRUE(client.has_value());
  auto tables = client->list_tables();
  ASSERT_TRUE(tables.has_value()) << tables.error().message();
  ASSERT_EQ(tables->size(), 1u);
  EXPECT_EQ((*tables)[0].name, "t");
  ASSERT_EQ((*tables)[0].columns.size(), 2u);
  EXPECT_EQ((*tables)[0].columns[1].type, 3);

  auto missing = client->describe_table("nope");
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error().message(), "Table not found: nope");
  auto malformed = client->describe_table("bad");
  ASSERT_FALSE(malformed.has_value());
  EXPECT_EQ(malformed.error().kind(), ClientError::Kind::Protocol);

  ASSERT_TRUE(client->insert_row("t", "7", {{"id", "7"}}).has_value());
  // Refused before sending: nothing reaches the server for these.
  const std::size_t sent = server.requests().size();
  auto bad_value = client->insert_row(*client->describe_table("t"), "8", {{"id", "x"}});
  ASSERT_FALSE(bad_value.has_value());
  EXPECT_EQ(bad_value.error().kind(), ClientError::Kind::Invalid);
  auto bad_id = client->insert_row(*client->describe_table("t"), "8/9", {{"id", "8"}});
  ASSERT_FALSE(bad_id.has_value());
  EXPECT_EQ(bad_id.error().kind(), ClientError::Kind::Invalid);
  EXPECT_EQ(server.requests().size(), sent + 2) << "only the two DESCRIBE_TABLE requests";

  const auto requests = server.requests();
  const Message& row = requests[requests.size() - 3];
  EXPECT_EQ(row.opcode, opcode::PUT);
  EXPECT_EQ(row.payload,
            encode_put("t/7", "\x02" + le_bytes<std::uint32_t>(0) + le_bytes<std::uint32_t>(0) +
                                  le_bytes<std::uint64_t>(7)));
}

TEST(ClientTest, RequestsAboveTheFrameLimitAreRefusedBeforeSending) {
  ScriptedServer server(
      [&](const Message&) -> std::optional<Bytes> { return encode_frame(response::OK, ""); });
  auto client = Client::connect(server.socket(), std::chrono::seconds(10));
  ASSERT_TRUE(client.has_value());
  // A PUT payload is 4 + key + value bytes: exactly the limit passes, one more does not.
  const Bytes fits(MAX_MESSAGE_SIZE - 5, 'v');
  ASSERT_TRUE(client->put("k", fits).has_value());
  auto too_large = client->put("k", fits + "v");
  ASSERT_FALSE(too_large.has_value());
  EXPECT_EQ(too_large.error().kind(), ClientError::Kind::Invalid);
  EXPECT_EQ(too_large.error().message(),
            "Invalid request: the request is 16777217 bytes, above the server's limit of "
            "16777216 bytes (16 MiB) per request; nothing was sent");
  auto piped = client->pipeline({{opcode::PING, ""}, {opcode::PUT, encode_put("k", fits + "v")}});
  ASSERT_FALSE(piped.has_value());
  EXPECT_EQ(piped.error().kind(), ClientError::Kind::Invalid);
  // The connection is still in step.
  ASSERT_TRUE(client->put("k", "small").has_value());
  EXPECT_EQ(server.requests().size(), 2u);
}

TEST(ClientTest, ConnectFailsWithoutServer) {
  testing::TempDir dir;
  auto client = Client::connect(dir / "missing.sock", std::chrono::seconds(1));
  ASSERT_FALSE(client.has_value());
  EXPECT_EQ(client.error().kind(), ClientError::Kind::Connect);
  EXPECT_EQ(client.error().message(), "Connect error: No such file or directory (os error 2)");

  auto too_long = Client::connect(dir / std::string(120, 'x'), std::chrono::seconds(1));
  ASSERT_FALSE(too_long.has_value());
  EXPECT_EQ(too_long.error().kind(), ClientError::Kind::Connect);
}

TEST(ClientTest, ReceiveTimeoutIsAnIoError) {
  ScriptedServer server([&](const Message&) -> std::optional<Bytes> {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    return std::nullopt;
  });
  auto client = Client::connect(server.socket(), std::chrono::milliseconds(50));
  ASSERT_TRUE(client.has_value());
  auto r = client->ping();
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().message(), "I/O error: timed out");
}

// BACKUP sends the directory as it is and waits for its answer past the receive time-out, which
// applies again to the next request; a refusal is a Server error.
TEST(ClientTest, BackupWaitsPastTheTimeoutForItsSummary) {
  ScriptedServer server([&](const Message& m) -> std::optional<Bytes> {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    if (m.opcode != opcode::BACKUP) return std::nullopt;
    if (m.payload == "/full") return encode_frame(response::ERROR, "Backup directory is not empty");
    return encode_frame(response::VALUE, R"({"path":"/b"})");
  });
  auto client = Client::connect(server.socket(), std::chrono::milliseconds(50));
  ASSERT_TRUE(client.has_value());
  auto done = client->backup("/b");
  ASSERT_TRUE(done.has_value()) << done.error().message();
  EXPECT_EQ(*done, R"({"path":"/b"})");
  auto refused = client->backup("/full");
  ASSERT_FALSE(refused.has_value());
  EXPECT_TRUE(refused.error().is_server_error());
  EXPECT_EQ(refused.error().text(), "Backup directory is not empty");
  auto ping = client->ping();
  ASSERT_FALSE(ping.has_value());
  EXPECT_EQ(ping.error().message(), "I/O error: timed out");
  EXPECT_EQ(server.requests().front(), (Message{opcode::BACKUP, "/b"}));
}

// The stand-in answers one frame at a time and blocks while writing a response. Sending all
// requests before reading any would fill both socket buffers and hang; pipeline() interleaves.
TEST(ClientTest, PipelineOfLargeFramesKeepsOrderWithoutDeadlock) {
  ScriptedServer server([&](const Message& m) -> std::optional<Bytes> {
    return encode_frame(response::VALUE, m.payload);
  });
  auto client = Client::connect(server.socket(), std::chrono::seconds(60));
  ASSERT_TRUE(client.has_value());
  std::vector<Message> requests;
  for (int i = 0; i < 32; ++i) {
    requests.push_back({opcode::GET, Bytes(512 * 1024, static_cast<char>('a' + i % 26))});
  }
  requests.push_back({opcode::GET, ""});
  auto responses = client->pipeline(requests);
  ASSERT_TRUE(responses.has_value()) << responses.error().message();
  ASSERT_EQ(responses->size(), requests.size());
  for (std::size_t i = 0; i < requests.size(); ++i) {
    EXPECT_EQ((*responses)[i].opcode, response::VALUE);
    EXPECT_EQ((*responses)[i].payload, requests[i].payload) << i;
  }
  // Raw frames after a pipeline still line up.
  auto echo = client->call(opcode::GET, "tail");
  ASSERT_TRUE(echo.has_value());
  EXPECT_EQ(echo->payload, "tail");
}

// Serves one connection after another, as the real server does across an idle close. The
// script answers each request and says what the connection does next: stay, close (as the
// server's idle time-out does once the client is quiet), or shut only its reading side, so that
// the client's next send fails with EPIPE while the connection does not yet read as closed (the
// server closing it between the client's check and its send).
class ClosingServer {
 public:
  enum class Then : std::uint8_t { Stay, Close, ShutRead };
  struct Reply {
    std::optional<Bytes> answer;  // nullopt: none
    Then then = Then::Stay;
  };
  using Script = std::function<Reply(const Message&)>;
  struct Seen {
    int connection;  // 0 for the first one accepted
    Message request;
    bool operator==(const Seen&) const = default;
  };

  explicit ClosingServer(Script script) : script_(std::move(script)) {
    listener_ = UniqueFd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, socket().c_str(), sizeof addr.sun_path - 1);
    EXPECT_EQ(::bind(listener_.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    EXPECT_EQ(::listen(listener_.get(), 4), 0);
    thread_ = std::thread([this] { serve(); });
  }
  ~ClosingServer() {
    stop_.store(true);
    thread_.join();
  }

  [[nodiscard]] std::filesystem::path socket() const { return dir_ / "s.sock"; }
  std::vector<Seen> requests() {
    std::scoped_lock lock(mu_);
    return requests_;
  }
  // Waits until n connections have been closed (or shut) by the server.
  void wait_ended(int n) {
    std::unique_lock lock(mu_);
    ended_cv_.wait(lock, [&] { return ended_ >= n; });
  }

 private:
  // Waits for fd to be readable, giving up when the server stops.
  bool wait_readable(int fd) {
    while (!stop_.load()) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 20) > 0) return true;
    }
    return false;
  }
  bool read_exact_or_stop(int fd, char* dst, std::size_t n) {
    while (n > 0) {
      if (!wait_readable(fd)) return false;
      const ssize_t got = ::read(fd, dst, n);
      if (got <= 0) return false;
      dst += got;
      n -= static_cast<std::size_t>(got);
    }
    return true;
  }
  // Serves one connection until the script ends it or the client goes.
  void serve_connection(int number, UniqueFd conn) {
    for (;;) {
      char header[5];
      if (!read_exact_or_stop(conn.get(), header, 5)) return;
      Message m{static_cast<std::uint8_t>(header[0]), Bytes(get_u32(header + 1), '\0')};
      if (!read_exact_or_stop(conn.get(), m.payload.data(), m.payload.size())) return;
      {
        std::scoped_lock lock(mu_);
        requests_.push_back({number, m});
      }
      const Reply reply = script_(m);
      if (reply.answer && !write_all(conn.get(), *reply.answer)) return;
      if (reply.then == Then::Close) {
        conn = UniqueFd();
        end_one();
        return;
      }
      if (reply.then == Then::ShutRead) {
        ::shutdown(conn.get(), SHUT_RD);
        held_.push_back(std::move(conn));  // open, so that the client sees no end of stream
        end_one();
        return;
      }
    }
  }
  void serve() {
    for (int number = 0; wait_readable(listener_.get()); ++number) {
      UniqueFd conn(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
      if (!conn.valid()) return;
      serve_connection(number, std::move(conn));
    }
  }
  void end_one() {
    {
      std::scoped_lock lock(mu_);
      ++ended_;
    }
    ended_cv_.notify_all();
  }

  testing::TempDir dir_;
  Script script_;
  UniqueFd listener_;
  std::vector<UniqueFd> held_;  // used by the server's thread only
  std::atomic<bool> stop_{false};
  std::mutex mu_;
  std::vector<Seen> requests_;  // guarded by mu_
  int ended_ = 0;               // guarded by mu_
  std::condition_variable ended_cv_;
  std::thread thread_;
};

// Answers as the real server would, then does what then says.
ClosingServer::Reply answer_like_a_server(const Message& m, ClosingServer::Then then) {
  switch (m.opcode) {
    case opcode::BEGIN_TXN: return {encode_frame(response::TXN_ID, u64(7)), then};
    case opcode::COMMIT_TXN: return {encode_frame(response::TXN_ID, u64(99)), then};
    case opcode::GET: return {encode_frame(response::VALUE, "v"), then};
    case opcode::PING: return {encode_frame(response::PONG, ""), then};
    default: return {encode_frame(response::OK, ""), then};
  }
}

TEST(ClientReconnectTest, ClosedIdleConnectionIsReplacedAndTheRequestSentOnce) {
  struct Case {
    const char* name;
    ClosingServer::Then then;  // how the server ends the first connection
  };
  constexpr Case kCases[] = {
      {"closed: seen before sending", ClosingServer::Then::Close},
      {"shut while the client sends: EPIPE", ClosingServer::Then::ShutRead},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    ClosingServer server([&](const Message& m) {
      return answer_like_a_server(m, m.opcode == opcode::PUT ? c.then : ClosingServer::Then::Stay);
    });
    auto client = Client::connect(server.socket(), std::chrono::seconds(10));
    ASSERT_TRUE(client.has_value());
    const int fd = client->fd();
    ASSERT_TRUE(client->put("k", "1").has_value());
    server.wait_ended(1);
    auto got = client->get("k");
    ASSERT_TRUE(got.has_value()) << got.error().message();
    EXPECT_EQ(*got, "v");
    EXPECT_EQ(client->reconnects(), 1u);
    EXPECT_EQ(client->fd(), fd) << "the new connection takes the old descriptor's number";
    using Seen = ClosingServer::Seen;
    EXPECT_EQ(server.requests(), (std::vector<Seen>{{0, {opcode::PUT, encode_put("k", "1")}},
                                                    {1, {opcode::GET, "k"}}}));
  }
}

TEST(ClientReconnectTest, OpenTransactionIsReportedLostAndNothingIsSent) {
  struct Case {
    const char* name;
    ClosingServer::Then then;
  };
  constexpr Case kCases[] = {
      {"closed: seen before sending", ClosingServer::Then::Close},
      {"shut while the client sends: EPIPE", ClosingServer::Then::ShutRead},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    ClosingServer server([&](const Message& m) {
      return answer_like_a_server(
          m, m.opcode == opcode::BEGIN_TXN ? c.then : ClosingServer::Then::Stay);
    });
    auto client = Client::connect(server.socket(), std::chrono::seconds(10));
    ASSERT_TRUE(client.has_value());
    ASSERT_EQ(client->begin().value(), 7u);
    EXPECT_EQ(client->open_transactions(), (std::set<std::uint64_t>{7}));
    server.wait_ended(1);
    client->use_transaction(7);
    auto lost = client->put("k", "1");
    ASSERT_FALSE(lost.has_value());
    EXPECT_EQ(lost.error().kind(), ClientError::Kind::Io);
    EXPECT_EQ(lost.error().lost_transactions(), (std::vector<std::uint64_t>{7}));
    EXPECT_EQ(lost.error().message(),
              "I/O error: the server had closed the connection (idle longer than its time-out, or "
              "stopped) while transaction 7 was open: it is lost, nothing of it was committed; "
              "the request was not sent");
    EXPECT_TRUE(client->open_transactions().empty());
    // The next request connects again.
    client->use_transaction(std::nullopt);
    ASSERT_TRUE(client->ping().has_value());
    EXPECT_EQ(client->reconnects(), 0u) << "no request was sent again";
    using Seen = ClosingServer::Seen;
    EXPECT_EQ(server.requests(),
              (std::vector<Seen>{{0, {opcode::BEGIN_TXN, ""}}, {1, {opcode::PING, ""}}}));
  }
}

TEST(ClientReconnectTest, TransactionsEndedByCommitAbortOrTheServerNoLongerCount) {
  int aborted_by_server = 0;
  ClosingServer server([&](const Message& m) -> ClosingServer::Reply {
    using Then = ClosingServer::Then;
    if (m.opcode == opcode::IN_TXN) {
      ++aborted_by_server;
      return {encode_frame(response::ERROR,
                           "Transaction 7 aborted: Internal error: Write-write conflict detected; "
                           "retry from BEGIN_TXN"),
              Then::Close};
    }
    // The connection closes after every commit and abort.
    const bool ends = m.opcode == opcode::COMMIT_TXN || m.opcode == opcode::ABORT_TXN;
    return answer_like_a_server(m, ends ? Then::Close : Then::Stay);
  });
  auto client = Client::connect(server.socket(), std::chrono::seconds(10));
  ASSERT_TRUE(client.has_value());
  ASSERT_TRUE(client->begin().has_value());
  ASSERT_TRUE(client->commit(7).has_value());
  server.wait_ended(1);
  ASSERT_TRUE(client->begin().has_value()) << "committed: connected again";
  ASSERT_TRUE(client->abort(7).has_value());
  server.wait_ended(2);
  {
    auto tx = client->transaction();
    ASSERT_TRUE(tx.has_value()) << "aborted: connected again";
    auto conflict = tx->put("k", "v");
    ASSERT_FALSE(conflict.has_value());
    EXPECT_TRUE(ends_transaction(conflict.error()));
    EXPECT_FALSE(tx->open());
  }
  server.wait_ended(3);
  ASSERT_TRUE(client->ping().has_value()) << "ended by the server: connected again";
  EXPECT_EQ(client->reconnects(), 3u);
  EXPECT_EQ(aborted_by_server, 1);
}

// The transaction is over when the server says it ended the one named (whatever the cause);
// a conflict of a lone write or a refused commit names none, and only the server says so.
TEST(ClientErrorTest, EndsTransactionOnlyWhenTheServerEndedOne) {
  struct Case {
    ClientError error;
    bool ends;
  };
  const Case cases[] = {
      {ClientError::server("Transaction 7 aborted: Internal error: Write-write conflict "
                           "detected; retry from BEGIN_TXN"),
       true},
      {ClientError::server("Transaction 7 aborted: IO error: disk full; retry from BEGIN_TXN"),
       true},
      {ClientError::server("Transaction not found: 7"), true},
      {ClientError::server("Internal error: Write-write conflict detected"), false},
      {ClientError::server("Validation error: transaction aborted: SSI validation failed"), false},
      {ClientError::server("Table not found: Transaction 7 aborted: "), false},
      {ClientError::io("Transaction 7 aborted: x; retry from BEGIN_TXN"), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.error.message());
    EXPECT_EQ(ends_transaction(c.error), c.ends);
  }
}

TEST(ClientReconnectTest, RequestLostAfterItWasSentWholeIsNotSentAgain) {
  ClosingServer server([&](const Message&) -> ClosingServer::Reply {
    return {std::nullopt, ClosingServer::Then::Close};  // read, maybe run, never answered
  });
  auto client = Client::connect(server.socket(), std::chrono::seconds(10));
  ASSERT_TRUE(client.has_value());
  auto r = client->put("k", "1");
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().message(), "I/O error: connection closed by the server");
  EXPECT_EQ(client->reconnects(), 0u);
  EXPECT_EQ(server.requests().size(), 1u);
}

TEST(ClientReconnectTest, PipelineAndRawFramesAfterAnIdleClose) {
  ClosingServer server([&](const Message& m) {
    return answer_like_a_server(
        m, m.opcode == opcode::PUT ? ClosingServer::Then::Close : ClosingServer::Then::Stay);
  });
  auto client = Client::connect(server.socket(), std::chrono::seconds(10));
  ASSERT_TRUE(client.has_value());
  ASSERT_TRUE(client->put("k", "1").has_value());
  server.wait_ended(1);
  auto piped = client->pipeline({{opcode::PING, ""}, {opcode::GET, "k"}});
  ASSERT_TRUE(piped.has_value()) << piped.error().message();
  EXPECT_EQ(piped->size(), 2u);
  ASSERT_TRUE(client->put("k", "2").has_value());
  server.wait_ended(2);
  auto raw = client->call(opcode::PING, "");
  ASSERT_TRUE(raw.has_value()) << raw.error().message();
  EXPECT_EQ(raw->opcode, response::PONG);
  EXPECT_EQ(client->reconnects(), 2u);
}

TEST(ClientReconnectTest, ReconnectCanBeTurnedOff) {
  ClosingServer server(
      [&](const Message& m) { return answer_like_a_server(m, ClosingServer::Then::Close); });
  auto client = Client::connect(server.socket(), std::chrono::seconds(10));
  ASSERT_TRUE(client.has_value());
  client->set_reconnect(false);
  ASSERT_TRUE(client->ping().has_value());
  server.wait_ended(1);
  auto r = client->ping();
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind(), ClientError::Kind::Io);
  EXPECT_EQ(client->reconnects(), 0u);
  EXPECT_EQ(server.requests().size(), 1u);
}

TEST(ClientReconnectTest, DropTableAloneAndInsideATransaction) {
  ClosingServer server([&](const Message& m) -> ClosingServer::Reply {
    if (m.opcode == opcode::DROP_TABLE) {
      return {encode_frame(response::ERROR, "Table not found: " + m.payload)};
    }
    if (m.opcode == opcode::IN_TXN && m.payload[8] == static_cast<char>(opcode::DROP_TABLE)) {
      return {encode_frame(response::ERROR, "Table not found: " + m.payload.substr(9))};
    }
    return answer_like_a_server(m, ClosingServer::Then::Stay);
  });
  auto client = Client::connect(server.socket(), std::chrono::seconds(10));
  ASSERT_TRUE(client.has_value());
  auto alone = client->drop_table("gone");
  ASSERT_FALSE(alone.has_value());
  EXPECT_EQ(alone.error().message(), "Table not found: gone");
  {
    auto tx = client->transaction();
    ASSERT_TRUE(tx.has_value());
    EXPECT_FALSE(tx->drop_table("t").has_value());
    EXPECT_TRUE(tx->open()) << "a refused drop leaves the transaction as it was";
  }
  Bytes in_txn = u64(7);
  in_txn += static_cast<char>(opcode::DROP_TABLE);
  in_txn += "t";
  using Seen = ClosingServer::Seen;
  EXPECT_EQ(server.requests(), (std::vector<Seen>{{0, {opcode::DROP_TABLE, "gone"}},
                                                  {0, {opcode::BEGIN_TXN, ""}},
                                                  {0, {opcode::IN_TXN, in_txn}},
                                                  {0, {opcode::ABORT_TXN, u64(7)}}}));
}

}  // namespace
}  // namespace kavrel
