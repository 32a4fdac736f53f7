// The listener in-process: socket preparation, the connection limit, stop, and the connection
// loops behind it.
#include "server/ipc_server.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <cstring>

#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "clients/cpp/kavrel_client.h"
#include "storage/internal/mvcc/mvcc_manager.h"
#include "tests/support/temp_dir.h"

namespace kavrel {
namespace {

class IpcServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto opened = Database::open(dir_ / "db");
    ASSERT_TRUE(opened.has_value()) << opened.error().message();
    db_ = *opened;
    ::testing::internal::CaptureStderr();
  }
  void TearDown() override {
    if (server_) server_->stop();
    if (thread_.joinable()) thread_.join();
    if (!stderr_taken_) ::testing::internal::GetCapturedStderr();
  }

  // Builds the server and runs it on a thread; returns once the socket listens.
  void start(std::filesystem::path socket, std::uint64_t max_clients,
             ConnectionLoops::Options options = {}) {
    socket_ = std::move(socket);
    server_ = std::make_unique<IpcServer>(socket_, max_clients, db_, options);
    thread_ = std::thread([this] { result_ = server_->run(); });
    // The mode is set after listen, so 0600 means connections are taken.
    for (;;) {
      struct stat st {};
      if (::stat(socket_.c_str(), &st) == 0 && S_ISSOCK(st.st_mode) &&
          (st.st_mode & 0777) == 0600) {
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }
  Result<void, IpcError> stop() {
    server_->stop();
    thread_.join();
    return std::move(*result_);
  }
  std::string take_stderr() {
    stderr_taken_ = true;
    return ::testing::internal::GetCapturedStderr();
  }
  // Takes what was written to standard error and expects text in it.
  void expect_stderr_has(std::string_view text) {
    const std::string err = take_stderr();
    EXPECT_NE(err.find(text), std::string::npos) << err;
  }
  Client connect() {
    auto c = Client::connect(socket_, std::chrono::seconds(20));
    EXPECT_TRUE(c.has_value()) << c.error().message();
    return std::move(*c);
  }
  // Waits until the connection threads have ended.
  void wait_inactive() {
    while (server_->stats()->connections_active.load() != 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }

  testing::TempDir dir_;
  std::shared_ptr<Database> db_;
  std::filesystem::path socket_;
  std::unique_ptr<IpcServer> server_;
  std::thread thread_;
  std::optional<Result<void, IpcError>> result_;
  bool stderr_taken_ = false;
};

TEST_F(IpcServerTest, ReplacesStaleFileServesAndStops) {
  const auto path = dir_ / "kavrel.sock";
  std::ofstream(path) << "stale";
  start(path, 10);

  auto again = server_->run();
  ASSERT_FALSE(again.has_value());
  EXPECT_EQ(again.error().message(), "Server already running");

  {
    Client c = connect();
    ASSERT_TRUE(c.put("key", "value").has_value());
    EXPECT_EQ(c.get("key").value(), "value");
  }
  wait_inactive();
  EXPECT_EQ(server_->stats()->connections_total.load(), 1u);

  ASSERT_TRUE(stop().has_value());
  EXPECT_FALSE(std::filesystem::exists(path));
  EXPECT_EQ(server_->stats()->connections_total.load(), 1u);  // the wake-up is no client
  EXPECT_EQ(take_stderr(), "[IpcServer] Listening on \"" + path.string() + "\"\n");
}

TEST_F(IpcServerTest, SocketPreparationErrors) {
  struct Case {
    std::filesystem::path path;
    std::string error;
  };
  const std::string dir = dir_.path().string() + "/";
  const std::vector<Case> cases = {
      {dir + std::string(108 - dir.size(), 'x'), "I/O error: File name too long (os error 36)"},
      {dir + "missing/kavrel.sock", "I/O error: No such file or directory (os error 2)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    IpcServer server(c.path, 10, db_);
    for (int attempt = 0; attempt < 2; ++attempt) {  // an error leaves the server runnable
      auto r = server.run();
      ASSERT_FALSE(r.has_value());
      EXPECT_EQ(r.error().message(), c.error);
    }
  }
  // 107 bytes is the longest path that fits.
  start(dir + std::string(107 - dir.size(), 'y'), 1);
  Client c = connect();
  EXPECT_TRUE(c.ping().has_value());
}

TEST_F(IpcServerTest, ConnectionLimitRefusesWithoutAFrame) {
  start(dir_ / "s.sock", 1);
  Client first = connect();
  ASSERT_TRUE(first.ping().has_value());

  Client refused = connect();  // accepted at the socket level, then closed
  auto r = refused.read_frame();
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind(), ClientError::Kind::Io);
  EXPECT_EQ(server_->stats()->connections_total.load(), 1u);

  { Client closing = std::move(first); }  // once it is gone, a new client is admitted
  wait_inactive();
  Client admitted = connect();
  ASSERT_TRUE(admitted.ping().has_value());
  EXPECT_EQ(server_->stats()->connections_total.load(), 2u);
  expect_stderr_has("[IpcServer] Connection limit reached, rejecting\n");
}

TEST_F(IpcServerTest, ZeroClientsRefusesEveryone) {
  start(dir_ / "s.sock", 0);
  for (int i = 0; i < 2; ++i) {
    Client c = connect();
    EXPECT_FALSE(c.read_frame().has_value());
  }
  EXPECT_EQ(server_->stats()->connections_total.load(), 0u);
  ASSERT_TRUE(stop().has_value());
  expect_stderr_has(
      "[IpcServer] Connection limit reached, rejecting\n[IpcServer] Connection "
      "limit reached, rejecting\n");
}

// ---- The connection loops ----------------------------------------------------------------

// A single write that meets another connection's pending write waits for it off the loop: with
// one loop thread serving both connections, the transaction's COMMIT_TXN is still served
// meanwhile, and the write then applies after it (a loop that waited itself would serve the
// commit only after the write had given up with the conflict error, 5 s later).
TEST_F(IpcServerTest, BlindWriteWaitingForAPendingWriteDoesNotHoldTheLoop) {
  start(dir_ / "s.sock", 10, {.threads = 1, .receive_timeout = kReceiveTimeout});
  Client holder = connect();
  Client writer = connect();
  const auto handle = holder.begin();
  ASSERT_TRUE(handle.has_value());
  holder.use_transaction(*handle);
  ASSERT_TRUE(holder.put("k", "from the transaction").has_value());
  holder.use_transaction(std::nullopt);
  ASSERT_TRUE(writer.send_frame(opcode::PUT, encode_put("k", "blind")).has_value());
  // The blind write is parked behind the pending one; the loop still answers the holder.
  ASSERT_TRUE(holder.ping().has_value());
  EXPECT_EQ(holder.get("k").value(), "");  // the transaction has not committed yet
  ASSERT_TRUE(holder.commit(*handle).has_value());
  auto answer = writer.read_frame();
  ASSERT_TRUE(answer.has_value()) << answer.error().message();
  EXPECT_EQ(*answer, (Message{response::OK, ""}));
  EXPECT_EQ(writer.get("k").value(), "blind");  // applied after the transaction
  EXPECT_EQ(holder.get("k").value(), "blind");
}

// Frames sent together by several connections are answered in order per connection, and each
// connection's reads see its own writes before them.
TEST_F(IpcServerTest, PipelinedWritesAndReadsOfManyConnectionsKeepTheirOrder) {
  start(dir_ / "s.sock", 100, {.threads = 2, .receive_timeout = kReceiveTimeout});
  constexpr int kClients = 8;
  constexpr int kRounds = 20;
  std::vector<std::thread> threads;
  std::vector<std::string> failures(kClients);
  for (int c = 0; c < kClients; ++c) {
    threads.emplace_back([&, c] {
      Client client = connect();
      const std::string key = "key" + std::to_string(c);
      for (int r = 0; r < kRounds; ++r) {
        const std::string v = std::to_string(r);
        const std::vector<Message> frames = {
            {opcode::PUT, encode_put(key, v + "a")},
            {opcode::GET, key},
            {opcode::PUT, encode_put(key, v + "b")},
            {opcode::PUT, encode_put(key, v + "c")},
            {opcode::GET, key},
            {opcode::DELETE, key},
            {opcode::GET, key},
            {opcode::PING, ""},
        };
        const std::vector<Message> expected = {
            {response::OK, ""},    {response::VALUE, v + "a"}, {response::OK, ""},
            {response::OK, ""},    {response::VALUE, v + "c"}, {response::OK, ""},
            {response::VALUE, ""}, {response::PONG, ""},
        };
        auto got = client.pipeline(frames);
        if (!got || *got != expected) {
          failures[c] = "round " + v + ": " + (got ? "wrong answers" : got.error().message());
          return;
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  for (int c = 0; c < kClients; ++c) EXPECT_EQ(failures[c], "") << "client " << c;
  wait_inactive();
  const auto stats = server_->stats();
  EXPECT_EQ(stats->requests_total.load(), std::uint64_t{kClients} * kRounds * 8);
  EXPECT_EQ(stats->requests_success.load(), std::uint64_t{kClients} * kRounds * 8);
  EXPECT_EQ(stats->requests_error.load(), 0u);
}

// A connection that waits for input longer than the receive time-out is ended by its loop: the
// error is logged, its transactions are aborted, the others go on.
TEST_F(IpcServerTest, SilentConnectionTimesOutInTheLoop) {
  start(dir_ / "s.sock", 10, {.threads = 1, .receive_timeout = std::chrono::milliseconds(100)});
  Client silent = connect();
  ASSERT_TRUE(silent.begin().has_value());
  EXPECT_EQ(db_->storage().figures().running_transactions, 1u);
  auto r = silent.read_frame();  // the server closes it without a frame
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind(), ClientError::Kind::Io);
  wait_inactive();
  EXPECT_EQ(db_->storage().figures().running_transactions, 0u);
  Client busy = connect();
  for (int i = 0; i < 5; ++i) {
    ASSERT_TRUE(busy.ping().has_value());
    std::this_thread::sleep_for(std::chrono::milliseconds(40));  // each within the time-out
  }
  ASSERT_TRUE(stop().has_value());
  expect_stderr_has(
      "[IpcServer] Client error: I/O error: Resource temporarily unavailable "
      "(os error 11)\n");
}

// A connection error ends that connection only: the answers of the frames before it still go
// out, and the other connections of the loop are served on.
TEST_F(IpcServerTest, ConnectionErrorEndsThatConnectionOnly) {
  start(dir_ / "s.sock", 10, {.threads = 1, .receive_timeout = kReceiveTimeout});
  Client other = connect();
  Client bad = connect();
  Bytes frames = encode_frame(opcode::PUT, encode_put("a", "1"));
  put_u8(frames, opcode::PUT);
  put_u32(frames, MAX_MESSAGE_SIZE + 1);
  ASSERT_TRUE(bad.send_frame(opcode::PING, "").has_value());
  ASSERT_EQ(::send(bad.fd(), frames.data(), frames.size(), MSG_NOSIGNAL),
            static_cast<ssize_t>(frames.size()));
  EXPECT_EQ(bad.read_frame().value(), (Message{response::PONG, ""}));
  EXPECT_EQ(bad.read_frame().value(), (Message{response::OK, ""}));
  EXPECT_FALSE(bad.read_frame().has_value());
  EXPECT_EQ(other.get("a").value(), "1");
  ASSERT_TRUE(stop().has_value());
  expect_stderr_has(
      "[IpcServer] Client error: Message too large: 16777217 bytes (max: "
      "16777216)\n");
}

// ---- Connections on threads of their own --------------------------------------------------

// ConnectionLoops driven directly (to see how many connections are away on threads of their
// own): the test listens, connects a Client and hands the accepted end to the loops.
class OwnThreadTest : public IpcServerTest {
 protected:
  void start_loops(std::size_t own_threads, std::chrono::microseconds timeout = kReceiveTimeout) {
    stats_ = std::make_shared<ServerStats>();
    loops_ = std::make_unique<ConnectionLoops>(
        db_, stats_,
        ConnectionLoops::Options{
            .threads = 1, .own_threads = own_threads, .receive_timeout = timeout});
    socket_ = dir_ / "own.sock";
    listener_ = UniqueFd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, socket_.c_str(), sizeof(addr.sun_path) - 1);
    ASSERT_EQ(::bind(listener_.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(listener_.get(), 16), 0);
  }
  void TearDown() override {
    loops_.reset();
    IpcServerTest::TearDown();
  }
  Client connect_loops() {
    Client c = connect();  // completes in the backlog
    UniqueFd accepted(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
    EXPECT_TRUE(accepted.valid());
    stats_->connection_admitted();
    loops_->adopt(Accepted{std::move(accepted), nullptr});
    return c;
  }
  // Waits (at most 20 s) until n connections are away on threads of their own.
  bool wait_own_threads(std::size_t n) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (loops_->on_own_threads() != n) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
  }
  // Waits until n connections are active (the others ended and counted out).
  void wait_active(std::uint64_t n) {
    while (stats_->connections_active.load() != n) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  static void reads(Client& c, std::string_view key, std::string_view expected, unsigned n) {
    for (unsigned i = 0; i < n; ++i) ASSERT_EQ(c.get(key).value(), expected);
  }

  std::shared_ptr<ServerStats> stats_;
  std::unique_ptr<ConnectionLoops> loops_;
  UniqueFd listener_;
};

// A connection that keeps reading moves to a thread of its own (at most own_threads at once),
// is answered in order there, reads its own writes, and comes back to the loop after a few runs
// of writes in a row, freeing its place for another reader.
TEST_F(OwnThreadTest, ReadersMoveToThreadsOfTheirOwnAndWritersComeBack) {
  start_loops(1);
  Client a = connect_loops();
  Client b = connect_loops();
  ASSERT_TRUE(a.put("k", "0").has_value());
  reads(a, "k", "0", ConnectionLoops::kReadServes);
  ASSERT_TRUE(wait_own_threads(1));
  reads(b, "k", "0", 2 * ConnectionLoops::kReadServes);  // no place left: b stays in the loop
  EXPECT_EQ(loops_->on_own_threads(), 1u);

  const std::vector<Message> frames = {
      {opcode::PUT, encode_put("k", "1")},
      {opcode::GET, "k"},
      {opcode::PUT, encode_put("k", "2")},
      {opcode::DELETE, "j"},
      {opcode::GET, "k"},
      {opcode::PING, ""},
  };
  const std::vector<Message> expected = {
      {response::OK, ""}, {response::VALUE, "1"}, {response::OK, ""},
      {response::OK, ""}, {response::VALUE, "2"}, {response::PONG, ""},
  };
  EXPECT_EQ(a.pipeline(frames).value(), expected);
  EXPECT_EQ(loops_->on_own_threads(), 1u);  // the reads between the writes keep it there
  for (std::size_t i = 0; i < ConnectionLoops::kWriteRuns; ++i) {
    ASSERT_TRUE(a.put("k", std::to_string(i)).has_value());
  }
  ASSERT_TRUE(wait_own_threads(0));
  reads(b, "k", std::to_string(ConnectionLoops::kWriteRuns - 1), 1);  // b takes the place
  ASSERT_TRUE(wait_own_threads(1));
  reads(a, "k", std::to_string(ConnectionLoops::kWriteRuns - 1), 1);  // a is served in the loop
  EXPECT_EQ(b.get("k").value(), std::to_string(ConnectionLoops::kWriteRuns - 1));

  // b ends while on its thread: its transaction is aborted and the connection counted out.
  ASSERT_TRUE(b.begin().has_value());
  EXPECT_EQ(db_->storage().figures().running_transactions, 1u);
  { Client closing = std::move(b); }
  ASSERT_TRUE(wait_own_threads(0));
  wait_active(1);
  EXPECT_EQ(db_->storage().figures().running_transactions, 0u);
  EXPECT_EQ(stats_->requests_error.load(), 0u);
}

// On a thread of its own a silent connection still times out: it is ended with the time-out
// error, logged once, and its transaction is aborted.
TEST_F(OwnThreadTest, SilentConnectionTimesOutOnItsThread) {
  start_loops(4, std::chrono::milliseconds(100));
  Client c = connect_loops();
  ASSERT_TRUE(c.begin().has_value());
  reads(c, "k", "", ConnectionLoops::kReadServes);
  ASSERT_TRUE(wait_own_threads(1));
  auto r = c.read_frame();  // the server closes it without a frame
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind(), ClientError::Kind::Io);
  ASSERT_TRUE(wait_own_threads(0));
  wait_active(0);
  EXPECT_EQ(db_->storage().figures().running_transactions, 0u);
  loops_.reset();
  expect_stderr_has(
      "[IpcServer] Client error: I/O error: Resource temporarily unavailable "
      "(os error 11)\n");
}

// A receive time-out of zero is none: an idle connection stays, in the loop and on its thread.
TEST_F(OwnThreadTest, ZeroTimeoutKeepsIdleConnections) {
  start_loops(4, std::chrono::microseconds(0));
  Client c = connect_loops();
  ASSERT_TRUE(c.begin().has_value());
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  ASSERT_TRUE(c.ping().has_value()) << "idle in the loop";
  reads(c, "k", "", ConnectionLoops::kReadServes);
  ASSERT_TRUE(wait_own_threads(1));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  ASSERT_TRUE(c.ping().has_value()) << "idle on its own thread";
  EXPECT_EQ(db_->storage().figures().running_transactions, 1u);
}

// A connection whose input ends in the middle of a frame (a client killed while sending, or one
// that sends part of a request and closes) is ended at once, in the loop and on a thread of its
// own: its transaction is aborted (its pending write no longer holds the key) and it is counted
// out, long before the receive time-out. The whole request before the cut is answered first.
TEST_F(OwnThreadTest, InputEndingInsideAFrameEndsTheConnectionAtOnce) {
  struct Cut {
    const char* name;
    Bytes bytes;
  };
  Bytes cut_payload;
  put_u8(cut_payload, opcode::PUT);
  put_u32(cut_payload, 100);
  cut_payload += Bytes(10, 'x');
  const Cut cuts[] = {{"cut header", Bytes("\x01\x05\x00", 3)}, {"cut payload", cut_payload}};
  start_loops(4, std::chrono::seconds(60));
  Client writer = connect_loops();
  std::uint64_t active = 1;
  for (const bool own_thread : {false, true}) {
    for (const Cut& cut : cuts) {
      for (const int how : {SHUT_RDWR, SHUT_WR}) {
        SCOPED_TRACE(::testing::Message() << (own_thread ? "own thread, " : "loop, ") << cut.name
                                          << (how == SHUT_WR ? ", write side shut" : ", closed"));
        Client c = connect_loops();
        ++active;
        auto handle = c.begin();
        ASSERT_TRUE(handle.has_value());
        Bytes in_txn = encode_txn_handle(*handle);
        put_u8(in_txn, opcode::PUT);
        in_txn += encode_put("held", "by the transaction");
        ASSERT_EQ(c.call(opcode::IN_TXN, in_txn).value(), (Message{response::OK, ""}));
        if (own_thread) {
          reads(c, "k", "", ConnectionLoops::kReadServes);
          ASSERT_TRUE(wait_own_threads(1));
        }
        // A whole request answered, then the cut frame with the end right behind it, so that the
        // server meets both in one wake-up.
        ASSERT_TRUE(c.ping().has_value());
        ASSERT_EQ(::send(c.fd(), cut.bytes.data(), cut.bytes.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(cut.bytes.size()));
        if (how == SHUT_WR) {
          ASSERT_EQ(::shutdown(c.fd(), SHUT_WR), 0);
          EXPECT_FALSE(c.read_frame().has_value()) << "the server ends it";
        } else {
          Client closing = std::move(c);
        }
        --active;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (stats_->connections_active.load() != active &&
               std::chrono::steady_clock::now() < deadline) {
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        ASSERT_EQ(stats_->connections_active.load(), active) << "still served after its end";
        EXPECT_EQ(db_->storage().figures().running_transactions, 0u);
        EXPECT_TRUE(writer.put("held", "by a blind write").has_value())
            << "the pending write is gone with its transaction";
        ASSERT_TRUE(wait_own_threads(0));
      }
    }
  }
}

}  // namespace
}  // namespace kavrel
