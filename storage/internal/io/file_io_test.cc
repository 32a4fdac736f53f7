#include "storage/internal/io/file_io.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/unique_fd.h"
#include "tests/support/files.h"
#include "tests/support/temp_dir.h"

namespace kavrel {
namespace {

namespace fs = std::filesystem;

using testing::read_file;

class FileIoTest : public ::testing::Test {
 protected:
  void TearDown() override { io::set_fault_plan(std::nullopt); }
  UniqueFd create(const char* name) {
    UniqueFd fd(io::open_create((tmp_ / name).c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC, 0600));
    EXPECT_TRUE(fd.valid()) << errno;
    return fd;
  }
  testing::TempDir tmp_;
};

TEST_F(FileIoTest, WriteAllCompletesAfterShortWrites) {
  struct Case {
    std::size_t cap;
    std::size_t size;
    std::size_t calls;  // writes needed
  };
  const Case cases[] = {{1, 5, 5}, {3, 10, 4}, {4096, 10000, 3}, {100, 100, 1}, {7, 0, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "cap " << c.cap << " size " << c.size);
    auto calls = std::make_shared<std::size_t>(0);
    io::set_fault_plan(io::FaultPlan{
        [calls](io::Op op) -> std::optional<int> {
          if (op == io::Op::Write) ++*calls;
          return std::nullopt;
        },
        [cap = c.cap](std::size_t n) -> std::optional<std::size_t> { return std::min(n, cap); }});
    UniqueFd fd = create("f");
    std::string data(c.size, '\0');
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>('a' + i % 26);
    EXPECT_EQ(io::write_all(fd.get(), data.data(), data.size()), 0);
    io::set_fault_plan(std::nullopt);
    EXPECT_EQ(*calls, c.calls);
    EXPECT_EQ(read_file(tmp_ / "f"), data);
  }
}

TEST_F(FileIoTest, WriteAllRetriesInterruptsAndReportsOtherErrors) {
  // EINTR is retried; the data arrives once.
  auto seen = std::make_shared<int>(0);
  io::set_fault_plan(io::FaultPlan{[seen](io::Op op) -> std::optional<int> {
                                     if (op == io::Op::Write && ++*seen <= 2) return EINTR;
                                     return std::nullopt;
                                   },
                                   nullptr});
  UniqueFd fd = create("f");
  EXPECT_EQ(io::write_all(fd.get(), "hello", 5), 0);
  EXPECT_EQ(*seen, 3);
  EXPECT_EQ(read_file(tmp_ / "f"), "hello");

  // A real error ends the write with that errno.
  io::set_fault_plan(io::FaultPlan{[](io::Op op) -> std::optional<int> {
                                     if (op == io::Op::Write) return ENOSPC;
                                     return std::nullopt;
                                   },
                                   nullptr});
  EXPECT_EQ(io::write_all(fd.get(), "more", 4), ENOSPC);
  EXPECT_EQ(read_file(tmp_ / "f"), "hello");

  // A write that makes no progress is EIO rather than an endless loop.
  io::set_fault_plan(io::FaultPlan{
      nullptr, [](std::size_t) -> std::optional<std::size_t> { return std::size_t{0}; }});
  EXPECT_EQ(io::write_all(fd.get(), "more", 4), EIO);
}

TEST_F(FileIoTest, InjectedFailuresLeaveFilesUntouched) {
  UniqueFd fd = create("f");
  ASSERT_EQ(io::write_all(fd.get(), "abc", 3), 0);
  io::set_fault_plan(io::FaultPlan{[](io::Op) -> std::optional<int> { return EIO; }, nullptr});
  errno = 0;
  EXPECT_EQ(io::write(fd.get(), "x", 1), -1);
  EXPECT_EQ(errno, EIO);
  EXPECT_EQ(io::fsync(fd.get()), -1);
  EXPECT_EQ(io::rename((tmp_ / "f").c_str(), (tmp_ / "g").c_str()), -1);
  EXPECT_EQ(io::rename_noreplace((tmp_ / "f").c_str(), (tmp_ / "g").c_str()), -1);
  EXPECT_EQ(io::link((tmp_ / "f").c_str(), (tmp_ / "g").c_str()), -1);
  EXPECT_EQ(io::open_create((tmp_ / "h").c_str(), O_WRONLY, 0600), -1);
  EXPECT_EQ(errno, EIO);
  io::set_fault_plan(std::nullopt);
  EXPECT_EQ(read_file(tmp_ / "f"), "abc");
  EXPECT_FALSE(fs::exists(tmp_ / "g"));
  EXPECT_FALSE(fs::exists(tmp_ / "h"));
}

TEST_F(FileIoTest, CallsWithoutAPlanBehaveLikePosix) {
  UniqueFd fd = create("a");
  ASSERT_EQ(io::write(fd.get(), "A", 1), 1);
  ASSERT_EQ(io::fsync(fd.get()), 0);
  { UniqueFd b = create("b"); }
  // rename_noreplace refuses an existing target; rename replaces it.
  EXPECT_EQ(io::rename_noreplace((tmp_ / "a").c_str(), (tmp_ / "b").c_str()), -1);
  EXPECT_EQ(errno, EEXIST);
  EXPECT_EQ(io::link((tmp_ / "a").c_str(), (tmp_ / "b").c_str()), -1);
  EXPECT_EQ(errno, EEXIST);
  EXPECT_EQ(io::rename_noreplace((tmp_ / "a").c_str(), (tmp_ / "c").c_str()), 0);
  EXPECT_EQ(io::rename((tmp_ / "c").c_str(), (tmp_ / "b").c_str()), 0);
  EXPECT_EQ(read_file(tmp_ / "b"), "A");
  EXPECT_FALSE(fs::exists(tmp_ / "a"));
  EXPECT_FALSE(fs::exists(tmp_ / "c"));
  EXPECT_EQ(io::link((tmp_ / "b").c_str(), (tmp_ / "d").c_str()), 0);
  EXPECT_EQ(read_file(tmp_ / "d"), "A");
  // open_create adds O_CREAT.
  UniqueFd e(io::open_create((tmp_ / "e").c_str(), O_WRONLY | O_EXCL | O_CLOEXEC, 0600));
  EXPECT_TRUE(e.valid());
  EXPECT_EQ(io::open_create((tmp_ / "e").c_str(), O_WRONLY | O_EXCL | O_CLOEXEC, 0600), -1);
  EXPECT_EQ(errno, EEXIST);
}

TEST_F(FileIoTest, FsyncCountCountsEveryCallIncludingFailedOnes) {
  UniqueFd fd = create("f");
  const std::uint64_t before = io::fsync_count();
  ASSERT_EQ(io::fsync(fd.get()), 0);
  ASSERT_EQ(io::fsync(fd.get()), 0);
  EXPECT_EQ(io::fsync_count() - before, 2u);
  io::set_fault_plan(io::FaultPlan{[](io::Op op) -> std::optional<int> {
                                     if (op == io::Op::Fsync) return EIO;
                                     return std::nullopt;
                                   },
                                   nullptr});
  EXPECT_EQ(io::fsync(fd.get()), -1);
  EXPECT_EQ(io::fsync_count() - before, 3u);
  io::set_fault_plan(std::nullopt);
  // Other calls do not count.
  ASSERT_EQ(io::write_all(fd.get(), "x", 1), 0);
  EXPECT_EQ(io::fsync_count() - before, 3u);
}

TEST_F(FileIoTest, RemovingThePlanRestoresPlainCalls) {
  io::set_fault_plan(io::FaultPlan{[](io::Op) -> std::optional<int> { return EIO; }, nullptr});
  io::set_fault_plan(std::nullopt);
  UniqueFd fd = create("f");
  EXPECT_EQ(io::write_all(fd.get(), "ok", 2), 0);
  EXPECT_EQ(io::fsync(fd.get()), 0);
  EXPECT_EQ(read_file(tmp_ / "f"), "ok");
}

}  // namespace
}  // namespace kavrel
