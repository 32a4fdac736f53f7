// WriteCombiner over a real Database in a temporary directory.
#include "server/write_combiner.h"

#include <cerrno>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "storage/internal/io/file_io.h"
#include "tests/support/temp_dir.h"

namespace kavrel {
namespace {

using Status = WriteCombiner::Status;

class WriteCombinerTest : public ::testing::Test {
 protected:
  void SetUp() override { reopen(); }
  void TearDown() override { io::set_fault_plan(std::nullopt); }
  void reopen() {
    combiner_.reset();
    db_.reset();
    auto opened = Database::open(dir_ / "db");
    ASSERT_TRUE(opened.has_value()) << opened.error().message();
    db_ = *opened;
    combiner_ = std::make_unique<WriteCombiner>(db_);
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
  std::unique_ptr<WriteCombiner> combiner_;
};

// Threads submitting at once: every write is committed, in its submission's order, and is there
// after a restart.
TEST_F(WriteCombinerTest, ConcurrentSubmissionsAllCommitInTheirOrder) {
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
        const std::vector<WriteCombiner::Write> writes = {
            {key, first_value}, {key, value}, {last, value}};
        if (combiner_->commit(writes).status == Status::Committed) ++committed[t];
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
TEST_F(WriteCombinerTest, DeletionsApplyInOrder) {
  const std::string v = "v";
  const std::vector<WriteCombiner::Write> first = {{"a", v}, {"b", v}};
  ASSERT_EQ(combiner_->commit(first).status, Status::Committed);
  const std::vector<WriteCombiner::Write> second = {
      {"a", std::nullopt}, {"c", v}, {"c", std::nullopt}};
  ASSERT_EQ(combiner_->commit(second).status, Status::Committed);
  reopen();
  EXPECT_EQ(get("a"), std::nullopt);
  EXPECT_EQ(get("b"), "v");
  EXPECT_EQ(get("c"), std::nullopt);
}

// A submission with a write that meets another transaction's pending write is not written at
// all: none of its writes is visible, and it is told to write them alone.
TEST_F(WriteCombinerTest, PendingWriteOfAnotherTransactionSendsTheSubmissionAlone) {
  DurableStorage& storage = db_->storage();
  auto other = storage.begin_transaction();
  ASSERT_TRUE(other.has_value());
  ASSERT_TRUE(storage.write_refs(*other, "x", "theirs").has_value());
  const std::string v = "mine";
  const std::vector<WriteCombiner::Write> writes = {{"a", v}, {"x", v}};
  const auto outcome = combiner_->commit(writes);
  EXPECT_EQ(outcome.status, Status::WriteAlone);
  EXPECT_FALSE(outcome.error.has_value());
  EXPECT_EQ(get("a"), std::nullopt);
  // The refused group left nothing pending behind: another writer of "a" is not refused.
  const std::vector<WriteCombiner::Write> later = {{"a", v}};
  EXPECT_EQ(combiner_->commit(later).status, Status::Committed);
  ASSERT_TRUE(db_->commit(*other).has_value());
  EXPECT_EQ(get("x"), "theirs");
  EXPECT_EQ(get("a"), "mine");
}

// When the group's sync fails, every submission fails, none of their writes is visible, and
// none comes back at the next open.
TEST_F(WriteCombinerTest, FailedSyncFailsEverySubmission) {
  const std::string v = "v";
  const std::vector<WriteCombiner::Write> before = {{"before", v}};
  ASSERT_EQ(combiner_->commit(before).status, Status::Committed);
  io::set_fault_plan(io::FaultPlan{
      [](io::Op op) { return op == io::Op::Fsync ? std::optional<int>(EIO) : std::nullopt; }, {}});
  constexpr int kThreads = 4;
  std::vector<WriteCombiner::Outcome> outcomes(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const std::string key = "k" + std::to_string(t);
      const std::vector<WriteCombiner::Write> writes = {{key, v}, {"before", std::nullopt}};
      outcomes[t] = combiner_->commit(writes);
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

}  // namespace
}  // namespace kavrel
