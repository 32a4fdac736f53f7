#include "ipc/protocol.h"

#include <utility>

#include "core/text.h"

namespace kavrel {
namespace {

std::unexpected<std::string> decode_error(std::string text) {
  return std::unexpected(std::move(text));
}

}  // namespace

std::string PathRequest::key() const {
  std::string out;
  for (std::size_t i = 0; i < segments.size(); ++i) {
    if (i > 0) out.push_back('/');
    out.append(segments[i]);
  }
  return out;
}

DecodeResult<PutRequest> decode_put(BytesView payload) {
  ByteReader r(payload);
  std::uint32_t key_len = 0;
  if (!r.read_u32(key_len)) return decode_error("PUT payload too short");
  PutRequest out;
  if (!r.read_bytes(key_len, out.key)) return decode_error("PUT payload key truncated");
  out.value = r.rest();
  return out;
}

DecodeResult<std::uint64_t> decode_txn_handle(std::uint8_t op, BytesView payload) {
  ByteReader r(payload);
  std::uint64_t handle = 0;
  if (!r.read_u64(handle)) {
    return decode_error(op == opcode::COMMIT_TXN ? "COMMIT_TXN requires txn_id"
                                                 : "ABORT_TXN requires txn_id");
  }
  return handle;
}

DecodeResult<PathRequest> decode_path(BytesView payload) {
  ByteReader r(payload);
  std::uint16_t count = 0;
  if (!r.read_u16(count)) return decode_error("Path payload too short");
  PathRequest out;
  out.segments.reserve(std::min<std::size_t>(count, r.remaining() / 2));
  for (std::uint16_t i = 0; i < count; ++i) {
    std::uint16_t len = 0;
    BytesView segment;
    if (!r.read_u16(len)) return decode_error("Path segment length truncated");
    if (!r.read_bytes(len, segment)) return decode_error("Path segment truncated");
    if (!is_valid_utf8(segment)) return decode_error("Invalid UTF-8 in path");
    out.segments.push_back(segment);
  }
  out.remainder = r.rest();
  return out;
}

DecodeResult<QueryRequest> decode_query(BytesView payload) {
  ByteReader r(payload);
  std::uint16_t path_len = 0;
  if (!r.read_u16(path_len)) return decode_error("Query payload too short");
  QueryRequest out;
  if (!r.read_bytes(path_len, out.path)) return decode_error("Query path truncated");
  if (!is_valid_utf8(out.path)) return decode_error("Invalid UTF-8 in query path");
  if (!r.read_u32(out.limit) || !r.read_u32(out.offset)) {
    return decode_error("Query limit/offset truncated");
  }
  std::uint16_t count = 0;
  if (!r.read_u16(count)) return decode_error("Query columns count truncated");
  out.columns.reserve(std::min<std::size_t>(count, r.remaining() / 2));
  for (std::uint16_t i = 0; i < count; ++i) {
    std::uint16_t len = 0;
    BytesView name;
    if (!r.read_u16(len)) return decode_error("Query column length truncated");
    if (!r.read_bytes(len, name)) return decode_error("Query column truncated");
    if (!is_valid_utf8(name)) return decode_error("Invalid UTF-8 in query column");
    out.columns.push_back(name);
  }
  return out;
}

DecodeResult<TableSchema> decode_schema(BytesView payload) {
  auto wire = decode_wire_schema(payload);
  if (!wire) return decode_error(std::move(wire.error()));
  return from_wire_schema(std::move(*wire));
}

}  // namespace kavrel
