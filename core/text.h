// Small text helpers shared by every layer: quoted debug forms, durations, UTF-8 checks, hex.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace kavrel {

// The quoted form of a text or path: double quotes around it, with `"` and `\` escaped by a
// backslash and control characters written as escapes.
std::string debug_quote(std::string_view text);

// Compact seconds with a unit: 5s, 1.5s, 100ms, 250µs, 7ns.
std::string debug_duration(std::chrono::nanoseconds d);

// The valid UTF-8 sequence at s[i] (i < s.size()): its length and code point, or length 0 when
// the bytes there are not a valid sequence (cut, overlong, a surrogate, above U+10FFFF).
struct Utf8Char {
  std::size_t len = 0;
  char32_t cp = 0;
};
Utf8Char decode_utf8(std::string_view s, std::size_t i);

bool is_valid_utf8(std::string_view bytes);

// The bytes as UTF-8 text with every invalid sequence replaced by U+FFFD.
std::string utf8_lossy(std::string_view bytes);

std::string to_hex(std::string_view bytes);
// Either case accepted; nullopt for an odd length or a non-hex character.
std::optional<std::string> from_hex(std::string_view hex);

}  // namespace kavrel
