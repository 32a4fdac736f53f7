#include "server/connection_loop.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <mutex>
#include <unordered_map>
#include <utility>

#include <fmt/format.h>

#include "core/error.h"
#include "core/log.h"
#include "server/client_handler.h"
#include "server/worker_pool.h"
#include "server/write_combiner.h"

namespace kavrel {

using Clock = std::chrono::steady_clock;

namespace {

constexpr int kMaxEvents = 256;

// One connection's socket, dispatcher and framing, moved between threads as one piece.
struct Session {
  Session(UniqueFd stream, const std::shared_ptr<Database>& db,
          const std::shared_ptr<ServerStats>& stats, const std::shared_ptr<WriteCombiner>& combiner)
      : fd(std::move(stream)), handler(db, stats, combiner), conn(fd.get(), handler, *stats) {}
  UniqueFd fd;
  ClientHandler handler;
  Connection conn;
};

// A connection's place in its loop; touched by the loop thread only.
struct Entry {
  std::unique_ptr<Session> session;  // null while the connection is served elsewhere
  Connection::Need need = Connection::Need::Input;
  Clock::time_point idle_since;  // when it last began to wait for input
  bool queued = false;           // in the current pass's ready list
  bool missed = false;           // the socket had an event while the connection was away
  bool readable = true;          // the next serve reads the socket
  bool on_own_thread = false;    // away on a thread of its own, out of the loop's epoll
  unsigned read_serves = 0;      // serves in a row that answered only at once
};

}  // namespace

// A connection away from its loop, with the way back.
struct Away {
  std::shared_ptr<ConnectionLoop> home;
  Entry* entry;
  std::unique_ptr<Session> session;
};

// Everything the loops, the committer and the workers share.
struct LoopCore : std::enable_shared_from_this<LoopCore> {
  LoopCore(std::shared_ptr<Database> d, std::shared_ptr<ServerStats> s,
           const ConnectionLoops::Options& options)
      : db(std::move(d)),
        stats(std::move(s)),
        combiner(std::make_shared<WriteCombiner>(db)),
        receive_timeout(options.receive_timeout),
        own_threads_max(options.own_threads) {}

  // Queues a group of connections whose pending runs of writes are to be committed, and starts
  // the committer when it is not running.
  void submit(std::vector<Away> group);
  // The committer: commits the queued groups, one transaction at a time, until none is queued,
  // and sends each connection home.
  void commit_queued();
  // Commits the pending runs of writes of the group's connections in one storage transaction
  // and gives each its answers (sent as far as the socket takes them): returns the connections
  // answered. A connection holding a write the storage refused goes to a worker instead.
  std::vector<Away> commit(std::vector<Away> group);
  // Runs the connection's pending requests on a worker, then sends it home.
  void run_on_worker(Away away);
  // Takes a place for a connection on a thread of its own: false when all are taken.
  bool claim_own_thread();
  // Serves the connection on a worker of its own (serve_here) until it ends or writes, then
  // sends it home and gives back its place.
  void serve_on_own_thread(Away away);

  std::shared_ptr<Database> db;
  std::shared_ptr<ServerStats> stats;
  std::shared_ptr<WriteCombiner> combiner;  // for the writes run one connection at a time
  std::chrono::microseconds receive_timeout;
  std::size_t own_threads_max;
  std::atomic<std::size_t> own_threads{0};  // places taken
  WorkerPool pool;

  std::mutex commit_mu;
  std::vector<Away> commit_queue;  // guarded by commit_mu
  bool committing = false;         // guarded by commit_mu: the committer runs
};

class ConnectionLoop : public std::enable_shared_from_this<ConnectionLoop> {
 public:
  explicit ConnectionLoop(std::shared_ptr<LoopCore> core);

  // Starts the loop's thread. Called once.
  void start();
  // Thread-safe: a new connection, connections coming back, the end of the loop once empty.
  void adopt(UniqueFd stream);
  void come_back(std::vector<Away> away);
  void close();

 private:
  void run();
  void wake();  // called with mu_ held
  // Takes what other threads handed over; false once closed.
  bool take_handed_over();
  void add(UniqueFd stream);
  // Adds the connection's socket to the epoll (edge-triggered).
  void watch(Entry* e);
  void mark_ready(Entry* e);
  void serve(Entry* e);
  // Commits the runs of writes gathered in this pass, here: the connections come back answered
  // and are served again in the next pass.
  void commit_writes();
  void end(Entry* e);
  void time_out_idle(Clock::time_point now);
  int wait_ms() const;

  std::shared_ptr<LoopCore> core_;
  UniqueFd epoll_;
  UniqueFd wake_;  // an eventfd, readable when something was handed over

  std::mutex mu_;
  std::vector<UniqueFd> adopted_;  // guarded by mu_
  std::vector<Away> returned_;     // guarded by mu_
  bool closed_ = false;            // guarded by mu_

  // The loop thread's own.
  std::unordered_map<Entry*, std::unique_ptr<Entry>> entries_;
  std::vector<Entry*> ready_, again_;
  std::vector<Away> writes_;  // the runs of writes gathered in this pass
  std::size_t answered_ = 0;  // requests answered at once in this pass
  Clock::time_point next_sweep_;
};

// ---- The write committer and the workers -----------------------------------------------------

namespace {

// Sends each connection back to its loop, one hand-over per loop.
void send_home(std::vector<Away> away) {
  std::sort(away.begin(), away.end(),
            [](const Away& a, const Away& b) { return a.home.get() < b.home.get(); });
  std::size_t i = 0;
  while (i < away.size()) {
    std::size_t j = i + 1;
    while (j < away.size() && away[j].home == away[i].home) ++j;
    std::vector<Away> same(std::make_move_iterator(away.begin() + static_cast<std::ptrdiff_t>(i)),
                           std::make_move_iterator(away.begin() + static_cast<std::ptrdiff_t>(j)));
    const std::shared_ptr<ConnectionLoop> home = same.front().home;
    home->come_back(std::move(same));
    i = j;
  }
}

// The same for one connection.
void send_home(Away away) {
  std::vector<Away> one;
  one.push_back(std::move(away));
  send_home(std::move(one));
}

}  // namespace

void LoopCore::submit(std::vector<Away> group) {
  {
    std::scoped_lock lock(commit_mu);
    for (Away& a : group) commit_queue.push_back(std::move(a));
    if (std::exchange(committing, true)) return;
  }
  pool.post([core = shared_from_this()] { core->commit_queued(); });
}

void LoopCore::commit_queued() {
  for (;;) {
    std::vector<Away> group;
    {
      std::scoped_lock lock(commit_mu);
      if (commit_queue.empty()) {
        committing = false;
        return;
      }
      group.swap(commit_queue);
    }
    send_home(commit(std::move(group)));
  }
}

std::vector<Away> LoopCore::commit(std::vector<Away> group) {
  std::vector<std::span<const WriteCombiner::Write>> runs;
  std::vector<std::size_t> run_of;  // the group member each run belongs to
  for (std::size_t i = 0; i < group.size(); ++i) {
    Session& s = *group[i].session;
    const auto writes = s.handler.decode_writes(s.conn.pending());
    if (!writes.empty()) {
      runs.push_back(writes);
      run_of.push_back(i);
    }
  }
  std::vector<WriteCombiner::Outcome> outcomes(group.size());
  if (!runs.empty()) {
    auto committed = WriteCombiner::commit_together(*db, runs);
    for (std::size_t k = 0; k < runs.size(); ++k) outcomes[run_of[k]] = std::move(committed[k]);
  }
  std::vector<Away> done;
  done.reserve(group.size());
  for (std::size_t i = 0; i < group.size(); ++i) {
    if (outcomes[i].status == WriteCombiner::Status::WriteAlone) {
      // Written one by one, each may wait seconds for another transaction: not here.
      run_on_worker(std::move(group[i]));
      continue;
    }
    Session& s = *group[i].session;
    s.conn.answer_pending(s.handler.finish_writes(outcomes[i]));
    s.conn.flush();
    done.push_back(std::move(group[i]));
  }
  return done;
}

void LoopCore::run_on_worker(Away away) {
  pool.post([away = std::move(away)]() mutable {
    away.session->conn.run_pending();
    away.session->conn.flush();
    send_home(std::move(away));
  });
}

bool LoopCore::claim_own_thread() {
  std::size_t taken = own_threads.load(std::memory_order_relaxed);
  do {
    if (taken >= own_threads_max) return false;
  } while (!own_threads.compare_exchange_weak(taken, taken + 1, std::memory_order_relaxed));
  return true;
}

void LoopCore::serve_on_own_thread(Away away) {
  pool.post([core = shared_from_this(), away = std::move(away)]() mutable {
    (void)serve_here(away.session->conn, core->receive_timeout, ConnectionLoops::kWriteRuns);
    core->own_threads.fetch_sub(1, std::memory_order_relaxed);
    send_home(std::move(away));
  });
}

// ---- The loop ------------------------------------------------------------------------------

ConnectionLoop::ConnectionLoop(std::shared_ptr<LoopCore> core)
    : core_(std::move(core)),
      epoll_(::epoll_create1(EPOLL_CLOEXEC)),
      wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  if (!epoll_.valid() || !wake_.valid()) {
    log::stderr_line(fmt::format("failed to set up a connection loop: {}\n", os_error_text(errno)));
    std::_Exit(101);
  }
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.ptr = nullptr;  // the wake-up
  if (::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, wake_.get(), &ev) != 0) {
    log::stderr_line(fmt::format("failed to set up a connection loop: {}\n", os_error_text(errno)));
    std::_Exit(101);
  }
}

void ConnectionLoop::start() {
  start_detached_thread([self = shared_from_this()] { self->run(); });
}

void ConnectionLoop::adopt(UniqueFd stream) {
  std::scoped_lock lock(mu_);
  adopted_.push_back(std::move(stream));
  wake();
}

void ConnectionLoop::come_back(std::vector<Away> away) {
  std::scoped_lock lock(mu_);
  for (Away& a : away) returned_.push_back(std::move(a));
  wake();
}

void ConnectionLoop::close() {
  std::scoped_lock lock(mu_);
  closed_ = true;
  wake();
}

void ConnectionLoop::wake() {
  // Under mu_: once the loop has taken what was handed over, nothing here touches it any more.
  const std::uint64_t one = 1;
  // A full counter (2^64 - 2 wake-ups unread) is still readable: the loop wakes either way.
  (void)!::write(wake_.get(), &one, sizeof one);
}

void ConnectionLoop::run() {
  epoll_event events[kMaxEvents];
  next_sweep_ = Clock::now();
  for (;;) {
    int n = ::epoll_wait(epoll_.get(), events, kMaxEvents, wait_ms());
    if (n < 0) n = 0;  // EINTR; other errors cannot happen on a valid epoll descriptor
    ready_.clear();
    for (Entry* e : again_) mark_ready(e);
    again_.clear();
    for (int i = 0; i < n; ++i) {
      if (events[i].data.ptr == nullptr) {
        std::uint64_t count;
        (void)!::read(wake_.get(), &count, sizeof count);
        continue;
      }
      auto* e = static_cast<Entry*>(events[i].data.ptr);
      // Events of a connection served elsewhere are not lost: it is served when it comes back.
      if (e->session) {
        e->readable = true;
        mark_ready(e);
      } else {
        e->missed = true;
      }
    }
    const bool open = take_handed_over();
    for (Entry* e : ready_) {
      e->queued = false;
      serve(e);
    }
    if (!writes_.empty()) {
      // A loop that answered reads in this pass hands the commit over, so that the reads to
      // come are not held up by the sync; one that only writes commits here and saves the
      // hand-overs (and, waiting in the sync, gathers a larger group for the next).
      if (answered_ != 0) {
        core_->submit(std::exchange(writes_, {}));
      } else {
        commit_writes();
      }
    }
    answered_ = 0;
    const auto now = Clock::now();
    if (now >= next_sweep_) time_out_idle(now);
    if (!open && entries_.empty()) return;
  }
}

int ConnectionLoop::wait_ms() const {
  if (!again_.empty()) return 0;
  if (entries_.empty()) return -1;
  const auto left = next_sweep_ - Clock::now();
  return static_cast<int>(std::clamp<std::int64_t>(
      std::chrono::ceil<std::chrono::milliseconds>(left).count(), 0, 1000));
}

bool ConnectionLoop::take_handed_over() {
  std::vector<UniqueFd> adopted;
  std::vector<Away> returned;
  bool open;
  {
    std::scoped_lock lock(mu_);
    adopted.swap(adopted_);
    returned.swap(returned_);
    open = !closed_;
  }
  for (UniqueFd& fd : adopted) add(std::move(fd));
  for (Away& a : returned) {
    Entry* e = a.entry;
    e->session = std::move(a.session);
    e->readable = std::exchange(e->missed, false);
    if (std::exchange(e->on_own_thread, false)) {
      // Its socket was read there and left the epoll; added again, it is announced anew from
      // now on.
      watch(e);
      e->readable = true;
    }
    mark_ready(e);
  }
  return open;
}

void ConnectionLoop::add(UniqueFd stream) {
  auto entry = std::make_unique<Entry>();
  Entry* e = entry.get();
  e->session =
      std::make_unique<Session>(std::move(stream), core_->db, core_->stats, core_->combiner);
  e->idle_since = Clock::now();
  entries_.emplace(e, std::move(entry));
  watch(e);
  mark_ready(e);
}

void ConnectionLoop::watch(Entry* e) {
  epoll_event ev{};
  ev.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
  ev.data.ptr = e;
  if (::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, e->session->fd.get(), &ev) != 0) {
    e->session->conn.fail(IpcError::io(errno));
  }
}

void ConnectionLoop::mark_ready(Entry* e) {
  if (e->queued) return;
  e->queued = true;
  ready_.push_back(e);
}

void ConnectionLoop::serve(Entry* e) {
  // Back from elsewhere without an event since it left, its socket need not be read.
  const Connection::Need need = e->session->conn.serve(e->readable);
  answered_ += e->session->conn.answered();
  e->readable = true;
  e->need = need;
  switch (need) {
    case Connection::Need::Done: end(e); return;
    case Connection::Need::Again: again_.push_back(e); return;
    case Connection::Need::Input:
      e->idle_since = Clock::now();
      if (e->session->conn.answered() == 0 || ++e->read_serves < ConnectionLoops::kReadServes ||
          !core_->claim_own_thread()) {
        return;
      }
      // Served elsewhere, its socket must not wake the loop.
      (void)::epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, e->session->fd.get(), nullptr);
      e->on_own_thread = true;
      e->read_serves = 0;
      core_->serve_on_own_thread(Away{shared_from_this(), e, std::move(e->session)});
      return;
    case Connection::Need::Output: return;  // the socket's writability wakes it
    case Connection::Need::Commit:
      e->read_serves = 0;
      writes_.push_back(Away{shared_from_this(), e, std::move(e->session)});
      return;
    case Connection::Need::Block:
      e->read_serves = 0;
      core_->run_on_worker(Away{shared_from_this(), e, std::move(e->session)});
      return;
  }
}

void ConnectionLoop::commit_writes() {
  for (Away& a : core_->commit(std::exchange(writes_, {}))) {
    Entry* e = a.entry;
    e->session = std::move(a.session);
    // Whatever arrived meanwhile is announced by the next wait; frames already received are
    // answered in the next pass.
    e->readable = false;
    again_.push_back(e);
  }
}

void ConnectionLoop::end(Entry* e) {
  Session& s = *e->session;
  if (const auto& result = s.conn.result(); !result) {
    log::stderr_line(fmt::format("[IpcServer] Client error: {}\n", result.error().message()));
  }
  // Open transactions are aborted on every kind of disconnect, not only on a clean close: left
  // registered they would hold back the engine until the process ends.
  s.handler.abort_all();
  (void)::epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, s.fd.get(), nullptr);
  e->session.reset();  // closes the socket
  core_->stats->connection_ended();
  entries_.erase(e);
}

void ConnectionLoop::time_out_idle(Clock::time_point now) {
  const auto timeout = core_->receive_timeout;
  if (timeout.count() == 0) {  // no time-out
    next_sweep_ = now + std::chrono::hours(1);
    return;
  }
  std::vector<Entry*> expired;
  for (const auto& [e, owned] : entries_) {
    if (e->session && e->need == Connection::Need::Input && now - e->idle_since >= timeout) {
      expired.push_back(e);
    }
  }
  for (Entry* e : expired) {
    e->session->conn.time_out();
    serve(e);
  }
  const auto step = std::clamp<Clock::duration>(timeout / 4, std::chrono::milliseconds(1),
                                                std::chrono::seconds(1));
  next_sweep_ = now + step;
}

// ---- ConnectionLoops -----------------------------------------------------------------------

ConnectionLoops::ConnectionLoops(std::shared_ptr<Database> db, std::shared_ptr<ServerStats> stats,
                                 Options options) {
  core_ = std::make_shared<LoopCore>(std::move(db), std::move(stats), options);
  const std::size_t threads = std::max<std::size_t>(options.threads, 1);
  for (std::size_t i = 0; i < threads; ++i) {
    loops_.push_back(std::make_shared<ConnectionLoop>(core_));
    loops_.back()->start();
  }
}

std::size_t ConnectionLoops::on_own_threads() const {
  return core_->own_threads.load(std::memory_order_relaxed);
}

ConnectionLoops::~ConnectionLoops() {
  for (const auto& loop : loops_) loop->close();
}

void ConnectionLoops::adopt(UniqueFd stream) {
  loops_[next_]->adopt(std::move(stream));
  next_ = (next_ + 1) % loops_.size();
}

}  // namespace kavrel
