#include "server/write_combiner.h"

#include <utility>
#include <vector>

namespace kavrel {

WriteCombiner::Outcome WriteCombiner::commit(std::span<const Write> writes) {
  Submission me;
  me.writes = writes;
  bool leader = false;
  {
    std::scoped_lock lock(mu_);
    queue_.push_back(&me);
    leader = !std::exchange(leading_, true);
  }
  for (;;) {
    // A leader's own submission is queued, so its group includes it and it is done afterwards.
    if (leader) lead();
    std::unique_lock lock(me.mu);
    me.cv.wait(lock, [&] { return me.done || me.lead; });
    if (me.done) return std::move(me.outcome);
    me.lead = false;
    leader = true;
  }
}

void WriteCombiner::lead() {
  std::vector<Submission*> group;
  {
    std::scoped_lock lock(mu_);
    group.assign(queue_.begin(), queue_.end());
    queue_.clear();
  }
  commit_group(group);
  // The next group's commit starts before this one's submitters are woken: they need a core
  // each, and its sync need not wait for them.
  Submission* next = nullptr;
  {
    std::scoped_lock lock(mu_);
    if (queue_.empty()) {
      leading_ = false;
    } else {
      next = queue_.front();
    }
  }
  if (next != nullptr) {
    std::scoped_lock lock(next->mu);
    next->lead = true;
    next->cv.notify_one();
  }
  for (Submission* s : group) deliver(*s);
}

void WriteCombiner::commit_group(std::span<Submission* const> group) {
  std::vector<std::span<const Write>> runs;
  runs.reserve(group.size());
  for (const Submission* s : group) runs.push_back(s->writes);
  std::vector<Outcome> outcomes = commit_together(*db_, runs);
  for (std::size_t i = 0; i < group.size(); ++i) group[i]->outcome = std::move(outcomes[i]);
}

std::vector<WriteCombiner::Outcome> WriteCombiner::commit_together(
    Database& db, std::span<const std::span<const Write>> runs) {
  DurableStorage& storage = db.storage();
  std::vector<Outcome> outcomes(runs.size());
  std::vector<std::size_t> members(runs.size());  // the runs still to write
  for (std::size_t i = 0; i < runs.size(); ++i) members[i] = i;
  while (!members.empty()) {
    auto txn = storage.begin_transaction();
    if (!txn) {
      for (const std::size_t m : members) outcomes[m] = Outcome{Status::Failed, txn.error()};
      return outcomes;
    }
    std::optional<std::size_t> refused;  // a position in members
    for (std::size_t i = 0; i < members.size() && !refused; ++i) {
      for (const Write& w : runs[members[i]]) {
        auto written =
            w.value ? storage.write_refs(*txn, w.key, *w.value) : storage.delete_key(*txn, w.key);
        if (!written) {
          refused = i;
          break;
        }
      }
    }
    if (refused) {
      // The transaction holds the refused write in its write set and its log buffer, so it
      // cannot commit; none of it became visible. The others go again without that run.
      ignore_error(storage.abort(*txn), "the group is written again without the refused one");
      outcomes[members[*refused]] = Outcome{Status::WriteAlone, std::nullopt};
      members.erase(members.begin() + static_cast<std::ptrdiff_t>(*refused));
      continue;
    }
    auto committed = db.commit(*txn);
    for (const std::size_t m : members) {
      outcomes[m] = committed ? Outcome{Status::Committed, std::nullopt}
                              : Outcome{Status::Failed, committed.error()};
    }
    return outcomes;
  }
  return outcomes;
}

void WriteCombiner::deliver(Submission& s) {
  std::scoped_lock lock(s.mu);
  s.done = true;
  s.cv.notify_one();
}

}  // namespace kavrel
