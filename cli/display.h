// How kavrel-cli shows bytes to people and reads values from them: clean text as it is, other
// bytes escaped, hexadecimal on request, and values taken from an argument, a file or standard
// input.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>

#include "core/bytes.h"
#include "core/error.h"

namespace kavrel::cli {

// True when the bytes are valid UTF-8 without control characters (C0, DEL or C1), so that
// printing them cannot disturb a terminal or a line-based listing.
bool is_clean_text(BytesView bytes);

// The escaped form: double quotes around the bytes; printable UTF-8 kept, `"` and `\` preceded
// by a backslash, \n \r \t \0 for those controls and \xNN for every other control byte and every
// byte of an invalid UTF-8 sequence.
std::string escape_bytes(BytesView bytes);

// Clean text as it is, anything else in its escaped form.
std::string display_bytes(BytesView bytes);

// The number of terminal columns a clean UTF-8 text takes (one per code point).
std::size_t display_width(std::string_view text);

// Where a value argument takes its bytes from: "-" is standard input, "@path" the contents of a
// file, "@@..." the argument with its first "@" removed, anything else the argument itself. With
// hex, the text (whitespace ignored) is decoded from hexadecimal. Errors are texts for people.
Result<Bytes, std::string> resolve_value(std::string_view arg, bool hex, std::FILE* in = stdin);

}  // namespace kavrel::cli
