#include "server/interrupt.h"

#include <pthread.h>
#include <semaphore.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <thread>

#include "core/error.h"
#include "core/log.h"

namespace kavrel::server {
namespace {
sem_t g_interrupt;
constexpr int kShutdownSignals[] = {SIGINT, SIGTERM};

void on_shutdown_signal(int /*signo*/) {
  const int saved = errno;
  sem_post(&g_interrupt);  // async-signal-safe
  errno = saved;
}
sem_t g_reload;

void on_reload_signal(int /*signo*/) {
  const int saved = errno;
  sem_post(&g_reload);  // async-signal-safe
  errno = saved;
}
}  // namespace

std::string install_reload_handler(std::function<void()> reload) {
  if (sem_init(&g_reload, 0, 0) != 0) return os_error_text(errno);
  try {
    std::thread([reload = std::move(reload)] {
      pthread_setname_np(pthread_self(), "reload");
      for (;;) {
        if (sem_wait(&g_reload) == 0) reload();
      }
    }).detach();
  } catch (const std::system_error& e) {
    return e.what();
  }
  struct sigaction sa {};
  sa.sa_handler = on_reload_signal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  if (sigaction(SIGHUP, &sa, nullptr) != 0) return os_error_text(errno);
  return {};
}

std::string install_interrupt_handler(std::filesystem::path socket_path) {
  if (sem_init(&g_interrupt, 0, 0) != 0) return os_error_text(errno);
  struct sigaction sa {};
  sa.sa_handler = on_shutdown_signal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  // SIGTERM is what service managers send to stop a service; it ends the server as Ctrl-C does.
  for (const int signo : kShutdownSignals) {
    if (sigaction(signo, &sa, nullptr) != 0) return os_error_text(errno);
  }
  try {
    std::thread([path = std::move(socket_path)] {
      pthread_setname_np(pthread_self(), "ctrl-c");
      while (sem_wait(&g_interrupt) != 0) {
      }
      log::info("kavrel_server", "Received shutdown signal, cleaning up...");
      std::error_code ec;
      if (std::filesystem::exists(std::filesystem::symlink_status(path, ec))) {
        std::filesystem::remove(path, ec);
      }
      ::_exit(0);
    }).detach();
  } catch (const std::system_error& e) {
    return e.what();
  }
  // Every other thread (this one and the threads serving connections that it starts) blocks the
  // shutdown signals, so they are taken by the "ctrl-c" thread, which waits in sem_wait: some
  // runtimes (the thread sanitizer's among them) defer a handler until its thread returns from a
  // blocking call.
  sigset_t set;
  sigemptyset(&set);
  for (const int signo : kShutdownSignals) sigaddset(&set, signo);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  return {};
}

}  // namespace kavrel::server
