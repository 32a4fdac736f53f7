#include "storage/internal/wal/wal_manifest.h"

#include <cerrno>
#include <fstream>
#include <iterator>
#include <regex>

#include <gtest/gtest.h>

#include "storage/internal/io/file_io.h"
#include "tests/support/files.h"
#include "tests/support/temp_dir.h"

namespace kavrel {
namespace {

namespace fs = std::filesystem;
using kavrel::testing::TempDir;

struct FaultPlanReset {
  ~FaultPlanReset() { io::set_fault_plan(std::nullopt); }
};

using testing::read_file;
using testing::write_file;

bool has_temp_files(const fs::path& dir) {
  for (const auto& e : fs::directory_iterator(dir)) {
    if (e.path().filename().string().starts_with(".tmp")) return true;
  }
  return false;
}

const std::regex kFreshManifest(
    R"(\{"format_version":1,"db_uuid":"[0-9a-f]{32}","last_checkpoint_lsn":(\d+)\})");

TEST(WalManifestTest, ToJsonIsCompactInKeyOrder) {
  const WalManifest m{1, "x", 7};
  EXPECT_EQ(m.to_json(), R"({"format_version":1,"db_uuid":"x","last_checkpoint_lsn":7})");
  const WalManifest big{1, "a\"b", 18446744073709551615u};
  EXPECT_EQ(big.to_json(),
            R"({"format_version":1,"db_uuid":"a\"b","last_checkpoint_lsn":18446744073709551615})");
}

TEST(WalManifestTest, PublishThenLoadRoundTrips) {
  TempDir dir;
  EXPECT_FALSE(WalManifest::exists(dir.path()));
  ASSERT_TRUE(WalManifest::publish(dir.path(), 7).has_value());
  EXPECT_TRUE(WalManifest::exists(dir.path()));
  const std::string text = read_file(dir / "wal.manifest");
  EXPECT_TRUE(std::regex_match(text, kFreshManifest)) << text;
  auto m = WalManifest::load(dir.path());
  ASSERT_TRUE(m.has_value()) << m.error().message();
  EXPECT_EQ(m->format_version, 1u);
  EXPECT_EQ(m->db_uuid.size(), 32u);
  EXPECT_EQ(m->last_checkpoint_lsn, 7u);
  EXPECT_EQ(m->to_json(), text);

  // The next publish keeps the identity.
  ASSERT_TRUE(WalManifest::publish(dir.path(), 8).has_value());
  auto again = WalManifest::load(dir.path());
  ASSERT_TRUE(again.has_value());
  EXPECT_EQ(again->db_uuid, m->db_uuid);
  EXPECT_EQ(again->last_checkpoint_lsn, 8u);
  EXPECT_FALSE(has_temp_files(dir.path()));
}

TEST(WalManifestTest, ReadForms) {
  struct Case {
    const char* name;
    std::string text;
    WalManifest expected;
  };
  const Case cases[] = {
      {"written form",
       R"({"format_version":1,"db_uuid":"abc","last_checkpoint_lsn":5})",
       {1, "abc", 5}},
      {"whitespace around",
       " \n\t{ \"format_version\" : 1 ,\n \"db_uuid\" : \"abc\" , "
       "\"last_checkpoint_lsn\" : 5 }\n ",
       {1, "abc", 5}},
      {"other order",
       R"({"last_checkpoint_lsn":5,"db_uuid":"abc","format_version":1})",
       {1, "abc", 5}},
      {"extra keys skipped, nested names ignored",
       R"({"extra":{"db_uuid":[1,{"format_version":"no"}]},"format_version":1,"more":null,)"
       R"("db_uuid":"abc","last_checkpoint_lsn":5,"extra":2})",
       {1, "abc", 5}},
      {"array form", R"([1,"abc",5])", {1, "abc", 5}},
      {"largest lsn", R"([1,"",18446744073709551615])", {1, "", 18446744073709551615u}},
      {"one-letter identity",
       R"({"format_version":1,"db_uuid":"x","last_checkpoint_lsn":0})",
       {1, "x", 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    write_file(dir / "wal.manifest", c.text);
    auto m = WalManifest::load(dir.path());
    ASSERT_TRUE(m.has_value()) << m.error().message();
    EXPECT_EQ(*m, c.expected);
  }
}

TEST(WalManifestTest, MalformedManifests) {
  struct Case {
    const char* name;
    std::string text;
    std::string error;  // after "Corruption detected: malformed wal.manifest: "
  };
  const Case cases[] = {
      {"empty file", "",
       "parse error at line 1, column 1: syntax error while parsing value - unexpected end of "
       "input; expected '[', '{', or a literal"},
      {"missing key", R"({"format_version":1,"last_checkpoint_lsn":5})",
       "missing field `db_uuid` at line 1 column 44"},
      {"missing key, several lines", "{\n\"format_version\": 1,\n\"db_uuid\": \"x\"\n}",
       "missing field `last_checkpoint_lsn` at line 4 column 1"},
      {"duplicate key",
       R"({"format_version":1,"db_uuid":"a","db_uuid":"b","last_checkpoint_lsn":5})",
       "duplicate field `db_uuid` at line 1 column 43"},
      {"version as text", R"({"format_version":"1","db_uuid":"a","last_checkpoint_lsn":5})",
       "invalid type: string \"1\", expected u32 at line 1 column 21"},
      {"negative version", R"({"format_version":-1,"db_uuid":"a","last_checkpoint_lsn":5})",
       "invalid type: integer `-1`, expected u32 at line 1 column 21"},
      {"version beyond u32",
       R"({"format_version":4294967296,"db_uuid":"a","last_checkpoint_lsn":5})",
       "invalid value: integer `4294967296`, expected u32 at line 1 column 29"},
      {"identity as number", R"({"format_version":1,"db_uuid":5,"last_checkpoint_lsn":5})",
       "invalid type: integer `5`, expected a string at line 1 column 32"},
      {"lsn as object", R"({"format_version":1,"db_uuid":"a","last_checkpoint_lsn":{}})",
       "invalid type: map, expected u64 at line 1 column 57"},
      {"array too short", R"([1,"x"])", "invalid length 2, expected 3 elements at line 1 column 7"},
      {"array too long", R"([1,"x",5,6])",
       "invalid length 4, expected 3 elements at line 1 column 11"},
      {"a string", R"("x")",
       "invalid type: string \"x\", expected struct WalManifest at line 1 column 3"},
      {"not an object", "5",
       "invalid type: integer `5`, expected struct WalManifest at line 1 column 1"},
      {"characters after the value", R"([1,"x",5] x)",
       "parse error at line 1, column 11: syntax error while parsing value - invalid literal; "
       "last read: '5] x'; expected end of input"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    write_file(dir / "wal.manifest", c.text);
    auto m = WalManifest::load(dir.path());
    ASSERT_FALSE(m.has_value());
    EXPECT_EQ(m.error().kind(), KavrelError::Kind::Corruption);
    EXPECT_EQ(m.error().message(), "Corruption detected: malformed wal.manifest: " + c.error);
  }
}

TEST(WalManifestTest, OtherVersionsAreRefused) {
  for (const char* text :
       {R"({"format_version":2,"db_uuid":"x","last_checkpoint_lsn":0})", R"([2,"x",0])"}) {
    SCOPED_TRACE(text);
    TempDir dir;
    write_file(dir / "wal.manifest", text);
    auto m = WalManifest::load(dir.path());
    ASSERT_FALSE(m.has_value());
    EXPECT_EQ(m.error().message(),
              "Corruption detected: unsupported wal.manifest version 2 (expected 1)");
  }
}

TEST(WalManifestTest, ReadErrorsAreIoErrors) {
  TempDir dir;
  auto missing = WalManifest::load(dir.path());
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error().message(), "IO error: No such file or directory (os error 2)");

  fs::create_directory(dir / "wal.manifest");
  EXPECT_TRUE(WalManifest::exists(dir.path()));
  auto unreadable = WalManifest::load(dir.path());
  ASSERT_FALSE(unreadable.has_value());
  EXPECT_EQ(unreadable.error().message(), "IO error: Is a directory (os error 21)");
}

TEST(WalManifestTest, PublishKeepsTheIdentityAsRead) {
  TempDir dir;
  write_file(dir / "wal.manifest", R"({"last_checkpoint_lsn":3,"db_uuid":"x","format_version":1})");
  ASSERT_TRUE(WalManifest::publish(dir.path(), 9).has_value());
  EXPECT_EQ(read_file(dir / "wal.manifest"),
            R"({"format_version":1,"db_uuid":"x","last_checkpoint_lsn":9})");
}

TEST(WalManifestTest, PublishReplacesAnUnusableManifestWithAFreshOne) {
  struct Case {
    const char* name;
    std::optional<std::string> old;
  };
  const Case cases[] = {
      {"malformed", "not json"},
      {"other version", R"({"format_version":2,"db_uuid":"x","last_checkpoint_lsn":0})"},
      {"deleted", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    if (c.old) write_file(dir / "wal.manifest", *c.old);
    ASSERT_TRUE(WalManifest::publish(dir.path(), 12).has_value());
    const std::string text = read_file(dir / "wal.manifest");
    std::smatch match;
    ASSERT_TRUE(std::regex_match(text, match, kFreshManifest)) << text;
    EXPECT_EQ(match[1].str(), "12");
  }
}

TEST(WalManifestTest, PublishCreatesAMissingDirectory) {
  TempDir dir;
  ASSERT_TRUE(WalManifest::publish(dir / "a" / "b", 1).has_value());
  EXPECT_TRUE(WalManifest::exists(dir / "a" / "b"));
}

TEST(WalManifestTest, FailedPublishLeavesTheOldManifest) {
  FaultPlanReset reset;
  const std::string old = R"({"format_version":1,"db_uuid":"x","last_checkpoint_lsn":3})";
  struct Case {
    const char* name;
    io::Op op;
    int nth;  // which call of that kind fails, from 1
  };
  const Case cases[] = {
      {"temporary file cannot be created", io::Op::OpenCreate, 1},
      {"temporary file cannot be written", io::Op::Write, 1},
      {"temporary file cannot be synced", io::Op::Fsync, 1},
      {"rename fails", io::Op::Rename, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    write_file(dir / "wal.manifest", old);
    auto calls = std::make_shared<std::atomic<int>>(0);
    io::set_fault_plan(io::FaultPlan{[c, calls](io::Op op) -> std::optional<int> {
                                       if (op == c.op && calls->fetch_add(1) + 1 == c.nth) {
                                         return EIO;
                                       }
                                       return std::nullopt;
                                     },
                                     nullptr});
    auto r = WalManifest::publish(dir.path(), 9);
    io::set_fault_plan(std::nullopt);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().message(), "IO error: Input/output error (os error 5)");
    EXPECT_EQ(read_file(dir / "wal.manifest"), old);
    EXPECT_FALSE(has_temp_files(dir.path()));
  }
}

TEST(WalManifestTest, FailedSyncAfterTheRenameReportsWithTheNewManifestInPlace) {
  FaultPlanReset reset;
  TempDir dir;
  write_file(dir / "wal.manifest", R"({"format_version":1,"db_uuid":"x","last_checkpoint_lsn":3})");
  auto fsyncs = std::make_shared<std::atomic<int>>(0);
  io::set_fault_plan(io::FaultPlan{[fsyncs](io::Op op) -> std::optional<int> {
                                     if (op == io::Op::Fsync && fsyncs->fetch_add(1) == 1) {
                                       return EIO;
                                     }
                                     return std::nullopt;
                                   },
                                   nullptr});
  auto r = WalManifest::publish(dir.path(), 9);
  io::set_fault_plan(std::nullopt);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().message(), "IO error: Input/output error (os error 5)");
  EXPECT_EQ(read_file(dir / "wal.manifest"),
            R"({"format_version":1,"db_uuid":"x","last_checkpoint_lsn":9})");
}

}  // namespace
}  // namespace kavrel
