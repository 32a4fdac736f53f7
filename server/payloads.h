// The server's side of the socket protocol: the request payload decoders. Frame layout, opcodes,
// response codes, Message and the encoders are shared with the client in protocol/wire.h.
//
// Every decoder is pure (no storage, no I/O), checks the payload in a fixed order and returns
// either the decoded request, whose views point into the payload, or the exact error text of the
// first check that fails. The texts carry no prefix: the handlers add "Protocol error: " for
// PUT, PUT_PATH and GET_PATH and send the others bare.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/bytes.h"
#include "core/error.h"
#include "protocol/wire.h"
#include "storage/table/schema.h"

namespace kavrel {

// A decoded payload, or the text of the first check that failed.
template <class T>
using DecodeResult = Result<T, std::string>;

struct PutRequest {
  BytesView key;
  BytesView value;
};

struct PathRequest {
  std::vector<std::string_view> segments;
  BytesView remainder;  // the value of PUT_PATH; ignored by GET_PATH

  // The storage key: the segments joined with "/" (zero segments give the empty key).
  std::string key() const;
};

struct QueryRequest {
  std::string_view path;
  std::uint32_t limit = 0;   // 0: no limit
  std::uint32_t offset = 0;  // 0: no offset
  std::vector<std::string_view> columns;
  // The optional flags byte after the columns; bit 0: floats in their shortest exact form.
  bool exact_floats = false;
};

// "PUT payload too short", "PUT payload key truncated".
DecodeResult<PutRequest> decode_put(BytesView payload);

// The client transaction handle of COMMIT_TXN or ABORT_TXN (op selects the name in
// "<NAME> requires txn_id"). Bytes after the first 8 are ignored.
DecodeResult<std::uint64_t> decode_txn_handle(std::uint8_t op, BytesView payload);

// "Path payload too short", "Path segment length truncated", "Path segment truncated",
// "Invalid UTF-8 in path".
DecodeResult<PathRequest> decode_path(BytesView payload);

// "Query payload too short", "Query path truncated", "Invalid UTF-8 in query path",
// "Query limit/offset truncated", "Query columns count truncated",
// "Query column length truncated", "Query column truncated", "Invalid UTF-8 in query column".
DecodeResult<QueryRequest> decode_query(BytesView payload);

// "Invalid UTF-8 in schema" (the whole payload, checked first), "Schema payload too short",
// "Schema name truncated", "Invalid UTF-8 in schema name", "Schema column count truncated",
// "Column name length truncated", "Column name truncated", "Invalid UTF-8 in column name",
// "Column type/nullable truncated", "Invalid column type" (type above 5). A non-zero nullable
// byte is true.
DecodeResult<TableSchema> decode_schema(BytesView payload);

}  // namespace kavrel
