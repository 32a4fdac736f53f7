// The server process as a user meets it: start line, colours, directory creation, SIGINT and
// SIGTERM.
#include <signal.h>
#include <sys/stat.h>

#include <filesystem>
#include <regex>

#include <gtest/gtest.h>

#include "clients/cpp/kavrel_client.h"
#include "tests/support/server_process.h"
#include "tests/support/temp_dir.h"

namespace kavrel::testing {
namespace {

TEST(ServerProcessTest, StartLineLayoutAndSigint) {
  TempDir tmp;
  const auto db = tmp / "a/b/db";  // missing parents are created
  ServerProcess server({"--db", db.string()}, tmp.path());
  ASSERT_TRUE(server.wait_for_stdout("Kavrel server ready, accepting connections"))
      << server.stdout_text() << server.stderr_text();
  EXPECT_TRUE(std::filesystem::is_directory(db));
  const std::string out = server.stdout_text();
  const std::regex start_line(
      R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}Z  INFO kavrel_server: Starting Kavrel server: db=")" +
      db.string() + R"(", socket=")" + (db / "kavrel.sock").string() + "\"\n");
  EXPECT_TRUE(std::regex_search(out, start_line)) << out;
  EXPECT_EQ(out.find('\x1b'), std::string::npos) << "NO_COLOR=1 must switch colours off";

  server.signal(SIGINT);
  EXPECT_EQ(server.wait_exit(), 0);
  EXPECT_NE(
      server.stdout_text().find("INFO kavrel_server: Received shutdown signal, cleaning up..."),
      std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(db / "kavrel.sock"));
}

// Service managers stop a service with SIGTERM: it ends the server as Ctrl-C does, with the same
// line, the socket file removed and status 0, even with a client connected.
TEST(ServerProcessTest, SigtermStopsLikeSigint) {
  TempDir tmp;
  const auto db = tmp / "db";
  ServerProcess server({"--db", db.string()}, tmp.path());
  ASSERT_TRUE(server.wait_ready(db / "kavrel.sock")) << server.stdout_text();
  auto client = Client::connect(db / "kavrel.sock");
  ASSERT_TRUE(client.has_value());
  ASSERT_TRUE(client->put("k", "v").has_value());

  server.signal(SIGTERM);
  EXPECT_EQ(server.wait_exit(), 0);
  EXPECT_NE(
      server.stdout_text().find("INFO kavrel_server: Received shutdown signal, cleaning up..."),
      std::string::npos)
      << server.stdout_text();
  EXPECT_FALSE(std::filesystem::exists(db / "kavrel.sock"));

  // Every acknowledged write is there after the next start.
  ServerProcess again({"--db", db.string()}, tmp.path());
  ASSERT_TRUE(again.wait_ready(db / "kavrel.sock")) << again.stdout_text();
  auto reader = Client::connect(db / "kavrel.sock");
  ASSERT_TRUE(reader.has_value());
  EXPECT_EQ(reader->get("k").value(), "v");
  again.signal(SIGTERM);
  EXPECT_EQ(again.wait_exit(), 0);
}

TEST(ServerProcessTest, ColoursUnlessNoColorIsNonEmpty) {
  TempDir tmp;
  ServerProcess server({"--db", (tmp / "db").string()}, tmp.path(), {"NO_COLOR="});
  ASSERT_TRUE(server.wait_for_stdout("accepting connections"));
  EXPECT_NE(server.stdout_text().find('\x1b'), std::string::npos);
  server.signal(SIGINT);
  EXPECT_EQ(server.wait_exit(), 0);
}

TEST(ServerProcessTest, UsageErrorExitsTwoBeforeTouchingFiles) {
  TempDir tmp;
  const auto db = tmp / "never";
  ServerProcess server({"--db", db.string(), "--max-clients", "-3"}, tmp.path());
  EXPECT_EQ(server.wait_exit(), 2);
  EXPECT_FALSE(std::filesystem::exists(db));
  EXPECT_NE(server.stderr_text().find("--help"), std::string::npos);
}

}  // namespace
}  // namespace kavrel::testing
