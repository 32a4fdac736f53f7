// FrameReader over a socket pair: payload buffers that follow the bytes received.
#include "ipc/frame_reader.h"

#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>

#include <gtest/gtest.h>

namespace kavrel {
namespace {

constexpr std::size_t kMiB = 1024 * 1024;

class FrameReaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    reader_.emplace(UniqueFd(fds[0]));
    peer_ = UniqueFd(fds[1]);
  }
  void send_all(const Bytes& data) {
    std::size_t sent = 0;
    while (sent < data.size()) {
      const ssize_t n = ::send(peer_.get(), data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
      ASSERT_GT(n, 0);
      sent += static_cast<std::size_t>(n);
    }
  }

  std::optional<FrameReader> reader_;
  UniqueFd peer_;
};

Bytes pattern(std::size_t n) {
  Bytes out(n, '\0');
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<char>((i * 131 + i / 251) & 0xff);
  return out;
}

TEST_F(FrameReaderTest, DeclaredLengthIsNotAllocatedBeforeTheBytesArrive) {
  send_all(Bytes(1000, 'x'));
  peer_ = UniqueFd();  // the peer goes away after 1000 of the 16 MiB it announced
  Bytes payload;
  auto r = reader_->read_payload(payload, 16 * kMiB);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().message(), "I/O error: failed to fill whole buffer");
  EXPECT_LE(payload.capacity(), 2 * kPayloadFirstStep);
}

TEST_F(FrameReaderTest, BufferStaysWithinTwiceTheBytesReceived) {
  const std::size_t sent = 3 * kMiB + 17;
  const Bytes data = pattern(sent);
  std::thread writer([&] {
    send_all(data);
    peer_ = UniqueFd();
  });
  Bytes payload;
  auto r = reader_->read_payload(payload, 16 * kMiB);
  writer.join();
  ASSERT_FALSE(r.has_value());
  EXPECT_LE(payload.size(), sent);
  EXPECT_EQ(payload, data.substr(0, payload.size())) << "the steps read keep the bytes in order";
  EXPECT_LE(payload.capacity(), 2 * sent + kPayloadFirstStep);
}

TEST_F(FrameReaderTest, PayloadsOfEverySizeArriveWhole) {
  // Sizes around the reader's buffer and the payload steps, each followed by the next frame's
  // opcode to check that no byte is taken from it.
  const std::size_t sizes[] = {0,
                               1,
                               kConnectionBufferSize - 1,
                               kConnectionBufferSize,
                               kConnectionBufferSize + 1,
                               kPayloadFirstStep,
                               kPayloadFirstStep + 1,
                               5 * kPayloadFirstStep + 3,
                               16 * kMiB};
  for (const std::size_t size : sizes) {
    SCOPED_TRACE(size);
    const Bytes data = pattern(size);
    std::thread writer([&] { send_all(data + "\x0e"); });
    Bytes payload = "left over from an earlier request";
    auto r = reader_->read_payload(payload, size);
    writer.join();
    ASSERT_TRUE(r.has_value()) << r.error().message();
    EXPECT_EQ(payload, data);
    auto next = reader_->read_opcode();
    ASSERT_TRUE(next.has_value());
    EXPECT_EQ(*next, std::optional<std::uint8_t>(0x0e));
  }
}

}  // namespace
}  // namespace kavrel
