// Online backup through the real binaries: kavrel-cli backup against a server under writes,
// kavrel-cli backup --verify without a server, then kavrel-server --db BACKUP serving the copy.
#include <signal.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "clients/cpp/kavrel_client.h"
#include "tests/support/server_process.h"
#include "tests/support/temp_dir.h"

#ifndef KAVREL_CLI_BIN
#error "KAVREL_CLI_BIN must name the kavrel-cli binary"
#endif

namespace kavrel::testing {
namespace {

namespace fs = std::filesystem;

TEST(BackupE2eTest, BackupUnderWritesOpensAsADatabaseWithEveryEarlierWrite) {
  TempDir tmp;
  const fs::path db = tmp / "db";
  const fs::path socket = db / "kavrel.sock";
  ServerProcess server({"--db", db.string()}, tmp.path());
  ASSERT_TRUE(server.wait_ready(socket)) << server.stdout_text();
  {
    auto c = Client::connect(socket);
    ASSERT_TRUE(c.has_value());
    ASSERT_TRUE(c->register_table("people", {{"id", 0, false}, {"name", 3, true}}).has_value());
  }

  // Two writers, each key written once; what each had acknowledged when the backup was asked.
  std::mutex mu;
  std::set<std::string> acked;      // guarded by mu
  std::set<std::string> attempted;  // guarded by mu
  std::atomic<bool> stop{false};
  std::vector<std::thread> writers;
  for (int w = 0; w < 2; ++w) {
    writers.emplace_back([&, w] {
      auto c = Client::connect(socket);
      ASSERT_TRUE(c.has_value());
      for (int i = 0; !stop; ++i) {
        const std::string key = fmt::format("e2e/{}/{:06}", w, i);
        {
          std::scoped_lock lock(mu);
          attempted.insert(key);
        }
        ASSERT_TRUE(c->put(key, key).has_value());
        std::scoped_lock lock(mu);
        acked.insert(key);
      }
    });
  }
  const auto acked_count = [&] {
    std::scoped_lock lock(mu);
    return acked.size();
  };
  while (acked_count() < 200) std::this_thread::yield();
  std::set<std::string> before;
  {
    std::scoped_lock lock(mu);
    before = acked;
  }
  const fs::path copy = tmp / "backups" / "b1";
  const CommandResult made =
      run_command({KAVREL_CLI_BIN, "-s", socket.string(), "backup", copy.string()});
  ASSERT_EQ(made.status, 0) << made.err;
  std::smatch m;
  const std::regex summary(
      R"(Backup of (\d+) keys and 1 tables at LSN (\d+) written to (.+) \((\d+) bytes\)\n)");
  ASSERT_TRUE(std::regex_match(made.out, m, summary)) << made.out;
  const std::size_t keys = std::stoull(m[1]);
  const std::size_t after_backup = acked_count();
  EXPECT_EQ(m[3], copy.string());
  // A relative DIR is taken from where kavrel-cli runs; refusals come back as errors.
  const CommandResult relative =
      run_command({"/bin/sh", "-c",
                   fmt::format("cd '{}' && '{}' -s '{}' backup --json rel", tmp.path().string(),
                               KAVREL_CLI_BIN, socket.string())});
  ASSERT_EQ(relative.status, 0) << relative.err;
  EXPECT_TRUE(
      relative.out.starts_with(fmt::format(R"({{"path":"{}","lsn":)", (tmp / "rel").string())))
      << relative.out;
  const CommandResult again =
      run_command({KAVREL_CLI_BIN, "-s", socket.string(), "backup", copy.string()});
  EXPECT_EQ(again.status, 1);
  EXPECT_EQ(again.err, fmt::format("error: Invalid argument: Backup directory \"{}\" is not "
                                   "empty\n",
                                   copy.string()));
  while (acked_count() < after_backup + 100) std::this_thread::yield();
  stop = true;
  for (auto& t : writers) t.join();
  server.signal(SIGTERM);
  ASSERT_EQ(server.wait_exit(), 0);

  const CommandResult verified = run_command({KAVREL_CLI_BIN, "backup", "--verify", copy.string()});
  EXPECT_EQ(verified.status, 0) << verified.err;
  EXPECT_TRUE(verified.out.starts_with(
      fmt::format("OK: {} holds {} keys and 1 tables at LSN {};", copy.string(), keys, m[2].str())))
      << verified.out;

  ServerProcess restored({"--db", copy.string()}, tmp.path());
  ASSERT_TRUE(restored.wait_ready(copy / "kavrel.sock")) << restored.stdout_text();
  auto c = Client::connect(copy / "kavrel.sock");
  ASSERT_TRUE(c.has_value());
  auto listing = c->scan("e2e/");
  ASSERT_TRUE(listing.has_value());
  EXPECT_EQ(listing->size(), keys);
  std::set<std::string> in_copy;
  for (const auto& [key, value] : *listing) {
    EXPECT_EQ(key, value);
    EXPECT_TRUE(attempted.contains(key)) << key << " was never written";
    in_copy.insert(key);
  }
  for (const auto& key : before) EXPECT_TRUE(in_copy.contains(key)) << key << " acknowledged, lost";
  EXPECT_LT(in_copy.size(), acked.size()) << "writes after the backup are not in it";
  auto tables = c->list_tables();
  ASSERT_TRUE(tables.has_value());
  ASSERT_EQ(tables->size(), 1u);
  EXPECT_EQ(tables->front().name, "people");
  ASSERT_TRUE(c->put("e2e/restored", "yes").has_value());
}

// A backup of an encrypted database is sealed like it (no key or value in clear), checks and
// opens only with the database's key.
TEST(BackupE2eTest, EncryptedBackupNeedsTheKeyToVerifyAndToOpen) {
  TempDir tmp;
  const fs::path db = tmp / "db";
  const fs::path key = tmp / "key";
  { std::ofstream(key) << std::string(64, 'c') << "\n"; }
  fs::permissions(key, fs::perms::owner_read | fs::perms::owner_write);
  const fs::path copy = tmp / "sealed";
  {
    ServerProcess server({"--db", db.string(), "--encrypt", "--key-file", key.string()},
                         tmp.path());
    ASSERT_TRUE(server.wait_ready(db / "kavrel.sock")) << server.stdout_text();
    auto c = Client::connect(db / "kavrel.sock");
    ASSERT_TRUE(c.has_value());
    ASSERT_TRUE(c->put("clear-key-name", "clear-value-text").has_value());
    const CommandResult made = run_command(
        {KAVREL_CLI_BIN, "-s", (db / "kavrel.sock").string(), "backup", "--json", copy.string()});
    ASSERT_EQ(made.status, 0) << made.err;
    EXPECT_NE(made.out.find(R"("encrypted":true)"), std::string::npos) << made.out;
    server.signal(SIGTERM);
    ASSERT_EQ(server.wait_exit(), 0);
  }
  for (const auto& e : fs::directory_iterator(copy)) {
    std::ifstream in(e.path(), std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(bytes.find("clear-"), std::string::npos) << e.path() << " holds the data in clear";
  }
  const CommandResult no_key = run_command({KAVREL_CLI_BIN, "backup", "--verify", copy.string()});
  EXPECT_EQ(no_key.status, 2);
  EXPECT_NE(no_key.err.find("its key is needed to check it"), std::string::npos) << no_key.err;
  const CommandResult with_key = run_command(
      {KAVREL_CLI_BIN, "backup", "--verify", copy.string(), "--key-file", key.string()});
  EXPECT_EQ(with_key.status, 0) << with_key.err;
  const CommandResult with_env =
      run_command({KAVREL_CLI_BIN, "backup", "--verify", copy.string()}, {},
                  {"NO_COLOR=1", "KAVREL_ENCRYPTION_KEY=" + std::string(64, 'c')});
  EXPECT_EQ(with_env.status, 0) << with_env.err;

  ServerProcess restored({"--db", copy.string(), "--key-file", key.string()}, tmp.path());
  ASSERT_TRUE(restored.wait_ready(copy / "kavrel.sock")) << restored.stdout_text();
  auto c = Client::connect(copy / "kavrel.sock");
  ASSERT_TRUE(c.has_value());
  EXPECT_EQ(c->get("clear-key-name").value_or("(error)"), "clear-value-text");
}

}  // namespace
}  // namespace kavrel::testing
