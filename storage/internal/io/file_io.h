// The narrow seam through which the log, the snapshot, the manifest and the keyring reach the file
// system: their writes, syncs, name changes, the zeros a log writes ahead of its records, and the
// reads of the log, the snapshot and the manifest.
//
// Production calls go straight to POSIX. Tests install a FaultPlan to make chosen calls fail
// (EIO, ENOSPC) or write short, and a PowerCutDisk (storage/internal/io/power_cut.h) to lose what
// was not synced. Both are process-wide and meant for tests only; with neither installed every call
// is a plain system call.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

namespace kavrel::io {

class PowerCutDisk;

// Which call a fault applies to. Read covers read and pread; Open the opens without O_CREAT;
// Preallocate the zeros written ahead (kept apart from Write, so that a plan's Write faults
// reach the records themselves).
enum class Op : std::uint8_t { Write, Fsync, Rename, Link, OpenCreate, Open, Read, Preallocate };

// A test's instructions. fail(op, n) is asked before every call of that kind: returning an errno
// makes the call fail with it without touching the file. short_write(n) may cap a write's size.
struct FaultPlan {
  std::function<std::optional<int>(Op op)> fail;
  std::function<std::optional<std::size_t>(std::size_t requested)> short_write;
};

// Installs (or, with nullopt, removes) the process-wide plan.
void set_fault_plan(std::optional<FaultPlan> plan);

// Installs (or, with nullptr, removes) the process-wide power-cut model.
void set_power_cut_disk(std::shared_ptr<PowerCutDisk> disk);

// Calls counted since start (for tests that count fsyncs).
std::uint64_t fsync_count();

// The wrapped calls; same contracts as POSIX (return -1 and set errno on failure).
ssize_t write(int fd, const void* buf, std::size_t n);
int fsync(int fd);
// Counted and failed (by a fault plan's Fsync) like fsync; the power-cut model treats it as one,
// since it also makes a changed size durable.
int fdatasync(int fd);
int rename(const char* from, const char* to);
int link(const char* from, const char* to);
// Renames without replacing an existing target (renameat2 RENAME_NOREPLACE). Faults as Rename.
int rename_noreplace(const char* from, const char* to);
// open() with O_CREAT (the only opens that can be made to fail). A file the call creates gets
// exactly `mode`, whatever the umask.
int open_create(const char* path, int flags, mode_t mode);
// open() of an existing file (flags without O_CREAT). Faults as Open.
int open_existing(const char* path, int flags);
// Faults as Read; a cut power-cut model fails them with EIO, as a dead disk would.
ssize_t read(int fd, void* buf, std::size_t n);
ssize_t pread(int fd, void* buf, std::size_t n, off_t offset);
// Writes up to n zeros at offset (pwrite; at most 1 MiB per call, the count written is returned):
// room written ahead of a file's data. Faults as Preallocate, never written short; the
// power-cut model sees the pages as written.
ssize_t write_zeros(int fd, std::size_t n, off_t offset);
int ftruncate(int fd, off_t size);
int unlink(const char* path);

// Writes all n bytes, retrying on EINTR and after short writes. Returns 0 or an errno.
int write_all(int fd, const void* buf, std::size_t n);

}  // namespace kavrel::io
