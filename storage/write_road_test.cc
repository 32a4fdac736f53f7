// The write road (Database::write, DurableStorage's writers queue) over a real Database in a
// temporary directory, and the writers queue's hand-over of the lead.
#include <atomic>
#include <cerrno>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "storage/database.h"
#include "storage/internal/io/file_io.h"
#include "storage/writers_queue.h"
#include "tests/support/temp_dir.h"

namespace kavrel {
namespace {

using Status = WriteOutcome::Status;
using Writes = std::vector<BlindWrite>;

class WriteRoadTest : public ::testing::Test {
 protected:
  void SetUp() override { reopen(); }
  void TearDown() override { io::set_fault_plan(std::nullopt); }
  void reopen() {
    db_.reset();
    auto opened = Database::open(dir_ / "db");
    ASSERT_TRUE(opened.has_value()) << opened.error().message();
    db_ = *opened;
  }
  // One run of writes, alone.
  WriteOutcome write(const Writes& writes) {
    const std::span<const BlindWrite> run(writes);
    return db_->write(std::span(&run, 1)).front();
  }
  std::optional<Bytes> get(BytesView key) {
    auto txn = db_->storage().begin_transaction();
    EXPECT_TRUE(txn.has_value());
    auto got = db_->get(*txn, key);
    EXPECT_TRUE(got.has_value());
    ignore_error(db_->storage().abort(*txn), "a read");
    return got ? *got : std::nullopt;
  }

  testing::TempDir dir_;
  std::shared_ptr<Database> db_;
};

// Threads submitting at once: every write is committed, in its submission's order, and is there
// after a restart.
TEST_F(WriteRoadTest, ConcurrentSubmissionsAllCommitInTheirOrder) {
  constexpr int kThreads = 8, kRounds = 40;
  std::vector<std::thread> threads;
  std::vector<int> committed(kThreads, 0);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int r = 0; r < kRounds; ++r) {
        const std::string key = "t" + std::to_string(t) + "/" + std::to_string(r);
        const std::string last = "t" + std::to_string(t) + "/last";
        const std::string first_value = "first", value = std::to_string(r);
        // Three writes: the key twice (the second wins) and the thread's last round.
        const Writes writes = {{key, first_value}, {key, value}, {last, value}};
        if (write(writes).status == Status::Committed) ++committed[t];
      }
    });
  }
  for (auto& t : threads) t.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(committed[t], kRounds);
  reopen();
  for (int t = 0; t < kThreads; ++t) {
    for (int r = 0; r < kRounds; ++r) {
      EXPECT_EQ(get("t" + std::to_string(t) + "/" + std::to_string(r)), std::to_string(r));
    }
    EXPECT_EQ(get("t" + std::to_string(t) + "/last"), std::to_string(kRounds - 1));
  }
}

// A deletion in a submission removes what an earlier one of the same group or of before wrote.
TEST_F(WriteRoadTest, DeletionsApplyInOrder) {
  const std::string v = "v";
  const Writes first = {{"a", v}, {"b", v}};
  ASSERT_EQ(write(first).status, Status::Committed);
  const Writes second = {{"a", std::nullopt}, {"c", v}, {"c", std::nullopt}};
  ASSERT_EQ(write(second).status, Status::Committed);
  reopen();
  EXPECT_EQ(get("a"), std::nullopt);
  EXPECT_EQ(get("b"), "v");
  EXPECT_EQ(get("c"), std::nullopt);
}

// A submission with a write that meets another transaction's pending write is not written at
// all: none of its writes is visible, and it is told to write them alone.
TEST_F(WriteRoadTest, PendingWriteOfAnotherTransactionSendsTheSubmissionAlone) {
  DurableStorage& storage = db_->storage();
  auto other = storage.begin_transaction();
  ASSERT_TRUE(other.has_value());
  ASSERT_TRUE(storage.write_refs(*other, "x", "theirs").has_value());
  const std::string v = "mine";
  const Writes writes = {{"a", v}, {"x", v}};
  const auto outcome = write(writes);
  EXPECT_EQ(outcome.status, Status::WriteAlone);
  ASSERT_TRUE(outcome.error.has_value());
  EXPECT_EQ(outcome.error->kind(), KavrelError::Kind::WriteConflict);
  EXPECT_EQ(get("a"), std::nullopt);
  // The refused group left nothing pending behind: another writer of "a" is not refused.
  const Writes later = {{"a", v}};
  EXPECT_EQ(write(later).status, Status::Committed);
  ASSERT_TRUE(db_->commit(*other).has_value());
  EXPECT_EQ(get("x"), "theirs");
  EXPECT_EQ(get("a"), "mine");
}

// When the group's sync fails, every submission fails, none of their writes is visible, and
// none comes back at the next open.
TEST_F(WriteRoadTest, FailedSyncFailsEverySubmission) {
  const std::string v = "v";
  const Writes before = {{"before", v}};
  ASSERT_EQ(write(before).status, Status::Committed);
  io::set_fault_plan(io::FaultPlan{
      [](io::Op op) { return op == io::Op::Fsync ? std::optional<int>(EIO) : std::nullopt; }, {}});
  constexpr int kThreads = 4;
  std::vector<WriteOutcome> outcomes(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const std::string key = "k" + std::to_string(t);
      const Writes writes = {{key, v}, {"before", std::nullopt}};
      outcomes[t] = write(writes);
    });
  }
  for (auto& t : threads) t.join();
  io::set_fault_plan(std::nullopt);
  for (int t = 0; t < kThreads; ++t) {
    SCOPED_TRACE(t);
    EXPECT_EQ(outcomes[t].status, Status::Failed);
    ASSERT_TRUE(outcomes[t].error.has_value());
    EXPECT_EQ(outcomes[t].error->kind(), KavrelError::Kind::Io);
    EXPECT_EQ(get("k" + std::to_string(t)), std::nullopt);
  }
  EXPECT_EQ(get("before"), "v");
  reopen();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(get("k" + std::to_string(t)), std::nullopt);
  EXPECT_EQ(get("before"), "v");
}

// A lone writer leads its own batch at once; writers arriving while a batch is being committed
// wait and go out together in the next one, in their order, and every request is done once.
TEST(WritersQueueTest, ArrivalsDuringABatchShareTheNextOneInOrder) {
  std::mutex mu;
  std::condition_variable cv;
  bool release = false;
  std::vector<std::vector<std::uint64_t>> batches;  // the txn field of each request, per batch
  WritersQueue queue([&](std::span<WriteRequest* const> batch) {
    std::unique_lock lock(mu);
    batches.emplace_back();
    for (WriteRequest* r : batch) batches.back().push_back(r->txn);
    cv.notify_all();
    // The first batch is held until the others have queued behind it.
    cv.wait(lock, [&] { return release; });
  });
  // Requests submitted from this thread, in order, while the first batch is held; the one the
  // lead is handed to says so, and this thread then leads.
  struct Queued : WriteRequest {
    std::atomic<bool> asked_to_lead{false};
    std::atomic<bool> finished{false};
    void done() override { finished = true; }
    void lead() override { asked_to_lead = true; }
  };
  std::thread first([&] {
    WaitingRequest r;
    r.txn = 1;
    r.submit_and_wait(queue);
  });
  {
    std::unique_lock lock(mu);
    cv.wait(lock, [&] { return batches.size() == 1; });
  }
  Queued later[3];
  for (std::uint64_t t = 2; t <= 4; ++t) {
    later[t - 2].txn = t;
    EXPECT_FALSE(queue.submit(later[t - 2]));  // someone leads: queued
  }
  {
    std::scoped_lock lock(mu);
    release = true;
    cv.notify_all();
  }
  first.join();
  ASSERT_TRUE(later[0].asked_to_lead.load());  // the first queued takes the lead over
  EXPECT_FALSE(later[1].asked_to_lead.load());
  queue.lead();
  for (const Queued& q : later) EXPECT_TRUE(q.finished.load());
  ASSERT_EQ(batches.size(), 2u);
  EXPECT_EQ(batches[0], std::vector<std::uint64_t>{1});
  EXPECT_EQ(batches[1], (std::vector<std::uint64_t>{2, 3, 4}));
}

// A request that leads elsewhere (as a connection loop's does, on a worker): the queue asks it
// to lead only while it is queued and nobody leads, and calls done() on each request once.
TEST(WritersQueueTest, EveryRequestIsDoneOnceAndOneBatchRunsAtATime) {
  std::atomic<int> in_batch{0}, overlaps{0}, batches{0};
  WritersQueue queue([&](std::span<WriteRequest* const> batch) {
    if (in_batch.fetch_add(1) != 0) ++overlaps;
    ++batches;
    for (WriteRequest* r : batch) r->outcomes.assign(1, WriteOutcome{});
    std::this_thread::sleep_for(std::chrono::microseconds(200));
    in_batch.fetch_sub(1);
  });
  struct Posted : WriteRequest {
    std::atomic<int>* done_calls;
    WritersQueue* q;
    std::vector<std::thread>* leaders;
    std::mutex* leaders_mu;
    void done() override { ++*done_calls; }
    void lead() override {
      std::scoped_lock lock(*leaders_mu);
      leaders->emplace_back([q = q] { q->lead(); });
    }
  };
  constexpr int kThreads = 8, kEach = 50;
  std::atomic<int> done_calls{0};
  std::vector<std::thread> leaders;
  std::mutex leaders_mu;
  std::vector<std::unique_ptr<Posted>> posted(kThreads * kEach);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        if (i % 2 == 0) {
          WaitingRequest r;
          r.txn = 1;
          r.submit_and_wait(queue);
          EXPECT_EQ(r.outcomes.size(), 1u);
          continue;
        }
        auto& p = posted[static_cast<std::size_t>(t) * kEach + static_cast<std::size_t>(i)];
        p = std::make_unique<Posted>();
        p->txn = 1;
        p->done_calls = &done_calls;
        p->q = &queue;
        p->leaders = &leaders;
        p->leaders_mu = &leaders_mu;
        if (queue.submit(*p)) p->lead();
      }
    });
  }
  for (auto& t : threads) t.join();
  // The posted requests are done by whichever leader took them; wait for the last leaders.
  for (;;) {
    std::vector<std::thread> joining;
    {
      std::scoped_lock lock(leaders_mu);
      joining.swap(leaders);
    }
    if (joining.empty() && done_calls.load() == kThreads * kEach / 2) break;
    for (auto& l : joining) l.join();
    std::this_thread::yield();
  }
  EXPECT_EQ(done_calls.load(), kThreads * kEach / 2);
  EXPECT_EQ(overlaps.load(), 0);
  EXPECT_LT(batches.load(), kThreads * kEach);
}

// Blind writes and transactions committed in one batch: each gets its own outcome, and the one
// that validation refuses fails alone.
TEST_F(WriteRoadTest, OneBatchCommitsBlindWritesAndTransactionsEachWithItsOutcome) {
  ASSERT_EQ(write({{"r", "0"}}).status, Status::Committed);
  // A read-write conflict: both read "r"; the first of the batch writes it, so the second,
  // which read the value the first replaces, cannot commit after it.
  auto first = db_->begin(), second = db_->begin();
  ASSERT_TRUE(db_->get(first.id(), "r"));
  ASSERT_TRUE(db_->get(second.id(), "r"));
  ASSERT_TRUE(db_->write_key(first.id(), "r", "1"));
  ASSERT_TRUE(db_->write_key(second.id(), "s", "2"));
  struct Queued : WriteRequest {
    bool finished = false;
    void done() override { finished = true; }
    void lead() override { ADD_FAILURE() << "the one batch holds every request"; }
  };
  Queued a, b, blind;
  a.txn = first.id();
  b.txn = second.id();
  const Writes writes = {{"w", "x"}};
  const std::span<const BlindWrite> run(writes);
  blind.runs = std::span(&run, 1);
  // Queued before anyone leads, they form one batch, led here.
  ASSERT_TRUE(db_->submit(a));
  ASSERT_FALSE(db_->submit(b));
  ASSERT_FALSE(db_->submit(blind));
  db_->lead_writes();
  ASSERT_TRUE(a.finished && b.finished && blind.finished);
  EXPECT_EQ(a.outcomes.front().status, Status::Committed);
  ASSERT_EQ(b.outcomes.front().status, Status::Failed);
  EXPECT_EQ(b.outcomes.front().error->kind(), KavrelError::Kind::Validation);
  EXPECT_EQ(blind.outcomes.front().status, Status::Committed);
  // Both have ended; the handles only need letting go of before the database goes.
  first.abort();
  second.abort();
  reopen();
  EXPECT_EQ(get("r"), "1");
  EXPECT_EQ(get("s"), std::nullopt);
  EXPECT_EQ(get("w"), "x");
}

}  // namespace
}  // namespace kavrel
