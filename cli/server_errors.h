// How kavrel-cli shows the server's ERROR texts to people: as protocol/errors.h's text_for_user
// gives them (a conflict is no "Internal error:"), with a hint of what to do next chosen by the
// error's class.
#pragma once

#include <optional>
#include <string_view>

namespace kavrel::cli {

// The hint shown after a server's error text (an ERROR answer, or the refusal in an
// EXECUTE_SQL answer), if there is one.
std::optional<std::string_view> server_error_hint(std::string_view server_text);

}  // namespace kavrel::cli
