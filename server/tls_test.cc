// The listener on TCP, with and without TLS: requests over TLS, the handshakes refused, the
// bounds on connections that stall (handshake, send), the connection limit across Unix and
// TCP, and a reload of the certificates.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "clients/cpp/kavrel_client.h"
#include "core/unique_fd.h"
#include "protocol/scram.h"
#include "protocol/wire.h"
#include "server/ipc_server.h"
#include "server/tls.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_certs.h"

namespace kavrel {
namespace {

using namespace std::chrono_literals;

// A blocking TCP connection to 127.0.0.1:port, with TLS when ca is given.
class TestPeer {
 public:
  struct Tls {
    std::filesystem::path ca;
    std::optional<std::filesystem::path> cert, key;
    int max_version = 0;  // 0: the newest
  };

  static TestPeer connect(std::uint16_t port) {
    TestPeer p;
    p.fd_ = UniqueFd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::connect(p.fd_.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0);
    timeval tv{20, 0};
    ::setsockopt(p.fd_.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    return p;
  }

  // The handshake: true when it succeeds (the server's certificate checked against the CA).
  bool start_tls(const Tls& tls) {
    ctx_.reset(SSL_CTX_new(TLS_client_method()));
    SSL_CTX_set_verify(ctx_.get(), SSL_VERIFY_PEER, nullptr);
    EXPECT_EQ(SSL_CTX_load_verify_locations(ctx_.get(), tls.ca.c_str(), nullptr), 1);
    if (tls.max_version != 0) SSL_CTX_set_max_proto_version(ctx_.get(), tls.max_version);
    SSL_CTX_set_security_level(ctx_.get(), tls.max_version != 0 ? 0 : 1);
    if (tls.cert) {
      EXPECT_EQ(SSL_CTX_use_certificate_file(ctx_.get(), tls.cert->c_str(), SSL_FILETYPE_PEM), 1);
      EXPECT_EQ(SSL_CTX_use_PrivateKey_file(ctx_.get(), tls.key->c_str(), SSL_FILETYPE_PEM), 1);
    }
    ssl_.reset(SSL_new(ctx_.get()));
    SSL_set_fd(ssl_.get(), fd_.get());
    SSL_set1_host(ssl_.get(), "localhost");
    if (SSL_connect(ssl_.get()) != 1) return false;
    // With TLS 1.3 the server checks the client's certificate after the client's handshake is
    // done: a refusal shows at the first read.
    return true;
  }

  bool send_bytes(const std::string& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
      const int n =
          ssl_ ? SSL_write(ssl_.get(), bytes.data() + sent, static_cast<int>(bytes.size() - sent))
               : static_cast<int>(
                     ::send(fd_.get(), bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL));
      if (n <= 0) return false;
      sent += static_cast<std::size_t>(n);
    }
    return true;
  }
  bool send(std::uint8_t op, const std::string& payload) {
    return send_bytes(encode_frame(op, payload));
  }
  // The next answer, or nullopt when the connection ended (or failed) first.
  std::optional<Message> receive() {
    std::string header = read_exactly(FRAME_HEADER_SIZE);
    if (header.size() != FRAME_HEADER_SIZE) return std::nullopt;
    const std::uint32_t len = get_u32(header.data() + 1);
    std::string payload = read_exactly(len);
    if (payload.size() != len) return std::nullopt;
    return Message{static_cast<std::uint8_t>(header[0]), std::move(payload)};
  }
  std::optional<Message> request(std::uint8_t op, const std::string& payload) {
    if (!send(op, payload)) return std::nullopt;
    return receive();
  }
  // A SCRAM login: true when it holds (and the server proved it knows the verifier).
  bool login(const std::string& user, const std::string& password) {
    scram::ClientExchange client(user, password);
    const auto first =
        request(opcode::AUTH, encode_auth(AuthStep{1, scram::kMechanism, client.first()}));
    if (!first || first->opcode != response::VALUE) return false;
    auto final = client.final(first->payload);
    if (!final) return false;
    const auto last = request(opcode::AUTH, encode_auth(AuthStep{2, "", *final}));
    return last && last->opcode == response::VALUE && client.verify(last->payload).has_value();
  }
  // The serial number of the server's certificate.
  long server_serial() const {
    X509* cert = SSL_get1_peer_certificate(ssl_.get());
    const long serial = ASN1_INTEGER_get(X509_get_serialNumber(cert));
    X509_free(cert);
    return serial;
  }
  int fd() const { return fd_.get(); }

 private:
  std::string read_exactly(std::size_t n) {
    std::string out(n, '\0');
    std::size_t got = 0;
    while (got < n) {
      const int r = ssl_ ? SSL_read(ssl_.get(), out.data() + got, static_cast<int>(n - got))
                         : static_cast<int>(::recv(fd_.get(), out.data() + got, n - got, 0));
      if (r <= 0) break;
      got += static_cast<std::size_t>(r);
    }
    out.resize(got);
    return out;
  }

  struct FreeCtx {
    void operator()(SSL_CTX* c) const { SSL_CTX_free(c); }
  };
  struct FreeSsl {
    void operator()(SSL* s) const { SSL_free(s); }
  };
  std::unique_ptr<SSL_CTX, FreeCtx> ctx_;
  std::unique_ptr<SSL, FreeSsl> ssl_;
  UniqueFd fd_;
};

Message ok() { return {response::OK, ""}; }
Message pong() { return {response::PONG, ""}; }
Message value(const std::string& v) { return {response::VALUE, v}; }
std::string put_payload(const std::string& key, const std::string& v) { return encode_put(key, v); }

class TcpServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // A write to a connection the server ended is an error to see, not the end of the test.
    std::signal(SIGPIPE, SIG_IGN);
    std::filesystem::create_directories(dir_ / "certs");
    certs_ = testing::make_test_certs(dir_ / "certs");
    auto opened = Database::open(dir_ / "db");
    ASSERT_TRUE(opened.has_value()) << opened.error().message();
    db_ = *opened;
    ASSERT_TRUE(db_->put_user(
        UserRecord{"alice", Role::Admin, "", scram::Verifier::of("alice-pw").text()}));
    ::testing::internal::CaptureStderr();
  }
  void TearDown() override {
    if (server_) server_->stop();
    if (thread_.joinable()) thread_.join();
    if (!stderr_taken_) ::testing::internal::GetCapturedStderr();
  }

  std::shared_ptr<TlsContext> tls(bool require_client_cert = false) {
    auto ctx = TlsContext::load(
        TlsFiles{certs_.server_cert, certs_.server_key, certs_.ca_cert, require_client_cert});
    EXPECT_TRUE(ctx.has_value()) << ctx.error();
    return ctx ? *ctx : nullptr;
  }

  // Runs a server on a thread listening on the Unix socket and on 127.0.0.1 (a free port);
  // returns once both listen.
  void start(ListenOptions tcp, std::uint64_t max_clients = 100,
             ConnectionLoops::Options options = {}) {
    if (tcp.listen.empty()) tcp.listen = {"127.0.0.1:0"};
    socket_ = dir_ / "kavrel.sock";
    server_ = std::make_unique<IpcServer>(socket_, max_clients, db_, options, std::move(tcp));
    thread_ = std::thread([this] { result_ = server_->run(); });
    while (server_->tcp_ports().empty()) {
      ASSERT_FALSE(result_.has_value()) << result_->error().message();
      std::this_thread::sleep_for(2ms);
    }
    port_ = server_->tcp_ports().front();
  }
  TestPeer::Tls trusted() const { return {certs_.ca_cert, std::nullopt, std::nullopt, 0}; }
  // A TLS connection that completed its handshake and logged in as alice.
  TestPeer connect_tls(const TestPeer::Tls& how) {
    TestPeer p = TestPeer::connect(port_);
    EXPECT_TRUE(p.start_tls(how));
    EXPECT_TRUE(p.login("alice", "alice-pw"));
    return p;
  }
  // Waits (at most 20 s) until n connections are active.
  bool wait_active(std::uint64_t n) {
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (server_->stats()->connections_active.load() != n) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(2ms);
    }
    return true;
  }
  std::string take_stderr() {
    stderr_taken_ = true;
    return ::testing::internal::GetCapturedStderr();
  }

  testing::TempDir dir_;
  testing::TestCerts certs_;
  std::shared_ptr<Database> db_;
  std::filesystem::path socket_;
  std::unique_ptr<IpcServer> server_;
  std::thread thread_;
  std::optional<Result<void, IpcError>> result_;
  std::uint16_t port_ = 0;
  bool stderr_taken_ = false;
};

TEST_F(TcpServerTest, RequestsOverTlsAreAnsweredAsOverTheUnixSocket) {
  start(ListenOptions{{}, tls()});
  TestPeer peer = connect_tls(trusted());
  const std::string big(3 * 1024 * 1024, 'v');  // many TLS records each way
  ASSERT_EQ(peer.request(opcode::PUT, put_payload("big", big)), ok());
  // Pipelined: the frames of many requests in one write, the answers in order.
  std::string frames;
  for (int i = 0; i < 50; ++i)
    frames += encode_frame(opcode::PUT, put_payload("k" + std::to_string(i), "x"));
  frames += encode_frame(opcode::GET, "big");
  ASSERT_TRUE(peer.send_bytes(frames));
  for (int i = 0; i < 50; ++i) ASSERT_EQ(peer.receive(), ok()) << i;
  EXPECT_EQ(peer.receive(), value(big));

  // What one side wrote the other reads.
  auto unix_client = Client::connect(socket_, 20s);
  ASSERT_TRUE(unix_client.has_value());
  EXPECT_EQ(unix_client->get("k7").value(), "x");
  ASSERT_TRUE(unix_client->put("from-unix", "y").has_value());
  EXPECT_EQ(peer.request(opcode::GET, "from-unix"), value("y"));
  EXPECT_NE(take_stderr().find("(TLS)"), std::string::npos);
}

// Handshakes the server must refuse, and requests sent without TLS to a TLS port: each ends the
// connection before any request is answered, and the refusal is logged.
TEST_F(TcpServerTest, RefusedHandshakesAnswerNothing) {
  start(ListenOptions{{}, tls(/*require_client_cert=*/true)});
  struct Case {
    const char* name;
    std::optional<TestPeer::Tls> tls;  // none: plain bytes
  };
  const std::vector<Case> cases = {
      {"no client certificate", trusted()},
      {"expired client certificate",
       TestPeer::Tls{certs_.ca_cert, certs_.expired_cert, certs_.expired_key, 0}},
      {"certificate of an unknown CA",
       TestPeer::Tls{certs_.ca_cert, certs_.stranger_cert, certs_.stranger_key, 0}},
      {"TLS 1.1 client",
       TestPeer::Tls{certs_.ca_cert, certs_.client_cert, certs_.client_key, TLS1_1_VERSION}},
      {"plain bytes to a TLS port", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestPeer peer = TestPeer::connect(port_);
    if (c.tls && !peer.start_tls(*c.tls)) {
      ERR_clear_error();
    } else {
      // The handshake may look done to the client (TLS 1.3 checks its certificate later) or
      // not have happened (plain bytes): the request gets no answer either way.
      (void)peer.send(opcode::PUT, put_payload("refused", "1"));
      EXPECT_EQ(peer.receive(), std::nullopt);
    }
    ASSERT_TRUE(wait_active(0));
  }
  // The right certificate gets through, and logs in the user it names.
  TestPeer good = TestPeer::connect(port_);
  ASSERT_TRUE(
      good.start_tls(TestPeer::Tls{certs_.ca_cert, certs_.client_cert, certs_.client_key, 0}));
  EXPECT_EQ(good.request(opcode::PING, ""), pong());
  EXPECT_EQ(good.request(opcode::GET, "refused"), value(""));  // never written
  const std::string err = take_stderr();
  EXPECT_NE(err.find("[IpcServer] Client error: I/O error: TLS handshake failed"),
            std::string::npos)
      << err;
}

TEST_F(TcpServerTest, AStalledHandshakeIsEndedAtItsTimeOut) {
  // A receive time-out far beyond the handshake's: only the handshake's bound ends these.
  start(ListenOptions{{}, tls()}, 100,
        ConnectionLoops::Options{.receive_timeout = 60s, .handshake_timeout = 300ms});
  TestPeer silent = TestPeer::connect(port_);
  TestPeer partial = TestPeer::connect(port_);
  ASSERT_TRUE(partial.send_bytes(std::string("\x16\x03\x01\x00\xff", 5)));  // a record begun
  ASSERT_TRUE(wait_active(0));
  char byte;
  EXPECT_EQ(::recv(silent.fd(), &byte, 1, 0), 0);  // closed by the server
  // A handshake done in time is not bounded by it afterwards.
  TestPeer done = connect_tls(trusted());
  std::this_thread::sleep_for(600ms);
  EXPECT_EQ(done.request(opcode::PING, ""), pong());
  const std::string err = take_stderr();
  EXPECT_NE(err.find("[IpcServer] Client error: I/O error: TLS handshake timed out"),
            std::string::npos)
      << err;
}

// A client that sends requests and never reads their answers is ended once it takes none for
// the time-out, on the loop and on a thread of its own, over TLS and over the Unix socket.
TEST_F(TcpServerTest, AClientThatStopsReadingIsEndedAtTheSendTimeOut) {
  start(ListenOptions{{}, tls()}, 100, ConnectionLoops::Options{.receive_timeout = 400ms});
  const std::string value(256 * 1024, 'v');
  std::optional<Client> writer;
  {
    auto c = Client::connect(socket_, 20s);
    ASSERT_TRUE(c.has_value());
    writer.emplace(std::move(*c));
  }
  ASSERT_TRUE(writer->put("v", value).has_value());

  // Reads only: after a few serves the connection moves to a thread of its own.
  std::string gets;
  for (int i = 0; i < 64; ++i) gets += encode_frame(opcode::GET, "v");
  TestPeer over_tls = connect_tls(trusted());
  ASSERT_TRUE(over_tls.send_bytes(gets));
  UniqueFd unix_fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, socket_.c_str(), sizeof(addr.sun_path) - 1);
  ASSERT_EQ(::connect(unix_fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0);
  for (int i = 0; i < 4; ++i) {
    ASSERT_EQ(::send(unix_fd.get(), gets.data(), gets.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(gets.size()));
  }
  writer.reset();
  ASSERT_TRUE(wait_active(0));
  // Others are served on.
  auto reader = Client::connect(socket_, 20s);
  ASSERT_TRUE(reader.has_value());
  EXPECT_EQ(reader->get("v").value(), value);
  const std::string err = take_stderr();
  std::size_t ended = 0;
  for (auto at = err.find("Client error: I/O error: send timed out"); at != std::string::npos;
       at = err.find("Client error: I/O error: send timed out", at + 1)) {
    ++ended;
  }
  EXPECT_EQ(ended, 2u) << err;
}

TEST_F(TcpServerTest, TheConnectionLimitCountsUnixAndTcpTogether) {
  start(ListenOptions{{}, tls()}, /*max_clients=*/1);
  std::optional<Client> unix_client;
  {
    auto c = Client::connect(socket_, 20s);
    ASSERT_TRUE(c.has_value());
    unix_client.emplace(std::move(*c));
  }
  ASSERT_TRUE(unix_client->ping().has_value());
  TestPeer refused = TestPeer::connect(port_);
  EXPECT_FALSE(refused.start_tls(trusted()) && refused.login("alice", "alice-pw"));
  ERR_clear_error();
  unix_client.reset();
  ASSERT_TRUE(wait_active(0));
  TestPeer admitted = connect_tls(trusted());
  EXPECT_EQ(admitted.request(opcode::PING, ""), pong());
  EXPECT_NE(take_stderr().find("[IpcServer] Connection limit reached, rejecting"),
            std::string::npos);
}

TEST_F(TcpServerTest, PlainTcpIsServedOnLoopbackOnly) {
  start(ListenOptions{{"127.0.0.1:0"}, nullptr});
  TestPeer peer = TestPeer::connect(port_);
  EXPECT_EQ(peer.request(opcode::PUT, put_payload("a", "1")),
            Message::error("Authentication required"));
  ASSERT_TRUE(peer.login("alice", "alice-pw"));
  EXPECT_EQ(peer.request(opcode::PUT, put_payload("a", "1")), ok());
  EXPECT_EQ(peer.request(opcode::GET, "a"), value("1"));
  const std::string err = take_stderr();
  EXPECT_NE(err.find("[IpcServer] WARNING: listening on 127.0.0.1:"), std::string::npos) << err;
  server_->stop();
  thread_.join();
  server_.reset();

  for (const char* where : {"0.0.0.0:0", "[::]:0"}) {
    SCOPED_TRACE(where);
    IpcServer open_to_all(dir_ / "other.sock", 10, db_, {}, ListenOptions{{where}, nullptr});
    auto ran = open_to_all.run();
    ASSERT_FALSE(ran.has_value());
    EXPECT_NE(ran.error().message().find("plain TCP is served on loopback addresses only"),
              std::string::npos)
        << ran.error().message();
    EXPECT_FALSE(std::filesystem::exists(dir_ / "other.sock"));
  }
}

TEST_F(TcpServerTest, ListenAddressesAreCheckedBeforeServing) {
  struct Case {
    const char* listen;
    const char* error;
  };
  const std::vector<Case> cases = {
      {"127.0.0.1", "expected HOST:PORT"},      {"127.0.0.1:70000", "a port of 0 to 65535"},
      {"::1:7000", "an IPv6 host in brackets"}, {"[::1]7000", "expected [HOST]:PORT"},
      {":7000", "expected HOST:PORT"},          {"no-such-host.invalid:7000", "cannot resolve"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.listen);
    IpcServer server(dir_ / "k.sock", 10, db_, {}, ListenOptions{{c.listen}, tls()});
    auto ran = server.run();
    ASSERT_FALSE(ran.has_value());
    EXPECT_NE(ran.error().message().find(c.error), std::string::npos) << ran.error().message();
  }
}

TEST_F(TcpServerTest, AReloadServesNewConnectionsWithTheNewCertificate) {
  auto ctx = tls();
  start(ListenOptions{{}, ctx});
  TestPeer before = connect_tls(trusted());
  const long old_serial = before.server_serial();

  // New files under the same names (a renewal), then the reload.
  std::filesystem::create_directories(dir_ / "renewed");
  const auto renewed = testing::make_test_certs(dir_ / "renewed");
  std::filesystem::copy_file(renewed.server_cert, certs_.server_cert,
                             std::filesystem::copy_options::overwrite_existing);
  std::filesystem::copy_file(renewed.server_key, certs_.server_key,
                             std::filesystem::copy_options::overwrite_existing);
  std::filesystem::copy_file(renewed.ca_cert, certs_.ca_cert,
                             std::filesystem::copy_options::overwrite_existing);
  ASSERT_TRUE(ctx->reload().has_value());
  TestPeer after = connect_tls(TestPeer::Tls{renewed.ca_cert, std::nullopt, std::nullopt, 0});
  EXPECT_EQ(after.request(opcode::PING, ""), pong());
  EXPECT_EQ(before.request(opcode::PING, ""), pong());  // kept its session

  // A broken file is refused and the context in use stays.
  std::filesystem::resize_file(certs_.server_key, 10);
  auto broken = ctx->reload();
  ASSERT_FALSE(broken.has_value());
  EXPECT_NE(broken.error().find("TLS key"), std::string::npos) << broken.error();
  TestPeer still = connect_tls(TestPeer::Tls{renewed.ca_cert, std::nullopt, std::nullopt, 0});
  EXPECT_EQ(still.server_serial(), after.server_serial());
  EXPECT_NE(after.server_serial(), old_serial);
}

}  // namespace
}  // namespace kavrel
