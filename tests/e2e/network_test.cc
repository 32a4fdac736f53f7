// kavrel-cli against the real kavrel-server over TCP with TLS: the first admin made on the Unix
// socket, then logins (the password from KAVREL_PASSWORD, ~/.kavrelpass or a prompt on a
// terminal), roles and prefixes, the user commands, and the connections refused. No password
// may show in any output, the server's log included.
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/server_process.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_certs.h"

#ifndef KAVREL_CLI_BIN
#error "KAVREL_CLI_BIN must name the kavrel-cli binary"
#endif

extern char** environ;

namespace kavrel::testing {
namespace {

const std::vector<std::string> kSecrets = {"admin-secret",  "reader-secret", "reader-secret-2",
                                           "writer-secret", "wrong-secret",  "typed-secret"};

// kavrel-cli under a terminal (a pty): what it writes, and keys typed to it.
class Terminal {
 public:
  Terminal(const std::vector<std::string>& args, const std::vector<std::string>& env) {
    std::vector<std::string> argv_text = {KAVREL_CLI_BIN};
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    // The process's environment with env's entries in place of those of the same names.
    std::vector<std::string> env_text = env;
    for (char** e = environ; *e != nullptr; ++e) {
      const std::string entry(*e);
      const std::string name = entry.substr(0, entry.find('='));
      bool overridden = false;
      for (const std::string& o : env) overridden = overridden || o.starts_with(name + "=");
      if (!overridden) env_text.push_back(entry);
    }
    std::vector<char*> argv, envp;
    for (auto& a : argv_text) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (auto& e : env_text) envp.push_back(e.data());
    envp.push_back(nullptr);
    pid_ = ::forkpty(&master_, nullptr, nullptr, nullptr);
    if (pid_ == 0) {
      ::execve(argv[0], argv.data(), envp.data());
      ::_exit(127);
    }
  }
  ~Terminal() {
    if (pid_ > 0 && !status_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (master_ >= 0) ::close(master_);
  }
  Terminal(const Terminal&) = delete;
  Terminal& operator=(const Terminal&) = delete;

  void type(const std::string& keys) {
    ASSERT_EQ(::write(master_, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
  }
  // Reads until the output holds text (at most 20 s); returns everything read so far.
  const std::string& read_until(const std::string& text) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (seen_.find(text) == std::string::npos && std::chrono::steady_clock::now() < deadline) {
      pollfd p{master_, POLLIN, 0};
      if (::poll(&p, 1, 100) <= 0) continue;
      char buf[4096];
      const ssize_t n = ::read(master_, buf, sizeof buf);
      if (n <= 0) break;
      seen_.append(buf, static_cast<std::size_t>(n));
    }
    return seen_;
  }
  std::optional<int> wait_exit() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!status_ && std::chrono::steady_clock::now() < deadline) {
      read_until("\x01never");  // drains the output for 100 ms at a time
      int st = 0;
      if (::waitpid(pid_, &st, WNOHANG) == pid_) status_ = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    }
    return status_;
  }

 private:
  pid_t pid_ = -1;
  int master_ = -1;
  std::string seen_;
  std::optional<int> status_;
};

class NetworkCliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(tmp_ / "certs");
    std::filesystem::create_directories(home_);
    certs_ = make_test_certs(tmp_ / "certs");
    server_ = std::make_unique<ServerProcess>(
        std::vector<std::string>{"--db", (tmp_ / "db").string(), "--listen", "127.0.0.1:0",
                                 "--tls-cert", certs_.server_cert.string(), "--tls-key",
                                 certs_.server_key.string()},
        tmp_.path());
    ASSERT_TRUE(server_->wait_for_stderr(" (TLS)\n")) << server_->stderr_text();
    std::smatch m;
    const std::string log = server_->stderr_text();
    ASSERT_TRUE(std::regex_search(
        log, m, std::regex(R"(\[IpcServer\] Listening on 127\.0\.0\.1:(\d+) \(TLS\))")))
        << log;
    port_ = m[1];
    // The first admin, on the Unix socket, by the server's own OS user: no login there.
    expect_ok(cli({"-s", socket_.string(), "user", "add", "admin", "--role", "admin"},
                  {"KAVREL_PASSWORD=admin-secret"}),
              "OK\n");
  }
  void TearDown() override {
    for (const std::string& secret : kSecrets) {
      EXPECT_EQ(outputs_.find(secret), std::string::npos) << secret << " in " << outputs_;
      EXPECT_EQ(server_->stderr_text().find(secret), std::string::npos) << secret;
      EXPECT_EQ(server_->stdout_text().find(secret), std::string::npos) << secret;
    }
  }

  // kavrel-cli args with HOME in the test's directory, no password variables but those of env,
  // and stdin_text on standard input (never a terminal).
  CommandResult cli(const std::vector<std::string>& args, const std::vector<std::string>& env = {},
                    const std::string& stdin_text = {}) {
    std::vector<std::string> argv = {KAVREL_CLI_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    // env's entries in place of these of the same names.
    std::vector<std::string> full_env = env;
    const std::vector<std::string> defaults = {"NO_COLOR=1", "HOME=" + home_.string(),
                                               "KAVREL_PASSWORD=", "KAVREL_NEW_PASSWORD="};
    for (const std::string& entry : defaults) {
      const std::string name = entry.substr(0, entry.find('=') + 1);
      bool given = false;
      for (const std::string& e : env) given = given || e.starts_with(name);
      if (!given) full_env.push_back(entry);
    }
    CommandResult r = run_command(argv, stdin_text, full_env);
    outputs_ += r.out + r.err;
    return r;
  }
  // The options of a TLS connection to the server as user.
  std::vector<std::string> over_tls(const std::string& user,
                                    std::vector<std::string> command) const {
    std::vector<std::string> args = {
        "-h", "127.0.0.1", "-p", port_, "--ca", certs_.ca_cert.string(), "--user", user};
    args.insert(args.end(), command.begin(), command.end());
    return args;
  }
  // Runs as user with password (KAVREL_PASSWORD) and, for user add and passwd, new_password.
  CommandResult as(const std::string& user, const std::string& password,
                   std::vector<std::string> command, const std::string& new_password = {}) {
    std::vector<std::string> env = {"KAVREL_PASSWORD=" + password};
    if (!new_password.empty()) env.push_back("KAVREL_NEW_PASSWORD=" + new_password);
    return cli(over_tls(user, std::move(command)), env);
  }
  static void expect_ok(const CommandResult& r, const std::string& out) {
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, out);
  }
  static void expect_error(const CommandResult& r, int status, const std::string& err) {
    EXPECT_EQ(r.status, status) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, err);
  }
  std::string address() const { return "127.0.0.1:" + port_; }

  TempDir tmp_;
  std::filesystem::path home_ = tmp_ / "home";
  std::filesystem::path socket_ = tmp_ / "db" / "kavrel.sock";
  TestCerts certs_;
  std::unique_ptr<ServerProcess> server_;
  std::string port_;
  std::string outputs_;  // everything every kavrel-cli run printed
};

TEST_F(NetworkCliTest, UsersLogInOverTlsAndAreHeldToTheirRoles) {
  expect_ok(as("admin", "admin-secret", {"put", "greeting", "hello"}), "OK\n");
  // The name form of the address, with the port in it.
  expect_ok(cli({"-h", "localhost:" + port_, "--ca", certs_.ca_cert.string(), "--user", "admin",
                 "get", "greeting"},
                {"KAVREL_PASSWORD=admin-secret"}),
            "hello\n");
  // The shell logs in once and runs every line on its connection.
  const CommandResult shell = cli(over_tls("admin", {}), {"KAVREL_PASSWORD=admin-secret"},
                                  "begin\nput a 1\ncommit\nget a\n");
  EXPECT_EQ(shell.status, 0) << shell.err;
  EXPECT_TRUE(std::regex_match(
      shell.out, std::regex("handle 1\nOK\ncommitted handle 1 at timestamp \\d+\n1\n")))
      << shell.out;

  expect_ok(
      as("admin", "admin-secret", {"user", "add", "reader", "--role", "read"}, "reader-secret"),
      "OK\n");
  expect_ok(as("admin", "admin-secret",
               {"user", "add", "writer", "--role", "write", "--prefix", "app1/"}, "writer-secret"),
            "OK\n");
  expect_error(
      as("admin", "admin-secret", {"user", "add", "reader", "--role", "write"}, "other"), 1,
      "error: User already exists: reader\nhint: 'kavrel-cli user passwd NAME' gives an existing "
      "user a new password\n");
  expect_ok(as("admin", "admin-secret", {"user", "list"}),
            "user   | role  | prefix\n"
            "-------+-------+-------\n"
            "admin  | admin | \n"
            "reader | read  | \n"
            "writer | write | app1/\n"
            "(3 users)\n");

  struct Case {
    const char* name;
    std::string user, password;
    std::vector<std::string> command;
    int status;
    std::string out, err;
  };
  const std::string denied_hint =
      "hint: nothing was done; 'kavrel-cli user list' (as an admin) shows each user's role and "
      "key prefix\n";
  const std::vector<Case> cases = {
      {"a reader reads", "reader", "reader-secret", {"get", "greeting"}, 0, "hello\n", ""},
      {"a reader may not write",
       "reader",
       "reader-secret",
       {"put", "greeting", "changed"},
       1,
       "",
       "error: Permission denied: PUT needs the write role (user \"reader\" has read)\n" +
           denied_hint},
      {"a reader may not manage users",
       "reader",
       "reader-secret",
       {"user", "list"},
       1,
       "",
       "error: Permission denied: USERS needs the admin role (user \"reader\" has read)\n" +
           denied_hint},
      {"a writer writes in its prefix",
       "writer",
       "writer-secret",
       {"put", "app1/x", "1"},
       0,
       "OK\n",
       ""},
      {"a writer outside its prefix",
       "writer",
       "writer-secret",
       {"put", "greeting", "changed"},
       1,
       "",
       "error: Permission denied: key \"greeting\" is outside the prefix \"app1/\" of user "
       "\"writer\"\n" +
           denied_hint},
      {"a wrong password",
       "reader",
       "wrong-secret",
       {"get", "greeting"},
       1,
       "",
       "error: Authentication failed\nhint: check the user name and the password\n"},
      {"an unknown user",
       "nobody",
       "reader-secret",
       {"get", "greeting"},
       1,
       "",
       "error: Authentication failed\nhint: check the user name and the password\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const CommandResult r = as(c.user, c.password, c.command);
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, c.err);
  }
  expect_ok(as("reader", "reader-secret", {"get", "greeting"}), "hello\n");  // unchanged

  // A new password: the old one no longer logs in.
  expect_ok(as("admin", "admin-secret", {"user", "passwd", "reader"}, "reader-secret-2"), "OK\n");
  EXPECT_EQ(as("reader", "reader-secret", {"ping"}).err,
            "error: Authentication failed\nhint: check the user name and the password\n");
  expect_ok(as("reader", "reader-secret-2", {"ping"}), "PONG\n");
  // A user deleted can no longer log in, and is not there to delete again.
  expect_ok(as("admin", "admin-secret", {"user", "del", "reader"}), "OK\n");
  EXPECT_EQ(as("reader", "reader-secret-2", {"ping"}).status, 1);
  expect_error(as("admin", "admin-secret", {"user", "del", "reader"}), 1,
               "error: User not found: reader\nhint: 'kavrel-cli user list' lists the users\n");
}

// Connections that cannot be made, or not trusted, and passwords that are not there.
TEST_F(NetworkCliTest, RefusedConnectionsSayWhy) {
  std::filesystem::create_directories(tmp_ / "other");
  const TestCerts other = make_test_certs(tmp_ / "other");
  const std::string pw = "KAVREL_PASSWORD=admin-secret";
  const std::string unverified =
      "error: cannot connect to the server at " + address() +
      ": TLS handshake failed: the server's certificate does not verify for 127.0.0.1: ";
  struct Case {
    const char* name;
    std::vector<std::string> args, env;
    int status;
    std::string err;  // the error output starts with it
  };
  const std::vector<Case> cases = {
      {"no login",
       {"-h", "127.0.0.1", "-p", port_, "--ca", certs_.ca_cert.string(), "ping"},
       {},
       1,
       "error: Authentication required\nhint: the server asks for a login: give --user NAME (the "
       "password from a prompt, KAVREL_PASSWORD or ~/.kavrelpass)\n"},
      {"a CA that did not sign the server's certificate",
       {"-h", "127.0.0.1", "-p", port_, "--ca", other.ca_cert.string(), "--user", "admin", "ping"},
       {pw},
       3,
       unverified},
      {"plain TCP to the TLS port",
       {"-h", "127.0.0.1", "-p", port_, "--user", "admin", "ping"},
       {pw},
       3,
       "error: lost the connection to the server at " + address() + ": "},  // closed or reset
      {"a port nobody listens on",
       {"-h", "127.0.0.1", "-p", "1", "--tls", "--user", "admin", "ping"},
       {pw},
       3,
       "error: cannot reach the server at 127.0.0.1:1: Connection refused (os error 111) (is "
       "kavrel-server running, with --listen on that address?)\n"},
      {"a CA file that is not there",
       {"-h", "127.0.0.1", "-p", port_, "--ca", (tmp_ / "none.pem").string(), "--user", "admin",
        "ping"},
       {pw},
       2,
       "error: cannot read the CA file \"" + (tmp_ / "none.pem").string() +
           "\": No such file or directory (os error 2)\n"},
      {"no password anywhere",
       {"-h", "127.0.0.1", "-p", port_, "--ca", certs_.ca_cert.string(), "--user", "admin", "ping"},
       {},
       2,
       "error: no password for user \"admin\": set KAVREL_PASSWORD, add a line for it to "
       "~/.kavrelpass, or run on a terminal to be asked\n"},
      {"a new user's password from nowhere",
       {"-h", "127.0.0.1", "-p", port_, "--ca", certs_.ca_cert.string(), "--user", "admin", "user",
        "add", "x", "--role", "read"},
       {pw},
       2,
       "error: no new password for user \"x\": set KAVREL_NEW_PASSWORD, or run on a terminal to "
       "be asked\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const CommandResult r = cli(c.args, c.env);
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(r.err.starts_with(c.err)) << r.err;
  }
  EXPECT_TRUE(cli(cases[2].args, cases[2].env)
                  .err.ends_with("\nhint: if the server serves TLS there, add --tls (and --ca "
                                 "FILE)\n"));
}

TEST_F(NetworkCliTest, PasswordsFromAPrivateKavrelpassFile) {
  const auto file = home_ / ".kavrelpass";
  std::ofstream(file) << "# kavrel servers\n"
                      << "db.example.com:*:admin:not-this-one\n"
                      << "127.0.0.1:" << port_ << ":admin:admin-secret\n";
  const auto ping = [&] { return cli(over_tls("admin", {"ping"})); };
  ASSERT_EQ(::chmod(file.c_str(), 0644), 0);
  expect_error(ping(), 2,
               "error: \"" + file.string() +
                   "\" may be read or written by others (mode 0644): its passwords are not used; "
                   "make it private with: chmod 600 " +
                   file.string() + "\n");
  ASSERT_EQ(::chmod(file.c_str(), 0600), 0);
  expect_ok(ping(), "PONG\n");
  // Wildcards; KAVREL_PASSWORD comes before the file.
  std::ofstream(file) << "*:*:admin:admin-secret\n";
  expect_ok(ping(), "PONG\n");
  EXPECT_EQ(cli(over_tls("admin", {"ping"}), {"KAVREL_PASSWORD=wrong-secret"}).err,
            "error: Authentication failed\nhint: check the user name and the password\n");
}

// On a terminal the passwords are asked for, without echo: the login's, then a new user's
// twice.
TEST_F(NetworkCliTest, PasswordsTypedOnATerminalAreNotEchoed) {
  Terminal term(over_tls("admin", {"user", "add", "typist", "--role", "read"}),
                {"HOME=" + home_.string(), "KAVREL_PASSWORD=", "KAVREL_NEW_PASSWORD="});
  term.read_until("Password for admin: ");
  term.type("admin-secret\n");
  term.read_until("New password for typist: ");
  term.type("typed-secret\n");
  term.read_until("New password for typist again: ");
  term.type("typed-secret\n");
  const std::string& seen = term.read_until("OK\r\n");
  EXPECT_EQ(term.wait_exit(), 0) << seen;
  EXPECT_EQ(seen,
            "Password for admin: \r\nNew password for typist: \r\nNew password for typist "
            "again: \r\nOK\r\n");
  outputs_ += seen;
  expect_ok(as("typist", "typed-secret", {"ping"}), "PONG\n");
}

}  // namespace
}  // namespace kavrel::testing
