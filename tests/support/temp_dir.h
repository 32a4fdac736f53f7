// A fresh directory under the system's temporary directory, removed with its contents on
// destruction.
#pragma once

#include <filesystem>

namespace kavrel::testing {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::filesystem::path& p) const { return path_ / p; }

 private:
  std::filesystem::path path_;
};

}  // namespace kavrel::testing
