#include "storage/internal/io/file_io.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <memory>
#include <mutex>
#include <vector>

#include "storage/internal/io/power_cut.h"

namespace kavrel::io {
namespace {
std::mutex g_mu;
std::shared_ptr<const FaultPlan> g_plan;  // guarded by g_mu
std::atomic<bool> g_has_plan{false};
std::atomic<std::uint64_t> g_fsyncs{0};
std::shared_ptr<PowerCutDisk> g_disk;  // guarded by g_mu
std::atomic<bool> g_has_disk{false};

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
std::shared_ptr<PowerCutDisk> disk() {
  if (!g_has_disk.load(std::memory_order_acquire)) return nullptr;
  std::scoped_lock lock(g_mu);
  return g_disk;
}

// Runs call() (a system call returning -1 with errno on failure) under the power-cut model when
// one is installed: before(d) prepares, after(d, result) records a success. A cut disk fails
// every call with EIO.
template <class Call, class Before, class After>
auto observed(Call call, Before before, After after) -> decltype(call()) {
  const auto d = disk();
  if (!d) return call();
  std::scoped_lock lock(d->mutex());
  if (const int err = d->before_call(); err != 0) {
    errno = err;
    return -1;
  }
  auto prepared = before(*d);
  const auto result = call();
  if (result >= 0) after(*d, prepared, result);
  return result;
}

// A file's size, for the truncation hook.
off_t size_of(int fd) {
  struct stat st {};
  return ::fstat(fd, &st) == 0 ? st.st_size : 0;
}

}  // namespace

void set_power_cut_disk(std::shared_ptr<PowerCutDisk> d) {
  std::scoped_lock lock(g_mu);
  g_disk = std::move(d);
  g_has_disk.store(g_disk != nullptr, std::memory_order_release);
}

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
  return observed(
      [&] { return ::write(fd, buf, n); }, [&](PowerCutDisk& d) { return (d.before_write(fd), 0); },
      [&](PowerCutDisk& d, int, ssize_t w) { d.after_write(fd, static_cast<std::size_t>(w)); });
}

namespace {
// fsync and fdatasync: counted, failed by a plan's Fsync, and a sync to the power-cut model.
int sync_call(int fd, int (*call)(int)) {
  g_fsyncs.fetch_add(1, std::memory_order_relaxed);
  if (injected_failure(Op::Fsync)) return -1;
  return observed([&] { return call(fd); }, [](PowerCutDisk&) { return 0; },
                  [&](PowerCutDisk& d, int, int) { d.after_fsync(fd); });
}
}  // namespace

int fsync(int fd) { return sync_call(fd, ::fsync); }

int fdatasync(int fd) { return sync_call(fd, ::fdatasync); }

namespace {
// A call that moves a name: the model learns which inodes it moves and replaces.
int move_name(const char* from, const char* to, bool replaces,
              int (*call)(const char*, const char*)) {
  struct Names {
    PowerCutDisk::FileId moved, replaced;
  };
  return observed(
      [&] { return call(from, to); },
      [&](PowerCutDisk& d) {
        return Names{d.note_existing(from), replaces ? d.note_existing(to) : 0};
      },
      [&](PowerCutDisk& d, const Names& n, int) { d.after_rename(from, to, n.moved, n.replaced); });
}
}  // namespace

int rename(const char* from, const char* to) {
  if (injected_failure(Op::Rename)) return -1;
  return move_name(from, to, true, [](const char* f, const char* t) { return ::rename(f, t); });
}

int rename_noreplace(const char* from, const char* to) {
  if (injected_failure(Op::Rename)) return -1;
  return move_name(from, to, false, [](const char* f, const char* t) {
    return static_cast<int>(::syscall(SYS_renameat2, AT_FDCWD, f, AT_FDCWD, t, RENAME_NOREPLACE));
  });
}

int link(const char* from, const char* to) {
  if (injected_failure(Op::Link)) return -1;
  return observed([&] { return ::link(from, to); },
                  [&](PowerCutDisk& d) { return d.note_existing(from); },
                  [&](PowerCutDisk& d, PowerCutDisk::FileId file, int) { d.after_link(to, file); });
}

int unlink(const char* path) {
  return observed(
      [&] { return ::unlink(path); }, [&](PowerCutDisk& d) { return d.note_existing(path); },
      [&](PowerCutDisk& d, PowerCutDisk::FileId file, int) { d.after_unlink(path, file); });
}

int open_create(const char* path, int flags, mode_t mode) {
  if (injected_failure(Op::OpenCreate)) return -1;
  struct stat st {};
  const bool existed = ::stat(path, &st) == 0;
  const int fd = observed(
      [&] { return ::open(path, flags | O_CREAT, mode); },
      [&](PowerCutDisk& d) { return d.note_existing(path); },
      [&](PowerCutDisk& d, PowerCutDisk::FileId file, int) { d.after_create(path, file); });
  // The umask may have taken bits away (or a caller's umask be wider than ours).
  if (fd >= 0 && !existed) (void)::fchmod(fd, mode);
  return fd;
}

int open_existing(const char* path, int flags) {
  if (injected_failure(Op::Open)) return -1;
  return observed([&] { return ::open(path, flags); }, [](PowerCutDisk&) { return 0; },
                  [](PowerCutDisk&, int, int) {});
}

ssize_t read(int fd, void* buf, std::size_t n) {
  if (injected_failure(Op::Read)) return -1;
  return observed([&] { return ::read(fd, buf, n); }, [](PowerCutDisk&) { return 0; },
                  [](PowerCutDisk&, int, ssize_t) {});
}

ssize_t pread(int fd, void* buf, std::size_t n, off_t offset) {
  if (injected_failure(Op::Read)) return -1;
  return observed([&] { return ::pread(fd, buf, n, offset); }, [](PowerCutDisk&) { return 0; },
                  [](PowerCutDisk&, int, ssize_t) {});
}

ssize_t write_zeros(int fd, std::size_t n, off_t offset) {
  static constexpr std::size_t kMaxZeros = 1 << 20;
  static const std::vector<char> zeros(kMaxZeros, 0);
  if (injected_failure(Op::Preallocate)) return -1;
  n = std::min(n, kMaxZeros);
  return observed([&] { return ::pwrite(fd, zeros.data(), n, offset); },
                  [&](PowerCutDisk& d) { return (d.before_write(fd), 0); },
                  [&](PowerCutDisk& d, int, ssize_t w) {
                    d.after_write_at(fd, offset, static_cast<std::size_t>(w));
                  });
}

int ftruncate(int fd, off_t size) {
  return observed(
      [&] { return ::ftruncate(fd, size); },
      [&](PowerCutDisk& d) { return (d.before_truncate(fd), size_of(fd)); },
      [&](PowerCutDisk& d, off_t old_size, int) { d.after_truncate(fd, old_size, size); });
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
