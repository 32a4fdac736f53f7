// Where kavrel-cli takes passwords from. Neither kind is ever printed, logged or sent: the login's
// only computes the SCRAM proof (clients/cpp/kavrel_client.h), a new user's only its verifier.
//
// The login's password (--user NAME): KAVREL_PASSWORD; else the first line of ~/.kavrelpass that
// matches the server and the user; else a prompt without echo when standard input is a terminal.
//
// ~/.kavrelpass: lines "host:port:user:password"; "*" in the host, port or user field matches
// anything; "\:" and "\\" write ':' and '\' inside a field; empty lines and lines starting with
// '#' are skipped, as are lines with fewer than four fields (with a warning naming the line). For
// the Unix socket the host field is the socket's path and the port field must be "*". The file
// must be a regular file that only its owner may read or write (mode 0600 or 0400): otherwise it
// is refused, and with it the command.
//
// A new user's password (user add, user passwd): KAVREL_NEW_PASSWORD; else KAVREL_PASSWORD when
// the login takes none (no --user: the Unix socket, where the first admin is made); else a
// prompt on the terminal, asked twice.
//
// An empty variable counts as unset.
#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"

namespace kavrel::cli {

inline constexpr const char* kPasswordEnv = "KAVREL_PASSWORD";
inline constexpr const char* kNewPasswordEnv = "KAVREL_NEW_PASSWORD";
inline constexpr const char* kPassFileName = ".kavrelpass";

// What the password sources are, so that tests can stand in for the process's.
struct PasswordSources {
  // A variable's value; nullopt when it is unset or empty.
  std::function<std::optional<std::string>(const char* name)> env;
  // The directory of .kavrelpass; empty: none.
  std::filesystem::path home;
  // Asks on the terminal without echo; nullopt without a terminal, or when the input ended.
  std::function<std::optional<std::string>(const std::string& prompt)> ask;
  // Where warnings go (a skipped line of .kavrelpass).
  std::function<void(const std::string& line)> warn;

  // The process's environment, $HOME, standard input when it is a terminal (read_secret),
  // standard error.
  static PasswordSources of_process();
};

// The server and the user a password is for, as .kavrelpass matches them.
struct PassKey {
  std::string host;  // the host as given (an IPv6 address without brackets), or the socket path
  std::string port;  // decimal; empty for the Unix socket
  std::string user;
};

// The password of the first line of a .kavrelpass text that matches key, and the numbers
// (1-based) of the lines skipped as malformed before it.
struct PassFileMatch {
  std::optional<std::string> password;
  std::vector<std::size_t> malformed_lines;
};
PassFileMatch find_password(std::string_view text, const PassKey& key);

// The login's password, or why there is none (a text for people, naming no secret).
Result<std::string, std::string> login_password(const PasswordSources& sources, const PassKey& key);

// The new password of user; login_takes_password: the login uses KAVREL_PASSWORD (or another
// source), which is then not the new one.
Result<std::string, std::string> new_password(const PasswordSources& sources, std::string_view user,
                                              bool login_takes_password);

// Reads one line from standard input, which must be a terminal, with the echo off (the prompt
// goes to standard error). nullopt without a terminal, at the end of input, or on Ctrl-C (which
// then goes on to the handler there was: without one, it ends the program, the echo restored).
std::optional<std::string> read_secret(const std::string& prompt);

// Wipes a password's bytes (its whole buffer).
void wipe(std::string& secret);

}  // namespace kavrel::cli
