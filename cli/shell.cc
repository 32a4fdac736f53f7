#include "cli/shell.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>

#include <fmt/format.h>

#if KAVREL_HAVE_READLINE
#include <readline/history.h>
#include <readline/readline.h>
#endif

#include "cli/commands.h"
#include "cli/shell_words.h"

namespace kavrel::cli {
namespace {

// The server closes a connection after its idle time-out (30 seconds unless kavrel-server is
// given --timeout-ms); while a transaction is open, a PING well within the default keeps the
// shell's connection, and so its transaction handles, alive.
constexpr std::chrono::seconds kKeepaliveInterval{10};

// Ctrl-C in the interactive shell: the handler only records it and interrupts the running
// command (Session::interrupt is safe there); the line reader clears the line. The completion
// asks the session for table names.
volatile std::sig_atomic_t g_interrupted = 0;
Session* g_session = nullptr;

void on_sigint(int /*signo*/) {
  g_interrupted = 1;
  if (g_session != nullptr) g_session->interrupt();
}

// Installs on_sigint for the life of the interactive shell, without SA_RESTART so that a
// blocking read returns.
class SigintGuard {
 public:
  explicit SigintGuard(Session& session) {
    g_session = &session;
    struct sigaction sa {};
    sa.sa_handler = on_sigint;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGINT, &sa, &old_);
  }
  ~SigintGuard() {
    ::sigaction(SIGINT, &old_, nullptr);
    g_session = nullptr;
  }
  SigintGuard(const SigintGuard&) = delete;
  SigintGuard& operator=(const SigintGuard&) = delete;

 private:
  struct sigaction old_ {};
};

std::string prompt(const Session& session) {
  const auto& handles = session.handles();
  if (handles.empty()) return "kavrel> ";
  std::string list;
  for (const auto h : handles) {
    if (!list.empty()) list += ',';
    list += std::to_string(h);
  }
  return fmt::format("kavrel(txn {})> ", list);
}

#if KAVREL_HAVE_READLINE
// The line readline's callback interface hands over: set by on_line, read by LineReader.
std::optional<std::string> g_line;
bool g_line_done = false;

void on_line(char* line) {
  g_line = line == nullptr ? std::nullopt : std::optional<std::string>(line);
  g_line_done = true;
  std::free(line);
  ::rl_callback_handler_remove();  // the terminal goes back to normal while the command runs
}

// One line with readline's callback interface: the wait for a key is a poll() of our own, so
// Ctrl-C interrupts it at once (readline()'s own read only sees the signal at the next key).
// Ctrl-C drops the line being typed and draws a fresh prompt.
std::optional<std::string> read_with_readline(const std::string& prompt_text) {
  g_line.reset();
  g_line_done = false;
  // SIGINT is blocked except inside ppoll(): a Ctrl-C that comes while readline handles a key
  // is then delivered as the wait begins, and interrupts it, instead of being missed until the
  // next key.
  sigset_t block, waiting;
  sigemptyset(&block);
  sigaddset(&block, SIGINT);
  ::pthread_sigmask(SIG_BLOCK, &block, &waiting);
  sigdelset(&waiting, SIGINT);
  ::rl_callback_handler_install(prompt_text.c_str(), on_line);
  while (!g_line_done) {
    if (g_interrupted != 0) {
      g_interrupted = 0;
      ::rl_free_line_state();
      ::rl_callback_sigcleanup();
      ::rl_replace_line("", 0);
      std::fputs("^C", rl_outstream);
      ::rl_crlf();
      ::rl_on_new_line();
      ::rl_redisplay();
    }
    pollfd p{STDIN_FILENO, POLLIN, 0};
    if (::ppoll(&p, 1, nullptr, &waiting) < 0) {
      if (errno != EINTR) break;
      continue;
    }
    ::rl_callback_read_char();
  }
  if (!g_line_done) ::rl_callback_handler_remove();
  ::pthread_sigmask(SIG_UNBLOCK, &block, nullptr);
  return g_line;
}

// The matches of the completion under way, handed to readline one by one.
std::vector<std::string> g_matches;
std::size_t g_next_match = 0;

char* match_generator(const char* /*text*/, int /*state*/) {
  if (g_next_match >= g_matches.size()) return nullptr;
  return ::strdup(g_matches[g_next_match++].c_str());
}

// Command names complete in the first word, table names after the commands that take one; other
// words complete as file names (for @FILE).
char** complete(const char* text, int start, int /*end*/) {
  auto matches = complete_word(
      std::string_view(::rl_line_buffer, static_cast<std::size_t>(start)), text,
      [] { return g_session != nullptr ? g_session->table_names() : std::vector<std::string>{}; });
  if (!matches) return nullptr;
  ::rl_attempted_completion_over = 1;
  g_matches = std::move(*matches);
  g_next_match = 0;
  return ::rl_completion_matches(text, match_generator);
}
#endif

// Reads lines with readline on a terminal (when built with it), else from a stream.
class LineReader {
 public:
  LineReader(bool interactive, std::istream& in) : interactive_(interactive), in_(in) {
#if KAVREL_HAVE_READLINE
    if (interactive_) {
      ::rl_readline_name = "kavrel";
      ::rl_attempted_completion_function = complete;
      // Names complete in any case: "DESC" becomes "describe".
      ::rl_variable_bind("completion-ignore-case", "on");
      // Ctrl-C stays with on_sigint: readline's own handler would hold the signal back until
      // the next key.
      ::rl_catch_signals = 0;
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

  // The next line; nullopt at the end of input. Ctrl-C drops the line being typed (without
  // readline: an empty line is returned).
  std::optional<std::string> read(const std::string& prompt_text) {
    g_interrupted = 0;
#if KAVREL_HAVE_READLINE
    if (interactive_) {
      auto out = read_with_readline(prompt_text);
      if (out && !out->empty()) ::add_history(out->c_str());
      return out;
    }
#endif
    if (interactive_) {
      std::fputs(prompt_text.c_str(), stdout);
      std::fflush(stdout);
    }
    std::string out;
    if (!std::getline(in_, out)) {
      if (interactive_ && g_interrupted != 0) {
        in_.clear();  // Ctrl-C interrupted the read: a fresh prompt
        std::fputs("\n", stdout);
        return std::string();
      }
      return std::nullopt;
    }
    return out;
  }

 private:
  bool interactive_;
  std::istream& in_;
  std::string history_;
};

// "error: TEXT" lines of the parser with the line named: "error: line N: TEXT".
std::string name_line(const std::string& err, std::size_t line) {
  if (line == 0 || !err.starts_with("error: ")) return err;
  return fmt::format("error: line {}: {}", line, err.substr(7));
}

}  // namespace

namespace {

std::string lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

// The names that start with text, ignoring case.
std::vector<std::string> starting_with(const std::vector<std::string>& names,
                                       std::string_view text) {
  const std::string prefix = lower(text);
  std::vector<std::string> out;
  for (const auto& name : names) {
    if (lower(name).starts_with(prefix)) out.push_back(name);
  }
  return out;
}

}  // namespace

std::vector<std::string> complete_command(std::string_view text) {
  return starting_with(command_names(), text);
}

std::optional<std::vector<std::string>> complete_word(
    std::string_view before, std::string_view text,
    const std::function<std::vector<std::string>()>& tables) {
  constexpr std::string_view kBlanks = " \t";
  const std::size_t first = before.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return complete_command(text);
  const std::size_t first_end = std::min(before.find_first_of(kBlanks, first), before.size());
  // Only the word right after the command names a table.
  if (before.find_first_not_of(kBlanks, first_end) != std::string_view::npos) return std::nullopt;
  if (first_end == before.size()) return std::nullopt;  // no blank yet after the command
  const Command* command = find_command(lower(before.substr(first, first_end - first)));
  if (command == nullptr || !command->completes_table) return std::nullopt;
  return starting_with(tables(), text);
}

int run_shell(Session& session, const ShellOptions& options) {
  if (const int status = session.connect(); status != kExitOk) return status;
  session.start_keepalive(kKeepaliveInterval);
  std::optional<SigintGuard> sigint;
  if (options.interactive) {
    sigint.emplace(session);
    std::printf("kavrel-cli shell: type 'help' for the commands, 'quit' or Ctrl-D to leave.\n");
  }
  LineReader reader(options.interactive, options.in != nullptr ? *options.in : std::cin);
  int last_failure = kExitOk;
  std::size_t line_number = 0;
  // Without a terminal, a failing line ends the run under bail.
  const auto failed = [&](int status) -> std::optional<int> {
    last_failure = status;
    if (!options.bail || options.interactive) return std::nullopt;
    return status == kExitUnreachable ? kExitUnreachable : kExitServerError;
  };
  while (auto line = reader.read(prompt(session))) {
    ++line_number;
    if (!options.interactive) session.set_line(line_number);
    auto words = split_words(*line);
    if (!words) {
      session.error_line(words.error());
      if (auto stop = failed(kExitUsage)) return *stop;
      continue;
    }
    if (words->empty()) continue;
    ParsedLine parsed = parse_command_line(std::move(*words), true);
    std::fputs(parsed.out.c_str(), stdout);
    std::fputs(name_line(parsed.err, options.interactive ? 0 : line_number).c_str(), stderr);
    if (!parsed.invocation) {
      if (parsed.status != kExitOk) {
        if (auto stop = failed(parsed.status)) return *stop;
      }
      continue;
    }
    Invocation& inv = *parsed.invocation;
    inv.hex = inv.hex || options.hex;
    if (inv.command.empty()) continue;
    if (inv.command == "quit" || inv.command == "exit") {
      session.abort_open_transactions();
      break;
    }
    if (inv.command == "help") {
      std::string name = inv.args.empty() ? "" : inv.args[0];
      for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      if (inv.args.empty()) {
        std::fputs(shell_help().c_str(), stdout);
      } else if (find_command(name) == nullptr) {
        session.error_line(
            fmt::format("unknown command '{}': 'help' lists the commands", inv.args[0]));
        if (auto stop = failed(kExitUsage)) return *stop;
      } else {
        // The command's own --help; an unknown name is the parser's usage error.
        ParsedLine help = parse_command_line({inv.args[0], "--help"}, true);
        std::fputs(help.out.c_str(), stdout);
        std::fputs(name_line(help.err, options.interactive ? 0 : line_number).c_str(), stderr);
        if (help.status != kExitOk) {
          if (auto stop = failed(help.status)) return *stop;
        }
      }
      continue;
    }
    const int status = session.run(inv);
    std::fflush(stdout);
    std::fflush(stderr);
    if (status != kExitOk) {
      if (auto stop = failed(status)) return *stop;
    }
  }
  if (options.interactive) {
    // After end of input the prompt's line is still open.
    std::putchar('\n');
    std::fflush(stdout);
  }
  session.abort_open_transactions();
  if (options.interactive) return kExitOk;
  return last_failure;
}

}  // namespace kavrel::cli
