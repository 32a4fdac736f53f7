// The read side of a connection: an 8 KiB buffered reader over the connection's own descriptor,
// with the frame pieces the connection loop reads (opcode byte, exact-length fields, payload).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/bytes.h"
#include "core/error.h"
#include "core/unique_fd.h"

namespace kavrel {

// Reader and writer buffer sizes of a connection.
inline constexpr std::size_t kConnectionBufferSize = 8192;
// The first step of a payload buffer; it then at most doubles with the bytes received.
inline constexpr std::size_t kPayloadFirstStep = 64 * 1024;

// Owns fd. Not thread-safe: one connection thread uses it.
class FrameReader {
 public:
  explicit FrameReader(UniqueFd fd);

  // The next byte, or nullopt at a clean end of input.
  Result<std::optional<std::uint8_t>, IpcError> read_opcode();

  // Exactly n bytes into dst; end of input before that is an Io error.
  Result<void, IpcError> read_exact(char* dst, std::size_t n);

  // True when a whole frame (header and payload) is already buffered: reading it will not wait
  // for the peer.
  bool frame_buffered() const;
  // The opcode of the next frame when a whole frame is buffered, else nullopt.
  std::optional<std::uint8_t> buffered_opcode() const;

  // Replaces out with exactly len payload bytes. The buffer grows with the bytes received, not
  // with the length the peer declared: a peer that announces 16 MiB and sends a few bytes pins a
  // few bytes, not 16 MiB. The buffer is never more than twice what has arrived, plus the first
  // step. On an error out holds the whole steps read before it.
  Result<void, IpcError> read_payload(Bytes& out, std::size_t len);

 private:
  Result<std::size_t, IpcError> fill();
  Result<std::size_t, IpcError> recv_some(char* dst, std::size_t n);

  UniqueFd fd_;
  std::vector<char> buf_;
  std::size_t pos_ = 0, end_ = 0;
};

}  // namespace kavrel
