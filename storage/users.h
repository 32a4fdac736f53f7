// The users of a database: who may log in (a SCRAM-SHA-256 verifier, never a password), with
// which role, and under which key prefix. Users are kept durably beside the tables' schemas (in
// the log and in the snapshot) and are invisible to data requests: no key, scan or query shows
// them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/bytes.h"
#include "core/error.h"

namespace kavrel {

// Each role may do what the one before it may, and more:
//   Read:  GET, GET_PATH, SCAN, QUERY, LIST_TABLES, DESCRIBE_TABLE, STATS, PING
//   Write: + PUT, DELETE, PUT_PATH, transactions, REGISTER_TABLE, DROP_TABLE, EXECUTE_SQL
//   Admin: + CHECKPOINT, COMPACT, BACKUP, user management
enum class Role : std::uint8_t { Read = 1, Write = 2, Admin = 3 };

// "read", "write", "admin"; nullopt for another text.
std::optional<Role> parse_role(std::string_view text);
const char* role_name(Role role);  // "unknown" for a value that is no Role
// Whether role is one of the three above (a Role made from any other byte is not).
bool is_known_role(Role role);

// The longest user name, in bytes.
inline constexpr std::size_t kMaxUserNameSize = 255;

struct UserRecord {
  std::string name;  // 1 to 255 bytes
  Role role = Role::Read;
  std::string prefix;    // every key the user touches starts with it; empty: any key
  std::string verifier;  // scram::Verifier::text()
  bool operator==(const UserRecord&) const = default;
};

// The record's bytes in the log and the snapshot (the name is the record's key):
//   u8 role, u32 prefix length, prefix, u32 verifier length, verifier.
// Integers are little-endian. This is the value of a User log record (WalRecordType::User).
Bytes encode_user(const UserRecord& user);
// The record of name from its bytes; a Corruption error for bytes that are not one:
// 'user record "NAME" is damaged: WHY', WHY one of "its name is empty", "its name is longer
// than 255 bytes", "it is empty", "unknown role N", "it ends inside its prefix", "it ends inside
// its verifier", "its verifier is empty", "N bytes follow its verifier".
Result<UserRecord> decode_user(std::string name, BytesView bytes);

}  // namespace kavrel
