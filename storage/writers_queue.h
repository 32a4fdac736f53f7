// WritersQueue: the one queue every durable write passes, so that the writes of many threads
// share one log append and one sync.
//
// A writer hands over a WriteRequest: blind writes (the single writes of one or many
// connections) or the commit of a transaction. Whoever hands one over while nobody leads is told
// to lead: it calls lead(), on its own thread or on one it picks, which takes every request queued
// and commits them as one batch (the batch function: log records, one sync, visibility). When the
// batch is done the leader hands the lead to the first request queued meanwhile, if any (its
// lead()), and only then tells each request of its batch that it is done (its done()), so the
// next sync starts before the answers go out. One batch is committed at a time, and a batch holds
// everything that arrived during the previous one's sync. There is no thread of its own.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "core/bytes.h"
#include "core/error.h"

namespace kavrel {

// A single write: a value to put, or a deletion (no value). The bytes belong to the writer.
struct BlindWrite {
  BytesView key;
  std::optional<BytesView> value;
};

struct WriteOutcome {
  enum class Status : std::uint8_t {
    Committed,   // durable and visible
    Failed,      // error says why; nothing of it is visible
    WriteAlone,  // not written: a write of the run met another transaction's pending write
  };
  Status status = Status::Committed;
  std::uint64_t commit_ts = 0;       // Committed
  std::optional<KavrelError> error;  // Failed
};

// One request of the queue. It is owned by whoever handed it over and must stay alive until its
// done() has been called; the queue calls lead() at most while the request is still queued.
class WriteRequest {
 public:
  virtual ~WriteRequest() = default;

  // What to write: runs of blind writes (each run in its order, the runs in theirs), or the
  // commit of a transaction (txn != 0). The runs' bytes stay valid until done().
  std::span<const std::span<const BlindWrite>> runs;
  std::uint64_t txn = 0;
  // Set before done(): one per run, or one for the transaction.
  std::vector<WriteOutcome> outcomes;

  // The batch this request was part of has ended; its outcome is set (the batch function's
  // business). Called once, on the leader's thread.
  virtual void done() = 0;
  // This request is first in the queue and nobody leads: call WritersQueue::lead() (now, on
  // another thread, but soon).
  virtual void lead() = 0;

 protected:
  WriteRequest() = default;
  WriteRequest(const WriteRequest&) = default;
  WriteRequest& operator=(const WriteRequest&) = default;
};

class WritersQueue {
 public:
  // Commits one batch, setting the outcome of each request.
  using BatchFn = std::function<void(std::span<WriteRequest* const>)>;
  static constexpr std::size_t kMaxBatch = 1000;

  explicit WritersQueue(BatchFn commit_batch) : commit_batch_(std::move(commit_batch)) {}
  WritersQueue(const WritersQueue&) = delete;
  WritersQueue& operator=(const WritersQueue&) = delete;

  // Queues request. True when nobody leads: the caller must then lead (lead(), here or on a
  // thread of its choosing); its request is in the batch the lead takes first.
  [[nodiscard]] bool submit(WriteRequest& request);
  // Commits the queued requests as one batch, hands the lead on to the next queued request (or
  // ends it when none is queued), then calls done() on each request of the batch. Called by the
  // one leader only.
  void lead();

 private:
  BatchFn commit_batch_;
  std::mutex mu_;
  std::deque<WriteRequest*> queue_;  // guarded by mu_
  bool leading_ = false;             // guarded by mu_
};

// A request whose submitter waits for it on its own thread (leading when told to).
class WaitingRequest : public WriteRequest {
 public:
  // Submits to queue and returns once done() was called: the outcome is then set.
  void submit_and_wait(WritersQueue& queue);
  void done() override;
  void lead() override;

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  bool done_ = false;  // guarded by mu_
  bool lead_ = false;  // guarded by mu_
};

}  // namespace kavrel
