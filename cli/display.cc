#include "cli/display.h"

#include <cerrno>
#include <cstdint>
#include <fstream>
#include <iterator>

#include <fmt/format.h>

#include "core/text.h"

namespace kavrel::cli {
namespace {

bool is_control(char32_t cp) { return cp < 0x20 || (cp >= 0x7F && cp <= 0x9F); }

Result<Bytes, std::string> read_stream(std::FILE* in) {
  Bytes out;
  char buf[65536];
  for (;;) {
    const std::size_t n = std::fread(buf, 1, sizeof buf, in);
    out.append(buf, n);
    if (n < sizeof buf) break;
  }
  if (std::ferror(in) != 0) return std::unexpected("cannot read standard input");
  return out;
}

Result<Bytes, std::string> read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  if (!f) {
    const int err = errno;
    return std::unexpected(
        fmt::format("cannot read {}: {}", debug_quote(path), os_error_text(err != 0 ? err : EIO)));
  }
  Bytes out((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  if (f.bad()) return std::unexpected(fmt::format("cannot read {}", debug_quote(path)));
  return out;
}

}  // namespace

bool is_clean_text(BytesView bytes) {
  for (std::size_t i = 0; i < bytes.size();) {
    const Utf8Char ch = decode_utf8(bytes, i);
    if (ch.len == 0 || is_control(ch.cp)) return false;
    i += ch.len;
  }
  return true;
}

std::string escape_bytes(BytesView bytes) {
  std::string out;
  out.reserve(bytes.size() + 2);
  out.push_back('"');
  for (std::size_t i = 0; i < bytes.size();) {
    const Utf8Char ch = decode_utf8(bytes, i);
    if (ch.len == 0 || is_control(ch.cp)) {
      // An invalid byte, or a control character: each of its bytes escaped.
      const std::size_t n = ch.len == 0 ? 1 : ch.len;
      for (std::size_t k = 0; k < n; ++k) {
        const auto c = static_cast<unsigned char>(bytes[i + k]);
        switch (c) {
          case '\n': out += "\\n"; break;
          case '\r': out += "\\r"; break;
          case '\t': out += "\\t"; break;
          case '\0': out += "\\0"; break;
          default: out += fmt::format("\\x{:02x}", c);
        }
      }
      i += n;
      continue;
    }
    if (ch.cp == '"' || ch.cp == '\\') out.push_back('\\');
    out.append(bytes.substr(i, ch.len));
    i += ch.len;
  }
  out.push_back('"');
  return out;
}

std::string display_bytes(BytesView bytes) {
  return is_clean_text(bytes) ? std::string(bytes) : escape_bytes(bytes);
}

std::size_t display_width(std::string_view text) {
  std::size_t width = 0;
  for (const char c : text) {
    // Every byte that does not continue a sequence starts one code point.
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++width;
  }
  return width;
}

Result<Bytes, std::string> resolve_value(std::string_view arg, bool hex, std::FILE* in) {
  Result<Bytes, std::string> raw;
  if (arg == "-") {
    raw = read_stream(in);
  } else if (arg.starts_with("@@")) {
    raw = Bytes(arg.substr(1));
  } else if (arg.starts_with("@")) {
    raw = read_file(std::string(arg.substr(1)));
  } else {
    raw = Bytes(arg);
  }
  if (!raw || !hex) return raw;
  std::string digits;
  for (const char c : *raw) {
    if (c != ' ' && c != '\n' && c != '\r' && c != '\t') digits.push_back(c);
  }
  auto decoded = from_hex(digits);
  if (!decoded) {
    return std::unexpected(
        "invalid hexadecimal value: expected an even number of digits 0-9, a-f or A-F");
  }
  return std::move(*decoded);
}

}  // namespace kavrel::cli
