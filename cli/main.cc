// kavrel-cli: one command against a running kavrel-server, or a shell without one.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "cli/command_line.h"
#include "cli/credentials.h"
#include "cli/session.h"
#include "cli/shell.h"

namespace {

// Where the command line says to connect; the login is added once its password is known.
kavrel::ConnectOptions connect_options(const kavrel::cli::Invocation& inv) {
  kavrel::ConnectOptions c;
  if (!inv.host) {
    c.socket = inv.socket_path();
    return c;
  }
  c.host = *inv.host;
  c.port = inv.port;
  if (inv.tls) {
    c.tls =
        kavrel::TlsOptions{inv.ca.value_or(""), inv.cert.value_or(""), inv.key.value_or(""), ""};
  }
  return c;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace kavrel::cli;
  const ParsedLine parsed = parse_command_line(std::vector<std::string>(argv + 1, argv + argc),
                                               /*in_shell=*/false);
  std::fputs(parsed.out.c_str(), stdout);
  std::fputs(parsed.err.c_str(), stderr);
  if (!parsed.invocation) return parsed.status;
  const Invocation& inv = *parsed.invocation;

  SessionOptions options;
  options.connect = connect_options(inv);
  options.in_shell = inv.command.empty();
  options.stdout_tty = ::isatty(STDOUT_FILENO) == 1;
  if (!options.in_shell && (inv.file || inv.bail)) {
    std::fprintf(stderr, "error: -f and --bail belong to the shell: give them without a command\n");
    return kExitUsage;
  }
  std::ifstream file;
  if (inv.file) {
    file.open(*inv.file);
    if (!file) {
      std::fprintf(stderr, "error: cannot read \"%s\": %s\n", inv.file->c_str(),
                   std::strerror(errno));
      return kExitUsage;
    }
  }
  if (inv.user) {
    // Asked before anything else, so that a prompt comes first and a missing password costs no
    // connection.
    const PassKey key{inv.host.value_or(inv.socket_path()),
                      inv.host ? std::to_string(inv.port) : std::string(), *inv.user};
    auto password = login_password(options.passwords, key);
    if (!password) {
      std::fprintf(stderr, "error: %s\n", password.error().c_str());
      return kExitUsage;
    }
    options.connect.login = kavrel::Login{*inv.user, std::move(*password)};
  }
  const bool in_shell = options.in_shell;
  Session session(std::move(options));
  if (!in_shell) return session.run(inv);
  ShellOptions shell;
  shell.interactive = !inv.file && ::isatty(STDIN_FILENO) == 1;
  shell.hex = inv.hex;
  shell.bail = inv.bail;
  if (inv.file) shell.in = &file;
  return run_shell(session, shell);
}
