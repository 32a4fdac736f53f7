// ClientHandler over a real Database in a temporary directory, and the connection loop over a
// socket pair.
#include "server/client_handler.h"
#include "server/connection.h"

#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "core/log.h"
#include "storage/internal/io/file_io.h"
#include "storage/internal/mvcc/mvcc_manager.h"
#include "storage/internal/wal/txn_wal.h"
#include "tests/support/temp_dir.h"

namespace kavrel {
namespace {

using namespace std::string_literals;

class ClientHandlerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto opened = Database::open(dir_ / "db");
    ASSERT_TRUE(opened.has_value()) << opened.error().message();
    db_ = *opened;
  }
  std::unique_ptr<ClientHandler> handler() { return std::make_unique<ClientHandler>(db_, stats_); }
  std::size_t running_transactions() { return db_->storage().figures().running_transactions; }

  testing::TempDir dir_;
  std::shared_ptr<Database> db_;
  std::shared_ptr<ServerStats> stats_ = std::make_shared<ServerStats>();
};

Message call(ClientHandler& h, std::uint8_t op, BytesView payload = {}) {
  return h.process_request(Message{op, Bytes(payload)});
}

TEST_F(ClientHandlerTest, PayloadAndRequestErrorTexts) {
  struct Case {
    std::uint8_t op;
    Bytes payload;
    const char* error;
  };
  const std::vector<Case> cases = {
      {opcode::PUT, "\x01\x02\x03", "Protocol error: PUT payload too short"},
      {opcode::PUT, le_bytes<std::uint32_t>(10) + "abcde",
       "Protocol error: PUT payload key truncated"},
      {opcode::PUT_PATH, le_bytes<std::uint16_t>(1) + le_bytes<std::uint16_t>(4) + "ab",
       "Protocol error: Path segment truncated"},
      {opcode::GET_PATH, "\x01", "Protocol error: Path payload too short"},
      {opcode::GET_PATH, le_bytes<std::uint16_t>(1) + le_bytes<std::uint16_t>(1) + "\xff",
       "Protocol error: Invalid UTF-8 in path"},
      {opcode::COMMIT_TXN, Bytes(7, '\x01'), "COMMIT_TXN requires txn_id"},
      {opcode::ABORT_TXN, "", "ABORT_TXN requires txn_id"},
      {opcode::COMMIT_TXN, le_bytes<std::uint64_t>(42), "Transaction not found: 42"},
      {opcode::ABORT_TXN, le_bytes<std::uint64_t>(42) + "extra", "Transaction not found: 42"},
      {opcode::QUERY, "\x01", "Query payload too short"},
      {opcode::QUERY,
       le_bytes<std::uint16_t>(5) + "users" + le_bytes<std::uint32_t>(0) +
           le_bytes<std::uint32_t>(0),
       "Query columns count truncated"},
      {opcode::REGISTER_TABLE, le_bytes<std::uint16_t>(200) + "x" + le_bytes<std::uint16_t>(0),
       "Invalid UTF-8 in schema"},
      {opcode::REGISTER_TABLE,
       le_bytes<std::uint16_t>(1) + "t" + le_bytes<std::uint16_t>(1) + le_bytes<std::uint16_t>(1) +
           "c" + "\x06\x00"s,
       "Invalid column type"},
      {opcode::SCAN, "a\xff", "Invalid UTF-8 in scan prefix"},
      {opcode::SCAN, "a",
       "Invalid argument: Prefix too short: 1 bytes (minimum 2 required). Use scan_unchecked() "
       "for unrestricted scans."},
      {opcode::EXECUTE_SQL, "SELECT \xc3", "Invalid UTF-8 in SQL query"},
      {0x00, "", "Unknown opcode: 0x0"},
      {0x1f, "", "Unknown opcode: 0x1f"},
      {opcode::DESCRIBE_TABLE, "nope", "Table not found: nope"},
      {opcode::DESCRIBE_TABLE, "", "Table not found: "},
      {opcode::DESCRIBE_TABLE, "t\xff", "Invalid UTF-8 in table name"},
      {0x18, "", "Unknown opcode: 0x18"},
      {0x84, "", "Unknown opcode: 0x84"},
      {0xff, "payload", "Unknown opcode: 0xff"},
  };
  auto h = handler();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.error);
    const Message r = call(*h, c.op, c.payload);
    EXPECT_EQ(r, Message::error(c.error));
    EXPECT_EQ(running_transactions(), 0u);
  }
}

TEST_F(ClientHandlerTest, TablesAreListedAndDescribedAsTheyWereRegistered) {
  auto h = handler();
  EXPECT_EQ(call(*h, opcode::LIST_TABLES), (Message{response::VALUE, le_bytes<std::uint32_t>(0)}));
  const Bytes users = encode_schema("users", {{"id", 0, false}, {"name", 3, true}});
  const Bytes flags = encode_schema("flags", {{"on", 5, true}});
  // Nullable bytes other than 1 are true, and answered as 1.
  Bytes flags_sent = flags;
  flags_sent.back() = '\x07';
  ASSERT_EQ(call(*h, opcode::REGISTER_TABLE, users).opcode, response::OK);
  ASSERT_EQ(call(*h, opcode::REGISTER_TABLE, flags_sent).opcode, response::OK);

  EXPECT_EQ(call(*h, opcode::DESCRIBE_TABLE, "users"), (Message{response::VALUE, users}));
  EXPECT_EQ(call(*h, opcode::DESCRIBE_TABLE, "flags"), (Message{response::VALUE, flags}));
  // Ascending names, each schema with its length; a payload is ignored.
  const Bytes list = le_bytes<std::uint32_t>(2) + le_bytes<std::uint32_t>(flags.size()) + flags +
                     le_bytes<std::uint32_t>(users.size()) + users;
  EXPECT_EQ(call(*h, opcode::LIST_TABLES, "ignored"), (Message{response::VALUE, list}));
  const auto decoded = decode_table_list(list);
  ASSERT_TRUE(decoded);
  ASSERT_EQ(decoded->size(), 2u);
  EXPECT_EQ((*decoded)[1].name, "users");
  EXPECT_EQ((*decoded)[1].columns[1].name, "name");
  EXPECT_TRUE((*decoded)[1].columns[1].nullable);
  // Neither request is a data request: no transaction, no key.
  EXPECT_EQ(running_transactions(), 0u);
  EXPECT_EQ(call(*h, opcode::GET, "users"), (Message{response::VALUE, ""}));
}

TEST_F(ClientHandlerTest, KeyValueRequests) {
  auto h = handler();
  EXPECT_EQ(call(*h, opcode::PUT, encode_put("k", Bytes("v\0v", 3))), (Message{response::OK, ""}));
  EXPECT_EQ(call(*h, opcode::GET, "k"), (Message{response::VALUE, Bytes("v\0v", 3)}));
  // Absent and empty look alike.
  EXPECT_EQ(call(*h, opcode::GET, "missing"), (Message{response::VALUE, ""}));
  EXPECT_EQ(call(*h, opcode::PUT, encode_put("empty", "")).opcode, response::OK);
  EXPECT_EQ(call(*h, opcode::GET, "empty"), (Message{response::VALUE, ""}));
  // Key length 0 and nothing else: the empty key with the empty value.
  EXPECT_EQ(call(*h, opcode::PUT, le_bytes<std::uint32_t>(0)).opcode, response::OK);
  EXPECT_EQ(call(*h, opcode::PUT, encode_put("", "zero")).opcode, response::OK);
  EXPECT_EQ(call(*h, opcode::GET, ""), (Message{response::VALUE, "zero"}));

  EXPECT_EQ(call(*h, opcode::DELETE, "k"), (Message{response::OK, ""}));
  EXPECT_EQ(call(*h, opcode::GET, "k"), (Message{response::VALUE, ""}));

  EXPECT_EQ(call(*h, opcode::PUT_PATH, encode_path({"users", "42"}, "row")).opcode, response::OK);
  EXPECT_EQ(call(*h, opcode::GET, "users/42"), (Message{response::VALUE, "row"}));
  EXPECT_EQ(call(*h, opcode::GET_PATH, encode_path({"users", "42"}) + "ignored"),
            (Message{response::VALUE, "row"}));
  EXPECT_EQ(running_transactions(), 0u);  // every request ended its own transaction
}

TEST_F(ClientHandlerTest, ServiceRequests) {
  auto h = handler();
  EXPECT_EQ(call(*h, opcode::PING, "ignored"), (Message{response::PONG, ""}));
  EXPECT_EQ(call(*h, opcode::CHECKPOINT), (Message{response::OK, ""}));
  EXPECT_EQ(call(*h, opcode::REGISTER_TABLE, encode_schema("users", {{"name", 3, false}})),
            (Message{response::OK, ""}));
  EXPECT_EQ(call(*h, opcode::REGISTER_TABLE, encode_schema("users", {})),
            Message::error("Invalid argument: Table 'users' already exists"));
  EXPECT_EQ(call(*h, opcode::QUERY, encode_query("users", 0, 0, {})),
            (Message{response::VALUE, "[]"}));
  EXPECT_EQ(call(*h, opcode::QUERY, encode_query("u", 0, 0, {})),
            Message::error("Invalid argument: Prefix too short: 1 bytes (minimum 2 required). "
                           "Use scan_unchecked() for unrestricted scans."));
  EXPECT_EQ(running_transactions(), 0u);
}

TEST_F(ClientHandlerTest, ScanListsVisibleUtf8KeysInOrder) {
  auto h = handler();
  for (const auto& [k, v] : std::vector<std::pair<Bytes, Bytes>>{
           {"ab/2", "two"}, {"ab/1", ""}, {"ab/\xff", "hidden"}, {"ac", "other"}, {"ab/3", "x"}}) {
    ASSERT_EQ(call(*h, opcode::PUT, encode_put(k, v)).opcode, response::OK);
  }
  ASSERT_EQ(call(*h, opcode::DELETE, "ab/3").opcode, response::OK);
  const Message r = call(*h, opcode::SCAN, "ab");
  ASSERT_EQ(r.opcode, response::VALUE);
  EXPECT_EQ(r.payload, le_bytes<std::uint32_t>(2) + le_bytes<std::uint16_t>(4) + "ab/1" +
                           le_bytes<std::uint32_t>(0) + le_bytes<std::uint16_t>(4) + "ab/2" +
                           le_bytes<std::uint32_t>(3) + "two");
  EXPECT_EQ(running_transactions(), 0u);
}

// A key longer than the 16-bit length field of the listing must not come out truncated.
// A key stored before longer keys were refused at their write.
void store_directly(Database& db, BytesView key, BytesView value) {
  DurableStorage& s = db.storage();
  const auto txn = s.begin_transaction();
  ASSERT_TRUE(txn.has_value());
  ASSERT_TRUE(s.write_refs(*txn, key, value).has_value());
  ASSERT_TRUE(db.commit(*txn).has_value());
}

TEST_F(ClientHandlerTest, ScanRefusesKeysTooLongForTheListing) {
  auto h = handler();
  store_directly(*db_, "ab" + Bytes(69998, 'x'), "v");
  ASSERT_EQ(call(*h, opcode::PUT, encode_put("ab", "short")).opcode, response::OK);
  EXPECT_EQ(call(*h, opcode::SCAN, "ab"),
            Message::error("Key too long for scan listing: 70000 bytes (max 65535)"));
  EXPECT_EQ(call(*h, opcode::GET, "ab" + Bytes(69998, 'x')), (Message{response::VALUE, "v"}))
      << "a key stored before the refusal is still served";
  // A key of exactly 65535 bytes still fits.
  ASSERT_EQ(call(*h, opcode::PUT, encode_put("cd" + Bytes(65533, 'y'), "v")).opcode, response::OK);
  EXPECT_EQ(call(*h, opcode::SCAN, "cd").opcode, response::VALUE);
  EXPECT_EQ(running_transactions(), 0u);
}

// A key longer than a scan can list is refused at every write, alone, in a run of writes and in
// a transaction; nothing of it is stored, and the transaction goes on.
TEST_F(ClientHandlerTest, KeysLongerThanAScanCanListAreRefused) {
  auto h = handler();
  const Bytes long_key = "ab" + Bytes(65534, 'x');  // 65536 bytes
  const Bytes refusal = "Key too long: 65536 bytes (max 65535)";
  const Bytes long_path = encode_path({"ab", Bytes(65533, 'x')});  // "ab/" + 65533 = 65536
  EXPECT_EQ(call(*h, opcode::PUT, encode_put(long_key, "v")), Message::error(refusal));
  EXPECT_EQ(call(*h, opcode::PUT_PATH, long_path + "v"), Message::error(refusal));
  const std::vector<Message> run = {{opcode::PUT, encode_put("ab/1", "1")},
                                    {opcode::PUT, encode_put(long_key, "v")},
                                    {opcode::PUT_PATH, long_path + "v"},
                                    {opcode::PUT, encode_put("ab/2", "2")}};
  EXPECT_EQ(h->process_writes(run), (std::vector<Message>{{response::OK, ""},
                                                          Message::error(refusal),
                                                          Message::error(refusal),
                                                          {response::OK, ""}}));
  const Bytes handle = call(*h, opcode::BEGIN_TXN).payload;
  EXPECT_EQ(call(*h, opcode::IN_TXN, handle + Bytes(1, opcode::PUT) + encode_put(long_key, "v")),
            Message::error(refusal));
  EXPECT_EQ(call(*h, opcode::IN_TXN, handle + Bytes(1, opcode::PUT) + encode_put("ab/3", "3")),
            (Message{response::OK, ""}));
  EXPECT_EQ(call(*h, opcode::COMMIT_TXN, handle).opcode, response::TXN_ID);
  EXPECT_EQ(call(*h, opcode::SCAN, "ab").opcode, response::VALUE) << "nothing long was stored";
  EXPECT_EQ(call(*h, opcode::GET, long_key), (Message{response::VALUE, ""}));
}

// An inner request that fails leaves its transaction as it was: a SCAN whose listing is refused
// records no scan that could refuse the commit.
TEST_F(ClientHandlerTest, RefusedScanInATransactionRecordsNothing) {
  store_directly(*db_, "ab" + Bytes(69998, 'x'), "v");
  auto a = handler();
  auto b = handler();
  const Bytes handle = call(*a, opcode::BEGIN_TXN).payload;
  const auto inner = [&](std::uint8_t op, BytesView payload) {
    return call(*a, opcode::IN_TXN, handle + Bytes(1, static_cast<char>(op)) + Bytes(payload));
  };
  EXPECT_EQ(inner(opcode::SCAN, "ab"),
            Message::error("Key too long for scan listing: 70000 bytes (max 65535)"));
  ASSERT_EQ(inner(opcode::PUT, encode_put("zz", "1")).opcode, response::OK);
  ASSERT_EQ(call(*b, opcode::PUT, encode_put("ab/new", "2")).opcode, response::OK);
  EXPECT_EQ(call(*a, opcode::COMMIT_TXN, handle).opcode, response::TXN_ID)
      << "a write under the prefix of a refused scan must not refuse the commit";
}

// DROP_TABLE alone and inside IN_TXN: the rows and the schema go with the commit, not before.
TEST_F(ClientHandlerTest, DropTableAloneAndInATransaction) {
  auto h = handler();
  EXPECT_EQ(call(*h, opcode::DROP_TABLE, "t"), Message::error("Table not found: t"));
  for (const char* name : {"t", "u"}) {
    ASSERT_EQ(call(*h, opcode::REGISTER_TABLE, encode_schema(name, {{"id", 0, false}})).opcode,
              response::OK);
    ASSERT_EQ(call(*h, opcode::PUT, encode_put(std::string(name) + "/1", "row")).opcode,
              response::OK);
  }
  EXPECT_EQ(call(*h, opcode::DROP_TABLE, "t"), (Message{response::OK, ""}));
  EXPECT_EQ(call(*h, opcode::DESCRIBE_TABLE, "t"), Message::error("Table not found: t"));
  EXPECT_EQ(call(*h, opcode::GET, "t/1"), (Message{response::VALUE, ""}));

  const Bytes handle = call(*h, opcode::BEGIN_TXN).payload;
  const Bytes drop_u = handle + Bytes(1, opcode::DROP_TABLE) + "u";
  EXPECT_EQ(call(*h, opcode::IN_TXN, handle + Bytes(1, opcode::DROP_TABLE) + "nope"),
            Message::error("Table not found: nope"))
      << "and the transaction goes on";
  EXPECT_EQ(call(*h, opcode::IN_TXN, drop_u), (Message{response::OK, ""}));
  EXPECT_EQ(call(*h, opcode::GET, "u/1"), (Message{response::VALUE, "row"}))
      << "not before the commit";
  EXPECT_EQ(call(*h, opcode::COMMIT_TXN, handle).opcode, response::TXN_ID);
  EXPECT_EQ(call(*h, opcode::GET, "u/1"), (Message{response::VALUE, ""}));
  EXPECT_EQ(call(*h, opcode::LIST_TABLES), (Message{response::VALUE, encode_table_list({})}));
}

TEST_F(ClientHandlerTest, TransactionHandlesArePerConnection) {
  auto a = handler();
  auto b = handler();
  EXPECT_EQ(call(*a, opcode::BEGIN_TXN), (Message{response::TXN_ID, le_bytes<std::uint64_t>(1)}));
  EXPECT_EQ(call(*a, opcode::BEGIN_TXN, "ignored"),
            (Message{response::TXN_ID, le_bytes<std::uint64_t>(2)}));
  EXPECT_EQ(call(*b, opcode::BEGIN_TXN), (Message{response::TXN_ID, le_bytes<std::uint64_t>(1)}));
  EXPECT_EQ(running_transactions(), 3u);
  EXPECT_NE(a->storage_txn(1), b->storage_txn(1));

  // b has no handle 2.
  EXPECT_EQ(call(*b, opcode::COMMIT_TXN, le_bytes<std::uint64_t>(2)),
            Message::error("Transaction not found: 2"));
  const Message committed = call(*a, opcode::COMMIT_TXN, le_bytes<std::uint64_t>(2));
  ASSERT_EQ(committed.opcode, response::TXN_ID);
  EXPECT_EQ(committed.payload.size(), 8u);
  EXPECT_EQ(call(*a, opcode::COMMIT_TXN, le_bytes<std::uint64_t>(2)),
            Message::error("Transaction not found: 2"));
  EXPECT_EQ(call(*a, opcode::ABORT_TXN, le_bytes<std::uint64_t>(1)), (Message{response::OK, ""}));
  EXPECT_EQ(call(*a, opcode::ABORT_TXN, le_bytes<std::uint64_t>(1)),
            Message::error("Transaction not found: 1"));
  // Handles are never reused.
  EXPECT_EQ(call(*a, opcode::BEGIN_TXN), (Message{response::TXN_ID, le_bytes<std::uint64_t>(3)}));
  EXPECT_EQ(a->open_transactions(), 1u);
  EXPECT_EQ(running_transactions(), 2u);
}

// A connection holds at most kMaxOpenTransactions; BEGIN_TXN past it opens nothing, and room
// comes back as transactions end. Another connection is not affected.
TEST_F(ClientHandlerTest, OpenTransactionsPerConnectionAreCapped) {
  auto h = handler();
  for (std::size_t i = 0; i < kMaxOpenTransactions; ++i) {
    ASSERT_EQ(call(*h, opcode::BEGIN_TXN).opcode, response::TXN_ID) << i;
  }
  const Message refused = Message::error(
      "Too many open transactions on this connection (at most 1024); commit or abort one first");
  EXPECT_EQ(call(*h, opcode::BEGIN_TXN), refused);
  EXPECT_EQ(h->open_transactions(), kMaxOpenTransactions);
  EXPECT_EQ(running_transactions(), kMaxOpenTransactions);
  EXPECT_EQ(call(*handler(), opcode::BEGIN_TXN).opcode, response::TXN_ID);
  ASSERT_EQ(call(*h, opcode::ABORT_TXN, le_bytes<std::uint64_t>(7)).opcode, response::OK);
  // The refused BEGIN_TXN used no handle.
  EXPECT_EQ(call(*h, opcode::BEGIN_TXN),
            (Message{response::TXN_ID, le_bytes<std::uint64_t>(kMaxOpenTransactions + 1)}));
  EXPECT_EQ(call(*h, opcode::BEGIN_TXN), refused);
}

// BACKUP answers a JSON summary of a copy the storage opens; it is refused inside IN_TXN, for a
// path that is not absolute, and when a harness turned it off.
TEST_F(ClientHandlerTest, BackupAnswersItsSummaryOrTheRefusal) {
  auto h = handler();
  ASSERT_EQ(call(*h, opcode::PUT, encode_put("k", "v")).opcode, response::OK);
  const auto target = dir_ / "backups" / "one";
  const Message done = call(*h, opcode::BACKUP, target.string());
  ASSERT_EQ(done.opcode, response::VALUE) << done.payload;
  EXPECT_EQ(
      done.payload,
      fmt::format(R"({{"path":"{}","lsn":3,"keys":1,"tables":0,"bytes":173,"encrypted":false}})",
                  target.string()));
  {
    auto copy = Database::open(target);
    ASSERT_TRUE(copy) << copy.error().message();
    ClientHandler on_copy(*copy, stats_);
    EXPECT_EQ(call(on_copy, opcode::GET, "k"), (Message{response::VALUE, "v"}));
  }
  ASSERT_EQ(call(*h, opcode::BEGIN_TXN).opcode, response::TXN_ID);
  struct Case {
    Message request;
    std::string error;
  };
  const Case cases[] = {
      {{opcode::BACKUP, "relative/dir"},
       R"(Invalid argument: Backup directory must be an absolute path on the server's machine: "relative/dir")"},
      {{opcode::BACKUP, target.string()},
       fmt::format(R"(Invalid argument: Backup directory "{}" is not empty)", target.string())},
      {{opcode::BACKUP, "/a\xff"}, "Invalid UTF-8 in backup directory"},
      {{opcode::BACKUP, "/a\0b"s}, "Invalid backup directory: it holds a NUL byte"},
      {{opcode::IN_TXN, le_bytes<std::uint64_t>(1) + char(opcode::BACKUP) + "/tmp/x"},
       "IN_TXN cannot carry BACKUP (0x15)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.error);
    EXPECT_EQ(h->process_request(c.request), Message::error(c.error));
  }
  ClientHandler off(db_, stats_, ClientHandler::Options{.backups = false});
  EXPECT_EQ(call(off, opcode::BACKUP, (dir_ / "never").string()),
            Message::error("BACKUP is turned off for this connection"));
  EXPECT_FALSE(std::filesystem::exists(dir_ / "never"));
}

TEST_F(ClientHandlerTest, PutBetweenBeginAndAbortStaysCommitted) {
  auto h = handler();
  ASSERT_EQ(call(*h, opcode::BEGIN_TXN).opcode, response::TXN_ID);
  ASSERT_EQ(call(*h, opcode::PUT, encode_put("key", "value")).opcode, response::OK);
  ASSERT_EQ(call(*h, opcode::ABORT_TXN, le_bytes<std::uint64_t>(1)).opcode, response::OK);
  EXPECT_EQ(call(*h, opcode::GET, "key"), (Message{response::VALUE, "value"}));
  EXPECT_EQ(call(*handler(), opcode::GET, "key"), (Message{response::VALUE, "value"}));
}

TEST_F(ClientHandlerTest, BlindWriteToAKeyOfItsOwnOpenTransactionFailsAtOnce) {
  // The connection's transaction cannot end while the same connection waits, so the write is
  // refused at once (a waited-out bound answers the plain conflict text).
  auto h = handler();
  ASSERT_EQ(call(*h, opcode::BEGIN_TXN).opcode, response::TXN_ID);
  const Bytes in_txn_put = le_bytes<std::uint64_t>(1) + char(opcode::PUT) + encode_put("k", "txn");
  ASSERT_EQ(call(*h, opcode::IN_TXN, in_txn_put).opcode, response::OK);
  EXPECT_EQ(call(*h, opcode::PUT, encode_put("k", "blind")),
            Message::error("Internal error: Write-write conflict detected: transaction 1 of this "
                           "connection holds a pending write of the key"));
  EXPECT_EQ(call(*h, opcode::DELETE, "k").opcode, response::ERROR);
  // Other keys are written, and the transaction goes on.
  EXPECT_EQ(call(*h, opcode::PUT, encode_put("other", "blind")).opcode, response::OK);
  ASSERT_EQ(call(*h, opcode::COMMIT_TXN, le_bytes<std::uint64_t>(1)).opcode, response::TXN_ID);
  EXPECT_EQ(call(*h, opcode::GET, "k"), (Message{response::VALUE, "txn"}));
  EXPECT_EQ(call(*h, opcode::PUT, encode_put("k", "blind")).opcode, response::OK);
}

TEST_F(ClientHandlerTest, AbortAllAndDestructionEndOpenTransactions) {
  auto h = handler();
  call(*h, opcode::BEGIN_TXN);
  call(*h, opcode::BEGIN_TXN);
  ASSERT_EQ(running_transactions(), 2u);
  h->abort_all();
  EXPECT_EQ(running_transactions(), 0u);
  EXPECT_EQ(h->open_transactions(), 0u);
  EXPECT_EQ(call(*h, opcode::COMMIT_TXN, le_bytes<std::uint64_t>(1)),
            Message::error("Transaction not found: 1"));

  call(*h, opcode::BEGIN_TXN);
  ASSERT_EQ(running_transactions(), 1u);
  h.reset();
  EXPECT_EQ(running_transactions(), 0u);
}

TEST_F(ClientHandlerTest, StatsCountsThisConnectionsTransactions) {
  auto a = handler();
  auto b = handler();
  call(*a, opcode::BEGIN_TXN);
  call(*a, opcode::BEGIN_TXN);
  const Message sa = call(*a, opcode::STATS);
  ASSERT_EQ(sa.opcode, response::STATS_JSON);
  EXPECT_NE(sa.payload.find("\"active_transactions\":2}"), std::string::npos);
  EXPECT_NE(sa.payload.find("\"active_transactions\":2}"), std::string::npos);
  EXPECT_NE(call(*b, opcode::STATS).payload.find("\"active_transactions\":0}"), std::string::npos);
}

// The storage figures are the memtable's bytes and the log file's size, never a constant.
TEST_F(ClientHandlerTest, StatsReportTheMemtableAndTheLogSize) {
  auto h = handler();
  const auto figure = [&](const std::string& name) {
    const std::string json = call(*h, opcode::STATS).payload;
    const auto at = json.find("\"" + name + "\":");
    EXPECT_NE(at, std::string::npos) << json;
    return std::stoull(json.substr(at + name.size() + 3));
  };
  const auto log_before = figure("wal_size_bytes");
  EXPECT_EQ(log_before, db_->storage().log_bytes());
  const auto memtable_before = figure("memtable_size_bytes");
  Bytes put;
  put_u32(put, 3);
  put += "key" + std::string(1000, 'v');
  EXPECT_EQ(call(*h, opcode::PUT, put).opcode, response::OK);
  EXPECT_EQ(figure("wal_size_bytes"), db_->storage().log_bytes());
  EXPECT_GE(figure("wal_size_bytes"), log_before + 1003) << "the records, not the file's room";
  EXPECT_GE(figure("memtable_size_bytes"), memtable_before + 1003);
}

TEST_F(ClientHandlerTest, SqlRefusalEscapesLikeJson) {
  const std::string prefix =
      "{\"error\":\"SQL execution must be implemented client-side. Use Python SDK for full SQL "
      "support.\",\"sql\":\"";
  struct Case {
    Bytes sql;
    const char* escaped;
  };
  const std::vector<Case> cases = {
      {"SELECT 1", "SELECT 1"},
      {"say \"hi\"", "say \\\"hi\\\""},
      {"back\\slash", "back\\\\slash"},
      {"a\nb\tc\rd\be\ff", "a\\nb\\tc\\rd\\be\\ff"},
      {"\x01\x1f\x0b"s + "\0"s, "\\u0001\\u001f\\u000b\\u0000"},
      {"caf\xc3\xa9 \xe2\x82\xac \x7f", "caf\xc3\xa9 \xe2\x82\xac \x7f"},
      {"", ""},
  };
  auto h = handler();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.escaped);
    EXPECT_EQ(call(*h, opcode::EXECUTE_SQL, c.sql),
              (Message{response::VALUE, prefix + c.escaped + "\"}"}));
  }
}

// A group of single writes answers as the same writes one by one would, decode errors in their
// place, repeated keys in their order, and what it wrote survives a restart.
TEST_F(ClientHandlerTest, GroupedWritesAnswerInOrderAndSurviveARestart) {
  auto h = handler();
  const std::vector<Message> group = {
      {opcode::PUT, encode_put("k", "1")},
      {opcode::PUT, "\x01\x02"},
      {opcode::PUT, encode_put("k", "2")},
      {opcode::PUT, encode_put("gone", "x")},
      {opcode::DELETE, "gone"},
      {opcode::PUT_PATH, encode_path({"users", "1", "name"}, "ann")},
      {opcode::PUT_PATH, "\x01"},
      {opcode::DELETE, "never-written"},
  };
  const std::vector<Message> expected = {
      {response::OK, ""},
      Message::error("Protocol error: PUT payload too short"),
      {response::OK, ""},
      {response::OK, ""},
      {response::OK, ""},
      {response::OK, ""},
      Message::error("Protocol error: Path payload too short"),
      {response::OK, ""},
  };
  EXPECT_EQ(h->process_writes(group), expected);
  EXPECT_EQ(running_transactions(), 0u);
  const auto read_all = [&](ClientHandler& reader) {
    return std::vector<Message>{call(reader, opcode::GET, "k"), call(reader, opcode::GET, "gone"),
                                call(reader, opcode::GET, "users/1/name")};
  };
  const std::vector<Message> values = {
      {response::VALUE, "2"}, {response::VALUE, ""}, {response::VALUE, "ann"}};
  EXPECT_EQ(read_all(*h), values);
  h.reset();
  db_.reset();
  auto reopened = Database::open(dir_ / "db");
  ASSERT_TRUE(reopened.has_value()) << reopened.error().message();
  db_ = *reopened;
  EXPECT_EQ(read_all(*handler()), values);
}

// A group of reads answers as the same reads one by one would, from one snapshot, and ends its
// transaction.
TEST_F(ClientHandlerTest, GroupedReadsAnswerInOrderAndEndTheirTransaction) {
  auto h = handler();
  ASSERT_EQ(call(*h, opcode::PUT, encode_put("k", "1")), (Message{response::OK, ""}));
  ASSERT_EQ(call(*h, opcode::PUT_PATH, encode_path({"users", "1", "name"}, "ann")),
            (Message{response::OK, ""}));
  const std::vector<Message> group = {
      {opcode::GET, "k"},
      {opcode::GET_PATH, "\x01"},
      {opcode::GET_PATH, encode_path({"users", "1", "name"})},
      {opcode::GET, "missing"},
      {opcode::GET, "k"},
  };
  const std::vector<Message> expected = {
      {response::VALUE, "1"},   Message::error("Protocol error: Path payload too short"),
      {response::VALUE, "ann"}, {response::VALUE, ""},
      {response::VALUE, "1"},
  };
  EXPECT_EQ(h->process_reads(group), expected);
  EXPECT_EQ(running_transactions(), 0u);
}

// When the shared sync fails, every write of the group is refused, and none of them is there
// after a restart.
TEST_F(ClientHandlerTest, FailedSyncFailsEveryWriteOfTheGroup) {
  auto h = handler();
  EXPECT_EQ(call(*h, opcode::PUT, encode_put("before", "1")), (Message{response::OK, ""}));
  io::set_fault_plan(io::FaultPlan{
      [](io::Op op) { return op == io::Op::Fsync ? std::optional<int>(EIO) : std::nullopt; }, {}});
  const auto answers =
      h->process_writes(std::vector<Message>{{opcode::PUT, encode_put("a", "1")},
                                             {opcode::DELETE, "before"},
                                             {opcode::PUT_PATH, encode_path({"t", "1"}, "v")}});
  io::set_fault_plan(std::nullopt);
  ASSERT_EQ(answers.size(), 3u);
  for (const Message& m : answers) {
    EXPECT_EQ(m, Message::error("IO error: " + os_error_text(EIO)));
  }
  EXPECT_EQ(call(*h, opcode::GET, "a"), (Message{response::VALUE, ""}));
  EXPECT_EQ(call(*h, opcode::GET, "before"), (Message{response::VALUE, "1"}));
  h.reset();
  db_.reset();
  auto reopened = Database::open(dir_ / "db");
  ASSERT_TRUE(reopened.has_value()) << reopened.error().message();
  db_ = *reopened;
  h = handler();
  EXPECT_EQ(call(*h, opcode::GET, "a"), (Message{response::VALUE, ""}));
  EXPECT_EQ(call(*h, opcode::GET, "before"), (Message{response::VALUE, "1"}));
  EXPECT_EQ(call(*h, opcode::GET, "t/1"), (Message{response::VALUE, ""}));
}

// A write of the group that meets another transaction's pending write sends the group back to
// be written one by one: the writes before it commit alone (a is visible while the group's call
// still waits), the blocked one waits for the other transaction and applies after it.
TEST_F(ClientHandlerTest, GroupMeetingAPendingWriteIsWrittenOneByOne) {
  auto other = handler();
  const Message begun = call(*other, opcode::BEGIN_TXN);
  ASSERT_EQ(begun.opcode, response::TXN_ID);
  ASSERT_EQ(call(*other, opcode::IN_TXN, begun.payload + "\x01"s + encode_put("x", "theirs")),
            (Message{response::OK, ""}));
  auto h = handler();
  std::vector<Message> answers;
  std::thread writer([&] {
    answers = h->process_writes(std::vector<Message>{{opcode::PUT, encode_put("a", "1")},
                                                     {opcode::PUT, encode_put("x", "mine")},
                                                     {opcode::PUT, encode_put("b", "2")}});
  });
  auto reader = handler();
  while (call(*reader, opcode::GET, "a") != Message{response::VALUE, "1"}) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_EQ(call(*reader, opcode::GET, "b"), (Message{response::VALUE, ""}));
  EXPECT_EQ(call(*other, opcode::COMMIT_TXN, begun.payload).opcode, response::TXN_ID);
  writer.join();
  EXPECT_EQ(answers, (std::vector<Message>(3, Message{response::OK, ""})));
  EXPECT_EQ(call(*reader, opcode::GET, "x"), (Message{response::VALUE, "mine"}));
  EXPECT_EQ(call(*reader, opcode::GET, "b"), (Message{response::VALUE, "2"}));
}

// ---- The connection loop over a socket pair ------------------------------------------------

// A request stays in the socket until its answer has gone: taken out earlier, it would wake a
// client that waits for the answer to find nothing (see FrameReader::receive). Taken out once, it
// is never answered twice.
TEST_F(ClientHandlerTest, RequestsLeaveTheSocketOnceAnswered) {
  int fds[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
  const UniqueFd ours(fds[0]), peer(fds[1]);
  const auto queued = [](int fd) {
    int n = -1;
    EXPECT_EQ(::ioctl(fd, FIONREAD, &n), 0);
    return n;
  };
  const auto answer = [&] {
    char buf[64];
    const ssize_t n = ::recv(peer.get(), buf, sizeof buf, MSG_DONTWAIT);
    return n < 0 ? Bytes() : Bytes(buf, static_cast<std::size_t>(n));
  };
  ClientHandler h(db_, stats_);
  Connection conn(ours.get(), h, *stats_);

  const Bytes frames =
      encode_frame(opcode::PING, "") + encode_frame(opcode::PUT, encode_put("k", "v"));
  ASSERT_EQ(::send(peer.get(), frames.data(), frames.size(), 0),
            static_cast<ssize_t>(frames.size()));
  ASSERT_EQ(conn.serve(), Connection::Need::Commit);
  EXPECT_EQ(answer(), encode_frame(response::PONG, ""));  // answered before the write
  EXPECT_EQ(queued(ours.get()), static_cast<int>(frames.size()));
  conn.run_pending();
  conn.flush();
  EXPECT_EQ(answer(), encode_frame(response::OK, ""));
  EXPECT_EQ(queued(ours.get()), 0);

  const Bytes get = encode_frame(opcode::GET, "k");
  ASSERT_EQ(::send(peer.get(), get.data(), get.size(), 0), static_cast<ssize_t>(get.size()));
  ASSERT_EQ(conn.serve(), Connection::Need::Input);
  EXPECT_EQ(answer(), encode_frame(response::VALUE, "v"));
  EXPECT_EQ(queued(ours.get()), 0);
  ASSERT_EQ(conn.serve(), Connection::Need::Input);
  EXPECT_EQ(answer(), "");  // nothing answered twice
  EXPECT_EQ(stats_->requests_total.load(), 3u);
}

class ConnectionTest : public ClientHandlerTest {
 protected:
  // Serves one end of a socket pair on a thread of its own, as a connection's own thread does,
  // and ends it as its loop would; the test talks through peer_.
  void start(std::chrono::microseconds timeout = kReceiveTimeout) {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    peer_ = UniqueFd(fds[0]);
    stats_->connection_admitted();
    thread_ = std::thread([this, server = UniqueFd(fds[1]), timeout] {
      {
        ClientHandler handler(db_, stats_);
        auto served = run_connection(server.get(), handler, *stats_, timeout);
        if (!served) {
          log::stderr_line(fmt::format("[IpcServer] Client error: {}\n", served.error().message()));
        }
        handler.abort_all();
      }
      stats_->connection_ended();
    });
  }
  // Waits for the connection to end and returns what it printed on standard error.
  std::string finish() {
    if (thread_.joinable()) thread_.join();
    stderr_taken_ = true;
    return ::testing::internal::GetCapturedStderr();
  }
  void SetUp() override {
    ClientHandlerTest::SetUp();
    ::testing::internal::CaptureStderr();
  }
  void TearDown() override {
    peer_ = UniqueFd();
    if (thread_.joinable()) thread_.join();
    if (!stderr_taken_) ::testing::internal::GetCapturedStderr();
  }

  void send_bytes(BytesView data) {
    while (!data.empty()) {
      const ssize_t n = ::send(peer_.get(), data.data(), data.size(), MSG_NOSIGNAL);
      ASSERT_GT(n, 0);
      data.remove_prefix(static_cast<std::size_t>(n));
    }
  }
  // The next response frame; nullopt when the server closed the connection first.
  std::optional<Message> read_response() {
    char header[5];
    if (!read_exact(header, 5)) return std::nullopt;
    Message m{static_cast<std::uint8_t>(header[0]), Bytes(get_u32(header + 1), '\0')};
    if (!read_exact(m.payload.data(), m.payload.size())) return std::nullopt;
    return m;
  }
  bool read_exact(char* dst, std::size_t n) {
    while (n > 0) {
      const ssize_t got = ::recv(peer_.get(), dst, n, 0);
      if (got <= 0) return false;
      dst += got;
      n -= static_cast<std::size_t>(got);
    }
    return true;
  }
  // True when the server has closed its end without sending anything more.
  bool closed_without_frame() {
    char c;
    return ::recv(peer_.get(), &c, 1, 0) == 0;
  }

  UniqueFd peer_;
  std::thread thread_;
  bool stderr_taken_ = false;
};

TEST_F(ConnectionTest, ZeroLengthPayloadAndBackToBackFrames) {
  start();
  // Two requests in one send are answered in order.
  send_bytes(encode_frame(opcode::PING, "") + encode_frame(opcode::GET, "nothing"));
  EXPECT_EQ(read_response(), (Message{response::PONG, ""}));
  EXPECT_EQ(read_response(), (Message{response::VALUE, ""}));
  // An ERROR answer keeps the connection.
  send_bytes(encode_frame(0x18, ""));
  EXPECT_EQ(read_response(), Message::error("Unknown opcode: 0x18"));
  send_bytes(encode_frame(opcode::PING, "abc"));
  EXPECT_EQ(read_response(), (Message{response::PONG, ""}));
  peer_ = UniqueFd();  // clean close
  EXPECT_EQ(finish(), "");
  EXPECT_EQ(stats_->requests_total.load(), 4u);
  EXPECT_EQ(stats_->requests_success.load(), 3u);
  EXPECT_EQ(stats_->requests_error.load(), 1u);
  EXPECT_EQ(stats_->bytes_received.load(), 5u + 12u + 5u + 8u);
  EXPECT_EQ(stats_->bytes_sent.load(), 5u + 5u + 25u + 5u);
  EXPECT_EQ(stats_->connections_active.load(), 0u);
}

// Pipelined writes are answered in order, and a read sent right after them sees them.
TEST_F(ConnectionTest, PipelinedWritesThenReadsInOneSend) {
  start();
  const Bytes frames = encode_frame(opcode::PUT, encode_put("a", "1")) +
                       encode_frame(opcode::PUT, encode_put("b", "2")) +
                       encode_frame(opcode::PUT, encode_put("a", "3")) +
                       encode_frame(opcode::DELETE, "b") + encode_frame(opcode::GET, "a") +
                       encode_frame(opcode::GET, "b") +
                       encode_frame(opcode::PUT, encode_put("c", "4")) +
                       encode_frame(opcode::PUT, "\x01") + encode_frame(opcode::GET, "c");
  send_bytes(frames);
  const std::vector<Message> expected = {
      {response::OK, ""},     {response::OK, ""},
      {response::OK, ""},     {response::OK, ""},
      {response::VALUE, "3"}, {response::VALUE, ""},
      {response::OK, ""},     Message::error("Protocol error: PUT payload too short"),
      {response::VALUE, "4"},
  };
  for (const Message& m : expected) EXPECT_EQ(read_response(), m);
  peer_ = UniqueFd();
  EXPECT_EQ(finish(), "");
  EXPECT_EQ(stats_->requests_total.load(), 9u);
  EXPECT_EQ(stats_->requests_success.load(), 8u);
  EXPECT_EQ(stats_->requests_error.load(), 1u);
  EXPECT_EQ(stats_->bytes_received.load(), frames.size());
  EXPECT_EQ(running_transactions(), 0u);
}

TEST_F(ConnectionTest, LargestPayloadAcceptedOneMoreRefused) {
  start();
  send_bytes(encode_frame(opcode::PING, Bytes(MAX_MESSAGE_SIZE, 'p')));
  EXPECT_EQ(read_response(), (Message{response::PONG, ""}));
  Bytes header;
  put_u8(header, opcode::PUT);
  put_u32(header, MAX_MESSAGE_SIZE + 1);
  send_bytes(header);
  EXPECT_TRUE(closed_without_frame());
  EXPECT_EQ(finish(),
            "[IpcServer] Client error: Message too large: 16777217 bytes (max: 16777216)\n");
  EXPECT_EQ(stats_->requests_total.load(), 1u);  // the refused frame is counted nowhere
  EXPECT_EQ(stats_->connections_active.load(), 0u);
}

TEST_F(ConnectionTest, CleanCloseAbortsOpenTransactions) {
  start();
  send_bytes(encode_frame(opcode::BEGIN_TXN, "") + encode_frame(opcode::BEGIN_TXN, ""));
  EXPECT_EQ(read_response(), (Message{response::TXN_ID, le_bytes<std::uint64_t>(1)}));
  EXPECT_EQ(read_response(), (Message{response::TXN_ID, le_bytes<std::uint64_t>(2)}));
  EXPECT_EQ(running_transactions(), 2u);
  peer_ = UniqueFd();
  EXPECT_EQ(finish(), "");
  EXPECT_EQ(running_transactions(), 0u);
}

TEST_F(ConnectionTest, FrameCutShortIsAnErrorAndStillAbortsTransactions) {
  start();
  send_bytes(encode_frame(opcode::BEGIN_TXN, ""));
  EXPECT_EQ(read_response(), (Message{response::TXN_ID, le_bytes<std::uint64_t>(1)}));
  send_bytes(Bytes("\x01\x10\x00", 3));  // opcode and half a length
  peer_ = UniqueFd();
  EXPECT_EQ(finish(), "[IpcServer] Client error: I/O error: failed to fill whole buffer\n");
  EXPECT_EQ(running_transactions(), 0u);
  EXPECT_EQ(stats_->connections_active.load(), 0u);
}

// The end of input right behind the start of a frame is seen by the same serve() that reads
// those bytes: a loop that waits for the next readiness of the socket would otherwise wait for
// ever (edge-triggered, the end was announced with the bytes) and keep the connection's
// transactions until its time-out.
TEST_F(ClientHandlerTest, EndOfInputInsideAFrameIsSeenWithItsBytes) {
  Bytes cut_payload;
  put_u8(cut_payload, opcode::PUT);
  put_u32(cut_payload, 100);
  cut_payload += Bytes(10, 'x');
  for (const Bytes& cut : {Bytes("\x01\x05\x00", 3), cut_payload}) {
    for (const int how : {SHUT_WR, SHUT_RDWR}) {
      SCOPED_TRACE(::testing::Message() << cut.size() << " bytes, shutdown " << how);
      int fds[2];
      ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
      UniqueFd peer(fds[0]), server(fds[1]);
      auto h = handler();
      Connection conn(server.get(), *h, *stats_);
      const Bytes ping = encode_frame(opcode::PING, "");
      ASSERT_EQ(::send(peer.get(), ping.data(), ping.size(), 0), 5);
      ASSERT_EQ(conn.serve(), Connection::Need::Input);  // answered: a whole request first
      ASSERT_EQ(::send(peer.get(), cut.data(), cut.size(), 0), static_cast<ssize_t>(cut.size()));
      ASSERT_EQ(::shutdown(peer.get(), how), 0);
      EXPECT_EQ(conn.serve(), Connection::Need::Done);
      ASSERT_FALSE(conn.result().has_value());
      EXPECT_EQ(conn.result().error().message(), "I/O error: failed to fill whole buffer");
    }
  }
}

TEST_F(ConnectionTest, SilentClientTimesOut) {
  start(std::chrono::milliseconds(50));
  send_bytes(encode_frame(opcode::BEGIN_TXN, ""));
  EXPECT_EQ(read_response(), (Message{response::TXN_ID, le_bytes<std::uint64_t>(1)}));
  EXPECT_TRUE(closed_without_frame());
  EXPECT_EQ(finish(),
            "[IpcServer] Client error: I/O error: Resource temporarily unavailable (os error "
            "11)\n");
  EXPECT_EQ(running_transactions(), 0u);
}

// Writing to a peer that has gone away must end the connection, not the process (SIGPIPE).
TEST_F(ConnectionTest, PeerGoneBeforeReadingItsAnswer) {
  start();
  send_bytes(encode_frame(opcode::PUT, encode_put("big", Bytes(1 << 20, 'v'))));
  EXPECT_EQ(read_response(), (Message{response::OK, ""}));
  send_bytes(encode_frame(opcode::GET, "big"));
  peer_ = UniqueFd();
  const std::string err = finish();
  EXPECT_TRUE(err == "[IpcServer] Client error: I/O error: Broken pipe (os error 32)\n" ||
              err ==
                  "[IpcServer] Client error: I/O error: Connection reset by peer (os error "
                  "104)\n")
      << err;
  EXPECT_EQ(stats_->requests_total.load(), 2u);
  EXPECT_EQ(stats_->requests_success.load(), 2u);  // counted before the write failed
  EXPECT_EQ(stats_->connections_active.load(), 0u);
}

}  // namespace
}  // namespace kavrel
