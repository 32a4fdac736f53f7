#include "server/ipc_server.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <utility>

#include <fmt/format.h>

#include "core/log.h"
#include "core/text.h"
#include "core/unique_fd.h"

namespace kavrel {
namespace {

constexpr auto kWouldBlockPause = std::chrono::milliseconds(100);

// The socket address of path, or nullopt if it does not fit (at most 107 bytes plus the NUL).
std::optional<sockaddr_un> unix_address(const std::filesystem::path& path) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  const std::string& p = path.native();
  if (p.size() >= sizeof(addr.sun_path)) return std::nullopt;
  std::memcpy(addr.sun_path, p.data(), p.size());
  return addr;
}

}  // namespace

IpcServer::IpcServer(std::filesystem::path socket_path, std::uint64_t max_clients,
                     std::shared_ptr<Database> db, ConnectionLoops::Options options)
    : socket_path_(std::move(socket_path)),
      max_clients_(max_clients),
      db_(std::move(db)),
      stats_(std::make_shared<ServerStats>()),
      options_(options) {}

IpcServer::~IpcServer() { stop(); }

Result<void, IpcError> IpcServer::run() {
  if (running_.exchange(true, std::memory_order_acq_rel)) {
    return std::unexpected(IpcError::already_running());
  }
  auto listener = open_listener();
  if (!listener) {
    // Nothing is being served, so a later run may try again (and stop() has nothing to wake).
    running_.store(false, std::memory_order_release);
    return std::unexpected(std::move(listener.error()));
  }
  UniqueFd fd(*listener);

  // Owner read and write only; a failure leaves the mode the file was created with.
  while (::chmod(socket_path_.c_str(), 0600) != 0) {
    if (errno == EINTR) continue;
    log::stderr_line(
        fmt::format("[IpcServer] WARNING: failed to restrict socket permissions on {}: {}\n",
                    debug_quote(socket_path_.native()), os_error_text(errno)));
    break;
  }
  stats_->set_start_time();
  log::stderr_line(
      fmt::format("[IpcServer] Listening on {}\n", debug_quote(socket_path_.native())));

  loops_ = std::make_unique<ConnectionLoops>(db_, stats_, options_);
  accept_loop(fd.get());
  loops_.reset();  // the loops end with their last connection

  ::unlink(socket_path_.c_str());
  return {};
}

Result<int, IpcError> IpcServer::open_listener() {
  struct stat st {};
  if (::lstat(socket_path_.c_str(), &st) == 0 && ::unlink(socket_path_.c_str()) != 0) {
    return std::unexpected(IpcError::io(errno));
  }
  const auto addr = unix_address(socket_path_);
  if (!addr) return std::unexpected(IpcError::io(ENAMETOOLONG));
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.valid()) return std::unexpected(IpcError::io(errno));
  if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&*addr), sizeof *addr) != 0) {
    return std::unexpected(IpcError::io(errno));
  }
  // -1: the system raises the backlog to its maximum.
  if (::listen(fd.get(), -1) != 0) return std::unexpected(IpcError::io(errno));
  const int flags = ::fcntl(fd.get(), F_GETFL);
  if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
    return std::unexpected(IpcError::io(errno));
  }
  return fd.release();
}

void IpcServer::accept_loop(int listener) {
  while (running_.load(std::memory_order_acquire)) {
    int conn;
    do {
      conn = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    } while (conn < 0 && errno == EINTR);
    if (conn < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        std::this_thread::sleep_for(kWouldBlockPause);
      } else {
        log::stderr_line(fmt::format("[IpcServer] Accept error: {}\n", os_error_text(errno)));
      }
      continue;
    }
    UniqueFd stream(conn);
    // The connection that stop() makes to wake this loop is not a client.
    if (!running_.load(std::memory_order_acquire)) break;
    // Only this thread increments connections_active, so the check and the increment below
    // need not be one atomic step.
    if (stats_->connections_active.load(std::memory_order_relaxed) >= max_clients_) {
      log::stderr_line("[IpcServer] Connection limit reached, rejecting\n");
      continue;  // the stream closes unanswered
    }
    stats_->connection_admitted();
    loops_->adopt(std::move(stream));
  }
}

void IpcServer::stop() {
  if (!running_.exchange(false, std::memory_order_acq_rel)) return;
  const auto addr = unix_address(socket_path_);
  if (!addr) return;
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.valid()) return;
  // Errors are ignored: with the socket file gone nothing is blocked in accept on this path.
  (void)::connect(fd.get(), reinterpret_cast<const sockaddr*>(&*addr), sizeof *addr);
}

}  // namespace kavrel
