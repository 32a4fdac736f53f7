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
    const bool known = op >= opcode::PUT && op <= opcode::BACKUP;
    ASSERT_EQ(t != nullptr, known) << op;
    if (t != nullptr) {
      EXPECT_TRUE(names.insert(t->name).second) << t->name;
    }
  }
  EXPECT_STREQ(request_traits(opcode::COMPACT)->name, "COMPACT");
  EXPECT_STREQ(request_traits(opcode::DROP_TABLE)->name, "DROP_TABLE");
  EXPECT_STREQ(request_traits(opcode::BACKUP)->name, "BACKUP");
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
