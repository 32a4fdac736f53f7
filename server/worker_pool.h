// WorkerPool: threads for the work a connection loop must not wait for: a group of writes and
// its sync, a request that may take long, a write that waits for another transaction's pending
// write of its key.
//
// A posted job runs at once, on an idle worker or else on a new one: jobs never queue behind one
// another, so a job that waits (up to the blind write's bound of 5 s) delays no other, and a job
// that waits for what another job does cannot deadlock with it. There are never more workers
// than jobs that ran at the same time; a worker idle for kIdleEnd ends. Workers are detached
// threads (2 MiB stack) sharing the pool's state, so they may outlive the pool object; its
// destructor lets the idle ones end at once and the busy ones after their job.
#pragma once

#include <chrono>
#include <functional>
#include <memory>

namespace kavrel {

// Starts body on a detached thread with a 2 MiB stack. A thread that cannot be started stops the
// process (exit status 101), as the listener always has: the server cannot serve without it.
void start_detached_thread(std::move_only_function<void()> body);

class WorkerPool {
 public:
  static constexpr std::chrono::seconds kIdleEnd{10};

  WorkerPool();
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // Runs job on a worker thread. Thread-safe.
  void post(std::move_only_function<void()> job);

 private:
  struct State;
  static void work(const std::shared_ptr<State>& state);

  std::shared_ptr<State> state_;
};

}  // namespace kavrel
