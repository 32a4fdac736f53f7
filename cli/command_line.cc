#include "cli/command_line.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <filesystem>
#include <limits>

#include <fmt/format.h>
#include <CLI/CLI.hpp>

namespace kavrel::cli {
namespace {

constexpr const char* kVersion = "2.1.0";

constexpr const char* kFooter =
    R"(Values: VALUE is the argument itself, @FILE for the contents of a file (@@text for a
text that starts with @), or - for standard input. With --hex a value is given in hexadecimal,
and get, get-path and scan show values in hexadecimal. On a terminal, values that are not plain
text are shown escaped ("\x00\xff"). get -o FILE and get --raw write the value's bytes exactly,
with no newline added.

Paths: put-path takes SEG... -- VALUE, or exactly two arguments a/b/c VALUE; get-path takes
SEG... or a/b/c. Column types of register: int, uint, float, text, binary, bool; a trailing ?
makes the column nullable ('age:int?', quoted for the shell).

Typed rows: insert TABLE ID col=value... writes row TABLE/ID of a registered table, each value
checked against its column's type: int and uint decimal, float (1.5, -2e3, inf, nan), bool (true,
false, t, f, yes, no, 1, 0), text as it is, binary in hexadecimal. col=@FILE takes a value from
a file (@@ for a value that starts with @). Columns left out are NULL; a column that is not
nullable must be given.

Output for scripts: query and scan take --csv (a header line, then RFC 4180 rows) and --json
(query: an array of objects, one per row; scan: an array of {"key","value"}). NULL is an empty
unquoted CSV field (a stored empty text is written "") and null in JSON; --null TEXT shows NULL as
TEXT in the table and in CSV (a stored text equal to TEXT is then quoted). Bytes that are not
UTF-8 are written escaped in CSV and as {"hex": "..."} in JSON.

Tables: query refuses a table that does not exist (neither registered nor the start of keys
TABLE/...) and a column the table does not have, as describe refuses a table that is not
registered; describe shows the table's row key column when it has one. Floats are shown with
the shortest text that reads back as the same number (--raw: as the server sent them), and the
binary columns of query --json as scan --json writes values. drop TABLE removes a registered
table and every row under TABLE/ at once. SQL runs in the Python package's SQL shell,
kavrel-sql (python3 -m kavrel.sql_shell); the server refuses it.

Without a command kavrel-cli reads commands line by line on one connection: an interactive
shell on a terminal, else the lines of standard input (or of -f FILE). begin, commit and abort
belong there. Errors name the line they come from; --bail stops at the first failing line.
When the server has closed the idle connection, the next command connects again; with a
transaction open it fails instead, saying that the transaction is lost (status 3).
In the shell, Ctrl-C clears the line or interrupts the running command (ending the connection
and its transaction handles), Ctrl-D leaves, Tab completes command names and, after query,
describe, insert and drop, table names (in any case), and 'help COMMAND' shows a command's
options. Command names may be written in any case.

Every error line starts with "error:"; a line starting with "hint:" may follow.
Exit status: 0 success, 1 the server answered an error (or a request was refused before
sending, such as a value above the 16 MiB request limit; with --bail, the first failing line),
2 usage error, 3 the server cannot be reached (or the connection was lost).)";

const std::vector<std::string> kCommandNames = {
    "ping",   "put",    "get",      "del",   "scan",  "put-path", "get-path",   "register",
    "insert", "tables", "describe", "drop",  "query", "stats",    "checkpoint", "compact",
    "sql",    "begin",  "commit",   "abort", "help",  "quit",     "exit"};

// The index of the command word: the first word that is neither an option nor the value of a
// connection option.
std::size_t command_index(const std::vector<std::string>& words) {
  for (std::size_t i = 0; i < words.size(); ++i) {
    const std::string& w = words[i];
    if (w == "-s" || w == "--socket" || w == "-d" || w == "--db" || w == "-f" || w == "--file") {
      ++i;
    } else if (!w.starts_with("-")) {
      return i;
    }
  }
  return words.size();
}

std::vector<std::string> split_path(const std::string& path) {
  std::vector<std::string> out;
  std::size_t start = 0;
  for (;;) {
    const std::size_t slash = path.find('/', start);
    out.push_back(path.substr(start, slash - start));
    if (slash == std::string::npos) return out;
    start = slash + 1;
  }
}

// A whole number for --limit and --offset; the parser's own conversion would wrap "-1".
std::uint32_t parse_u32(const std::string& text, const char* name) {
  std::uint32_t v = 0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, v);
  if (text.empty() || ec != std::errc() || ptr != end) {
    throw CLI::ConversionError(
        fmt::format("invalid value '{}' for {}: expected a whole number from 0 to {}", text, name,
                    std::numeric_limits<std::uint32_t>::max()));
  }
  return v;
}

// Checks the arguments that the parser cannot: put-path's two forms and get-path's a/b/c form.
void normalize_paths(Invocation& inv) {
  if (inv.command == "put-path" && !inv.path_value) {
    if (inv.args.size() == 1) {
      throw CLI::ValidationError(
          "put-path needs a value: put-path SEG... -- VALUE, or put-path a/b/c VALUE");
    }
    if (inv.args.size() > 2) {
      throw CLI::ValidationError(
          "put-path with more than two arguments needs -- before the value: "
          "put-path SEG... -- VALUE");
    }
    inv.path_value = inv.args[1];
    inv.args = split_path(inv.args[0]);
  } else if (inv.command == "get-path" && inv.args.size() == 1) {
    inv.args = split_path(inv.args[0]);
  }
}

// The command word in lower case when that names a command (GET is get); keys and other words
// keep their case.
void fold_command_case(std::vector<std::string>& words, std::size_t cmd) {
  if (cmd >= words.size()) return;
  std::string lower = words[cmd];
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (std::ranges::find(kCommandNames, lower) != kCommandNames.end()) words[cmd] = lower;
}

}  // namespace

const std::vector<std::string>& command_names() { return kCommandNames; }

std::string shell_help() {
  return R"(Commands (COMMAND --help shows its options; --hex works with every command):
  ping                              checks that the server answers
  put KEY VALUE                     stores VALUE (text, @FILE, or hex with --hex) under KEY
  get KEY [-o FILE] [--raw]         shows the value of KEY (empty when absent); -o, --raw: the
                                    value's bytes exactly, to FILE or standard output
  del KEY                           deletes KEY
  scan PREFIX [--limit N] [--csv|--json]
                                    lists key<TAB>value for keys starting with PREFIX (2+ bytes)
  put-path SEG... -- VALUE          stores VALUE under the path (or: put-path a/b/c VALUE)
  get-path SEG...                   shows the value under the path (or: get-path a/b/c)
  register TABLE COL:TYPE[?]...     registers a table (int uint float text binary bool; ?: nullable)
  insert TABLE ID COL=VALUE...      writes row ID of a registered table (left-out columns: NULL)
  tables                            lists the registered tables with their columns
  describe TABLE                    shows one registered table's columns and its row key
  drop TABLE                        drops a registered table and every row under TABLE/
  query PATH [--limit N] [--offset N] [--columns a,b] [--raw|--csv|--json] [--null TEXT]
                                    shows a table's rows
  stats [--json]                    shows the server's statistics
  checkpoint                        asks the server for a checkpoint
  compact                           writes a snapshot of the data and starts a fresh log
  sql TEXT                          sends SQL (the server refuses it: SQL runs in kavrel-sql,
                                    the Python package's SQL shell)
  begin                             begins a transaction and shows its handle
  commit [HANDLE]                   commits the latest (or the given) handle, shows its timestamp
  abort [HANDLE]                    aborts the latest (or the given) handle
  help [COMMAND]                    shows this list, or one command's options
  quit, exit                        leaves the shell (so does Ctrl-D)

After begin, every data command (put, get, del, scan, put-path, get-path, query, insert, drop)
runs inside the transaction until commit or abort: it sees the transaction's snapshot and its own
writes, and nothing is visible to others before commit, which shows the commit timestamp. A
conflict aborts it (the shell says so: run begin and the commands again). Handles belong to this
connection, and the prompt lists the open ones; quit or Ctrl-D aborts them with a warning. Words are quoted with '...' or "..." (with \n, \t, \" and \xNN).
When the server has closed the idle connection, the next command connects again; with a
transaction open it fails instead and says that the transaction is lost.
Command names may be written in any case; Tab completes them, and table names after query,
describe, insert and drop. Ctrl-C clears the line, or interrupts a running command (its
connection ends, and the open handles with it).
)";
}

std::string Invocation::socket_path() const {
  if (socket) return *socket;
  if (db) return (std::filesystem::path(*db) / "kavrel.sock").string();
  return kDefaultSocket;
}

ParsedLine parse_command_line(std::vector<std::string> words, bool in_shell) {
  Invocation inv;
  const std::size_t cmd = command_index(words);
  fold_command_case(words, cmd);
  // put-path SEG... -- VALUE: the value is the last word and "--" the one before it.
  if (cmd < words.size() && words[cmd] == "put-path" && words.size() >= cmd + 3 &&
      words[words.size() - 2] == "--") {
    inv.path_value = words.back();
    words.resize(words.size() - 2);
  }

  CLI::App app{"Kavrel command-line client: one command per run, or a shell without one",
               in_shell ? "" : "kavrel-cli"};
  app.require_subcommand(0, 1);  // at most one command; keys named like commands stay keys
  app.fallthrough();             // options of the program may follow the command
  app.footer(in_shell ? "" : kFooter);
  std::string socket, db, file, output, null_text;
  CLI::Option* socket_opt = nullptr;
  CLI::Option* db_opt = nullptr;
  CLI::Option* file_opt = nullptr;
  if (!in_shell) {
    app.set_version_flag("-V,--version", fmt::format("kavrel-cli {}", kVersion));
    socket_opt =
        app.add_option("-s,--socket", socket,
                       fmt::format("The server's Unix socket (default: {})", kDefaultSocket))
            ->type_name("SOCKET");
    db_opt = app.add_option("-d,--db", db, "The database directory: its socket is DB/kavrel.sock")
                 ->type_name("DB");
    file_opt = app.add_option("-f,--file", file, "Runs the commands of FILE, one a line")
                   ->type_name("FILE");
    app.add_flag("--bail", inv.bail,
                 "Commands from a file or pipe: stop at the first failing line (status 1)");
  }
  app.add_flag("--hex", inv.hex, "Values in hexadecimal");

  std::string key, value, prefix, path, table, handle;
  std::vector<std::string> segments, column_args, sql_words;
  std::string limit = "0", offset = "0", scan_limit = "0";

  app.add_subcommand("ping", "Checks that the server answers");
  auto* put = app.add_subcommand("put", "Stores VALUE under KEY");
  put->add_option("KEY", key, "The key")->required();
  put->add_option("VALUE", value, "The value, @FILE or - (standard input)")->required();
  auto* get = app.add_subcommand("get", "Shows the value of KEY (empty when absent)");
  get->add_option("KEY", key, "The key")->required();
  get->add_option("-o,--output", output, "Writes the value's bytes to FILE, nothing added")
      ->type_name("FILE");
  get->add_flag("--raw", inv.raw, "Writes the value's bytes to standard output, nothing added");
  auto* del = app.add_subcommand("del", "Deletes KEY");
  del->add_option("KEY", key, "The key")->required();
  auto* scan = app.add_subcommand("scan", "Lists key<TAB>value for every key starting with PREFIX");
  scan->add_option("PREFIX", prefix, "At least 2 bytes")->required();
  scan->add_option("--limit", scan_limit, "At most N entries (0: all)")->type_name("N");
  scan->add_flag("--csv", inv.csv, "CSV: a key,value header, then one line per entry");
  scan->add_flag("--json", inv.json, "JSON: an array of {\"key\": ..., \"value\": ...}");
  auto* put_path = app.add_subcommand("put-path", "Stores a value under a path: SEG... -- VALUE");
  put_path->add_option("SEG", segments, "Path segments, or a/b/c followed by VALUE")->required();
  auto* get_path = app.add_subcommand("get-path", "Shows the value under a path: SEG... or a/b/c");
  get_path->add_option("SEG", segments, "Path segments, or a/b/c")->required();
  get_path->add_option("-o,--output", output, "Writes the value's bytes to FILE, nothing added")
      ->type_name("FILE");
  get_path->add_flag("--raw", inv.raw, "Writes the value's bytes to standard output");
  auto* reg = app.add_subcommand("register", "Registers a table: TABLE COL:TYPE[?]...");
  reg->add_option("TABLE", table, "The table name")->required();
  reg->add_option("COLUMN", column_args,
                  "NAME:TYPE, TYPE one of int uint float text binary bool; ? = nullable");
  auto* insert = app.add_subcommand(
      "insert", "Writes row ID of a registered table: TABLE ID COL=VALUE... (left out: NULL)");
  insert->add_option("TABLE", table, "A registered table")->required();
  insert->add_option("ID", key, "The row id (no '/')")->required();
  insert->add_option("VALUES", column_args, "COL=VALUE, VALUE read by the column's type");
  app.add_subcommand("tables", "Lists the registered tables with their columns");
  auto* describe =
      app.add_subcommand("describe", "Shows a registered table's columns and its row key");
  describe->add_option("TABLE", table, "The table name")->required();
  auto* drop = app.add_subcommand(
      "drop", "Drops a registered table: its schema and every row under TABLE/, at once");
  drop->add_option("TABLE", table, "A registered table")->required();
  auto* query = app.add_subcommand("query", "Queries a table (or a row range: table/row)");
  query->add_option("PATH", path, "The table name, optionally /row...")->required();
  query->add_option("--limit", limit, "At most N rows (0: all)")->type_name("N");
  query->add_option("--offset", offset, "Skips the first N rows")->type_name("N");
  query->add_option("--columns", inv.columns, "Only these columns, in this order")
      ->type_name("a,b")
      ->delimiter(',');
  query->add_flag("--raw", inv.raw, "Prints the TOON text as the server sent it");
  query->add_flag("--csv", inv.csv, "CSV: a header line, then one line per row");
  query->add_flag("--json", inv.json, "JSON: an array of objects, one per row");
  auto* null_opt = query->add_option("--null", null_text, "Shows NULL as TEXT (table and CSV)")
                       ->type_name("TEXT");
  auto* stats = app.add_subcommand("stats", "Shows the server's statistics");
  stats->add_flag("--json", inv.json, "The JSON as the server sent it, on one line");
  app.add_subcommand("checkpoint", "Asks the server for a checkpoint");
  app.add_subcommand("compact",
                     "Writes a snapshot of the committed data and goes on with a fresh log");
  auto* sql = app.add_subcommand(
      "sql",
      "Sends SQL text (the server refuses it: SQL runs in kavrel-sql, the Python package's "
      "SQL shell)");
  sql->add_option("TEXT", sql_words, "The SQL text (several words are joined by blanks)")
      ->required();
  sql->add_flag("--json", inv.json, "The server's JSON answer as it is");
  app.add_subcommand("begin", "Begins a transaction and shows its handle (shell only)");
  auto* commit = app.add_subcommand(
      "commit", "Commits a handle (default: the latest) and shows its timestamp");
  commit->add_option("HANDLE", handle, "A handle from begin (shell only)");
  auto* abort = app.add_subcommand("abort", "Aborts a handle (default: the latest)");
  abort->add_option("HANDLE", handle, "A handle from begin (shell only)");
  if (in_shell) {
    auto* help = app.add_subcommand("help", "Lists the commands, or shows one command's options");
    help->add_option("COMMAND", key, "A command name");
    app.add_subcommand("quit", "Leaves the shell");
    app.add_subcommand("exit", "Leaves the shell");
  }

  ParsedLine out;
  try {
    std::vector<std::string> rev(words.rbegin(), words.rend());
    app.parse(rev);
    const auto chosen = app.get_subcommands();
    if (!chosen.empty()) inv.command = chosen.front()->get_name();
    if (inv.path_value && inv.command != "put-path") {
      throw CLI::ExtrasError({"--", *inv.path_value});
    }
    inv.limit = parse_u32(inv.command == "scan" ? scan_limit : limit, "--limit");
    inv.offset = parse_u32(offset, "--offset");
    if (static_cast<int>(inv.raw) + static_cast<int>(inv.csv) + static_cast<int>(inv.json) > 1 &&
        (inv.command == "query" || inv.command == "scan")) {
      throw CLI::ValidationError("give at most one of --raw, --csv and --json");
    }
    if (inv.command == "insert") {
      inv.args = {table, key};
      inv.args.insert(inv.args.end(), column_args.begin(), column_args.end());
    }
    if (inv.command == "describe" || inv.command == "drop") inv.args = {table};
    if (inv.command == "help" && !key.empty()) inv.args = {key};
    if (inv.command == "put") inv.args = {key, value};
    if (inv.command == "get" || inv.command == "del") inv.args = {key};
    if (inv.command == "scan") inv.args = {prefix};
    if (inv.command == "put-path" || inv.command == "get-path") inv.args = segments;
    if (inv.command == "register") {
      inv.args = {table};
      inv.args.insert(inv.args.end(), column_args.begin(), column_args.end());
    }
    if (inv.command == "query") inv.args = {path};
    if (inv.command == "sql") inv.args = sql_words;
    if ((inv.command == "commit" || inv.command == "abort") && !handle.empty()) {
      inv.args = {handle};
    }
    normalize_paths(inv);
    if (socket_opt != nullptr && socket_opt->count() > 0 && db_opt->count() > 0) {
      throw CLI::ValidationError("give either -s SOCKET or -d DB, not both");
    }
  } catch (const CLI::CallForHelp&) {
    out.out = app.help();
    return out;
  } catch (const CLI::CallForAllHelp&) {
    out.out = app.help("", CLI::AppFormatMode::All);
    return out;
  } catch (const CLI::CallForVersion& e) {
    out.out = std::string(e.what()) + "\n";
    return out;
  } catch (const CLI::ParseError& e) {
    out.status = kExitUsage;
    out.err = fmt::format("error: {}\n{}\n", e.what(),
                          in_shell ? "hint: type 'help' for the commands, or help COMMAND."
                                   : "hint: run 'kavrel-cli --help' for the commands.");
    return out;
  }
  if (socket_opt != nullptr && socket_opt->count() > 0) inv.socket = socket;
  if (db_opt != nullptr && db_opt->count() > 0) inv.db = db;
  if (file_opt != nullptr && file_opt->count() > 0) inv.file = file;
  if (get->count() + get_path->count() > 0 && !output.empty()) inv.output = output;
  if (null_opt->count() > 0) inv.null_text = null_text;
  out.invocation = std::move(inv);
  return out;
}

}  // namespace kavrel::cli
