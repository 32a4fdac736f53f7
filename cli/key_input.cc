#include "cli/key_input.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include <fmt/format.h>

#include "core/text.h"
#include "core/unique_fd.h"

namespace kavrel::cli {
namespace {

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The whole file (a key file is small: anything past 4 KiB is not one).
Result<Bytes, int> read_small(int fd) {
  Bytes out;
  char buf[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::unexpected(errno);
    if (n == 0) return out;
    out.append(buf, static_cast<std::size_t>(n));
    if (out.size() > 4096) return out;
  }
}

}  // namespace

std::optional<EncryptionKey> parse_hex_key(std::string_view text) {
  if (text.size() != 2 * EncryptionKey::kSize) return std::nullopt;
  Bytes raw(EncryptionKey::kSize, '\0');
  for (std::size_t i = 0; i < raw.size(); ++i) {
    const int hi = hex_digit(text[2 * i]);
    const int lo = hex_digit(text[2 * i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    raw[i] = static_cast<char>(hi * 16 + lo);
  }
  EncryptionKey key(raw);
  secure_wipe(raw.data(), raw.size());
  return key;
}

Result<EncryptionKey, std::string> read_key_file(const std::string& path) {
  const std::string name = fmt::format("key file {}", debug_quote(path));
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) {
    return std::unexpected(fmt::format("{} cannot be read: {}", name, os_error_text(errno)));
  }
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) {
    return std::unexpected(fmt::format("{} cannot be read: {}", name, os_error_text(errno)));
  }
  if (!S_ISREG(st.st_mode)) return std::unexpected(name + " is not a regular file");
  if ((st.st_mode & 077) != 0) {
    return std::unexpected(fmt::format(
        "{} may be read or written by group or others (mode {:o}); allow its owner only "
        "(chmod 600)",
        name, st.st_mode & 0777));
  }
  auto bytes = read_small(fd.get());
  if (!bytes) {
    return std::unexpected(
        fmt::format("{} cannot be read: {}", name, os_error_text(bytes.error())));
  }
  Bytes& b = *bytes;
  std::optional<EncryptionKey> key;
  std::string error;
  if (b.size() == EncryptionKey::kSize) {
    key = EncryptionKey(b);
  } else {
    std::string_view text = b;
    if (text.ends_with("\r\n")) {
      text.remove_suffix(2);
    } else if (text.ends_with('\n')) {
      text.remove_suffix(1);
    }
    if (text.size() == 2 * EncryptionKey::kSize) {
      key = parse_hex_key(text);
      if (!key) error = name + " holds 64 characters that are not all hexadecimal";
    } else {
      error = fmt::format("{} holds {} bytes; expected 32 raw bytes or 64 hexadecimal characters",
                          name, b.size());
    }
  }
  secure_wipe(b.data(), b.size());
  if (!key) return std::unexpected(error);
  return std::move(*key);
}

Result<std::optional<EncryptionKey>, std::string> key_from(
    const std::optional<std::string>& key_file) {
  if (key_file) {
    auto key = read_key_file(*key_file);
    if (!key) return std::unexpected(std::move(key.error()));
    return std::optional<EncryptionKey>(std::move(*key));
  }
  const char* env = std::getenv(kKeyEnvVar);
  if (env == nullptr || *env == '\0') return std::optional<EncryptionKey>();
  auto key = parse_hex_key(env);
  if (!key)
    return std::unexpected(fmt::format("{} must hold 64 hexadecimal characters", kKeyEnvVar));
  return key;
}

}  // namespace kavrel::cli
