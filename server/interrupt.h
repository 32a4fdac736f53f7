// SIGINT and SIGTERM handling: the handler only posts a semaphore; a thread named "ctrl-c" waits
// on it, logs, deletes the socket file and ends the process with status 0. Nothing else is
// released: every acknowledged commit is already durable, and the next start replays the log.
#pragma once

#include <filesystem>
#include <string>

namespace kavrel::server {

// Installs the handler and starts the thread. Returns an error text on failure.
std::string install_interrupt_handler(std::filesystem::path socket_path);

}  // namespace kavrel::server
