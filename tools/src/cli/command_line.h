// The command line of kavrel-cli and of each line of its shell: which command, its arguments
// and options. Parsing only; running is session.h's job.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kavrel::cli {

// Exit statuses of kavrel-cli.
inline constexpr int kExitOk = 0;
inline constexpr int kExitServerError = 1;  // the server answered ERROR (or refused)
inline constexpr int kExitUsage = 2;        // a bad command line or a bad value
inline constexpr int kExitUnreachable = 3;  // no connection to the server

inline constexpr const char* kDefaultSocket = "./kavrel_data/kavrel.sock";

// One command as parsed.
struct Invocation {
  std::string command;            // empty: no command (the shell)
  std::vector<std::string> args;  // its positional arguments, in order
  // put-path given as SEG... -- VALUE: the value (args then holds the segments).
  std::optional<std::string> path_value;
  bool hex = false;   // values given and shown in hexadecimal
  bool raw = false;   // query: the TOON text itself
  bool json = false;  // stats, sql: the server's JSON as it is
  std::uint32_t limit = 0, offset = 0;
  std::vector<std::string> columns;
  // Connection options (the program's command line only).
  std::optional<std::string> socket, db;

  // -s SOCKET, else DB/kavrel.sock, else the default.
  std::string socket_path() const;
};

// The result of parsing: an invocation to run, or the exit status with the text to print (help
// on standard output, errors on standard error).
struct ParsedLine {
  std::optional<Invocation> invocation;
  int status = kExitOk;
  std::string out, err;
};

// The shell's help: every command with its arguments, one a line.
std::string shell_help();

// Parses words (without the program name). in_shell selects the shell's command set: no
// connection options, and help/quit/exit.
ParsedLine parse_command_line(std::vector<std::string> words, bool in_shell);

}  // namespace kavrel::cli
