#include "cli/server_errors.h"

#include <string>

#include <gtest/gtest.h>

#include "protocol/errors.h"

namespace kavrel::cli {
namespace {

// What a person reads for a server error: the line Session prints (text_for_user) and the hint.
TEST(ServerErrorsTest, ConflictsAreNoInternalErrorsAndHintsFollowTheClass) {
  struct Case {
    std::string server_text, shown;
    std::optional<std::string_view> hint;
  };
  const std::string ssi =
      "Validation error: transaction aborted: SSI validation failed (serialization conflict) or "
      "transaction not found";
  const Case cases[] = {
      {"Internal error: Write-write conflict detected", "Write-write conflict detected",
       "another transaction is writing this key; retry once it has committed"},
      {"Transaction 2 aborted: Internal error: Write-write conflict detected; retry from "
       "BEGIN_TXN",
       "Transaction 2 aborted: Write-write conflict detected; retry from BEGIN_TXN",
       "the transaction was aborted: run 'begin' and its commands again"},
      {ssi, ssi,
       "the transaction was aborted: a concurrent commit changed what it read; run 'begin' and "
       "its commands again"},
      {"Table not found: t", "Table not found: t",
       "'kavrel-cli tables' lists the registered tables"},
      {"Invalid argument: Table not found: t", "Invalid argument: Table not found: t",
       "'kavrel-cli tables' lists the registered tables"},
      {"Transaction not found: 42", "Transaction not found: 42", std::nullopt},
      // An internal error that is no conflict stays one.
      {"Internal error: Transaction not found", "Internal error: Transaction not found",
       std::nullopt},
      {"Invalid argument: Prefix too short: 1 bytes (minimum 2 required). Use scan_unchecked() "
       "for unrestricted scans.",
       "Invalid argument: Prefix too short: 1 bytes (minimum 2 required). Use scan_unchecked() "
       "for unrestricted scans.",
       "scan lists keys by a prefix of at least 2 bytes; there is no scan of every key"},
      {"Authentication required", "Authentication required",
       "the server asks for a login: give --user NAME (the password from a prompt, "
       "KAVREL_PASSWORD or ~/.kavrelpass)"},
      {"Authentication failed", "Authentication failed", "check the user name and the password"},
      {"Permission denied: PUT needs the write role (user \"r\" has read)",
       "Permission denied: PUT needs the write role (user \"r\" has read)",
       "nothing was done; 'kavrel-cli user list' (as an admin) shows each user's role and key "
       "prefix"},
      {"User not found: bob", "User not found: bob", "'kavrel-cli user list' lists the users"},
      {"User already exists: bob", "User already exists: bob",
       "'kavrel-cli user passwd NAME' gives an existing user a new password"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.server_text);
    EXPECT_EQ(text_for_user(c.server_text), c.shown);
    EXPECT_EQ(server_error_hint(c.server_text), c.hint);
  }
}

}  // namespace
}  // namespace kavrel::cli
