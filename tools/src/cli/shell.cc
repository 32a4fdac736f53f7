#include "tools/src/cli/shell.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>

#include <fmt/format.h>

#if KAVREL_HAVE_READLINE
#include <readline/history.h>
#include <readline/readline.h>
#endif

#include "tools/src/cli/shell_words.h"

namespace kavrel::cli {
namespace {

// The server closes a connection after 30 seconds without a request; a PING well within that
// keeps the shell's connection, and so its transaction handles, alive.
constexpr std::chrono::seconds kKeepaliveInterval{10};

std::string prompt(const Session& session) {
  const auto& handles = session.handles();
  if (handles.empty()) return "kavrel> ";
  std::string list;
  for (const auto h : handles) list += (list.empty() ? "" : ",") + std::to_string(h);
  return fmt::format("kavrel(txn {})> ", list);
}

// Reads lines with readline on a terminal (when built with it), else with std::getline.
class LineReader {
 public:
  explicit LineReader(bool interactive) : interactive_(interactive) {
#if KAVREL_HAVE_READLINE
    if (interactive_) {
      if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
        history_ = (std::filesystem::path(home) / ".kavrel_history").string();
        ::read_history(history_.c_str());
      }
    }
#endif
  }
  ~LineReader() {
#if KAVREL_HAVE_READLINE
    if (!history_.empty()) ::write_history(history_.c_str());
#endif
  }
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;

  std::optional<std::string> read(const std::string& prompt_text) {
#if KAVREL_HAVE_READLINE
    if (interactive_) {
      char* line = ::readline(prompt_text.c_str());
      if (line == nullptr) return std::nullopt;
      std::string out(line);
      std::free(line);
      if (!out.empty()) ::add_history(out.c_str());
      return out;
    }
#endif
    if (interactive_) {
      std::fputs(prompt_text.c_str(), stdout);
      std::fflush(stdout);
    }
    std::string out;
    if (!std::getline(std::cin, out)) return std::nullopt;
    return out;
  }

 private:
  bool interactive_;
  std::string history_;
};

}  // namespace

int run_shell(Session& session, bool interactive, bool hex) {
  if (const int status = session.connect(); status != kExitOk) return status;
  session.start_keepalive(kKeepaliveInterval);
  if (interactive) {
    std::printf("kavrel-cli shell: type 'help' for the commands, 'quit' to leave.\n");
  }
  LineReader reader(interactive);
  int last_failure = kExitOk;
  while (auto line = reader.read(prompt(session))) {
    auto words = split_words(*line);
    if (!words) {
      std::fprintf(stderr, "error: %s\n", words.error().c_str());
      last_failure = kExitUsage;
      continue;
    }
    if (words->empty()) continue;
    ParsedLine parsed = parse_command_line(std::move(*words), true);
    std::fputs(parsed.out.c_str(), stdout);
    std::fputs(parsed.err.c_str(), stderr);
    if (!parsed.invocation) {
      if (parsed.status != kExitOk) last_failure = parsed.status;
      continue;
    }
    Invocation& inv = *parsed.invocation;
    inv.hex = inv.hex || hex;
    if (inv.command.empty()) continue;
    if (inv.command == "quit" || inv.command == "exit") break;
    if (inv.command == "help") {
      std::fputs(shell_help().c_str(), stdout);
      continue;
    }
    const int status = session.run(inv);
    std::fflush(stdout);
    std::fflush(stderr);
    if (status != kExitOk) last_failure = status;
  }
  if (interactive) {
    // After end of input the prompt's line is still open.
    std::putchar('\n');
    return kExitOk;
  }
  return last_failure;
}

}  // namespace kavrel::cli
