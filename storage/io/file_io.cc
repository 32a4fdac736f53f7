#include "storage/io/file_io.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <stdio.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <memory>
#include <mutex>

namespace kavrel::io {
namespace {
std::mutex g_mu;
std::shared_ptr<const FaultPlan> g_plan;  // guarded by g_mu
std::atomic<bool> g_has_plan{false};
std::atomic<std::uint64_t> g_fsyncs{0};

std::shared_ptr<const FaultPlan> plan() {
  if (!g_has_plan.load(std::memory_order_acquire)) return nullptr;
  std::scoped_lock lock(g_mu);
  return g_plan;
}

// Returns true (with errno set) when the plan says this call fails.
bool injected_failure(Op op) {
  auto p = plan();
  if (!p || !p->fail) return false;
  if (auto err = p->fail(op)) {
    errno = *err;
    return true;
  }
  return false;
}
}  // namespace

void set_fault_plan(std::optional<FaultPlan> plan) {
  std::scoped_lock lock(g_mu);
  g_plan = plan ? std::make_shared<const FaultPlan>(std::move(*plan)) : nullptr;
  g_has_plan.store(g_plan != nullptr, std::memory_order_release);
}

std::uint64_t fsync_count() { return g_fsyncs.load(std::memory_order_relaxed); }

ssize_t write(int fd, const void* buf, std::size_t n) {
  if (injected_failure(Op::Write)) return -1;
  if (auto p = plan(); p && p->short_write) {
    if (auto cap = p->short_write(n); cap && *cap < n) n = *cap;
  }
  return ::write(fd, buf, n);
}

int fsync(int fd) {
  g_fsyncs.fetch_add(1, std::memory_order_relaxed);
  if (injected_failure(Op::Fsync)) return -1;
  return ::fsync(fd);
}

int rename(const char* from, const char* to) {
  if (injected_failure(Op::Rename)) return -1;
  return ::rename(from, to);
}

int rename_noreplace(const char* from, const char* to) {
  if (injected_failure(Op::Rename)) return -1;
  return static_cast<int>(::syscall(SYS_renameat2, AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE));
}

int link(const char* from, const char* to) {
  if (injected_failure(Op::Link)) return -1;
  return ::link(from, to);
}

int open_create(const char* path, int flags, mode_t mode) {
  if (injected_failure(Op::OpenCreate)) return -1;
  return ::open(path, flags | O_CREAT, mode);
}

int write_all(int fd, const void* buf, std::size_t n) {
  const char* p = static_cast<const char*>(buf);
  while (n > 0) {
    const ssize_t w = write(fd, p, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (w == 0) return EIO;
    p += w;
    n -= static_cast<std::size_t>(w);
  }
  return 0;
}

}  // namespace kavrel::io
