#include "core/text.h"

#include <cstdint>

#include <fmt/format.h>

namespace kavrel {

std::string debug_quote(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out.push_back('"');
  for (unsigned char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\0': out += "\\0"; break;
      default:
        if (c < 0x20 || c == 0x7f) {
          out += fmt::format("\\u{{{:x}}}", c);
        } else {
          out.push_back(static_cast<char>(c));
        }
    }
  }
  out.push_back('"');
  return out;
}

namespace {
// Renders value/unit with the fraction trimmed of trailing zeros: 1500000000ns -> "1.5s".
std::string with_fraction(std::uint64_t value, std::uint64_t unit, const char* suffix) {
  const std::uint64_t whole = value / unit;
  std::uint64_t frac = value % unit;
  if (frac == 0) return fmt::format("{}{}", whole, suffix);
  int digits = 0;
  for (std::uint64_t u = unit; u > 1; u /= 10) ++digits;
  std::string f = fmt::format("{:0{}}", frac, digits);
  while (!f.empty() && f.back() == '0') f.pop_back();
  return fmt::format("{}.{}{}", whole, f, suffix);
}
}  // namespace

std::string debug_duration(std::chrono::nanoseconds d) {
  const auto ns = static_cast<std::uint64_t>(d.count() < 0 ? 0 : d.count());
  if (ns >= 1'000'000'000) return with_fraction(ns, 1'000'000'000, "s");
  if (ns >= 1'000'000) return with_fraction(ns, 1'000'000, "ms");
  if (ns >= 1'000) return with_fraction(ns, 1'000, "µs");
  return fmt::format("{}ns", ns);
}

namespace {
// Length of the valid UTF-8 sequence starting at s[i], or 0 if it is invalid.
std::size_t utf8_sequence_length(std::string_view s, std::size_t i) {
  const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char c = b(i);
  if (c < 0x80) return 1;
  std::size_t len;
  unsigned char lo = 0x80, hi = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) {
    len = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    len = 3;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    len = 4;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (i + 1 >= s.size() || b(i + 1) < lo || b(i + 1) > hi) return 0;
  for (std::size_t k = 2; k < len; ++k) {
    if (i + k >= s.size() || (b(i + k) & 0xC0) != 0x80) return 0;
  }
  return len;
}

// How many bytes an invalid sequence at s[i] spans before replacement (maximal subpart rule).
std::size_t invalid_span(std::string_view s, std::size_t i) {
  const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char c = b(i);
  std::size_t len;
  unsigned char lo = 0x80, hi = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) {
    len = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    len = 3;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    len = 4;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
  } else {
    return 1;
  }
  std::size_t k = 1;
  if (i + k < s.size() && b(i + k) >= lo && b(i + k) <= hi) {
    ++k;
    while (k < len && i + k < s.size() && (b(i + k) & 0xC0) == 0x80) ++k;
  }
  return k;
}
}  // namespace

bool is_valid_utf8(std::string_view bytes) {
  for (std::size_t i = 0; i < bytes.size();) {
    const std::size_t n = utf8_sequence_length(bytes, i);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

std::string utf8_lossy(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (std::size_t i = 0; i < bytes.size();) {
    const std::size_t n = utf8_sequence_length(bytes, i);
    if (n == 0) {
      out += "\xEF\xBF\xBD";
      i += invalid_span(bytes, i);
    } else {
      out.append(bytes.substr(i, n));
      i += n;
    }
  }
  return out;
}

std::string to_hex(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char c : bytes) {
    out.push_back(kDigits[c >> 4]);
    out.push_back(kDigits[c & 15]);
  }
  return out;
}

std::optional<std::string> from_hex(std::string_view hex) {
  if (hex.size() % 2 != 0) return std::nullopt;
  const auto nibble = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  std::string out;
  out.reserve(hex.size() / 2);
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    const int hi = nibble(hex[i]), lo = nibble(hex[i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    out.push_back(static_cast<char>(hi << 4 | lo));
  }
  return out;
}

}  // namespace kavrel
