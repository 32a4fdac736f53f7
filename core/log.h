// The process-wide logger: one line per event on standard output,
//   <RFC 3339 UTC time, 6 fractional digits>Z <LEVEL right-aligned in 5> <target>: <message>
// with colours unless NO_COLOR is set to a non-empty value.
#pragma once

#include <atomic>
#include <cstdint>
#include <string_view>

#include <fmt/format.h>

namespace kavrel::log {

enum class Level : std::uint8_t { Trace, Debug, Info, Warn, Error };

// "trace".."error" in any case select that level; anything else selects Info.
Level parse_level(std::string_view text);

// Installs the logger: the maximum level and whether colours are used.
void install(Level max_level, bool color);
// Colours are on unless NO_COLOR is set and non-empty.
bool color_from_env();

bool enabled(Level level);
void write(Level level, std::string_view target, std::string_view message);

template <class... Args>
void emit(Level level, std::string_view target, fmt::format_string<Args...> f, Args&&... args) {
  if (!enabled(level)) return;
  write(level, target, fmt::format(f, std::forward<Args>(args)...));
}
template <class... Args>
void info(std::string_view target, fmt::format_string<Args...> f, Args&&... args) {
  emit(Level::Info, target, f, std::forward<Args>(args)...);
}
template <class... Args>
void warn(std::string_view target, fmt::format_string<Args...> f, Args&&... args) {
  emit(Level::Warn, target, f, std::forward<Args>(args)...);
}
template <class... Args>
void error(std::string_view target, fmt::format_string<Args...> f, Args&&... args) {
  emit(Level::Error, target, f, std::forward<Args>(args)...);
}
template <class... Args>
void debug(std::string_view target, fmt::format_string<Args...> f, Args&&... args) {
  emit(Level::Debug, target, f, std::forward<Args>(args)...);
}

// Writes one whole line (ending in "\n") to standard error in one write and flushes it, so that
// lines of concurrent threads do not interleave. For the plain lines beside the log, such as the
// socket service's "[IpcServer] ..." lines.
void stderr_line(std::string_view line);

// Formats a UTC time as 2026-12-10T05:36:54.123456Z.
std::string rfc3339_micros(std::int64_t unix_micros);

}  // namespace kavrel::log
