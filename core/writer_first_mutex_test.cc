#include "core/writer_first_mutex.h"

#include <atomic>
#include <chrono>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace kavrel {
namespace {

// A writer that asks while a reader is in waits for that reader only: readers that come after it
// wait for the writer, so a steady flow of readers cannot keep it out.
TEST(WriterFirstMutexTest, WaitingWriterHoldsNewReadersBack) {
  WriterFirstMutex mu;
  std::mutex order_mu;
  std::vector<std::string> order;
  const auto note = [&](const char* what) {
    std::scoped_lock lock(order_mu);
    order.emplace_back(what);
  };
  std::shared_lock first(mu);
  std::thread writer([&] {
    std::unique_lock lock(mu);
    note("writer");
  });
  // Once the writer waits, a new reader is refused; until then it may get in.
  bool writer_waits = false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!writer_waits && std::chrono::steady_clock::now() < deadline) {
    if (mu.try_lock_shared()) {
      mu.unlock_shared();
      std::this_thread::yield();
    } else {
      writer_waits = true;
    }
  }
  ASSERT_TRUE(writer_waits) << "new readers were let in past a waiting writer";
  std::thread reader([&] {
    std::shared_lock lock(mu);
    note("later reader");
  });
  first.unlock();
  writer.join();
  reader.join();
  EXPECT_EQ(order, (std::vector<std::string>{"writer", "later reader"}));
}

TEST(WriterFirstMutexTest, ReadersShareAndWritersExclude) {
  WriterFirstMutex mu;
  {
    std::shared_lock a(mu);
    EXPECT_TRUE(mu.try_lock_shared()) << "readers share it";
    mu.unlock_shared();
    EXPECT_FALSE(mu.try_lock());
  }
  std::unique_lock w(mu);
  std::atomic<bool> got{true};
  std::thread([&] {
    got = mu.try_lock_shared();
    if (got) mu.unlock_shared();
  }).join();
  EXPECT_FALSE(got) << "a writer excludes readers";
}

}  // namespace
}  // namespace kavrel
