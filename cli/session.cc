#include "cli/session.h"

#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <fstream>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "cli/display.h"
#include "cli/output.h"
#include "cli/server_errors.h"
#include "cli/toon.h"
#include "core/text.h"
#include "protocol/errors.h"
#include "storage/backup.h"
#include "storage/key_file.h"

namespace kavrel::cli {
namespace {

void write(std::FILE* f, std::string_view text) { std::fwrite(text.data(), 1, text.size(), f); }

// NAME:TYPE or NAME:TYPE? as a wire column; the name may itself hold ':' (the last one counts).
std::optional<WireColumn> parse_column(std::string_view column_arg) {
  const std::size_t colon = column_arg.rfind(':');
  if (colon == std::string_view::npos) return std::nullopt;
  WireColumn col;
  col.name = std::string(column_arg.substr(0, colon));
  std::string_view type = column_arg.substr(colon + 1);
  if (type.ends_with('?')) {
    col.nullable = true;
    type.remove_suffix(1);
  }
  for (std::size_t code = 0; code < std::size(kWireTypeNames); ++code) {
    if (type == kWireTypeNames[code]) {
      col.type = static_cast<std::uint8_t>(code);
      return col;
    }
  }
  return std::nullopt;
}

std::optional<std::uint64_t> parse_u64(const std::string& text) {
  std::uint64_t v = 0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, v);
  if (text.empty() || ec != std::errc() || ptr != end) return std::nullopt;
  return v;
}

// COL=VALUE, split at the first '='.
std::optional<std::pair<std::string, std::string>> split_assignment(const std::string& arg) {
  const std::size_t eq = arg.find('=');
  if (eq == std::string::npos) return std::nullopt;
  return std::pair{arg.substr(0, eq), arg.substr(eq + 1)};
}

// The bytes of an insert value for a column of the given wire type (nullopt: no such column):
// @FILE and @@ as for every value, and hexadecimal for binary columns.
Result<Bytes, std::string> insert_value(const std::string& column, const std::string& arg,
                                        std::optional<std::uint8_t> type) {
  const bool from_file = arg.starts_with("@") && !arg.starts_with("@@");
  // "-" is a value like any other here: standard input may hold the shell's commands.
  Result<Bytes, std::string> raw = Bytes(arg);
  if (arg.starts_with("@")) raw = resolve_value(arg, false);
  if (!raw) return raw;
  constexpr std::uint8_t kBinary = 4;
  if (type != kBinary || from_file) return raw;
  auto decoded = from_hex(*raw);
  if (!decoded) {
    return std::unexpected(fmt::format(
        "column {} (binary): {} is not hexadecimal (an even number of digits 0-9, a-f), nor "
        "@FILE",
        debug_quote(column), debug_quote(*raw)));
  }
  return std::move(*decoded);
}

// The handle a server error says has ended ("Transaction N aborted: ...", "Transaction not
// found: N"), if it says so.
std::optional<std::uint64_t> ended_handle(const ClientError& error) {
  if (!error.is_server_error()) return std::nullopt;
  return ended_transaction(error.text());
}

std::string handle_list(const std::vector<std::uint64_t>& handles) {
  std::string out;
  for (const auto h : handles) {
    if (!out.empty()) out += ", ";
    out += std::to_string(h);
  }
  return out;
}

// The key under which the Python package's SQL layer keeps the name of a table's row key column
// (the one declared PRIMARY KEY), since the server's schema has no such notion.
std::string sql_primary_key_key(std::string_view table) {
  return fmt::format("__kavrel_sql/{}/primary_key", table);
}

// The row key column of a registered table as the SQL layer reads it: the column stored under
// sql_primary_key_key, else the column named id (exactly, else the only one named so in any
// case); only an int, uint or text column can be one.
const WireColumn* row_key_column(const WireSchema& schema, std::string_view stored) {
  const auto key_type = [](const WireColumn* c) {
    return c != nullptr && (c->type == 0 || c->type == 1 || c->type == 3) ? c : nullptr;
  };
  const auto exact = [&](std::string_view name) -> const WireColumn* {
    const auto it = std::ranges::find(schema.columns, name, &WireColumn::name);
    return it == schema.columns.end() ? nullptr : &*it;
  };
  if (!stored.empty()) {
    if (const auto* c = key_type(exact(stored))) return c;
  }
  if (const auto* c = exact("id")) return key_type(c);
  const WireColumn* found = nullptr;
  for (const WireColumn& c : schema.columns) {
    const bool is_id = c.name.size() == 2 && (c.name[0] | 0x20) == 'i' && (c.name[1] | 0x20) == 'd';
    if (!is_id) continue;
    if (found != nullptr) return nullptr;  // ambiguous: the SQL layer refuses such a table
    found = &c;
  }
  return key_type(found);
}

Result<void, std::string> write_file(const std::string& path, BytesView bytes) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  if (f) f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (f) f.close();
  if (!f) {
    const int err = errno;
    return std::unexpected(
        fmt::format("cannot write {}: {}", debug_quote(path), os_error_text(err != 0 ? err : EIO)));
  }
  return {};
}

}  // namespace

Session::Session(SessionOptions options) : opt_(std::move(options)) {}

Session::~Session() {
  {
    std::scoped_lock lock(mu_);
    stopping_ = true;
  }
  stop_cv_.notify_all();
  if (keepalive_.joinable()) keepalive_.join();
}

int Session::connect() {
  std::scoped_lock lock(mu_);
  if (client_) return kExitOk;
  if (const int status = open_client(); status != kExitOk) return status;
  last_use_ = std::chrono::steady_clock::now();
  return kExitOk;
}

int Session::open_client() {
  auto c = Client::connect(opt_.connect);
  if (!c) {
    // Options or files that cannot make a connection (a CA file that cannot be read): usage.
    if (c.error().kind() == ClientError::Kind::Invalid) return usage(c.error().text());
    return report(c.error());
  }
  client_.emplace(std::move(*c));
  return kExitOk;
}

std::string Session::target() const {
  const ConnectOptions& c = opt_.connect;
  if (!c.socket.empty()) return debug_quote(c.socket.native());
  const bool v6 = c.host.find(':') != std::string::npos;
  return fmt::format("{}{}{}:{}", v6 ? "[" : "", c.host, v6 ? "]" : "", c.port);
}

void Session::start_keepalive(std::chrono::milliseconds interval) {
  // The thread starts with SIGINT blocked, so that Ctrl-C always reaches the thread that reads
  // the lines and runs the commands (its waits must be the ones interrupted).
  sigset_t block, old;
  sigemptyset(&block);
  sigaddset(&block, SIGINT);
  ::pthread_sigmask(SIG_BLOCK, &block, &old);
  keepalive_ = std::thread([this, interval] { keepalive_loop(interval); });
  ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

void Session::keepalive_loop(std::chrono::milliseconds interval) {
  std::unique_lock lock(mu_);
  while (!stopping_) {
    const auto due = last_use_ + interval;
    if (std::chrono::steady_clock::now() >= due) {
      // Only an open transaction needs the connection kept: without one, the client connects
      // again when the server has closed an idle connection.
      if (client_ && !handles_.empty()) {
        // The next command reports a lost connection; nothing is printed from here.
        if (auto r = client_->ping(); !r) {
          lost_ = r.error();
          client_.reset();
        }
      }
      last_use_ = std::chrono::steady_clock::now();
      continue;
    }
    stop_cv_.wait_until(lock, due);
  }
}

int Session::run(const Invocation& inv) {
  std::scoped_lock lock(mu_);
  interrupted_.store(false);  // a Ctrl-C at the prompt is not meant for this command
  const int status = run_locked(inv);
  wipe(new_password_);
  active_fd_.store(-1);
  interrupted_.store(false);
  last_use_ = std::chrono::steady_clock::now();
  return status;
}

void Session::interrupt() {
  interrupted_.store(true);
  if (const int fd = active_fd_.load(); fd >= 0) ::shutdown(fd, SHUT_RDWR);
}

void Session::error_line(std::string_view text) {
  std::string line = "error: ";
  if (line_ > 0) line += fmt::format("line {}: ", line_);
  line += text;
  line += '\n';
  write(opt_.err, line);
}

int Session::usage(const std::string& text) {
  error_line(text);
  return kExitUsage;
}

int Session::server_error(std::string_view text) {
  error_line(text_for_user(text));
  if (const auto hint = server_error_hint(text)) write(opt_.err, fmt::format("hint: {}\n", *hint));
  return kExitServerError;
}

int Session::report(const ClientError& e) {
  switch (e.kind()) {
    case ClientError::Kind::Server:
      // The server ended the transaction it names: the shell leaves it too. A handle that is not
      // the shell's (commit 42) leaves the shell's own transactions as they are.
      if (const auto ended = ended_handle(e)) forget_handle(*ended);
      return server_error(e.text());
    case ClientError::Kind::Invalid: error_line(e.text()); return kExitServerError;
    case ClientError::Kind::Protocol:
      error_line(fmt::format("unexpected answer from the server: {}", e.text()));
      return kExitServerError;
    case ClientError::Kind::Connect: return connect_failed(e);
    case ClientError::Kind::Io: break;
  }
  if (const auto& lost = e.lost_transactions(); !lost.empty() && !interrupted_.load()) {
    // Found before the command was sent: it did not run, and must not run outside the
    // transaction it was meant for.
    client_.reset();
    handles_.clear();
    error_line(fmt::format(
        "the server at {} had closed the connection (idle longer than its time-out, or "
        "stopped): transaction{} {} {} lost, nothing of {} was committed, and the command did not "
        "run",
        target(), lost.size() == 1 ? "" : "s", handle_list(lost), lost.size() == 1 ? "is" : "are",
        lost.size() == 1 ? "it" : "them"));
    write(opt_.err,
          "hint: run 'begin' and the transaction's commands again (the next command connects "
          "again)\n");
    return kExitUnreachable;
  }
  if (interrupted_.load()) {
    error_line(
        "interrupted: the command's connection was closed (the next command connects "
        "again)");
  } else {
    error_line(fmt::format("lost the connection to the server at {}: {}", target(), e.text()));
    if (!opt_.connect.host.empty() && !opt_.connect.tls) {
      // A TLS listener ends a connection that does not begin with a handshake.
      write(opt_.err, "hint: if the server serves TLS there, add --tls (and --ca FILE)\n");
    }
  }
  client_.reset();
  if (!handles_.empty()) {
    error_line("the open transaction handles ended with the connection");
    handles_.clear();
  }
  return kExitUnreachable;
}

int Session::connect_failed(const ClientError& e) {
  const std::string& text = e.text();
  const bool tls = text.starts_with("TLS handshake failed");
  if (tls || text.starts_with("login as ")) {
    // The server was reached: what failed is the trust between the two.
    error_line(fmt::format("cannot connect to the server at {}: {}", target(), text));
    if (text.find("does not verify") != std::string::npos) {
      write(opt_.err,
            "hint: --ca FILE names the CA that signed the server's certificate, and -h the name "
            "(or address) that it was issued for\n");
    }
    return kExitUnreachable;
  }
  const bool unix_socket = !opt_.connect.socket.empty();
  error_line(fmt::format("cannot reach the server at {}: {} ({})", target(), text,
                         unix_socket ? "is kavrel-server running? start it with `make run`"
                                     : "is kavrel-server running, with --listen on that address?"));
  return kExitUnreachable;
}

int Session::print_value(BytesView value, const Invocation& inv) {
  if (inv.output) {
    if (auto r = write_file(*inv.output, value); !r) {
      error_line(r.error());
      return kExitUsage;
    }
  } else if (inv.raw) {
    write(opt_.out, value);
  } else if (inv.hex) {
    write(opt_.out, to_hex(value) + "\n");
  } else if (opt_.stdout_tty) {
    write(opt_.out, (value.empty() ? std::string("(empty)") : display_bytes(value)) + "\n");
  } else {
    write(opt_.out, value);
    write(opt_.out, "\n");
  }
  return kExitOk;
}

int Session::run_locked(const Invocation& inv) {
  const Command* command = find_command(inv.command);
  if (command == nullptr || command->run == nullptr) {
    return usage(fmt::format("unknown command '{}'", inv.command));
  }
  if (command->prepare != nullptr) {
    if (const int status = (this->*command->prepare)(inv); status != kExitOk) return status;
  }
  if (!opt_.in_shell && command->scope == Scope::Shell) {
    return usage(fmt::format(
        "{} needs the connection of the shell (run kavrel-cli without a command): a handle "
        "ends with the connection that began it",
        inv.command));
  }
  if (command->offline != nullptr && command->offline(inv)) return (this->*command->run)(inv);
  if (lost_) {
    // Prints what happened and forgets the handles. A command meant for a transaction that was
    // lost does not run (it would run alone); otherwise it goes on, on a new connection.
    const bool in_transaction = !handles_.empty();
    report(*lost_);
    lost_.reset();
    if (in_transaction) return kExitUnreachable;
  }
  // A client whose connection is gone (the server could not be reached when it tried to
  // connect again) is replaced here, so that interrupt() knows the new connection.
  if (client_ && client_->fd() < 0) client_.reset();
  if (!client_) {
    if (opt_.in_shell) write(opt_.err, "connecting again...\n");
    if (const int status = open_client(); status != kExitOk) return status;
  }
  active_fd_.store(client_->fd());
  if (interrupted_.load()) {
    // Ctrl-C came before the command reached the server: it is not sent.
    error_line("interrupted");
    return kExitServerError;
  }
  return (this->*command->run)(inv);
}

int Session::resolve_value_arg(const Invocation& inv) {
  const std::string& arg = inv.path_value ? *inv.path_value : inv.args[1];
  if (opt_.in_shell && arg == "-") {
    return usage("the shell reads commands from standard input; give the value or @FILE");
  }
  auto v = resolve_value(arg, inv.hex, opt_.in);
  if (!v) return usage(v.error());
  value_ = std::move(*v);
  return kExitOk;
}

int Session::check_insert(const Invocation& inv) {
  if (inv.args[1].find('/') != std::string::npos) {
    return usage(
        fmt::format("invalid row id '{}': a row of a registered table is TABLE/ID, "
                    "with no '/' in ID",
                    inv.args[1]));
  }
  for (std::size_t i = 2; i < inv.args.size(); ++i) {
    if (!split_assignment(inv.args[i])) {
      return usage(fmt::format("invalid value '{}': expected COLUMN=VALUE", inv.args[i]));
    }
  }
  return kExitOk;
}

int Session::check_register(const Invocation& inv) {
  for (std::size_t i = 1; i < inv.args.size(); ++i) {
    if (!parse_column(inv.args[i])) {
      return usage(
          fmt::format("invalid column '{}': expected NAME:TYPE or NAME:TYPE? with TYPE one of int, "
                      "uint, float, text, binary, bool",
                      inv.args[i]));
    }
  }
  return kExitOk;
}

int Session::ok_or_report(const ClientResult<>& r) {
  if (!r) return report(r.error());
  write(opt_.out, "OK\n");
  return kExitOk;
}

int Session::cmd_ping(const Invocation& /*inv*/) {
  if (auto r = client_->ping(); !r) return report(r.error());
  write(opt_.out, "PONG\n");
  return kExitOk;
}

int Session::cmd_put(const Invocation& inv) {
  return ok_or_report(client_->put(inv.args[0], *value_));
}

int Session::cmd_get(const Invocation& inv) {
  auto r = client_->get(inv.args[0]);
  if (!r) return report(r.error());
  return print_value(*r, inv);
}

int Session::cmd_del(const Invocation& inv) { return ok_or_report(client_->del(inv.args[0])); }

int Session::cmd_put_path(const Invocation& inv) {
  return ok_or_report(client_->put_path(inv.args, *value_));
}

int Session::cmd_get_path(const Invocation& inv) {
  auto r = client_->get_path(inv.args);
  if (!r) return report(r.error());
  return print_value(*r, inv);
}

int Session::cmd_checkpoint(const Invocation& /*inv*/) {
  return ok_or_report(client_->checkpoint());
}

int Session::cmd_compact(const Invocation& /*inv*/) { return ok_or_report(client_->compact()); }

int Session::cmd_scan(const Invocation& inv) {
  auto r = client_->scan(inv.args[0]);
  if (!r) return report(r.error());
  if (inv.limit > 0 && r->size() > inv.limit) r->resize(inv.limit);
  if (inv.csv) {
    write(opt_.out, scan_csv(*r, inv.hex));
    return kExitOk;
  }
  if (inv.json) {
    write(opt_.out, scan_json(*r, inv.hex));
    return kExitOk;
  }
  std::string out;
  for (const auto& [key, value] : *r) {
    // One entry a line, whatever the output: keys and values that could break the line (or the
    // terminal) are escaped.
    out += display_bytes(key);
    out += '\t';
    out += inv.hex ? to_hex(value) : display_bytes(value);
    out += '\n';
  }
  write(opt_.out, out);
  return kExitOk;
}

int Session::cmd_register(const Invocation& inv) {
  std::vector<WireColumn> columns;
  for (std::size_t i = 1; i < inv.args.size(); ++i) columns.push_back(*parse_column(inv.args[i]));
  return ok_or_report(client_->register_table(inv.args[0], columns));
}

ClientResult<std::optional<WireSchema>> Session::registered_schema(const std::string& table) {
  auto schema = client_->describe_table(table);
  if (schema) return std::optional<WireSchema>(std::move(*schema));
  if (schema.error().is_server_error() &&
      classify_error(schema.error().text()) == ErrorClass::TableNotFound) {
    return std::optional<WireSchema>();
  }
  return std::unexpected(std::move(schema.error()));
}

int Session::no_such_column(const std::string& table, const std::string& column, bool registered) {
  error_line(fmt::format("table {} has no column {}", debug_quote(table), debug_quote(column)));
  write(opt_.err, registered
                      ? fmt::format("hint: 'kavrel-cli describe {}' lists its columns\n", table)
                      : fmt::format("hint: a column of a table of paths is what follows "
                                    "{}/ID/ in its keys\n",
                                    table));
  return kExitServerError;
}

int Session::check_path_table(const std::string& table, const std::optional<ToonTable>& answer,
                              const std::vector<std::string>& columns) {
  // An unregistered table exists through its keys: "TABLE/" answers only them (the table name
  // alone would also match TABLE2/...).
  const std::string rows_of = table + "/";
  const auto has_rows = [&](const std::vector<std::string>& only) -> ClientResult<bool> {
    auto r = client_->query(rows_of, 1, 0, only);
    if (!r) return std::unexpected(std::move(r.error()));
    return *r != "[]";
  };
  if (!answer || answer->rows.empty()) {
    auto exists = has_rows({});
    if (!exists) return report(exists.error());
    if (!*exists) {
      return server_error(fmt::format(
          "Table not found: {} (no table is registered under that name, and no key starts with "
          "{})",
          table, debug_quote(rows_of)));
    }
  }
  for (std::size_t c = 0; c < columns.size(); ++c) {
    // A column the answer shows a value of exists; one it shows only NULL in may exist in rows
    // the path, the limit or the offset left out.
    bool seen = false;
    for (const auto& row : answer ? answer->rows : std::vector<std::vector<std::string>>{}) {
      seen = seen || (c < row.size() && row[c] != kToonNull);
    }
    if (seen) continue;
    auto exists = has_rows({columns[c]});
    if (!exists) return report(exists.error());
    if (!*exists) return no_such_column(table, columns[c], false);
  }
  return kExitOk;
}

int Session::cmd_query(const Invocation& inv) {
  const std::string& path = inv.args[0];
  const std::string table_name = path.substr(0, path.find('/'));
  auto schema = registered_schema(table_name);
  if (!schema) return report(schema.error());
  if (*schema) {
    for (const std::string& c : inv.columns) {
      if (std::ranges::find((*schema)->columns, c, &WireColumn::name) == (*schema)->columns.end()) {
        return no_such_column(table_name, c, true);
      }
    }
  }
  // Floats exact, except in the TOON text shown as the server writes it by default.
  auto r = client_->query(path, inv.limit, inv.offset, inv.columns, /*exact_floats=*/!inv.raw);
  if (!r) return report(r.error());
  auto table = parse_toon(*r);
  if (!*schema) {
    if (const int status = check_path_table(table_name, table, inv.columns); status != kExitOk) {
      return status;
    }
  }
  if (inv.raw) {
    write(opt_.out, *r + "\n");
    return kExitOk;
  }
  if (!table) {
    // Shown as it came rather than guessed at.
    write(opt_.err, "note: the answer could not be read as a table; shown as sent\n");
    write(opt_.out, *r + "\n");
    return kExitOk;
  }
  if (inv.csv) {
    write(opt_.out, query_csv(*table, inv.null_text.value_or("")));
    return kExitOk;
  }
  if (inv.json) {
    // The columns of a registered table keep their types (numbers, booleans).
    std::vector<std::pair<std::string, std::uint8_t>> types;
    if (*schema) {
      for (const WireColumn& c : (*schema)->columns) types.emplace_back(c.name, c.type);
    }
    write(opt_.out, query_json(*table, types));
    return kExitOk;
  }
  write(opt_.out, render_table(inv.null_text ? with_null_marker(*table, *inv.null_text) : *table));
  return kExitOk;
}

int Session::cmd_insert(const Invocation& inv) {
  auto schema = client_->describe_table(inv.args[0]);
  if (!schema) return report(schema.error());
  std::vector<RowValue> values;
  for (std::size_t i = 2; i < inv.args.size(); ++i) {
    auto [column, arg] = *split_assignment(inv.args[i]);
    std::optional<std::uint8_t> type;
    const auto it = std::ranges::find(schema->columns, column, &WireColumn::name);
    if (it != schema->columns.end()) type = it->type;
    auto bytes = insert_value(column, arg, type);
    if (!bytes) return usage(bytes.error());
    values.push_back({std::move(column), std::move(*bytes)});
  }
  // A row that does not fit the schema is a bad value (status 2), found before sending.
  if (auto row = pack_row(*schema, values); !row) {
    return usage(fmt::format("table {}: {}", debug_quote(schema->name), row.error()));
  }
  return ok_or_report(client_->insert_row(*schema, inv.args[1], values));
}

namespace {

std::string column_spec(const WireColumn& c) {
  return fmt::format("{}:{}{}", c.name, c.type <= kMaxWireType ? kWireTypeNames[c.type] : "?",
                     c.nullable ? "?" : "");
}

}  // namespace

int Session::cmd_tables(const Invocation& /*inv*/) {
  auto r = client_->list_tables();
  if (!r) return report(r.error());
  ToonTable table{{"table", "columns"}, {}};
  for (const WireSchema& s : *r) {
    std::string columns;
    for (const WireColumn& c : s.columns) {
      if (!columns.empty()) columns += ' ';
      columns += column_spec(c);
    }
    table.rows.push_back({s.name, columns});
  }
  std::string out = render_table(table);
  // render_table counts rows; here they are tables.
  if (const auto at = out.rfind(fmt::format("({} row", r->size())); at != std::string::npos) {
    out = out.substr(0, at) + fmt::format("({} table{})\n", r->size(), r->size() == 1 ? "" : "s");
  }
  write(opt_.out, out);
  return kExitOk;
}

int Session::cmd_describe(const Invocation& inv) {
  auto r = client_->describe_table(inv.args[0]);
  if (!r) return report(r.error());
  ToonTable table{{"column", "type", "nullable"}, {}};
  for (const WireColumn& c : r->columns) {
    table.rows.push_back({c.name,
                          std::string(c.type <= kMaxWireType ? kWireTypeNames[c.type] : "?"),
                          c.nullable ? "yes" : "no"});
  }
  std::string out = render_table(table);
  if (const auto at = out.rfind(fmt::format("({} row", r->columns.size()));
      at != std::string::npos) {
    out = out.substr(0, at) +
          fmt::format("({} column{})\n", r->columns.size(), r->columns.size() == 1 ? "" : "s");
  }
  auto stored = client_->get(sql_primary_key_key(r->name));
  if (!stored) return report(stored.error());
  if (const WireColumn* key = row_key_column(*r, *stored)) {
    out += fmt::format("row key: {} (each row is stored under {}/<{}>)\n", key->name, r->name,
                       key->name);
  }
  write(opt_.out, out);
  return kExitOk;
}

int Session::cmd_drop(const Invocation& inv) {
  const std::string& name = inv.args[0];
  // The table goes with the SQL layer's note of its row key, in one transaction.
  const auto drop = [&](auto& target) -> ClientResult<> {
    if (auto r = target.drop_table(name); !r) return r;
    auto note = target.get(sql_primary_key_key(name));
    if (!note) return std::unexpected(std::move(note.error()));
    if (note->empty()) return {};
    return target.del(sql_primary_key_key(name));
  };
  if (!handles_.empty()) {
    // Inside the shell's transaction: the table goes when it commits.
    if (auto r = drop(*client_); !r) return report(r.error());
  } else {
    auto tx = client_->transaction();
    if (!tx) return report(tx.error());
    if (auto r = drop(*tx); !r) return report(r.error());
    if (auto r = tx->commit(); !r) return report(r.error());
  }
  write(opt_.out, "OK\n");
  return kExitOk;
}

std::vector<std::string> Session::table_names() {
  std::scoped_lock lock(mu_);
  if (!client_) return {};
  auto r = client_->list_tables();
  last_use_ = std::chrono::steady_clock::now();
  if (!r) {
    // Reported by the next command, as a keepalive PING's failure is.
    if (!r.error().is_server_error()) {
      lost_ = r.error();
      client_.reset();
    }
    return {};
  }
  std::vector<std::string> names;
  for (const WireSchema& s : *r) names.push_back(s.name);
  return names;
}

int Session::cmd_stats(const Invocation& inv) {
  auto r = client_->stats();
  if (!r) return report(r.error());
  if (inv.json) {
    write(opt_.out, *r + "\n");
    return kExitOk;
  }
  try {
    write(opt_.out, nlohmann::ordered_json::parse(*r).dump(2) + "\n");
  } catch (const nlohmann::json::exception&) {
    write(opt_.out, *r + "\n");
  }
  return kExitOk;
}

int Session::check_backup(const Invocation& inv) {
  if (inv.key_file && !inv.verify) {
    return usage("--key-file goes with --verify: the server writes a backup under its own key");
  }
  if (inv.json && inv.verify) return usage("--json goes without --verify");
  std::error_code ec;
  const std::filesystem::path dir = std::filesystem::absolute(inv.args[0], ec);
  if (ec)
    return usage(fmt::format("cannot make {} absolute: {}", debug_quote(inv.args[0]),
                             os_error_text(ec.value())));
  backup_dir_ = dir.lexically_normal().string();
  return kExitOk;
}

int Session::check_user(const Invocation& inv) {
  const std::string& action = inv.args[0];
  const bool named = inv.args.size() > 1;
  if (action != "add" && action != "passwd" && action != "del" && action != "list") {
    return usage(
        fmt::format("unknown user action '{}': expected add, passwd, del or list", action));
  }
  if (action == "list") {
    if (named) return usage("user list takes no NAME");
  } else if (!named || inv.args[1].empty()) {
    return usage(fmt::format("user {} needs the user's NAME", action));
  }
  if (action != "add" && (inv.role || inv.prefix)) {
    return usage(fmt::format("--role and --prefix go with user add, not user {}", action));
  }
  if (action == "add") {
    if (!inv.role) return usage("user add needs --role read, --role write or --role admin");
    if (!parse_user_role(*inv.role)) {
      return usage(fmt::format("invalid role '{}': expected read, write or admin", *inv.role));
    }
  }
  if (action == "add" || action == "passwd") {
    auto password = new_password(opt_.passwords, inv.args[1], opt_.connect.login.has_value());
    if (!password) return usage(password.error());
    new_password_ = std::move(*password);
  }
  return kExitOk;
}

int Session::cmd_user(const Invocation& inv) {
  const std::string& action = inv.args[0];
  if (action == "add") {
    return ok_or_report(client_->add_user(inv.args[1], *parse_user_role(*inv.role),
                                          inv.prefix.value_or(""), new_password_));
  }
  if (action == "passwd") return ok_or_report(client_->set_password(inv.args[1], new_password_));
  if (action == "del") return ok_or_report(client_->delete_user(inv.args[1]));
  auto users = client_->list_users();
  if (!users) return report(users.error());
  ToonTable table{{"user", "role", "prefix"}, {}};
  for (const UserInfo& u : *users) {
    table.rows.push_back({display_bytes(u.name), u.role, display_bytes(u.prefix)});
  }
  std::string out = render_table(table);
  // render_table counts rows; here they are users.
  if (const auto at = out.rfind(fmt::format("({} row", users->size())); at != std::string::npos) {
    out = out.substr(0, at) +
          fmt::format("({} user{})\n", users->size(), users->size() == 1 ? "" : "s");
  }
  write(opt_.out, out);
  return kExitOk;
}

int Session::cmd_backup(const Invocation& inv) {
  if (inv.verify) return verify_backup_here(inv);
  auto r = client_->backup(backup_dir_);
  if (!r) return report(r.error());
  if (inv.json) {
    write(opt_.out, *r + "\n");
    return kExitOk;
  }
  try {
    const auto j = nlohmann::json::parse(*r);
    write(opt_.out,
          fmt::format("Backup of {} keys and {} tables at LSN {} written to {} ({} bytes{})\n",
                      j.at("keys").get<std::uint64_t>(), j.at("tables").get<std::uint64_t>(),
                      j.at("lsn").get<std::uint64_t>(), j.at("path").get<std::string>(),
                      j.at("bytes").get<std::uint64_t>(),
                      j.value("encrypted", false) ? ", encrypted" : ""));
  } catch (const nlohmann::json::exception&) {
    write(opt_.out, *r + "\n");  // not the summary it should be: shown as it came
  }
  return kExitOk;
}

int Session::verify_backup_here(const Invocation& inv) {
  // The environment stays as it is: a shell may verify again.
  auto key = key_from(inv.key_file, KeyVariable::Keep);
  if (!key) return usage(key.error());
  auto check = verify_backup(backup_dir_, key->key);
  if (!check) {
    const KavrelError& e = check.error();
    error_line(fmt::format("backup {} does not verify: {}", debug_quote(backup_dir_), e.message()));
    if (e.kind() == KavrelError::Kind::Encryption && !key->key) {
      write(opt_.err, fmt::format("hint: give its key with --key-file FILE or in {} (64 "
                                  "hexadecimal characters)\n",
                                  kKeyEnvVar));
      return kExitUsage;
    }
    return kExitServerError;
  }
  write(opt_.out,
        fmt::format("OK: {} holds {} keys and {} tables at LSN {}{}; every checksum holds\n",
                    backup_dir_, check->keys, check->tables, check->lsn,
                    check->encrypted ? " (encrypted, every frame opens)" : ""));
  for (const CheckedFile& f : check->files) {
    write(opt_.out, fmt::format("  {:<14} {:>10} record{} {:>12} bytes\n", f.name, f.records,
                                f.records == 1 ? " " : "s", f.bytes));
  }
  return kExitOk;
}

int Session::cmd_sql(const Invocation& inv) {
  std::string text;
  for (const auto& w : inv.args) {
    if (!text.empty()) text += ' ';
    text += w;
  }
  auto r = client_->execute_sql(text);
  if (!r) return report(r.error());
  std::optional<std::string> refusal;
  std::string pretty = *r;
  try {
    const auto j = nlohmann::ordered_json::parse(*r);
    if (j.is_object() && j.contains("error") && j["error"].is_string()) {
      refusal = j["error"].get<std::string>();
    }
    pretty = j.dump(2);
  } catch (const nlohmann::json::exception&) {
    pretty = *r;  // not JSON: shown as the server sent it
  }
  if (inv.json) {
    write(opt_.out, *r + "\n");
    // Where SQL runs, on standard error so that the JSON stays as it came.
    if (const auto hint = refusal ? server_error_hint(*refusal) : std::nullopt) {
      write(opt_.err, fmt::format("hint: {}\n", *hint));
    }
  } else if (refusal) {
    server_error(*refusal);
  } else {
    write(opt_.out, pretty + "\n");
  }
  return refusal ? kExitServerError : kExitOk;
}

int Session::cmd_begin(const Invocation& /*inv*/) {
  auto r = client_->begin();
  if (!r) return report(r.error());
  handles_.push_back(*r);
  client_->use_transaction(*r);
  write(opt_.out, fmt::format("handle {}\n", *r));
  return kExitOk;
}

void Session::forget_handle(std::uint64_t handle) {
  std::erase(handles_, handle);
  // The data commands go on in the latest transaction still open, or alone.
  if (client_) {
    client_->use_transaction(handles_.empty() ? std::nullopt
                                              : std::optional<std::uint64_t>(handles_.back()));
  }
}

void Session::abort_open_transactions() {
  std::scoped_lock lock(mu_);
  if (handles_.empty()) return;
  const std::string list = handle_list(handles_);
  write(opt_.err, fmt::format("warning: aborting the open transaction{} {}\n",
                              handles_.size() == 1 ? "" : "s", list));
  for (const auto h : std::vector<std::uint64_t>(handles_)) {
    if (client_) ignore_error(client_->abort(h), "leaving the shell ends it either way");
    forget_handle(h);
  }
}

int Session::end_transaction(const Invocation& inv, bool commit) {
  std::uint64_t handle = 0;
  if (inv.args.empty()) {
    if (handles_.empty()) return usage("no open transaction: begin one first, or name a handle");
    handle = handles_.back();
  } else {
    const auto h = parse_u64(inv.args[0]);
    if (!h) return usage(fmt::format("invalid handle '{}': expected a whole number", inv.args[0]));
    handle = *h;
  }
  // The server forgets the handle whatever the outcome, so the shell does too.
  forget_handle(handle);
  if (commit) {
    auto r = client_->commit(handle);
    if (!r) return report(r.error());
    write(opt_.out, fmt::format("committed handle {} at timestamp {}\n", handle, *r));
  } else {
    if (auto r = client_->abort(handle); !r) return report(r.error());
    write(opt_.out, fmt::format("aborted handle {}\n", handle));
  }
  return kExitOk;
}

}  // namespace kavrel::cli
