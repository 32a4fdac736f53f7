// Splits a line of the interactive shell into words, as a POSIX shell would for plain commands:
// blanks separate words; '...' keeps its text as it is; "..." understands \" \\ \n \t \r \0 and
// \xNN; outside quotes a backslash keeps the next character as it is. A line whose first word
// starts with # is a comment.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"

namespace kavrel::cli {

// The words of the line (none for a blank line or a comment), or a text saying what is wrong
// (an unterminated quote or escape).
Result<std::vector<std::string>, std::string> split_words(std::string_view line);

}  // namespace kavrel::cli
