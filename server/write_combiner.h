// WriteCombiner: the single writes of every connection (PUT, DELETE, PUT_PATH sent outside an
// explicit transaction) committed together, so that they share one storage transaction and one
// log sync.
//
// A thread serving a connection submits the writes it has read back to back and waits. Whoever
// submits while no group is being committed leads at once: it takes every submission queued, writes
// them all into one storage transaction (in queue order, each submission's writes in its order) and
// commits it; submissions that arrive meanwhile queue up. When the commit returns the leader
// delivers its outcome to each submission of the group and hands the lead to the first
// submission queued since, if any. So there is one group being committed at a time, a group
// holds everything that arrived during the previous one's sync, and a submitting thread is woken
// once per submission, either with its outcome or to lead.
//
// The guarantees of one write sent alone hold for each: it is answered OK only once its Commit
// record is synced and it is visible (Database::commit returns then), a failed commit fails every
// submission of the group, and a connection's next request runs only after its submission has
// returned. Writes of several connections committing in one transaction become visible at the
// same instant, which is one of the orders in which they could have committed one by one; two
// writes of one key in a group apply in queue order, the later one wins.
//
// A write that the storage refuses (another transaction's write of the key is pending) would end
// the whole group: the leader aborts the transaction, answers that submission with WriteAlone
// (its connection then writes it one by one, waiting for the pending write as a lone write does)
// and writes the group again without it.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "core/bytes.h"
#include "core/error.h"
#include "storage/database.h"

namespace kavrel {

class WriteCombiner {
 public:
  // One single write: a value to put, or a deletion (no value). The bytes belong to the caller
  // and stay valid until commit returns.
  struct Write {
    BytesView key;
    std::optional<BytesView> value;
  };
  enum class Status : std::uint8_t {
    Committed,   // durable and visible
    Failed,      // the group's commit failed: error() is the reason; nothing of it is visible
    WriteAlone,  // not written: one of them met another transaction's pending write
  };
  struct Outcome {
    Status status = Status::Committed;
    std::optional<KavrelError> error;  // Failed only
  };

  // db must not be null.
  explicit WriteCombiner(std::shared_ptr<Database> db) : db_(std::move(db)) {}
  WriteCombiner(const WriteCombiner&) = delete;
  WriteCombiner& operator=(const WriteCombiner&) = delete;

  // Commits writes, in their order, together with whatever other threads submit meanwhile, and
  // returns once that commit has ended. Thread-safe; blocks the calling thread.
  Outcome commit(std::span<const Write> writes);

  // Commits the runs, each in its order and the runs in theirs, in one storage transaction on
  // the calling thread, without queueing behind a group of commit(): one outcome per run
  // (WriteAlone for a run holding a write the storage refused; the others are written again
  // without it). Blocks until the commit has ended; its sync is shared, through the group commit,
  // with whatever commits at the same time. For a caller that gathers the runs itself.
  static std::vector<Outcome> commit_together(Database& db,
                                              std::span<const std::span<const Write>> runs);

 private:
  // One waiting submission; it lives on its submitter's stack. The leader that commits it sets
  // done (or lead) under mu and notifies; the submitter returns only after seeing either under
  // mu, so the leader never touches a submission that has returned.
  struct Submission {
    std::span<const Write> writes;
    std::mutex mu;
    std::condition_variable cv;
    bool done = false;  // guarded by mu
    bool lead = false;  // guarded by mu: commit the queued submissions now
    Outcome outcome;    // written by the leader before it sets done
  };

  // Commits every queued submission (including own, if still queued), delivers the outcomes and
  // hands the lead on. Called by the leader alone.
  void lead();
  // Writes the group into one transaction and commits it, setting each submission's outcome
  // (without waking anybody).
  void commit_group(std::span<Submission* const> group);
  static void deliver(Submission& s);

  std::shared_ptr<Database> db_;
  std::mutex mu_;
  std::deque<Submission*> queue_;  // guarded by mu_
  bool leading_ = false;           // guarded by mu_: a leader is committing a group
};

}  // namespace kavrel
