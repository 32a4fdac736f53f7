// The request protocol against the real server binary: statistics, requests and their error
// texts, per-connection transaction handles, and data surviving SIGINT and SIGKILL.
#include <signal.h>

#include <filesystem>
#include <regex>
#include <thread>

#include <gtest/gtest.h>

#include "clients/cpp/kavrel_client.h"
#include "tests/support/server_process.h"
#include "tests/support/temp_dir.h"

namespace kavrel::testing {
namespace {

constexpr const char* kListening = "[IpcServer] Listening on ";

class ProtocolE2eTest : public ::testing::Test {
 protected:
  [[nodiscard]] std::filesystem::path db() const { return tmp_ / "db"; }
  [[nodiscard]] std::filesystem::path socket() const { return db() / "kavrel.sock"; }

  // Starts the server and waits for its listening line (not for a connection: that would
  // count in the statistics).
  std::unique_ptr<ServerProcess> start(std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"--db", db().string()};
    args.insert(args.end(), extra.begin(), extra.end());
    auto server = std::make_unique<ServerProcess>(args, tmp_.path());
    EXPECT_TRUE(server->wait_for_stderr(kListening))
        << server->stdout_text() << server->stderr_text();
    return server;
  }
  Client connect() {
    auto c = Client::connect(socket(), std::chrono::seconds(20));
    EXPECT_TRUE(c.has_value()) << c.error().message();
    return std::move(*c);
  }

  TempDir tmp_;
};

std::string stats_pattern(int total, int active, int requests, int success, int errors,
                          int received, int sent, int transactions) {
  return "\\{\"connections_total\":" + std::to_string(total) +
         ",\"connections_active\":" + std::to_string(active) +
         ",\"requests_total\":" + std::to_string(requests) +
         ",\"requests_success\":" + std::to_string(success) +
         ",\"requests_error\":" + std::to_string(errors) +
         ",\"bytes_received\":" + std::to_string(received) +
         ",\"bytes_sent\":" + std::to_string(sent) +
         ",\"uptime_secs\":\\d+,\"memtable_size_bytes\":0,\"wal_size_bytes\":0,"
         "\"active_transactions\":" +
         std::to_string(transactions) + "\\}";
}

TEST_F(ProtocolE2eTest, StatisticsOfAFreshServer) {
  auto server = start();
  Client a = connect();
  auto first = a.stats();
  ASSERT_TRUE(first.has_value()) << first.error().message();
  EXPECT_TRUE(std::regex_match(*first, std::regex(stats_pattern(1, 1, 1, 0, 0, 5, 0, 0))))
      << *first;

  {
    Client b = connect();
    ASSERT_TRUE(b.ping().has_value());
  }
  ASSERT_EQ(a.begin().value(), 1u);
  ASSERT_EQ(a.begin().value(), 2u);
  // The server ends the other connection shortly after it closed; poll until it has.
  std::uint64_t answered_stats_bytes = 5 + first->size();
  std::string now;
  for (int i = 0; i < 2000; ++i) {
    now = a.stats().value();
    if (now.find("\"connections_active\":1,") != std::string::npos) break;
    answered_stats_bytes += 5 + now.size();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  // Every request had an empty payload; the STATS whose answer this is was counted as received
  // but not yet as answered.
  std::smatch m;
  ASSERT_TRUE(std::regex_match(
      now, m,
      std::regex("\\{\"connections_total\":2,\"connections_active\":1,\"requests_total\":(\\d+),"
                 "\"requests_success\":(\\d+),\"requests_error\":0,\"bytes_received\":(\\d+),"
                 "\"bytes_sent\":(\\d+),\"uptime_secs\":\\d+,\"memtable_size_bytes\":0,"
                 "\"wal_size_bytes\":0,\"active_transactions\":2\\}")))
      << now;
  const std::uint64_t requests = std::stoull(m[1]);
  EXPECT_EQ(std::stoull(m[2]), requests - 1);
  EXPECT_EQ(std::stoull(m[3]), 5 * requests);
  // The STATS answers, b's PONG and a's two TXN_ID answers.
  EXPECT_EQ(std::stoull(m[4]), answered_stats_bytes + 5 + 2 * 13);
  server->signal(SIGINT);
  EXPECT_EQ(server->wait_exit(), 0);
}

TEST_F(ProtocolE2eTest, RequestsAndErrorTexts) {
  auto server = start();
  Client c = connect();
  ASSERT_TRUE(c.put("ab/1", "one").has_value());
  ASSERT_TRUE(c.put("ab/2", "").has_value());
  ASSERT_TRUE(c.put_path({"ab", "3"}, "three").has_value());
  EXPECT_EQ(c.get("ab/1").value(), "one");
  EXPECT_EQ(c.get("missing").value(), "");
  EXPECT_EQ(c.get_path({"ab", "3"}).value(), "three");
  ASSERT_TRUE(c.del("ab/1").has_value());
  EXPECT_EQ(c.scan("ab").value(), (ScanListing{{"ab/2", ""}, {"ab/3", "three"}}));

  auto short_prefix = c.scan("a");
  ASSERT_FALSE(short_prefix.has_value());
  EXPECT_EQ(short_prefix.error().message(),
            "Invalid argument: Prefix too short: 1 bytes (minimum 2 required). Use "
            "scan_unchecked() for unrestricted scans.");
  auto short_put = c.call(opcode::PUT, "\x01\x02\x03");
  ASSERT_TRUE(short_put.has_value());
  EXPECT_EQ(*short_put, Message::error("Protocol error: PUT payload too short"));
  EXPECT_EQ(c.call(0x18, "").value(), Message::error("Unknown opcode: 0x18"));
  EXPECT_EQ(c.call(0x00, "").value(), Message::error("Unknown opcode: 0x0"));
  EXPECT_EQ(c.call(opcode::COMMIT_TXN, "1234567").value(),
            Message::error("COMMIT_TXN requires txn_id"));

  EXPECT_EQ(c.execute_sql("SELECT \"x\"").value(),
            "{\"error\":\"SQL execution must be implemented client-side. Use Python SDK for full "
            "SQL support.\",\"sql\":\"SELECT \\\"x\\\"\"}");
  ASSERT_TRUE(c.register_table("users", {{"name", 3, false}}).has_value());
  auto twice = c.register_table("users", {});
  ASSERT_FALSE(twice.has_value());
  EXPECT_EQ(twice.error().message(), "Invalid argument: Table 'users' already exists");
  EXPECT_EQ(c.query("users").value(), "[]");
  ASSERT_TRUE(c.checkpoint().has_value());
  EXPECT_TRUE(c.ping().has_value());  // errors never ended the connection
}

TEST_F(ProtocolE2eTest, TransactionHandlesArePrivateToAConnection) {
  auto server = start();
  Client a = connect();
  Client b = connect();
  EXPECT_EQ(a.begin().value(), 1u);
  EXPECT_EQ(a.begin().value(), 2u);
  EXPECT_EQ(b.begin().value(), 1u);
  auto foreign = b.commit(2);
  ASSERT_FALSE(foreign.has_value());
  EXPECT_EQ(foreign.error().message(), "Transaction not found: 2");
  ASSERT_TRUE(a.commit(2).has_value());
  auto twice = a.commit(2);
  ASSERT_FALSE(twice.has_value());
  EXPECT_EQ(twice.error().message(), "Transaction not found: 2");

  // A PUT between BEGIN_TXN and ABORT_TXN is committed on its own.
  ASSERT_TRUE(a.put("k", "v").has_value());
  ASSERT_TRUE(a.abort(1).has_value());
  EXPECT_EQ(b.get("k").value(), "v");
}

TEST_F(ProtocolE2eTest, DataSurvivesSigintAndSigkill) {
  {
    auto server = start();
    Client c = connect();
    ASSERT_TRUE(c.put("before-int", "1").has_value());
    server->signal(SIGINT);
    EXPECT_EQ(server->wait_exit(), 0);
  }
  EXPECT_FALSE(std::filesystem::exists(socket()));
  {
    auto server = start();
    Client c = connect();
    EXPECT_EQ(c.get("before-int").value(), "1");
    ASSERT_TRUE(c.put("before-kill", "2").has_value());
    server->signal(SIGKILL);
    EXPECT_EQ(server->wait_exit(), 128 + SIGKILL);
  }
  EXPECT_TRUE(std::filesystem::exists(socket()));  // left behind, replaced by the next start
  auto server = start();
  Client c = connect();
  EXPECT_EQ(c.get("before-int").value(), "1");
  EXPECT_EQ(c.get("before-kill").value(), "2");
}

}  // namespace
}  // namespace kavrel::testing
