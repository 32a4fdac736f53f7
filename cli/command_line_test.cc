#include "cli/command_line.h"

#include <gtest/gtest.h>

namespace kavrel::cli {
namespace {

using Words = std::vector<std::string>;

Invocation parse_ok(const Words& words, bool in_shell = false) {
  ParsedLine p = parse_command_line(words, in_shell);
  EXPECT_TRUE(p.invocation.has_value()) << p.err;
  EXPECT_EQ(p.status, kExitOk);
  return p.invocation.value_or(Invocation{});
}

TEST(CommandLineTest, CommandsAndArguments) {
  struct Case {
    const char* name;
    Words words;
    std::string command;
    Words args;
    std::optional<std::string> path_value;
  };
  const Case cases[] = {
      {"no command", {}, "", {}, {}},
      {"put", {"put", "k", "v"}, "put", {"k", "v"}, {}},
      {"key named like a command", {"put", "get", "ping"}, "put", {"get", "ping"}, {}},
      {"key after --", {"put", "--", "-k", "-v"}, "put", {"-k", "-v"}, {}},
      {"negative-looking key", {"get", "-5"}, "get", {"-5"}, {}},
      {"put-path with --",
       {"put-path", "users", "1", "name", "--", "alice"},
       "put-path",
       {"users", "1", "name"},
       "alice"},
      {"put-path value is --", {"put-path", "a", "--", "--"}, "put-path", {"a"}, "--"},
      {"put-path a/b/c form",
       {"put-path", "users/1/name", "alice"},
       "put-path",
       {"users", "1", "name"},
       "alice"},
      {"put-path one segment", {"put-path", "solo", "v"}, "put-path", {"solo"}, "v"},
      {"get-path segments",
       {"get-path", "users", "1", "name"},
       "get-path",
       {"users", "1", "name"},
       {}},
      {"get-path a/b/c form", {"get-path", "users/1/name"}, "get-path", {"users", "1", "name"}, {}},
      {"register",
       {"register", "t", "id:int", "n:text?"},
       "register",
       {"t", "id:int", "n:text?"},
       {}},
      {"register without columns", {"register", "t"}, "register", {"t"}, {}},
      {"sql words", {"sql", "SELECT", "*", "FROM", "t"}, "sql", {"SELECT", "*", "FROM", "t"}, {}},
      {"commit without handle", {"commit"}, "commit", {}, {}},
      {"abort with handle", {"abort", "7"}, "abort", {"7"}, {}},
      {"insert",
       {"insert", "orders", "1", "id=7", "note=a=b"},
       "insert",
       {"orders", "1", "id=7", "note=a=b"},
       {}},
      {"insert without values", {"insert", "t", "1"}, "insert", {"t", "1"}, {}},
      {"tables", {"tables"}, "tables", {}, {}},
      {"describe", {"describe", "orders"}, "describe", {"orders"}, {}},
      {"backup", {"backup", "/srv/b"}, "backup", {"/srv/b"}, {}},
      {"backup --verify", {"backup", "--verify", "b"}, "backup", {"b"}, {}},
      {"command in upper case", {"GET", "k"}, "get", {"k"}, {}},
      {"command in mixed case", {"Put-Path", "a/b", "v"}, "put-path", {"a", "b"}, "v"},
      {"keys keep their case", {"put", "GET", "Value"}, "put", {"GET", "Value"}, {}},
      {"unknown word keeps its case", {"put", "K", "V"}, "put", {"K", "V"}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Invocation inv = parse_ok(c.words);
    EXPECT_EQ(inv.command, c.command);
    EXPECT_EQ(inv.args, c.args);
    EXPECT_EQ(inv.path_value, c.path_value);
  }
}

TEST(CommandLineTest, OptionsAndSocket) {
  EXPECT_EQ(parse_ok({"ping"}).socket_path(), "./kavrel_data/kavrel.sock");
  EXPECT_EQ(parse_ok({"-s", "/x/s.sock", "ping"}).socket_path(), "/x/s.sock");
  EXPECT_EQ(parse_ok({"-d", "/x/db", "ping"}).socket_path(), "/x/db/kavrel.sock");
  EXPECT_EQ(parse_ok({"ping", "--db", "/y"}).socket_path(), "/y/kavrel.sock");
  EXPECT_TRUE(parse_ok({"get", "k", "--hex"}).hex);
  EXPECT_TRUE(parse_ok({"--hex", "get", "k"}).hex);
  const Invocation q =
      parse_ok({"query", "users", "--limit", "5", "--offset", "2", "--columns", "a,b", "--raw"});
  EXPECT_EQ(q.limit, 5u);
  EXPECT_EQ(q.offset, 2u);
  EXPECT_EQ(q.columns, (Words{"a", "b"}));
  EXPECT_TRUE(q.raw);
  EXPECT_TRUE(parse_ok({"stats", "--json"}).json);
  EXPECT_EQ(parse_ok({"help"}, true).command, "help");
  EXPECT_EQ(parse_ok({"HELP", "get"}, true).args, (Words{"get"}));

  // Output options.
  const Invocation get = parse_ok({"get", "big", "-o", "/tmp/out"});
  EXPECT_EQ(get.output, "/tmp/out");
  EXPECT_FALSE(get.raw);
  EXPECT_TRUE(parse_ok({"get", "big", "--raw"}).raw);
  EXPECT_EQ(parse_ok({"get-path", "a/b", "--output", "f"}).output, "f");
  const Invocation scan = parse_ok({"scan", "ab", "--limit", "3", "--csv"});
  EXPECT_EQ(scan.limit, 3u);
  EXPECT_TRUE(scan.csv);
  EXPECT_TRUE(parse_ok({"scan", "ab", "--json"}).json);
  const Invocation csv = parse_ok({"query", "t", "--csv", "--null", "NULL"});
  EXPECT_TRUE(csv.csv);
  EXPECT_EQ(csv.null_text, "NULL");
  EXPECT_EQ(parse_ok({"query", "t", "--null", ""}).null_text, "");
  EXPECT_EQ(parse_ok({"query", "t"}).null_text, std::nullopt);

  // Backups.
  const Invocation verify = parse_ok({"backup", "b", "--verify", "--key-file", "k"});
  EXPECT_TRUE(verify.verify);
  EXPECT_EQ(verify.key_file, "k");
  const Invocation backup = parse_ok({"backup", "b", "--json"});
  EXPECT_FALSE(backup.verify);
  EXPECT_EQ(backup.key_file, std::nullopt);
  EXPECT_TRUE(backup.json);

  // The shell's input.
  const Invocation shell = parse_ok({"-f", "cmds.txt", "--bail"});
  EXPECT_EQ(shell.command, "");
  EXPECT_EQ(shell.file, "cmds.txt");
  EXPECT_TRUE(shell.bail);
}

TEST(CommandLineTest, UsageErrors) {
  struct Case {
    Words words;
    bool in_shell;
    std::string error_line;  // the first line of the error text
  };
  const Case cases[] = {
      {{"put", "k"}, false, "error: VALUE is required"},
      {{"nosuch"}, false, "error: The following argument was not expected: nosuch"},
      {{"put-path", "a/b"},
       false,
       "error: put-path needs a value: put-path SEG... -- VALUE, or put-path a/b/c VALUE"},
      {{"put-path", "a", "b", "c"},
       false,
       "error: put-path with more than two arguments needs -- before the value: "
       "put-path SEG... -- VALUE"},
      {{"query", "t", "--limit", "-1"},
       false,
       "error: invalid value '-1' for --limit: expected a whole number from 0 to 4294967295"},
      {{"query", "t", "--offset", "4294967296"},
       false,
       "error: invalid value '4294967296' for --offset: expected a whole number from 0 to "
       "4294967295"},
      {{"-s", "a", "-d", "b", "ping"}, false, "error: give either -s SOCKET or -d DB, not both"},
      {{"-s", "a", "ping"}, true, "error: The following arguments were not expected: a -s"},
      {{"help"}, false, "error: The following argument was not expected: help"},
      {{"query", "t", "--csv", "--json"},
       false,
       "error: give at most one of --raw, --csv and --json"},
      {{"scan", "ab", "--json", "--csv"},
       false,
       "error: give at most one of --raw, --csv and --json"},
      {{"scan", "ab", "--limit", "x"},
       false,
       "error: invalid value 'x' for --limit: expected a whole number from 0 to 4294967295"},
      {{"insert", "t"}, false, "error: ID is required"},
      {{"describe"}, false, "error: TABLE is required"},
      {{"backup", "--verify"}, false, "error: DIR is required"},
      {{"-f", "x", "--bail"},
       true,
       "error: The following arguments were not expected: --bail x -f"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.error_line);
    const ParsedLine p = parse_command_line(c.words, c.in_shell);
    EXPECT_FALSE(p.invocation.has_value());
    EXPECT_EQ(p.status, kExitUsage);
    EXPECT_EQ(p.err.substr(0, p.err.find('\n')), c.error_line);
  }
}

// The TCP options: where they place the host and port, TLS implied by its files, and the
// combinations refused.
TEST(CommandLineTest, NetworkOptions) {
  struct Case {
    const char* name;
    Words words;
    std::string host;  // "": the Unix socket
    std::uint16_t port;
    bool tls;
    std::string address;
  };
  const Case cases[] = {
      {"-h and -p",
       {"-h", "db.example.com", "-p", "7000", "ping"},
       "db.example.com",
       7000,
       false,
       "db.example.com:7000"},
      {"HOST:PORT", {"ping", "-h", "10.0.0.5:7000"}, "10.0.0.5", 7000, false, "10.0.0.5:7000"},
      {"--host, --port", {"--host", "h", "--port", "1", "ping"}, "h", 1, false, "h:1"},
      {"IPv6 in brackets", {"-h", "[::1]:7000", "ping"}, "::1", 7000, false, "[::1]:7000"},
      {"IPv6 with -p", {"-h", "::1", "-p", "65535", "ping"}, "::1", 65535, false, "[::1]:65535"},
      {"--tls", {"-h", "h:7", "--tls", "ping"}, "h", 7, true, "h:7"},
      {"--ca implies TLS", {"-h", "h:7", "--ca", "ca.pem", "ping"}, "h", 7, true, "h:7"},
      {"--cert --key imply TLS",
       {"-h", "h:7", "--cert", "c.pem", "--key", "k.pem", "ping"},
       "h",
       7,
       true,
       "h:7"},
      {"the Unix socket", {"-s", "/tmp/k.sock", "ping"}, "", 0, false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Invocation inv = parse_ok(c.words);
    EXPECT_EQ(inv.command, "ping");
    EXPECT_EQ(inv.host.value_or(""), c.host);
    EXPECT_EQ(inv.port, c.port);
    EXPECT_EQ(inv.tls, c.tls);
    EXPECT_EQ(inv.address(), c.address);
  }
  const Invocation with_user = parse_ok({"--user", "alice", "-h", "h:7", "get", "k"});
  EXPECT_EQ(with_user.user, "alice");
  EXPECT_EQ(with_user.args, Words{"k"});
  // The values of the options are never taken for the command.
  EXPECT_EQ(parse_ok({"-h", "get", "-p", "7", "--user", "put", "ping"}).host, "get");

  const std::pair<Words, std::string> refused[] = {
      {{"-h", "h", "ping"}, "error: -h h needs a port: -p PORT, or -h HOST:PORT"},
      {{"-h", "h:7", "-p", "7", "ping"},
       "error: give the port once: -h HOST:PORT or -h HOST -p PORT"},
      {{"-h", "h:0", "ping"}, "error: invalid port '0': expected a whole number from 1 to 65535"},
      {{"-h", "h", "-p", "65536", "ping"},
       "error: invalid port '65536': expected a whole number from 1 to 65535"},
      {{"-h", "h:x", "ping"}, "error: invalid port 'x': expected a whole number from 1 to 65535"},
      {{"-h", "[::1", "ping"}, "error: -h [::1: expected [ADDRESS]:PORT"},
      {{"-h", ":7", "ping"}, "error: -h :7: no host"},
      {{"-p", "7", "ping"}, "error: -p PORT goes with -h HOST"},
      {{"-h", "h:7", "-s", "k.sock", "ping"},
       "error: give either -h HOST (TCP) or -s SOCKET / -d DB, not both"},
      {{"--tls", "ping"},
       "error: --tls, --ca, --cert and --key go with -h HOST: the Unix socket has no TLS"},
      {{"-h", "h:7", "--cert", "c.pem", "ping"}, "error: --cert FILE and --key FILE go together"},
      {{"--user", "", "ping"}, "error: --user: the user name is empty"},
  };
  for (const auto& [words, error_line] : refused) {
    SCOPED_TRACE(error_line);
    const ParsedLine p = parse_command_line(words, false);
    EXPECT_FALSE(p.invocation.has_value());
    EXPECT_EQ(p.status, kExitUsage);
    EXPECT_EQ(p.err.substr(0, p.err.find('\n')), error_line);
  }
  // -h is no longer help on the command line, but --help is (and -h alone), and -h still is in
  // the shell.
  EXPECT_NE(parse_command_line({"--help"}, false).out.find("-h,--host"), std::string::npos);
  EXPECT_EQ(parse_command_line({"-h"}, false).out, parse_command_line({"--help"}, false).out);
  EXPECT_NE(parse_command_line({"get", "-h"}, true).out.find("KEY"), std::string::npos);
}

TEST(CommandLineTest, UserCommand) {
  const Invocation add = parse_ok({"user", "add", "bob", "--role", "write", "--prefix", "app1/"});
  EXPECT_EQ(add.command, "user");
  EXPECT_EQ(add.args, (Words{"add", "bob"}));
  EXPECT_EQ(add.role, "write");
  EXPECT_EQ(add.prefix, "app1/");
  const Invocation list = parse_ok({"user", "list"});
  EXPECT_EQ(list.args, Words{"list"});
  EXPECT_FALSE(list.role.has_value());
  EXPECT_FALSE(list.prefix.has_value());
  // An empty prefix is given, and means any key.
  EXPECT_EQ(parse_ok({"user", "add", "x", "--role", "read", "--prefix", ""}).prefix, "");
}

TEST(CommandLineTest, HelpAndVersionGoToStandardOutput) {
  const ParsedLine help = parse_command_line({"--help"}, false);
  EXPECT_EQ(help.status, kExitOk);
  EXPECT_FALSE(help.invocation.has_value());
  EXPECT_NE(help.out.find("put-path"), std::string::npos);
  EXPECT_NE(help.out.find("Exit status: 0 success"), std::string::npos);
  const ParsedLine sub = parse_command_line({"query", "--help"}, false);
  EXPECT_NE(sub.out.find("--columns"), std::string::npos);
  EXPECT_EQ(parse_command_line({"-V"}, false).out, "kavrel-cli 2.1.0\n");
  // The second line of a usage error is a hint, never another error line.
  const ParsedLine bad = parse_command_line({"nosuch"}, false);
  EXPECT_EQ(bad.err.substr(bad.err.find('\n') + 1),
            "hint: run 'kavrel-cli --help' for the commands.\n");
  // help COMMAND in the shell shows that command's options.
  const ParsedLine insert = parse_command_line({"insert", "--help"}, true);
  EXPECT_NE(insert.out.find("COL=VALUE"), std::string::npos) << insert.out;
}

TEST(CommandLineTest, EveryCommandNameParses) {
  for (const std::string& name : command_names()) {
    SCOPED_TRACE(name);
    const ParsedLine p = parse_command_line({name, "--help"}, true);
    EXPECT_EQ(p.status, kExitOk) << p.err;
    EXPECT_NE(p.out.find(name), std::string::npos);
  }
}

}  // namespace
}  // namespace kavrel::cli
