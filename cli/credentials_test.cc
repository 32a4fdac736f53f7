#include "cli/credentials.h"

#include <sys/stat.h>

#include <fstream>
#include <map>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "tests/support/temp_dir.h"

namespace kavrel::cli {
namespace {

// Password sources standing in for the process's: variables, a home directory, and answers to
// the prompts (none left: no terminal), with the prompts and warnings seen.
struct FakeSources {
  std::map<std::string, std::string> env;
  std::vector<std::string> answers;
  std::vector<std::string> prompts, warnings;
  std::filesystem::path home;

  PasswordSources get() {
    PasswordSources s;
    s.env = [this](const char* name) -> std::optional<std::string> {
      const auto it = env.find(name);
      if (it == env.end() || it->second.empty()) return std::nullopt;
      return it->second;
    };
    s.home = home;
    s.ask = [this](const std::string& prompt) -> std::optional<std::string> {
      prompts.push_back(prompt);
      if (answers.empty()) return std::nullopt;
      std::string a = answers.front();
      answers.erase(answers.begin());
      return a;
    };
    s.warn = [this](const std::string& line) { warnings.push_back(line); };
    return s;
  }
};

TEST(CredentialsTest, PassFileLinesMatchTheServerAndTheUser) {
  const std::string file =
      "# comment\n"
      "\n"
      "  # indented comment\n"
      "db.example.com:7000:alice:first\n"
      "broken line\n"
      "db.example.com:*:alice:any-port\n"
      "\\:\\:1:7000:alice:on-v6\n"
      "*:*:bob:pass:with:colons\r\n"
      "/srv/kavrel.sock:*:carol:by-socket\n"
      "/srv/kavrel.sock:7000:erin:needs-a-port\n"
      "*:7000:\\\\x:escaped\\\\\n";
  struct Case {
    const char* name;
    PassKey key;
    std::optional<std::string> password;
    std::vector<std::size_t> malformed;
  };
  const Case cases[] = {
      {"first matching line wins", {"db.example.com", "7000", "alice"}, "first", {}},
      {"port wildcard", {"db.example.com", "7001", "alice"}, "any-port", {5}},
      {"escaped colons in the host", {"::1", "7000", "alice"}, "on-v6", {5}},
      {"host and port wildcards; the rest is the password",
       {"h", "1", "bob"},
       "pass:with:colons",
       {5}},
      {"the Unix socket by its path", {"/srv/kavrel.sock", "", "carol"}, "by-socket", {5}},
      {"the Unix socket needs the port *", {"/srv/kavrel.sock", "", "erin"}, std::nullopt, {5}},
      {"escaped backslash", {"h", "7000", "\\x"}, "escaped\\", {5}},
      {"no line for the user", {"db.example.com", "7000", "dave"}, std::nullopt, {5}},
      {"names match exactly", {"DB.example.com", "7000", "alice"}, std::nullopt, {5}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const PassFileMatch m = find_password(file, c.key);
    EXPECT_EQ(m.password, c.password);
    EXPECT_EQ(m.malformed_lines, c.malformed);
  }
}

class LoginPasswordTest : public ::testing::Test {
 protected:
  void write_pass_file(const std::string& text, mode_t mode) {
    const auto file = dir_.path() / kPassFileName;
    std::ofstream(file) << text;
    ASSERT_EQ(::chmod(file.c_str(), mode), 0);
  }
  testing::TempDir dir_;
  FakeSources fake_{{}, {}, {}, {}, dir_.path()};
  const PassKey key_{"h", "7000", "alice"};
};

TEST_F(LoginPasswordTest, TheVariableComesFirstThenTheFileThenThePrompt) {
  write_pass_file("h:7000:alice:from-file\n", 0600);
  fake_.env[kPasswordEnv] = "from-env";
  fake_.answers = {"from-prompt"};
  EXPECT_EQ(login_password(fake_.get(), key_), "from-env");
  fake_.env[kPasswordEnv] = "";  // empty: unset
  EXPECT_EQ(login_password(fake_.get(), key_), "from-file");
  EXPECT_TRUE(fake_.prompts.empty());
  write_pass_file("other:7000:alice:x\n", 0400);
  EXPECT_EQ(login_password(fake_.get(), key_), "from-prompt");
  EXPECT_EQ(fake_.prompts, std::vector<std::string>{"Password for alice: "});
  // No terminal left to ask on.
  EXPECT_EQ(login_password(fake_.get(), key_).error(),
            "no password for user \"alice\": set KAVREL_PASSWORD, add a line for it to "
            "~/.kavrelpass, or run on a terminal to be asked");
}

TEST_F(LoginPasswordTest, AFileOthersMayReadIsRefusedWithoutReadingIt) {
  fake_.answers = {"from-prompt"};
  for (const mode_t mode : {0644, 0640, 0604, 0660, 0602}) {
    SCOPED_TRACE(mode);
    write_pass_file("h:7000:alice:secret-in-file\n", mode);
    auto got = login_password(fake_.get(), key_);
    ASSERT_FALSE(got.has_value());
    const std::string file = (dir_.path() / kPassFileName).string();
    EXPECT_EQ(got.error(), fmt::format("\"{}\" may be read or written by others (mode {:04o}): "
                                       "its passwords are not used; make it private with: chmod "
                                       "600 {}",
                                       file, mode, file));
  }
  EXPECT_TRUE(fake_.prompts.empty());
  // The variable needs no file: a bad one is not looked at.
  fake_.env[kPasswordEnv] = "from-env";
  EXPECT_EQ(login_password(fake_.get(), key_), "from-env");
}

TEST_F(LoginPasswordTest, MalformedLinesAreSkippedWithAWarningThatShowsNoSecret) {
  write_pass_file("h:7000:secret-looking-line\nh:7000:alice:ok\n", 0600);
  EXPECT_EQ(login_password(fake_.get(), key_), "ok");
  ASSERT_EQ(fake_.warnings.size(), 1u);
  EXPECT_EQ(fake_.warnings[0], (dir_.path() / kPassFileName).string() +
                                   " line 1 is not host:port:user:password; skipped");
}

TEST(NewPasswordTest, SourcesInOrder) {
  struct Case {
    const char* name;
    std::map<std::string, std::string> env;
    bool login_takes_password;
    std::vector<std::string> answers;
    std::string password;  // "": refused with error
    std::string error;
    std::size_t prompts;
  };
  const std::vector<Case> cases = {
      {"KAVREL_NEW_PASSWORD first",
       {{kNewPasswordEnv, "new"}, {kPasswordEnv, "pw"}},
       false,
       {},
       "new",
       "",
       0},
      {"KAVREL_PASSWORD when the login takes none", {{kPasswordEnv, "pw"}}, false, {}, "pw", "", 0},
      {"not KAVREL_PASSWORD when the login uses it",
       {{kPasswordEnv, "pw"}},
       true,
       {"typed", "typed"},
       "typed",
       "",
       2},
      {"asked twice", {}, false, {"typed", "typed"}, "typed", "", 2},
      {"the two differ",
       {},
       false,
       {"typed", "other"},
       "",
       "the two passwords differ; nothing was changed",
       2},
      {"empty", {}, false, {"", ""}, "", "the new password is empty", 2},
      {"no terminal, login by password",
       {{kPasswordEnv, "pw"}},
       true,
       {},
       "",
       "no new password for user \"bob\": set KAVREL_NEW_PASSWORD, or run on a terminal to be "
       "asked",
       1},
      {"no terminal, no login",
       {},
       false,
       {},
       "",
       "no new password for user \"bob\": set KAVREL_NEW_PASSWORD (or KAVREL_PASSWORD), or run "
       "on a terminal to be asked",
       1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeSources fake{c.env, c.answers, {}, {}, {}};
    const auto got = new_password(fake.get(), "bob", c.login_takes_password);
    EXPECT_EQ(got.value_or(""), c.password);
    EXPECT_EQ(got ? "" : got.error(), c.error);
    EXPECT_EQ(fake.prompts.size(), c.prompts);
    if (c.prompts == 2) {
      EXPECT_EQ(fake.prompts[1], "New password for bob again: ");
    }
  }
}

}  // namespace
}  // namespace kavrel::cli
