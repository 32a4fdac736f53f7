// The socket protocol as both ends see it: frame layout, opcodes, response codes, and the
// payload encodings a client writes and the scan listing a client reads. The server's payload
// decoders live in server/payloads.h.
//
// Frame (requests and responses alike; integers little-endian):
//   opcode  u8      request opcode (0x01..0x15, the rows of protocol/requests.cc) or response
//                   code 0x80..0x87
//   length  u32     number of payload bytes that follow
//   payload length bytes
// Requests and responses alternate strictly; the server never sends an unrequested frame.
//
// Request payloads:
//   PUT          key_len u32, key, value (the rest)
//   GET, DELETE  key (the whole payload)
//   COMMIT_TXN,  handle u64 (further bytes ignored)
//   ABORT_TXN
//   PUT_PATH     path encoding, then the value (the rest)
//   GET_PATH     path encoding (further bytes ignored)
//     path encoding: segment_count u16, then per segment: segment_len u16, segment (UTF-8)
//   QUERY        path_len u16, path, limit u32, offset u32, column_count u16,
//                then per column: name_len u16, name (UTF-8); 0 means no limit / no offset;
//                then optionally flags u8 (kQueryExactFloats: Float cells as the shortest text
//                that reads back to the same double instead of six digits after the point)
//   REGISTER_TABLE  name_len u16, name, column_count u16, then per column: name_len u16, name,
//                type u8 (0 Int, 1 UInt, 2 Float, 3 Text, 4 Binary, 5 Bool), nullable u8;
//                the whole payload must be valid UTF-8
//   SCAN         prefix (the whole payload, UTF-8)
//   EXECUTE_SQL  SQL text (the whole payload, UTF-8)
//   LIST_TABLES  payload ignored
//   DESCRIBE_TABLE  the table name (the whole payload)
//   DROP_TABLE   the table name (the whole payload); also inside IN_TXN
//   BACKUP       the backup directory: an absolute path on the server's machine (the whole
//                payload, UTF-8); not inside IN_TXN
//   BEGIN_TXN, CHECKPOINT, STATS, PING: payload ignored
//   IN_TXN       handle u64, inner opcode u8, then the inner request's payload as it is sent
//                alone (encode_in_txn / decode_in_txn); which requests it may carry is a column
//                of the table of requests
//
// Response payloads: OK and PONG empty; ERROR the message text; VALUE the value, TOON text, JSON
// or the scan listing; TXN_ID u64; STATS_JSON the statistics JSON.
//   scan listing: count u32, then per entry: key_len u16, key, value_len u32, value
//   LIST_TABLES: count u32, then per table in ascending name order: schema_len u32 and the
//                table's schema exactly as REGISTER_TABLE carries it
//   DESCRIBE_TABLE: the table's schema exactly as REGISTER_TABLE carries it
//   BACKUP: one JSON object, once the backup is durable and in place:
//           {"path":"/abs/dir","lsn":N,"keys":N,"tables":N,"bytes":N,"encrypted":false}
#pragma once

#include <algorithm>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/bytes.h"
#include "core/error.h"
#include "core/text.h"

namespace kavrel {

// The largest request payload the server accepts (a length equal to it is accepted).
inline constexpr std::uint64_t MAX_MESSAGE_SIZE = 16 * 1024 * 1024;
inline constexpr std::size_t FRAME_HEADER_SIZE = 5;
// The largest key a scan listing can carry (its key length field has 16 bits).
inline constexpr std::size_t MAX_SCAN_KEY_LEN = 0xFFFF;
// QUERY's optional flags byte.
inline constexpr std::uint8_t kQueryExactFloats = 0x01;

namespace opcode {
inline constexpr std::uint8_t PUT = 0x01;
inline constexpr std::uint8_t GET = 0x02;
inline constexpr std::uint8_t DELETE = 0x03;
inline constexpr std::uint8_t BEGIN_TXN = 0x04;
inline constexpr std::uint8_t COMMIT_TXN = 0x05;
inline constexpr std::uint8_t ABORT_TXN = 0x06;
inline constexpr std::uint8_t QUERY = 0x07;
inline constexpr std::uint8_t REGISTER_TABLE = 0x08;
inline constexpr std::uint8_t PUT_PATH = 0x09;
inline constexpr std::uint8_t GET_PATH = 0x0A;
inline constexpr std::uint8_t SCAN = 0x0B;
inline constexpr std::uint8_t CHECKPOINT = 0x0C;
inline constexpr std::uint8_t STATS = 0x0D;
inline constexpr std::uint8_t PING = 0x0E;
inline constexpr std::uint8_t EXECUTE_SQL = 0x0F;
inline constexpr std::uint8_t COMPACT = 0x10;
// IN_TXN: a request inside an explicit transaction (see above); the answer is the inner
// request's answer.
inline constexpr std::uint8_t IN_TXN = 0x11;
inline constexpr std::uint8_t LIST_TABLES = 0x12;
inline constexpr std::uint8_t DESCRIBE_TABLE = 0x13;
// DROP_TABLE: removes a registered table's schema and every row under "NAME/" in one durable
// step; OK, or ERROR "Table not found: NAME".
inline constexpr std::uint8_t DROP_TABLE = 0x14;
// BACKUP: writes a copy of the database at one commit point into a new directory on the
// server's machine (see storage/backup.h); VALUE with a JSON summary, or ERROR.
inline constexpr std::uint8_t BACKUP = 0x15;
// AUTH: one step of a login (SCRAM-SHA-256, protocol/scram.h), see AuthStep below. VALUE with
// the server's message of the step (after the last one the login holds), or ERROR
// "Authentication failed".
inline constexpr std::uint8_t AUTH = 0x16;
// USERS: user management, see UsersRequest below. OK (or VALUE with the listing), or ERROR.
inline constexpr std::uint8_t USERS = 0x17;
}  // namespace opcode

namespace response {
inline constexpr std::uint8_t OK = 0x80;
inline constexpr std::uint8_t ERROR = 0x81;
inline constexpr std::uint8_t VALUE = 0x82;
inline constexpr std::uint8_t TXN_ID = 0x83;
inline constexpr std::uint8_t STATS_JSON = 0x86;
inline constexpr std::uint8_t PONG = 0x87;
}  // namespace response

// One protocol frame in memory.
struct Message {
  std::uint8_t opcode = 0;
  Bytes payload;

  // The ERROR response carrying text.
  static Message error(std::string_view text) { return {response::ERROR, Bytes(text)}; }
  bool operator==(const Message&) const = default;
};

// The whole frame: header and payload. The length field carries the low 32 bits of the size.
inline Bytes encode_frame(std::uint8_t op, BytesView payload) {
  Bytes out;
  out.reserve(FRAME_HEADER_SIZE + payload.size());
  put_u8(out, op);
  put_u32(out, static_cast<std::uint32_t>(payload.size()));
  out.append(payload);
  return out;
}

inline Bytes encode_put(BytesView key, BytesView value) {
  Bytes out;
  out.reserve(4 + key.size() + value.size());
  put_u32(out, static_cast<std::uint32_t>(key.size()));
  out.append(key);
  out.append(value);
  return out;
}

inline Bytes encode_txn_handle(std::uint64_t handle) {
  Bytes out;
  put_u64(out, handle);
  return out;
}

// The path encoding followed by the remainder (the value of PUT_PATH). Counts and lengths are
// written as their low 16 bits; callers keep segments and their number below 65,536.
inline Bytes encode_path(const std::vector<std::string>& segments, BytesView remainder = {}) {
  Bytes out;
  put_u16(out, static_cast<std::uint16_t>(segments.size()));
  for (const auto& s : segments) {
    put_u16(out, static_cast<std::uint16_t>(s.size()));
    out.append(s);
  }
  out.append(remainder);
  return out;
}

inline Bytes encode_query(std::string_view path, std::uint32_t limit, std::uint32_t offset,
                          const std::vector<std::string>& columns, std::uint8_t flags = 0) {
  Bytes out;
  put_u16(out, static_cast<std::uint16_t>(path.size()));
  out.append(path);
  put_u32(out, limit);
  put_u32(out, offset);
  put_u16(out, static_cast<std::uint16_t>(columns.size()));
  for (const auto& c : columns) {
    put_u16(out, static_cast<std::uint16_t>(c.size()));
    out.append(c);
  }
  if (flags != 0) put_u8(out, flags);  // servers before the flags ignore it
  return out;
}

// A column of REGISTER_TABLE as it travels: type is the wire code 0..5 (Int, UInt, Float, Text,
// Binary, Bool); other codes are refused by the server.
struct WireColumn {
  std::string name;
  std::uint8_t type = 0;
  bool nullable = false;
};

// The names of the column types, by wire code, as the tools write them.
inline constexpr std::string_view kWireTypeNames[] = {"int",  "uint",   "float",
                                                      "text", "binary", "bool"};
inline constexpr std::uint8_t kMaxWireType = 5;

// A whole REGISTER_TABLE schema as it travels.
struct WireSchema {
  std::string name;
  std::vector<WireColumn> columns;
};

inline Bytes encode_schema(std::string_view name, const std::vector<WireColumn>& columns) {
  Bytes out;
  put_u16(out, static_cast<std::uint16_t>(name.size()));
  out.append(name);
  put_u16(out, static_cast<std::uint16_t>(columns.size()));
  for (const auto& c : columns) {
    put_u16(out, static_cast<std::uint16_t>(c.name.size()));
    out.append(c.name);
    put_u8(out, c.type);
    put_u8(out, c.nullable ? 1 : 0);
  }
  return out;
}

// Decodes a REGISTER_TABLE schema, or gives the text of the first check that fails, in this
// order: "Invalid UTF-8 in schema" (the whole payload), "Schema payload too short", "Schema name
// truncated", "Invalid UTF-8 in schema name", "Schema column count truncated", then per column
// "Column name length truncated", "Column name truncated", "Invalid UTF-8 in column name",
// "Column type/nullable truncated", "Invalid column type" (above 5), and last "Invalid UTF-8 in
// schema" again when the schema re-encoded is not valid UTF-8 (see below). A non-zero nullable
// byte is true; bytes after the last column are ignored. The server, its log and the client share
// it.
inline Result<WireSchema, std::string> decode_wire_schema(BytesView payload) {
  const auto fail = [](const char* text) { return std::unexpected(std::string(text)); };
  if (!is_valid_utf8(payload)) return fail("Invalid UTF-8 in schema");
  ByteReader r(payload);
  std::uint16_t name_len = 0;
  BytesView name;
  if (!r.read_u16(name_len)) return fail("Schema payload too short");
  if (!r.read_bytes(name_len, name)) return fail("Schema name truncated");
  if (!is_valid_utf8(name)) return fail("Invalid UTF-8 in schema name");
  std::uint16_t count = 0;
  if (!r.read_u16(count)) return fail("Schema column count truncated");
  WireSchema out{std::string(name), {}};
  bool normalized = false;  // a nullable byte above 1 was read
  out.columns.reserve(std::min<std::size_t>(count, r.remaining() / 4));
  for (std::uint16_t i = 0; i < count; ++i) {
    std::uint16_t len = 0;
    BytesView column_name;
    std::uint8_t type = 0, nullable = 0;
    if (!r.read_u16(len)) return fail("Column name length truncated");
    if (!r.read_bytes(len, column_name)) return fail("Column name truncated");
    if (!is_valid_utf8(column_name)) return fail("Invalid UTF-8 in column name");
    if (!r.read_u8(type) || !r.read_u8(nullable)) return fail("Column type/nullable truncated");
    if (type > kMaxWireType) return fail("Invalid column type");
    out.columns.push_back(WireColumn{std::string(column_name), type, nullable != 0});
    normalized = normalized || nullable > 1;
  }
  // A nullable byte above 1 is kept as 1. Where it began a UTF-8 sequence with the byte after it,
  // the schema as it is kept, logged and listed (encode_schema) would not be valid UTF-8 and
  // could not be read back: refused like a payload that is not.
  if (normalized && !is_valid_utf8(encode_schema(out.name, out.columns))) {
    return fail("Invalid UTF-8 in schema");
  }
  return out;
}

// The LIST_TABLES answer from schemas already encoded as REGISTER_TABLE carries them.
inline Bytes encode_table_list(const std::vector<Bytes>& encoded_schemas) {
  Bytes out;
  put_u32(out, static_cast<std::uint32_t>(encoded_schemas.size()));
  for (const auto& s : encoded_schemas) {
    put_u32(out, static_cast<std::uint32_t>(s.size()));
    out.append(s);
  }
  return out;
}

// The schemas of a LIST_TABLES answer, or nullopt if it is cut short or a schema is malformed.
inline std::optional<std::vector<WireSchema>> decode_table_list(BytesView payload) {
  ByteReader r(payload);
  std::uint32_t count = 0;
  if (!r.read_u32(count)) return std::nullopt;
  std::vector<WireSchema> out;
  out.reserve(std::min<std::size_t>(count, r.remaining() / 8));
  for (std::uint32_t i = 0; i < count; ++i) {
    std::uint32_t len = 0;
    BytesView encoded;
    if (!r.read_u32(len) || !r.read_bytes(len, encoded)) return std::nullopt;
    auto schema = decode_wire_schema(encoded);
    if (!schema) return std::nullopt;
    out.push_back(std::move(*schema));
  }
  return out;
}

// IN_TXN's payload: the handle, the inner opcode and the inner payload.
inline constexpr std::size_t IN_TXN_HEADER_SIZE = 9;
struct InTxn {
  std::uint64_t handle = 0;
  std::uint8_t op = 0;
  BytesView payload;  // views the IN_TXN payload
};
inline Bytes encode_in_txn(std::uint64_t handle, std::uint8_t op, BytesView payload) {
  Bytes out(IN_TXN_HEADER_SIZE, '\0');
  store_le<std::uint64_t>(out.data(), handle);
  out[8] = static_cast<char>(op);
  out.append(payload);
  return out;
}
// nullopt when the payload is shorter than the header.
inline std::optional<InTxn> decode_in_txn(BytesView payload) {
  if (payload.size() < IN_TXN_HEADER_SIZE) return std::nullopt;
  return InTxn{load_le<std::uint64_t>(payload.data()), static_cast<std::uint8_t>(payload[8]),
               payload.substr(IN_TXN_HEADER_SIZE)};
}

// AUTH's payload: u8 step, then for step 1 the mechanism (u16 length, bytes) and the client's
// first message (the rest), for step 2 the client's final message (the rest).
struct AuthStep {
  std::uint8_t step = 0;  // 1 or 2
  std::string mechanism;  // step 1 only
  std::string message;
};
inline Bytes encode_auth(const AuthStep& a) {
  Bytes out;
  put_u8(out, a.step);
  if (a.step == 1) {
    put_u16(out, static_cast<std::uint16_t>(a.mechanism.size()));
    out.append(a.mechanism);
  }
  out.append(a.message);
  return out;
}
// nullopt for a step other than 1 or 2, or a mechanism cut short.
inline std::optional<AuthStep> decode_auth(BytesView payload) {
  ByteReader r(payload);
  AuthStep a;
  if (!r.read_u8(a.step) || (a.step != 1 && a.step != 2)) return std::nullopt;
  if (a.step == 1) {
    std::uint16_t len = 0;
    BytesView mechanism;
    if (!r.read_u16(len) || !r.read_bytes(len, mechanism)) return std::nullopt;
    a.mechanism = mechanism;
  }
  a.message = r.rest();
  return a;
}

// USERS' payload: u8 action, then the fields of the action, each text a u16 length and its
// bytes, the role one byte (1 read, 2 write, 3 admin):
//   1 add     name, role, prefix, verifier
//   2 passwd  name, verifier
//   3 delete  name
//   4 list    nothing (VALUE: a JSON array of {"name", "role", "prefix"}, by name)
// A verifier is scram::Verifier::text(): the password itself never crosses the wire.
struct UsersRequest {
  enum Action : std::uint8_t { Add = 1, Passwd = 2, Delete = 3, List = 4 };
  std::uint8_t action = 0;
  std::string name;
  std::uint8_t role = 0;
  std::string prefix;
  std::string verifier;
};
inline Bytes encode_users(const UsersRequest& u) {
  Bytes out;
  put_u8(out, u.action);
  const auto text = [&out](const std::string& t) {
    put_u16(out, static_cast<std::uint16_t>(t.size()));
    out.append(t);
  };
  if (u.action == UsersRequest::List) return out;
  text(u.name);
  if (u.action == UsersRequest::Add) {
    put_u8(out, u.role);
    text(u.prefix);
  }
  if (u.action == UsersRequest::Add || u.action == UsersRequest::Passwd) text(u.verifier);
  return out;
}
// nullopt for an unknown action or fields cut short.
inline std::optional<UsersRequest> decode_users(BytesView payload) {
  ByteReader r(payload);
  UsersRequest u;
  const auto text = [&r](std::string& out) {
    std::uint16_t len = 0;
    BytesView bytes;
    if (!r.read_u16(len) || !r.read_bytes(len, bytes)) return false;
    out = bytes;
    return true;
  };
  if (!r.read_u8(u.action) || u.action < UsersRequest::Add || u.action > UsersRequest::List) {
    return std::nullopt;
  }
  if (u.action == UsersRequest::List) return u;
  if (!text(u.name)) return std::nullopt;
  if (u.action == UsersRequest::Add && (!r.read_u8(u.role) || !text(u.prefix))) {
    return std::nullopt;
  }
  if ((u.action == UsersRequest::Add || u.action == UsersRequest::Passwd) && !text(u.verifier)) {
    return std::nullopt;
  }
  return u;
}

using ScanListing = std::vector<std::pair<std::string, Bytes>>;

// Why a scan listing cannot carry its entries: a key longer than MAX_SCAN_KEY_LEN (its 16-bit
// length field would be truncated; key_len says how long), or else a value of 4 GiB or more or
// 2^32 entries or more (key_len 0).
struct ListingRefused {
  std::size_t key_len = 0;
};

// The scan listing of the entries, or why it cannot carry them.
inline std::expected<Bytes, ListingRefused> encode_scan_listing(const ScanListing& entries) {
  std::size_t total = 4;
  if (entries.size() > 0xFFFFFFFFu) return std::unexpected(ListingRefused{});
  for (const auto& [key, value] : entries) {
    if (key.size() > MAX_SCAN_KEY_LEN) return std::unexpected(ListingRefused{key.size()});
    if (value.size() > 0xFFFFFFFFu) return std::unexpected(ListingRefused{});
    total += 2 + key.size() + 4 + value.size();
  }
  Bytes out;
  out.reserve(total);
  put_u32(out, static_cast<std::uint32_t>(entries.size()));
  for (const auto& [key, value] : entries) {
    put_u16(out, static_cast<std::uint16_t>(key.size()));
    out.append(key);
    put_u32(out, static_cast<std::uint32_t>(value.size()));
    out.append(value);
  }
  return out;
}

// The entries of a scan listing, or nullopt if the bytes are cut short. Bytes after the last
// entry are ignored.
inline std::optional<ScanListing> decode_scan_listing(BytesView payload) {
  ByteReader r(payload);
  std::uint32_t count = 0;
  if (!r.read_u32(count)) return std::nullopt;
  ScanListing out;
  // Each entry takes at least 6 bytes; never reserve more than the payload could hold.
  out.reserve(std::min<std::size_t>(count, r.remaining() / 6));
  for (std::uint32_t i = 0; i < count; ++i) {
    std::uint16_t key_len = 0;
    std::uint32_t value_len = 0;
    BytesView key, value;
    if (!r.read_u16(key_len) || !r.read_bytes(key_len, key) || !r.read_u32(value_len) ||
        !r.read_bytes(value_len, value)) {
      return std::nullopt;
    }
    out.emplace_back(std::string(key), Bytes(value));
  }
  return out;
}

}  // namespace kavrel
