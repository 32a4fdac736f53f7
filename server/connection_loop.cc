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

namespace kavrel {

using Clock = std::chrono::steady_clock;

namespace {

constexpr int kMaxEvents = 256;

// The stream over an accepted socket: TLS under tls, else the socket as it is.
std::unique_ptr<Stream> make_stream(int fd, std::shared_ptr<SSL_CTX> tls) {
  if (tls) return std::make_unique<TlsStream>(fd, std::move(tls));
  return std::make_unique<PlainStream>(fd);
}

// One connection's socket, stream, dispatcher and framing, moved between threads as one piece.
struct Session {
  Session(Accepted accepted, const std::shared_ptr<Database>& db,
          const std::shared_ptr<ServerStats>& stats)
      : fd(std::move(accepted.socket)),
        stream(make_stream(fd.get(), std::move(accepted.tls))),
        handler(db, stats, ClientHandler::Options{.peer = std::move(accepted.peer)}),
        conn(*stream, handler, *stats) {}
  UniqueFd fd;
  std::unique_ptr<Stream> stream;
  ClientHandler handler;
  Connection conn;
};

// A connection's place in its loop; touched by the loop thread only.
struct Entry {
  std::unique_ptr<Session> session;  // null while the connection is served elsewhere
  Connection::Need need = Connection::Need::Input;
  Clock::time_point accepted;    // bounds the handshake
  Clock::time_point idle_since;  // when it last began to wait for input
  // Bytes sent when it last began to wait for room to send, or when a sweep last saw some go.
  std::uint64_t sent_mark = 0;
  Clock::time_point sent_since;
  bool queued = false;         // in the current pass's ready list
  bool missed = false;         // the socket had an event while the connection was away
  bool readable = true;        // the next serve reads the socket
  bool on_own_thread = false;  // away on a thread of its own, out of the loop's epoll
  unsigned read_serves = 0;    // serves in a row that answered only at once
};

}  // namespace

// A connection away from its loop, with the way back.
struct Away {
  std::shared_ptr<ConnectionLoop> home;
  Entry* entry;
  std::unique_ptr<Session> session;
};

// Everything the loops and the workers share.
struct LoopCore : std::enable_shared_from_this<LoopCore> {
  LoopCore(std::shared_ptr<Database> d, std::shared_ptr<ServerStats> s,
           const ConnectionLoops::Options& options)
      : db(std::move(d)),
        stats(std::move(s)),
        receive_timeout(options.receive_timeout),
        handshake_timeout(options.handshake_timeout),
        own_threads_max(options.own_threads) {}

  // Runs the connection's pending requests on a worker, then sends it home.
  void run_on_worker(Away away);
  // Takes a place for a connection on a thread of its own: false when all are taken.
  bool claim_own_thread();
  // Serves the connection on a worker of its own (serve_here) until it ends or writes, then
  // sends it home and gives back its place.
  void serve_on_own_thread(Away away);

  std::shared_ptr<Database> db;
  std::shared_ptr<ServerStats> stats;
  std::chrono::microseconds receive_timeout;
  std::chrono::microseconds handshake_timeout;
  std::size_t own_threads_max;
  std::atomic<std::size_t> own_threads{0};  // places taken
  WorkerPool pool;
};

// The runs of writes of the connections a loop pass gathered, handed to the write road as one
// request. Its done() answers each connection (a connection holding a write the storage refused
// goes to a worker instead: written one by one, each may wait seconds for another transaction)
// and sends it home, unless its own loop leads the batch (here): the loop then takes the
// connections back itself.
struct LoopWrites : WriteRequest {
  LoopWrites(std::shared_ptr<LoopCore> c, std::vector<Away> g);
  void done() override;
  void lead() override {
    core->pool.post([core = core] { core->db->lead_writes(); });
  }

  std::shared_ptr<LoopCore> core;
  std::vector<Away> group;
  std::vector<std::span<const BlindWrite>> spans;  // the runs; `runs` views them
  std::vector<std::size_t> run_of;                 // the connection of each run
  bool here = false;
};

class ConnectionLoop : public std::enable_shared_from_this<ConnectionLoop> {
 public:
  explicit ConnectionLoop(std::shared_ptr<LoopCore> core);

  // Starts the loop's thread. Called once.
  void start();
  // Thread-safe: a new connection, connections coming back, the end of the loop once empty.
  void adopt(Accepted accepted);
  void come_back(std::vector<Away> away);
  void close();

 private:
  void run();
  void wake();  // called with mu_ held
  // Takes what other threads handed over; false once closed.
  bool take_handed_over();
  void add(Accepted accepted);
  // Adds the connection's socket to the epoll (edge-triggered).
  void watch(Entry* e);
  void mark_ready(Entry* e);
  void serve(Entry* e);
  // Hands the runs of writes gathered in this pass to the write road. When this loop must lead
  // the batch it does so here if it answered nothing else in the pass (the connections then
  // come back answered and are served again in the next pass), and on a worker otherwise, so
  // that the reads to come are not held up by the sync.
  void hand_over_writes();
  void end(Entry* e);
  // Ends the connections past a bound: the handshake's, the receive and send time-outs.
  void time_out(Clock::time_point now);
  int wait_ms() const;

  std::shared_ptr<LoopCore> core_;
  UniqueFd epoll_;
  UniqueFd wake_;  // an eventfd, readable when something was handed over

  std::mutex mu_;
  std::vector<Accepted> adopted_;  // guarded by mu_
  std::vector<Away> returned_;     // guarded by mu_
  bool closed_ = false;            // guarded by mu_

  // The loop thread's own.
  std::unordered_map<Entry*, std::unique_ptr<Entry>> entries_;
  std::vector<Entry*> ready_, again_;
  std::vector<Away> writes_;  // the runs of writes gathered in this pass
  std::size_t answered_ = 0;  // requests answered at once in this pass
  Clock::time_point next_sweep_;
};

// ---- The write road's requests and the workers --------------------------------------------------

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

LoopWrites::LoopWrites(std::shared_ptr<LoopCore> c, std::vector<Away> g)
    : core(std::move(c)), group(std::move(g)) {
  for (std::size_t i = 0; i < group.size(); ++i) {
    Session& s = *group[i].session;
    const auto writes = s.handler.decode_writes(s.conn.pending());
    if (writes.empty()) continue;
    spans.push_back(writes);
    run_of.push_back(i);
  }
  runs = spans;
}

void LoopWrites::done() {
  std::vector<WriteOutcome> of(group.size());  // a connection without a run: its decoding errors
  for (std::size_t k = 0; k < run_of.size(); ++k) of[run_of[k]] = std::move(outcomes[k]);
  std::vector<Away> answered;
  answered.reserve(group.size());
  for (std::size_t i = 0; i < group.size(); ++i) {
    if (of[i].status == WriteOutcome::Status::WriteAlone) {
      core->run_on_worker(std::move(group[i]));
      continue;
    }
    Session& s = *group[i].session;
    s.conn.answer_pending(s.handler.finish_writes(of[i]));
    s.conn.flush();
    answered.push_back(std::move(group[i]));
  }
  group = std::move(answered);
  if (here) return;
  send_home(std::move(group));
  delete this;  // handed over by hand_over_writes; the queue no longer touches it
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

void ConnectionLoop::adopt(Accepted accepted) {
  std::scoped_lock lock(mu_);
  adopted_.push_back(std::move(accepted));
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
    if (!writes_.empty()) hand_over_writes();
    answered_ = 0;
    const auto now = Clock::now();
    if (now >= next_sweep_) time_out(now);
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
  std::vector<Accepted> adopted;
  std::vector<Away> returned;
  bool open;
  {
    std::scoped_lock lock(mu_);
    adopted.swap(adopted_);
    returned.swap(returned_);
    open = !closed_;
  }
  for (Accepted& a : adopted) add(std::move(a));
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

void ConnectionLoop::add(Accepted accepted) {
  auto entry = std::make_unique<Entry>();
  Entry* e = entry.get();
  e->session = std::make_unique<Session>(std::move(accepted), core_->db, core_->stats);
  e->accepted = e->idle_since = Clock::now();
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
  if (need == Connection::Need::Output && e->need != need) {
    e->sent_mark = e->session->conn.bytes_sent();
    e->sent_since = Clock::now();
  }
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

void ConnectionLoop::hand_over_writes() {
  auto* request = new LoopWrites(core_, std::exchange(writes_, {}));
  if (!core_->db->submit(*request)) return;  // the leader answers it
  if (answered_ != 0) {
    request->lead();
    return;
  }
  // Led here, its batch holds it; nothing else touches it until it is done.
  request->here = true;
  core_->db->lead_writes();
  for (Away& a : request->group) {
    Entry* e = a.entry;
    e->session = std::move(a.session);
    // Whatever arrived meanwhile is announced by the next wait; frames already received are
    // answered in the next pass.
    e->readable = false;
    again_.push_back(e);
  }
  delete request;
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

void ConnectionLoop::time_out(Clock::time_point now) {
  const auto timeout = core_->receive_timeout;          // zero: none
  std::vector<std::pair<Entry*, const char*>> expired;  // the error, or null: the receive's
  for (const auto& [e, owned] : entries_) {
    if (!e->session) continue;
    const Connection& conn = e->session->conn;
    if (!conn.opened() && now - e->accepted >= core_->handshake_timeout) {
      expired.emplace_back(e, kHandshakeTimedOut);
    } else if (timeout.count() == 0) {
      continue;
    } else if (e->need == Connection::Need::Input && now - e->idle_since >= timeout) {
      expired.emplace_back(e, nullptr);
    } else if (e->need == Connection::Need::Output) {
      if (conn.bytes_sent() != e->sent_mark) {
        e->sent_mark = conn.bytes_sent();
        e->sent_since = now;
      } else if (now - e->sent_since >= timeout) {
        expired.emplace_back(e, kSendTimedOut);
      }
    }
  }
  for (auto [e, error] : expired) {
    if (error == nullptr) {
      e->session->conn.time_out();
    } else {
      e->session->conn.give_up(error);
    }
    serve(e);
  }
  const Clock::duration handshake = core_->handshake_timeout;
  const Clock::duration bound =
      timeout.count() == 0 ? handshake : std::min<Clock::duration>(timeout, handshake);
  next_sweep_ = now + std::clamp<Clock::duration>(bound / 4, std::chrono::milliseconds(1),
                                                  std::chrono::seconds(1));
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

void ConnectionLoops::adopt(Accepted accepted) {
  loops_[next_]->adopt(std::move(accepted));
  next_ = (next_ + 1) % loops_.size();
}

}  // namespace kavrel
