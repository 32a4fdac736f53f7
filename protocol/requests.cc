#include "protocol/requests.h"

#include <array>
#include <cstddef>

namespace kavrel {
namespace {

constexpr std::size_t kOpcodes = opcode::USERS + 1;

constexpr Access R = Access::Read, W = Access::Write, A = Access::Admin;

constexpr std::array<RequestTraits, kOpcodes> make_table() {
  std::array<RequestTraits, kOpcodes> t{};
  // name, single write, single read, long running, in IN_TXN, the least role
  t[opcode::PUT] = {"PUT", true, false, false, true, W};
  t[opcode::GET] = {"GET", false, true, false, true, R};
  t[opcode::DELETE] = {"DELETE", true, false, false, true, W};
  t[opcode::BEGIN_TXN] = {"BEGIN_TXN", false, false, false, false, W};
  t[opcode::COMMIT_TXN] = {"COMMIT_TXN", false, false, true, false, W};
  t[opcode::ABORT_TXN] = {"ABORT_TXN", false, false, false, false, W};
  t[opcode::QUERY] = {"QUERY", false, false, true, true, R};
  t[opcode::REGISTER_TABLE] = {"REGISTER_TABLE", false, false, true, false, W};
  t[opcode::PUT_PATH] = {"PUT_PATH", true, false, false, true, W};
  t[opcode::GET_PATH] = {"GET_PATH", false, true, false, true, R};
  t[opcode::SCAN] = {"SCAN", false, false, true, true, R};
  t[opcode::CHECKPOINT] = {"CHECKPOINT", false, false, true, false, A};
  t[opcode::STATS] = {"STATS", false, false, false, false, R};
  t[opcode::PING] = {"PING", false, false, false, false, R};
  t[opcode::EXECUTE_SQL] = {"EXECUTE_SQL", false, false, false, false, R};
  t[opcode::COMPACT] = {"COMPACT", false, false, true, false, A};
  // IN_TXN: long, and allowed, by what it carries.
  t[opcode::IN_TXN] = {"IN_TXN", false, false, false, false, R};
  t[opcode::LIST_TABLES] = {"LIST_TABLES", false, false, false, false, R};
  t[opcode::DESCRIBE_TABLE] = {"DESCRIBE_TABLE", false, false, false, false, R};
  t[opcode::DROP_TABLE] = {"DROP_TABLE", false, false, true, true, W};
  t[opcode::BACKUP] = {"BACKUP", false, false, true, false, A};
  // A failed step is answered after a pause: off the loop.
  t[opcode::AUTH] = {"AUTH", false, false, true, false, R};
  t[opcode::USERS] = {"USERS", false, false, true, false, A};
  return t;
}

constexpr std::array<RequestTraits, kOpcodes> kRequests = make_table();

}  // namespace

const RequestTraits* request_traits(std::uint8_t op) {
  if (op >= kOpcodes || kRequests[op].name == nullptr) return nullptr;
  return &kRequests[op];
}

bool is_single_write(std::uint8_t op) {
  const RequestTraits* t = request_traits(op);
  return t != nullptr && t->single_write;
}

bool is_single_read(std::uint8_t op) {
  const RequestTraits* t = request_traits(op);
  return t != nullptr && t->single_read;
}

bool may_take_long(const Message& request) {
  std::uint8_t op = request.opcode;
  if (op == opcode::IN_TXN) {
    const auto inner_request = decode_in_txn(request.payload);
    if (!inner_request) return false;
    op = inner_request->op;
    const RequestTraits* inner = request_traits(op);
    if (inner == nullptr || !inner->in_txn) return false;  // refused at once
  }
  const RequestTraits* t = request_traits(op);
  return t != nullptr && t->long_running;
}

}  // namespace kavrel
