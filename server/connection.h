// Connection: the framing and the order of one client connection, for whichever thread serves
// it at the moment. serve() does what can be done without waiting: it sends the answers still
// unsent, reads what has arrived, answers the whole request frames in order and sends their
// answers (one send), and says what the connection needs next. Two kinds of request are not
// answered there, because they wait: a run of single writes received back to back (PUT, DELETE,
// PUT_PATH outside IN_TXN), which must be committed and synced, and a request that may take
// long (a sync, a scan of a table, a snapshot of
// the whole state). serve() stops in front of them and leaves them pending;
// the caller commits the writes or runs the request wherever waiting does no harm, gives the
// answers back (answer_pending, or run_pending, which does both on the calling thread) and
// calls serve() again. Nothing after a pending run is answered before it, so answers go out in
// request order and a request sees what the writes before it wrote.
//
// A connection error (a frame larger than MAX_MESSAGE_SIZE, the input ending inside a frame, a
// failed send or receive, the receive time-out) ends the connection after the answers of the
// frames before it have been sent: serve() then returns Done and result() holds the error; a
// clean end of input between frames returns Done with success.
//
// Not thread-safe: one thread at a time serves a connection, and whoever hands it to another
// thread does so through a synchronised hand-over (a queue under a mutex).
#pragma once

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/bytes.h"
#include "core/error.h"
#include "core/unique_fd.h"
#include "protocol/wire.h"
#include "server/client_handler.h"
#include "server/frame_reader.h"
#include "server/server_stats.h"
#include "server/stream.h"

namespace kavrel {

class Connection {
 public:
  enum class Need : std::uint8_t {
    Input,   // every whole frame answered and sent: serve again once the socket is readable
    Output,  // answers wait for room in the socket: serve again once it is writable
    Again,   // more may be read or answered at once: serve again soon (after the others)
    Commit,  // a run of single writes is pending: commit it, answer_pending, serve again
    Block,   // a request that may take long is pending: run_pending off the loop, serve again
    Done,    // the connection has ended: result() says how
  };

  // The most requests taken as one run of writes or reads.
  static constexpr std::size_t kMaxRun = 256;

  // stream, handler and stats must outlive the connection, which owns none of them.
  Connection(Stream& stream, ClientHandler& handler, ServerStats& stats)
      : stream_(stream), handler_(handler), stats_(stats) {}
  // Over the socket fd as it is (a PlainStream of the connection's own).
  Connection(int fd, ClientHandler& handler, ServerStats& stats)
      : plain_(std::in_place, fd), stream_(*plain_), handler_(handler), stats_(stats) {}
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Does what can be done without waiting (see above): first the stream's opening (the TLS
  // handshake), then the requests. Must not be called while requests are pending. readable:
  // the socket may have received something since the last serve (false skips the receive
  // unless the last one stopped before the socket had nothing more).
  Need serve(bool readable = true);

  // The pending requests (Commit: the run of writes, in order; Block: the one request).
  std::span<const Message> pending() const { return pending_; }
  // Answers the pending requests, in their order, and forgets them. The answers go out at the
  // next flush or serve.
  void answer_pending(std::span<const Message> answers);
  // Answers the pending requests on the calling thread, which may wait: writes go to the write
  // road (process_writes), the long request runs here.
  void run_pending();

  // Sends what the socket takes without waiting; a failed send ends the connection (serve()
  // then returns Done).
  void flush();
  // The peer sent nothing for the receive time-out: ends the connection with the error a
  // receive that timed out gives.
  void time_out() { fail(IpcError::io(EAGAIN)); }
  // The peer took none of the answers held, or did not finish the handshake, within its
  // bound: ends the connection at once, dropping what it holds, with the error `what`.
  void give_up(std::string what);
  // Ends the connection with error (once the answers held have been sent).
  void fail(IpcError error);

  // The requests the last serve() answered itself (not counting pending ones answered since).
  std::size_t answered() const { return answered_; }

  // After Done: success on a clean end of input, else the connection error.
  const Result<void, IpcError>& result() const { return result_; }
  ClientHandler& handler() { return handler_; }
  int fd() const { return stream_.fd(); }
  // Whether the stream is open (its TLS handshake done).
  bool opened() const { return opened_; }
  // Bytes sent so far: a peer that takes none for a while has stopped reading.
  std::uint64_t bytes_sent() const { return bytes_sent_; }
  // The poll events to wait for when serve() said `need` (Input or Output).
  short wait_events(Need need) const;

 private:
  // Answers whole frames in order until none is left (Input), a run of writes or a long request
  // must wait (Commit, Block), or the answers held reach a bound (Again).
  Result<Need, IpcError> answer_frames();
  // Takes the buffered whole frame (counted as received).
  Message take_frame();
  // Takes the next frame and those of the same kind that follow it, whole and already received,
  // into pending_.
  void take_run(bool writes);
  void append(const Message& response);
  Result<void, IpcError> send_some();
  // Ends the connection with how, once the answers held have been sent.
  Need finish(Result<void, IpcError> how);
  // Sends what is held while ending: Done once all is sent (or a send failed).
  Need drain();

  std::optional<PlainStream> plain_;
  Stream& stream_;
  ClientHandler& handler_;
  ServerStats& stats_;
  FrameReader reader_;
  std::vector<Message> pending_;
  Bytes out_;                              // answers not yet sent, from sent_ on
  std::size_t sent_ = 0;                   // bytes of out_ already sent
  std::optional<IpcError> receive_error_;  // reported once the frames before it are answered
  bool drained_ = false;                   // the last receive found the socket empty
  std::size_t answered_ = 0;
  bool ending_ = false;
  bool opened_ = false;
  std::uint64_t bytes_sent_ = 0;
  Result<void, IpcError> result_;
};

// The receive time-out of every connection unless the server is told otherwise (--timeout-ms).
// A time-out of zero means none: a connection may stay idle for ever. The same bound applies to
// a peer that takes none of its answers (send time-out).
inline constexpr std::chrono::seconds kReceiveTimeout{30};
// The error of a connection ended by the send time-out.
inline constexpr const char* kSendTimedOut = "send timed out: the client took no answer";
// The longest a TLS handshake may take, whatever the receive time-out.
inline constexpr std::chrono::seconds kHandshakeTimeout{10};
inline constexpr const char* kHandshakeTimedOut = "TLS handshake timed out";

// Serves conn on the calling thread, waiting in poll() for input and for room to send (each at
// most receive_timeout, after which the connection times out; zero: no limit), and running
// pending requests itself (run_pending), until it is Done: returns true then. With
// leave_after_writes > 0 it also returns, false, once that many runs of writes came in a row with
// no other request answered between them; the last run is answered, and its answers may not all
// have gone out yet.
bool serve_here(Connection& conn, std::chrono::microseconds receive_timeout,
                std::size_t leave_after_writes = 0);

// A Connection over fd served on the calling thread with a caller-owned handler (serve_here).
// Returns success on a clean close (end of input where an opcode was expected) and the connection
// error otherwise. It neither aborts the handler's transactions nor closes fd nor touches
// connections_active.
Result<void, IpcError> run_connection(int fd, ClientHandler& handler, ServerStats& stats,
                                      std::chrono::microseconds receive_timeout = kReceiveTimeout);

}  // namespace kavrel
