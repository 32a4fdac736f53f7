#include "protocol/requests.h"

#include <set>
#include <string>

#include <gtest/gtest.h>

namespace kavrel {
namespace {

// Every opcode of the protocol has its row, named as the protocol names it; no other has one.
TEST(RequestsTest, EveryOpcodeHasOneRowAndNoOtherHasAny) {
  std::set<std::string> names;
  for (int op = 0; op < 256; ++op) {
    const RequestTraits* t = request_traits(static_cast<std::uint8_t>(op));
    const bool known = op >= opcode::PUT && op <= opcode::USERS;
    ASSERT_EQ(t != nullptr, known) << op;
    if (t != nullptr) {
      EXPECT_TRUE(names.insert(t->name).second) << t->name;
    }
  }
  EXPECT_STREQ(request_traits(opcode::COMPACT)->name, "COMPACT");
  EXPECT_STREQ(request_traits(opcode::DROP_TABLE)->name, "DROP_TABLE");
  EXPECT_STREQ(request_traits(opcode::BACKUP)->name, "BACKUP");
  EXPECT_STREQ(request_traits(opcode::AUTH)->name, "AUTH");
  EXPECT_STREQ(request_traits(opcode::USERS)->name, "USERS");
}

// The roles: reads for read, changes for write, the server's own care and users for admin.
TEST(RequestsTest, TheLeastRoleOfEachRequest) {
  const std::set<std::uint8_t> admin = {opcode::CHECKPOINT, opcode::COMPACT, opcode::BACKUP,
                                        opcode::USERS};
  const std::set<std::uint8_t> write = {
      opcode::PUT,        opcode::DELETE,    opcode::PUT_PATH,       opcode::BEGIN_TXN,
      opcode::COMMIT_TXN, opcode::ABORT_TXN, opcode::REGISTER_TABLE, opcode::DROP_TABLE};
  for (int op = opcode::PUT; op <= opcode::USERS; ++op) {
    const Access expected = admin.contains(op)   ? Access::Admin
                            : write.contains(op) ? Access::Write
                                                 : Access::Read;
    EXPECT_EQ(request_traits(static_cast<std::uint8_t>(op))->access, expected) << op;
  }
}

TEST(RequestsTest, AuthAndUsersPayloadsRoundTrip) {
  const AuthStep first{1, "SCRAM-SHA-256", "n,,n=alice,r=abc"};
  const auto back = decode_auth(encode_auth(first));
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(back->mechanism, first.mechanism);
  EXPECT_EQ(back->message, first.message);
  const auto second = decode_auth(encode_auth(AuthStep{2, "", "c=biws,r=abc,p=xyz"}));
  ASSERT_TRUE(second.has_value());
  EXPECT_EQ(second->step, 2);
  EXPECT_EQ(second->message, "c=biws,r=abc,p=xyz");
  for (const Bytes& bad : {Bytes(), Bytes("\x03"), Bytes("\x01\x05\x00SC", 5)}) {
    EXPECT_FALSE(decode_auth(bad).has_value());
  }

  const UsersRequest requests[] = {
      {UsersRequest::Add, "alice", 2, "app1/", "SCRAM-SHA-256$4096:x$y:z"},
      {UsersRequest::Passwd, "alice", 0, "", "SCRAM-SHA-256$4096:x$y:w"},
      {UsersRequest::Delete, "alice", 0, "", ""},
      {UsersRequest::List, "", 0, "", ""},
  };
  for (const UsersRequest& u : requests) {
    const Bytes bytes = encode_users(u);
    const auto got = decode_users(bytes);
    ASSERT_TRUE(got.has_value()) << int{u.action};
    EXPECT_EQ(got->name, u.name);
    EXPECT_EQ(got->role, u.role);
    EXPECT_EQ(got->prefix, u.prefix);
    EXPECT_EQ(got->verifier, u.verifier);
    if (bytes.size() > 1) {
      EXPECT_FALSE(decode_users(bytes.substr(0, bytes.size() - 1)).has_value()) << int{u.action};
    }
  }
  EXPECT_FALSE(decode_users(Bytes("\x05")).has_value());
  EXPECT_FALSE(decode_users(Bytes()).has_value());
}

// An IN_TXN request waits as long as what it carries; one that cannot be carried is refused at
// once, so it never goes off the loop.
TEST(RequestsTest, InTxnTakesLongByItsInnerRequest) {
  const auto in_txn = [](std::uint8_t inner) {
    return Message{opcode::IN_TXN, encode_txn_handle(1) + Bytes(1, static_cast<char>(inner))};
  };
  struct Case {
    Message request;
    bool long_running;
  };
  const Case cases[] = {
      {{opcode::SCAN, "ab"}, true},
      {{opcode::GET, "k"}, false},
      {{opcode::COMMIT_TXN, ""}, true},
      {{opcode::COMPACT, ""}, true},
      {{opcode::BACKUP, "/b"}, true},
      {in_txn(opcode::SCAN), true},
      {in_txn(opcode::QUERY), true},
      {in_txn(opcode::DROP_TABLE), true},
      {in_txn(opcode::PUT), false},
      {in_txn(opcode::COMPACT), false},
      {in_txn(opcode::COMMIT_TXN), false},
      {in_txn(opcode::BACKUP), false},
      {in_txn(0x42), false},
      {{opcode::IN_TXN, "short"}, false},
      {{0x42, ""}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << int{c.request.opcode} << " " << c.request.payload.size());
    EXPECT_EQ(may_take_long(c.request), c.long_running);
  }
  EXPECT_TRUE(is_single_write(opcode::PUT_PATH));
  EXPECT_FALSE(is_single_write(opcode::DROP_TABLE));
  EXPECT_TRUE(is_single_read(opcode::GET_PATH));
  EXPECT_FALSE(is_single_read(opcode::SCAN));
}

}  // namespace
}  // namespace kavrel
