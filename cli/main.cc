// kavrel-cli: one command against a running kavrel-server, or a shell without one.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "cli/command_line.h"
#include "cli/session.h"
#include "cli/shell.h"

int main(int argc, char** argv) {
  using namespace kavrel::cli;
  const ParsedLine parsed = parse_command_line(std::vector<std::string>(argv + 1, argv + argc),
                                               /*in_shell=*/false);
  std::fputs(parsed.out.c_str(), stdout);
  std::fputs(parsed.err.c_str(), stderr);
  if (!parsed.invocation) return parsed.status;
  const Invocation& inv = *parsed.invocation;

  SessionOptions options;
  options.socket = inv.socket_path();
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
  Session session(options);
  if (!options.in_shell) return session.run(inv);
  ShellOptions shell;
  shell.interactive = !inv.file && ::isatty(STDIN_FILENO) == 1;
  shell.hex = inv.hex;
  shell.bail = inv.bail;
  if (inv.file) shell.in = &file;
  return run_shell(session, shell);
}
