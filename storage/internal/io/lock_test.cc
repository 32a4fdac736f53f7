#include "storage/internal/io/lock.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "tests/support/files.h"
#include "tests/support/temp_dir.h"

namespace kavrel {
namespace {

using namespace std::chrono_literals;

using testing::read_file;

TEST(DatabaseLockTest, FreshDirectoryGetsLockFileWithPid) {
  testing::TempDir tmp;
  const auto dir = tmp / "new/db";
  {
    auto lock = DatabaseLock::acquire(dir);
    ASSERT_TRUE(lock) << lock.error().message();
    EXPECT_EQ(read_file(dir / ".lock"), std::to_string(getpid()) + "\n");
  }
  EXPECT_FALSE(std::filesystem::exists(dir / ".lock")) << "release deletes the file";
}

TEST(DatabaseLockTest, LeftoverFileIsTakenAtOnceAndRewritten) {
  testing::TempDir tmp;
  for (const char* leftover : {"99999999\n", "", "not a number"}) {
    SCOPED_TRACE(leftover);
    std::ofstream(tmp / ".lock") << leftover;
    const auto start = std::chrono::steady_clock::now();
    auto lock = DatabaseLock::acquire(tmp.path());
    ASSERT_TRUE(lock);
    EXPECT_LT(std::chrono::steady_clock::now() - start, DatabaseLock::kPollInterval);
    EXPECT_EQ(read_file(tmp / ".lock"), std::to_string(getpid()) + "\n");
  }
}

TEST(DatabaseLockTest, LiveHolderMakesAcquireTimeOutAndIsLeftAlone) {
  testing::TempDir tmp;
  // Another process holds the lock on a file whose content is not a process id.
  std::ofstream(tmp / ".lock") << "held";
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t child = fork();
  if (child == 0) {
    const int fd = ::open((tmp / ".lock").c_str(), O_RDWR);
    flock(fd, LOCK_EX);
    (void)::write(ready[1], "x", 1);
    pause();
    _exit(0);
  }
  char c;
  ASSERT_EQ(::read(ready[0], &c, 1), 1);
  auto lock = DatabaseLock::acquire(tmp.path(), 300ms);
  ASSERT_FALSE(lock);
  EXPECT_EQ(lock.error().kind(), LockError::Kind::Timeout);
  EXPECT_EQ(lock.error().message(), "Lock acquisition timed out after 300ms (timeout: 300ms)");
  EXPECT_EQ(read_file(tmp / ".lock"), "held");
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  // The holder is gone: the lock is free again.
  EXPECT_TRUE(DatabaseLock::acquire(tmp.path(), 300ms));
}

TEST(DatabaseLockTest, SecondAcquireInOneProcessWaitsForRelease) {
  testing::TempDir tmp;
  auto first = DatabaseLock::acquire(tmp.path());
  ASSERT_TRUE(first);
  auto second = DatabaseLock::acquire(tmp.path(), 250ms);
  ASSERT_FALSE(second);
  first->reset();
  auto third = DatabaseLock::acquire(tmp.path(), 250ms);
  ASSERT_TRUE(third);
  EXPECT_TRUE(std::filesystem::exists(tmp / ".lock"));
}

TEST(DatabaseLockTest, WaiterTakesOverAReleasedLockOnALiveFile) {
  testing::TempDir tmp;
  // The releasing holder deletes the file while still holding it; the waiter then finds its
  // descriptor unlinked and must retry on a new file, which it really holds.
  auto a = DatabaseLock::acquire(tmp.path());
  ASSERT_TRUE(a);
  std::thread waiter([&] {
    auto b = DatabaseLock::acquire(tmp.path(), 2s);
    ASSERT_TRUE(b);
    EXPECT_TRUE(std::filesystem::exists(tmp / ".lock"));
    auto c = DatabaseLock::acquire(tmp.path(), 150ms);
    EXPECT_FALSE(c) << "the new holder's file must really be locked";
  });
  std::this_thread::sleep_for(150ms);
  a->reset();
  waiter.join();
}

}  // namespace
}  // namespace kavrel
