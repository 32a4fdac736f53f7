// FrameReader over a socket pair: buffers that follow the bytes received, frames cut whole.
#include "server/frame_reader.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "core/unique_fd.h"

namespace kavrel {
namespace {

constexpr std::size_t kMiB = 1024 * 1024;

class FrameReaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    fd_ = UniqueFd(fds[0]);
    peer_ = UniqueFd(fds[1]);
    stream_.emplace(fd_.get());
  }
  void send_all(const Bytes& data) {
    std::size_t sent = 0;
    while (sent < data.size()) {
      const ssize_t n = ::send(peer_.get(), data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
      ASSERT_GT(n, 0);
      sent += static_cast<std::size_t>(n);
    }
  }
  // Receives (waiting in poll when nothing has arrived) until the end of input.
  void receive_to_end() {
    while (!reader_.at_end()) {
      auto got = reader_.receive(*stream_, 1 << 20);
      ASSERT_TRUE(got.has_value()) << got.error().message();
      if (got->bytes == 0 && !reader_.at_end()) wait_readable();
    }
  }
  // Receives until a whole frame is there and takes it.
  Message receive_frame() {
    for (;;) {
      auto frame = reader_.next_frame();
      EXPECT_TRUE(frame.has_value());
      if (!frame) return {};
      if (*frame) return std::move(**frame);
      auto got = reader_.receive(*stream_, 1 << 20);
      EXPECT_TRUE(got.has_value());
      if (!got) return {};
      if (got->bytes == 0) wait_readable();
    }
  }
  void wait_readable() {
    pollfd p{fd_.get(), POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 10'000), 1);
  }

  FrameReader reader_;
  UniqueFd fd_, peer_;
  std::optional<PlainStream> stream_;
};

Bytes pattern(std::size_t n) {
  Bytes out(n, '\0');
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<char>((i * 131 + i / 251) & 0xff);
  return out;
}

Bytes header(std::uint8_t op, std::uint32_t len) {
  Bytes out;
  put_u8(out, op);
  put_u32(out, len);
  return out;
}

TEST_F(FrameReaderTest, DeclaredLengthIsNotAllocatedBeforeTheBytesArrive) {
  send_all(header(0x01, 16 * kMiB) + Bytes(1000, 'x'));
  peer_ = UniqueFd();  // the peer goes away after 1000 of the 16 MiB it announced
  receive_to_end();
  auto frame = reader_.next_frame();
  ASSERT_TRUE(frame.has_value());
  EXPECT_FALSE(frame->has_value());
  EXPECT_TRUE(reader_.partial());
  EXPECT_LE(reader_.capacity(), 2 * kPayloadFirstStep);
}

TEST_F(FrameReaderTest, BufferStaysWithinTwiceTheBytesReceived) {
  const std::size_t sent = 3 * kMiB + 17;
  const Bytes data = header(0x01, 16 * kMiB) + pattern(sent);
  std::thread writer([&] {
    send_all(data);
    peer_ = UniqueFd();
  });
  receive_to_end();
  writer.join();
  EXPECT_TRUE(reader_.partial());
  EXPECT_LE(reader_.capacity(), 2 * data.size() + kPayloadFirstStep);
}

TEST_F(FrameReaderTest, PayloadsOfEverySizeArriveWhole) {
  // Sizes around the reader's buffer and its growth steps, each followed by the next frame to
  // check that no byte is taken from it.
  const std::size_t sizes[] = {0,
                               1,
                               kConnectionBufferSize - FRAME_HEADER_SIZE - 1,
                               kConnectionBufferSize - FRAME_HEADER_SIZE,
                               kConnectionBufferSize,
                               kConnectionBufferSize + 1,
                               kPayloadFirstStep,
                               kPayloadFirstStep + 1,
                               5 * kPayloadFirstStep + 3,
                               16 * kMiB};
  for (const std::size_t size : sizes) {
    SCOPED_TRACE(size);
    const Bytes data = pattern(size);
    std::thread writer([&] { send_all(encode_frame(0x01, data) + encode_frame(0x0e, "")); });
    const Message got = receive_frame();
    const Message next = receive_frame();
    writer.join();
    EXPECT_EQ(got.opcode, 0x01);
    EXPECT_EQ(got.payload, data);
    EXPECT_EQ(next, (Message{0x0e, ""}));
    EXPECT_FALSE(reader_.partial());
  }
  // Once the large frames are taken the buffer is back to its first size.
  send_all(encode_frame(0x0e, ""));
  EXPECT_EQ(receive_frame(), (Message{0x0e, ""}));
  EXPECT_LE(reader_.capacity(), kConnectionBufferSize);
}

TEST_F(FrameReaderTest, OversizedHeaderIsRefusedBeforeItsPayload) {
  send_all(encode_frame(0x0e, "") + header(0x01, MAX_MESSAGE_SIZE + 1));
  EXPECT_EQ(receive_frame(), (Message{0x0e, ""}));
  auto got = reader_.receive(*stream_, 1 << 20);
  ASSERT_TRUE(got.has_value());
  auto frame = reader_.next_frame();
  ASSERT_FALSE(frame.has_value());
  EXPECT_EQ(frame.error().message(), "Message too large: 16777217 bytes (max: 16777216)");
}

}  // namespace
}  // namespace kavrel
