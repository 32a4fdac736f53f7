// The listener of the real server binary: the connection limit, the socket file, start-up
// errors and SIGINT with clients connected.
#include <signal.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include <gtest/gtest.h>

#include "clients/cpp/kavrel_client.h"
#include "tests/support/server_process.h"
#include "tests/support/temp_dir.h"

namespace kavrel::testing {
namespace {

constexpr const char* kListening = "[IpcServer] Listening on ";

ClientResult<Client> connect(const std::filesystem::path& socket) {
  return Client::connect(socket, std::chrono::seconds(20));
}

TEST(ListenerE2eTest, ConnectionLimitRefusesTheThirdClientWithoutAFrame) {
  TempDir tmp;
  const auto db = tmp / "db";
  ServerProcess server({"--db", db.string(), "--max-clients", "2"}, tmp.path());
  ASSERT_TRUE(server.wait_for_stderr(kListening)) << server.stderr_text();
  const auto socket = db / "kavrel.sock";

  auto a = connect(socket);
  auto b = connect(socket);
  ASSERT_TRUE(a.has_value() && b.has_value());
  ASSERT_TRUE(a->ping().has_value());
  ASSERT_TRUE(b->ping().has_value());

  auto c = connect(socket);  // the socket accepts it; the listener closes it unanswered
  ASSERT_TRUE(c.has_value());
  auto refused = c->read_frame();
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error().kind(), ClientError::Kind::Io);
  EXPECT_TRUE(server.wait_for_stderr("[IpcServer] Connection limit reached, rejecting\n"));

  // Refused connections are not counted.
  EXPECT_NE(a->stats().value().find("\"connections_total\":2,\"connections_active\":2,"),
            std::string::npos);

  // Once one client leaves, a new one is admitted (the server ends it shortly after the close).
  { Client gone = std::move(*b); }
  bool admitted = false;
  for (int i = 0; i < 2000 && !admitted; ++i) {
    auto d = connect(socket);
    admitted = d.has_value() && d->ping().has_value();
    if (!admitted) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_TRUE(admitted);
  server.signal(SIGINT);
  EXPECT_EQ(server.wait_exit(), 0);
}

TEST(ListenerE2eTest, StaleSocketFileIsReplacedAndModeIs0600) {
  TempDir tmp;
  const auto db = tmp / "db";
  std::filesystem::create_directories(db);
  const auto socket = db / "kavrel.sock";
  std::ofstream(socket) << "left behind";
  ServerProcess server({"--db", db.string()}, tmp.path());
  ASSERT_TRUE(server.wait_for_stderr(std::string(kListening) + "\"" + socket.string() + "\"\n"))
      << server.stderr_text();
  struct stat st {};
  ASSERT_EQ(::stat(socket.c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  auto c = connect(socket);
  ASSERT_TRUE(c.has_value());
  EXPECT_TRUE(c->ping().has_value());
  server.signal(SIGINT);
  EXPECT_EQ(server.wait_exit(), 0);
}

TEST(ListenerE2eTest, SocketPathTooLongExitsWithServerError) {
  TempDir tmp;
  const std::string dir = tmp.path().string() + "/";
  const auto socket = dir + std::string(108 - dir.size(), 's');  // 108 bytes
  ServerProcess server({"--db", (tmp / "db").string(), "--socket", socket}, tmp.path());
  EXPECT_EQ(server.wait_exit(), 1);
  EXPECT_NE(server.stdout_text().find("ERROR kavrel_server: Server error: I/O error: "),
            std::string::npos)
      << server.stdout_text();
}

TEST(ListenerE2eTest, SigintWithClientsConnected) {
  TempDir tmp;
  const auto db = tmp / "db";
  ServerProcess server({"--db", db.string()}, tmp.path());
  ASSERT_TRUE(server.wait_for_stderr(kListening));
  const auto socket = db / "kavrel.sock";
  auto a = connect(socket);
  auto b = connect(socket);
  ASSERT_TRUE(a.has_value() && b.has_value());
  ASSERT_TRUE(a->begin().has_value());
  ASSERT_TRUE(b->ping().has_value());

  server.signal(SIGINT);
  EXPECT_EQ(server.wait_exit(), 0);
  EXPECT_FALSE(std::filesystem::exists(socket));
  EXPECT_TRUE(std::filesystem::exists(db / ".lock"));
  // The clients see their connections closed.
  EXPECT_FALSE(a->ping().has_value());
}

}  // namespace
}  // namespace kavrel::testing
