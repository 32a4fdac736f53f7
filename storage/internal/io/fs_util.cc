#include "storage/internal/io/fs_util.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <system_error>

#include "core/unique_fd.h"
#include "storage/internal/io/file_io.h"

namespace kavrel {
namespace {

constexpr std::string_view kTempPrefix = ".tmp";
constexpr std::size_t kTempSuffixLength = 6;

}  // namespace

Result<> fsync_dir(const std::filesystem::path& dir) {
  UniqueFd fd(::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd.valid() || io::fsync(fd.get()) != 0) return fail(KavrelError::io(errno));
  return {};
}

Bytes random_bytes(std::size_t n) {
  Bytes out(n, '\0');
  std::size_t got = 0;
  while (got < n) {
    const ssize_t r = getrandom(out.data() + got, n - got, 0);
    if (r < 0) {
      if (errno == EINTR) continue;
      std::fprintf(stderr, "fatal: the system's random source failed: errno %d\n", errno);
      std::abort();
    }
    got += static_cast<std::size_t>(r);
  }
  return out;
}

std::string random_alnum(std::size_t n) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  std::string out;
  out.reserve(n);
  while (out.size() < n) {
    for (unsigned char b : random_bytes(n)) {
      if (b < 248 && out.size() < n) out.push_back(kAlphabet[b % 62]);  // 248 = 4 * 62: unbiased
    }
  }
  return out;
}

Result<Bytes> read_whole_file(const std::filesystem::path& path) {
  UniqueFd fd(io::open_existing(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return fail(KavrelError::io(errno));
  Bytes out;
  char chunk[4096];
  for (;;) {
    const ssize_t n = io::read(fd.get(), chunk, sizeof chunk);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(KavrelError::io(errno));
    }
    if (n == 0) return out;
    out.append(chunk, static_cast<std::size_t>(n));
  }
}

Result<> create_dir_all(const std::filesystem::path& dir) {
  std::filesystem::path path;
  for (const auto& part : dir) {
    path /= part;
    if (part.empty() || part == "/" || part == "." || part == "..") continue;
    if (::mkdir(path.c_str(), 0700) != 0) {
      if (errno != EEXIST) return fail(KavrelError::io(errno));
      if (!std::filesystem::is_directory(path)) return fail(KavrelError::io(ENOTDIR));
      continue;
    }
    // The umask may have taken bits away; the owner needs all three.
    if (::chmod(path.c_str(), 0700) != 0) return fail(KavrelError::io(errno));
    if (auto r = fsync_dir(path.parent_path()); !r) return r;
  }
  return {};
}

namespace {
// Moves from to to without replacing an existing file.
int move_no_replace(const std::filesystem::path& from, const std::filesystem::path& to) {
  if (io::rename_noreplace(from.c_str(), to.c_str()) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return errno;
  // No renameat2 here: a hard link refuses an existing name, then the temporary goes away.
  if (io::link(from.c_str(), to.c_str()) != 0) return errno;
  io::unlink(from.c_str());
  return 0;
}
}  // namespace

Result<PublishOutcome, PublishError> publish_file(const std::filesystem::path& dir,
                                                  std::string_view name, BytesView contents,
                                                  PublishMode mode) {
  return publish_file_with(
      dir, name, [&](int fd) { return io::write_all(fd, contents.data(), contents.size()); }, mode);
}

Result<PublishOutcome, PublishError> publish_file_with(const std::filesystem::path& dir,
                                                       std::string_view name,
                                                       const std::function<int(int fd)>& write,
                                                       PublishMode mode) {
  using Stage = PublishError::Stage;
  const std::filesystem::path target = dir / name;
  std::filesystem::path tmp;
  UniqueFd fd;
  for (int attempt = 0; attempt < 16 && !fd.valid(); ++attempt) {
    tmp = dir / (std::string(kTempPrefix) + random_alnum(kTempSuffixLength));
    fd = UniqueFd(io::open_create(tmp.c_str(), O_WRONLY | O_EXCL | O_CLOEXEC, 0600));
    if (!fd.valid() && errno != EEXIST) return std::unexpected(PublishError{Stage::Temp, errno});
  }
  if (!fd.valid()) return std::unexpected(PublishError{Stage::Temp, EEXIST});
  const auto remove_tmp = [&] { io::unlink(tmp.c_str()); };
  if (int err = write(fd.get()); err != 0) {
    remove_tmp();
    return std::unexpected(PublishError{Stage::Temp, err});
  }
  if (io::fsync(fd.get()) != 0) {
    const int err = errno;
    remove_tmp();
    return std::unexpected(PublishError{Stage::Temp, err});
  }
  if (mode == PublishMode::Replace) {
    if (io::rename(tmp.c_str(), target.c_str()) != 0) {
      const int err = errno;
      remove_tmp();
      return std::unexpected(PublishError{Stage::Move, err});
    }
  } else if (int err = move_no_replace(tmp, target); err != 0) {
    remove_tmp();
    if (err == EEXIST) return PublishOutcome::AlreadyExists;
    return std::unexpected(PublishError{Stage::Move, err});
  }
  if (io::fsync(fd.get()) != 0) return std::unexpected(PublishError{Stage::AfterMove, errno});
  if (auto r = fsync_dir(dir); !r) {
    return std::unexpected(PublishError{Stage::AfterMove, r.error().os_error()});
  }
  return PublishOutcome::Published;
}

bool is_temp_file_name(std::string_view name) {
  if (name.size() != kTempPrefix.size() + kTempSuffixLength || !name.starts_with(kTempPrefix)) {
    return false;
  }
  return std::all_of(name.begin() + kTempPrefix.size(), name.end(),
                     [](char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; });
}

Result<RemovedTemps> remove_temp_files(const std::filesystem::path& dir) {
  RemovedTemps removed;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
    if (!is_temp_file_name(entry.path().filename().string())) continue;
    struct stat st {};
    if (::lstat(entry.path().c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    if (io::unlink(entry.path().c_str()) != 0) return fail(KavrelError::io(errno));
    ++removed.files;
    removed.bytes += static_cast<std::uint64_t>(st.st_size);
  }
  if (ec) return fail(KavrelError::io(ec.value()));
  if (removed.files > 0) {
    if (auto r = fsync_dir(dir); !r) return fail(std::move(r.error()));
  }
  return removed;
}

}  // namespace kavrel
