#include "storage/group_commit.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace kavrel {
namespace {

using namespace std::chrono_literals;
using Batch = std::vector<EventDrivenGroupCommit::Request>;

std::vector<std::uint64_t> ids_of(const Batch& batch) {
  std::vector<std::uint64_t> ids;
  for (const auto& r : batch) ids.push_back(r.txn_id);
  return ids;
}

// The outcome's text, or nullopt for success.
std::optional<std::string> submit(EventDrivenGroupCommit& gc, std::uint64_t id) {
  auto r = gc.submit_and_wait(id, WalPosition{0, id});
  if (r) return std::nullopt;
  return r.error().message();
}

std::size_t batches_seen(std::mutex& mu, const std::vector<std::vector<std::uint64_t>>& batches) {
  std::scoped_lock lock(mu);
  return batches.size();
}

// Records every batch handed to the writer.
struct BatchLog {
  std::mutex mu;
  std::vector<std::vector<std::uint64_t>> batches;
  std::optional<KavrelError> fail_with;
  std::chrono::milliseconds delay{0};

  EventDrivenGroupCommit::FlushFn fn() {
    return [this](Batch& batch) {
      if (delay.count() > 0) std::this_thread::sleep_for(delay);
      std::scoped_lock lock(mu);
      batches.push_back(ids_of(batch));
      if (fail_with) {
        for (auto& r : batch) r.outcome = fail(*fail_with);
      }
    };
  }
};

TEST(GroupCommitTest, IdleCommitIsFlushedAtOnceByItsOwnThread) {
  BatchLog log;
  EventDrivenGroupCommit gc(log.fn());
  EXPECT_EQ(submit(gc, 7), std::nullopt);
  ASSERT_EQ(log.batches.size(), 1u);
  EXPECT_EQ(log.batches[0], std::vector<std::uint64_t>{7});
  EXPECT_EQ(gc.target_batch(), 1u) << "starting averages give a target of 1";
}

TEST(GroupCommitTest, CommitsQueuedDuringAFlushShareTheNextOneInQueueOrder) {
  std::mutex mu;
  std::condition_variable cv;
  bool release = false;
  std::vector<std::vector<std::uint64_t>> batches;
  EventDrivenGroupCommit gc([&](Batch& batch) {
    std::unique_lock lock(mu);
    batches.push_back(ids_of(batch));
    cv.notify_all();
    cv.wait(lock, [&] { return release; });  // the first batch's sync is slow
  });
  gc.force_target(2);
  std::thread first([&] { EXPECT_EQ(submit(gc, 1), std::nullopt); });
  {
    std::unique_lock lock(mu);
    cv.wait(lock, [&] { return batches.size() == 1; });  // 1 is being written
  }
  std::thread second([&] { EXPECT_EQ(submit(gc, 2), std::nullopt); });
  std::thread third([&] {
    while (gc.queued() < 1) std::this_thread::yield();  // 2 is queued first
    EXPECT_EQ(submit(gc, 3), std::nullopt);
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
  EXPECT_EQ(submit(gc, 9), std::nullopt);
  ASSERT_EQ(log.batches.size(), 1u);
  EXPECT_EQ(log.batches[0], std::vector<std::uint64_t>{9});
}

TEST(GroupCommitTest, FailedSyncFailsEveryMemberOfTheBatchWithOneError) {
  BatchLog log;
  log.fail_with = KavrelError::io(EIO);
  EventDrivenGroupCommit gc(log.fn());
  gc.force_target(3);
  std::vector<std::optional<std::string>> results(3);
  std::vector<std::thread> threads;
  for (int i = 0; i < 3; ++i) {
    threads.emplace_back([&, i] { results[i] = submit(gc, static_cast<std::uint64_t>(i)); });
  }
  for (auto& t : threads) t.join();
  for (const auto& r : results) EXPECT_EQ(r, "IO error: Input/output error (os error 5)");
  log.fail_with.reset();
  gc.force_target(1);
  EXPECT_EQ(submit(gc, 10), std::nullopt) << "the next batch tries again";
}

// Each commit gets the outcome the writer gave it, with its error kind (a member whose records
// were cut from the log fails while the rest of its batch commits).
TEST(GroupCommitTest, OutcomesArePerCommitAndKeepTheirKind) {
  EventDrivenGroupCommit gc([](Batch& batch) {
    for (auto& r : batch) {
      if (r.txn_id % 2 == 1) r.outcome = fail(KavrelError::io(ENOSPC));
      EXPECT_EQ(r.records.end, r.txn_id) << "the position travels with the commit";
    }
  });
  gc.force_target(4);
  std::vector<Result<>> results(4);
  std::vector<std::thread> threads;
  for (std::uint64_t i = 0; i < 4; ++i) {
    threads.emplace_back([&, i] { results[i] = gc.submit_and_wait(i, WalPosition{0, i}); });
  }
  for (auto& t : threads) t.join();
  for (std::uint64_t i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    ASSERT_EQ(results[i].has_value(), i % 2 == 0);
    if (i % 2 == 1) {
      EXPECT_EQ(results[i].error().kind(), KavrelError::Kind::Io);
    }
  }
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
        if (!submit(gc, static_cast<std::uint64_t>(t) * kPerThread + i)) ++ok;
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
  std::atomic<int> calls{0};
  std::mutex mu;
  std::condition_variable cv;
  std::vector<std::vector<std::uint64_t>> batches;
  EventDrivenGroupCommit gc([&](Batch& batch) {
    std::unique_lock lock(mu);
    if (calls.fetch_add(1) == 0) {
      // The first batch stays in its sync until a later batch was written beside it; a waiter
      // that never flushes itself fails the test at the time-out instead of hanging it.
      cv.wait_for(lock, 20s, [&] { return !batches.empty(); });
    }
    batches.push_back(ids_of(batch));
    cv.notify_all();
  });
  gc.force_target(1);
  std::thread slow([&] { EXPECT_EQ(submit(gc, 1), std::nullopt); });
  while (calls.load() == 0) std::this_thread::yield();  // 1 is being written
  gc.force_target(2);  // 2 alone does not reach the target: it waits, then flushes itself
  EXPECT_EQ(submit(gc, 2), std::nullopt);
  slow.join();
  ASSERT_EQ(batches.size(), 2u);
  EXPECT_EQ(batches[0], std::vector<std::uint64_t>{2}) << "2 was flushed while 1's batch slept";
  EXPECT_EQ(batches[1], std::vector<std::uint64_t>{1});
}

}  // namespace
}  // namespace kavrel
