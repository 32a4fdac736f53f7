// The server process as a user meets it: start line, colours, directory creation, SIGINT.
#include <signal.h>
#include <sys/stat.h>

#include <filesystem>
#include <regex>

#include <gtest/gtest.h>

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
