#include "server/frame_reader.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

namespace kavrel {

Result<FrameReader::Received, IpcError> FrameReader::receive(Stream& stream, std::size_t limit) {
  Received got;
  while (!at_end_ && got.bytes < limit) {
    // Looked at again before they are released, the same bytes would come back.
    if (auto released = release(stream); !released) {
      return std::unexpected(std::move(released.error()));
    }
    const std::size_t room = std::min(make_room(), limit - got.bytes);
    if (room == 0) return got;
    auto moved = stream.read(buf_.data() + end_, room);
    if (!moved) return std::unexpected(std::move(moved.error()));
    const std::size_t n = moved->bytes;
    if (n == 0 && !moved->end) {
      got.drained = true;
      return got;
    }
    if (moved->end) at_end_ = true;
    end_ += n;
    if (stream.peeks()) unreleased_ += n;
    got.bytes += n;
    // A socket read directly fills the room it can: less means it had nothing more just then
    // (what arrives later is announced anew), so no second call to hear "would block". Except
    // after the start of a frame not yet whole: the end of input behind it shows only to a
    // receive past its bytes, which are taken out at once (their sender is still sending, not
    // waiting for an answer) so that the next look finds the end, or more, or nothing yet. TLS
    // hands out one record at a time, so it is read until it would block.
    if (stream.peeks() && n > 0 && n < room) {
      if (!ends_in_partial_frame()) {
        got.drained = true;
        return got;
      }
      if (auto released = release(stream); !released) {
        return std::unexpected(std::move(released.error()));
      }
    }
  }
  got.drained = at_end_;
  return got;
}

Result<void, IpcError> FrameReader::release(Stream& stream) {
  if (unreleased_ == 0) return {};
  return stream.discard(std::exchange(unreleased_, 0));
}

std::size_t FrameReader::make_room() {
  if (pos_ == end_) {
    pos_ = end_ = 0;
    // A large frame's buffer is not kept once it has been taken.
    if (buf_.size() != kConnectionBufferSize) {
      buf_ = std::vector<char>(kConnectionBufferSize);
    }
  }
  if (end_ < buf_.size()) return buf_.size() - end_;
  if (pos_ > 0) {
    std::memmove(buf_.data(), buf_.data() + pos_, end_ - pos_);
    end_ -= pos_;
    pos_ = 0;
    return buf_.size() - end_;
  }
  // Full of one frame: grow only while it is not whole, by what is held (at least the first
  // step), never past the frame's own size.
  if (frame_buffered()) return 0;
  std::size_t size = buf_.size() + std::max(buf_.size(), kPayloadFirstStep);
  if (end_ >= FRAME_HEADER_SIZE) {
    const std::size_t frame = FRAME_HEADER_SIZE + get_u32(buf_.data() + 1);
    size = std::min(size, std::max(frame, buf_.size()));
  }
  std::vector<char> bigger(size);
  std::memcpy(bigger.data(), buf_.data(), end_);
  buf_ = std::move(bigger);
  return buf_.size() - end_;
}

bool FrameReader::ends_in_partial_frame() const {
  std::size_t p = pos_;
  while (end_ - p >= FRAME_HEADER_SIZE) {
    const std::size_t frame = FRAME_HEADER_SIZE + get_u32(buf_.data() + p + 1);
    if (frame > end_ - p) break;
    p += frame;
  }
  return p != end_;
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

Result<std::optional<Message>, IpcError> FrameReader::next_frame() {
  const std::size_t avail = end_ - pos_;
  if (avail < FRAME_HEADER_SIZE) return std::optional<Message>();
  const std::uint32_t len = get_u32(buf_.data() + pos_ + 1);
  if (len > MAX_MESSAGE_SIZE) {
    return std::unexpected(IpcError::message_too_large(len, MAX_MESSAGE_SIZE));
  }
  if (avail - FRAME_HEADER_SIZE < len) return std::optional<Message>();
  Message frame{static_cast<std::uint8_t>(buf_[pos_]),
                Bytes(buf_.data() + pos_ + FRAME_HEADER_SIZE, len)};
  pos_ += FRAME_HEADER_SIZE + len;
  return std::optional<Message>(std::move(frame));
}

}  // namespace kavrel
