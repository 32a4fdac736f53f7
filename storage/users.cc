#include "storage/users.h"

#include <utility>

#include <fmt/format.h>

#include "core/text.h"

namespace kavrel {
namespace {

KavrelError damaged(std::string_view name, std::string_view why) {
  return KavrelError::corruption(
      fmt::format("user record {} is damaged: {}", debug_quote(name), why));
}

// A u32 length and that many bytes, or nullopt when the bytes end first.
std::optional<BytesView> read_field(ByteReader& in) {
  std::uint32_t size = 0;
  BytesView out;
  if (!in.read_u32(size) || !in.read_bytes(size, out)) return std::nullopt;
  return out;
}

}  // namespace

std::optional<Role> parse_role(std::string_view text) {
  if (text == "read") return Role::Read;
  if (text == "write") return Role::Write;
  if (text == "admin") return Role::Admin;
  return std::nullopt;
}

const char* role_name(Role role) {
  switch (role) {
    case Role::Read: return "read";
    case Role::Write: return "write";
    case Role::Admin: return "admin";
  }
  return "unknown";
}

bool is_known_role(Role role) {
  switch (role) {
    case Role::Read:
    case Role::Write:
    case Role::Admin: return true;
  }
  return false;
}

Bytes encode_user(const UserRecord& user) {
  Bytes out;
  out.reserve(9 + user.prefix.size() + user.verifier.size());
  put_u8(out, static_cast<std::uint8_t>(user.role));
  put_u32(out, static_cast<std::uint32_t>(user.prefix.size()));
  out += user.prefix;
  put_u32(out, static_cast<std::uint32_t>(user.verifier.size()));
  out += user.verifier;
  return out;
}

Result<UserRecord> decode_user(std::string name, BytesView bytes) {
  // Only whole records of a name that put_user accepts decode: anything else is damage, and a
  // user is never served from part of a record.
  if (name.empty()) return fail(damaged(name, "its name is empty"));
  if (name.size() > kMaxUserNameSize) {
    return fail(damaged(name, fmt::format("its name is longer than {} bytes", kMaxUserNameSize)));
  }
  ByteReader in(bytes);
  std::uint8_t role = 0;
  if (!in.read_u8(role)) return fail(damaged(name, "it is empty"));
  if (!is_known_role(static_cast<Role>(role))) {
    return fail(damaged(name, fmt::format("unknown role {}", role)));
  }
  const auto prefix = read_field(in);
  if (!prefix) return fail(damaged(name, "it ends inside its prefix"));
  const auto verifier = read_field(in);
  if (!verifier) return fail(damaged(name, "it ends inside its verifier"));
  if (verifier->empty()) return fail(damaged(name, "its verifier is empty"));
  if (in.remaining() != 0) {
    return fail(damaged(name, fmt::format("{} bytes follow its verifier", in.remaining())));
  }
  UserRecord user;
  user.name = std::move(name);
  user.role = static_cast<Role>(role);
  user.prefix = Bytes(*prefix);
  user.verifier = Bytes(*verifier);
  return user;
}

}  // namespace kavrel
