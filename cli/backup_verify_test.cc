// kavrel-cli backup --verify: a backup's files checked here, without a server, and the key of an
// encrypted one (storage/key_file.h).
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "cli/command_line.h"
#include "cli/session.h"
#include "storage/backup.h"
#include "storage/key_file.h"
#include "tests/support/files.h"
#include "tests/support/temp_dir.h"

namespace kavrel::cli {
namespace {

namespace fs = std::filesystem;

const std::string kHexKey(64, 'a');
const EncryptionKey kKey(Bytes(32, '\xaa'));

// The status and the output of one command line run by a session of its own, without a server.
struct Ran {
  int status;
  std::string out, err;
};
Ran run(const std::vector<std::string>& words) {
  const ParsedLine parsed = parse_command_line(words, false);
  if (!parsed.invocation) return {parsed.status, parsed.out, parsed.err};
  std::FILE* out = std::tmpfile();
  std::FILE* err = std::tmpfile();
  SessionOptions options;
  options.connect.socket = "/nonexistent/kavrel.sock";  // nothing here may connect
  options.out = out;
  options.err = err;
  int status = 0;
  {
    Session session(options);
    status = session.run(*parsed.invocation);
  }
  const auto text = [](std::FILE* f) {
    std::string s;
    if (std::fseek(f, 0, SEEK_SET) != 0) return s;
    for (int c; (c = std::fgetc(f)) != EOF;) s.push_back(static_cast<char>(c));
    std::fclose(f);
    return s;
  };
  return {status, text(out), text(err)};
}

class BackupVerifyTest : public ::testing::Test {
 protected:
  void SetUp() override { ::unsetenv(kKeyEnvVar); }
  void TearDown() override { ::unsetenv(kKeyEnvVar); }

  // A backup of a small database, encrypted or not.
  fs::path make_backup(const std::string& name, bool encrypted) {
    const StorageEncryption enc = encrypted ? StorageEncryption{"test", kKey} : StorageEncryption{};
    auto db = Database::open(tmp_ / ("db-" + name), enc);
    EXPECT_TRUE(db) << db.error().message();
    Database::Transaction txn = (*db)->begin();
    for (int i = 0; i < 50; ++i) {
      EXPECT_TRUE((*db)->write_key(txn.id(), fmt::format("k{}", i), "v"));
    }
    EXPECT_TRUE(txn.commit());
    auto done = backup(**db, tmp_ / name);
    EXPECT_TRUE(done) << done.error().message();
    return tmp_ / name;
  }
  fs::path key_file(const std::string& contents, fs::perms perms) {
    const fs::path path = tmp_ / fmt::format("key{}", ++keys_);
    testing::write_file(path, contents);
    fs::permissions(path, perms);
    return path;
  }

  testing::TempDir tmp_;
  int keys_ = 0;
};

TEST_F(BackupVerifyTest, StatusSaysWhetherEveryChecksumHolds) {
  const fs::path plain = make_backup("plain", false);
  const fs::path sealed = make_backup("sealed", true);
  const fs::path damaged = make_backup("damaged", false);
  std::string snapshot = testing::read_file(damaged / "wal.snapshot");
  snapshot[snapshot.size() / 3] ^= 0x20;
  testing::write_file(damaged / "wal.snapshot", snapshot);
  const auto owner_only = fs::perms::owner_read | fs::perms::owner_write;
  const fs::path good_key = key_file(kHexKey + "\n", owner_only);
  const fs::path open_key = key_file(kHexKey, owner_only | fs::perms::others_read);
  const fs::path wrong_key = key_file(std::string(64, 'b'), owner_only);
  struct Case {
    const char* name;
    std::vector<std::string> words;
    const char* env;  // KAVREL_ENCRYPTION_KEY, or null
    int status;
    std::string out_start, err_start;
  };
  const std::string verify_error = "error: backup ";
  const Case cases[] = {
      {"plain",
       {"backup", "--verify", plain},
       nullptr,
       kExitOk,
       fmt::format("OK: {} holds 50 keys and 0 tables at LSN 52; every checksum holds\n",
                   plain.string()),
       ""},
      {"a key given to a plain backup is not needed",
       {"backup", "--verify", plain, "--key-file", good_key},
       nullptr,
       kExitOk,
       "OK: ",
       ""},
      {"damaged",
       {"backup", "--verify", damaged},
       nullptr,
       kExitServerError,
       "",
       fmt::format(R"(error: backup "{}" does not verify: Corruption detected: wal.snapshot is )",
                   damaged.string())},
      {"sealed without a key",
       {"backup", "--verify", sealed},
       nullptr,
       kExitUsage,
       "",
       fmt::format(
           "error: backup \"{0}\" does not verify: Encryption error: \"{0}\" is encrypted "
           "(keyring.json): its key is needed to check it\nhint: give its key with --key-file "
           "FILE or in KAVREL_ENCRYPTION_KEY (64 hexadecimal characters)\n",
           sealed.string())},
      {"sealed, key file",
       {"backup", "--verify", sealed, "--key-file", good_key},
       nullptr,
       kExitOk,
       fmt::format("OK: {} holds 50 keys and 0 tables at LSN 52 (encrypted, every "
                   "frame opens); every checksum holds\n",
                   sealed.string()),
       ""},
      {"sealed, variable", {"backup", "--verify", sealed}, kHexKey.c_str(), kExitOk, "OK: ", ""},
      {"sealed, wrong key",
       {"backup", "--verify", sealed, "--key-file", wrong_key},
       nullptr,
       kExitServerError,
       "",
       verify_error},
      {"key file others may read",
       {"backup", "--verify", sealed, "--key-file", open_key},
       nullptr,
       kExitUsage,
       "",
       fmt::format("error: key file \"{}\" may be read or written by group or others (mode "
                   "604); allow its owner only (chmod 600)\n",
                   open_key.string())},
      {"variable not hex",
       {"backup", "--verify", sealed},
       "xyz",
       kExitUsage,
       "",
       "error: KAVREL_ENCRYPTION_KEY must hold exactly 64 hexadecimal characters\n"},
      {"key file and variable both",
       {"backup", "--verify", sealed, "--key-file", good_key},
       kHexKey.c_str(),
       kExitUsage,
       "",
       "error: give the key by --key-file or by KAVREL_ENCRYPTION_KEY, not both\n"},
      {"--key-file without --verify",
       {"backup", sealed, "--key-file", good_key},
       nullptr,
       kExitUsage,
       "",
       "error: --key-file goes with --verify: the server writes a backup under its own key\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.env != nullptr) {
      ::setenv(kKeyEnvVar, c.env, 1);
    } else {
      ::unsetenv(kKeyEnvVar);
    }
    const Ran r = run(c.words);
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_TRUE(r.out.starts_with(c.out_start)) << r.out;
    EXPECT_TRUE(r.err.starts_with(c.err_start)) << r.err;
    if (c.status == kExitOk) {
      EXPECT_EQ(r.err, "");
    }
  }
}

}  // namespace
}  // namespace kavrel::cli
