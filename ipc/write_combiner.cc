#include "ipc/write_combiner.h"

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
  DurableStorage& storage = db_->storage();
  std::vector<Submission*> members(group.begin(), group.end());
  while (!members.empty()) {
    auto txn = storage.begin_transaction();
    if (!txn) {
      for (Submission* s : members) s->outcome = Outcome{Status::Failed, txn.error()};
      return;
    }
    std::optional<std::size_t> refused;
    for (std::size_t i = 0; i < members.size() && !refused; ++i) {
      for (const Write& w : members[i]->writes) {
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
      // cannot commit; none of it became visible. The others go again without that submission.
      ignore_error(storage.abort(*txn), "the group is written again without the refused one");
      members[*refused]->outcome = Outcome{Status::WriteAlone, std::nullopt};
      members.erase(members.begin() + static_cast<std::ptrdiff_t>(*refused));
      continue;
    }
    auto committed = db_->commit(*txn);
    for (Submission* s : members) {
      s->outcome = committed ? Outcome{Status::Committed, std::nullopt}
                             : Outcome{Status::Failed, committed.error()};
    }
    return;
  }
}

void WriteCombiner::deliver(Submission& s) {
  std::scoped_lock lock(s.mu);
  s.done = true;
  s.cv.notify_one();
}

}  // namespace kavrel
