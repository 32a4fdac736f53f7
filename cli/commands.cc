#include "cli/commands.h"

#include <algorithm>

#include "cli/session.h"

namespace kavrel::cli {
namespace {

using enum OptionField;

constexpr Positional kKey[] = {{"KEY", "The key"}};
constexpr Positional kPut[] = {{"KEY", "The key"},
                               {"VALUE", "The value, @FILE or - (standard input)"}};
constexpr Positional kPrefix[] = {{"PREFIX", "At least 2 bytes"}};
constexpr Positional kPutPath[] = {
    {"SEG", "Path segments, or a/b/c followed by VALUE", true, true}};
constexpr Positional kGetPath[] = {{"SEG", "Path segments, or a/b/c", true, true}};
constexpr Positional kRegister[] = {
    {"TABLE", "The table name"},
    {"COLUMN", "NAME:TYPE, TYPE one of int uint float text binary bool; ? = nullable", false,
     true}};
constexpr Positional kInsert[] = {
    {"TABLE", "A registered table"},
    {"ID", "The row id (no '/')"},
    {"VALUES", "COL=VALUE, VALUE read by the column's type", false, true}};
constexpr Positional kTableName[] = {{"TABLE", "The table name"}};
constexpr Positional kRegisteredTable[] = {{"TABLE", "A registered table"}};
constexpr Positional kPath[] = {{"PATH", "The table name, optionally /row..."}};
constexpr Positional kSql[] = {
    {"TEXT", "The SQL text (several words are joined by blanks)", true, true}};
constexpr Positional kHandle[] = {{"HANDLE", "A handle from begin (shell only)", false}};
constexpr Positional kCommandName[] = {{"COMMAND", "A command name", false}};
constexpr Positional kBackupDir[] = {
    {"DIR",
     "The backup directory: absent or empty; on the server's machine (with --verify: here)"}};

constexpr CommandOption kGet[] = {
    {Output, "-o,--output", "Writes the value's bytes to FILE, nothing added"},
    {Raw, "--raw", "Writes the value's bytes to standard output, nothing added"}};
constexpr CommandOption kGetPathOptions[] = {
    {Output, "-o,--output", "Writes the value's bytes to FILE, nothing added"},
    {Raw, "--raw", "Writes the value's bytes to standard output"}};
constexpr CommandOption kScan[] = {
    {Limit, "--limit", "At most N entries (0: all)"},
    {Csv, "--csv", "CSV: a key,value header, then one line per entry"},
    {Json, "--json", R"(JSON: an array of {"key": ..., "value": ...})"}};
constexpr CommandOption kQuery[] = {{Limit, "--limit", "At most N rows (0: all)"},
                                    {Offset, "--offset", "Skips the first N rows"},
                                    {Columns, "--columns", "Only these columns, in this order"},
                                    {Raw, "--raw", "Prints the TOON text as the server sent it"},
                                    {Csv, "--csv", "CSV: a header line, then one line per row"},
                                    {Json, "--json", "JSON: an array of objects, one per row"},
                                    {Null, "--null", "Shows NULL as TEXT (table and CSV)"}};
constexpr CommandOption kStats[] = {
    {Json, "--json", "The JSON as the server sent it, on one line"}};
constexpr CommandOption kSqlOptions[] = {{Json, "--json", "The server's JSON answer as it is"}};
constexpr CommandOption kBackup[] = {
    {Verify, "--verify", "Checks the backup in DIR here (no server): every checksum"},
    {KeyFile, "--key-file",
     "With --verify: the key of an encrypted backup (else "
     "KAVREL_ENCRYPTION_KEY)"},
    {Json, "--json", "The server's JSON summary as it is"}};

constexpr Positional kUser[] = {{"ACTION", "add, passwd, del or list"},
                                {"NAME", "The user's name (not with list)", false}};
constexpr CommandOption kUserOptions[] = {
    {Role, "--role", "add: the user's role, read, write or admin"},
    {Prefix, "--prefix", "add: every key the user touches must start with P (default: any key)"}};

bool verifies(const Invocation& inv) { return inv.verify; }

}  // namespace

std::span<const Command> commands() {
  // A function, not a table at namespace scope: it names Session's private commands, and
  // Session befriends it.
  static constexpr Command kCommands[] = {
      {.name = "ping",
       .summary = "Checks that the server answers",
       .usage = "ping",
       .help = "checks that the server answers",
       .run = &Session::cmd_ping},
      {.name = "put",
       .summary = "Stores VALUE under KEY",
       .positionals = kPut,
       .usage = "put KEY VALUE",
       .help = "stores VALUE (text, @FILE, or hex with --hex) under KEY",
       .prepare = &Session::resolve_value_arg,
       .run = &Session::cmd_put},
      {.name = "get",
       .summary = "Shows the value of KEY (empty when absent)",
       .positionals = kKey,
       .options = kGet,
       .usage = "get KEY [-o FILE] [--raw]",
       .help = "shows the value of KEY (empty when absent); -o, --raw: the\n"
               "value's bytes exactly, to FILE or standard output",
       .run = &Session::cmd_get},
      {.name = "del",
       .summary = "Deletes KEY",
       .positionals = kKey,
       .usage = "del KEY",
       .help = "deletes KEY",
       .run = &Session::cmd_del},
      {.name = "scan",
       .summary = "Lists key<TAB>value for every key starting with PREFIX",
       .positionals = kPrefix,
       .options = kScan,
       .usage = "scan PREFIX [--limit N] [--csv|--json]",
       .help = "lists key<TAB>value for keys starting with PREFIX (2+ bytes)",
       .run = &Session::cmd_scan},
      {.name = "put-path",
       .summary = "Stores a value under a path: SEG... -- VALUE",
       .positionals = kPutPath,
       .usage = "put-path SEG... -- VALUE",
       .help = "stores VALUE under the path (or: put-path a/b/c VALUE)",
       .prepare = &Session::resolve_value_arg,
       .run = &Session::cmd_put_path},
      {.name = "get-path",
       .summary = "Shows the value under a path: SEG... or a/b/c",
       .positionals = kGetPath,
       .options = kGetPathOptions,
       .usage = "get-path SEG...",
       .help = "shows the value under the path (or: get-path a/b/c)",
       .run = &Session::cmd_get_path},
      {.name = "register",
       .summary = "Registers a table: TABLE COL:TYPE[?]...",
       .positionals = kRegister,
       .usage = "register TABLE COL:TYPE[?]...",
       .help = "registers a table (int uint float text binary bool; ?: nullable)",
       .prepare = &Session::check_register,
       .run = &Session::cmd_register},
      {.name = "insert",
       .summary = "Writes row ID of a registered table: TABLE ID COL=VALUE... (left out: NULL)",
       .positionals = kInsert,
       .usage = "insert TABLE ID COL=VALUE...",
       .help = "writes row ID of a registered table (left-out columns: NULL)",
       .completes_table = true,
       .prepare = &Session::check_insert,
       .run = &Session::cmd_insert},
      {.name = "tables",
       .summary = "Lists the registered tables with their columns",
       .usage = "tables",
       .help = "lists the registered tables with their columns",
       .run = &Session::cmd_tables},
      {.name = "describe",
       .summary = "Shows a registered table's columns and its row key",
       .positionals = kTableName,
       .usage = "describe TABLE",
       .help = "shows one registered table's columns and its row key",
       .completes_table = true,
       .run = &Session::cmd_describe},
      {.name = "drop",
       .summary = "Drops a registered table: its schema and every row under TABLE/, at once",
       .positionals = kRegisteredTable,
       .usage = "drop TABLE",
       .help = "drops a registered table and every row under TABLE/",
       .completes_table = true,
       .run = &Session::cmd_drop},
      {.name = "query",
       .summary = "Queries a table (or a row range: table/row)",
       .positionals = kPath,
       .options = kQuery,
       .usage = "query PATH [--limit N] [--offset N] [--columns a,b] [--raw|--csv|--json] "
                "[--null TEXT]",
       .help = "shows a table's rows",
       .completes_table = true,
       .run = &Session::cmd_query},
      {.name = "stats",
       .summary = "Shows the server's statistics",
       .options = kStats,
       .usage = "stats [--json]",
       .help = "shows the server's statistics",
       .run = &Session::cmd_stats},
      {.name = "checkpoint",
       .summary = "Asks the server for a checkpoint",
       .usage = "checkpoint",
       .help = "asks the server for a checkpoint",
       .run = &Session::cmd_checkpoint},
      {.name = "compact",
       .summary = "Writes a snapshot of the committed data and goes on with a fresh log",
       .usage = "compact",
       .help = "writes a snapshot of the data and starts a fresh log",
       .run = &Session::cmd_compact},
      {.name = "backup",
       .summary = "Writes a copy of the database into DIR on the server's machine while it serves "
                  "(--verify DIR: checks a backup here, without a server)",
       .positionals = kBackupDir,
       .options = kBackup,
       .usage = "backup DIR [--json] | backup --verify DIR [--key-file FILE]",
       .help = "writes a copy of the database into DIR (a path on the server's\n"
               "machine; --verify: checks the backup in DIR here)",
       .prepare = &Session::check_backup,
       .run = &Session::cmd_backup,
       .offline = &verifies},
      {.name = "user",
       .summary = "Manages users (admin): add NAME --role read|write|admin [--prefix P], passwd "
                  "NAME, del NAME, list",
       .positionals = kUser,
       .options = kUserOptions,
       .usage = "user add NAME --role ROLE [--prefix P] | user passwd NAME | user del NAME | user "
                "list",
       .help = "manages users (admin): adds one (role read, write or admin),\n"
               "sets a new password, deletes one, lists them",
       .prepare = &Session::check_user,
       .run = &Session::cmd_user},
      {.name = "sql",
       .summary = "Sends SQL text (the server refuses it: SQL runs in kavrel-sql, the Python "
                  "package's SQL shell)",
       .positionals = kSql,
       .options = kSqlOptions,
       .usage = "sql TEXT",
       .help = "sends SQL (the server refuses it: SQL runs in kavrel-sql,\n"
               "the Python package's SQL shell)",
       .run = &Session::cmd_sql},
      {.name = "begin",
       .summary = "Begins a transaction and shows its handle (shell only)",
       .usage = "begin",
       .help = "begins a transaction and shows its handle",
       .scope = Scope::Shell,
       .run = &Session::cmd_begin},
      {.name = "commit",
       .summary = "Commits a handle (default: the latest) and shows its timestamp",
       .positionals = kHandle,
       .usage = "commit [HANDLE]",
       .help = "commits the latest (or the given) handle, shows its timestamp",
       .scope = Scope::Shell,
       .run = &Session::cmd_commit},
      {.name = "abort",
       .summary = "Aborts a handle (default: the latest)",
       .positionals = kHandle,
       .usage = "abort [HANDLE]",
       .help = "aborts the latest (or the given) handle",
       .scope = Scope::Shell,
       .run = &Session::cmd_abort},
      {.name = "help",
       .summary = "Lists the commands, or shows one command's options",
       .positionals = kCommandName,
       .usage = "help [COMMAND]",
       .help = "shows this list, or one command's options",
       .scope = Scope::ShellItself},
      {.name = "quit",
       .summary = "Leaves the shell",
       .usage = "quit, exit",
       .help = "leaves the shell (so does Ctrl-D)",
       .scope = Scope::ShellItself},
      {.name = "exit", .summary = "Leaves the shell", .scope = Scope::ShellItself},
  };
  return kCommands;
}

const Command* find_command(std::string_view name) {
  const auto all = commands();
  const auto it = std::ranges::find(all, name, &Command::name);
  return it == all.end() ? nullptr : &*it;
}

}  // namespace kavrel::cli
