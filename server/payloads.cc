#include "server/payloads.h"

#include <algorithm>
#include <utility>

#include "core/text.h"

namespace kavrel {
namespace {

std::unexpected<std::string> decode_error(std::string text) {
  return std::unexpected(std::move(text));
}

// The error texts of one u16-length-prefixed UTF-8 text of a payload, by what is wrong with it.
struct TextErrors {
  const char* length_missing;
  const char* truncated;
  const char* invalid_utf8;
};

// One u16-length-prefixed UTF-8 text.
DecodeResult<std::string_view> read_text(ByteReader& r, const TextErrors& errors) {
  std::uint16_t len = 0;
  BytesView text;
  if (!r.read_u16(len)) return decode_error(errors.length_missing);
  if (!r.read_bytes(len, text)) return decode_error(errors.truncated);
  if (!is_valid_utf8(text)) return decode_error(errors.invalid_utf8);
  return text;
}

// count texts, each u16-length-prefixed UTF-8.
DecodeResult<std::vector<std::string_view>> read_texts(ByteReader& r, std::uint16_t count,
                                                       const TextErrors& errors) {
  std::vector<std::string_view> out;
  // Each text takes at least its 2-byte length; never reserve more than the payload could hold.
  out.reserve(std::min<std::size_t>(count, r.remaining() / 2));
  for (std::uint16_t i = 0; i < count; ++i) {
    auto text = read_text(r, errors);
    if (!text) return std::unexpected(std::move(text.error()));
    out.push_back(*text);
  }
  return out;
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
  auto segments = read_texts(
      r, count,
      {"Path segment length truncated", "Path segment truncated", "Invalid UTF-8 in path"});
  if (!segments) return std::unexpected(std::move(segments.error()));
  PathRequest out;
  out.segments = std::move(*segments);
  out.remainder = r.rest();
  return out;
}

DecodeResult<QueryRequest> decode_query(BytesView payload) {
  ByteReader r(payload);
  auto path = read_text(
      r, {"Query payload too short", "Query path truncated", "Invalid UTF-8 in query path"});
  if (!path) return std::unexpected(std::move(path.error()));
  QueryRequest out;
  out.path = *path;
  if (!r.read_u32(out.limit) || !r.read_u32(out.offset)) {
    return decode_error("Query limit/offset truncated");
  }
  std::uint16_t count = 0;
  if (!r.read_u16(count)) return decode_error("Query columns count truncated");
  auto columns = read_texts(
      r, count,
      {"Query column length truncated", "Query column truncated", "Invalid UTF-8 in query column"});
  if (!columns) return std::unexpected(std::move(columns.error()));
  out.columns = std::move(*columns);
  // Clients before the flags byte send nothing here (and bytes here were ignored).
  std::uint8_t flags = 0;
  if (r.read_u8(flags)) out.exact_floats = (flags & kQueryExactFloats) != 0;
  return out;
}

DecodeResult<TableSchema> decode_schema(BytesView payload) {
  auto wire = decode_wire_schema(payload);
  if (!wire) return decode_error(std::move(wire.error()));
  return from_wire_schema(std::move(*wire));
}

}  // namespace kavrel
