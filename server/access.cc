#include "server/access.h"

#include <fmt/format.h>

#include "core/text.h"
#include "protocol/requests.h"
#include "server/payloads.h"

namespace kavrel {
namespace {

const char* access_name(Access access) {
  switch (access) {
    case Access::Read: return "read";
    case Access::Write: return "write";
    case Access::Admin: return "admin";
  }
  return "?";
}

// The key the request touches, or the prefix of the keys it touches (prefix true); nullopt when
// it touches none (or its payload does not decode).
struct Touched {
  std::string key;
  bool prefix = false;
};
std::optional<Touched> touched(std::uint8_t op, BytesView payload) {
  switch (op) {
    case opcode::PUT: {
      auto req = decode_put(payload);
      if (!req) return std::nullopt;
      return Touched{std::string(req->key)};
    }
    case opcode::GET:
    case opcode::DELETE: return Touched{std::string(payload)};
    case opcode::PUT_PATH:
    case opcode::GET_PATH: {
      auto req = decode_path(payload);
      if (!req) return std::nullopt;
      return Touched{req->key()};
    }
    case opcode::SCAN: return Touched{std::string(payload), true};
    case opcode::QUERY: {
      auto req = decode_query(payload);
      if (!req) return std::nullopt;
      return Touched{std::string(req->path) + "/", true};
    }
    case opcode::REGISTER_TABLE: {
      auto schema = decode_wire_schema(payload);
      if (!schema) return std::nullopt;
      return Touched{schema->name + "/", true};
    }
    case opcode::DESCRIBE_TABLE:
    case opcode::DROP_TABLE: return Touched{std::string(payload) + "/", true};
    default: return std::nullopt;
  }
}

}  // namespace

std::optional<std::string> permission_refusal(const Message& request, const UserRecord& user) {
  std::uint8_t op = request.opcode;
  BytesView payload = request.payload;
  if (op == opcode::IN_TXN) {
    if (auto inner = decode_in_txn(payload)) {
      op = inner->op;
      payload = inner->payload;
    }
  }
  const RequestTraits* traits = request_traits(op);
  if (traits == nullptr) return std::nullopt;  // answered "Unknown opcode"
  if (static_cast<int>(user.role) < static_cast<int>(traits->access)) {
    return fmt::format("Permission denied: {} needs the {} role (user {} has {})", traits->name,
                       access_name(traits->access), debug_quote(user.name), role_name(user.role));
  }
  if (user.prefix.empty()) return std::nullopt;
  const auto t = touched(op, payload);
  if (!t || t->key.starts_with(user.prefix)) return std::nullopt;
  return fmt::format("Permission denied: {} {} {} outside the prefix {} of user {}",
                     t->prefix ? "the keys under" : "key", debug_quote(t->key),
                     t->prefix ? "are" : "is", debug_quote(user.prefix), debug_quote(user.name));
}

}  // namespace kavrel
