// The text of OpenSSL's queued errors, for the error texts of the TLS on both ends (the server's
// streams and contexts, the load generator's connections).
#pragma once

#include <openssl/err.h>

#include <string>
#include <string_view>

namespace kavrel {

// The queued errors of this thread, oldest first, joined by "; " (the queue is left empty), or
// `fallback` when none is queued.
inline std::string openssl_errors(std::string_view fallback = "unknown error") {
  std::string text;
  while (const unsigned long code = ERR_get_error()) {
    char line[256];
    ERR_error_string_n(code, line, sizeof line);
    if (!text.empty()) text += "; ";
    text += line;
  }
  return text.empty() ? std::string(fallback) : text;
}

}  // namespace kavrel
