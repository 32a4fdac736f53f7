// The requests of the protocol, one row each: what the connection and the handler know of a
// request besides how to answer it. A new opcode is added here, and to the handler's dispatch.
#pragma once

#include <cstdint>

#include "protocol/wire.h"

namespace kavrel {

// The least a user must be allowed to run a request (see Role in storage/users.h: read <
// write < admin).
enum class Access : std::uint8_t { Read = 1, Write = 2, Admin = 3 };

struct RequestTraits {
  const char* name;
  // Sent alone, a single write committed together with the writes next to it (and of other
  // connections), or a single read answered with the reads next to it from one snapshot.
  bool single_write;
  bool single_read;
  // May wait (a sync, a scan of a table, a snapshot of the whole state): run off the loop.
  bool long_running;
  // May be carried by IN_TXN.
  bool in_txn;
  Access access;
};

// The row of op, or nullptr for an opcode the protocol does not have.
const RequestTraits* request_traits(std::uint8_t op);

bool is_single_write(std::uint8_t op);
bool is_single_read(std::uint8_t op);
// Whether the request may wait; an IN_TXN request by the request it carries.
bool may_take_long(const Message& request);

}  // namespace kavrel
