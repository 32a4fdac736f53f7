// File-system helpers shared by the manifest, the keyring and the storage open.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

#include "core/bytes.h"
#include "core/error.h"

namespace kavrel {

// Opens the directory read-only and fsyncs it: entries created, renamed or removed in it are then
// durable. Io error on failure.
Result<> fsync_dir(const std::filesystem::path& dir);

// n characters from [A-Za-z0-9], from the operating system's random source.
std::string random_alnum(std::size_t n);
// n bytes from the operating system's random source; a failure of the source is fatal.
Bytes random_bytes(std::size_t n);

// Creates dir and its missing parents, each with mode 0700 whatever the umask, and makes each new
// entry durable (fsync of its parent). Io error on failure.
Result<> create_dir_all(const std::filesystem::path& dir);

// The whole contents of the file at path, opened and read through the I/O seam (Op::Open,
// Op::Read); an Io error when it cannot be opened or read.
Result<Bytes> read_whole_file(const std::filesystem::path& path);

// Atomic publish of `contents` as dir/name: a temporary ".tmp" + 6 random alphanumerics in dir
// (created exclusively, mode 0600), written and fsynced, then moved into place, then the new file
// and the directory fsynced.
//   Replace:     rename over an existing file.
//   NoOverwrite: the move fails when dir/name exists (renameat2 RENAME_NOREPLACE, or link+unlink
//                where that is unsupported); the outcome is then AlreadyExists and nothing changed.
// When creating, writing or moving the temporary fails it is removed and the old file is
// untouched (Io error, or for NoOverwrite a move failure other than "exists": MoveFailed with the
// system message in the error text). A failed fsync after the move returns an Io error with the
// new file already in place.
enum class PublishMode { Replace, NoOverwrite };
enum class PublishOutcome { Published, AlreadyExists };
struct PublishError {
  enum class Stage { Temp, Move, AfterMove } stage;
  int err;
};
Result<PublishOutcome, PublishError> publish_file(const std::filesystem::path& dir,
                                                  std::string_view name, BytesView contents,
                                                  PublishMode mode);
// The same with contents written by write(fd) into the temporary file, for contents too large to
// hold in memory; write returns 0 or the errno of its failure.
Result<PublishOutcome, PublishError> publish_file_with(const std::filesystem::path& dir,
                                                       std::string_view name,
                                                       const std::function<int(int fd)>& write,
                                                       PublishMode mode);

// Whether name is one of publish_file's temporaries (".tmp" + 6 alphanumerics).
bool is_temp_file_name(std::string_view name);

// What remove_temp_files removed.
struct RemovedTemps {
  std::uint64_t files = 0;
  std::uint64_t bytes = 0;
};
// Removes the temporaries that publishes interrupted by a crash, a power cut or an exit left in
// dir (regular files only), then makes the removals durable. Only for a directory whose owner
// holds its lock, so that no publish of this process runs. Io error when one cannot be removed.
Result<RemovedTemps> remove_temp_files(const std::filesystem::path& dir);

}  // namespace kavrel
