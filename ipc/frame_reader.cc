#include "ipc/frame_reader.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "core/wire.h"

namespace kavrel {

FrameReader::FrameReader(UniqueFd fd) : fd_(std::move(fd)), buf_(kConnectionBufferSize) {}

Result<std::optional<std::uint8_t>, IpcError> FrameReader::read_opcode() {
  if (pos_ == end_) {
    auto n = fill();
    if (!n) return std::unexpected(std::move(n.error()));
    if (*n == 0) return std::optional<std::uint8_t>();
  }
  return std::optional<std::uint8_t>(static_cast<std::uint8_t>(buf_[pos_++]));
}

Result<void, IpcError> FrameReader::read_exact(char* dst, std::size_t n) {
  while (n > 0) {
    if (pos_ < end_) {
      const std::size_t k = std::min(n, end_ - pos_);
      std::memcpy(dst, buf_.data() + pos_, k);
      pos_ += k;
      dst += k;
      n -= k;
      continue;
    }
    // Large reads bypass the buffer.
    auto got = n >= buf_.size() ? recv_some(dst, n) : fill();
    if (!got) return std::unexpected(std::move(got.error()));
    if (*got == 0) return std::unexpected(IpcError::io_message("failed to fill whole buffer"));
    if (n >= buf_.size()) {
      dst += *got;
      n -= *got;
    }
  }
  return {};
}

bool FrameReader::frame_buffered() const {
  const std::size_t avail = end_ - pos_;
  if (avail < FRAME_HEADER_SIZE) return false;
  return get_u32(buf_.data() + pos_ + 1) <= avail - FRAME_HEADER_SIZE;
}

std::optional<std::uint8_t> FrameReader::buffered_opcode() const {
  if (!frame_buffered()) return std::nullopt;
  return static_cast<std::uint8_t>(buf_[pos_]);
}

Result<void, IpcError> FrameReader::read_payload(Bytes& out, std::size_t len) {
  out.clear();
  while (out.size() < len) {
    const std::size_t have = out.size();
    // Each step is filled before the next is allocated, so an unfilled step never exceeds what
    // has already arrived (or the first step).
    const std::size_t step = std::min(len - have, std::max(have, kPayloadFirstStep));
    out.resize(have + step);
    if (auto r = read_exact(out.data() + have, step); !r) {
      out.resize(have);
      return r;
    }
  }
  return {};
}

Result<std::size_t, IpcError> FrameReader::fill() {
  pos_ = end_ = 0;
  auto n = recv_some(buf_.data(), buf_.size());
  if (n) end_ = *n;
  return n;
}

Result<std::size_t, IpcError> FrameReader::recv_some(char* dst, std::size_t n) {
  for (;;) {
    const ssize_t got = ::recv(fd_.get(), dst, n, 0);
    if (got >= 0) return static_cast<std::size_t>(got);
    if (errno != EINTR) return std::unexpected(IpcError::io(errno));
  }
}

}  // namespace kavrel
