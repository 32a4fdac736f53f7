// PowerCutDisk: a model of a disk's volatile cache for power-loss tests, observed through the I/O
// seam (storage/internal/io/file_io.h).
//
// It watches one directory. Of the bytes written to a file there since the file's last fsync,
// any subset of its 4 KiB pages may survive a power cut (a cache writes pages back in any order),
// and a surviving page may be torn at a 512-byte sector boundary; a file's size may fall back to
// its size at the last fsync. Directory entries created, renamed, linked or removed since the
// directory's last fsync are undone from the newest back, down to a random point (metadata
// journals keep their order, so a later entry never survives an earlier lost one).
//
// Use: install it with io::set_power_cut_disk() before the code under test touches the
// directory; files already there count as durable. cut() captures what "the disk" kept and
// from then on every seam call fails with EIO, as a dead disk would; the process may then wind
// down. restore() rewrites the directory to the captured state, ready to be opened again.
//
// Every observed call runs under the disk's mutex, so I/O is serialized while one is installed.
// Writes made around the seam (plain POSIX calls) are not modelled: they count as durable.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "core/bytes.h"

namespace kavrel::io {

class PowerCutDisk {
 public:
  static constexpr std::size_t kPageSize = 4096;
  static constexpr std::size_t kSectorSize = 512;

  PowerCutDisk(std::filesystem::path dir, std::uint64_t seed);

  // Captures the surviving state (see above) and fails every later call. Idempotent.
  void cut();
  bool is_cut() const;
  // Replaces the directory's regular files with the captured state. Requires cut().
  void restore() const;
  // What the cut kept and undid, one line each, for a failing test's message.
  std::string describe() const;
  // The captured state: file name -> contents.
  const std::map<std::string, Bytes>& survivors() const { return survivors_; }

  // Hooks called by the seam. `before_*` return an errno to fail the call with (after a cut),
  // or 0; `after_*` record a call that succeeded. The seam holds mutex() around each pair.
  std::mutex& mutex() { return mu_; }
  int before_call() const { return cut_ ? EIO : 0; }
  void before_write(int fd);
  void after_write(int fd, std::size_t written);                   // at the descriptor's offset
  void after_write_at(int fd, off_t offset, std::size_t written);  // pwrite
  void after_fsync(int fd);
  void before_truncate(int fd);
  void after_truncate(int fd, off_t old_size, off_t new_size);
  // Paths. The seam calls note_existing before a call that may create, replace or remove a name:
  // the file the name has (0 for none, also for a path outside the directory), whose contents
  // are kept for an undo. The after_* hooks record the directory journal's entries.
  using FileId = std::uint64_t;
  FileId note_existing(const char* path);
  void after_create(const char* path, FileId existing);
  void after_rename(const char* from, const char* to, FileId moved, FileId replaced);
  void after_link(const char* to, FileId linked);
  void after_unlink(const char* path, FileId removed);

 private:
  enum class EntryOp : std::uint8_t { Create, Rename, Link, Unlink };
  struct Entry {
    EntryOp op;
    std::string name;     // created, linked, removed, or the rename's target
    std::string from;     // the rename's source
    FileId file = 0;      // the file named
    FileId replaced = 0;  // the file the target named before (rename), 0 for none
  };
  struct Inode {
    Bytes synced;                 // contents as of the last fsync
    std::set<std::size_t> dirty;  // pages written or cut since then
    Bytes current;                // filled at cut (or when the inode lost its last name)
    bool current_known = false;
  };

  // Whether path names an entry of the watched directory; its name there.
  std::optional<std::string> name_in_dir(const char* path) const;
  ino_t inode_of(const char* path) const;
  // The file an inode number stands for now (a new one the first time it is seen).
  FileId id_of(ino_t ino);
  // A file that lost its name: its inode number may be reused by a new file.
  void retire(FileId file);
  bool has_name(FileId file) const;
  bool watched(int fd, ino_t* ino) const;
  Inode& track(ino_t ino, int fd);
  Bytes survivor_of(Inode& inode);

  const std::filesystem::path dir_;
  ino_t dir_ino_ = 0;
  mutable std::mutex mu_;
  std::mt19937_64 rng_;  // guarded by mu_
  bool cut_ = false;     // guarded by mu_ (read by before_call under it)
  // Files by id, not by inode number: a removed file's number is soon given to a new one.
  std::map<ino_t, FileId> ids_;             // guarded by mu_; the named files
  std::map<FileId, Inode> inodes_;          // guarded by mu_
  FileId next_id_ = 1;                      // guarded by mu_
  std::vector<Entry> journal_;              // guarded by mu_; since the directory's last fsync
  std::map<std::string, Bytes> survivors_;  // set by cut()
  std::string description_;                 // set by cut()
};

}  // namespace kavrel::io
