// A database on a small file system that fills up while clients write: writes are refused while
// the disk is full and accepted again once space is free, without a restart, and everything
// acknowledged survives the next start. Needs a tmpfs mount (root); skipped elsewhere.
#include <signal.h>
#include <sys/mount.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include <gtest/gtest.h>

#include "clients/cpp/kavrel_client.h"
#include "tests/support/server_process.h"
#include "tests/support/temp_dir.h"

namespace kavrel::testing {
namespace {

namespace fs = std::filesystem;

class SmallDisk {
 public:
  explicit SmallDisk(const fs::path& at) : at_(at) {
    fs::create_directories(at_);
    mounted_ = ::mount("tmpfs", at_.c_str(), "tmpfs", 0, "size=4m") == 0;
  }
  ~SmallDisk() {
    if (mounted_) ::umount2(at_.c_str(), MNT_DETACH);
  }
  bool mounted() const { return mounted_; }

 private:
  fs::path at_;
  bool mounted_ = false;
};

TEST(DiskFullE2eTest, WritesResumeOnceSpaceIsFreeWithoutARestart) {
  TempDir tmp;
  SmallDisk disk(tmp / "disk");
  if (!disk.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);
  const fs::path db = tmp / "disk" / "db";
  const fs::path ballast = tmp / "disk" / "ballast";
  const fs::path socket = tmp / "kavrel.sock";
  ServerProcess server({"--db", db.string(), "--socket", socket.string()}, tmp.path());
  ASSERT_TRUE(server.wait_ready(socket)) << server.stdout_text();
  auto c = Client::connect(socket);
  ASSERT_TRUE(c.has_value());
  { std::ofstream(ballast, std::ios::binary) << std::string(2 << 20, 'b'); }

  std::map<std::string, std::string> acked;
  const std::string value(16 * 1024, 'v');
  int refused = 0;
  for (int i = 0; i < 400 && refused < 5; ++i) {
    const std::string key = "full/" + std::to_string(i);
    auto r = c->put(key, value);
    if (r) {
      acked[key] = value;
    } else {
      EXPECT_NE(r.error().message().find("No space left on device"), std::string::npos)
          << r.error().message();
      ++refused;
    }
  }
  ASSERT_EQ(refused, 5) << "the disk never filled";
  ASSERT_FALSE(acked.empty());

  fs::remove(ballast);  // space is free again
  for (int i = 0; i < 60; ++i) {
    const std::string key = "after/" + std::to_string(i);
    auto r = c->put(key, "a");
    ASSERT_TRUE(r.has_value()) << key << ": " << r.error().message();
    acked[key] = "a";
  }
  server.signal(SIGKILL);
  ASSERT_EQ(server.wait_exit(), 128 + SIGKILL);

  ServerProcess again({"--db", db.string(), "--socket", socket.string()}, tmp.path());
  ASSERT_TRUE(again.wait_ready(socket)) << again.stdout_text();
  auto c2 = Client::connect(socket);
  ASSERT_TRUE(c2.has_value());
  for (const auto& [key, v] : acked) {
    auto got = c2->get(key);
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(got->size(), v.size()) << key;
  }
  again.signal(SIGINT);
  EXPECT_EQ(again.wait_exit(), 0);
}

}  // namespace
}  // namespace kavrel::testing
