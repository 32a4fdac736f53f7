// Opening a database directory through the real binary: refusals with their exact log lines and
// exit statuses, the directory lock between two servers, and what survives a restart.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "clients/cpp/kavrel_client.h"
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

// A directory that cannot be created is a fatal start-up failure like any other: status 1, one
// line that names the system's error once.
TEST_F(OpenE2eTest, DirectoryThatCannotBeCreatedExitsOne) {
  std::ofstream(tmp_ / "file") << "not a directory";
  ServerProcess server({"--db", (tmp_ / "file" / "db").string()}, tmp_.path());
  EXPECT_EQ(server.wait_exit(), 1);
  EXPECT_EQ(server.stderr_text(),
            "Failed to create database directory: Not a directory (os error 20)\n");
}

// The database is private whatever the umask: its directory 0700, every file in it 0600. A
// directory that others may read is used as it is, with one warning.
TEST_F(OpenE2eTest, FilesArePrivateWhateverTheUmask) {
  namespace fs = std::filesystem;
  const mode_t old_umask = ::umask(0);  // the child inherits it
  {
    ServerProcess server({"--db", (tmp_ / "new" / "db").string()}, tmp_.path());
    ASSERT_TRUE(server.wait_ready(tmp_ / "new" / "db" / "kavrel.sock")) << server.stdout_text();
    auto c = Client::connect(tmp_ / "new" / "db" / "kavrel.sock");
    ASSERT_TRUE(c.has_value());
    ASSERT_TRUE(c->put("k", "v").has_value());
    EXPECT_EQ(fs::status(tmp_ / "new").permissions(), fs::perms::owner_all);
    EXPECT_EQ(fs::status(tmp_ / "new" / "db").permissions(), fs::perms::owner_all);
    for (const char* name : {"wal.log", ".lock", "kavrel.sock"}) {
      EXPECT_EQ(fs::status(tmp_ / "new" / "db" / name).permissions() & fs::perms::all,
                fs::perms::owner_read | fs::perms::owner_write)
          << name;
    }
    EXPECT_EQ(server.stdout_text().find(" WARN "), std::string::npos) << server.stdout_text();
    server.signal(SIGINT);
    EXPECT_EQ(server.wait_exit(), 0);
  }
  ::umask(old_umask);

  fs::create_directories(db());
  fs::permissions(db(), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                            fs::perms::others_read | fs::perms::others_exec);
  ServerProcess server(args(), tmp_.path());
  ASSERT_TRUE(server.wait_ready(socket()));
  const std::string out = server.stdout_text();
  const std::string warning = " WARN kavrel_storage: Database directory \"" + db().string() +
                              "\" is accessible to other users (mode 755); its files are created "
                              "readable by the owner only\n";
  EXPECT_NE(out.find(warning), std::string::npos) << out;
  EXPECT_EQ(out.find(" WARN "), out.rfind(" WARN ")) << "one line";
  EXPECT_EQ(fs::status(db() / "wal.log").permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
}

TEST_F(OpenE2eTest, SecondServerOnTheSameDirectoryTimesOutOnTheLock) {
  ServerProcess first(args(), tmp_.path());
  ASSERT_TRUE(first.wait_ready(socket()));
  ServerProcess second({"--db", db().string(), "--socket", (tmp_ / "other.sock").string()},
                       tmp_.path());
  // The wait is announced at once, naming the holder, well before the time-out.
  const std::string waiting = fmt::format(
      "INFO kavrel_storage: The database directory \"{}\" is locked by process {} (pid from "
      "\"{}\"); waiting up to 5s for it to end",
      db().string(), first.pid(), (db() / ".lock").string());
  EXPECT_TRUE(second.wait_for_stdout(waiting, std::chrono::seconds(3))) << second.stdout_text();
  EXPECT_EQ(second.stdout_text().find("Failed to open database"), std::string::npos)
      << "announced before the time-out";
  EXPECT_EQ(second.wait_exit(std::chrono::seconds(30)), 1);
  const std::string out = second.stdout_text();
  EXPECT_EQ(out.find(waiting), out.rfind(waiting)) << "said once: " << out;
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
  // Table registrations are durable: even after SIGTERM the name stays taken.
  auto again = client->register_table("users", {{"id", 1, true}});
  ASSERT_FALSE(again.has_value());
  EXPECT_EQ(again.error().message(), "Invalid argument: Table 'users' already exists");
  auto users = client->describe_table("users");
  ASSERT_TRUE(users.has_value()) << users.error().message();
  ASSERT_EQ(users->columns.size(), 1u);
  EXPECT_EQ(users->columns[0].type, 0);
  EXPECT_FALSE(users->columns[0].nullable);
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
