#include "cli/command_line.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <filesystem>
#include <limits>

#include <fmt/format.h>
#include <CLI/CLI.hpp>

#include "cli/commands.h"

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

Backups: backup DIR asks the server for a copy of the database at one commit point, written
while it serves; DIR is a path on the server's machine (a relative one is made absolute here),
absent or an empty directory, and kavrel-server --db DIR opens the copy as it is. backup --verify
DIR reads a backup here, without a server, and checks every checksum: status 0 when all hold, 1
naming the first damaged place; an encrypted one needs its key (--key-file FILE, or
KAVREL_ENCRYPTION_KEY with 64 hexadecimal characters), else status 2.

Without a command kavrel-cli reads commands line by line on one connection: an interactive
shell on a terminal, else the lines of standard input (or of -f FILE). begin, commit and abort
belong there. Errors name the line they come from; --bail stops at the first failing line.
When the server has closed the idle connection, the next command connects again; with a
transaction open it fails instead, saying that the transaction is lost (status 3).
In the shell, Ctrl-C clears the line or interrupts the running command (ending the connection
and its transaction handles), Ctrl-D leaves, Tab completes command names and, after query,
describe, insert and drop, table names (in any case), and 'help COMMAND' shows a command's
options. Command names may be written in any case.

Network: -h HOST -p PORT (or -h HOST:PORT; [ADDRESS]:PORT for IPv6) connects over TCP instead
of the Unix socket. --tls (implied by --ca, --cert and --key) checks the server's certificate
against --ca FILE (default: the system's CAs) and its name against HOST; --cert FILE --key FILE
present a client certificate. --user NAME logs in (SCRAM: the password never leaves this
machine), also on the Unix socket of a server run with --unix-auth. The password comes from
KAVREL_PASSWORD, else the first line host:port:user:password of ~/.kavrelpass that matches (*
matches any field; the file must be private, mode 0600), else a prompt without echo when
standard input is a terminal.

Users (an admin's commands): user add NAME --role read|write|admin [--prefix P], user passwd
NAME, user del NAME, user list. The new password comes from KAVREL_NEW_PASSWORD, else from
KAVREL_PASSWORD when there is no --user (the first admin is made on the Unix socket, by the
server's own OS user, without a login), else from a prompt, asked twice.

Every error line starts with "error:"; a line starting with "hint:" may follow.
Exit status: 0 success, 1 the server answered an error (or a request was refused before
sending, such as a value above the 16 MiB request limit; with --bail, the first failing line),
2 usage error, 3 the server cannot be reached (or the connection was lost).)";

constexpr const char* kShellHelpFooter =
    R"(
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

// One row of the shell's help: the usage in a column of its own (on a line of its own when it is
// wider), then the help text's lines.
std::string help_row(const Command& c) {
  constexpr std::size_t kUsageWidth = 34;
  const std::string indent(kUsageWidth + 2, ' ');
  std::string out = "  " + std::string(c.usage);
  out +=
      c.usage.size() < kUsageWidth ? std::string(kUsageWidth - c.usage.size(), ' ') : "\n" + indent;
  for (const char ch : c.help) out += ch == '\n' ? "\n" + indent : std::string(1, ch);
  return out + "\n";
}

// Whether w is an option of the program's command line that takes the next word as its value.
bool takes_value(const std::string& w, bool in_shell) {
  if (w == "-s" || w == "--socket" || w == "-d" || w == "--db" || w == "-f" || w == "--file") {
    return true;
  }
  // In the shell -h is --help and these do not exist.
  return !in_shell && (w == "-h" || w == "--host" || w == "-p" || w == "--port" || w == "--ca" ||
                       w == "--cert" || w == "--key" || w == "--user");
}

// The index of the command word: the first word that is neither an option nor the value of a
// connection option.
std::size_t command_index(const std::vector<std::string>& words, bool in_shell) {
  for (std::size_t i = 0; i < words.size(); ++i) {
    const std::string& w = words[i];
    if (takes_value(w, in_shell)) {
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
  if (find_command(lower) != nullptr) words[cmd] = lower;
}

// A port number of 1 to 65535, or nullopt.
std::optional<std::uint16_t> parse_port(std::string_view text) {
  unsigned v = 0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, v);
  if (text.empty() || ec != std::errc() || ptr != end || v == 0 || v > 65535) return std::nullopt;
  return static_cast<std::uint16_t>(v);
}

// -h's value: HOST, HOST:PORT, [HOST]:PORT or [HOST]; an address with more than one ':' and no
// brackets is an IPv6 address without a port. The host, and the port text if one is given.
std::pair<std::string, std::optional<std::string>> split_host(const std::string& text) {
  if (text.starts_with('[')) {
    const std::size_t close = text.find(']');
    if (close == std::string::npos) {
      throw CLI::ValidationError(fmt::format("-h {}: expected [ADDRESS]:PORT", text));
    }
    const std::string rest = text.substr(close + 1);
    if (rest.empty()) return {text.substr(1, close - 1), std::nullopt};
    if (!rest.starts_with(':')) {
      throw CLI::ValidationError(fmt::format("-h {}: expected [ADDRESS]:PORT", text));
    }
    return {text.substr(1, close - 1), rest.substr(1)};
  }
  const std::size_t colon = text.find(':');
  if (colon == std::string::npos || text.find(':', colon + 1) != std::string::npos) {
    return {text, std::nullopt};
  }
  return {text.substr(0, colon), text.substr(colon + 1)};
}

// The options of the program's own command line (connection, the shell's input), given
// anywhere before or after the command.
class ProgramOptions {
 public:
  void add_to(CLI::App& app, Invocation& inv) {
    app.set_version_flag("-V,--version", fmt::format("kavrel-cli {}", kVersion));
    host_ =
        app.add_option("-h,--host", host_value_,
                       "The server's TCP address: HOST with -p PORT, or HOST:PORT ([ADDRESS]:PORT "
                       "for IPv6); instead of the Unix socket")
            ->type_name("HOST");
    port_ = app.add_option("-p,--port", port_value_, "The server's TCP port (with -h HOST)")
                ->type_name("PORT");
    app.add_flag("--tls", inv.tls,
                 "TLS to the server (checks its certificate and name; TLS 1.2 at least)");
    ca_ = app.add_option("--ca", ca_value_,
                         "The CA certificates that the server's must chain to (PEM; default: the "
                         "system's); implies --tls")
              ->type_name("FILE");
    cert_ = app.add_option("--cert", cert_value_,
                           "A client certificate (PEM) to present, with --key; implies --tls")
                ->type_name("FILE");
    key_ = app.add_option("--key", key_value_, "The client certificate's private key (PEM)")
               ->type_name("FILE");
    user_ = app.add_option("--user", user_value_,
                           "Logs in as NAME; the password from KAVREL_PASSWORD, ~/.kavrelpass or "
                           "a prompt")
                ->type_name("NAME");
    socket_ = app.add_option("-s,--socket", socket_value_,
                             fmt::format("The server's Unix socket (default: {})", kDefaultSocket))
                  ->type_name("SOCKET");
    db_ =
        app.add_option("-d,--db", db_value_, "The database directory: its socket is DB/kavrel.sock")
            ->type_name("DB");
    file_ = app.add_option("-f,--file", file_value_, "Runs the commands of FILE, one a line")
                ->type_name("FILE");
    app.add_flag("--bail", inv.bail,
                 "Commands from a file or pipe: stop at the first failing line (status 1)");
  }

  // Throws CLI::ValidationError for options that do not go together (-s and -d, -h and -s, TLS
  // without -h, ...) and for a bad port.
  void finish(Invocation& inv) const {
    if (socket_ == nullptr) return;  // the shell's lines have none
    if (socket_->count() > 0 && db_->count() > 0) {
      throw CLI::ValidationError("give either -s SOCKET or -d DB, not both");
    }
    if (socket_->count() > 0) inv.socket = socket_value_;
    if (db_->count() > 0) inv.db = db_value_;
    if (file_->count() > 0) inv.file = file_value_;
    if (user_->count() > 0) {
      if (user_value_.empty()) throw CLI::ValidationError("--user: the user name is empty");
      inv.user = user_value_;
    }
    finish_tcp(inv);
  }

 private:
  void finish_tcp(Invocation& inv) const {
    if (ca_->count() > 0) inv.ca = ca_value_;
    if (cert_->count() > 0) inv.cert = cert_value_;
    if (key_->count() > 0) inv.key = key_value_;
    inv.tls = inv.tls || inv.ca || inv.cert || inv.key;
    if (host_->count() == 0) {
      if (port_->count() > 0) throw CLI::ValidationError("-p PORT goes with -h HOST");
      if (inv.tls) {
        throw CLI::ValidationError(
            "--tls, --ca, --cert and --key go with -h HOST: the Unix socket has no TLS");
      }
      return;
    }
    if (inv.socket || inv.db) {
      throw CLI::ValidationError("give either -h HOST (TCP) or -s SOCKET / -d DB, not both");
    }
    if (inv.cert.has_value() != inv.key.has_value()) {
      throw CLI::ValidationError("--cert FILE and --key FILE go together");
    }
    auto [host, port_text] = split_host(host_value_);
    if (host.empty()) throw CLI::ValidationError(fmt::format("-h {}: no host", host_value_));
    if (port_text && port_->count() > 0) {
      throw CLI::ValidationError("give the port once: -h HOST:PORT or -h HOST -p PORT");
    }
    if (!port_text && port_->count() == 0) {
      throw CLI::ValidationError(
          fmt::format("-h {} needs a port: -p PORT, or -h HOST:PORT", host_value_));
    }
    const std::string text = port_text ? *port_text : port_value_;
    const auto port = parse_port(text);
    if (!port) {
      throw CLI::ValidationError(
          fmt::format("invalid port '{}': expected a whole number from 1 to 65535", text));
    }
    inv.host = std::move(host);
    inv.port = *port;
  }

  std::string socket_value_, db_value_, file_value_;
  std::string host_value_, port_value_, ca_value_, cert_value_, key_value_, user_value_;
  CLI::Option* socket_ = nullptr;
  CLI::Option* db_ = nullptr;
  CLI::Option* file_ = nullptr;
  CLI::Option* host_ = nullptr;
  CLI::Option* port_ = nullptr;
  CLI::Option* ca_ = nullptr;
  CLI::Option* cert_ = nullptr;
  CLI::Option* key_ = nullptr;
  CLI::Option* user_ = nullptr;
};

// The subcommands of the table, and where the parser puts what they are given until finish()
// moves it into the Invocation.
class CommandValues {
 public:
  void add_to(CLI::App& app, const Command& c, Invocation& inv) {
    CLI::App* sub = app.add_subcommand(std::string(c.name), std::string(c.summary));
    auto& slots = positionals_.emplace_back();
    slots.reserve(c.positionals.size());  // never reallocated: the parser keeps their addresses
    for (const Positional& p : c.positionals) {
      Slot& slot = slots.emplace_back(Slot{&p, {}, {}});
      CLI::Option* o = p.many ? sub->add_option(std::string(p.name), slot.many, std::string(p.help))
                              : sub->add_option(std::string(p.name), slot.one, std::string(p.help));
      if (p.required) o->required();
    }
    for (const CommandOption& option : c.options) add_option(*sub, option, inv);
    subcommands_.push_back(sub);
  }

  // The chosen command's positionals in args, its numbers checked, its options moved in place.
  void finish(Invocation& inv) const {
    for (std::size_t i = 0; i < subcommands_.size(); ++i) {
      if (subcommands_[i]->get_name() != inv.command) continue;
      for (const Slot& slot : positionals_[i]) {
        if (slot.positional->many) {
          inv.args.insert(inv.args.end(), slot.many.begin(), slot.many.end());
        } else if (slot.positional->required || !slot.one.empty()) {
          inv.args.push_back(slot.one);
        }
      }
    }
    inv.limit = parse_u32(limit_, "--limit");
    inv.offset = parse_u32(offset_, "--offset");
    if (static_cast<int>(inv.raw) + static_cast<int>(inv.csv) + static_cast<int>(inv.json) > 1) {
      throw CLI::ValidationError("give at most one of --raw, --csv and --json");
    }
    if (!output_.empty()) inv.output = output_;
    if (!key_file_.empty()) inv.key_file = key_file_;
    if (null_given_) inv.null_text = null_text_;
    if (role_given_) inv.role = role_;
    if (prefix_given_) inv.prefix = prefix_;
  }

 private:
  struct Slot {
    const Positional* positional;
    std::string one;
    std::vector<std::string> many;
  };

  void add_option(CLI::App& sub, const CommandOption& option, Invocation& inv) {
    const std::string flags(option.flags), help(option.help);
    switch (option.field) {
      case OptionField::Output: sub.add_option(flags, output_, help)->type_name("FILE"); break;
      case OptionField::Raw: sub.add_flag(flags, inv.raw, help); break;
      case OptionField::Csv: sub.add_flag(flags, inv.csv, help); break;
      case OptionField::Json: sub.add_flag(flags, inv.json, help); break;
      case OptionField::Limit: sub.add_option(flags, limit_, help)->type_name("N"); break;
      case OptionField::Offset: sub.add_option(flags, offset_, help)->type_name("N"); break;
      case OptionField::Columns:
        sub.add_option(flags, inv.columns, help)->type_name("a,b")->delimiter(',');
        break;
      case OptionField::Verify: sub.add_flag(flags, inv.verify, help); break;
      case OptionField::KeyFile: sub.add_option(flags, key_file_, help)->type_name("FILE"); break;
      case OptionField::Role:
        sub.add_option_function<std::string>(
               flags,
               [this](const std::string& text) {
                 role_ = text;
                 role_given_ = true;
               },
               help)
            ->type_name("ROLE");
        break;
      case OptionField::Prefix:
        sub.add_option_function<std::string>(
               flags,
               [this](const std::string& text) {
                 prefix_ = text;
                 prefix_given_ = true;
               },
               help)
            ->type_name("P");
        break;
      case OptionField::Null:
        sub.add_option_function<std::string>(
               flags,
               [this](const std::string& text) {
                 null_text_ = text;
                 null_given_ = true;
               },
               help)
            ->type_name("TEXT");
        break;
    }
  }

  std::vector<CLI::App*> subcommands_;
  std::vector<std::vector<Slot>> positionals_;  // by subcommand
  std::string output_, null_text_, key_file_, role_, prefix_;
  bool null_given_ = false, role_given_ = false, prefix_given_ = false;
  std::string limit_ = "0", offset_ = "0";
};

}  // namespace

const std::vector<std::string>& command_names() {
  static const std::vector<std::string> names = [] {
    std::vector<std::string> out;
    for (const Command& c : commands()) out.emplace_back(c.name);
    return out;
  }();
  return names;
}

std::string shell_help() {
  std::string out =
      "Commands (COMMAND --help shows its options; --hex works with every command):\n";
  for (const Command& c : commands()) {
    if (!c.usage.empty()) out += help_row(c);
  }
  return out + kShellHelpFooter;
}

std::string Invocation::address() const {
  if (!host) return {};
  const bool v6 = host->find(':') != std::string::npos;
  return fmt::format("{}{}{}:{}", v6 ? "[" : "", *host, v6 ? "]" : "", port);
}

std::string Invocation::socket_path() const {
  if (socket) return *socket;
  if (db) return (std::filesystem::path(*db) / "kavrel.sock").string();
  return kDefaultSocket;
}

ParsedLine parse_command_line(std::vector<std::string> words, bool in_shell) {
  // -h alone names no host: it asks for the help, as it always did.
  if (!in_shell && words == std::vector<std::string>{"-h"}) words = {"--help"};
  const std::size_t cmd = command_index(words, in_shell);
  fold_command_case(words, cmd);
  Invocation inv;
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
  // -h is the host on the program's command line (--help stays); in the shell, which has no
  // connection options, it is still help. Subcommands take the flag as it is set here.
  if (!in_shell) app.set_help_flag("--help", "Print this help message and exit");
  ProgramOptions program;
  if (!in_shell) program.add_to(app, inv);
  app.add_flag("--hex", inv.hex, "Values in hexadecimal");
  CommandValues values;
  for (const Command& c : commands()) {
    if (in_shell || c.scope != Scope::ShellItself) values.add_to(app, c, inv);
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
    values.finish(inv);
    normalize_paths(inv);
    program.finish(inv);
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
  out.invocation = std::move(inv);
  return out;
}

}  // namespace kavrel::cli
