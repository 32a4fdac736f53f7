// Memory the server holds for connections that announce a large request and then send little of
// it: the server's resident set while idle, then with N connections that each sent one request
// header declaring a 16 MiB payload followed by a few payload bytes, and never the rest.
// A connection's payload buffer grows with the bytes received, so the growth should stay far
// below N x 16 MiB.
//
//   connection_memory_report [--server PATH] [--connections N] [--sent BYTES]
//
// Starts the server (by default the kavrel-server of this build) on a temporary directory,
// measures, and ends it with SIGTERM.
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>

#include "core/bytes.h"
#include "core/unique_fd.h"
#include "protocol/wire.h"

namespace {

using namespace kavrel;
namespace fs = std::filesystem;

constexpr std::uint64_t kMiB = 1024 * 1024;

// The resident set of a process in bytes (VmRSS), or 0 if it cannot be read.
std::uint64_t rss_of(pid_t pid) {
  std::ifstream status(fmt::format("/proc/{}/status", pid));
  std::string line;
  while (std::getline(status, line)) {
    if (line.starts_with("VmRSS:")) return std::strtoull(line.c_str() + 6, nullptr, 10) * 1024;
  }
  return 0;
}

UniqueFd connect_to(const fs::path& socket_path) {
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, socket_path.c_str(), sizeof addr.sun_path - 1);
  if (!fd.valid() ||
      ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    return UniqueFd();
  }
  return fd;
}

bool send_all(int fd, BytesView data) {
  while (!data.empty()) {
    const ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
    if (n <= 0) return false;
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

// The highest resident set seen over a second: the server reads the bytes on its own threads.
std::uint64_t settled_rss(pid_t pid) {
  std::uint64_t most = 0;
  for (int i = 0; i < 10; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    most = std::max(most, rss_of(pid));
  }
  return most;
}

struct Options {
  fs::path server = KAVREL_SERVER_BIN;
  int connections = 100;
  std::size_t sent = 16;
};

Options parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string flag = argv[i];
    if (flag == "--server") {
      o.server = argv[i + 1];
    } else if (flag == "--connections") {
      o.connections = std::atoi(argv[i + 1]);
    } else if (flag == "--sent") {
      o.sent = std::strtoull(argv[i + 1], nullptr, 10);
    } else {
      std::fprintf(stderr, "unknown option %s\n", flag.c_str());
      std::exit(2);
    }
  }
  return o;
}

}  // namespace

int main(int argc, char** argv) {
  const Options o = parse(argc, argv);
  char dir_template[] = "/tmp/kavrel-connmem.XXXXXX";
  if (::mkdtemp(dir_template) == nullptr) return 1;
  const fs::path dir = dir_template;
  const fs::path socket_path = dir / "db" / "kavrel.sock";

  const pid_t server = ::fork();
  if (server == 0) {
    const std::string db = (dir / "db").string();
    const std::string max_clients = std::to_string(o.connections + 10);
    std::freopen("/dev/null", "w", stdout);
    std::freopen((dir / "server.err").c_str(), "w", stderr);
    ::execl(o.server.c_str(), o.server.c_str(), "--db", db.c_str(), "--max-clients",
            max_clients.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  bool ready = false;
  for (int i = 0; i < 200 && !ready; ++i) {
    ready = connect_to(socket_path).valid();
    if (!ready) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  int status = 1;
  if (ready) {
    const std::uint64_t idle = settled_rss(server);
    Bytes request;
    put_u8(request, opcode::PUT);
    put_u32(request, static_cast<std::uint32_t>(MAX_MESSAGE_SIZE));
    request.append(o.sent, 'x');
    std::vector<UniqueFd> held;
    for (int i = 0; i < o.connections; ++i) {
      UniqueFd fd = connect_to(socket_path);
      if (!fd.valid() || !send_all(fd.get(), request)) {
        std::fprintf(stderr, "connection %d failed\n", i);
        break;
      }
      held.push_back(std::move(fd));
    }
    const std::uint64_t loaded = settled_rss(server);
    const auto growth = static_cast<std::int64_t>(loaded) - static_cast<std::int64_t>(idle);
    std::printf("server RSS idle:                 %8.1f MiB\n", idle / double(kMiB));
    std::printf("with %3zu connections (%zu B sent of a declared %llu MiB each): %8.1f MiB\n",
                held.size(), o.sent, static_cast<unsigned long long>(MAX_MESSAGE_SIZE / kMiB),
                loaded / double(kMiB));
    std::printf("growth:                          %8.1f MiB (%.1f KiB a connection)\n",
                growth / double(kMiB),
                held.empty() ? 0.0 : growth / 1024.0 / static_cast<double>(held.size()));
    std::printf("within 32 MiB of idle:           %s\n", growth <= 32 * 1024 * 1024 ? "yes" : "no");
    status = 0;
  } else {
    std::fprintf(stderr, "the server did not start (see %s)\n", (dir / "server.err").c_str());
  }
  ::kill(server, SIGTERM);
  ::waitpid(server, nullptr, 0);
  std::error_code ec;
  fs::remove_all(dir, ec);
  return status;
}
