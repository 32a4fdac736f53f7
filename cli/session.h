// Runs kavrel-cli's commands against the server over one connection, made on first use, and
// prints their answers for people. A session serves one command (the program's command line) or
// every line of the shell; in the shell it also keeps the transaction handles of begin.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "cli/command_line.h"
#include "cli/commands.h"
#include "cli/credentials.h"
#include "cli/toon.h"
#include "clients/cpp/kavrel_client.h"

namespace kavrel::cli {

struct SessionOptions {
  // Where and how to connect: the Unix socket, or TCP (TLS, a login).
  ConnectOptions connect = [] {
    ConnectOptions c;
    c.socket = kDefaultSocket;
    return c;
  }();
  // Where user add and user passwd take the new password from (cli/credentials.h).
  PasswordSources passwords = PasswordSources::of_process();
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
  // (help, quit, exit: Scope::ShellItself) are not run here.
  int run(const Invocation& inv);

  // Connects now (the shell does so before its first prompt). kExitOk or kExitUnreachable,
  // with the reason printed.
  int connect();

  // The line of the input the next commands come from (1-based), named by every error line;
  // 0 names none.
  void set_line(std::size_t line) { line_ = line; }
  // Writes one error line: "error: ", the line ("line N: ") if set, then text.
  void error_line(std::string_view text);

  // Interrupts the running command, if any, by closing its connection (the server answers
  // requests one at a time and cannot be told to stop one). Safe to call from a signal
  // handler. The command then fails with "error: interrupted ...".
  void interrupt();

  // The open transaction handles, oldest first.
  const std::vector<std::uint64_t>& handles() const { return handles_; }
  // Aborts every open transaction with a warning on the error output (leaving the shell).
  void abort_open_transactions();

  // While a transaction is open, sends a PING whenever the connection has been idle for
  // interval, from a thread of its own, so that the server's idle time-out does not end the
  // shell's connection (and its handles) while a person thinks. Without one, an idle close
  // costs nothing: the next command connects again. Stopped by the destructor.
  void start_keepalive(std::chrono::milliseconds interval);

  // The registered tables' names, for completion; none when the server cannot tell them.
  std::vector<std::string> table_names();

 private:
  // The table of commands names the ones below.
  friend std::span<const Command> commands();

  int run_locked(const Invocation& inv);
  // Makes client_ (with its login); the exit status, with the reason printed on failure.
  int open_client();
  // The server as errors name it: the socket's path quoted, or HOST:PORT.
  std::string target() const;
  int report(const ClientError& e);
  // A Connect error: the server not reached, or reached but not trusted (TLS, the login).
  int connect_failed(const ClientError& e);
  int usage(const std::string& text);
  // Prints the text of a server error as a person should read it, with a hint when it says what
  // to do next.
  int server_error(std::string_view text);
  // "OK" for a request that answers nothing else.
  int ok_or_report(const ClientResult<>& r);
  int print_value(BytesView value, const Invocation& inv);

  // Checks before connecting (commands.h): put's and put-path's VALUE is read into value_.
  int resolve_value_arg(const Invocation& inv);
  int check_register(const Invocation& inv);
  int check_insert(const Invocation& inv);
  // backup: the options that go together; DIR made absolute for the server.
  int check_backup(const Invocation& inv);
  // user: the action, its name and options; the new password of add and passwd, into
  // new_password_.
  int check_user(const Invocation& inv);

  int cmd_ping(const Invocation& inv);
  int cmd_put(const Invocation& inv);
  int cmd_get(const Invocation& inv);
  int cmd_del(const Invocation& inv);
  int cmd_put_path(const Invocation& inv);
  int cmd_get_path(const Invocation& inv);
  int cmd_checkpoint(const Invocation& inv);
  int cmd_compact(const Invocation& inv);
  int cmd_scan(const Invocation& inv);
  int cmd_register(const Invocation& inv);
  int cmd_insert(const Invocation& inv);
  int cmd_tables(const Invocation& inv);
  int cmd_describe(const Invocation& inv);
  int cmd_drop(const Invocation& inv);
  // The schema of a registered table; nullopt when none is registered under the name.
  ClientResult<std::optional<WireSchema>> registered_schema(const std::string& table);
  // Refuses a query of a table of paths that has no keys, or of a column that none of its rows
  // has (answer: the query's answer, if it could be read).
  int check_path_table(const std::string& table, const std::optional<ToonTable>& answer,
                       const std::vector<std::string>& columns);
  int no_such_column(const std::string& table, const std::string& column, bool registered);
  int cmd_query(const Invocation& inv);
  int cmd_stats(const Invocation& inv);
  int cmd_sql(const Invocation& inv);
  // backup DIR asks the server; backup --verify DIR reads the files here (offline).
  int cmd_backup(const Invocation& inv);
  int verify_backup_here(const Invocation& inv);
  int cmd_user(const Invocation& inv);
  int cmd_begin(const Invocation& inv);
  int cmd_commit(const Invocation& inv) { return end_transaction(inv, true); }
  int cmd_abort(const Invocation& inv) { return end_transaction(inv, false); }
  // The handle is over: data commands go on in the latest open one, or alone.
  void forget_handle(std::uint64_t handle);
  int end_transaction(const Invocation& inv, bool commit);

  void keepalive_loop(std::chrono::milliseconds interval);

  SessionOptions opt_;
  std::optional<Bytes> value_;    // the running put's or put-path's VALUE
  std::string backup_dir_;        // the running backup's DIR, absolute
  std::string new_password_;      // the running user add's or passwd's; wiped after it
  std::mutex mu_;                 // held while a command or a keepalive PING uses the client
  std::optional<Client> client_;  // guarded by mu_
  // Why the keepalive PING lost the connection; reported by the next command.
  std::optional<ClientError> lost_;                 // guarded by mu_
  std::vector<std::uint64_t> handles_;              // written under mu_
  std::chrono::steady_clock::time_point last_use_;  // guarded by mu_
  bool stopping_ = false;                           // guarded by mu_
  std::condition_variable stop_cv_;
  std::thread keepalive_;
  std::size_t line_ = 0;
  std::atomic<int> active_fd_{-1};  // the connection of the running command, for interrupt()
  std::atomic<bool> interrupted_{false};
  static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free,
                "interrupt() runs in a signal handler");
};

}  // namespace kavrel::cli
