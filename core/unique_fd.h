// Owns one file descriptor; move-only.
#pragma once

#include <unistd.h>

#include <utility>

#include "core/error.h"

namespace kavrel {

class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) : fd_(fd) {}
  UniqueFd(UniqueFd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd o) noexcept {
    std::swap(fd_, o.fd_);
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  ~UniqueFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release() { return std::exchange(fd_, -1); }
  // The destructor ignores close() errors; durable paths call this, since close can report a
  // lost write.
  Result<> close() {
    if (const int fd = std::exchange(fd_, -1); fd >= 0 && ::close(fd) != 0) {
      return fail(KavrelError::io(errno));
    }
    return {};
  }

 private:
  int fd_;
};

}  // namespace kavrel
