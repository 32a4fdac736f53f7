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
  bool raw = false;   // query: the TOON text itself; get, get-path: the value's bytes alone
  bool json = false;  // stats, sql: the server's JSON as it is; query, scan: JSON output
  bool csv = false;   // query, scan: CSV output
  std::optional<std::string> null_text;  // query: how NULL is shown (--null)
  std::optional<std::string> output;     // get, get-path: the file the value is written to
  std::uint32_t limit = 0, offset = 0;
  std::vector<std::string> columns;
  bool verify = false;                  // backup: check a backup's files instead of writing one
  std::optional<std::string> key_file;  // backup --verify: the key of an encrypted backup
  // user: its --role and --prefix.
  std::optional<std::string> role, prefix;
  // Options of the program's command line only: connection, and the shell's input.
  std::optional<std::string> socket, db;
  // TCP (-h HOST, -p PORT or -h HOST:PORT): host without brackets, port checked. tls is set by
  // --tls, and by --ca, --cert or --key.
  std::optional<std::string> host;
  std::uint16_t port = 0;
  bool tls = false;
  std::optional<std::string> ca, cert, key;
  std::optional<std::string> user;  // --user: log in as this user
  std::optional<std::string> file;  // -f: commands from this file instead of standard input
  bool bail = false;                // --bail: the shell stops at the first failing command

  // -s SOCKET, else DB/kavrel.sock, else the default.
  std::string socket_path() const;
  // HOST:PORT as people write it ([HOST]:PORT for an IPv6 address); empty without -h.
  std::string address() const;
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

// Every command name of the shell, in the order of its help (for completion).
const std::vector<std::string>& command_names();

// Parses words (without the program name). in_shell selects the shell's command set: no
// connection options, and help/quit/exit.
ParsedLine parse_command_line(std::vector<std::string> words, bool in_shell);

}  // namespace kavrel::cli
