// The read side of a connection: the bytes received and not yet taken, cut into request frames.
// receive() takes what has already arrived without waiting for more; next_frame() takes one whole
// frame off the front.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/bytes.h"
#include "core/error.h"
#include "protocol/wire.h"
#include "server/stream.h"

namespace kavrel {

// Reader and writer buffer sizes of a connection.
inline constexpr std::size_t kConnectionBufferSize = 8192;
// The first step by which the buffer grows past its first size; it then at most doubles with
// the bytes received.
inline constexpr std::size_t kPayloadFirstStep = 64 * 1024;

// Not thread-safe: one thread at a time uses it. The buffer grows with the bytes received, not
// with the length a frame header declares: a peer that announces 16 MiB and sends a few bytes
// pins a few bytes, not 16 MiB. It is never more than twice what it holds plus the first step,
// and goes back to its first size once it is empty.
class FrameReader {
 public:
  struct Received {
    std::size_t bytes = 0;  // read by this call
    bool drained = false;   // the socket had nothing more just then (or the input ended)
  };
  // Reads from the stream what has arrived, without waiting, until it has nothing more, the end
  // of input, `limit` bytes, or a full buffer holding a whole frame. A read error is returned
  // and leaves the buffer as it was.
  //
  // From a plain stream the bytes are only looked at (MSG_PEEK): they stay in the socket,
  // charged to the peer's send buffer, until release() takes them out. A peer that sent a
  // request and waits for its answer sleeps on its socket, and taking its bytes out wakes it
  // (room to send) to find nothing to read; taken out once the answer has gone, they wake
  // nobody. Whatever was looked at before is released first.
  Result<Received, IpcError> receive(Stream& stream, std::size_t limit);
  // Takes the bytes looked at out of the socket. A read error is returned.
  Result<void, IpcError> release(Stream& stream);

  // The end of input was met: the peer will send nothing more.
  bool at_end() const { return at_end_; }
  // Bytes of a frame not yet whole are held (at the end of input: a frame cut short).
  bool partial() const { return pos_ != end_ && !frame_buffered(); }

  // True when a whole frame (header and payload) is buffered.
  bool frame_buffered() const;
  // The opcode of the next frame when a whole frame is buffered, else nullopt.
  std::optional<std::uint8_t> buffered_opcode() const;
  // Takes the next whole frame; nullopt when none is whole yet. A header that declares more than
  // MAX_MESSAGE_SIZE is a MessageTooLarge error as soon as it is buffered.
  Result<std::optional<Message>, IpcError> next_frame();

  std::size_t capacity() const { return buf_.capacity(); }

 private:
  // The bytes held end inside a frame (after the whole frames before it, if any).
  bool ends_in_partial_frame() const;
  // Room at the end of the buffer for the next recv: moves the held bytes to the front, grows
  // within the bound when a frame not yet whole fills it. 0 when nothing may be read now.
  std::size_t make_room();

  std::vector<char> buf_;
  std::size_t pos_ = 0, end_ = 0;
  std::size_t unreleased_ = 0;  // bytes looked at and still in the socket
  bool at_end_ = false;
};

}  // namespace kavrel
