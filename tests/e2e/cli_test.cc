// kavrel-cli against a real server: every command, the exit statuses and the shell's
// transaction handles (the shell is fed its lines on standard input).
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <bit>
#include <chrono>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "clients/cpp/kavrel_client.h"
#include "tests/support/files.h"
#include "tests/support/server_process.h"
#include "tests/support/temp_dir.h"

#ifndef KAVREL_CLI_BIN
#error "KAVREL_CLI_BIN must name the kavrel-cli binary"
#endif

namespace kavrel::testing {
namespace {

const std::string kUnreachableHint = "(is kavrel-server running? start it with `make run`)";

std::set<std::string> lines_of(const std::string& text) {
  std::set<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.insert(line);
  return out;
}

class CliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::vector<std::string> args{"--db", db_.string()};
    const auto extra = server_options();
    args.insert(args.end(), extra.begin(), extra.end());
    server_ = std::make_unique<ServerProcess>(args, tmp_.path());
    ASSERT_TRUE(server_->wait_ready(socket_)) << server_->stdout_text() << server_->stderr_text();
  }
  // Options of the server besides --db.
  virtual std::vector<std::string> server_options() const { return {}; }

  // kavrel-cli -s SOCKET args..., with stdin_text on standard input.
  CommandResult cli(std::vector<std::string> args, const std::string& stdin_text = {}) {
    args.insert(args.begin(), {KAVREL_CLI_BIN, "-s", socket_.string()});
    return run_command(args, stdin_text);
  }

  // Runs a command that must succeed and returns its standard output.
  std::string ok(std::vector<std::string> args, const std::string& stdin_text = {}) {
    const CommandResult r = cli(std::move(args), stdin_text);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    return r.out;
  }

  TempDir tmp_;
  std::filesystem::path db_ = tmp_ / "db";
  std::filesystem::path socket_ = db_ / "kavrel.sock";
  std::unique_ptr<ServerProcess> server_;
};

TEST_F(CliTest, KeyValueCommands) {
  EXPECT_EQ(ok({"ping"}), "PONG\n");
  EXPECT_EQ(ok({"put", "hello", "world"}), "OK\n");
  EXPECT_EQ(ok({"get", "hello"}), "world\n");
  EXPECT_EQ(ok({"put", "get", "a key named like a command"}), "OK\n");
  EXPECT_EQ(ok({"get", "get"}), "a key named like a command\n");
  EXPECT_EQ(ok({"put", "--", "-dash", "-v"}), "OK\n");
  EXPECT_EQ(ok({"get", "--", "-dash"}), "-v\n");
  EXPECT_EQ(ok({"put", "hello2", "there"}), "OK\n");
  EXPECT_EQ(ok({"scan", "hel"}), "hello\tworld\nhello2\tthere\n");
  EXPECT_EQ(ok({"del", "hello"}), "OK\n");
  EXPECT_EQ(ok({"get", "hello"}), "\n");  // absent reads as empty
  EXPECT_EQ(ok({"scan", "hel"}), "hello2\tthere\n");
  EXPECT_EQ(ok({"scan", "zz"}), "");
  EXPECT_EQ(ok({"checkpoint"}), "OK\n");

  // -d DB finds DB/kavrel.sock.
  const CommandResult r = run_command({KAVREL_CLI_BIN, "-d", db_.string(), "get", "hello2"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "there\n");
}

TEST_F(CliTest, ValuesFromFilesStandardInputAndHex) {
  const std::string binary("a\0b\xff\n", 5);
  const auto file = tmp_ / "value.bin";
  std::ofstream(file, std::ios::binary) << binary;

  EXPECT_EQ(ok({"put", "file", "@" + file.string()}), "OK\n");
  EXPECT_EQ(ok({"--hex", "get", "file"}), "610062ff0a\n");
  // Not a terminal: the bytes as they are, then a newline.
  EXPECT_EQ(ok({"get", "file"}), binary + "\n");
  // A listing stays one entry a line: such values are escaped.
  EXPECT_EQ(ok({"scan", "fi"}), "file\t\"a\\0b\\xff\\n\"\n");
  EXPECT_EQ(ok({"scan", "fi", "--hex"}), "file\t610062ff0a\n");

  EXPECT_EQ(ok({"put", "stdin", "-"}, std::string("from\0stdin", 10)), "OK\n");
  EXPECT_EQ(ok({"get", "stdin", "--hex"}), "66726f6d00737464696e\n");
  EXPECT_EQ(ok({"put", "hex", "--hex", "DEAD beef"}), "OK\n");
  EXPECT_EQ(ok({"get", "hex", "--hex"}), "deadbeef\n");
  EXPECT_EQ(ok({"put", "at", "@@home"}), "OK\n");
  EXPECT_EQ(ok({"get", "at"}), "@home\n");
}

TEST_F(CliTest, PathsAndQueriesOfAnUnregisteredTable) {
  EXPECT_EQ(ok({"put-path", "users/1/name", "alice"}), "OK\n");
  EXPECT_EQ(ok({"put-path", "users", "1", "age", "--", "31"}), "OK\n");
  EXPECT_EQ(ok({"put-path", "users", "2", "name", "--", "bob, jr"}), "OK\n");
  EXPECT_EQ(ok({"get-path", "users/1/name"}), "alice\n");
  EXPECT_EQ(ok({"get-path", "users", "2", "name"}), "bob, jr\n");
  EXPECT_EQ(ok({"get", "users/1/age"}), "31\n");  // segments are joined with "/"

  // Rows of an unregistered table come in no particular order.
  EXPECT_EQ(lines_of(ok({"query", "users", "--columns", "name,age"})),
            (std::set<std::string>{"name    | age", "--------+----", "alice   | 31", "bob, jr | ∅",
                                   "(2 rows)"}));
  EXPECT_EQ(ok({"query", "users/1", "--columns", "age,name", "--raw"}),
            "result[1]{age,name}:31,alice\n");
  EXPECT_EQ(ok({"query", "users/2", "--columns", "name", "--raw"}),
            "result[1]{name}:\"bob, jr\"\n");
  EXPECT_EQ(ok({"query", "users", "--offset", "5"}), "(0 rows)\n");
  EXPECT_EQ(ok({"query", "users", "--limit", "1", "--columns", "name"}).find("(1 row)\n") !=
                std::string::npos,
            true);
}

TEST_F(CliTest, RegisteredTableReadsPackedRows) {
  EXPECT_EQ(ok({"register", "people", "id:int", "name:text?", "ok:bool"}), "OK\n");
  // A packed row of 3 columns: null bitmap (1 byte), 3 offsets, then id (8 bytes), name
  // (length 5 + "carol"), ok (1 byte).
  const std::string row =
      "00"                        // null bitmap: no nulls
      "000000000800000011000000"  // offsets 0, 8 and 17 (u32 each)
      "2a00000000000000"          // id 42
      "050000006361726f6c"        // name: length 5, "carol"
      "01";                       // ok: true
  EXPECT_EQ(ok({"put", "people/42", "--hex", row}), "OK\n");
  EXPECT_EQ(ok({"query", "people", "--columns", "id,name,ok"}),
            "id | name  | ok\n"
            "---+-------+---\n"
            "42 | carol | T\n"
            "(1 row)\n");

  const CommandResult again = cli({"register", "people", "id:int"});
  EXPECT_EQ(again.status, 1);
  EXPECT_EQ(again.out, "");
  EXPECT_EQ(again.err, "error: Invalid argument: Table 'people' already exists\n");
}

TEST_F(CliTest, TypedRowsAreInsertedFromTheSchemaAndTablesSurviveARestart) {
  EXPECT_EQ(ok({"register", "orders", "id:int", "note:text?", "price:float?", "paid:bool?",
                "blob:binary?"}),
            "OK\n");
  // The example of the quick start: a row written by insert, read back by query.
  EXPECT_EQ(ok({"insert", "orders", "1", "id=7", "note=first, with a comma", "price=2.5",
                "paid=yes", "blob=00ff"}),
            "OK\n");
  EXPECT_EQ(ok({"insert", "orders", "2", "id=-3"}), "OK\n");  // the rest NULL
  const auto blob = tmp_ / "blob.bin";
  std::ofstream(blob, std::ios::binary) << std::string("\x01\x02", 2);
  EXPECT_EQ(ok({"insert", "orders", "3", "id=9", "blob=@" + blob.string(), "note=@@at"}), "OK\n");
  EXPECT_EQ(ok({"query", "orders", "--columns", "id,note,price,paid,blob", "--raw"}),
            "result[3]{id,note,price,paid,blob}:7,\"first, with a comma\",2.500000,T,b64:AP8=;"
            "-3,∅,∅,∅,∅;9,@at,∅,∅,b64:AQI=\n");

  struct Case {
    std::vector<std::string> args;
    int status;
    std::string err;
  };
  const Case refusals[] = {
      {{"insert", "orders", "4"},
       2,
       "error: table \"orders\": column \"id\" (int) is not nullable and needs a value\n"},
      {{"insert", "orders", "4", "id=seven"},
       2,
       "error: table \"orders\": column \"id\" (int): \"seven\" is not a whole number from "
       "-9223372036854775808 to 9223372036854775807\n"},
      {{"insert", "orders", "4", "id=1", "paid=maybe"},
       2,
       "error: table \"orders\": column \"paid\" (bool): \"maybe\" is not a boolean (true, false, "
       "t, f, yes, no, 1 or 0)\n"},
      {{"insert", "orders", "4", "id=1", "blob=xyz"},
       2,
       "error: column \"blob\" (binary): \"xyz\" is not hexadecimal (an even number of digits "
       "0-9, a-f), nor @FILE\n"},
      {{"insert", "orders", "4", "id=1", "colour=red"},
       2,
       "error: table \"orders\": table \"orders\" has no column \"colour\"\n"},
      {{"insert", "orders", "4/5", "id=1"},
       2,
       "error: invalid row id '4/5': a row of a registered table is TABLE/ID, with no '/' in ID\n"},
  };
  for (const Case& c : refusals) {
    SCOPED_TRACE(c.args.back());
    const CommandResult r = cli(c.args);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.out, "");
  }
  EXPECT_EQ(ok({"get", "orders/4"}), "\n") << "a refused row writes nothing";

  EXPECT_EQ(ok({"register", "tags", "name:text"}), "OK\n");
  const std::string tables =
      "table  | columns\n"
      "-------+-------------------------------------------------------\n"
      "orders | id:int note:text? price:float? paid:bool? blob:binary?\n"
      "tags   | name:text\n"
      "(2 tables)\n";
  EXPECT_EQ(ok({"tables"}), tables);
  const std::string described = ok({"describe", "orders"});
  EXPECT_NE(described.find("id     | int    | no\n"), std::string::npos) << described;
  EXPECT_TRUE(
      described.ends_with("blob   | binary | yes\n(5 columns)\nrow key: id (each row is "
                          "stored under orders/<id>)\n"))
      << described;
  // The schema is not a key: reads see nothing of it.
  EXPECT_EQ(ok({"get", "orders"}), "\n");
  EXPECT_EQ(ok({"scan", "ta"}), "");

  // A restart keeps the tables: the rows still read as packed rows, the names stay taken.
  server_->signal(SIGINT);
  ASSERT_EQ(server_->wait_exit(), 0);
  server_ =
      std::make_unique<ServerProcess>(std::vector<std::string>{"--db", db_.string()}, tmp_.path());
  ASSERT_TRUE(server_->wait_ready(socket_)) << server_->stdout_text();
  EXPECT_EQ(ok({"tables"}), tables);
  EXPECT_EQ(ok({"query", "orders/2", "--columns", "id,note", "--raw"}),
            "result[1]{id,note}:-3,∅\n");
  const CommandResult again = cli({"register", "tags", "other:int"});
  EXPECT_EQ(again.status, 1);
  EXPECT_EQ(again.err, "error: Invalid argument: Table 'tags' already exists\n");
  EXPECT_EQ(ok({"describe", "tags"}),
            "column | type | nullable\n"
            "-------+------+---------\n"
            "name   | text | no\n"
            "(1 column)\n");
}

TEST_F(CliTest, ValuesAreWrittenByteForByte) {
  // 10 MiB of every byte value.
  std::string big(10 * 1024 * 1024, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 + i / 251);
  const auto in = tmp_ / "big.dat", out = tmp_ / "out.dat";
  std::ofstream(in, std::ios::binary) << big;
  EXPECT_EQ(ok({"put", "big", "@" + in.string()}), "OK\n");
  EXPECT_EQ(ok({"get", "big", "-o", out.string()}), "");
  std::ifstream f(out, std::ios::binary);
  const std::string back((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  EXPECT_TRUE(back == big) << "sizes " << back.size() << " and " << big.size();
  EXPECT_TRUE(ok({"get", "big", "--raw"}) == big);
  EXPECT_EQ(ok({"put", "empty", ""}), "OK\n");
  EXPECT_EQ(ok({"get", "empty", "--raw"}), "");
  EXPECT_EQ(ok({"put-path", "p/q", "v"}), "OK\n");
  EXPECT_EQ(ok({"get-path", "p/q", "--raw"}), "v");

  // Above the 16 MiB request limit: refused before sending, status 1, the server unharmed.
  const auto huge = tmp_ / "huge.dat";
  std::ofstream(huge, std::ios::binary) << std::string(16 * 1024 * 1024, 'x');
  const CommandResult r = cli({"put", "huge", "@" + huge.string()});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err,
            "error: the request is 16777224 bytes, above the server's limit of 16777216 bytes "
            "(16 MiB) per request; nothing was sent\n");
  EXPECT_EQ(ok({"ping"}), "PONG\n");
}

TEST_F(CliTest, CsvAndJsonOutputKeepNullApart) {
  EXPECT_EQ(ok({"register", "t", "id:int", "note:text?"}), "OK\n");
  EXPECT_EQ(ok({"insert", "t", "1", "id=1", "note=NULL"}), "OK\n");
  EXPECT_EQ(ok({"insert", "t", "2", "id=2"}), "OK\n");
  EXPECT_EQ(ok({"insert", "t", "3", "id=3", "note="}), "OK\n");
  struct Case {
    std::vector<std::string> args;
    std::string out;
  };
  const Case cases[] = {
      {{"query", "t", "--csv"}, "id,note\n1,NULL\n2,\n3,\"\"\n"},
      {{"query", "t", "--csv", "--null", "NULL"}, "id,note\n1,\"NULL\"\n2,NULL\n3,\n"},
      {{"query", "t", "--json"},
       R"([{"id":1,"note":"NULL"},{"id":2,"note":null},{"id":3,"note":""}])"
       "\n"},
      {{"query", "t", "--null", "<null>"},
       "id | note\n---+-------\n1  | NULL\n2  | <null>\n3  | \n(3 rows)\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.back());
    EXPECT_EQ(ok(c.args), c.out);
  }

  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(ok({"put", "sc/" + std::to_string(i), i == 1 ? "a,b" : "v"}), "OK\n");
  }
  EXPECT_EQ(ok({"scan", "sc", "--limit", "2"}), "sc/0\tv\nsc/1\ta,b\n");
  EXPECT_EQ(ok({"scan", "sc", "--limit", "2", "--csv"}), "key,value\nsc/0,v\nsc/1,\"a,b\"\n");
  EXPECT_EQ(ok({"scan", "sc/3", "--json"}), R"([{"key":"sc/3","value":"v"}])"
                                            "\n");
  EXPECT_EQ(ok({"scan", "sc", "--limit", "0"}).size(), 5u * 7u + 2u);
}

TEST_F(CliTest, StatsAndSql) {
  const std::string pretty = ok({"stats"});
  EXPECT_TRUE(pretty.starts_with("{\n  \"connections_total\": ")) << pretty;
  EXPECT_NE(pretty.find("\n  \"active_transactions\": 0\n}\n"), std::string::npos) << pretty;
  const std::string raw = ok({"stats", "--json"});
  EXPECT_TRUE(std::regex_match(
      raw, std::regex(R"(\{"connections_total":\d+,.*"active_transactions":0\}\n)")))
      << raw;

  const CommandResult sql = cli({"sql", "SELECT", "1"});
  EXPECT_EQ(sql.status, 1);
  EXPECT_EQ(sql.out, "");
  const std::string hint =
      "hint: SQL runs in the Python package's SQL shell: kavrel-sql (or python3 -m "
      "kavrel.sql_shell); kavrel-cli itself has query, scan, get and insert\n";
  EXPECT_EQ(sql.err,
            "error: SQL execution must be implemented client-side. Use Python SDK for full SQL "
            "support.\n" +
                hint);
  const CommandResult json = cli({"sql", "--json", "SELECT \"x\""});
  EXPECT_EQ(json.status, 1);
  EXPECT_EQ(json.err, hint);
  EXPECT_EQ(json.out,
            "{\"error\":\"SQL execution must be implemented client-side. Use Python SDK for full "
            "SQL support.\",\"sql\":\"SELECT \\\"x\\\"\"}\n");
}

TEST_F(CliTest, ExitStatuses) {
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string err_start;  // the start of standard error
  };
  const std::string missing = (tmp_ / "missing").string();
  const Case cases[] = {
      {{"get"}, 2, "error: KEY is required\n"},
      {{"nosuch"}, 2, "error: The following argument was not expected: nosuch\n"},
      {{"put-path", "a", "b", "c"}, 2, "error: put-path with more than two arguments needs --"},
      {{"query", "t", "--limit", "x"}, 2, "error: invalid value 'x' for --limit"},
      {{"register", "t", "id:integer"}, 2, "error: invalid column 'id:integer'"},
      {{"put", "k", "@" + missing}, 2, "error: cannot read \"" + missing + "\": No such file"},
      {{"put", "k", "--hex", "abc"}, 2, "error: invalid hexadecimal value"},
      {{"begin"}, 2, "error: begin needs the connection of the shell"},
      {{"commit", "1"}, 2, "error: commit needs the connection of the shell"},
      {{"scan", "a"},
       1,
       "error: Invalid argument: Prefix too short: 1 bytes (minimum 2 required). Use "
       "scan_unchecked() for unrestricted scans.\nhint: scan lists keys by a prefix of at least 2 "
       "bytes; there is no scan of every key\n"},
      {{"register", "dup", "id:int"}, 0, ""},
      {{"register", "dup", "id:int"}, 1, "error: Invalid argument: Table 'dup' already exists\n"},
      {{"describe", "nope"},
       1,
       "error: Table not found: nope\nhint: 'kavrel-cli tables' lists the registered tables\n"},
      {{"insert", "nope", "1"}, 1, "error: Table not found: nope\n"},
      {{"insert", "dup", "1", "x"}, 2, "error: invalid value 'x': expected COLUMN=VALUE\n"},
      {{"get", "k", "-o", (tmp_ / "no/such/dir").string()}, 2, "error: cannot write \""},
      {{"--bail", "ping"}, 2, "error: -f and --bail belong to the shell"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.front());
    const CommandResult r = cli(c.args);
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_TRUE(r.err.starts_with(c.err_start)) << r.err;
    if (c.status != 0) {
      EXPECT_EQ(r.out, "");
    }
  }
  EXPECT_EQ(cli({"--help"}).status, 0);
  EXPECT_NE(cli({"--help"}).out.find("Exit status: 0 success"), std::string::npos);
}

TEST_F(CliTest, UnreachableServerExitsThreeNamingTheSocket) {
  const auto nowhere = tmp_ / "nowhere.sock";
  const CommandResult r = run_command({KAVREL_CLI_BIN, "-s", nowhere.string(), "ping"});
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "error: cannot reach the server at \"" + nowhere.string() +
                       "\": No such file or directory (os error 2) " + kUnreachableHint + "\n");

  const auto other_db = tmp_ / "otherdb";
  const CommandResult d = run_command({KAVREL_CLI_BIN, "-d", other_db.string(), "get", "k"});
  EXPECT_EQ(d.status, 3);
  EXPECT_NE(d.err.find("\"" + (other_db / "kavrel.sock").string() + "\""), std::string::npos);

  // The shell connects before reading its first line.
  const CommandResult shell = run_command({KAVREL_CLI_BIN, "-s", nowhere.string()}, "ping\n");
  EXPECT_EQ(shell.status, 3);
  EXPECT_EQ(shell.out, "");

  // A server that goes away: the same status.
  server_->signal(SIGKILL);
  ASSERT_TRUE(server_->wait_exit().has_value());
  EXPECT_EQ(cli({"ping"}).status, 3);
}

TEST_F(CliTest, ShellKeepsTransactionHandlesAcrossLines) {
  const CommandResult r = cli({}, R"(begin
begin
put a 1
stats --json
commit
abort 1
commit
commit 42
begin
get a
put "my key" "two words"
get 'my key'
put bad "unterminated
quit
put after-quit x
)");
  // The last failing line was the unterminated quote (a usage error).
  EXPECT_EQ(r.status, 2);
  const std::regex expected(
      "handle 1\n"
      "handle 2\n"
      "OK\n"
      R"(\{"connections_total":.*"active_transactions":2\}\n)"
      R"(committed handle 2 at timestamp (\d+)\n)"
      "aborted handle 1\n"
      "handle 3\n"
      "1\n"
      "OK\n"
      "two words\n");
  EXPECT_TRUE(std::regex_match(r.out, expected)) << r.out;
  EXPECT_EQ(r.err,
            "error: line 7: no open transaction: begin one first, or name a handle\n"
            "error: line 8: Transaction not found: 42\n"
            "error: line 13: unterminated double quote\n"
            "warning: aborting the open transaction 3\n");
  // Nothing after quit ran.
  EXPECT_EQ(ok({"get", "after-quit"}), "\n");
  // Handles are private to the connection that began them.
  const CommandResult other = cli({}, "commit 3\n");
  EXPECT_EQ(other.status, 1);
  EXPECT_EQ(other.err, "error: line 1: Transaction not found: 3\n");
}

TEST_F(CliTest, ShellRunsDataCommandsInsideTheOpenTransaction) {
  const CommandResult r = cli({}, R"(begin
put tx1 one
get tx1
abort
get tx1
begin
put tx2 two
commit
get tx2
begin
put tx3 three
)");
  EXPECT_EQ(r.status, 0) << r.err;
  const std::regex expected(
      "handle 1\n"
      "OK\n"
      "one\n"
      "aborted handle 1\n"
      "\n"
      "handle 2\n"
      "OK\n"
      R"(committed handle 2 at timestamp (\d+)\n)"
      "two\n"
      "handle 3\n"
      "OK\n");
  EXPECT_TRUE(std::regex_match(r.out, expected)) << r.out;
  // The end of input aborted the open transaction, with a warning.
  EXPECT_EQ(r.err, "warning: aborting the open transaction 3\n");
  EXPECT_EQ(ok({"get", "tx3"}), "\n");
  EXPECT_EQ(ok({"get", "tx1"}), "\n");
  EXPECT_EQ(ok({"get", "tx2"}), "two\n");
}

TEST_F(CliTest, ShellRunsEveryCommandOnOneConnection) {
  const CommandResult r = cli({}, R"(ping
# a comment, then a blank line

put-path t/1/x "a;b"
get-path t 1 x
query t/1 --raw
stats --json
help
exit
)");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(r.out.starts_with("PONG\nOK\na;b\nresult[1]{x}:\"a;b\"\n")) << r.out;
  // One connection served the whole shell: the statistics counted it and the one the fixture
  // made to see that the server was ready.
  EXPECT_NE(r.out.find("\"connections_total\":2,"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("commit [HANDLE]"), std::string::npos) << r.out;
}

TEST_F(CliTest, ShellScriptsNameTheirLinesAndBailOnTheFirstError) {
  const std::string script =
      "PING\n"
      "Get missing\n"
      "scan a\n"
      "nosuch\n"
      "put after-errors yes\n";
  const CommandResult all = cli({}, script);
  EXPECT_EQ(all.status, 2) << "the last failing line was a usage error";
  EXPECT_EQ(all.out, "PONG\n\nOK\n");
  EXPECT_EQ(all.err,
            "error: line 3: Invalid argument: Prefix too short: 1 bytes (minimum 2 required). Use "
            "scan_unchecked() for unrestricted scans.\n"
            "hint: scan lists keys by a prefix of at least 2 bytes; there is no scan of every key\n"
            "error: line 4: The following argument was not expected: nosuch\n"
            "hint: type 'help' for the commands, or help COMMAND.\n");

  const CommandResult bail = cli({"--bail"}, "put k 1\nscan a\nput k 2\n");
  EXPECT_EQ(bail.status, 1);
  EXPECT_EQ(bail.out, "OK\n");
  EXPECT_TRUE(bail.err.starts_with("error: line 2: Invalid argument: Prefix too short"))
      << bail.err;
  EXPECT_EQ(ok({"get", "k"}), "1\n") << "nothing after the failing line ran";
  // A usage error stops it too, with status 1.
  const CommandResult bail_usage = cli({"--bail"}, "\n# comment\nget\nput k 3\n");
  EXPECT_EQ(bail_usage.status, 1);
  EXPECT_TRUE(bail_usage.err.starts_with("error: line 3: KEY is required\n")) << bail_usage.err;
  EXPECT_EQ(ok({"get", "k"}), "1\n");

  // -f FILE reads the same way.
  const auto file = tmp_ / "cmds.txt";
  std::ofstream(file) << "put f 1\nHELP get\nhelp nosuch\n";
  const CommandResult from_file = cli({"-f", file.string()});
  EXPECT_EQ(from_file.status, 2);
  EXPECT_TRUE(from_file.out.starts_with("OK\n")) << from_file.out;
  EXPECT_NE(from_file.out.find("-o,--output"), std::string::npos) << from_file.out;
  EXPECT_EQ(from_file.err, "error: line 3: unknown command 'nosuch': 'help' lists the commands\n");
  const CommandResult no_file = cli({"-f", (tmp_ / "none.txt").string()});
  EXPECT_EQ(no_file.status, 2);
  EXPECT_TRUE(no_file.err.starts_with("error: cannot read")) << no_file.err;
}

TEST_F(CliTest, QueryRefusesUnknownTablesAndColumns) {
  EXPECT_EQ(ok({"register", "reg", "id:int", "n:text?"}), "OK\n");
  EXPECT_EQ(ok({"insert", "reg", "1", "id=1"}), "OK\n");
  EXPECT_EQ(ok({"register", "empty", "id:int"}), "OK\n");
  EXPECT_EQ(ok({"put-path", "paths/1/name", "alice"}), "OK\n");
  EXPECT_EQ(ok({"put-path", "paths/2/age", "31"}), "OK\n");
  EXPECT_EQ(ok({"put", "pathsX/1/other", "v"}), "OK\n");

  const std::string no_table =
      "error: Table not found: nosuch (no table is registered under that name, and no key "
      "starts with \"nosuch/\")\nhint: 'kavrel-cli tables' lists the registered tables\n";
  const std::string no_reg_column =
      "error: table \"reg\" has no column \"nosuch\"\nhint: 'kavrel-cli describe reg' lists its "
      "columns\n";
  const std::string no_path_column =
      "error: table \"paths\" has no column \"nosuch\"\nhint: a column of a table of paths is "
      "what follows paths/ID/ in its keys\n";
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string out_or_err;  // standard output on success, standard error otherwise
  };
  const Case cases[] = {
      {{"query", "nosuch"}, 1, no_table},
      {{"query", "nosuch/1", "--raw"}, 1, no_table},
      {{"query", "nosuch", "--columns", "a"}, 1, no_table},
      {{"query", "reg", "--columns", "nosuch"}, 1, no_reg_column},
      {{"query", "reg", "--columns", "id,nosuch", "--json"}, 1, no_reg_column},
      {{"query", "paths", "--columns", "nosuch"}, 1, no_path_column},
      {{"query", "paths", "--columns", "name,nosuch", "--csv"}, 1, no_path_column},
      {{"query", "pathsX", "--columns", "name"},
       1,
       "error: table \"pathsX\" has no column \"name\"\nhint: a column of a table of paths is "
       "what follows pathsX/ID/ in its keys\n"},
      // Tables and columns that exist, with no rows to show.
      {{"query", "empty"}, 0, "(0 rows)\n"},
      {{"query", "reg/9"}, 0, "(0 rows)\n"},
      {{"query", "paths", "--offset", "5"}, 0, "(0 rows)\n"},
      {{"query", "paths/1", "--columns", "age"}, 0, "(0 rows)\n"},
      {{"query", "paths/3", "--columns", "name", "--raw"}, 0, "[]\n"},
      {{"query", "reg", "--columns", "n"}, 0, "n\n-\n∅\n(1 row)\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[1] + " " + (c.args.size() > 3 ? c.args[3] : ""));
    const CommandResult r = cli(c.args);
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_EQ(c.status == 0 ? r.out : r.err, c.out_or_err);
    EXPECT_EQ(c.status == 0 ? r.err : r.out, "");
  }
}

TEST_F(CliTest, DescribeShowsTheRowKeyColumn) {
  EXPECT_EQ(ok({"register", "people", "id:int", "name:text"}), "OK\n");
  EXPECT_EQ(ok({"register", "notes", "ID:text", "body:text?"}), "OK\n");
  EXPECT_EQ(ok({"register", "coded", "code:text", "id:float", "v:int"}), "OK\n");
  EXPECT_EQ(ok({"register", "plain", "name:text"}), "OK\n");
  EXPECT_EQ(ok({"register", "floaty", "id:float"}), "OK\n");
  // The SQL layer's note of a PRIMARY KEY column (kavrel-sql's CREATE TABLE writes it).
  EXPECT_EQ(ok({"put", "__kavrel_sql/coded/primary_key", "code"}), "OK\n");
  struct Case {
    std::string table;
    std::string last_lines;  // how the output ends
  };
  const Case cases[] = {
      {"people", "(2 columns)\nrow key: id (each row is stored under people/<id>)\n"},
      {"notes", "(2 columns)\nrow key: ID (each row is stored under notes/<ID>)\n"},
      {"coded", "(3 columns)\nrow key: code (each row is stored under coded/<code>)\n"},
      {"plain", "name   | text | no\n(1 column)\n"},
      {"floaty", "id     | float | no\n(1 column)\n"},  // a float is no key
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.table);
    const std::string out = ok({"describe", c.table});
    EXPECT_TRUE(out.ends_with(c.last_lines)) << out;
  }
}

TEST_F(CliTest, DropRemovesATableWithItsRows) {
  EXPECT_EQ(ok({"register", "t", "id:int", "n:text?"}), "OK\n");
  EXPECT_EQ(ok({"insert", "t", "1", "id=1"}), "OK\n");
  EXPECT_EQ(ok({"insert", "t", "2", "id=2", "n=x"}), "OK\n");
  EXPECT_EQ(ok({"put", "__kavrel_sql/t/primary_key", "id"}), "OK\n");
  EXPECT_EQ(ok({"put", "tt/1", "a neighbour that stays"}), "OK\n");
  EXPECT_EQ(ok({"register", "u", "id:int"}), "OK\n");

  EXPECT_EQ(ok({"drop", "t"}), "OK\n");
  EXPECT_EQ(ok({"get", "t/1"}), "\n");
  EXPECT_EQ(ok({"get", "__kavrel_sql/t/primary_key"}), "\n") << "the SQL layer's note goes too";
  EXPECT_EQ(ok({"get", "tt/1"}), "a neighbour that stays\n");
  EXPECT_EQ(ok({"tables"}),
            "table | columns\n"
            "------+--------\n"
            "u     | id:int\n"
            "(1 table)\n");
  const std::string not_found =
      "error: Table not found: t\nhint: 'kavrel-cli tables' lists the registered tables\n";
  for (const auto& args : std::vector<std::vector<std::string>>{{"drop", "t"}, {"describe", "t"}}) {
    const CommandResult r = cli(args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, not_found);
  }
  EXPECT_EQ(ok({"register", "t", "other:text"}), "OK\n") << "the name is free again";

  // In the shell's transaction the table goes at commit, and an abort keeps it.
  const CommandResult aborted = cli({}, "begin\ndrop u\nabort\n");
  EXPECT_EQ(aborted.status, 0) << aborted.err;
  EXPECT_EQ(aborted.out, "handle 1\nOK\naborted handle 1\n");
  EXPECT_EQ(ok({"describe", "u"}),
            "column | type | nullable\n"
            "-------+------+---------\n"
            "id     | int  | no\n"
            "(1 column)\n"
            "row key: id (each row is stored under u/<id>)\n");
  const CommandResult committed = cli({}, "begin\nDROP u\ncommit\n");
  EXPECT_EQ(committed.status, 0) << committed.err;
  EXPECT_EQ(cli({"describe", "u"}).status, 1);
}

TEST_F(CliTest, FloatsAreShownExactly) {
  struct Case {
    std::string stored;  // as insert reads it
    std::string shown;   // in the table and CSV
    std::string json;
  };
  const Case cases[] = {
      {"0.1234567891", "0.1234567891", "0.1234567891"},
      {"1e300", "1e+300", "1e+300"},
      {"2.5", "2.5", "2.5"},
      {"-3", "-3", "-3"},
      {"1e-7", "1e-07", "1e-07"},
      {"0.30000000000000004", "0.30000000000000004", "0.30000000000000004"},
      {"nan", "NaN", "\"NaN\""},
      {"-inf", "-inf", "\"-inf\""},
  };
  EXPECT_EQ(ok({"register", "f", "id:int", "x:float"}), "OK\n");
  std::string csv = "id,x\n", json = "[";
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const std::string id = std::to_string(i + 1);
    EXPECT_EQ(ok({"insert", "f", id, "id=" + id, "x=" + cases[i].stored}), "OK\n");
    csv += id + "," + cases[i].shown + "\n";
    json += (i > 0 ? ",{\"id\":" : "{\"id\":") + id + ",\"x\":" + cases[i].json + "}";
  }
  EXPECT_EQ(ok({"query", "f", "--csv"}), csv);
  EXPECT_EQ(ok({"query", "f", "--json"}), json + "]\n");
  const std::string table = ok({"query", "f", "--offset", "1", "--limit", "2"});
  EXPECT_EQ(table, "id | x\n---+-------\n2  | 1e+300\n3  | 2.5\n(2 rows)\n");
  // --raw shows the server's text.
  EXPECT_EQ(ok({"query", "f/1", "--raw"}), "result[1]{id,x}:1,0.123457\n");

  // A float stored as a tagged value under a path, beside a text that looks like one.
  Bytes tagged(1, '\x03');
  put_u64(tagged, std::bit_cast<std::uint64_t>(0.1234567891));
  EXPECT_EQ(ok({"put-path", "--hex", "pt/1/x", to_hex(tagged)}), "OK\n");
  EXPECT_EQ(ok({"put-path", "pt/1/y", "1.500000"}), "OK\n");
  EXPECT_EQ(ok({"query", "pt", "--csv"}), "x,y\n0.1234567891,1.500000\n");
}

TEST_F(CliTest, BinaryValuesAreWrittenAlikeByScanAndQueryJson) {
  EXPECT_EQ(ok({"register", "b", "id:int", "v:binary?"}), "OK\n");
  EXPECT_EQ(ok({"insert", "b", "1", "id=1", "v=00ff"}), "OK\n");
  EXPECT_EQ(ok({"insert", "b", "2", "id=2", "v=6869"}), "OK\n");
  EXPECT_EQ(ok({"put", "raw/1", "--hex", "00ff"}), "OK\n");
  EXPECT_EQ(ok({"put", "raw/2", "--hex", "6869"}), "OK\n");
  EXPECT_EQ(ok({"query", "b", "--json"}), R"([{"id":1,"v":{"hex":"00ff"}},{"id":2,"v":"hi"}])"
                                          "\n");
  EXPECT_EQ(ok({"scan", "raw/", "--json"}),
            R"([{"key":"raw/1","value":{"hex":"00ff"}},{"key":"raw/2","value":"hi"}])"
            "\n");
}

TEST_F(CliTest, ShellKeepsItsTransactionAfterAWrongHandle) {
  const CommandResult r = cli({}, R"(begin
put a 1
commit 42
abort 99
put b 2
get b
abort
get a
get b
)");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "handle 1\nOK\nOK\n2\naborted handle 1\n\n\n");
  EXPECT_EQ(r.err,
            "error: line 3: Transaction not found: 42\n"
            "error: line 4: Transaction not found: 99\n");
}

// A conflict is shown for what it is, never as an internal error: the shell's transaction that
// met another's pending write is aborted, and a lone write that waited out the other's says so.
TEST_F(CliTest, ConflictsAreShownWithoutInternalError) {
  const CommandResult shell = cli({}, "begin\nput k 1\nbegin\nput k 2\nget k\n");
  EXPECT_EQ(shell.status, 1);
  EXPECT_EQ(shell.out, "handle 1\nOK\nhandle 2\n1\n");
  EXPECT_EQ(shell.err,
            "error: line 4: Transaction 2 aborted: Write-write conflict detected; retry from "
            "BEGIN_TXN\n"
            "hint: the transaction was aborted: run 'begin' and its commands again\n"
            "warning: aborting the open transaction 1\n");

  auto holder = Client::connect(socket_, std::chrono::seconds(30));
  ASSERT_TRUE(holder.has_value());
  auto tx = holder->transaction();
  ASSERT_TRUE(tx.has_value());
  ASSERT_TRUE(tx->put("k", "pending").has_value());
  // The lone write waits for the pending one within the server's bound, then gives up.
  const CommandResult lone = cli({"put", "k", "2"});
  EXPECT_EQ(lone.status, 1);
  EXPECT_EQ(lone.err,
            "error: Write-write conflict detected\n"
            "hint: another transaction is writing this key; retry once it has committed\n");
}

// The interactive shell through a pseudo-terminal, as a person types.
class PtyShell {
 public:
  PtyShell(const std::filesystem::path& socket, const std::filesystem::path& home) {
    pid_ = ::forkpty(&master_, nullptr, nullptr, nullptr);
    if (pid_ == 0) {
      // A fresh process as a terminal would start it: no blocked or ignored signals.
      sigset_t none;
      sigemptyset(&none);
      ::sigprocmask(SIG_SETMASK, &none, nullptr);
      ::signal(SIGINT, SIG_DFL);
      ::setenv("TERM", "dumb", 1);
      ::setenv("HOME", home.c_str(), 1);
      ::execl(KAVREL_CLI_BIN, "kavrel-cli", "-s", socket.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
  }
  ~PtyShell() {
    if (pid_ > 0 && !status_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (master_ >= 0) ::close(master_);
  }
  PtyShell(const PtyShell&) = delete;
  PtyShell& operator=(const PtyShell&) = delete;

  bool started() const { return pid_ > 0 && master_ >= 0; }
  void type(const std::string& keys) {
    ASSERT_EQ(::write(master_, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
  }
  // Reads until the output since the last call contains text; returns that output.
  std::string read_until(const std::string& text) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (pending_.find(text) == std::string::npos &&
           std::chrono::steady_clock::now() < deadline) {
      pollfd p{master_, POLLIN, 0};
      if (::poll(&p, 1, 100) <= 0) continue;
      char buf[4096];
      const ssize_t n = ::read(master_, buf, sizeof buf);
      if (n <= 0) break;
      pending_.append(buf, static_cast<std::size_t>(n));
    }
    const std::size_t at = pending_.find(text);
    const std::string out =
        at == std::string::npos ? pending_ : pending_.substr(0, at + text.size());
    pending_.erase(0, out.size());
    return out;
  }
  std::optional<int> wait_exit() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!status_ && std::chrono::steady_clock::now() < deadline) {
      // Drains the output so that the shell is never blocked writing.
      pollfd p{master_, POLLIN, 0};
      char buf[4096];
      if (::poll(&p, 1, 50) > 0 && ::read(master_, buf, sizeof buf) <= 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
      int st = 0;
      if (::waitpid(pid_, &st, WNOHANG) == pid_) status_ = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    }
    return status_;
  }

 private:
  pid_t pid_ = -1;
  int master_ = -1;
  std::string pending_;
  std::optional<int> status_;
};

TEST_F(CliTest, InteractiveShellCompletesNamesAndCtrlCClearsTheLine) {
  PtyShell shell(socket_, tmp_.path());
  ASSERT_TRUE(shell.started());
  EXPECT_NE(shell.read_until("kavrel> ").find("kavrel> "), std::string::npos);
  shell.type("pin\t");  // completed to "ping "
  EXPECT_NE(shell.read_until("ping ").find("ping "), std::string::npos);
  shell.type("\r");
  EXPECT_NE(shell.read_until("kavrel> ").find("PONG"), std::string::npos);
  shell.type("put typed-then-dropped 1");
  const std::string typed = shell.read_until("dropped 1");
  shell.type("\x03");  // Ctrl-C: the line is dropped, the shell stays
  const std::string after = shell.read_until("kavrel> ");
  EXPECT_NE(after.find("kavrel> "), std::string::npos) << typed << "|" << after;
  shell.type("PUT after-ctrl-c 2\r");  // any case
  EXPECT_NE(shell.read_until("kavrel> ").find("OK"), std::string::npos);
  shell.type("\x04");  // Ctrl-D leaves
  EXPECT_EQ(shell.wait_exit(), 0);
  EXPECT_EQ(ok({"get", "typed-then-dropped"}), "\n");
  EXPECT_EQ(ok({"get", "after-ctrl-c"}), "2\n");
}

TEST_F(CliTest, InteractiveShellCompletesInAnyCaseAndTableNames) {
  EXPECT_EQ(ok({"register", "orders", "id:int"}), "OK\n");
  PtyShell shell(socket_, tmp_.path());
  ASSERT_TRUE(shell.started());
  EXPECT_NE(shell.read_until("kavrel> ").find("kavrel> "), std::string::npos);
  shell.type("DESC\t");
  EXPECT_NE(shell.read_until("describe ").find("describe "), std::string::npos);
  shell.type("OR\t");
  EXPECT_NE(shell.read_until("orders ").find("orders "), std::string::npos);
  shell.type("\r");
  EXPECT_NE(shell.read_until("kavrel> ").find("(1 column)"), std::string::npos);
  shell.type("drop o\t");
  EXPECT_NE(shell.read_until("orders ").find("orders "), std::string::npos);
  shell.type("\r");
  EXPECT_NE(shell.read_until("kavrel> ").find("OK"), std::string::npos);
  shell.type("\x04");
  EXPECT_EQ(shell.wait_exit(), 0);
  EXPECT_EQ(cli({"describe", "orders"}).status, 1);
}

// The shell fed one line at a time through a socket on its standard input, its outputs in
// files, so that a test can wait between lines.
class FedShell {
 public:
  FedShell(const std::filesystem::path& socket, const std::filesystem::path& dir)
      : out_(dir / "fed.out"), err_(dir / "fed.err") {
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(ends[1], 0);
      ::dup2(::open(out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
      ::dup2(::open(err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
      ::execl(KAVREL_CLI_BIN, "kavrel-cli", "-s", socket.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(ends[1]);
    in_ = ends[0];
  }
  ~FedShell() {
    if (in_ >= 0) ::close(in_);
    if (pid_ > 0 && !status_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  FedShell(const FedShell&) = delete;
  FedShell& operator=(const FedShell&) = delete;

  void line(const std::string& text) {
    const std::string l = text + "\n";
    ASSERT_EQ(::send(in_, l.data(), l.size(), MSG_NOSIGNAL), static_cast<ssize_t>(l.size()));
  }
  // Waits until standard output is exactly text (every line sent so far has run).
  bool wait_out(const std::string& text) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (read_file(out_) != text) {
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
  }
  // Ends the input and waits for the exit status.
  int finish() {
    ::shutdown(in_, SHUT_WR);
    int st = 0;
    ::waitpid(pid_, &st, 0);
    status_ = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return *status_;
  }
  std::string out() const { return read_file(out_); }
  std::string err() const { return read_file(err_); }

 private:
  std::filesystem::path out_, err_;
  pid_t pid_ = -1;
  int in_ = -1;
  std::optional<int> status_;
};

// A server that closes connections idle for 300 ms.
class CliIdleTest : public CliTest {
 protected:
  std::vector<std::string> server_options() const override { return {"--timeout-ms", "300"}; }

  // Waits until the server has closed every connection but the one asking (which connects
  // again each time the server has closed it).
  void wait_idle_closes() {
    auto c = Client::connect(socket_, std::chrono::seconds(10));
    ASSERT_TRUE(c.has_value());
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
      auto stats = c->stats();
      ASSERT_TRUE(stats.has_value()) << stats.error().message();
      if (stats->find("\"connections_active\":1,") != std::string::npos) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    FAIL() << "the server kept an idle connection";
  }
};

TEST_F(CliIdleTest, ShellConnectsAgainAfterAnIdleCloseUnlessATransactionWasOpen) {
  FedShell shell(socket_, tmp_.path());
  shell.line("put a 1");
  ASSERT_TRUE(shell.wait_out("OK\n")) << shell.err();
  wait_idle_closes();
  shell.line("get a");  // nothing open: connects again, silently
  ASSERT_TRUE(shell.wait_out("OK\n1\n")) << shell.err();
  EXPECT_EQ(shell.err(), "");

  shell.line("begin");
  shell.line("put b 2");
  ASSERT_TRUE(shell.wait_out("OK\n1\nhandle 1\nOK\n")) << shell.err();
  wait_idle_closes();
  shell.line("put c 3");  // meant for the lost transaction: not run at all
  shell.line("get b");    // a new connection, outside any transaction
  shell.line("get c");
  EXPECT_EQ(shell.finish(), 3);
  EXPECT_EQ(shell.out(), "OK\n1\nhandle 1\nOK\n\n\n");
  EXPECT_EQ(shell.err(), "error: line 5: the server at \"" + socket_.string() +
                             "\" had closed the connection (idle longer than its time-out, or "
                             "stopped): transaction 1 is lost, nothing of it was committed, and "
                             "the command did not run\n"
                             "hint: run 'begin' and the transaction's commands again (the next "
                             "command connects again)\n"
                             "connecting again...\n");
}

TEST_F(CliIdleTest, ClientConnectsAgainOnceAndReportsAnOpenTransactionLost) {
  auto c = Client::connect(socket_, std::chrono::seconds(10));
  ASSERT_TRUE(c.has_value());
  ASSERT_TRUE(c->put("k", "1").has_value());
  wait_idle_closes();
  EXPECT_EQ(c->get("k").value(), "1");
  EXPECT_EQ(c->reconnects(), 1u);

  auto tx = c->transaction();
  ASSERT_TRUE(tx.has_value());
  ASSERT_TRUE(tx->put("k", "2").has_value());
  wait_idle_closes();
  auto lost = tx->get("k");
  ASSERT_FALSE(lost.has_value());
  EXPECT_EQ(lost.error().lost_transactions(), (std::vector<std::uint64_t>{tx->handle()}));
  EXPECT_FALSE(tx->open());
  EXPECT_EQ(c->get("k").value(), "1") << "nothing of the transaction was committed";
  EXPECT_EQ(c->reconnects(), 1u);
}

class BenchToolTest : public CliTest {
 protected:
  void SetUp() override {
    bench_ = KAVREL_BENCH_BIN;
    CliTest::SetUp();
  }

  CommandResult bench(std::vector<std::string> args) {
    args.insert(args.begin(), {bench_.string(), "-s", socket_.string()});
    return run_command(args);
  }

  std::filesystem::path bench_;
};

TEST_F(BenchToolTest, RunsEachWorkloadToItsRequestCount) {
  struct Case {
    std::vector<std::string> args;
    std::string counts;  // what the JSON summary must hold
  };
  const Case cases[] = {
      {{"-w", "put", "-c", "2", "-n", "300", "--keys", "100000"},
       R"("workload":"put","connections":2,"pipeline":1,"keys":100000,"value_size":100,"requests":300,"errors":0,)"},
      {{"-w", "get", "-n", "200", "--pipeline", "8", "--keys", "50"},
       R"("requests":200,"errors":0,)"},
      {{"-w", "mixed", "-n", "200", "--ratio", "0.5", "--keys", "50"},
       R"("ratio":0.5,"requests":200,"errors":0,)"},
      {{"-w", "scan", "-n", "50", "--keys", "300", "--no-preload"}, R"("requests":50,"errors":0,)"},
      {{"-w", "txn", "-c", "2", "-n", "40", "--pipeline", "4"},
       R"("requests":80,"errors":0,"transactions":40,)"},
      {{"-w", "transfer", "-c", "3", "-n", "60", "--keys", "5"},
       R"("errors":0,"transactions":60,"commits_per_sec":)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[1]);
    std::vector<std::string> args = c.args;
    args.push_back("--json");
    const CommandResult r = bench(args);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find(c.counts), std::string::npos) << r.out;
    EXPECT_TRUE(std::regex_search(
        r.out,
        std::regex(
            R"("latency_us":\{"p50":[0-9.]+,"p90":[0-9.]+,"p99":[0-9.]+,"p99_9":[0-9.]+,"max":[0-9.]+)")))
        << r.out;
  }
  // The transfers moved amounts between the five accounts of 1000 and kept their total.
  long total = 0;
  for (int i = 0; i < 5; ++i)
    total += std::stol(ok({"get", "bench:000000000" + std::to_string(i)}));
  EXPECT_EQ(total, 5000);
  // The get run's preload wrote every key of its space with values of the given size.
  EXPECT_EQ(ok({"get", "bench:0000000049"}).size(), 101u);
  EXPECT_EQ(ok({"get", "bench:0000000005"}).size(), 101u);  // beyond the transfer accounts
  EXPECT_EQ(ok({"get", "bench:0000000050"}), "\n");
  // Text summary.
  const CommandResult text = bench({"-n", "20"});
  EXPECT_EQ(text.status, 0) << text.err;
  EXPECT_TRUE(
      text.out.starts_with("put: 1 connection, pipeline 1, 10000 keys, 100-byte values\n"
                           "  20 requests in "))
      << text.out;
  EXPECT_NE(text.out.find("  latency (microseconds): p50 "), std::string::npos);
}

TEST_F(BenchToolTest, CsvVersionAndNumbers) {
  const CommandResult csv = bench({"-n", "30", "--csv"});
  ASSERT_EQ(csv.status, 0) << csv.err;
  EXPECT_TRUE(
      csv.out.starts_with("workload,connections,pipeline,keys,value_size,ratio,requests,"
                          "errors,transactions,seconds,ops_per_sec,errors_per_sec,"))
      << csv.out;
  EXPECT_NE(csv.out.find("\nput,1,1,10000,100,,30,0,,"), std::string::npos) << csv.out;
  const CommandResult version = bench({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, "kavrel-bench 2.1.0\n");
  const CommandResult bad = bench({"--connections", "abc"});
  EXPECT_EQ(bad.status, 2);
  EXPECT_EQ(bad.err,
            "error: --connections: 'abc' is not a number\n"
            "Run 'kavrel-bench --help' for the options.\n");
}

TEST_F(BenchToolTest, ExitStatuses) {
  EXPECT_EQ(bench({"-w", "nope"}).err,
            "error: unknown workload 'nope'\nRun 'kavrel-bench --help' for the options.\n");
  EXPECT_EQ(bench({"--ratio", "2"}).status, 2);
  EXPECT_EQ(bench({"-n", "0"}).status, 2);
  EXPECT_EQ(bench({"--pipeline", "64", "-w", "mixed", "--value-size", "100000"}).status, 2);
  const auto nowhere = tmp_ / "nowhere.sock";
  const CommandResult r = run_command({bench_.string(), "-s", nowhere.string(), "-n", "5"});
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.err, "error: cannot reach the server at \"" + nowhere.string() +
                       "\": No such file or directory (os error 2) " + kUnreachableHint + "\n");
}

}  // namespace
}  // namespace kavrel::testing
