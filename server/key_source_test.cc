#include "server/key_source.h"

#include <sys/stat.h>

#include <cctype>
#include <cstdlib>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "core/text.h"
#include "tests/support/files.h"
#include "tests/support/temp_dir.h"

namespace kavrel::server {
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

class KeySourceTest : public ::testing::Test {
 protected:
  void SetUp() override { ::unsetenv(kKeyEnvVar); }
  void TearDown() override { ::unsetenv(kKeyEnvVar); }

  // A key file with the content and mode, its path.
  std::filesystem::path key_file(std::string_view content, mode_t mode = 0600) {
    const auto path = tmp_ / ("key" + std::to_string(++files_));
    testing::write_file(path, content);
    ::chmod(path.c_str(), mode);
    return path;
  }
  // The error for path, checked to name it and to hold nothing of the key.
  std::string error_of(const std::filesystem::path& path) {
    auto r = read_key_file(path);
    if (r.has_value()) return "<read>";
    EXPECT_NE(r.error().find(debug_quote(path.string())), std::string::npos) << r.error();
    EXPECT_EQ(r.error().find('\n'), std::string::npos) << "one line";
    expect_no_key_material(r.error());
    return r.error();
  }
  static void expect_no_key_material(const std::string& text) {
    for (const std::string& secret :
         {kHex.substr(0, 16), upper(kHex).substr(0, 16), kRaw.substr(0, 8)}) {
      EXPECT_EQ(text.find(secret), std::string::npos) << text;
    }
  }

  testing::TempDir tmp_;
  int files_ = 0;
};

TEST_F(KeySourceTest, KeyFileFormsThatAreRead) {
  const std::string forms[] = {kRaw, kHex, upper(kHex), kHex + "\n", kHex + "\r\n"};
  for (const std::string& form : forms) {
    SCOPED_TRACE(form.size());
    auto key = read_key_file(key_file(form, 0400));
    ASSERT_TRUE(key.has_value()) << key.error();
    EXPECT_EQ(key->view(), kRaw);
  }
}

TEST_F(KeySourceTest, KeyFilesThatAreRefused) {
  std::string bad_hex = kHex;
  bad_hex[40] = 'g';
  struct Case {
    const char* name;
    std::string content;
    mode_t mode;
    std::string error;  // after `key file "PATH" `
  };
  const Case cases[] = {
      {"31 raw bytes", kRaw.substr(0, 31), 0600,
       "holds 31 bytes; expected 32 raw bytes or 64 hexadecimal characters"},
      {"33 raw bytes", kRaw + "\n", 0600,
       "holds 33 bytes; expected 32 raw bytes or 64 hexadecimal characters"},
      {"63 hex characters", kHex.substr(1), 0600,
       "holds 63 bytes; expected 32 raw bytes or 64 hexadecimal characters"},
      {"two line endings", kHex + "\n\n", 0600,
       "holds 66 bytes; expected 32 raw bytes or 64 hexadecimal characters"},
      {"hex with a space before it", " " + kHex, 0600,
       "holds 65 bytes; expected 32 raw bytes or 64 hexadecimal characters"},
      {"long file", std::string(5000, 'a'), 0600,
       "holds 5000 bytes; expected 32 raw bytes or 64 hexadecimal characters"},
      {"empty", "", 0600, "holds 0 bytes; expected 32 raw bytes or 64 hexadecimal characters"},
      {"not hexadecimal", bad_hex, 0600, "holds 64 characters that are not all hexadecimal"},
      {"readable by all", kHex, 0644,
       "may be read or written by group or others (mode 644); allow its owner only (chmod 600)"},
      {"readable by the group", kRaw, 0640,
       "may be read or written by group or others (mode 640); allow its owner only (chmod 600)"},
      {"writable by others", kRaw, 0602,
       "may be read or written by group or others (mode 602); allow its owner only (chmod 600)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto path = key_file(c.content, c.mode);
    EXPECT_EQ(error_of(path), "key file " + debug_quote(path.string()) + " " + c.error);
  }
  const auto missing = tmp_ / "missing";
  EXPECT_EQ(error_of(missing), "key file " + debug_quote(missing.string()) +
                                   " cannot be read: No such file or directory (os error 2)");
  EXPECT_EQ(error_of(tmp_.path()),
            "key file " + debug_quote(tmp_.path().string()) + " is not a regular file");
  const auto fifo = tmp_ / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(error_of(fifo), "key file " + debug_quote(fifo.string()) + " is not a regular file");
}

TEST_F(KeySourceTest, HexKeyIsExactly64HexCharacters) {
  EXPECT_EQ(parse_hex_key(kHex).value().view(), kRaw);
  EXPECT_EQ(parse_hex_key(upper(kHex)).value().view(), kRaw);
  for (const std::string& bad : {kHex + "\n", kHex.substr(2), std::string(64, 'z'), std::string(),
                                 kHex.substr(0, 63) + "-"}) {
    EXPECT_FALSE(parse_hex_key(bad).has_value()) << bad;
  }
}

TEST_F(KeySourceTest, EncryptionFromTheFileOrTheEnvironmentNeverBoth) {
  const auto file = key_file(kHex);
  struct Case {
    const char* name;
    bool with_file;
    std::optional<std::string> env;
    std::string source;
    std::string error;
  };
  const Case cases[] = {
      {"neither", false, std::nullopt, "none", ""},
      {"file", true, std::nullopt, "key-file", ""},
      {"environment", false, kHex, "env", ""},
      {"environment in upper case", false, upper(kHex), "env", ""},
      {"both", true, kHex, "", "give the key by --key-file or by KAVREL_ENCRYPTION_KEY, not both"},
      {"environment not hexadecimal", false, std::string(64, 'x'), "",
       "KAVREL_ENCRYPTION_KEY must hold exactly 64 hexadecimal characters"},
      {"environment empty", false, "", "",
       "KAVREL_ENCRYPTION_KEY must hold exactly 64 hexadecimal characters"},
      {"environment with a line ending", false, kHex + "\n", "",
       "KAVREL_ENCRYPTION_KEY must hold exactly 64 hexadecimal characters"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Args args;
    if (c.with_file) args.key_file = file;
    if (c.env) {
      ASSERT_EQ(::setenv(kKeyEnvVar, c.env->c_str(), 1), 0);
    }
    auto r = encryption_from(args);
    EXPECT_EQ(std::getenv(kKeyEnvVar), nullptr) << "the variable is left in the environment";
    if (!c.error.empty()) {
      ASSERT_FALSE(r.has_value());
      EXPECT_EQ(r.error(), c.error);
      expect_no_key_material(r.error());
      continue;
    }
    ASSERT_TRUE(r.has_value()) << r.error();
    EXPECT_EQ(r->kek_source_id, c.source);
    if (c.source == "none") {
      EXPECT_FALSE(r->key.has_value());
    } else {
      ASSERT_TRUE(r->key.has_value());
      EXPECT_EQ(r->key->view(), kRaw);
    }
  }
}

}  // namespace
}  // namespace kavrel::server
