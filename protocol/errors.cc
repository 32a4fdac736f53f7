#include "protocol/errors.h"

#include <charconv>

namespace kavrel {

std::optional<std::uint64_t> ended_transaction(std::string_view text) {
  std::string_view number;
  switch (classify_error(text)) {
    case ErrorClass::TransactionNotFound:
      number = text.substr(std::string_view("Transaction not found: ").size());
      break;
    case ErrorClass::TransactionAborted:
      number = text.substr(std::string_view("Transaction ").size());
      break;
    default: return std::nullopt;
  }
  std::uint64_t handle = 0;
  const auto [ptr, ec] = std::from_chars(number.data(), number.data() + number.size(), handle);
  if (ec != std::errc() || ptr == number.data()) return std::nullopt;
  return handle;
}

std::string text_for_user(std::string_view text) {
  switch (classify_error(text)) {
    case ErrorClass::WriteConflict:
      text.remove_prefix(std::string_view("Internal error: ").size());
      return std::string(text);
    case ErrorClass::TransactionAborted: {
      // The cause is shown as it would be on its own; the words around it stay.
      const std::string_view cause = abort_cause(text);
      const std::size_t at = static_cast<std::size_t>(cause.data() - text.data());
      return std::string(text.substr(0, at)) + text_for_user(cause) +
             std::string(text.substr(at + cause.size()));
    }
    default: return std::string(text);
  }
}

}  // namespace kavrel
