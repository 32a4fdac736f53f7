#include "core/log.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

namespace kavrel::log {
namespace {
// Until install() runs nothing is logged below Info; tests may log without installing.
std::atomic<int> g_max_level{static_cast<int>(Level::Info)};
std::atomic<bool> g_color{false};

const char* level_name(Level level) {
  switch (level) {
    case Level::Trace: return "TRACE";
    case Level::Debug: return "DEBUG";
    case Level::Info: return " INFO";
    case Level::Warn: return " WARN";
    case Level::Error: return "ERROR";
  }
  return "?????";
}

const char* level_color(Level level) {
  switch (level) {
    case Level::Trace: return "\x1b[35m";
    case Level::Debug: return "\x1b[34m";
    case Level::Info: return "\x1b[32m";
    case Level::Warn: return "\x1b[33m";
    case Level::Error: return "\x1b[31m";
  }
  return "";
}
}  // namespace

Level parse_level(std::string_view text) {
  // Full Unicode lower-casing only matters for the five ASCII words; any non-ASCII byte makes
  // the text unequal to all of them, so ASCII lower-casing is exact here.
  std::string lower(text);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  if (lower == "trace") return Level::Trace;
  if (lower == "debug") return Level::Debug;
  if (lower == "info") return Level::Info;
  if (lower == "warn") return Level::Warn;
  if (lower == "error") return Level::Error;
  return Level::Info;
}

void install(Level max_level, bool color) {
  g_max_level.store(static_cast<int>(max_level), std::memory_order_relaxed);
  g_color.store(color, std::memory_order_relaxed);
}

bool color_from_env() {
  const char* v = std::getenv("NO_COLOR");
  return v == nullptr || *v == '\0';
}

bool enabled(Level level) {
  return static_cast<int>(level) >= g_max_level.load(std::memory_order_relaxed);
}

std::string rfc3339_micros(std::int64_t unix_micros) {
  const std::time_t secs = static_cast<std::time_t>(unix_micros / 1'000'000);
  const auto micros = static_cast<long>(unix_micros % 1'000'000);
  std::tm tm{};
  gmtime_r(&secs, &tm);
  return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}.{:06}Z", tm.tm_year + 1900, tm.tm_mon + 1,
                     tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, micros);
}

void write(Level level, std::string_view target, std::string_view message) {
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  const std::string ts =
      rfc3339_micros(std::chrono::duration_cast<std::chrono::microseconds>(now).count());
  std::string line;
  if (g_color.load(std::memory_order_relaxed)) {
    line = fmt::format("\x1b[2m{}\x1b[0m {}{}\x1b[0m \x1b[2m{}:\x1b[0m {}\n", ts,
                       level_color(level), level_name(level), target, message);
  } else {
    line = fmt::format("{} {} {}: {}\n", ts, level_name(level), target, message);
  }
  // One write per line keeps lines of different threads whole.
  std::size_t off = 0;
  while (off < line.size()) {
    const ssize_t n = ::write(STDOUT_FILENO, line.data() + off, line.size() - off);
    if (n <= 0) break;
    off += static_cast<std::size_t>(n);
  }
}

void stderr_line(std::string_view line) {
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

}  // namespace kavrel::log
