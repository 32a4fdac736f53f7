// Opening a database directory through the real binary: refusals with their exact log lines and
// exit statuses, the directory lock between two servers, and what survives a restart.
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "client/kavrel_client.h"
#include "tests/support/server_process.h"
#include "tests/support/temp_dir.h"

namespace kavrel::testing {
namespace {

constexpr const char* kReady = "Kavrel server ready, accepting connections";

class OpenE2eTest : public ::testing::Test {
 protected:
  [[nodiscard]] std::filesystem::path db() const { return tmp_ / "db"; }
  [[nodiscard]] std::filesystem::path socket() const { return db() / "kavrel.sock"; }
  [[nodiscard]] std::vector<std::string> args() const { return {"--db", db().string()}; }

  TempDir tmp_;
};

TEST_F(OpenE2eTest, RefusalsLogOneErrorLineExitOneAndReleaseTheLock) {
  struct Case {
    const char* file;
    const char* content;
    const char* message;
  };
  const Case cases[] = {
      // Refused for the missing key before anything of it is checked.
      {"keyring.json",
       R"({"format_version":1,"encrypted":true,"db_uuid":"00000000000000000000000000000000",)"
       R"("kek_source_id":"env","key_epoch":0,"salt":"00000000000000000000000000000000",)"
       R"("wrapped_dek":"00","canary":"00","mac":"00"})",
       "ERROR kavrel_server: Failed to open database: Encryption error: database has a keyring "
       "(encryption configured) but no encryption key was provided (set the KEK, e.g. "
       "KAVREL_ENCRYPTION_KEY); refusing to open\n"},
      {"wal.manifest", "not json",
       "ERROR kavrel_server: Failed to open database: Corruption "
       "detected: malformed wal.manifest: "},
      {"wal.manifest", R"({"format_version":2,"db_uuid":"x","last_checkpoint_lsn":0})",
       "ERROR kavrel_server: Failed to open database: Corruption detected: unsupported "
       "wal.manifest version 2 (expected 1)\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    std::filesystem::remove_all(db());
    std::filesystem::create_directories(db());
    std::ofstream(db() / c.file) << c.content;
    ServerProcess server(args(), tmp_.path());
    EXPECT_EQ(server.wait_exit(), 1);
    EXPECT_NE(server.stdout_text().find(c.message), std::string::npos) << server.stdout_text();
    EXPECT_EQ(server.stdout_text().find(kReady), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(db() / ".lock"));
    EXPECT_FALSE(std::filesystem::exists(socket()));
  }
}

TEST_F(OpenE2eTest, SecondServerOnTheSameDirectoryTimesOutOnTheLock) {
  ServerProcess first(args(), tmp_.path());
  ASSERT_TRUE(first.wait_ready(socket()));
  ServerProcess second({"--db", db().string(), "--socket", (tmp_ / "other.sock").string()},
                       tmp_.path());
  EXPECT_EQ(second.wait_exit(std::chrono::seconds(30)), 1);
  EXPECT_NE(second.stdout_text().find("Failed to open database: Lock error: Lock acquisition "
                                      "timed out after 5s (timeout: 5s)"),
            std::string::npos)
      << second.stdout_text();
  auto client = Client::connect(socket());
  ASSERT_TRUE(client.has_value());
  EXPECT_TRUE(client->ping().has_value()) << "the first server is untouched";
  std::ifstream lock(db() / ".lock");
  std::string pid;
  lock >> pid;
  EXPECT_EQ(pid, std::to_string(first.pid()));
}

TEST_F(OpenE2eTest, AfterSigkillTheLeftoversAreTakenOverAndDataIsThere) {
  {
    ServerProcess server(args(), tmp_.path());
    ASSERT_TRUE(server.wait_ready(socket()));
    auto client = Client::connect(socket());
    ASSERT_TRUE(client.has_value());
    ASSERT_TRUE(client->put("k", "v").has_value());
    ASSERT_TRUE(client->register_table("users", {{"id", 0, false}}).has_value());
    server.signal(SIGKILL);
    EXPECT_EQ(server.wait_exit(), 128 + SIGKILL);
  }
  EXPECT_TRUE(std::filesystem::exists(db() / ".lock"));
  EXPECT_TRUE(std::filesystem::exists(socket()));
  ServerProcess server(args(), tmp_.path());
  ASSERT_TRUE(server.wait_ready(socket()));
  auto client = Client::connect(socket());
  ASSERT_TRUE(client.has_value());
  EXPECT_EQ(client->get("k").value(), "v");
  // Table registrations live in memory only: registering again succeeds after a restart.
  EXPECT_TRUE(client->register_table("users", {{"id", 0, false}}).has_value());
  std::ifstream lock(db() / ".lock");
  std::string pid;
  lock >> pid;
  EXPECT_EQ(pid, std::to_string(server.pid()));
}

TEST_F(OpenE2eTest, LeftoverCleanShutdownMarkerIsConsumedAndTheLogReplayed) {
  {
    ServerProcess server(args(), tmp_.path());
    ASSERT_TRUE(server.wait_ready(socket()));
    auto client = Client::connect(socket());
    ASSERT_TRUE(client.has_value());
    ASSERT_TRUE(client->put("k", "v").has_value());
    server.signal(SIGINT);
    EXPECT_EQ(server.wait_exit(), 0);
  }
  std::ofstream(db() / ".clean_shutdown") << "clean";
  ServerProcess server(args(), tmp_.path());
  ASSERT_TRUE(server.wait_ready(socket()));
  EXPECT_FALSE(std::filesystem::exists(db() / ".clean_shutdown"));
  auto client = Client::connect(socket());
  ASSERT_TRUE(client.has_value());
  EXPECT_EQ(client->get("k").value(), "v");
}

}  // namespace
}  // namespace kavrel::testing
