// Runs the real kavrel-server binary as a child process for end-to-end tests: its standard
// output and error go to files that the test can read; signals end it.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace kavrel::testing {

class ServerProcess {
 public:
  // Starts kavrel-server with the arguments (the binary name is added) and the extra
  // environment entries ("NAME=value"). Output files live in out_dir.
  ServerProcess(std::vector<std::string> args, const std::filesystem::path& out_dir,
                const std::vector<std::string>& env = {"NO_COLOR=1"});
  ~ServerProcess();  // SIGKILLs the child if it still runs
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  pid_t pid() const { return pid_; }
  // Waits until the standard output contains text; false after the timeout or if the process
  // ended first.
  bool wait_for_stdout(const std::string& text,
                       std::chrono::milliseconds timeout = std::chrono::seconds(20));
  bool wait_for_stderr(const std::string& text,
                       std::chrono::milliseconds timeout = std::chrono::seconds(20));
  // Waits until the socket accepts a connection.
  bool wait_ready(const std::filesystem::path& socket,
                  std::chrono::milliseconds timeout = std::chrono::seconds(20));
  void signal(int signo);
  // Waits for the process to end and returns its exit status (128 + signal when killed), or
  // nullopt after the timeout.
  std::optional<int> wait_exit(std::chrono::milliseconds timeout = std::chrono::seconds(20));
  std::string stdout_text() const;
  std::string stderr_text() const;

 private:
  bool wait_for(const std::filesystem::path& file, const std::string& text,
                std::chrono::milliseconds timeout);
  pid_t pid_ = -1;
  std::optional<int> status_;
  std::filesystem::path out_, err_;
};

// Runs a command to completion, capturing standard output and error, with optional standard
// input. Returns the exit status.
struct CommandResult {
  int status = -1;
  std::string out;
  std::string err;
};
CommandResult run_command(const std::vector<std::string>& argv, const std::string& stdin_text = {},
                          const std::vector<std::string>& env = {"NO_COLOR=1"});

}  // namespace kavrel::testing
