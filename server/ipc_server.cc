#include "server/ipc_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <utility>

#include <fmt/format.h>

#include "core/log.h"
#include "core/text.h"

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

Result<void, IpcError> set_nonblocking(int fd) {
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
    return std::unexpected(IpcError::io(errno));
  }
  return {};
}

// An address as HOST:PORT ("[::1]:7070" for IPv6).
std::string address_text(const sockaddr* sa) {
  char host[INET6_ADDRSTRLEN] = "?";
  if (sa->sa_family == AF_INET6) {
    const auto* in6 = reinterpret_cast<const sockaddr_in6*>(sa);
    ::inet_ntop(AF_INET6, &in6->sin6_addr, host, sizeof host);
    return fmt::format("[{}]:{}", host, ntohs(in6->sin6_port));
  }
  const auto* in4 = reinterpret_cast<const sockaddr_in*>(sa);
  ::inet_ntop(AF_INET, &in4->sin_addr, host, sizeof host);
  return fmt::format("{}:{}", host, ntohs(in4->sin_port));
}

bool is_loopback(const sockaddr* sa) {
  if (sa->sa_family == AF_INET6) {
    const auto& a = reinterpret_cast<const sockaddr_in6*>(sa)->sin6_addr;
    return IN6_IS_ADDR_LOOPBACK(&a) || (IN6_IS_ADDR_V4MAPPED(&a) && a.s6_addr[12] == 127);
  }
  return (ntohl(reinterpret_cast<const sockaddr_in*>(sa)->sin_addr.s_addr) >> 24) == 127;
}

}  // namespace

Result<std::pair<std::string, std::string>, std::string> split_host_port(std::string_view text) {
  std::string_view host, port;
  if (text.starts_with('[')) {
    const auto close = text.find(']');
    if (close == std::string_view::npos || close + 1 >= text.size() || text[close + 1] != ':') {
      return std::unexpected(fmt::format("expected [HOST]:PORT, got {}", debug_quote(text)));
    }
    host = text.substr(1, close - 1);
    port = text.substr(close + 2);
  } else {
    const auto colon = text.rfind(':');
    if (colon == std::string_view::npos || text.find(':') != colon) {
      return std::unexpected(
          fmt::format("expected HOST:PORT (an IPv6 host in brackets), got {}", debug_quote(text)));
    }
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
  }
  unsigned value = 0;
  const bool digits = !port.empty() && port.size() <= 5 &&
                      port.find_first_not_of("0123456789") == std::string_view::npos;
  if (digits) value = static_cast<unsigned>(std::stoul(std::string(port)));
  if (host.empty() || !digits || value > 65535) {
    return std::unexpected(
        fmt::format("expected HOST:PORT with a port of 0 to 65535, got {}", debug_quote(text)));
  }
  return std::pair{std::string(host), std::string(port)};
}

IpcServer::IpcServer(std::filesystem::path socket_path, std::uint64_t max_clients,
                     std::shared_ptr<Database> db, ConnectionLoops::Options options,
                     ListenOptions tcp)
    : socket_path_(std::move(socket_path)),
      max_clients_(max_clients),
      db_(std::move(db)),
      stats_(std::make_shared<ServerStats>()),
      options_(options),
      tcp_(std::move(tcp)),
      wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

IpcServer::~IpcServer() { stop(); }

Result<void, IpcError> IpcServer::run() {
  if (running_.exchange(true, std::memory_order_acq_rel)) {
    return std::unexpected(IpcError::already_running());
  }
  std::vector<Listener> listeners;
  auto opened = [&]() -> Result<void, IpcError> {
    if (!wake_.valid()) return std::unexpected(IpcError::io_message("no eventfd to stop with"));
    auto unix_fd = open_unix_listener();
    if (!unix_fd) return std::unexpected(std::move(unix_fd.error()));
    listeners.push_back(Listener{std::move(*unix_fd), {}});
    return open_tcp_listeners(listeners);
  }();
  if (!opened) {
    // Nothing is being served, so a later run may try again (and stop() has nothing to wake).
    if (!listeners.empty()) ::unlink(socket_path_.c_str());
    running_.store(false, std::memory_order_release);
    return std::unexpected(std::move(opened.error()));
  }

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
  for (const Listener& l : listeners) {
    if (l.tcp_address.empty()) continue;
    if (tcp_.tls) {
      log::stderr_line(fmt::format("[IpcServer] Listening on {} (TLS)\n", l.tcp_address));
    } else {
      log::stderr_line(fmt::format(
          "[IpcServer] WARNING: listening on {} with plain TCP, without TLS: the traffic, "
          "logins included, can be read on this machine\n",
          l.tcp_address));
    }
  }

  loops_ = std::make_unique<ConnectionLoops>(db_, stats_, options_);
  accept_loop(listeners);
  loops_.reset();  // the loops end with their last connection
  {
    std::scoped_lock lock(ports_mu_);
    ports_.clear();
  }
  ::unlink(socket_path_.c_str());
  return {};
}

Result<UniqueFd, IpcError> IpcServer::open_unix_listener() {
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
  if (auto r = set_nonblocking(fd.get()); !r) return std::unexpected(std::move(r.error()));
  return fd;
}

Result<void, IpcError> IpcServer::open_tcp_listeners(std::vector<Listener>& out) {
  for (const std::string& endpoint : tcp_.listen) {
    auto parts = split_host_port(endpoint);
    if (!parts) return std::unexpected(IpcError::io_message(parts.error()));
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    if (const int rc = ::getaddrinfo(parts->first.c_str(), parts->second.c_str(), &hints, &found);
        rc != 0) {
      return std::unexpected(IpcError::io_message(
          fmt::format("cannot resolve {}: {}", debug_quote(endpoint), ::gai_strerror(rc))));
    }
    std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> owned(found, ::freeaddrinfo);
    for (const addrinfo* ai = found; ai != nullptr; ai = ai->ai_next) {
      const std::string where = address_text(ai->ai_addr);
      if (!tcp_.tls && !is_loopback(ai->ai_addr)) {
        return std::unexpected(IpcError::io_message(fmt::format(
            "plain TCP is served on loopback addresses only, not on {}: give --tls-cert and "
            "--tls-key",
            where)));
      }
      UniqueFd fd(::socket(ai->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
      if (!fd.valid()) return std::unexpected(IpcError::io(errno));
      const int on = 1;
      (void)::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
      // "[::]" listens on IPv6 only, so that "0.0.0.0" can be listened on beside it.
      if (ai->ai_family == AF_INET6) {
        (void)::setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
      }
      if (::bind(fd.get(), ai->ai_addr, ai->ai_addrlen) != 0 || ::listen(fd.get(), -1) != 0) {
        return std::unexpected(IpcError::io_message(
            fmt::format("cannot listen on {}: {}", where, os_error_text(errno))));
      }
      if (auto r = set_nonblocking(fd.get()); !r) return std::unexpected(std::move(r.error()));
      sockaddr_storage bound{};
      socklen_t len = sizeof bound;
      ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&bound), &len);
      out.push_back(Listener{std::move(fd), address_text(reinterpret_cast<sockaddr*>(&bound))});
      std::scoped_lock lock(ports_mu_);
      ports_.push_back(ntohs(reinterpret_cast<const sockaddr_in*>(&bound)->sin_port));
    }
  }
  return {};
}

void IpcServer::accept_loop(std::vector<Listener>& listeners) {
  std::vector<pollfd> polled;
  for (const Listener& l : listeners) polled.push_back(pollfd{l.fd.get(), POLLIN, 0});
  polled.push_back(pollfd{wake_.get(), POLLIN, 0});
  while (running_.load(std::memory_order_acquire)) {
    if (::poll(polled.data(), polled.size(), -1) < 0) {
      if (errno != EINTR) {
        log::stderr_line(fmt::format("[IpcServer] Accept error: {}\n", os_error_text(errno)));
        std::this_thread::sleep_for(kWouldBlockPause);
      }
      continue;
    }
    for (std::size_t i = 0; i < listeners.size(); ++i) {
      if (polled[i].revents != 0) admit(listeners[i]);
    }
  }
  std::uint64_t count;
  (void)!::read(wake_.get(), &count, sizeof count);
}

void IpcServer::admit(const Listener& from) {
  for (;;) {
    // Without blocking: TLS reads and writes the socket itself, and must never wait on it.
    sockaddr_storage address{};
    socklen_t address_len = sizeof address;
    const int conn = ::accept4(from.fd.get(), reinterpret_cast<sockaddr*>(&address), &address_len,
                               SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (conn < 0) {
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) {
        log::stderr_line(fmt::format("[IpcServer] Accept error: {}\n", os_error_text(errno)));
        // Out of descriptors, for one: the pending connection stays queued, so wait a little
        // rather than spin on it.
        std::this_thread::sleep_for(kWouldBlockPause);
      }
      return;
    }
    UniqueFd stream(conn);
    if (!running_.load(std::memory_order_acquire)) return;
    // Only this thread increments connections_active, so the check and the increment below
    // need not be one atomic step.
    if (stats_->connections_active.load(std::memory_order_relaxed) >= max_clients_) {
      log::stderr_line("[IpcServer] Connection limit reached, rejecting\n");
      continue;  // the stream closes unanswered
    }
    std::shared_ptr<SSL_CTX> tls;
    if (!from.tcp_address.empty()) {
      const int on = 1;
      (void)::setsockopt(conn, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
      if (tcp_.tls) tls = tcp_.tls->current();
    }
    Peer peer = peer_of(from, conn, address);
    stats_->connection_admitted();
    loops_->adopt(Accepted{std::move(stream), std::move(tls), std::move(peer)});
  }
}

Peer IpcServer::peer_of(const Listener& from, int fd, const sockaddr_storage& address) const {
  if (!from.tcp_address.empty()) {
    return Peer{true, false, address_text(reinterpret_cast<const sockaddr*>(&address))};
  }
  ucred cred{};
  socklen_t len = sizeof cred;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) {
    return Peer{tcp_.unix_auth, false, "unix"};
  }
  const bool local_admin = cred.uid == ::geteuid() || cred.uid == 0;
  return Peer{tcp_.unix_auth, local_admin, fmt::format("unix (uid {})", cred.uid)};
}

std::vector<std::uint16_t> IpcServer::tcp_ports() const {
  std::scoped_lock lock(ports_mu_);
  return ports_;
}

void IpcServer::stop() {
  if (!running_.exchange(false, std::memory_order_acq_rel)) return;
  const std::uint64_t one = 1;
  (void)!::write(wake_.get(), &one, sizeof one);
}

}  // namespace kavrel
