#include "storage/internal/io/power_cut.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <iterator>

#include "core/unique_fd.h"

namespace kavrel::io {
namespace {

namespace fs = std::filesystem;

Bytes read_path(const fs::path& path) {
  Bytes out;
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  char chunk[65'536];
  for (off_t off = 0; fd.valid();) {
    const ssize_t n = ::pread(fd.get(), chunk, sizeof chunk, off);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    out.append(chunk, static_cast<std::size_t>(n));
    off += n;
  }
  return out;
}

// The file behind a descriptor, read through a descriptor of its own (the caller's may be
// write-only).
Bytes read_fd(int fd) { return read_path("/proc/self/fd/" + std::to_string(fd)); }

ino_t inode_of_fd(int fd, bool* is_dir) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return 0;
  *is_dir = S_ISDIR(st.st_mode);
  return st.st_ino;
}

}  // namespace

PowerCutDisk::PowerCutDisk(fs::path dir, std::uint64_t seed) : dir_(std::move(dir)), rng_(seed) {
  struct stat st {};
  if (::stat(dir_.c_str(), &st) == 0) dir_ino_ = st.st_ino;
}

std::optional<std::string> PowerCutDisk::name_in_dir(const char* path) const {
  const fs::path p(path);
  if (p.parent_path() != dir_) return std::nullopt;
  return p.filename().string();
}

ino_t PowerCutDisk::inode_of(const char* path) const {
  struct stat st {};
  return ::lstat(path, &st) == 0 && S_ISREG(st.st_mode) ? st.st_ino : 0;
}

PowerCutDisk::FileId PowerCutDisk::id_of(ino_t ino) {
  auto [it, fresh] = ids_.try_emplace(ino, next_id_);
  if (fresh) ++next_id_;
  return it->second;
}

void PowerCutDisk::retire(FileId file) {
  std::erase_if(ids_, [file](const auto& entry) { return entry.second == file; });
}

bool PowerCutDisk::watched(int fd, ino_t* ino) const {
  // A descriptor is watched when the file it names lives in the directory, or lived there.
  bool is_dir = false;
  *ino = inode_of_fd(fd, &is_dir);
  if (*ino == 0 || is_dir) return false;
  if (ids_.contains(*ino)) return true;
  char link[64];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  std::error_code ec;
  const fs::path target = fs::read_symlink(link, ec);
  return !ec && target.parent_path() == dir_;
}

PowerCutDisk::Inode& PowerCutDisk::track(ino_t ino, int fd) {
  auto [it, fresh] = inodes_.try_emplace(id_of(ino));
  // What a file held before its first observed write counts as durable.
  if (fresh) it->second.synced = read_fd(fd);
  return it->second;
}

void PowerCutDisk::before_write(int fd) {
  ino_t ino = 0;
  if (watched(fd, &ino)) track(ino, fd);
}

void PowerCutDisk::after_write(int fd, std::size_t written) {
  // The descriptor's offset is just past what was written (also with O_APPEND).
  const off_t end = ::lseek(fd, 0, SEEK_CUR);
  if (end < 0 || static_cast<std::size_t>(end) < written) return;
  after_write_at(fd, end - static_cast<off_t>(written), written);
}

void PowerCutDisk::after_write_at(int fd, off_t offset, std::size_t written) {
  ino_t ino = 0;
  if (written == 0 || offset < 0 || !watched(fd, &ino)) return;
  const auto first = static_cast<std::size_t>(offset);
  const std::size_t last = first + written - 1;
  Inode& inode = track(ino, fd);
  for (std::size_t page = first / kPageSize; page <= last / kPageSize; ++page) {
    inode.dirty.insert(page);
  }
}

void PowerCutDisk::before_truncate(int fd) { before_write(fd); }

void PowerCutDisk::after_truncate(int fd, off_t old_size, off_t new_size) {
  ino_t ino = 0;
  if (old_size == new_size || !watched(fd, &ino)) return;
  Inode& inode = track(ino, fd);
  const auto lo = static_cast<std::size_t>(std::min(old_size, new_size));
  const auto hi = static_cast<std::size_t>(std::max(old_size, new_size));
  for (std::size_t page = lo / kPageSize; page <= (hi - 1) / kPageSize; ++page) {
    inode.dirty.insert(page);
  }
}

void PowerCutDisk::after_fsync(int fd) {
  bool is_dir = false;
  ino_t ino = inode_of_fd(fd, &is_dir);
  if (is_dir) {
    if (ino == dir_ino_) journal_.clear();
    return;
  }
  if (!watched(fd, &ino)) return;
  Inode& inode = track(ino, fd);
  // Only the dirty pages changed since the last sync (and the size).
  UniqueFd own(::open(("/proc/self/fd/" + std::to_string(fd)).c_str(), O_RDONLY | O_CLOEXEC));
  struct stat st {};
  if (!own.valid() || ::fstat(own.get(), &st) != 0) return;
  inode.synced.resize(static_cast<std::size_t>(st.st_size));
  for (std::size_t page : inode.dirty) {
    const std::size_t begin = page * kPageSize;
    if (begin >= inode.synced.size()) break;
    const std::size_t n = std::min(kPageSize, inode.synced.size() - begin);
    if (::pread(own.get(), inode.synced.data() + begin, n, static_cast<off_t>(begin)) !=
        static_cast<ssize_t>(n)) {
      inode.synced = read_fd(fd);
      break;
    }
  }
  inode.dirty.clear();
}

PowerCutDisk::FileId PowerCutDisk::note_existing(const char* path) {
  const ino_t ino = name_in_dir(path) ? inode_of(path) : 0;
  if (ino == 0) return 0;
  // The name may be about to go: keep what its file holds now for an undo to bring back.
  const FileId file = id_of(ino);
  Inode& inode = inodes_[file];
  inode.current = read_path(path);
  // A file never written through the seam is durable as it stands.
  if (inode.dirty.empty() && !inode.current_known) inode.synced = inode.current;
  inode.current_known = true;
  return file;
}

void PowerCutDisk::after_create(const char* path, FileId existing) {
  const auto name = name_in_dir(path);
  if (!name || existing != 0) return;  // opening an existing name creates no entry
  // A new file, even if its inode number was used before.
  const ino_t ino = inode_of(path);
  ids_.erase(ino);
  const FileId file = id_of(ino);
  inodes_[file] = Inode{};
  journal_.push_back({EntryOp::Create, *name, {}, file, 0});
}

void PowerCutDisk::after_rename(const char* from, const char* to, FileId moved, FileId replaced) {
  const auto to_name = name_in_dir(to);
  const auto from_name = name_in_dir(from);
  if (!to_name || !from_name) return;
  if (replaced != 0) retire(replaced);
  journal_.push_back({EntryOp::Rename, *to_name, *from_name, moved, replaced});
}

void PowerCutDisk::after_link(const char* to, FileId linked) {
  if (const auto name = name_in_dir(to)) journal_.push_back({EntryOp::Link, *name, {}, linked, 0});
}

bool PowerCutDisk::has_name(FileId file) const {
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(dir_, ec)) {
    const auto it = ids_.find(inode_of(e.path().c_str()));
    if (it != ids_.end() && it->second == file) return true;
  }
  return false;
}

void PowerCutDisk::after_unlink(const char* path, FileId removed) {
  const auto name = name_in_dir(path);
  if (!name) return;
  // A file keeps its number while a second name (from a link) holds it.
  if (!has_name(removed)) retire(removed);
  journal_.push_back({EntryOp::Unlink, *name, {}, removed, 0});
}

Bytes PowerCutDisk::survivor_of(Inode& inode) {
  const Bytes& now = inode.current;
  const Bytes& old = inode.synced;
  if (inode.dirty.empty()) return old;
  std::bernoulli_distribution coin(0.5);
  std::set<std::size_t> kept;
  for (std::size_t page : inode.dirty) {
    if (coin(rng_)) kept.insert(page);
  }
  // The size: the synced one, or the current one; grown as far as a kept page reaches.
  std::size_t size = coin(rng_) ? old.size() : now.size();
  if (!kept.empty()) {
    size = std::max(size, std::min(now.size(), (*kept.rbegin() + 1) * kPageSize));
  }
  Bytes out(size, '\0');
  for (std::size_t i = 0; i < std::min(size, old.size()); ++i) out[i] = old[i];
  std::uniform_int_distribution<std::size_t> sector(0, kPageSize / kSectorSize);
  for (std::size_t page : kept) {
    const std::size_t begin = page * kPageSize;
    // A torn page: only its first sectors reached the platter.
    const std::size_t reached = std::bernoulli_distribution(0.25)(rng_)
                                    ? begin + sector(rng_) * kSectorSize
                                    : begin + kPageSize;
    for (std::size_t i = begin; i < std::min({reached, size, now.size()}); ++i) out[i] = now[i];
  }
  return out;
}

void PowerCutDisk::cut() {
  std::scoped_lock lock(mu_);
  if (cut_) return;
  cut_ = true;
  // The names as they stand, with their files' current contents.
  std::map<std::string, FileId> names;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(dir_, ec)) {
    const std::string path = e.path().string();
    if (inode_of(path.c_str()) == 0) continue;
    const FileId file = id_of(inode_of(path.c_str()));
    inodes_[file].current_known = false;
    names[e.path().filename().string()] = note_existing(path.c_str());
  }
  // Undo the journal's newest entries down to a random point.
  const std::size_t keep = std::uniform_int_distribution<std::size_t>(0, journal_.size())(rng_);
  constexpr const char* kOps[] = {"create", "rename", "link", "unlink"};
  description_.clear();
  for (std::size_t i = 0; i < journal_.size(); ++i) {
    const Entry& e = journal_[i];
    description_ += std::string(i < keep ? "kept " : "undone ") + kOps[static_cast<int>(e.op)] +
                    " " + e.from + (e.from.empty() ? "" : " -> ") + e.name + " #" +
                    std::to_string(e.file) + "\n";
  }
  for (std::size_t i = journal_.size(); i > keep; --i) {
    const Entry& e = journal_[i - 1];
    switch (e.op) {
      case EntryOp::Create:
      case EntryOp::Link: names.erase(e.name); break;
      case EntryOp::Unlink: names[e.name] = e.file; break;
      case EntryOp::Rename:
        names[e.from] = e.file;
        if (e.replaced != 0) {
          names[e.name] = e.replaced;
        } else {
          names.erase(e.name);
        }
        break;
    }
  }
  survivors_.clear();
  std::map<FileId, Bytes> images;  // one image per file, shared by its names
  for (const auto& [name, file] : names) {
    auto it = images.find(file);
    if (it == images.end()) it = images.emplace(file, survivor_of(inodes_[file])).first;
    survivors_[name] = it->second;
    description_ +=
        name + " #" + std::to_string(file) + ": " + std::to_string(it->second.size()) + " bytes\n";
  }
}

std::string PowerCutDisk::describe() const {
  std::scoped_lock lock(mu_);
  return description_;
}

bool PowerCutDisk::is_cut() const {
  std::scoped_lock lock(mu_);
  return cut_;
}

void PowerCutDisk::restore() const {
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(dir_, ec)) {
    if (e.is_regular_file(ec)) fs::remove(e.path(), ec);
  }
  for (const auto& [name, bytes] : survivors_) {
    std::ofstream out(dir_ / name, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    fs::permissions(dir_ / name, fs::perms::owner_read | fs::perms::owner_write, ec);
  }
}

}  // namespace kavrel::io
