// Logins and permissions in the request handler: what a connection may send before it logs in,
// SCRAM logins that hold and those that must not, roles and key prefixes, and user management
// with the first admin made on the Unix socket.
#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "protocol/scram.h"
#include "server/client_handler.h"
#include "tests/support/temp_dir.h"

namespace kavrel {
namespace {

using namespace std::chrono_literals;

Message ok() { return {response::OK, ""}; }
Message value(const std::string& v) { return {response::VALUE, v}; }

class AuthTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto opened = Database::open(dir_ / "db");
    ASSERT_TRUE(opened.has_value()) << opened.error().message();
    db_ = *opened;
    add("alice", Role::Admin, "", "alice-pw");
    add("walt", Role::Write, "app1/", "walt-pw");
    add("rita", Role::Read, "", "rita-pw");
  }
  void add(const std::string& name, Role role, const std::string& prefix,
           const std::string& password) {
    ASSERT_TRUE(
        db_->put_user(UserRecord{name, role, prefix, scram::Verifier::of(password).text()}));
  }
  // A handler of a connection that must log in (TCP).
  std::unique_ptr<ClientHandler> network() { return handler(Peer{true, false, "10.0.0.7:4242"}); }
  std::unique_ptr<ClientHandler> handler(Peer peer) {
    return std::make_unique<ClientHandler>(
        db_, stats_,
        ClientHandler::Options{
            .backups = false, .peer = std::move(peer), .failed_login_pause = 1ms});
  }
  static Message call(ClientHandler& h, std::uint8_t op, const Bytes& payload = {}) {
    return h.process_request(Message{op, payload});
  }
  // Runs a SCRAM login: the last answer (VALUE "v=..." when it holds).
  static Message login(ClientHandler& h, const std::string& user, const std::string& password) {
    scram::ClientExchange client(user, password);
    Message first =
        call(h, opcode::AUTH, encode_auth(AuthStep{1, scram::kMechanism, client.first()}));
    if (first.opcode != response::VALUE) return first;
    auto final = client.final(first.payload);
    EXPECT_TRUE(final.has_value());
    const Message last = call(h, opcode::AUTH, encode_auth(AuthStep{2, "", *final}));
    if (last.opcode == response::VALUE) {
      EXPECT_TRUE(client.verify(last.payload).has_value());
    }
    return last;
  }

  testing::TempDir dir_;
  std::shared_ptr<Database> db_;
  std::shared_ptr<ServerStats> stats_ = std::make_shared<ServerStats>();
};

TEST_F(AuthTest, NothingButAuthBeforeALogin) {
  auto h = network();
  const std::vector<Message> requests = {
      {opcode::PUT, encode_put("k", "v")},
      {opcode::GET, "k"},
      {opcode::PING, ""},
      {opcode::STATS, ""},
      {opcode::BEGIN_TXN, ""},
      {opcode::CHECKPOINT, ""},
      {opcode::USERS, encode_users(UsersRequest{UsersRequest::List})},
  };
  for (const Message& r : requests) {
    EXPECT_EQ(h->process_request(r), Message::error("Authentication required")) << int{r.opcode};
  }
  // The batched paths refuse the same way and write nothing.
  const std::vector<Message> writes = {{opcode::PUT, encode_put("k", "v")}, {opcode::DELETE, "k"}};
  for (const Message& answer : h->process_writes(writes)) {
    EXPECT_EQ(answer, Message::error("Authentication required"));
  }
  const std::vector<Message> reads = {{opcode::GET, "k"}, {opcode::GET, "j"}};
  for (const Message& answer : h->process_reads(reads)) {
    EXPECT_EQ(answer, Message::error("Authentication required"));
  }
  EXPECT_FALSE(Database::SnapshotReader(*db_).get("k").has_value());
  EXPECT_EQ(h->open_transactions(), 0u);
}

TEST_F(AuthTest, ALoginHoldsOnlyWithTheRightPassword) {
  auto h = network();
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(login(*h, "alice", "wrong"), Message::error("Authentication failed"));
  EXPECT_EQ(login(*h, "nobody", "alice-pw"), Message::error("Authentication failed"));
  EXPECT_FALSE(h->ending());
  EXPECT_EQ(call(*h, opcode::PING), Message::error("Authentication required"));
  const Message held = login(*h, "alice", "alice-pw");
  ASSERT_EQ(held.opcode, response::VALUE) << held.payload;
  EXPECT_EQ(call(*h, opcode::PING), (Message{response::PONG, ""}));
  EXPECT_EQ(login(*h, "rita", "rita-pw"), Message::error("Already logged in as \"alice\""));
  const std::string log = ::testing::internal::GetCapturedStdout();
  EXPECT_NE(log.find("Authentication failed for user \"alice\" from 10.0.0.7:4242: wrong password"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("Authentication failed for user \"nobody\" from 10.0.0.7:4242"),
            std::string::npos)
      << log;
  EXPECT_EQ(log.find("alice-pw"), std::string::npos);
  EXPECT_EQ(log.find("wrong\""), std::string::npos);
}

TEST_F(AuthTest, AnUnknownUserIsAnsweredLikeAKnownOne) {
  auto h = network();
  const auto first_of = [&](const std::string& user) {
    scram::ClientExchange client(user, "x", "fixednonce");
    return call(*h, opcode::AUTH, encode_auth(AuthStep{1, scram::kMechanism, client.first()}));
  };
  const Message known = first_of("alice"), unknown = first_of("nobody"),
                unknown_again = first_of("nobody");
  ASSERT_EQ(unknown.opcode, response::VALUE);
  ASSERT_EQ(known.opcode, response::VALUE);
  // r=...,s=SALT,i=4096 for both; the made-up salt stays the same for the name.
  const auto salt = [](const Message& m) {
    const auto s = m.payload.find(",s=");
    return m.payload.substr(s, m.payload.find(",i=") - s);
  };
  EXPECT_EQ(salt(unknown), salt(unknown_again));
  EXPECT_NE(salt(unknown), salt(known));
  EXPECT_TRUE(unknown.payload.ends_with(",i=4096"));
}

TEST_F(AuthTest, FailedLoginsEndTheConnectionAndRepliesAreRefused) {
  auto h = network();
  // A client-final of another exchange, replayed.
  scram::ClientExchange recorded("alice", "alice-pw");
  const Message first =
      call(*h, opcode::AUTH, encode_auth(AuthStep{1, scram::kMechanism, recorded.first()}));
  const std::string final = *recorded.final(first.payload);
  EXPECT_EQ(call(*h, opcode::AUTH, encode_auth(AuthStep{2, "", final})).opcode, response::VALUE);

  auto other = network();
  (void)call(*other, opcode::AUTH, encode_auth(AuthStep{1, scram::kMechanism, recorded.first()}));
  EXPECT_EQ(call(*other, opcode::AUTH, encode_auth(AuthStep{2, "", final})),
            Message::error("Authentication failed"));
  // A final step without a first one, then a malformed first one: the third failure ends it.
  EXPECT_EQ(call(*other, opcode::AUTH, encode_auth(AuthStep{2, "", final})),
            Message::error("Authentication failed"));
  EXPECT_FALSE(other->ending());
  EXPECT_EQ(call(*other, opcode::AUTH, encode_auth(AuthStep{1, scram::kMechanism, "n,,n=,r=x"})),
            Message::error("Authentication failed"));
  EXPECT_TRUE(other->ending());
  EXPECT_EQ(call(*other, opcode::AUTH, encode_auth(AuthStep{1, "PLAIN", "alice"})),
            Message::error("Unsupported authentication mechanism: \"PLAIN\" (offered: "
                           "SCRAM-SHA-256)"));
}

TEST_F(AuthTest, RolesAndPrefixes) {
  auto rita = network(), walt = network(), alice = network();
  ASSERT_EQ(login(*rita, "rita", "rita-pw").opcode, response::VALUE);
  ASSERT_EQ(login(*walt, "walt", "walt-pw").opcode, response::VALUE);
  ASSERT_EQ(login(*alice, "alice", "alice-pw").opcode, response::VALUE);

  struct Case {
    ClientHandler* who;
    Message request;
    std::string refusal;  // empty: allowed
  };
  const Bytes list = encode_users(UsersRequest{UsersRequest::List});
  const std::vector<Case> cases = {
      {rita.get(), {opcode::GET, "app1/a"}, ""},
      {rita.get(), {opcode::SCAN, "app2/"}, ""},
      {rita.get(),
       {opcode::PUT, encode_put("x", "1")},
       "Permission denied: PUT needs the write role (user \"rita\" has read)"},
      {rita.get(),
       {opcode::BEGIN_TXN, ""},
       "Permission denied: BEGIN_TXN needs the write role "
       "(user \"rita\" has read)"},
      {walt.get(), {opcode::PUT, encode_put("app1/a", "1")}, ""},
      {walt.get(),
       {opcode::PUT, encode_put("app2/a", "1")},
       "Permission denied: key \"app2/a\" is outside the prefix \"app1/\" of user \"walt\""},
      {walt.get(),
       {opcode::GET, "secret"},
       "Permission denied: key \"secret\" is outside the prefix \"app1/\" of user \"walt\""},
      {walt.get(),
       {opcode::SCAN, "app"},
       "Permission denied: the keys under \"app\" are outside the prefix \"app1/\" of user "
       "\"walt\""},
      {walt.get(), {opcode::SCAN, "app1/x"}, ""},
      {walt.get(),
       {opcode::PUT_PATH, encode_path({"app2", "k"}, "v")},
       "Permission denied: key \"app2/k\" is outside the prefix \"app1/\" of user \"walt\""},
      {walt.get(),
       {opcode::DROP_TABLE, "users"},
       "Permission denied: the keys under \"users/\" are outside the prefix \"app1/\" of user "
       "\"walt\""},
      {walt.get(),
       {opcode::CHECKPOINT, ""},
       "Permission denied: CHECKPOINT needs the admin role (user \"walt\" has write)"},
      {walt.get(),
       {opcode::USERS, list},
       "Permission denied: USERS needs the admin role (user \"walt\" has write)"},
      {walt.get(),
       {opcode::IN_TXN, encode_in_txn(1, opcode::GET, "other")},
       "Permission denied: key \"other\" is outside the prefix \"app1/\" of user \"walt\""},
      {alice.get(), {opcode::CHECKPOINT, ""}, ""},
      {alice.get(), {opcode::USERS, list}, ""},
  };
  ::testing::internal::CaptureStdout();
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << int{c.request.opcode} << " " << c.request.payload);
    const Message answer = c.who->process_request(c.request);
    if (c.refusal.empty()) {
      EXPECT_NE(answer.opcode, response::ERROR) << answer.payload;
    } else {
      EXPECT_EQ(answer, Message::error(c.refusal)) << answer.payload;
    }
  }
  const std::string log = ::testing::internal::GetCapturedStdout();
  EXPECT_NE(log.find("Refused a request of user \"walt\" from 10.0.0.7:4242: Permission denied: "
                     "key \"app2/a\" is outside the prefix \"app1/\" of user \"walt\""),
            std::string::npos)
      << log;
  // A refused write in a run of writes is refused alone; the others are written.
  const std::vector<Message> run = {{opcode::PUT, encode_put("app1/b", "2")},
                                    {opcode::PUT, encode_put("app2/b", "2")}};
  const auto answers = walt->process_writes(run);
  EXPECT_EQ(answers[0], ok());
  EXPECT_EQ(answers[1].opcode, response::ERROR);
  EXPECT_EQ(Database::SnapshotReader(*db_).get("app1/b"), std::optional<Bytes>("2"));
  EXPECT_FALSE(Database::SnapshotReader(*db_).get("app2/b").has_value());
  const auto listed = alice->process_request({opcode::USERS, list});
  EXPECT_EQ(listed, value(R"([{"name":"alice","role":"admin","prefix":""},)"
                          R"({"name":"rita","role":"read","prefix":""},)"
                          R"({"name":"walt","role":"write","prefix":"app1/"}])"));
}

TEST_F(AuthTest, UserManagementAndTheFirstAdmin) {
  const auto add_request = [](const std::string& name, std::uint8_t role, const std::string& pw) {
    return Message{opcode::USERS, encode_users(UsersRequest{UsersRequest::Add, name, role, "",
                                                            scram::Verifier::of(pw).text()})};
  };
  // Trusted by the socket's mode, but another OS user: data yes, users no.
  auto stranger = handler(Peer{false, false, "unix (uid 1234)"});
  EXPECT_EQ(call(*stranger, opcode::PUT, encode_put("k", "v")), ok());
  EXPECT_EQ(stranger->process_request(add_request("eve", 3, "pw")),
            Message::error("Permission denied: USERS needs a login as an admin user, or the "
                           "server's own OS user on its Unix socket"));
  // The server's own OS user on the socket.
  auto local = handler(Peer{false, true, "unix (uid 1000)"});
  EXPECT_EQ(local->process_request(add_request("bob", 2, "bob-pw")), ok());
  EXPECT_EQ(local->process_request(add_request("bob", 2, "bob-pw")),
            Message::error("User already exists: bob"));
  EXPECT_EQ(local->process_request(add_request("x", 9, "pw")),
            Message::error("Invalid role: 9 (1 read, 2 write, 3 admin)"));
  EXPECT_EQ(
      local->process_request(
          Message{opcode::USERS, encode_users(UsersRequest{UsersRequest::Add, "y", 1, "", "pw"})}),
      Message::error("Invalid password verifier: expected SCRAM-SHA-256$ITERATIONS:SALT$KEYS"));
  EXPECT_EQ(local->process_request(Message{
                opcode::USERS, encode_users(UsersRequest{UsersRequest::Passwd, "bob", 0, "",
                                                         scram::Verifier::of("new-pw").text()})}),
            ok());
  auto bob = network();
  EXPECT_EQ(login(*bob, "bob", "bob-pw"), Message::error("Authentication failed"));
  EXPECT_EQ(login(*bob, "bob", "new-pw").opcode, response::VALUE);
  EXPECT_EQ(local->process_request(
                Message{opcode::USERS, encode_users(UsersRequest{UsersRequest::Delete, "bob"})}),
            ok());
  EXPECT_EQ(local->process_request(
                Message{opcode::USERS, encode_users(UsersRequest{UsersRequest::Delete, "bob"})}),
            Message::error("User not found: bob"));
  EXPECT_FALSE(db_->user("bob").has_value());

  // Under --unix-auth the local user may make users only while there is no admin.
  auto strict_local = handler(Peer{true, true, "unix (uid 1000)"});
  EXPECT_EQ(strict_local->process_request(add_request("carol", 3, "pw")),
            Message::error("Authentication required"));  // alice is an admin
  ASSERT_TRUE(db_->drop_user("alice").value());
  EXPECT_EQ(strict_local->process_request(add_request("carol", 3, "pw")), ok());
  EXPECT_EQ(call(*strict_local, opcode::GET, "k"), Message::error("Authentication required"));
}

}  // namespace
}  // namespace kavrel
