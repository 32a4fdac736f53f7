// Encryption at rest through the real binary: a database created with --encrypt and a key file
// is sealed on disk (log and snapshot) and serves its data again with the key; a missing, wrong
// or unusable key refuses the start with one line and leaves the directory exactly as it was; the
// key may come from KAVREL_ENCRYPTION_KEY instead; an offline rotation re-wraps the data key
// without rewriting data. No key material appears in anything the server prints.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "clients/cpp/kavrel_client.h"
#include "tests/support/files.h"
#include "tests/support/server_process.h"
#include "tests/support/temp_dir.h"

namespace kavrel::testing {
namespace {

namespace fs = std::filesystem;

constexpr const char* kReady = "Kavrel server ready, accepting connections";
constexpr const char* kMarker = "plaintext-marker";  // in every value written
constexpr int kKeys = 40;
const std::string kHexA = "00112233445566778899aabbccddeeff0123456789abcdef1032547698badcfe";
const std::string kHexB = "f0e1d2c3b4a5968778695a4b3c2d1e0ffedcba98765432100123456789abcdef";

const std::string kWrongKey =
    "ERROR kavrel_server: Failed to open database: Encryption error: keyring authentication "
    "failed: wrong encryption key or tampered keyring; refusing to open\n";
const std::string kNoKey =
    "ERROR kavrel_server: Failed to open database: Encryption error: database has a keyring "
    "(encryption configured) but no encryption key was provided (set the KEK, e.g. "
    "KAVREL_ENCRYPTION_KEY); refusing to open\n";
const std::string kInPlace =
    "ERROR kavrel_server: Failed to open database: Encryption error: an encryption key was "
    "provided for a database that has no keyring (existing plaintext data must be migrated "
    "explicitly, not encrypted in place); refusing to open\n";

std::string value_of(int i) { return std::string(kMarker) + "-" + std::to_string(i * 31); }

class EncryptionE2eTest : public ::testing::Test {
 protected:
  void SetUp() override { ::unsetenv("KAVREL_ENCRYPTION_KEY"); }

  fs::path db() const { return tmp_ / "db"; }
  fs::path socket() const { return db() / "kavrel.sock"; }

  // A key file holding hex and a line ending, with the mode.
  fs::path key_file(const std::string& name, const std::string& hex, mode_t mode = 0600) const {
    const fs::path path = tmp_ / name;
    write_file(path, hex + "\n");
    ::chmod(path.c_str(), mode);
    return path;
  }
  std::vector<std::string> args(std::vector<std::string> more = {}) const {
    more.insert(more.begin(), {"--db", db().string()});
    return more;
  }
  static std::vector<std::string> env_with_key(const std::string& hex) {
    return {"NO_COLOR=1", "KAVREL_ENCRYPTION_KEY=" + hex};
  }

  // Every entry of the directory: name -> bytes (regular files) or "<other>".
  std::map<std::string, std::string> dir_state() const {
    std::map<std::string, std::string> out;
    for (const auto& e : fs::directory_iterator(db())) {
      out[e.path().filename()] = e.is_regular_file() ? read_file(e.path()) : "<other>";
    }
    return out;
  }

  // The same entries with the same bytes (named, not dumped: they are sealed binary).
  static void expect_same_state(const std::map<std::string, std::string>& before,
                                const std::map<std::string, std::string>& after) {
    std::vector<std::string> names_before, names_after;
    for (const auto& [name, bytes] : before) names_before.push_back(name);
    for (const auto& [name, bytes] : after) names_after.push_back(name);
    EXPECT_EQ(names_after, names_before);
    for (const auto& [name, bytes] : before) {
      const auto it = after.find(name);
      EXPECT_TRUE(it == after.end() || it->second == bytes) << name << " was changed";
    }
  }

  static void expect_no_key_material(const std::string& text) {
    for (const std::string& hex : {kHexA, kHexB}) {
      for (std::size_t at = 0; at + 16 <= hex.size(); at += 16) {
        EXPECT_EQ(text.find(hex.substr(at, 16)), std::string::npos) << text;
      }
    }
  }

  // Starts the server, runs body on a client once it is ready, then stops it with SIGINT.
  void serve(const std::vector<std::string>& server_args, const std::vector<std::string>& env,
             const std::function<void(Client&)>& body) {
    ServerProcess server(server_args, tmp_.path(), env);
    ASSERT_TRUE(server.wait_ready(socket())) << server.stdout_text() << server.stderr_text();
    {
      auto client = Client::connect(socket());
      ASSERT_TRUE(client.has_value());
      body(*client);
    }
    server.signal(SIGINT);
    EXPECT_EQ(server.wait_exit(), 0);
    expect_no_key_material(server.stdout_text() + server.stderr_text());
    last_stdout_ = server.stdout_text();
  }

  void expect_all_values(Client& c) {
    for (int i = 0; i < kKeys; ++i) {
      EXPECT_EQ(c.get("enc/" + std::to_string(i)).value_or("<error>"), value_of(i)) << i;
    }
  }

  // Runs the binary to its end: its status, and standard output and error checked for keys.
  CommandResult run(const std::vector<std::string>& server_args,
                    const std::vector<std::string>& env = {"NO_COLOR=1"}) {
    std::vector<std::string> argv = server_args;
    argv.insert(argv.begin(), KAVREL_SERVER_BIN);
    CommandResult r = run_command(argv, "", env);
    expect_no_key_material(r.out + r.err);
    return r;
  }

  TempDir tmp_;
  std::string last_stdout_;
};

TEST_F(EncryptionE2eTest, SealedOnDiskServedWithTheKeyRefusedWithoutItAndLeftUntouched) {
  const fs::path key_a = key_file("a.key", kHexA);
  serve(args({"--encrypt", "--key-file", key_a.string()}), {"NO_COLOR=1"}, [&](Client& c) {
    for (int i = 0; i < kKeys; ++i) {
      ASSERT_TRUE(c.put("enc/" + std::to_string(i), value_of(i)).has_value());
      if (i == kKeys / 2) {
        ASSERT_TRUE(c.checkpoint().has_value());
        ASSERT_TRUE(c.compact().has_value());  // the first half goes to the snapshot
      }
    }
    ASSERT_TRUE(c.checkpoint().has_value());
  });
  EXPECT_NE(last_stdout_.find("The database is encrypted at rest (key from --key-file)"),
            std::string::npos)
      << last_stdout_;
  const auto sealed = dir_state();
  ASSERT_TRUE(sealed.contains("wal.snapshot"));
  ASSERT_TRUE(sealed.contains("keyring.json"));
  EXPECT_NE(sealed.at("keyring.json").find(R"("kek_source_id":"key-file")"), std::string::npos);
  for (const auto& [name, bytes] : sealed) {
    EXPECT_EQ(bytes.find(kMarker), std::string::npos) << name << " holds a value in clear";
    EXPECT_EQ(bytes.find("enc/"), std::string::npos) << name << " holds a key in clear";
  }

  serve(args({"--key-file", key_a.string()}), {"NO_COLOR=1"},
        [&](Client& c) { expect_all_values(c); });

  const fs::path key_b = key_file("b.key", kHexB);
  const fs::path shared_a = key_file("shared.key", kHexA, 0644);
  struct Case {
    const char* name;
    std::vector<std::string> args;
    std::vector<std::string> env;
    std::string line;
  };
  const Case cases[] = {
      {"no key", args(), {"NO_COLOR=1"}, kNoKey},
      {"wrong key file", args({"--key-file", key_b.string()}), {"NO_COLOR=1"}, kWrongKey},
      {"wrong key in the environment", args(), env_with_key(kHexB), kWrongKey},
      {"--encrypt without a key",
       args({"--encrypt"}),
       {"NO_COLOR=1"},
       "ERROR kavrel_server: --encrypt needs a key: give --key-file FILE or set "
       "KAVREL_ENCRYPTION_KEY\n"},
      {"both ways at once", args({"--key-file", key_a.string()}), env_with_key(kHexA),
       "ERROR kavrel_server: Failed to load the encryption key: give the key by --key-file or "
       "by KAVREL_ENCRYPTION_KEY, not both\n"},
      {"key file readable by others",
       args({"--key-file", shared_a.string()}),
       {"NO_COLOR=1"},
       "ERROR kavrel_server: Failed to load the encryption key: key file \"" + shared_a.string() +
           "\" may be read or written by group or others (mode 644); allow its owner only "
           "(chmod 600)\n"},
      {"environment variable not hexadecimal", args(), env_with_key(std::string(64, 'x')),
       "ERROR kavrel_server: Failed to load the encryption key: KAVREL_ENCRYPTION_KEY must hold "
       "exactly 64 hexadecimal characters\n"},
  };
  const auto before = dir_state();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const CommandResult r = run(c.args, c.env);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.out.ends_with(c.line)) << r.out;
    EXPECT_EQ(r.out.find(kReady), std::string::npos);
    expect_same_state(before, dir_state());
  }

  serve(args(), env_with_key(kHexA), [&](Client& c) { expect_all_values(c); });
  EXPECT_NE(last_stdout_.find("(key from KAVREL_ENCRYPTION_KEY)"), std::string::npos);
}

TEST_F(EncryptionE2eTest, AKeyEncryptsANewDatabaseAndIsRefusedForAPlaintextOne) {
  const fs::path key_a = key_file("a.key", kHexA);
  // A key alone, without --encrypt, creates a new database encrypted.
  serve(args({"--key-file", key_a.string()}), {"NO_COLOR=1"},
        [&](Client& c) { ASSERT_TRUE(c.put("enc/0", value_of(0)).has_value()); });
  EXPECT_TRUE(fs::exists(db() / "keyring.json"));
  EXPECT_EQ(read_file(db() / "wal.log").find(kMarker), std::string::npos);

  fs::remove_all(db());
  serve(args(), {"NO_COLOR=1"},
        [&](Client& c) { ASSERT_TRUE(c.put("enc/0", value_of(0)).has_value()); });
  EXPECT_NE(read_file(db() / "wal.log").find(kMarker), std::string::npos) << "in clear here";
  for (const auto& extra : std::vector<std::vector<std::string>>{
           {"--key-file", key_a.string()}, {"--encrypt", "--key-file", key_a.string()}}) {
    SCOPED_TRACE(extra.front());
    const CommandResult r = run(args(extra));
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.out.ends_with(kInPlace)) << r.out;
    EXPECT_FALSE(fs::exists(db() / "keyring.json"));
  }
  serve(args(), {"NO_COLOR=1"},
        [&](Client& c) { EXPECT_EQ(c.get("enc/0").value_or("<error>"), value_of(0)); });
}

TEST_F(EncryptionE2eTest, RotationReWrapsTheKeyOfflineWithoutRewritingData) {
  const fs::path key_a = key_file("a.key", kHexA);
  const fs::path key_b = key_file("b.key", kHexB);
  const auto rotate_args =
      args({"--key-file", key_a.string(), "--rotate-key-file", key_b.string()});
  {
    ServerProcess server(args({"--encrypt", "--key-file", key_a.string()}), tmp_.path());
    ASSERT_TRUE(server.wait_ready(socket())) << server.stdout_text();
    auto client = Client::connect(socket());
    ASSERT_TRUE(client.has_value());
    for (int i = 0; i < kKeys; ++i) {
      ASSERT_TRUE(client->put("enc/" + std::to_string(i), value_of(i)).has_value());
    }
    // Refused while the server holds the directory.
    const std::string keyring = read_file(db() / "keyring.json");
    const CommandResult r = run(rotate_args);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("ERROR kavrel_server: Failed to rotate the key of \"" + db().string() +
                         "\": Lock error: Lock acquisition timed out after 5s"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(read_file(db() / "keyring.json"), keyring);
    server.signal(SIGINT);
    EXPECT_EQ(server.wait_exit(), 0);
  }

  // A wrong current key is refused before anything is touched.
  const auto before = dir_state();
  CommandResult r = run(args({"--key-file", key_b.string(), "--rotate-key-file", key_a.string()}));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("ERROR kavrel_server: Failed to rotate the key of \"" + db().string() +
                       "\": Encryption error: keyring authentication failed"),
            std::string::npos)
      << r.out;
  expect_same_state(before, dir_state());

  r = run(rotate_args);
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << r.out;
  EXPECT_NE(r.out.find("INFO kavrel_server: Rotated the key of \"" + db().string() +
                       "\": its data key is now wrapped under the key of \"" + key_b.string() +
                       "\"; no data was rewritten\n"),
            std::string::npos)
      << r.out;
  auto after = dir_state();
  EXPECT_NE(after["keyring.json"], before.at("keyring.json"));
  for (const auto& [name, bytes] : before) {
    if (name != "keyring.json" && name != ".lock") {
      EXPECT_EQ(after[name], bytes) << name;
    }
  }
  EXPECT_FALSE(after.contains("kavrel.sock")) << "the rotation does not serve";

  r = run(args({"--key-file", key_a.string()}));
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(r.out.ends_with(kWrongKey)) << r.out;
  serve(args({"--key-file", key_b.string()}), {"NO_COLOR=1"},
        [&](Client& c) { expect_all_values(c); });
}

}  // namespace
}  // namespace kavrel::testing
