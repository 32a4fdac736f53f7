#include "storage/key_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdlib>

#include <fmt/format.h>

#include "core/text.h"
#include "core/unique_fd.h"

namespace kavrel {
namespace {

constexpr std::size_t kHexKeyLength = 2 * EncryptionKey::kSize;
// A key file is never longer than 64 characters and "\r\n"; one byte more tells a longer file.
constexpr std::size_t kMaxKeyFileRead = kHexKeyLength + 3;

// A buffer for key material, overwritten with zeros when the scope ends.
template <std::size_t N>
struct SecretBuffer {
  std::array<char, N> bytes{};
  SecretBuffer() = default;
  SecretBuffer(const SecretBuffer&) = delete;
  SecretBuffer& operator=(const SecretBuffer&) = delete;
  ~SecretBuffer() { secure_wipe(bytes.data(), bytes.size()); }
};

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string key_file_error(const std::filesystem::path& path, std::string_view what) {
  return fmt::format("key file {} {}", debug_quote(path.string()), what);
}

// Reads at most buffer.size() bytes; the count, or -1 with errno.
ssize_t read_up_to(int fd, std::array<char, kMaxKeyFileRead + 1>& buffer) {
  std::size_t got = 0;
  while (got < buffer.size()) {
    const ssize_t n = ::read(fd, buffer.data() + got, buffer.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  return static_cast<ssize_t>(got);
}

}  // namespace

std::optional<EncryptionKey> parse_hex_key(std::string_view text) {
  if (text.size() != kHexKeyLength) return std::nullopt;
  SecretBuffer<EncryptionKey::kSize> key;
  for (std::size_t i = 0; i < key.bytes.size(); ++i) {
    const int hi = hex_digit(text[2 * i]);
    const int lo = hex_digit(text[2 * i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    key.bytes[i] = static_cast<char>((hi << 4) | lo);
  }
  return EncryptionKey(BytesView(key.bytes.data(), key.bytes.size()));
}

Result<EncryptionKey, std::string> read_key_file(const std::filesystem::path& path) {
  // O_NONBLOCK: a FIFO in place of the file must not hang the start; it is refused below.
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (!fd.valid()) {
    return std::unexpected(key_file_error(path, "cannot be read: " + os_error_text(errno)));
  }
  // The descriptor's own metadata: the file checked is the file read.
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) {
    return std::unexpected(key_file_error(path, "cannot be read: " + os_error_text(errno)));
  }
  if (!S_ISREG(st.st_mode)) return std::unexpected(key_file_error(path, "is not a regular file"));
  if ((st.st_mode & 077) != 0) {
    return std::unexpected(key_file_error(
        path, fmt::format("may be read or written by group or others (mode {:o}); allow its "
                          "owner only (chmod 600)",
                          st.st_mode & 07777)));
  }
  SecretBuffer<kMaxKeyFileRead + 1> content;
  const ssize_t n = read_up_to(fd.get(), content.bytes);
  if (n < 0) {
    return std::unexpected(key_file_error(path, "cannot be read: " + os_error_text(errno)));
  }
  std::string_view text(content.bytes.data(), static_cast<std::size_t>(n));
  if (text.size() == EncryptionKey::kSize) return EncryptionKey(text);
  if (text.ends_with('\n')) text.remove_suffix(text.ends_with("\r\n") ? 2 : 1);
  if (text.size() != kHexKeyLength) {
    // What was read, or the file's size when it is longer than what is read.
    const auto size = std::max<std::uint64_t>(static_cast<std::uint64_t>(st.st_size),
                                              static_cast<std::uint64_t>(n));
    return std::unexpected(key_file_error(
        path,
        fmt::format("holds {} bytes; expected 32 raw bytes or 64 hexadecimal characters", size)));
  }
  auto key = parse_hex_key(text);
  if (!key) {
    return std::unexpected(
        key_file_error(path, "holds 64 characters that are not all hexadecimal"));
  }
  return std::move(*key);
}

Result<StorageEncryption, std::string> key_from(
    const std::optional<std::filesystem::path>& key_file, KeyVariable variable) {
  // Taken out of the environment first, whatever follows.
  std::optional<std::optional<EncryptionKey>> from_env;
  if (const char* value = std::getenv(kKeyEnvVar); value != nullptr) {
    from_env = parse_hex_key(value);
    if (variable == KeyVariable::Remove) ::unsetenv(kKeyEnvVar);
  }
  if (key_file && from_env) {
    return std::unexpected(
        fmt::format("give the key by --key-file or by {}, not both", kKeyEnvVar));
  }
  if (key_file) {
    auto key = read_key_file(*key_file);
    if (!key) return std::unexpected(std::move(key.error()));
    return StorageEncryption{std::string(kKeyFileSource), std::move(*key)};
  }
  if (from_env) {
    if (!*from_env) {
      return std::unexpected(
          fmt::format("{} must hold exactly 64 hexadecimal characters", kKeyEnvVar));
    }
    return StorageEncryption{std::string(kEnvSource), std::move(*from_env)};
  }
  return StorageEncryption{};
}

}  // namespace kavrel
