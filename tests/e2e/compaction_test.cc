// Compaction through the real server: reads leave the log alone, COMPACT (and the automatic one)
// replaces the log by a snapshot and a fresh log, and a restart returns exactly what was
// acknowledged.
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "clients/cpp/kavrel_client.h"
#include "tests/support/server_process.h"
#include "tests/support/temp_dir.h"

namespace kavrel::testing {
namespace {

namespace fs = std::filesystem;

// The bytes of the current log's records, as the server's statistics give them (the file also
// carries zeros written ahead of them).
std::uint64_t log_bytes(Client& c) {
  auto stats = c.stats();
  EXPECT_TRUE(stats.has_value());
  if (!stats) return 0;
  const std::string field = "\"wal_size_bytes\":";
  const auto at = stats->find(field);
  EXPECT_NE(at, std::string::npos) << *stats;
  return at == std::string::npos ? 0 : std::stoull(stats->substr(at + field.size()));
}

TEST(CompactionE2eTest, ReadsLogNothingAndCompactKeepsTheData) {
  TempDir tmp;
  const fs::path db = tmp / "db";
  const fs::path socket = db / "kavrel.sock";
  std::map<std::string, std::string> model;
  {
    ServerProcess server({"--db", db.string()}, tmp.path());
    ASSERT_TRUE(server.wait_ready(socket)) << server.stdout_text();
    auto c = Client::connect(socket);
    ASSERT_TRUE(c.has_value());
    for (int i = 0; i < 200; ++i) {
      const std::string key = "cc/" + std::to_string(i % 50);
      ASSERT_TRUE(c->put(key, std::to_string(i)).has_value());
      model[key] = std::to_string(i);
    }
    ASSERT_TRUE(c->del("cc/7").has_value());
    model.erase("cc/7");
    const auto before = log_bytes(*c);
    for (int i = 0; i < 100; ++i) {
      ASSERT_TRUE(c->get("cc/1").has_value());
      ASSERT_TRUE(c->get_path({"cc", "2"}).has_value());
      ASSERT_TRUE(c->scan("cc/").has_value());
      ASSERT_TRUE(c->query("cc").has_value());
    }
    auto handle = c->begin();
    ASSERT_TRUE(handle.has_value());
    ASSERT_TRUE(c->commit(*handle).has_value());
    EXPECT_EQ(log_bytes(*c), before) << "reads and an empty transaction add nothing";

    ASSERT_TRUE(c->compact().has_value());
    EXPECT_TRUE(fs::exists(db / "wal.snapshot"));
    EXPECT_FALSE(fs::exists(db / "wal.log"));
    EXPECT_LT(log_bytes(*c), before);
    ASSERT_TRUE(c->put("cc/after", "a").has_value());
    model["cc/after"] = "a";
    server.signal(SIGKILL);
    ASSERT_EQ(server.wait_exit(), 128 + SIGKILL);
  }
  ServerProcess server({"--db", db.string()}, tmp.path());
  ASSERT_TRUE(server.wait_ready(socket)) << server.stdout_text();
  EXPECT_NE(server.stdout_text().find("Loaded snapshot wal.snapshot: 49 keys"), std::string::npos)
      << server.stdout_text();
  auto c = Client::connect(socket);
  ASSERT_TRUE(c.has_value());
  auto listing = c->scan("cc/");
  ASSERT_TRUE(listing.has_value());
  std::map<std::string, std::string> seen(listing->begin(), listing->end());
  EXPECT_EQ(seen, model);
  server.signal(SIGINT);
  EXPECT_EQ(server.wait_exit(), 0);
}

TEST(CompactionE2eTest, TheLogIsCompactedOnceItPassesTheLimit) {
  TempDir tmp;
  const fs::path db = tmp / "db";
  const fs::path socket = db / "kavrel.sock";
  ServerProcess server({"--db", db.string(), "--compact-log-mib", "1"}, tmp.path());
  ASSERT_TRUE(server.wait_ready(socket)) << server.stdout_text();
  auto c = Client::connect(socket);
  ASSERT_TRUE(c.has_value());
  const std::string value(64 * 1024, 'x');
  for (int i = 0; i < 40; ++i) {  // 2.5 MiB of overwrites of 4 keys
    ASSERT_TRUE(c->put("big/" + std::to_string(i % 4), value).has_value());
  }
  // The compaction runs on a thread of its own, beside the writes: wait for the log to shrink.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (log_bytes(*c) >= (1u << 20) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_LT(log_bytes(*c), 1u << 20);
  EXPECT_TRUE(server.wait_for_stdout("Compacted 4 keys")) << server.stdout_text();
  EXPECT_TRUE(fs::exists(db / "wal.snapshot"));
}

}  // namespace
}  // namespace kavrel::testing
