#include "cli/server_errors.h"

#include "protocol/errors.h"

namespace kavrel::cli {

std::optional<std::string_view> server_error_hint(std::string_view server_text) {
  switch (classify_error(server_text)) {
    case ErrorClass::WriteConflict:
      return "another transaction is writing this key; retry once it has committed";
    case ErrorClass::SerializationFailure:
      return "the transaction was aborted: a concurrent commit changed what it read; run 'begin' "
             "and its commands again";
    case ErrorClass::TransactionAborted:
      return "the transaction was aborted: run 'begin' and its commands again";
    case ErrorClass::TableNotFound: return "'kavrel-cli tables' lists the registered tables";
    case ErrorClass::AuthenticationRequired:
      return "the server asks for a login: give --user NAME (the password from a prompt, "
             "KAVREL_PASSWORD or ~/.kavrelpass)";
    case ErrorClass::AuthenticationFailed: return "check the user name and the password";
    case ErrorClass::PermissionDenied:
      return "nothing was done; 'kavrel-cli user list' (as an admin) shows each user's role and "
             "key prefix";
    case ErrorClass::TransactionNotFound: return std::nullopt;
    case ErrorClass::Other: break;
  }
  // Refusals that name what kavrel-cli users cannot call: the hint says what they have instead.
  struct Hint {
    std::string_view names, hint;
  };
  static constexpr Hint kHints[] = {
      {"scan_unchecked()",
       "scan lists keys by a prefix of at least 2 bytes; there is no scan of every key"},
      {"User not found: ", "'kavrel-cli user list' lists the users"},
      {"User already exists: ",
       "'kavrel-cli user passwd NAME' gives an existing user a new password"},
      {"Python SDK",
       "SQL runs in the Python package's SQL shell: kavrel-sql (or python3 -m "
       "kavrel.sql_shell); kavrel-cli itself has query, scan, get and insert"},
  };
  for (const Hint& h : kHints) {
    if (server_text.find(h.names) != std::string_view::npos) return h.hint;
  }
  return std::nullopt;
}

}  // namespace kavrel::cli
