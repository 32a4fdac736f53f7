#include "storage/key_file.h"

#include <sys/stat.h>

#include <cctype>
#include <cstdlib>
#include <optional>
#include <string>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "core/text.h"
#include "tests/support/files.h"
#include "tests/support/temp_dir.h"

namespace kavrel {
namespace {

// 32 key bytes with every nibble value in them, and their hex forms.
const std::string kRaw = [] {
  std::string raw;
  for (int i = 0; i < 32; ++i) raw.push_back(static_cast<char>(i * 37 + 11));
  return raw;
}();
const std::string kHex = to_hex(kRaw);

std::string upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

void expect_no_key_material(const std::string& text) {
  for (const std::string& secret :
       {kHex.substr(0, 16), upper(kHex).substr(0, 16), kRaw.substr(0, 8)}) {
    EXPECT_EQ(text.find(secret), std::string::npos) << text;
  }
}

class KeyFileTest : public ::testing::Test {
 protected:
  void SetUp() override { ::unsetenv(kKeyEnvVar); }
  void TearDown() override { ::unsetenv(kKeyEnvVar); }

  testing::TempDir tmp_;
};

// What stands at the --key-file path of a case.
enum class File { None, Content, Missing, Directory, Fifo };

constexpr const char* kWrongSize =
    "holds {} bytes; expected 32 raw bytes or 64 hexadecimal characters";
constexpr const char* kOpenMode =
    "may be read or written by group or others (mode {}); allow its owner only (chmod 600)";
constexpr const char* kBadVariable =
    "KAVREL_ENCRYPTION_KEY must hold exactly 64 hexadecimal characters";
constexpr const char* kBoth = "give the key by --key-file or by KAVREL_ENCRYPTION_KEY, not both";

TEST_F(KeyFileTest, KeyFromTheFileOrTheVariableNeverBoth) {
  std::string bad_hex = kHex;
  bad_hex[40] = 'g';
  struct Case {
    const char* name;
    File file = File::None;
    std::string content;
    mode_t mode = 0600;
    std::optional<std::string> env;
    KeyVariable variable = KeyVariable::Remove;
    std::string source;  // on success: "none", "key-file" or "env"
    std::string error;   // a file's error follows `key file "PATH" `
  };
  const Case cases[] = {
      {.name = "neither", .source = "none"},
      // The forms a key file may hold.
      {.name = "raw bytes",
       .file = File::Content,
       .content = kRaw,
       .mode = 0400,
       .source = "key-file"},
      {.name = "hex", .file = File::Content, .content = kHex, .mode = 0400, .source = "key-file"},
      {.name = "hex in upper case",
       .file = File::Content,
       .content = upper(kHex),
       .source = "key-file"},
      {.name = "hex, LF", .file = File::Content, .content = kHex + "\n", .source = "key-file"},
      {.name = "hex, CRLF",
       .file = File::Content,
       .content = upper(kHex) + "\r\n",
       .source = "key-file"},
      // Key files refused.
      {.name = "31 raw bytes",
       .file = File::Content,
       .content = kRaw.substr(0, 31),
       .error = fmt::format(kWrongSize, 31)},
      {.name = "33 raw bytes",
       .file = File::Content,
       .content = kRaw + "\n",
       .error = fmt::format(kWrongSize, 33)},
      {.name = "63 hex characters",
       .file = File::Content,
       .content = kHex.substr(1),
       .error = fmt::format(kWrongSize, 63)},
      {.name = "two line endings",
       .file = File::Content,
       .content = kHex + "\n\n",
       .error = fmt::format(kWrongSize, 66)},
      {.name = "hex with a space before it",
       .file = File::Content,
       .content = " " + kHex,
       .error = fmt::format(kWrongSize, 65)},
      {.name = "long file",
       .file = File::Content,
       .content = std::string(5000, 'a'),
       .error = fmt::format(kWrongSize, 5000)},
      {.name = "empty file", .file = File::Content, .error = fmt::format(kWrongSize, 0)},
      {.name = "not hexadecimal",
       .file = File::Content,
       .content = bad_hex,
       .error = "holds 64 characters that are not all hexadecimal"},
      {.name = "readable by all",
       .file = File::Content,
       .content = kHex,
       .mode = 0644,
       .error = fmt::format(kOpenMode, 644)},
      {.name = "readable by the group",
       .file = File::Content,
       .content = kRaw,
       .mode = 0640,
       .error = fmt::format(kOpenMode, 640)},
      {.name = "writable by others",
       .file = File::Content,
       .content = kRaw,
       .mode = 0602,
       .error = fmt::format(kOpenMode, 602)},
      {.name = "missing",
       .file = File::Missing,
       .error = "cannot be read: No such file or directory (os error 2)"},
      {.name = "directory", .file = File::Directory, .error = "is not a regular file"},
      {.name = "FIFO", .file = File::Fifo, .error = "is not a regular file"},
      // The variable.
      {.name = "variable", .env = kHex, .source = "env"},
      {.name = "variable in upper case", .env = upper(kHex), .source = "env"},
      {.name = "variable kept", .env = kHex, .variable = KeyVariable::Keep, .source = "env"},
      {.name = "variable not hexadecimal", .env = std::string(64, 'x'), .error = kBadVariable},
      {.name = "variable empty", .env = "", .error = kBadVariable},
      {.name = "variable with a line ending", .env = kHex + "\n", .error = kBadVariable},
      {.name = "variable of 62 characters", .env = kHex.substr(2), .error = kBadVariable},
      {.name = "variable with a dash", .env = kHex.substr(0, 63) + "-", .error = kBadVariable},
      {.name = "variable refused and kept",
       .env = "xyz",
       .variable = KeyVariable::Keep,
       .error = kBadVariable},
      // Both.
      {.name = "both", .file = File::Content, .content = kHex, .env = kHex, .error = kBoth},
      {.name = "both, variable kept",
       .file = File::Content,
       .content = kHex,
       .env = kHex,
       .variable = KeyVariable::Keep,
       .error = kBoth},
      {.name = "both, the file refused", .file = File::Missing, .env = kHex, .error = kBoth},
  };
  int files = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::optional<std::filesystem::path> path;
    switch (c.file) {
      case File::None: break;
      case File::Content:
        path = tmp_ / ("key" + std::to_string(++files));
        testing::write_file(*path, c.content);
        ASSERT_EQ(::chmod(path->c_str(), c.mode), 0);
        break;
      case File::Missing: path = tmp_ / "missing"; break;
      case File::Directory: path = tmp_.path(); break;
      case File::Fifo:
        path = tmp_ / "fifo";
        if (!std::filesystem::exists(*path)) {
          ASSERT_EQ(::mkfifo(path->c_str(), 0600), 0);
        }
        break;
    }
    if (c.env) {
      ASSERT_EQ(::setenv(kKeyEnvVar, c.env->c_str(), 1), 0);
    } else {
      ::unsetenv(kKeyEnvVar);
    }

    auto r = key_from(path, c.variable);

    const char* left = std::getenv(kKeyEnvVar);
    if (c.env && c.variable == KeyVariable::Keep) {
      ASSERT_NE(left, nullptr) << "the variable is taken out of the environment";
      EXPECT_EQ(left, *c.env);
    } else {
      EXPECT_EQ(left, nullptr) << "the variable is left in the environment";
    }
    if (!c.error.empty()) {
      ASSERT_FALSE(r.has_value());
      const bool file_error = c.file != File::None && c.error != kBoth;
      EXPECT_EQ(r.error(),
                file_error ? "key file " + debug_quote(path->string()) + " " + c.error : c.error);
      EXPECT_EQ(r.error().find('\n'), std::string::npos) << "one line";
      expect_no_key_material(r.error());
      if (file_error) {
        // read_key_file alone says the same.
        auto direct = read_key_file(*path);
        ASSERT_FALSE(direct.has_value());
        EXPECT_EQ(direct.error(), r.error());
      }
      if (c.error == kBadVariable) {
        EXPECT_FALSE(parse_hex_key(*c.env).has_value());
      }
      continue;
    }
    ASSERT_TRUE(r.has_value()) << r.error();
    EXPECT_EQ(r->kek_source_id, c.source);
    if (c.source == "none") {
      EXPECT_FALSE(r->key.has_value());
      continue;
    }
    ASSERT_TRUE(r->key.has_value());
    EXPECT_EQ(r->key->view(), kRaw);
    if (path) {
      auto direct = read_key_file(*path);
      ASSERT_TRUE(direct.has_value()) << direct.error();
      EXPECT_EQ(direct->view(), kRaw);
    } else {
      auto parsed = parse_hex_key(*c.env);
      ASSERT_TRUE(parsed.has_value());
      EXPECT_EQ(parsed->view(), kRaw);
    }
  }
}

}  // namespace
}  // namespace kavrel
