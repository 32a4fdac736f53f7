#include "storage/internal/io/lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <system_error>
#include <thread>

#include "core/log.h"
#include "core/text.h"
#include "storage/internal/io/file_io.h"
#include "storage/internal/io/fs_util.h"

namespace kavrel {
namespace {

// Replaces the file's content with "<pid>\n" and syncs it.
int write_pid(int fd, pid_t pid) {
  if (::lseek(fd, 0, SEEK_SET) < 0 || io::ftruncate(fd, 0) != 0) return errno;
  const std::string text = std::to_string(pid) + "\n";
  if (int err = io::write_all(fd, text.data(), text.size()); err != 0) return err;
  if (io::fsync(fd) != 0) return errno;
  return 0;
}

// The holder's process id as its ".lock" records it, or "unknown" when the file holds no number
// (the holder may not have written it yet).
std::string recorded_holder(int fd) {
  char buf[32];
  const ssize_t n = io::pread(fd, buf, sizeof buf - 1, 0);
  if (n <= 0) return "unknown";
  std::string text(buf, static_cast<std::size_t>(n));
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return "unknown";
  return text;
}

// Whether the locked descriptor is still the file named by path.
bool still_linked(int fd, const std::filesystem::path& path) {
  struct stat held {
  }, named{};
  if (::fstat(fd, &held) != 0 || ::stat(path.c_str(), &named) != 0) return false;
  return held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

}  // namespace

Result<std::unique_ptr<DatabaseLock>, LockError> DatabaseLock::acquire(
    const std::filesystem::path& dir, std::chrono::nanoseconds timeout) {
  if (auto r = create_dir_all(dir); !r) return std::unexpected(LockError::io(r.error().os_error()));
  const std::filesystem::path path = dir / ".lock";
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  const pid_t pid = ::getpid();
  bool told = false;
  for (;;) {
    std::error_code ec;
    const bool created = !std::filesystem::exists(path, ec);
    UniqueFd fd(io::open_create(path.c_str(), O_RDWR | O_CLOEXEC, 0600));
    if (!fd.valid()) return std::unexpected(LockError::io(errno));
    if (created) {
      if (auto r = fsync_dir(dir); !r) return std::unexpected(LockError::io(r.error().os_error()));
    }
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) == 0) {
      if (!still_linked(fd.get(), path)) continue;  // the holder deleted it as we locked it
      if (int err = write_pid(fd.get(), pid); err != 0) return std::unexpected(LockError::io(err));
      return std::unique_ptr<DatabaseLock>(new DatabaseLock(path, std::move(fd), pid));
    }
    if (errno != EWOULDBLOCK && errno != EINTR) return std::unexpected(LockError::io(errno));
    if (!told) {
      // Said once, as the wait begins, so that a person sees at once why the start pauses.
      told = true;
      log::info("kavrel_storage",
                "The database directory {} is locked by process {} (pid from {}); waiting up to "
                "{} for it to end",
                debug_quote(dir.string()), recorded_holder(fd.get()), debug_quote(path.string()),
                debug_duration(timeout));
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      return std::unexpected(LockError::timeout(timeout, timeout));
    }
    std::this_thread::sleep_for(kPollInterval);  // sleep_for resumes after interruptions
  }
}

DatabaseLock::~DatabaseLock() {
  // The name goes first, while the lock is still held: a waiter that wins the lock afterwards
  // then finds its descriptor unlinked and retries on a fresh file. Unlocking first would let it
  // lock the old file just before the name disappears, and a third process could then lock a
  // new ".lock" beside it.
  io::unlink(path_.c_str());
  ::flock(fd_.get(), LOCK_UN);
}

}  // namespace kavrel
