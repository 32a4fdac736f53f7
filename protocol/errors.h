// The ERROR answers clients act on, one row each: what a text means (retry the transaction,
// start a new one, the thing named is missing). The texts are the server's, unchanged since
// clients first read them; the server makes them from its error kinds, and every client
// classifies them through this table (the Python client mirrors it, and both are tested against
// the cases in protocol/error_cases.tsv). A client decides by the class, never by a text of its
// own: a new text that clients act on is a new row here, in kavrel/errors.py, and in the cases.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kavrel {

enum class ErrorClass : std::uint8_t {
  Other,  // shown as it is; nothing to retry
  // Another transaction's write of the key was pending: the write (a lone one waited for it
  // first) or its transaction failed. Retried from a new transaction.
  WriteConflict,
  // The commit's serializable validation refused the transaction. Retried from a new one.
  SerializationFailure,
  // "Transaction N aborted: <cause>; retry from BEGIN_TXN": a write inside the transaction
  // failed and ended it (the cause is classified by its own text).
  TransactionAborted,
  // The handle names no open transaction of this connection (ended, or never begun).
  TransactionNotFound,
  TableNotFound,
  // The connection must log in (AUTH) before anything else.
  AuthenticationRequired,
  // A login was refused (an unknown user or a wrong password: the text does not say which).
  AuthenticationFailed,
  // The user's role, or its key prefix, does not allow the request; nothing was done.
  PermissionDenied,
};

struct ErrorText {
  ErrorClass error_class;
  std::string_view prefix;    // the text starts with it
  std::string_view contains;  // and holds this after the prefix (empty: anything)
};

// Matched in order: the first row that fits decides.
inline constexpr ErrorText kErrorTexts[] = {
    {ErrorClass::WriteConflict, "Internal error: Write-write conflict detected", ""},
    {ErrorClass::SerializationFailure, "Validation error: transaction aborted", ""},
    {ErrorClass::TransactionNotFound, "Transaction not found: ", ""},
    {ErrorClass::TransactionAborted, "Transaction ", " aborted: "},
    {ErrorClass::TableNotFound, "Table not found: ", ""},
    // The storage's refusal, when the table went between the server's check and a DROP_TABLE.
    {ErrorClass::TableNotFound, "Invalid argument: Table not found: ", ""},
    {ErrorClass::AuthenticationRequired, "Authentication required", ""},
    {ErrorClass::AuthenticationFailed, "Authentication failed", ""},
    {ErrorClass::PermissionDenied, "Permission denied: ", ""},
};

// The texts of the login and the permission checks.
inline constexpr std::string_view kAuthenticationRequired = "Authentication required";
inline constexpr std::string_view kAuthenticationFailed = "Authentication failed";

constexpr ErrorClass classify_error(std::string_view text) {
  for (const ErrorText& row : kErrorTexts) {
    if (!text.starts_with(row.prefix)) continue;
    if (row.contains.empty() ||
        text.substr(row.prefix.size()).find(row.contains) != std::string_view::npos) {
      return row.error_class;
    }
  }
  return ErrorClass::Other;
}

// The cause in "Transaction N aborted: <cause>; retry from BEGIN_TXN" (the error that ended the
// transaction, as the server renders it); empty for a text of any other class.
constexpr std::string_view abort_cause(std::string_view text) {
  constexpr std::string_view kAborted = " aborted: ";
  constexpr std::string_view kRetry = "; retry from BEGIN_TXN";
  if (classify_error(text) != ErrorClass::TransactionAborted) return {};
  std::string_view cause = text.substr(text.find(kAborted) + kAborted.size());
  if (cause.ends_with(kRetry)) cause.remove_suffix(kRetry.size());
  return cause;
}

// Whether the transaction is over and a retry from a new one may succeed: a conflict or a
// refused validation, or a transaction ended by either.
constexpr bool is_retryable(std::string_view text) {
  switch (classify_error(text)) {
    case ErrorClass::WriteConflict:
    case ErrorClass::SerializationFailure: return true;
    case ErrorClass::TransactionAborted: return is_retryable(abort_cause(text));
    default: return false;
  }
}

// The handle of the transaction a text says is over: N of "Transaction N aborted: ..." and of
// "Transaction not found: N". nullopt for other texts.
std::optional<std::uint64_t> ended_transaction(std::string_view text);

// The text to show a person: a conflict is not an internal error, so its "Internal error: " is
// left out, also where it is the cause of an aborted transaction (the wire keeps it, for the
// clients that read it). Every other text is shown as it is.
std::string text_for_user(std::string_view text);

}  // namespace kavrel
