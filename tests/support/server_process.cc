#include "tests/support/server_process.h"
#include "tests/support/files.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace kavrel::testing {
namespace {

std::vector<char*> to_argv(std::vector<std::string>& strings) {
  std::vector<char*> out;
  for (auto& s : strings) out.push_back(s.data());
  out.push_back(nullptr);
  return out;
}

std::vector<std::string> merged_env(const std::vector<std::string>& extra) {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string entry(*e);
    bool overridden = false;
    for (const auto& x : extra) {
      if (entry.substr(0, entry.find('=') + 1) == x.substr(0, x.find('=') + 1)) overridden = true;
    }
    if (!overridden) env.push_back(entry);
  }
  env.insert(env.end(), extra.begin(), extra.end());
  return env;
}

std::atomic<int> g_counter{0};

int decode_status(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

}  // namespace

ServerProcess::ServerProcess(std::vector<std::string> args, const std::filesystem::path& out_dir,
                             const std::vector<std::string>& env) {
  const int n = g_counter.fetch_add(1);
  out_ = out_dir / ("server" + std::to_string(n) + ".out");
  err_ = out_dir / ("server" + std::to_string(n) + ".err");
  args.insert(args.begin(), KAVREL_SERVER_BIN);
  auto full_env = merged_env(env);
  auto argv = to_argv(args);
  auto envp = to_argv(full_env);
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    const int out = ::open(out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = ::open(err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(out, 1);
    dup2(err, 2);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
}

ServerProcess::~ServerProcess() {
  if (!status_) {
    ::kill(pid_, SIGKILL);
    int st = 0;
    waitpid(pid_, &st, 0);
  }
}

bool ServerProcess::wait_for(const std::filesystem::path& file, const std::string& text,
                             std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (read_file(file).find(text) != std::string::npos) return true;
    if (status_) return false;
    int st = 0;
    if (waitpid(pid_, &st, WNOHANG) == pid_) {
      status_ = decode_status(st);
      return read_file(file).find(text) != std::string::npos;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

bool ServerProcess::wait_for_stdout(const std::string& text, std::chrono::milliseconds timeout) {
  return wait_for(out_, text, timeout);
}
bool ServerProcess::wait_for_stderr(const std::string& text, std::chrono::milliseconds timeout) {
  return wait_for(err_, text, timeout);
}

bool ServerProcess::wait_ready(const std::filesystem::path& socket,
                               std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, socket.c_str(), sizeof(addr.sun_path) - 1);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    ::close(fd);
    if (ok) return true;
    int st = 0;
    if (!status_ && waitpid(pid_, &st, WNOHANG) == pid_) status_ = decode_status(st);
    if (status_) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

void ServerProcess::signal(int signo) { ::kill(pid_, signo); }

std::optional<int> ServerProcess::wait_exit(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!status_) {
    int st = 0;
    if (waitpid(pid_, &st, WNOHANG) == pid_) {
      status_ = decode_status(st);
      break;
    }
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return status_;
}

std::string ServerProcess::stdout_text() const { return read_file(out_); }
std::string ServerProcess::stderr_text() const { return read_file(err_); }

CommandResult run_command(const std::vector<std::string>& argv_in, const std::string& stdin_text,
                          const std::vector<std::string>& env) {
  char tmpl[] = "/tmp/kvcmd.XXXXXX";
  if (mkdtemp(tmpl) == nullptr) throw std::runtime_error("mkdtemp failed");
  const std::filesystem::path dir(tmpl);
  const auto in_path = dir / "in", out_path = dir / "out", err_path = dir / "err";
  {
    std::ofstream in(in_path, std::ios::binary);
    in << stdin_text;
  }
  std::vector<std::string> args = argv_in;
  auto full_env = merged_env(env);
  auto argv = to_argv(args);
  auto envp = to_argv(full_env);
  const pid_t pid = fork();
  if (pid == 0) {
    const int in = ::open(in_path.c_str(), O_RDONLY);
    const int out = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  int st = 0;
  waitpid(pid, &st, 0);
  CommandResult r{decode_status(st), read_file(out_path), read_file(err_path)};
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  return r;
}

}  // namespace kavrel::testing
