// Whole-file reads and writes for tests.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace kavrel::testing {

// The file's bytes; empty when it cannot be read (for example when it does not exist).
std::string read_file(const std::filesystem::path& path);

// Creates or truncates the file and writes the bytes.
void write_file(const std::filesystem::path& path, std::string_view bytes);

}  // namespace kavrel::testing
