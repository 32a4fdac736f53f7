#include "core/cleanup.h"

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace kavrel {
namespace {

// Returns early at step `fail_at` (0 = no failure); the guard undoes the work unless every step
// succeeded.
void run_steps(int fail_at, std::vector<std::string>& log) {
  log.emplace_back("begin");
  Cleanup undo([&] { log.emplace_back("undo"); });
  for (int step = 1; step <= 2; ++step) {
    if (step == fail_at) return;  // the guard runs as the function returns
    log.emplace_back("step " + std::to_string(step));
  }
  std::move(undo).cancel();
  log.emplace_back("kept");
}

TEST(CleanupTest, RunsOnEveryEarlyReturnAndNotAfterCancel) {
  struct Case {
    int fail_at;
    std::vector<std::string> log;
  };
  const Case cases[] = {
      {1, {"begin", "undo"}},
      {2, {"begin", "step 1", "undo"}},
      {0, {"begin", "step 1", "step 2", "kept"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fail_at);
    std::vector<std::string> log;
    run_steps(c.fail_at, log);
    EXPECT_EQ(log, c.log);
  }
}

TEST(CleanupTest, RunsExactlyOnceAtScopeExit) {
  int runs = 0;
  {
    Cleanup guard([&] { ++runs; });
    EXPECT_EQ(runs, 0);
  }
  EXPECT_EQ(runs, 1);
}

TEST(CleanupTest, InvokeRunsNowAndNotAgain) {
  int runs = 0;
  {
    Cleanup guard([&] { ++runs; });
    std::move(guard).invoke();
    EXPECT_EQ(runs, 1);
  }
  EXPECT_EQ(runs, 1);
}

TEST(CleanupTest, MovedGuardRunsOnceFromItsNewOwner) {
  int runs = 0;
  {
    Cleanup outer([&] { ++runs; });
    {
      Cleanup inner(std::move(outer));
      EXPECT_EQ(runs, 0);
    }
    EXPECT_EQ(runs, 1) << "the new owner ran it at the end of its scope";
  }
  EXPECT_EQ(runs, 1) << "the moved-from guard does not run it again";
}

TEST(CleanupTest, OwnsItsCallable) {
  auto resource = std::make_shared<int>(7);
  std::weak_ptr<int> watch = resource;
  int seen = 0;
  {
    Cleanup guard([held = std::move(resource), &seen] { seen = *held; });
    EXPECT_FALSE(watch.expired());
  }
  EXPECT_EQ(seen, 7);
  EXPECT_TRUE(watch.expired()) << "the callable and what it captured are released with the guard";
}

}  // namespace
}  // namespace kavrel
