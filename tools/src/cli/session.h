// Runs kavrel-cli's commands against the server over one connection, made on first use, and
// prints their answers for people. A session serves one command (the program's command line) or
// every line of the shell; in the shell it also keeps the transaction handles of begin.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "client/kavrel_client.h"
#include "tools/src/cli/command_line.h"

namespace kavrel::cli {

struct SessionOptions {
  std::string socket = kDefaultSocket;
  bool in_shell = false;
  bool stdout_tty = false;  // values that are not plain text are escaped on a terminal
  std::FILE* out = stdout;
  std::FILE* err = stderr;
  std::FILE* in = stdin;  // the source of "-" values (one-shot commands only)
};

class Session {
 public:
  explicit Session(SessionOptions options);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Runs one command and returns its exit status (command_line.h). The shell's own commands
  // (help, quit, exit) are not run here.
  int run(const Invocation& inv);

  // Connects now (the shell does so before its first prompt). kExitOk or kExitUnreachable,
  // with the reason printed.
  int connect();

  // The open transaction handles, oldest first.
  const std::vector<std::uint64_t>& handles() const { return handles_; }

  // Sends a PING whenever the connection has been idle for interval, from a thread of its own,
  // so that the server's idle time-out does not end the shell's connection (and its handles)
  // while a person thinks. Stopped by the destructor.
  void start_keepalive(std::chrono::milliseconds interval);

 private:
  int run_locked(const Invocation& inv);
  int report(const ClientError& e);
  int usage(const std::string& text);
  void print_value(BytesView value, bool hex);

  int cmd_scan(const Invocation& inv);
  int cmd_register(const Invocation& inv);
  int cmd_query(const Invocation& inv);
  int cmd_stats(const Invocation& inv);
  int cmd_sql(const Invocation& inv);
  int cmd_begin();
  int cmd_end(const Invocation& inv, bool commit);

  void keepalive_loop(std::chrono::milliseconds interval);

  SessionOptions opt_;
  std::mutex mu_;                 // held while a command or a keepalive PING uses the client
  std::optional<Client> client_;  // guarded by mu_
  // Why the keepalive PING lost the connection; reported by the next command.
  std::optional<ClientError> lost_;  // guarded by mu_
  std::vector<std::uint64_t> handles_;
  std::chrono::steady_clock::time_point last_use_;  // guarded by mu_
  bool stopping_ = false;                           // guarded by mu_
  std::condition_variable stop_cv_;
  std::thread keepalive_;
};

}  // namespace kavrel::cli
