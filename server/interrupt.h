// SIGINT and SIGTERM handling, and SIGHUP for a reload: the handler only posts a semaphore; a
// thread named "ctrl-c" waits on it, logs, deletes the socket file and ends the process with status
// 0. Nothing else is released: every acknowledged commit is already durable, and the next start
// replays the log.
#pragma once

#include <filesystem>
#include <functional>
#include <string>

namespace kavrel::server {

// Installs the handler and starts the thread. Returns an error text on failure.
std::string install_interrupt_handler(std::filesystem::path socket_path);

// SIGHUP, the signal service managers send for "reload": the handler posts a semaphore and a
// thread named "reload" calls `reload` for each signal. Without this SIGHUP ends the process.
// Call before install_interrupt_handler (which blocks signals in the calling thread). Returns an
// error text on failure.
std::string install_reload_handler(std::function<void()> reload);

}  // namespace kavrel::server
