// DatabaseLock: exclusive hold of one database directory between processes.
//
// The lock is an advisory whole-file flock() on "<dir>/.lock"; the file also records the holder's
// process id ("<pid>\n"), which is information only and never overrides a held lock. Acquire
// polls every 100 ms for at most 5 s. Release deletes the file, unlocks it, then closes it.
//
// After every successful try-lock the locked descriptor is compared (device and inode) with the
// file at the path, and the attempt is retried when they differ: the file was deleted by its
// releasing holder, and locking it would let two processes hold the directory at once.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <memory>

#include "core/error.h"
#include "core/unique_fd.h"

namespace kavrel {

class DatabaseLock {
 public:
  static constexpr std::chrono::seconds kTimeout{5};
  static constexpr std::chrono::milliseconds kPollInterval{100};

  static Result<std::unique_ptr<DatabaseLock>, LockError> acquire(
      const std::filesystem::path& dir, std::chrono::nanoseconds timeout = kTimeout);
  ~DatabaseLock();
  DatabaseLock(const DatabaseLock&) = delete;
  DatabaseLock& operator=(const DatabaseLock&) = delete;

  pid_t holder() const { return pid_; }
  const std::filesystem::path& path() const { return path_; }

 private:
  DatabaseLock(std::filesystem::path path, UniqueFd fd, pid_t pid)
      : path_(std::move(path)), fd_(std::move(fd)), pid_(pid) {}
  std::filesystem::path path_;
  UniqueFd fd_;
  pid_t pid_;
};

}  // namespace kavrel
