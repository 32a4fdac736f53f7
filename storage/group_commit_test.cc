#include "storage/group_commit.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace kavrel {
namespace {

using namespace std::chrono_literals;

std::size_t batches_seen(std::mutex& mu, const std::vector<std::vector<std::uint64_t>>& batches) {
  std::scoped_lock lock(mu);
  return batches.size();
}

// Records every batch handed to the writer.
struct BatchLog {
  std::mutex mu;
  std::vector<std::vector<std::uint64_t>> batches;
  std::optional<std::string> fail_with;
  std::chrono::milliseconds delay{0};

  EventDrivenGroupCommit::FlushFn fn() {
    return [this](const std::vector<std::uint64_t>& ids) -> std::optional<std::string> {
      if (delay.count() > 0) std::this_thread::sleep_for(delay);
      std::scoped_lock lock(mu);
      batches.push_back(ids);
      return fail_with;
    };
  }
};

TEST(GroupCommitTest, IdleCommitIsFlushedAtOnceByItsOwnThread) {
  BatchLog log;
  EventDrivenGroupCommit gc(log.fn());
  EXPECT_EQ(gc.submit_and_wait(7), std::nullopt);
  ASSERT_EQ(log.batches.size(), 1u);
  EXPECT_EQ(log.batches[0], std::vector<std::uint64_t>{7});
  EXPECT_EQ(gc.target_batch(), 1u) << "starting averages give a target of 1";
}

TEST(GroupCommitTest, CommitsQueuedDuringAFlushShareTheNextOneInQueueOrder) {
  std::mutex mu;
  std::condition_variable cv;
  bool release = false;
  std::vector<std::vector<std::uint64_t>> batches;
  EventDrivenGroupCommit gc(
      [&](const std::vector<std::uint64_t>& ids) -> std::optional<std::string> {
        std::unique_lock lock(mu);
        batches.push_back(ids);
        cv.notify_all();
        cv.wait(lock, [&] { return release; });  // the first batch's sync is slow
        return std::nullopt;
      });
  gc.force_target(2);
  std::thread first([&] { EXPECT_EQ(gc.submit_and_wait(1), std::nullopt); });
  {
    std::unique_lock lock(mu);
    cv.wait(lock, [&] { return batches.size() == 1; });  // 1 is being written
  }
  std::thread second([&] { EXPECT_EQ(gc.submit_and_wait(2), std::nullopt); });
  std::thread third([&] {
    while (gc.queued() < 1) std::this_thread::yield();  // 2 is queued first
    EXPECT_EQ(gc.submit_and_wait(3), std::nullopt);
  });
  while (gc.queued() < 2 && batches_seen(mu, batches) < 2) std::this_thread::yield();
  {
    std::scoped_lock lock(mu);
    release = true;
  }
  cv.notify_all();
  first.join();
  second.join();
  third.join();
  ASSERT_GE(batches.size(), 2u);
  EXPECT_EQ(batches[0], std::vector<std::uint64_t>{1});
  std::vector<std::uint64_t> rest;
  for (std::size_t i = 1; i < batches.size(); ++i) {
    rest.insert(rest.end(), batches[i].begin(), batches[i].end());
  }
  EXPECT_EQ(rest, (std::vector<std::uint64_t>{2, 3})) << "written in queue order";
  // 3 reaches the target of 2 and writes both at once; only a 2 left alone for the whole 20 ms
  // wait (a badly overloaded machine) would have written itself first.
  EXPECT_LE(batches.size(), 3u);
}

TEST(GroupCommitTest, LoneCommitNeverWaitsForTheTarget) {
  BatchLog log;
  EventDrivenGroupCommit gc(log.fn());
  gc.force_target(5);  // never reached by one commit
  EXPECT_EQ(gc.submit_and_wait(9), std::nullopt);
  ASSERT_EQ(log.batches.size(), 1u);
  EXPECT_EQ(log.batches[0], std::vector<std::uint64_t>{9});
}

TEST(GroupCommitTest, FailedSyncFailsEveryMemberOfTheBatchWithOneText) {
  BatchLog log;
  log.fail_with = "IO error: Input/output error (os error 5)";
  EventDrivenGroupCommit gc(log.fn());
  gc.force_target(3);
  std::vector<std::optional<std::string>> results(3);
  std::vector<std::thread> threads;
  for (int i = 0; i < 3; ++i) {
    threads.emplace_back(
        [&, i] { results[i] = gc.submit_and_wait(static_cast<std::uint64_t>(i)); });
  }
  for (auto& t : threads) t.join();
  for (const auto& r : results) EXPECT_EQ(r, log.fail_with);
  log.fail_with.reset();
  gc.force_target(1);
  EXPECT_EQ(gc.submit_and_wait(10), std::nullopt) << "the next batch tries again";
}

TEST(GroupCommitTest, EveryCommitGetsExactlyOneOutcomeUnderLoad) {
  BatchLog log;
  log.delay = 1ms;
  EventDrivenGroupCommit gc(log.fn());
  constexpr int kThreads = 16, kPerThread = 50;
  std::atomic<int> ok{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        if (!gc.submit_and_wait(static_cast<std::uint64_t>(t) * kPerThread + i)) ++ok;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(ok.load(), kThreads * kPerThread);
  std::vector<bool> seen(kThreads * kPerThread, false);
  for (const auto& batch : log.batches) {
    EXPECT_LE(batch.size(), EventDrivenGroupCommit::max_batch);
    for (std::uint64_t id : batch) {
      EXPECT_FALSE(seen[id]) << "id " << id << " flushed twice";
      seen[id] = true;
    }
  }
  EXPECT_LT(log.batches.size(), static_cast<std::size_t>(kThreads * kPerThread))
      << "concurrent commits must share flushes";
}

TEST(GroupCommitTest, WaiterFlushesNextEntriesWhileAnotherBatchIsSlow) {
  BatchLog log;
  std::atomic<int> calls{0};
  std::mutex mu;
  std::vector<std::vector<std::uint64_t>> batches;
  EventDrivenGroupCommit gc(
      [&](const std::vector<std::uint64_t>& ids) -> std::optional<std::string> {
        if (calls.fetch_add(1) == 0) std::this_thread::sleep_for(100ms);  // the first batch is slow
        std::scoped_lock lock(mu);
        batches.push_back(ids);
        return std::nullopt;
      });
  gc.force_target(1);
  std::thread slow([&] { EXPECT_EQ(gc.submit_and_wait(1), std::nullopt); });
  while (calls.load() == 0) std::this_thread::yield();  // 1 is being written
  gc.force_target(2);  // 2 alone does not reach the target: it waits, then flushes itself
  EXPECT_EQ(gc.submit_and_wait(2), std::nullopt);
  slow.join();
  ASSERT_EQ(batches.size(), 2u);
  EXPECT_EQ(batches[0], std::vector<std::uint64_t>{2}) << "2 was flushed while 1's batch slept";
  EXPECT_EQ(batches[1], std::vector<std::uint64_t>{1});
}

}  // namespace
}  // namespace kavrel
