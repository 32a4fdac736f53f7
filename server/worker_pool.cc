#include "server/worker_pool.h"

#include <pthread.h>

#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <utility>

#include <fmt/format.h>

#include "core/error.h"
#include "core/log.h"

namespace kavrel {
namespace {

constexpr std::size_t kThreadStackSize = 2 * 1024 * 1024;
// Exit status of the fatal stop when a thread cannot be started.
constexpr int kFatalStatus = 101;

void* thread_main(void* arg) {
  std::unique_ptr<std::move_only_function<void()>> body(
      static_cast<std::move_only_function<void()>*>(arg));
  (*body)();
  return nullptr;
}

}  // namespace

void start_detached_thread(std::move_only_function<void()> body) {
  auto owned = std::make_unique<std::move_only_function<void()>>(std::move(body));
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, kThreadStackSize);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_t thread;
  const int err = pthread_create(&thread, &attr, thread_main, owned.get());
  pthread_attr_destroy(&attr);
  if (err != 0) {
    log::stderr_line(fmt::format("failed to spawn thread: {}\n", os_error_text(err)));
    std::_Exit(kFatalStatus);
  }
  (void)owned.release();  // the thread's now
}

struct WorkerPool::State {
  std::mutex mu;
  std::condition_variable cv;
  std::deque<std::move_only_function<void()>> jobs;  // guarded by mu
  std::size_t idle = 0;                              // guarded by mu: workers waiting for a job
  bool closing = false;                              // guarded by mu
};

WorkerPool::WorkerPool() : state_(std::make_shared<State>()) {}

WorkerPool::~WorkerPool() {
  std::scoped_lock lock(state_->mu);
  state_->closing = true;
  state_->cv.notify_all();
}

void WorkerPool::post(std::move_only_function<void()> job) {
  bool start = false;
  {
    std::scoped_lock lock(state_->mu);
    state_->jobs.push_back(std::move(job));
    // Every idle worker may already be claimed by a job queued before this one.
    start = state_->jobs.size() > state_->idle;
    if (!start) state_->cv.notify_one();
  }
  if (start) start_detached_thread([state = state_] { work(state); });
}

void WorkerPool::work(const std::shared_ptr<State>& state) {
  for (;;) {
    std::move_only_function<void()> job;
    {
      std::unique_lock lock(state->mu);
      ++state->idle;
      state->cv.wait_for(lock, kIdleEnd, [&] { return !state->jobs.empty() || state->closing; });
      --state->idle;
      if (state->jobs.empty()) return;  // idle too long, or the pool is gone
      job = std::move(state->jobs.front());
      state->jobs.pop_front();
    }
    job();
  }
}

}  // namespace kavrel
