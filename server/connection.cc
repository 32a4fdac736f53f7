#include "server/connection.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <utility>

#include <fmt/format.h>

#include "core/log.h"
#include "protocol/requests.h"

namespace kavrel {
namespace {

// The most bytes read from one connection per serve(), so that one busy peer cannot hold the
// thread serving many.
constexpr std::size_t kReceiveLimit = 256 * 1024;
// Answers held past this are sent before more frames are answered.
constexpr std::size_t kOutputBound = 256 * 1024;

}  // namespace

Connection::Need Connection::serve(bool readable) {
  answered_ = 0;
  if (ending_) return drain();
  if (!opened_) {
    auto opened = stream_.open();
    if (!opened) return finish(std::unexpected(std::move(opened.error())));
    if (!*opened) return stream_.read_wants_write() ? Need::Output : Need::Input;
    opened_ = true;
    handler_.set_certificate_user(stream_.certificate_user());
  }
  if (handler_.ending()) {
    return finish(std::unexpected(IpcError::io_message("too many failed logins")));
  }
  if (auto sent = send_some(); !sent) return finish(std::unexpected(std::move(sent.error())));
  if (sent_ != out_.size()) return Need::Output;
  bool more = false;
  if (!reader_.at_end() && !receive_error_ && (readable || !drained_)) {
    auto got = reader_.receive(stream_, kReceiveLimit);
    if (got) {
      drained_ = got->drained;
      more = !got->drained;
    } else {
      // A reset or a time-out: the frames already received are answered first.
      receive_error_ = std::move(got.error());
    }
  }
  auto need = answer_frames();
  if (!need) return finish(std::unexpected(std::move(need.error())));
  if (auto sent = send_some(); !sent) return finish(std::unexpected(std::move(sent.error())));
  if (*need == Need::Commit || *need == Need::Block) return *need;
  if (sent_ != out_.size()) return Need::Output;
  if (*need == Need::Again || more) return Need::Again;
  if (receive_error_) return finish(std::unexpected(std::move(*receive_error_)));
  if (reader_.at_end()) {
    if (reader_.partial()) {
      return finish(std::unexpected(IpcError::io_message("failed to fill whole buffer")));
    }
    return finish({});
  }
  return Need::Input;
}

Result<Connection::Need, IpcError> Connection::answer_frames() {
  while (out_.size() - sent_ < kOutputBound) {
    const auto op = reader_.buffered_opcode();
    if (!op) {
      // A frame not yet whole may already declare more than the limit.
      auto next = reader_.next_frame();
      if (!next) return std::unexpected(std::move(next.error()));
      return Need::Input;
    }
    const bool writes = is_single_write(*op);
    if (writes) {
      take_run(true);
      return Need::Commit;
    }
    if (is_single_read(*op)) {
      take_run(false);
      const auto answers = handler_.process_reads(pending_);
      answer_pending(answers);
      answered_ += answers.size();
      continue;
    }
    Message request = take_frame();
    if (may_take_long(request)) {
      pending_.push_back(std::move(request));
      return Need::Block;
    }
    append(handler_.process_request(request));
    ++answered_;
  }
  return Need::Again;
}

Message Connection::take_frame() {
  auto frame = reader_.next_frame();
  // The frame is whole (buffered_opcode said so) and within the limit.
  Message request = frame && *frame ? std::move(**frame) : Message{};
  stats_.request_received(request.payload.size());
  return request;
}

void Connection::take_run(bool writes) {
  pending_.clear();
  pending_.push_back(take_frame());
  while (pending_.size() < kMaxRun) {
    const auto next = reader_.buffered_opcode();
    if (!next || (writes ? !is_single_write(*next) : !is_single_read(*next))) {
      break;
    }
    pending_.push_back(take_frame());
  }
}

void Connection::answer_pending(std::span<const Message> answers) {
  for (const Message& answer : answers) append(answer);
  pending_.clear();
}

void Connection::run_pending() {
  if (pending_.empty()) return;
  if (is_single_write(pending_.front().opcode)) {
    const auto answers = handler_.process_writes(pending_);
    answer_pending(answers);
    return;
  }
  const Message answer = handler_.process_request(pending_.front());
  answer_pending(std::span(&answer, 1));
}

void Connection::append(const Message& response) {
  stats_.response_ready(response.opcode, response.payload.size());
  char header[FRAME_HEADER_SIZE];
  header[0] = static_cast<char>(response.opcode);
  store_le<std::uint32_t>(header + 1, static_cast<std::uint32_t>(response.payload.size()));
  out_.append(header, sizeof header);
  out_.append(response.payload);
}

Result<void, IpcError> Connection::send_some() {
  while (sent_ < out_.size()) {
    auto moved = stream_.write(out_.data() + sent_, out_.size() - sent_);
    if (!moved) return std::unexpected(std::move(moved.error()));
    if (moved->end) return std::unexpected(IpcError::io(EPIPE));
    if (moved->bytes == 0) break;
    sent_ += moved->bytes;
    bytes_sent_ += moved->bytes;
  }
  // The requests are taken out of the socket once their answers have gone (FrameReader::release).
  if (pending_.empty()) {
    if (auto released = reader_.release(stream_); !released) return released;
  }
  if (sent_ == out_.size()) {
    out_.clear();
    sent_ = 0;
    // A large answer's buffer is not kept.
    if (out_.capacity() > kOutputBound) out_.shrink_to_fit();
  }
  return {};
}

void Connection::flush() {
  if (ending_) return;
  if (auto sent = send_some(); !sent) (void)finish(std::unexpected(std::move(sent.error())));
}

void Connection::fail(IpcError error) { (void)finish(std::unexpected(std::move(error))); }

void Connection::give_up(std::string what) {
  out_.clear();
  sent_ = 0;
  pending_.clear();
  fail(IpcError::io_message(std::move(what)));
}

short Connection::wait_events(Need need) const {
  if (need == Need::Output) return stream_.write_wants_read() ? POLLIN : POLLOUT;
  return stream_.read_wants_write() ? POLLOUT : POLLIN;
}

Connection::Need Connection::finish(Result<void, IpcError> how) {
  if (!ending_) {
    ending_ = true;
    result_ = std::move(how);
  }
  return drain();
}

Connection::Need Connection::drain() {
  if (auto sent = send_some(); !sent) {
    // Nothing more can go out; the error that ended the connection is the one reported.
    out_.clear();
    sent_ = 0;
    return Need::Done;
  }
  return sent_ == out_.size() ? Need::Done : Need::Output;
}

// ---- Serving one connection on the calling thread -------------------------------------------

namespace {

// Waits until fd is ready for events (or has hung up): true, or false after timeout (negative:
// none); an error of poll is returned.
constexpr std::chrono::microseconds kForever{-1};

// Whether fd became ready for events within timeout (kForever: no limit).
Result<bool, IpcError> wait_for(int fd, short events, std::chrono::microseconds timeout) {
  pollfd p{fd, events, 0};
  const int ms =
      timeout.count() < 0
          ? -1
          : static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(timeout).count());
  for (;;) {
    const int n = ::poll(&p, 1, ms);
    if (n > 0) return true;
    if (n == 0) return false;
    if (errno != EINTR) return std::unexpected(IpcError::io(errno));
  }
}

}  // namespace

bool serve_here(Connection& conn, std::chrono::microseconds receive_timeout,
                std::size_t leave_after_writes) {
  const auto limit = receive_timeout.count() == 0 ? kForever : receive_timeout;
  std::size_t write_runs = 0;
  for (;;) {
    const Connection::Need need = conn.serve();
    if (conn.answered() != 0) write_runs = 0;
    switch (need) {
      case Connection::Need::Done: return true;
      case Connection::Need::Again: break;
      case Connection::Need::Block: conn.run_pending(); break;
      case Connection::Need::Commit:
        conn.run_pending();
        if (leave_after_writes != 0 && ++write_runs >= leave_after_writes) {
          conn.flush();
          return false;
        }
        break;
      case Connection::Need::Input:
      case Connection::Need::Output: {
        auto ready = wait_for(conn.fd(), conn.wait_events(need), limit);
        if (!ready) {
          conn.fail(std::move(ready.error()));
        } else if (*ready) {
          break;
        } else if (need == Connection::Need::Input) {
          conn.time_out();
        } else {
          conn.give_up(kSendTimedOut);
        }
        break;
      }
    }
  }
}

Result<void, IpcError> run_connection(int fd, ClientHandler& handler, ServerStats& stats,
                                      std::chrono::microseconds receive_timeout) {
  Connection conn(fd, handler, stats);
  serve_here(conn, receive_timeout);
  return conn.result();
}

}  // namespace kavrel
