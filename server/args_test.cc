#include "server/args.h"

#include <gtest/gtest.h>

namespace kavrel::server {
namespace {

ParseOutcome parse(std::vector<std::string> args) {
  args.insert(args.begin(), "kavrel-server");
  return parse_args(args);
}

TEST(ArgsTest, DefaultsAndDerivedSocket) {
  auto r = parse({});
  ASSERT_TRUE(r.args);
  EXPECT_EQ(r.args->db, "./kavrel_data");
  EXPECT_EQ(r.args->socket_path(), "./kavrel_data/kavrel.sock");
  EXPECT_EQ(r.args->max_clients, 100u);
  EXPECT_EQ(r.args->timeout_ms, 30000u);
  EXPECT_EQ(r.args->level(), log::Level::Info);
}

TEST(ArgsTest, SocketDerivesFromDbUnlessGiven) {
  auto r = parse({"--db", "/srv/db"});
  ASSERT_TRUE(r.args);
  EXPECT_EQ(r.args->socket_path(), "/srv/db/kavrel.sock");
  r = parse({"-d", "/srv/db", "-s", "rel/x.sock"});
  ASSERT_TRUE(r.args);
  EXPECT_EQ(r.args->socket_path(), "rel/x.sock");
}

TEST(ArgsTest, LogLevelParsing) {
  struct Case {
    const char* text;
    log::Level want;
  };
  const Case cases[] = {
      {"DEBUG", log::Level::Debug},  {"Trace", log::Level::Trace},  {"warn", log::Level::Warn},
      {"ERROR", log::Level::Error},  {"verbose", log::Level::Info}, {"", log::Level::Info},
      {"warning", log::Level::Info}, {" info", log::Level::Info},   {"debug ", log::Level::Info},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    auto r = parse({"--log-level", c.text});
    ASSERT_TRUE(r.args);
    EXPECT_EQ(r.args->level(), c.want);
  }
}

TEST(ArgsTest, UsageErrorsExitWithStatus2) {
  const std::vector<std::vector<std::string>> cases = {
      {"--max-clients", "-1"}, {"--timeout-ms", "abc"},  {"--bogus"}, {"--db"},
      {"positional"},          {"--max-clients", "1.5"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c[0]);
    auto r = parse(c);
    EXPECT_FALSE(r.args);
    EXPECT_EQ(r.exit_status, 2);
    EXPECT_NE(r.err.find("error: "), std::string::npos);
    EXPECT_NE(r.err.find("--help"), std::string::npos);
  }
}

TEST(ArgsTest, ZeroClientsAccepted) {
  auto r = parse({"--max-clients", "0", "--timeout-ms", "1"});
  ASSERT_TRUE(r.args);
  EXPECT_EQ(r.args->max_clients, 0u);
  r = parse({"--max-clients", "+5"});
  ASSERT_TRUE(r.args);
  EXPECT_EQ(r.args->max_clients, 5u);
  for (const char* bad : {"+", "++5", "5 ", "0x10"}) {
    EXPECT_EQ(parse({"--max-clients", bad}).exit_status, 2) << bad;
  }
}

TEST(ArgsTest, TimeoutFromZeroToWhatPollCanWait) {
  for (const char* ok : {"0", "1", "2147483647"}) {
    auto r = parse({"--timeout-ms", ok});
    ASSERT_TRUE(r.args) << ok;
    EXPECT_EQ(r.args->timeout_ms, std::stoull(ok));
  }
  auto r = parse({"--timeout-ms", "2147483648"});
  EXPECT_EQ(r.exit_status, 2);
  EXPECT_NE(r.err.find("too large (at most 2147483647)"), std::string::npos) << r.err;
}

TEST(ArgsTest, EncryptionOptions) {
  struct Case {
    std::vector<std::string> argv;
    std::optional<std::filesystem::path> key_file;
    bool encrypt;
    std::optional<std::filesystem::path> rotate_key_file;
  };
  const Case cases[] = {
      {{}, std::nullopt, false, std::nullopt},
      {{"--key-file", "/etc/kavrel/kek"}, "/etc/kavrel/kek", false, std::nullopt},
      {{"--encrypt", "--key-file", "k"}, "k", true, std::nullopt},
      {{"--encrypt"}, std::nullopt, true, std::nullopt},  // the missing key is the start's error
      {{"--key-file", "old", "--rotate-key-file", "new"}, "old", false, "new"},
      {{"--rotate-key-file", "new"}, std::nullopt, false, "new"},  // the key may be in the env
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.argv));
    auto r = parse(c.argv);
    ASSERT_TRUE(r.args) << r.err;
    EXPECT_EQ(r.args->key_file, c.key_file);
    EXPECT_EQ(r.args->encrypt, c.encrypt);
    EXPECT_EQ(r.args->rotate_key_file, c.rotate_key_file);
  }
  struct Refused {
    std::vector<std::string> argv;
    const char* error;
  };
  const Refused refused[] = {
      {{"--rotate-key-file", "new", "--encrypt"}, "--encrypt excludes --rotate-key-file"},
      {{"--encrypt", "--rotate-key-file", "new"}, "excludes"},
      {{"--key-file"}, "--key-file"},
      {{"--rotate-key-file"}, "--rotate-key-file"},
      {{"--encrypt=maybe"}, "--encrypt"},
  };
  for (const Refused& c : refused) {
    SCOPED_TRACE(::testing::PrintToString(c.argv));
    auto r = parse(c.argv);
    EXPECT_FALSE(r.args);
    EXPECT_EQ(r.exit_status, 2);
    EXPECT_NE(r.err.find(c.error), std::string::npos) << r.err;
  }
  const std::string help = parse({"--help"}).out;
  for (const char* text :
       {"--key-file FILE", "KAVREL_ENCRYPTION_KEY", "--encrypt", "--rotate-key-file FILE"}) {
    EXPECT_NE(help.find(text), std::string::npos) << text;
  }
}

TEST(ArgsTest, HelpAndVersionExitZero) {
  auto help = parse({"--help"});
  EXPECT_FALSE(help.args);
  EXPECT_EQ(help.exit_status, 0);
  EXPECT_NE(help.out.find("Path to the Unix socket (default: <db>/kavrel.sock)"),
            std::string::npos);
  EXPECT_NE(help.out.find("Kavrel command-line tools"), std::string::npos);
  auto version = parse({"-V"});
  EXPECT_FALSE(version.args);
  EXPECT_EQ(version.exit_status, 0);
  EXPECT_EQ(version.out, "kavrel-server 2.1.0\n");
}

TEST(ArgsTest, NetworkOptions) {
  auto r = parse({"--listen", "127.0.0.1:7070", "--listen", "[::1]:7070", "--tls-cert", "c.pem",
                  "--tls-key", "k.pem", "--tls-ca", "ca.pem", "--tls-client-cert", "require"});
  ASSERT_TRUE(r.args) << r.err;
  EXPECT_EQ(r.args->listen, (std::vector<std::string>{"127.0.0.1:7070", "[::1]:7070"}));
  EXPECT_EQ(r.args->tls_cert, std::filesystem::path("c.pem"));
  EXPECT_EQ(r.args->tls_key, std::filesystem::path("k.pem"));
  EXPECT_EQ(r.args->tls_ca, std::filesystem::path("ca.pem"));
  EXPECT_TRUE(r.args->require_client_cert);
  EXPECT_FALSE(r.args->insecure_tcp);

  r = parse({"--listen", "127.0.0.1:0", "--insecure-tcp"});
  ASSERT_TRUE(r.args) << r.err;
  EXPECT_TRUE(r.args->insecure_tcp);
  EXPECT_FALSE(r.args->tls_cert);
  EXPECT_FALSE(parse({}).args->require_client_cert);  // nothing on the network by default
  EXPECT_TRUE(parse({}).args->listen.empty());
  EXPECT_FALSE(parse({}).args->unix_auth);
  EXPECT_TRUE(parse({"--unix-auth"}).args->unix_auth);

  struct Refused {
    std::vector<std::string> argv;
    const char* error;
  };
  const std::vector<Refused> refused = {
      {{"--listen", "127.0.0.1:7070"}, "needs --tls-cert and --tls-key"},
      {{"--tls-cert", "c.pem"}, "--tls-cert requires --tls-key"},
      {{"--tls-key", "k.pem"}, "--tls-key requires --tls-cert"},
      {{"--tls-cert", "c", "--tls-key", "k", "--tls-client-cert", "require"},
       "--tls-client-cert requires --tls-ca"},
      {{"--tls-cert", "c", "--tls-key", "k", "--tls-ca", "a", "--tls-client-cert", "always"},
       "always"},
      {{"--listen", "127.0.0.1:0", "--insecure-tcp", "--tls-cert", "c", "--tls-key", "k"},
       "excludes"},
  };
  for (const Refused& c : refused) {
    SCOPED_TRACE(c.argv[0]);
    auto bad = parse(c.argv);
    EXPECT_FALSE(bad.args);
    EXPECT_EQ(bad.exit_status, 2);
    EXPECT_NE(bad.err.find(c.error), std::string::npos) << bad.err;
  }
}

}  // namespace
}  // namespace kavrel::server
