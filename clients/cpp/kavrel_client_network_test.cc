// The client over TCP against an in-process server: TLS (the server's certificate and name
// checked, a client certificate), plain TCP, SCRAM logins (refused ones too), the login made
// again on every new connection, user management, and no SIGPIPE from a peer that has gone.
#include <csignal>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "clients/cpp/kavrel_client.h"
#include "protocol/scram.h"
#include "server/ipc_server.h"
#include "server/tls.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_certs.h"

namespace kavrel {
namespace {

using namespace std::chrono_literals;

class NetworkClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(dir_ / "certs");
    certs_ = testing::make_test_certs(dir_ / "certs");
    auto opened = Database::open(dir_ / "db");
    ASSERT_TRUE(opened.has_value()) << opened.error().message();
    db_ = *opened;
    add_user("alice", Role::Admin, "", "alice-pw");
    add_user("reader", Role::Read, "", "reader-pw");
    ::testing::internal::CaptureStderr();  // the server's log
  }
  void TearDown() override {
    stop();
    const std::string log = ::testing::internal::GetCapturedStderr();
    // No password of the tests ever reaches the server's log.
    for (const char* secret : {"alice-pw", "reader-pw", "wrong-pw", "bob-pw", "bob-new-pw"}) {
      EXPECT_EQ(log.find(secret), std::string::npos) << secret;
    }
  }

  void add_user(const std::string& name, Role role, const std::string& prefix,
                const std::string& password) {
    ASSERT_TRUE(
        db_->put_user(UserRecord{name, role, prefix, scram::Verifier::of(password).text()}));
  }

  // A server on a thread: the Unix socket and 127.0.0.1 on a free port, with TLS unless
  // plain; returns once it listens.
  void start(bool tls, bool require_client_cert = false, ConnectionLoops::Options loops = {},
             bool unix_auth = false) {
    std::shared_ptr<TlsContext> ctx;
    if (tls) {
      auto loaded = TlsContext::load(
          TlsFiles{certs_.server_cert, certs_.server_key, certs_.ca_cert, require_client_cert});
      ASSERT_TRUE(loaded.has_value()) << loaded.error();
      ctx = *loaded;
    }
    socket_ = dir_ / "kavrel.sock";
    server_ = std::make_unique<IpcServer>(socket_, 100, db_, loops,
                                          ListenOptions{{"127.0.0.1:0"}, ctx, unix_auth});
    thread_ = std::thread([this] { result_ = server_->run(); });
    while (server_->tcp_ports().empty()) {
      ASSERT_FALSE(result_.has_value()) << result_->error().message();
      std::this_thread::sleep_for(2ms);
    }
    port_ = server_->tcp_ports().front();
  }
  void stop() {
    if (server_) server_->stop();
    if (thread_.joinable()) thread_.join();
    server_.reset();
    result_.reset();
  }
  // Waits (at most 20 s) until the server serves n connections.
  bool wait_active(std::uint64_t n) {
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (server_->stats()->connections_active.load() != n) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(2ms);
    }
    return true;
  }

  // TCP to 127.0.0.1 with TLS trusting the test CA, logged in as user (none: no login).
  ConnectOptions over_tls(std::optional<Login> login = Login{"alice", "alice-pw"}) const {
    ConnectOptions o;
    o.host = "127.0.0.1";
    o.port = port_;
    o.tls = TlsOptions{certs_.ca_cert, {}, {}, {}};
    o.login = std::move(login);
    o.timeout = 20s;
    return o;
  }

  testing::TempDir dir_;
  testing::TestCerts certs_;
  std::shared_ptr<Database> db_;
  std::filesystem::path socket_;
  std::unique_ptr<IpcServer> server_;
  std::thread thread_;
  std::optional<Result<void, IpcError>> result_;
  std::uint16_t port_ = 0;
};

TEST_F(NetworkClientTest, LogsInOverTlsByAddressAndByName) {
  start(/*tls=*/true);
  for (const char* host : {"127.0.0.1", "localhost"}) {
    SCOPED_TRACE(host);
    ConnectOptions o = over_tls();
    o.host = host;
    auto c = Client::connect(o);
    ASSERT_TRUE(c.has_value()) << c.error().message();
    ASSERT_TRUE(c->put("k", host).has_value());
    EXPECT_EQ(c->get("k").value(), host);
    // Pipelined over TLS: many frames, one large answer among them.
    std::vector<Message> batch;
    const std::string big(2 * 1024 * 1024, 'b');
    batch.push_back({opcode::PUT, encode_put("big", big)});
    for (int i = 0; i < 8; ++i) batch.push_back({opcode::GET, "big"});
    auto answers = c->pipeline(batch);
    ASSERT_TRUE(answers.has_value()) << answers.error().message();
    ASSERT_EQ(answers->size(), batch.size());
    EXPECT_EQ(answers->back(), (Message{response::VALUE, big}));
  }
  // What TCP wrote, the Unix socket reads.
  auto local = Client::connect(socket_, 20s);
  ASSERT_TRUE(local.has_value());
  EXPECT_EQ(local->get("k").value(), "localhost");
}

// Logins the server refuses: the same answer for a wrong password and an unknown user.
TEST_F(NetworkClientTest, RefusedLoginsAreTheServersAuthenticationFailed) {
  start(/*tls=*/true);
  for (const Login& login : {Login{"alice", "wrong-pw"}, Login{"nobody", "alice-pw"}}) {
    SCOPED_TRACE(login.user);
    auto c = Client::connect(over_tls(login));
    ASSERT_FALSE(c.has_value());
    EXPECT_EQ(c.error().kind(), ClientError::Kind::Server);
    EXPECT_EQ(c.error().text(), "Authentication failed");
  }
  // Without a login, a TCP connection may send nothing but AUTH.
  auto anonymous = Client::connect(over_tls(std::nullopt));
  ASSERT_TRUE(anonymous.has_value()) << anonymous.error().message();
  auto put = anonymous->put("k", "v");
  ASSERT_FALSE(put.has_value());
  EXPECT_EQ(put.error().text(), "Authentication required");
}

// Connections whose TLS does not verify, and options refused before connecting.
TEST_F(NetworkClientTest, UntrustedServersAndBadOptionsAreRefused) {
  start(/*tls=*/true);
  std::filesystem::create_directories(dir_ / "other");
  const auto other = testing::make_test_certs(dir_ / "other");
  struct Case {
    const char* name;
    std::function<void(ConnectOptions&)> change;
    ClientError::Kind kind;
    std::string text;  // the error's text starts with it
  };
  const std::vector<Case> cases = {
      {"a CA that did not sign the server's certificate",
       [&](ConnectOptions& o) { o.tls->ca_file = other.ca_cert; }, ClientError::Kind::Connect,
       "TLS handshake failed: the server's certificate does not verify for 127.0.0.1: "},
      {"a name the certificate does not carry",
       [](ConnectOptions& o) { o.tls->server_name = "db.example.com"; }, ClientError::Kind::Connect,
       "TLS handshake failed: the server's certificate does not verify for db.example.com: "
       "hostname mismatch"},
      {"an address the certificate does not carry",
       [](ConnectOptions& o) { o.tls->server_name = "10.1.2.3"; }, ClientError::Kind::Connect,
       "TLS handshake failed: the server's certificate does not verify for 10.1.2.3: IP address "
       "mismatch"},
      {"plain TCP to the TLS port", [](ConnectOptions& o) { o.tls.reset(); }, ClientError::Kind::Io,
       ""},  // closed or reset, as the server's refusal ends it
      {"a CA file that is not there",
       [&](ConnectOptions& o) { o.tls->ca_file = dir_ / "missing.pem"; },
       ClientError::Kind::Invalid, "cannot read the CA file"},
      {"a certificate without its key",
       [&](ConnectOptions& o) { o.tls->cert_file = certs_.client_cert; },
       ClientError::Kind::Invalid,
       "a client certificate goes with its key: give both files, or neither"},
      {"a key that is not the certificate's",
       [&](ConnectOptions& o) {
         o.tls->cert_file = certs_.client_cert;
         o.tls->key_file = other.client_key;
       },
       ClientError::Kind::Invalid, "cannot use the key file"},
      {"TLS on the Unix socket",
       [&](ConnectOptions& o) {
         o.host.clear();
         o.socket = socket_;
       },
       ClientError::Kind::Invalid, "TLS is for TCP connections, not for the Unix socket"},
      {"no port", [](ConnectOptions& o) { o.port = 0; }, ClientError::Kind::Invalid,
       "no port given for the host"},
      {"a host that does not resolve", [](ConnectOptions& o) { o.host = "no-such-host.invalid"; },
       ClientError::Kind::Connect, "cannot resolve \"no-such-host.invalid\": "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ConnectOptions o = over_tls();
    c.change(o);
    auto client = Client::connect(o);
    ASSERT_FALSE(client.has_value());
    EXPECT_EQ(client.error().kind(), c.kind) << client.error().message();
    EXPECT_TRUE(client.error().text().starts_with(c.text)) << client.error().text();
  }
  ASSERT_TRUE(wait_active(0));
  EXPECT_EQ(server_->stats()->connections_active.load(), 0u);
}

TEST_F(NetworkClientTest, AClientCertificateLogsInTheUserItNames) {
  start(/*tls=*/true, /*require_client_cert=*/true);
  ConnectOptions o = over_tls(std::nullopt);
  o.tls->cert_file = certs_.client_cert;  // CN "alice"
  o.tls->key_file = certs_.client_key;
  auto c = Client::connect(o);
  ASSERT_TRUE(c.has_value()) << c.error().message();
  ASSERT_TRUE(c->put("by-cert", "1").has_value());  // an admin's write
  auto users = c->list_users();
  ASSERT_TRUE(users.has_value()) << users.error().message();
  EXPECT_EQ(users->size(), 2u);

  // Without one, this server ends the connection (TLS 1.3: after the client's handshake, so
  // the refusal shows at the first answer).
  auto without = Client::connect(over_tls());
  if (without.has_value()) {
    auto ping = without->ping();
    ASSERT_FALSE(ping.has_value());
    EXPECT_EQ(ping.error().kind(), ClientError::Kind::Io) << ping.error().message();
  } else {
    EXPECT_NE(without.error().kind(), ClientError::Kind::Server) << without.error().message();
  }
}

TEST_F(NetworkClientTest, PlainTcpLogsInToo) {
  start(/*tls=*/false);
  ConnectOptions o = over_tls();
  o.tls.reset();
  auto c = Client::connect(o);
  ASSERT_TRUE(c.has_value()) << c.error().message();
  ASSERT_TRUE(c->put("plain", "1").has_value());
  EXPECT_EQ(c->get("plain").value(), "1");
}

// The server ends idle connections; the client's next request connects again and logs in
// again first, over TLS and over plain TCP. When that login is refused, the request is not sent.
TEST_F(NetworkClientTest, AConnectionMadeAgainLogsInAgain) {
  for (const bool tls : {true, false}) {
    SCOPED_TRACE(tls ? "TLS" : "plain TCP");
    start(tls, false, ConnectionLoops::Options{.receive_timeout = 200ms});
    ConnectOptions o = over_tls();
    if (!tls) o.tls.reset();
    auto c = Client::connect(o);
    ASSERT_TRUE(c.has_value()) << c.error().message();
    ASSERT_TRUE(c->put("before", "1").has_value());
    const int fd = c->fd();
    ASSERT_TRUE(wait_active(0));  // closed by the server, idle
    EXPECT_EQ(c->get("before").value(), "1");
    EXPECT_EQ(c->reconnects(), 1u);
    EXPECT_EQ(c->fd(), fd);

    // alice's password changes while the connection is idle: the next login is refused, and
    // the write that was to follow it never reaches the server.
    add_user("alice", Role::Admin, "", "alice-new-pw");
    ASSERT_TRUE(wait_active(0));
    auto put = c->put("after", "1");
    ASSERT_FALSE(put.has_value());
    EXPECT_EQ(put.error().text(), "Authentication failed");
    EXPECT_EQ(c->fd(), -1);
    auto reader = Client::connect(socket_, 20s);
    ASSERT_TRUE(reader.has_value());
    EXPECT_EQ(reader->get("after").value(), "");
    add_user("alice", Role::Admin, "", "alice-pw");
    stop();
  }
}

TEST_F(NetworkClientTest, UsersAreManagedByAnAdminAndHeldToTheirRoles) {
  start(/*tls=*/true);
  auto admin = Client::connect(over_tls());
  ASSERT_TRUE(admin.has_value()) << admin.error().message();
  ASSERT_TRUE(admin->add_user("bob", UserRole::Write, "app1/", "bob-pw").has_value());
  auto again = admin->add_user("bob", UserRole::Read, "", "bob-pw");
  ASSERT_FALSE(again.has_value());
  EXPECT_EQ(again.error().text(), "User already exists: bob");
  auto users = admin->list_users();
  ASSERT_TRUE(users.has_value()) << users.error().message();
  EXPECT_EQ(*users,
            (std::vector<UserInfo>{
                {"alice", "admin", ""}, {"bob", "write", "app1/"}, {"reader", "read", ""}}));
  // The server keeps a verifier of the password, which the password matches.
  const auto stored = db_->user("bob");
  ASSERT_TRUE(stored.has_value());
  EXPECT_EQ(stored->verifier.find("bob-pw"), std::string::npos);

  auto bob = Client::connect(over_tls(Login{"bob", "bob-pw"}));
  ASSERT_TRUE(bob.has_value()) << bob.error().message();
  EXPECT_TRUE(bob->put("app1/x", "1").has_value());
  auto outside = bob->put("app2/x", "1");
  ASSERT_FALSE(outside.has_value());
  EXPECT_TRUE(outside.error().text().starts_with("Permission denied: ")) << outside.error().text();
  auto not_admin = bob->list_users();
  ASSERT_FALSE(not_admin.has_value());
  EXPECT_TRUE(not_admin.error().text().starts_with("Permission denied: "));

  auto reader = Client::connect(over_tls(Login{"reader", "reader-pw"}));
  ASSERT_TRUE(reader.has_value());
  EXPECT_EQ(reader->get("app1/x").value(), "1");
  auto write = reader->put("k", "v");
  ASSERT_FALSE(write.has_value());
  EXPECT_TRUE(write.error().text().starts_with("Permission denied: ")) << write.error().text();

  ASSERT_TRUE(admin->set_password("bob", "bob-new-pw").has_value());
  EXPECT_EQ(Client::connect(over_tls(Login{"bob", "bob-pw"})).error().text(),
            "Authentication failed");
  EXPECT_TRUE(Client::connect(over_tls(Login{"bob", "bob-new-pw"})).has_value());
  ASSERT_TRUE(admin->delete_user("bob").has_value());
  EXPECT_EQ(admin->delete_user("bob").error().text(), "User not found: bob");
  EXPECT_EQ(Client::connect(over_tls(Login{"bob", "bob-new-pw"})).error().text(),
            "Authentication failed");
}

// Under --unix-auth the Unix socket asks for a login too, which the client makes there.
TEST_F(NetworkClientTest, TheUnixSocketLogsInWhenTheServerAsks) {
  start(/*tls=*/true, false, {}, /*unix_auth=*/true);
  auto anonymous = Client::connect(socket_, 20s);
  ASSERT_TRUE(anonymous.has_value());
  EXPECT_EQ(anonymous->ping().error().text(), "Authentication required");
  ConnectOptions o;
  o.socket = socket_;
  o.login = Login{"reader", "reader-pw"};
  auto c = Client::connect(o);
  ASSERT_TRUE(c.has_value()) << c.error().message();
  EXPECT_TRUE(c->ping().has_value());
}

// A write to a connection whose server has gone is an error, not a SIGPIPE that ends the
// process, over TLS as over plain TCP.
TEST_F(NetworkClientTest, AWriteToAGoneServerIsAnErrorNotASignal) {
  const auto previous = std::signal(SIGPIPE, SIG_DFL);
  for (const bool tls : {true, false}) {
    SCOPED_TRACE(tls ? "TLS" : "plain TCP");
    start(tls, false, ConnectionLoops::Options{.receive_timeout = 200ms});
    ConnectOptions o = over_tls();
    if (!tls) o.tls.reset();
    auto c = Client::connect(o);
    ASSERT_TRUE(c.has_value()) << c.error().message();
    c->set_reconnect(false);
    ASSERT_TRUE(c->ping().has_value());
    ASSERT_TRUE(wait_active(0));  // the server has closed the idle connection
    const std::string big(8 * 1024 * 1024, 'x');
    auto put = c->put("big", big);
    ASSERT_FALSE(put.has_value());
    EXPECT_EQ(put.error().kind(), ClientError::Kind::Io) << put.error().message();
    stop();
  }
  std::signal(SIGPIPE, previous);
}

}  // namespace
}  // namespace kavrel
