#include "cli/credentials.h"

#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include <fmt/format.h>

#include "core/text.h"

namespace kavrel::cli {
namespace {

// The fields of one .kavrelpass line: "\:" and "\\" unescaped, split at the other ':'; the
// fourth field takes the rest of the line.
std::vector<std::string> split_fields(std::string_view line) {
  std::vector<std::string> fields(1);
  for (std::size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (c == '\\' && i + 1 < line.size() && (line[i + 1] == ':' || line[i + 1] == '\\')) {
      fields.back() += line[++i];
    } else if (c == ':' && fields.size() < 4) {
      fields.emplace_back();
    } else {
      fields.back() += c;
    }
  }
  return fields;
}

bool field_matches(const std::string& field, const std::string& value) {
  return field == "*" || field == value;
}

// The .kavrelpass file's text; nullopt when there is none; an error when it may not be used.
Result<std::optional<std::string>, std::string> read_pass_file(const std::filesystem::path& file) {
  struct stat st {};
  if (::stat(file.c_str(), &st) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) return std::optional<std::string>();
    return std::unexpected(
        fmt::format("cannot read {}: {}", debug_quote(file.native()), os_error_text(errno)));
  }
  if (!S_ISREG(st.st_mode)) {
    return std::unexpected(fmt::format("{} is not a regular file", debug_quote(file.native())));
  }
  if ((st.st_mode & 077) != 0) {
    return std::unexpected(fmt::format(
        "{} may be read or written by others (mode {:04o}): its passwords are not used; make it "
        "private with: chmod 600 {}",
        debug_quote(file.native()), st.st_mode & 07777, file.native()));
  }
  std::ifstream in(file, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  if (!in) {
    return std::unexpected(
        fmt::format("cannot read {}: {}", debug_quote(file.native()), os_error_text(errno)));
  }
  return std::optional<std::string>(text.str());
}

std::optional<std::string> process_env(const char* name) {
  const char* v = std::getenv(name);
  if (v == nullptr || *v == '\0') return std::nullopt;
  return std::string(v);
}

// Ctrl-C during read_secret: the terminal gets its echo back here, the read returns.
termios g_saved_termios{};
volatile sig_atomic_t g_secret_interrupted = 0;

void on_sigint_in_secret(int /*signo*/) {
  g_secret_interrupted = 1;
  ::tcsetattr(STDIN_FILENO, TCSANOW, &g_saved_termios);
}

}  // namespace

void wipe(std::string& secret) {
  ::explicit_bzero(secret.data(), secret.capacity());
  secret.clear();
}

PasswordSources PasswordSources::of_process() {
  PasswordSources s;
  s.env = process_env;
  if (const auto home = process_env("HOME")) s.home = *home;
  s.ask = read_secret;
  s.warn = [](const std::string& line) { std::fprintf(stderr, "warning: %s\n", line.c_str()); };
  return s;
}

PassFileMatch find_password(std::string_view text, const PassKey& key) {
  PassFileMatch out;
  std::size_t number = 0;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    ++number;
    if (line.ends_with('\r')) line.remove_suffix(1);
    const std::size_t first = line.find_first_not_of(" \t");
    if (first == std::string_view::npos || line[first] == '#') continue;
    std::vector<std::string> f = split_fields(line);
    if (f.size() < 4) {
      out.malformed_lines.push_back(number);
      continue;
    }
    // The Unix socket has no port: only "*" matches its empty one.
    const bool port_ok = key.port.empty() ? f[1] == "*" : field_matches(f[1], key.port);
    if (field_matches(f[0], key.host) && port_ok && field_matches(f[2], key.user)) {
      out.password = std::move(f[3]);
      for (std::size_t i = 0; i < 3; ++i) wipe(f[i]);
      return out;
    }
    wipe(f[3]);
  }
  return out;
}

Result<std::string, std::string> login_password(const PasswordSources& sources,
                                                const PassKey& key) {
  if (auto from_env = sources.env(kPasswordEnv)) return std::move(*from_env);
  if (!sources.home.empty()) {
    const std::filesystem::path file = sources.home / kPassFileName;
    auto text = read_pass_file(file);
    if (!text) return std::unexpected(std::move(text.error()));
    if (*text) {
      PassFileMatch match = find_password(**text, key);
      wipe(**text);
      for (const std::size_t line : match.malformed_lines) {
        if (sources.warn) {
          sources.warn(fmt::format("{} line {} is not host:port:user:password; skipped",
                                   file.native(), line));
        }
      }
      if (match.password) return std::move(*match.password);
    }
  }
  if (auto asked = sources.ask(fmt::format("Password for {}: ", key.user))) {
    return std::move(*asked);
  }
  return std::unexpected(fmt::format(
      "no password for user {}: set {}, add a line for it to ~/{}, or run on a terminal to be "
      "asked",
      debug_quote(key.user), kPasswordEnv, kPassFileName));
}

Result<std::string, std::string> new_password(const PasswordSources& sources, std::string_view user,
                                              bool login_takes_password) {
  if (auto v = sources.env(kNewPasswordEnv)) return std::move(*v);
  if (!login_takes_password) {
    if (auto v = sources.env(kPasswordEnv)) return std::move(*v);
  }
  auto first = sources.ask(fmt::format("New password for {}: ", user));
  if (!first) {
    return std::unexpected(
        fmt::format("no new password for user {}: set {}{}, or run on a terminal to be asked",
                    debug_quote(user), kNewPasswordEnv,
                    login_takes_password ? "" : fmt::format(" (or {})", kPasswordEnv)));
  }
  auto again = sources.ask(fmt::format("New password for {} again: ", user));
  if (!again || *again != *first) {
    wipe(*first);
    if (again) wipe(*again);
    return std::unexpected(std::string("the two passwords differ; nothing was changed"));
  }
  wipe(*again);
  if (first->empty()) return std::unexpected(std::string("the new password is empty"));
  return std::move(*first);
}

std::optional<std::string> read_secret(const std::string& prompt) {
  if (::isatty(STDIN_FILENO) != 1) return std::nullopt;
  termios quiet{};
  if (::tcgetattr(STDIN_FILENO, &g_saved_termios) != 0) return std::nullopt;
  quiet = g_saved_termios;
  quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  quiet.c_lflag |= ECHONL;  // the Enter still moves to the next line
  // Without SA_RESTART: Ctrl-C ends the read below.
  struct sigaction on_int {
  }, old_int{};
  on_int.sa_handler = on_sigint_in_secret;
  sigemptyset(&on_int.sa_mask);
  g_secret_interrupted = 0;
  ::sigaction(SIGINT, &on_int, &old_int);
  // The echo goes off before the prompt shows: whatever is typed after it is never shown.
  ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
  std::fputs(prompt.c_str(), stderr);
  std::fflush(stderr);
  std::string line;
  bool ended = false;
  for (;;) {
    char c;
    const ssize_t n = ::read(STDIN_FILENO, &c, 1);
    if (n < 0 && errno == EINTR && g_secret_interrupted == 0) continue;
    if (n <= 0) {
      ended = true;
      break;
    }
    if (c == '\n') break;
    line += c;
  }
  ::tcsetattr(STDIN_FILENO, TCSANOW, &g_saved_termios);
  ::sigaction(SIGINT, &old_int, nullptr);
  if (g_secret_interrupted != 0) {
    wipe(line);
    std::fputc('\n', stderr);
    // What Ctrl-C does elsewhere: end the program, or the handler's own doing.
    if (old_int.sa_handler == SIG_DFL) {
      ::raise(SIGINT);
    } else if (old_int.sa_handler != SIG_IGN && (old_int.sa_flags & SA_SIGINFO) == 0) {
      old_int.sa_handler(SIGINT);
    }
    return std::nullopt;
  }
  if (ended && line.empty()) return std::nullopt;
  if (line.ends_with('\r')) line.pop_back();
  return line;
}

}  // namespace kavrel::cli
