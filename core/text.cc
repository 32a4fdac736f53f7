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
// What a lead byte announces: the length of its sequence (0 for a byte that cannot start one), the
// payload bits it carries, and the range of the byte after it. That range is narrower than
// 0x80..0xBF after E0 (overlong), ED (surrogates), F0 (overlong) and F4 (above U+10FFFF).
struct Utf8Lead {
  std::size_t len = 0;
  char32_t bits = 0;
  unsigned char second_lo = 0x80, second_hi = 0xBF;
};

Utf8Lead utf8_lead(unsigned char c) {
  if (c < 0x80) return {1, c};
  if (c >= 0xC2 && c <= 0xDF) return {2, c & 0x1Fu};
  if (c >= 0xE0 && c <= 0xEF) {
    return {3, c & 0x0Fu, static_cast<unsigned char>(c == 0xE0 ? 0xA0 : 0x80),
            static_cast<unsigned char>(c == 0xED ? 0x9F : 0xBF)};
  }
  if (c >= 0xF0 && c <= 0xF4) {
    return {4, c & 0x07u, static_cast<unsigned char>(c == 0xF0 ? 0x90 : 0x80),
            static_cast<unsigned char>(c == 0xF4 ? 0x8F : 0xBF)};
  }
  return {};
}

bool is_continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// How many bytes an invalid sequence at s[i] spans before replacement (maximal subpart rule).
std::size_t invalid_span(std::string_view s, std::size_t i) {
  const Utf8Lead lead = utf8_lead(static_cast<unsigned char>(s[i]));
  if (lead.len < 2) return 1;
  std::size_t k = 1;
  const auto at = [&](std::size_t n) { return static_cast<unsigned char>(s[i + n]); };
  if (i + k < s.size() && at(k) >= lead.second_lo && at(k) <= lead.second_hi) {
    ++k;
    while (k < lead.len && i + k < s.size() && is_continuation(at(k))) ++k;
  }
  return k;
}
}  // namespace

Utf8Char decode_utf8(std::string_view s, std::size_t i) {
  const Utf8Lead lead = utf8_lead(static_cast<unsigned char>(s[i]));
  if (lead.len == 0 || i + lead.len > s.size()) return {};
  char32_t cp = lead.bits;
  for (std::size_t k = 1; k < lead.len; ++k) {
    const auto c = static_cast<unsigned char>(s[i + k]);
    const bool in_range = k == 1 ? c >= lead.second_lo && c <= lead.second_hi : is_continuation(c);
    if (!in_range) return {};
    cp = (cp << 6) | (c & 0x3Fu);
  }
  return {lead.len, cp};
}

bool is_valid_utf8(std::string_view bytes) {
  for (std::size_t i = 0; i < bytes.size();) {
    const std::size_t n = decode_utf8(bytes, i).len;
    if (n == 0) return false;
    i += n;
  }
  return true;
}

std::string utf8_lossy(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (std::size_t i = 0; i < bytes.size();) {
    const std::size_t n = decode_utf8(bytes, i).len;
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
