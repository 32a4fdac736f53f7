// The commands of kavrel-cli, one row each. The parser (command_line.cc), the shell's help and
// completion (shell.cc) and Session's dispatch all read this table, so a command is added here
// and nowhere else.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace kavrel::cli {

class Session;
struct Invocation;

// A positional argument; every one lands in Invocation::args, in order (an optional one only when
// given and not empty).
struct Positional {
  std::string_view name, help;
  bool required = true;
  bool many = false;  // takes every remaining word
};

// The Invocation field an option sets.
enum class OptionField : std::uint8_t {
  Output,  // -o FILE
  Raw,     // flags
  Csv,
  Json,
  Limit,  // whole numbers
  Offset,
  Columns,  // a,b
  Null,     // TEXT
  Verify,   // flag
  KeyFile,  // FILE
  Role,     // user add: read, write or admin
  Prefix,   // user add: a key prefix
};

struct CommandOption {
  OptionField field;
  std::string_view flags;  // "-o,--output", "--raw"
  std::string_view help;
};

enum class Scope : std::uint8_t {
  Anywhere,
  // Needs the shell's connection: a transaction handle ends with the connection that began it.
  Shell,
  // The shell's own commands (help, quit, exit): only the shell parses and runs them.
  ShellItself,
};

struct Command {
  std::string_view name;
  std::string_view summary;  // the description of COMMAND --help
  std::span<const Positional> positionals;
  std::span<const CommandOption> options;
  // The row of the shell's help: the usage, then the help text (its lines separated by '\n').
  // A command without a usage shares the row of the one before it (quit, exit).
  std::string_view usage, help;
  Scope scope = Scope::Anywhere;
  bool completes_table = false;  // Tab completes a table name in the word after it
  // Checks and resolves the arguments before connecting, so that a bad one costs no round trip
  // (nullptr: nothing to check); then runs the command. Each returns an exit status.
  int (Session::*prepare)(const Invocation&) = nullptr;
  int (Session::*run)(const Invocation&) = nullptr;  // nullptr for the shell's own commands
  // Whether this invocation runs without the server (backup --verify reads files only): run is
  // then called without connecting. nullptr: it always needs the server.
  bool (*offline)(const Invocation&) = nullptr;
};

// Every command, in the order of the help texts.
std::span<const Command> commands();

// The command of that name (exactly: names are lower case), or nullptr.
const Command* find_command(std::string_view name);

}  // namespace kavrel::cli
