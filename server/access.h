// What a logged-in user may do: the least role of each request (protocol/requests.h) and, for a
// user with a key prefix, every key the request touches. A refusal is an ERROR "Permission
// denied: ..." and the request does nothing.
//
// The keys a request touches: PUT, GET, DELETE their key; PUT_PATH and GET_PATH the path's key;
// SCAN every key under its prefix (so the prefix must lie within the user's); QUERY,
// REGISTER_TABLE, DESCRIBE_TABLE and DROP_TABLE the table's rows, the keys under "NAME/"; an
// IN_TXN request those of the request it carries. Other requests touch no key.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "protocol/wire.h"
#include "storage/users.h"

namespace kavrel {

// The refusal text for user (role, prefix) sending request, or nullopt when it is allowed. A
// payload that does not decode is allowed here: the request's own decoding refuses it.
std::optional<std::string> permission_refusal(const Message& request, const UserRecord& user);

}  // namespace kavrel
