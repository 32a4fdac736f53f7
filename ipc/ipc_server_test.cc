// The listener in-process: socket preparation, the connection limit, stop.
#include "ipc/ipc_server.h"

#include <sys/stat.h>

#include <fstream>
#include <thread>

#include <gtest/gtest.h>

#include "client/kavrel_client.h"
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
  void start(std::filesystem::path socket, std::uint64_t max_clients) {
    socket_ = std::move(socket);
    server_ = std::make_unique<IpcServer>(socket_, max_clients, db_);
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
  EXPECT_NE(take_stderr().find("[IpcServer] Connection limit reached, rejecting\n"),
            std::string::npos);
}

TEST_F(IpcServerTest, ZeroClientsRefusesEveryone) {
  start(dir_ / "s.sock", 0);
  for (int i = 0; i < 2; ++i) {
    Client c = connect();
    EXPECT_FALSE(c.read_frame().has_value());
  }
  EXPECT_EQ(server_->stats()->connections_total.load(), 0u);
  ASSERT_TRUE(stop().has_value());
  const std::string err = take_stderr();
  EXPECT_NE(err.find("[IpcServer] Connection limit reached, rejecting\n[IpcServer] Connection "
                     "limit reached, rejecting\n"),
            std::string::npos)
      << err;
}

}  // namespace
}  // namespace kavrel
