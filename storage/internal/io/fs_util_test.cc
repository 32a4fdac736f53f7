#include "storage/internal/io/fs_util.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <functional>
#include <memory>
#include <set>
#include <sstream>
#include <vector>

#include <gtest/gtest.h>

#include "storage/internal/io/file_io.h"
#include "tests/support/files.h"
#include "tests/support/temp_dir.h"

namespace kavrel {
namespace {

namespace fs = std::filesystem;
using Stage = PublishError::Stage;

using testing::read_file;
using testing::write_file;

std::vector<std::string> entries(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

// A plan that fails the nth call (1-based) of one kind with err.
io::FaultPlan fail_nth(io::Op which, int nth, int err) {
  auto seen = std::make_shared<int>(0);
  return io::FaultPlan{[=](io::Op op) -> std::optional<int> {
                         if (op == which && ++*seen == nth) return err;
                         return std::nullopt;
                       },
                       nullptr};
}

class FsUtilTest : public ::testing::Test {
 protected:
  void TearDown() override { io::set_fault_plan(std::nullopt); }
  testing::TempDir tmp_;
};

TEST_F(FsUtilTest, PublishCreatesTheFileWithOwnerOnlyMode) {
  for (PublishMode mode : {PublishMode::Replace, PublishMode::NoOverwrite}) {
    testing::TempDir dir;
    auto r = publish_file(dir.path(), "target.json", "contents", mode);
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(*r, PublishOutcome::Published);
    EXPECT_EQ(read_file(dir / "target.json"), "contents");
    EXPECT_EQ(entries(dir.path()), std::vector<std::string>{"target.json"});
    struct stat st {};
    ASSERT_EQ(::stat((dir / "target.json").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
  }
}

TEST_F(FsUtilTest, ReplaceOverwritesAndNoOverwriteKeepsTheOldFile) {
  write_file(tmp_ / "target", "old");
  auto kept = publish_file(tmp_.path(), "target", "new", PublishMode::NoOverwrite);
  ASSERT_TRUE(kept.has_value());
  EXPECT_EQ(*kept, PublishOutcome::AlreadyExists);
  EXPECT_EQ(read_file(tmp_ / "target"), "old");
  EXPECT_EQ(entries(tmp_.path()), std::vector<std::string>{"target"});

  auto replaced = publish_file(tmp_.path(), "target", "new", PublishMode::Replace);
  ASSERT_TRUE(replaced.has_value());
  EXPECT_EQ(*replaced, PublishOutcome::Published);
  EXPECT_EQ(read_file(tmp_ / "target"), "new");
  EXPECT_EQ(entries(tmp_.path()), std::vector<std::string>{"target"});
}

TEST_F(FsUtilTest, NoOverwriteWithoutRenameat2FallsBackToLink) {
  io::set_fault_plan(io::FaultPlan{[](io::Op op) -> std::optional<int> {
                                     if (op == io::Op::Rename) return EINVAL;
                                     return std::nullopt;
                                   },
                                   nullptr});
  auto first = publish_file(tmp_.path(), "t", "one", PublishMode::NoOverwrite);
  auto second = publish_file(tmp_.path(), "t", "two", PublishMode::NoOverwrite);
  io::set_fault_plan(std::nullopt);
  ASSERT_TRUE(first.has_value() && second.has_value());
  EXPECT_EQ(*first, PublishOutcome::Published);
  EXPECT_EQ(*second, PublishOutcome::AlreadyExists);  // link refuses the existing name
  EXPECT_EQ(read_file(tmp_ / "t"), "one");
  EXPECT_EQ(entries(tmp_.path()), std::vector<std::string>{"t"});
}

TEST_F(FsUtilTest, FailureBeforeTheMoveRemovesTheTemporaryAndKeepsTheOldFile) {
  struct Case {
    const char* name;
    io::FaultPlan plan;
    PublishMode mode;
    Stage stage;
    int err;
  };
  const Case cases[] = {
      {"create", fail_nth(io::Op::OpenCreate, 1, EACCES), PublishMode::Replace, Stage::Temp,
       EACCES},
      {"write", fail_nth(io::Op::Write, 1, ENOSPC), PublishMode::Replace, Stage::Temp, ENOSPC},
      {"fsync", fail_nth(io::Op::Fsync, 1, EIO), PublishMode::NoOverwrite, Stage::Temp, EIO},
      {"rename", fail_nth(io::Op::Rename, 1, EIO), PublishMode::Replace, Stage::Move, EIO},
      {"rename no-replace", fail_nth(io::Op::Rename, 1, EXDEV), PublishMode::NoOverwrite,
       Stage::Move, EXDEV},
      {"link fallback",
       io::FaultPlan{[](io::Op op) -> std::optional<int> {
                       if (op == io::Op::Rename) return ENOSYS;
                       if (op == io::Op::Link) return EMLINK;
                       return std::nullopt;
                     },
                     nullptr},
       PublishMode::NoOverwrite, Stage::Move, EMLINK},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::TempDir dir;
    write_file(dir / "other", "untouched");
    io::set_fault_plan(c.plan);
    auto r = publish_file(dir.path(), "target", "new", c.mode);
    io::set_fault_plan(std::nullopt);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().stage, c.stage);
    EXPECT_EQ(r.error().err, c.err);
    EXPECT_EQ(entries(dir.path()), std::vector<std::string>{"other"});
  }
  // With a file in place, a failed replace leaves it as it was.
  write_file(tmp_ / "target", "old");
  io::set_fault_plan(fail_nth(io::Op::Rename, 1, EIO));
  auto r = publish_file(tmp_.path(), "target", "new", PublishMode::Replace);
  io::set_fault_plan(std::nullopt);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(read_file(tmp_ / "target"), "old");
  EXPECT_EQ(entries(tmp_.path()), std::vector<std::string>{"target"});
}

TEST_F(FsUtilTest, ShortWritesStillPublishEverything) {
  const std::string contents(10000, 'c');
  io::set_fault_plan(io::FaultPlan{nullptr, [](std::size_t n) -> std::optional<std::size_t> {
                                     return std::min<std::size_t>(n, 7);
                                   }});
  auto r = publish_file(tmp_.path(), "target", contents, PublishMode::Replace);
  io::set_fault_plan(std::nullopt);
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(read_file(tmp_ / "target"), contents);
}

TEST_F(FsUtilTest, FailedFsyncAfterTheMoveLeavesTheNewFile) {
  io::set_fault_plan(fail_nth(io::Op::Fsync, 2, EIO));
  auto r = publish_file(tmp_.path(), "target", "new", PublishMode::Replace);
  io::set_fault_plan(std::nullopt);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().stage, Stage::AfterMove);
  EXPECT_EQ(r.error().err, EIO);
  EXPECT_EQ(read_file(tmp_ / "target"), "new");
  EXPECT_EQ(entries(tmp_.path()), std::vector<std::string>{"target"});
}

TEST_F(FsUtilTest, PublishSyncsTheTemporaryTheFileAndTheDirectory) {
  const std::uint64_t before = io::fsync_count();
  ASSERT_TRUE(publish_file(tmp_.path(), "target", "x", PublishMode::Replace).has_value());
  EXPECT_EQ(io::fsync_count() - before, 3u);
}

TEST_F(FsUtilTest, FsyncDirReportsErrors) {
  const std::uint64_t before = io::fsync_count();
  EXPECT_TRUE(fsync_dir(tmp_.path()).has_value());
  EXPECT_EQ(io::fsync_count() - before, 1u);
  auto missing = fsync_dir(tmp_ / "missing");
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error().os_error(), ENOENT);
  io::set_fault_plan(fail_nth(io::Op::Fsync, 1, EIO));
  auto failed = fsync_dir(tmp_.path());
  io::set_fault_plan(std::nullopt);
  ASSERT_FALSE(failed.has_value());
  EXPECT_EQ(failed.error().os_error(), EIO);
}

TEST_F(FsUtilTest, RandomAlnumHasTheLengthAndAlphabet) {
  const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  for (std::size_t n : {0u, 1u, 6u, 300u}) {
    const std::string s = random_alnum(n);
    EXPECT_EQ(s.size(), n);
    EXPECT_EQ(s.find_first_not_of(alphabet), std::string::npos) << s;
  }
  // Over many draws every one of the 62 characters shows up (a biased or truncated alphabet
  // would miss some); the chance that a fair source misses one in 20000 draws is negligible.
  const std::string many = random_alnum(20000);
  EXPECT_EQ(std::set<char>(many.begin(), many.end()).size(), 62u);
  EXPECT_NE(random_alnum(6), random_alnum(6));
}

TEST_F(FsUtilTest, RandomBytesHaveTheLengthAndDiffer) {
  EXPECT_TRUE(random_bytes(0).empty());
  const Bytes a = random_bytes(32), b = random_bytes(32);
  EXPECT_EQ(a.size(), 32u);
  EXPECT_NE(a, b);
  const Bytes many = random_bytes(4096);
  EXPECT_GT(std::set<char>(many.begin(), many.end()).size(), 200u);
}

TEST_F(FsUtilTest, CreateDirAll) {
  const fs::path nested = tmp_ / "a" / "b" / "c";
  const mode_t old_umask = ::umask(0022);
  const std::uint64_t before = io::fsync_count();
  ASSERT_TRUE(create_dir_all(nested).has_value());
  ::umask(0777);  // the mode does not depend on the umask: nothing may be created wider
  ASSERT_TRUE(create_dir_all(tmp_ / "d").has_value());
  ::umask(old_umask);
  EXPECT_TRUE(fs::is_directory(nested));
  EXPECT_EQ(io::fsync_count() - before, 4u);  // each new entry's parent
  for (const fs::path& p : {tmp_ / "a", tmp_ / "a" / "b", nested, tmp_ / "d"}) {
    EXPECT_EQ(fs::status(p).permissions(), fs::perms::owner_all) << p;
  }
  EXPECT_TRUE(create_dir_all(nested).has_value());  // already there
  write_file(tmp_ / "file", "x");
  auto r = create_dir_all(tmp_ / "file" / "sub");
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().message(), "IO error: Not a directory (os error 20)");
}

// A publish cut short leaves its temporary behind; only names of that exact shape go, and only
// files: another name, a directory or a link of that shape stays.
TEST_F(FsUtilTest, RemoveTempFilesRemovesOnlyLeftoverTemporaries) {
  write_file(tmp_ / ".tmpAb12Z9", "half a snapshot");
  write_file(tmp_ / ".tmp000000", "");
  for (const char* kept : {".tmpAb12Z", ".tmpAb12Z9x", ".tmp-b12Z9", "x.tmpAb12Z9", "wal.log"}) {
    write_file(tmp_ / kept, "kept");
  }
  fs::create_directory(tmp_ / ".tmpDIR123");
  fs::create_symlink("wal.log", tmp_ / ".tmpLINK12");
  auto removed = remove_temp_files(tmp_.path());
  ASSERT_TRUE(removed) << removed.error().message();
  EXPECT_EQ(removed->files, 2U);
  EXPECT_EQ(removed->bytes, 15U);
  EXPECT_EQ(entries(tmp_.path()),
            (std::vector<std::string>{".tmp-b12Z9", ".tmpAb12Z", ".tmpAb12Z9x", ".tmpDIR123",
                                      ".tmpLINK12", "wal.log", "x.tmpAb12Z9"}));
  auto again = remove_temp_files(tmp_.path());
  ASSERT_TRUE(again);
  EXPECT_EQ(again->files, 0U);
}

// The names the publisher makes are the names the removal recognises.
TEST_F(FsUtilTest, PublishTemporariesAreRecognised) {
  std::string seen;
  auto r = publish_file_with(
      tmp_.path(), "target",
      [&](int) {
        for (const auto& e : fs::directory_iterator(tmp_.path())) seen = e.path().filename();
        return 0;
      },
      PublishMode::Replace);
  ASSERT_TRUE(r);
  EXPECT_TRUE(is_temp_file_name(seen)) << seen;
}

}  // namespace
}  // namespace kavrel
