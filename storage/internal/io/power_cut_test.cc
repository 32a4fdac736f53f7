#include "storage/internal/io/power_cut.h"

#include <fcntl.h>

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "core/unique_fd.h"
#include "storage/internal/io/file_io.h"
#include "storage/internal/io/fs_util.h"
#include "tests/support/temp_dir.h"

namespace kavrel::io {
namespace {

constexpr int kSeeds = 64;

// Runs `work` on a fresh directory under a disk with the given seed, cuts, and returns what the
// disk kept.
template <class Work>
std::map<std::string, Bytes> kept_after(std::uint64_t seed, const Work& work) {
  testing::TempDir tmp;
  auto disk = std::make_shared<PowerCutDisk>(tmp.path(), seed);
  set_power_cut_disk(disk);
  work(tmp.path());
  disk->cut();
  EXPECT_EQ(io::fsync(0), -1);  // a cut disk fails every call
  set_power_cut_disk(nullptr);
  return disk->survivors();
}

void append(const std::filesystem::path& path, const Bytes& data, bool sync) {
  UniqueFd fd(open_create(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC, 0600));
  ASSERT_TRUE(fd.valid());
  ASSERT_EQ(write_all(fd.get(), data.data(), data.size()), 0);
  if (sync) {
    ASSERT_EQ(io::fsync(fd.get()), 0);
  }
}

TEST(PowerCutDiskTest, SyncedFileAndDirectoryAlwaysSurvive) {
  const Bytes data(10'000, 'a');
  for (int seed = 0; seed < kSeeds; ++seed) {
    const auto kept = kept_after(seed, [&](const std::filesystem::path& dir) {
      append(dir / "f", data, true);
      ASSERT_TRUE(fsync_dir(dir).has_value());
    });
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(kept.at("f"), data);
  }
}

// What is not synced may or may not survive: each outcome must show up over the seeds.
TEST(PowerCutDiskTest, UnsyncedStateMayBeLost) {
  struct Case {
    const char* name;
    std::function<void(const std::filesystem::path&)> work;
    std::set<std::string> outcomes;  // of "f" (absent: "-"; a whole page of 'a': "P")
  };
  const Bytes page(PowerCutDisk::kPageSize, 'a');
  const Case cases[] = {
      {"a new name without a directory sync",
       [&](const auto& dir) { append(dir / "f", Bytes("x"), true); },
       {"-", "x"}},
      {"an unsynced append after a synced page",
       [&](const auto& dir) {
         append(dir / "f", page, true);
         ASSERT_TRUE(fsync_dir(dir).has_value());
         append(dir / "f", Bytes("b"), false);
       },
       // The size may survive without the data: the byte then reads as zero.
       {"P", "Pb", std::string("P\0", 2)}},
      {"a rename without a directory sync",
       [&](const auto& dir) {
         append(dir / "f", Bytes("old"), true);
         append(dir / "t", Bytes("new"), true);
         ASSERT_TRUE(fsync_dir(dir).has_value());
         ASSERT_EQ(io::rename((dir / "t").c_str(), (dir / "f").c_str()), 0);
       },
       {"old", "new"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::set<std::string> seen;
    for (int seed = 0; seed < kSeeds; ++seed) {
      const auto kept = kept_after(seed, c.work);
      const auto it = kept.find("f");
      std::string shown = it == kept.end() ? "-" : it->second;
      if (shown.starts_with(page)) shown = "P" + shown.substr(page.size());
      seen.insert(shown);
    }
    EXPECT_EQ(seen, c.outcomes);
  }
}

}  // namespace
}  // namespace kavrel::io
