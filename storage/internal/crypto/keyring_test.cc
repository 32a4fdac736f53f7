#include "storage/internal/crypto/keyring.h"

#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <fstream>
#include <functional>
#include <latch>
#include <sstream>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "core/text.h"
#include "storage/internal/io/file_io.h"
#include "tests/support/files.h"
#include "tests/support/temp_dir.h"

namespace kavrel {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;

constexpr const char* kRefuseInPlace =
    "Encryption error: an encryption key was provided for a database that has no keyring "
    "(existing plaintext data must be migrated explicitly, not encrypted in place); refusing to "
    "open";
constexpr const char* kRefuseNoKek =
    "Encryption error: database has a keyring (encryption configured) but no encryption key was "
    "provided (set the KEK, e.g. KAVREL_ENCRYPTION_KEY); refusing to open";
constexpr const char* kAuthFailed =
    "Encryption error: keyring authentication failed: wrong encryption key or tampered keyring; "
    "refusing to open";
constexpr const char* kUnwrapFailed =
    "Encryption error: failed to unwrap data key: wrong encryption key; refusing to open";

EncryptionKey filled_key(char c) { return EncryptionKey(Bytes(EncryptionKey::kSize, c)); }

using testing::read_file;
using testing::write_file;

std::vector<std::string> entries(const fs::path& dir) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(dir, ec)) names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

template <std::size_t N>
BytesView view(const std::array<std::uint8_t, N>& bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), N};
}

std::array<std::uint8_t, 16> decode16(std::string_view hex) {
  auto r = keyring::decode_fixed(hex, "test");
  EXPECT_TRUE(r.has_value());
  return r.value_or(std::array<std::uint8_t, 16>{});
}

// Recomputes the MAC the way a holder of the KEK would after changing fields.
void remac(KeyringFile& file, const EncryptionKey& kek) {
  const Bytes salt(view(decode16(file.salt)));
  file.mac = to_hex(view(keyring::compute_mac(derive_subkey(kek, salt, keyring::kMacLabel), file)));
}

// The data key, unwrapped with the primitives alone.
Bytes unwrap_dek(const KeyringFile& file, const EncryptionKey& kek) {
  const EncryptionEngine wrapper(
      derive_subkey(kek, Bytes(view(decode16(file.salt))), keyring::kWrapLabel));
  auto dek = wrapper.decrypt_with_aad(
      from_hex(file.wrapped_dek).value(),
      keyring::wrap_aad(decode16(file.db_uuid), file.key_epoch, file.kek_source_id));
  EXPECT_TRUE(dek.has_value());
  return dek.value_or(Bytes());
}

// Seal with one engine, open with the other, both ways.
void expect_interoperate(const EncryptionEngine& a, const EncryptionEngine& b) {
  ASSERT_TRUE(a.enabled());
  ASSERT_TRUE(b.enabled());
  const Bytes sealed_a = a.encrypt_with_aad("from a", "frame").value();
  const Bytes sealed_b = b.encrypt_with_aad("from b", "frame").value();
  EXPECT_EQ(b.decrypt_with_aad(sealed_a, "frame").value_or("<failed>"), "from a");
  EXPECT_EQ(a.decrypt_with_aad(sealed_b, "frame").value_or("<failed>"), "from b");
}

void expect_unencrypted(const KeyringOutcome& out) {
  EXPECT_FALSE(out.encrypted);
  ASSERT_NE(out.engine, nullptr);
  EXPECT_FALSE(out.engine->enabled());
  EXPECT_EQ(out.db_uuid, (std::array<std::uint8_t, 16>{}));
  EXPECT_EQ(out.key_epoch, 0u);
}

class KeyringTest : public ::testing::Test {
 protected:
  void TearDown() override { io::set_fault_plan(std::nullopt); }

  // Creates an encrypted keyring in dir under kek_.
  KeyringOutcome create(const fs::path& dir, std::string_view source = "env:KEK") {
    auto out = keyring::load_or_init(dir, kek_, source, true);
    EXPECT_TRUE(out.has_value()) << out.error().message();
    return out.has_value() ? *out : KeyringOutcome{};
  }
  KeyringFile file_in(const fs::path& dir) {
    auto f = keyring::read_keyring(dir / "keyring.json");
    EXPECT_TRUE(f.has_value()) << f.error().message();
    return f.value_or(KeyringFile{});
  }
  void rewrite(const fs::path& dir, const KeyringFile& file) {
    write_file(dir / "keyring.json", keyring::serialize_keyring(file).value());
  }
  std::string open_error(const fs::path& dir, const std::optional<EncryptionKey>& kek) {
    auto out = keyring::load_or_init(dir, kek, "env:KEK", false);
    if (out.has_value()) return "<opened>";
    return out.error().message();
  }

  testing::TempDir tmp_;
  EncryptionKey kek_ = filled_key('K');
};

TEST_F(KeyringTest, NoKeyringAndNoKeyOpensUnencryptedAndWritesNothing) {
  for (bool new_database : {true, false}) {
    auto out = keyring::load_or_init(tmp_.path(), std::nullopt, "none", new_database);
    ASSERT_TRUE(out.has_value()) << out.error().message();
    expect_unencrypted(*out);
  }
  EXPECT_TRUE(entries(tmp_.path()).empty());
}

TEST_F(KeyringTest, CreateWritesNineMembersInOrderAndReopens) {
  const KeyringOutcome created = create(tmp_.path(), "file:/etc/kek");
  ASSERT_TRUE(created.encrypted);
  EXPECT_EQ(created.key_epoch, 0u);
  EXPECT_EQ(entries(tmp_.path()), std::vector<std::string>{"keyring.json"});

  const std::string text = read_file(tmp_ / "keyring.json");
  const Json doc = Json::parse(text);
  std::vector<std::string> keys;
  for (const auto& [k, v] : doc.items()) keys.push_back(k);
  EXPECT_EQ(keys,
            (std::vector<std::string>{"format_version", "encrypted", "db_uuid", "kek_source_id",
                                      "key_epoch", "salt", "wrapped_dek", "canary", "mac"}));
  EXPECT_EQ(text, doc.dump());  // compact, no trailing newline
  EXPECT_EQ(doc["format_version"], 1);
  EXPECT_EQ(doc["encrypted"], true);
  EXPECT_EQ(doc["kek_source_id"], "file:/etc/kek");
  EXPECT_EQ(doc["key_epoch"], 0);
  const std::pair<const char*, std::size_t> lengths[] = {
      {"db_uuid", 32}, {"salt", 32}, {"wrapped_dek", 122}, {"canary", 106}, {"mac", 64}};
  for (const auto& [name, length] : lengths) {
    const std::string value = doc[name].get<std::string>();
    EXPECT_EQ(value.size(), length) << name;
    EXPECT_EQ(value.find_first_not_of("0123456789abcdef"), std::string::npos) << name;
  }
  EXPECT_EQ(to_hex(view(created.db_uuid)), doc["db_uuid"].get<std::string>());
  struct stat st {};
  ASSERT_EQ(::stat((tmp_ / "keyring.json").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  auto reopened = keyring::load_or_init(tmp_.path(), kek_, "ignored on open", false);
  ASSERT_TRUE(reopened.has_value()) << reopened.error().message();
  EXPECT_TRUE(reopened->encrypted);
  EXPECT_EQ(reopened->db_uuid, created.db_uuid);
  EXPECT_EQ(reopened->key_epoch, 0u);
  expect_interoperate(*created.engine, *reopened->engine);
  EXPECT_EQ(entries(tmp_.path()), std::vector<std::string>{"keyring.json"});
}

TEST_F(KeyringTest, FileIsBuiltFromTheDocumentedPrimitives) {
  const KeyringOutcome created = create(tmp_.path());
  const KeyringFile file = file_in(tmp_.path());
  // The DEK unwraps under HKDF(KEK, salt, wrap label) with wrap_aad and drives the engine.
  const Bytes dek = unwrap_dek(file, kek_);
  ASSERT_EQ(dek.size(), 32u);
  const EncryptionEngine by_hand{EncryptionKey(dek)};
  expect_interoperate(*created.engine, by_hand);
  // The canary is the token sealed under the DEK with canary_aad.
  EXPECT_EQ(
      by_hand
          .decrypt_with_aad(from_hex(file.canary).value(), keyring::canary_aad(created.db_uuid, 0))
          .value_or("<failed>"),
      keyring::kCanaryToken);
  // The MAC is HMAC-SHA256 under HKDF(KEK, salt, mac label) over mac_input.
  const Bytes salt = from_hex(file.salt).value();
  const auto mac = hmac_sha256(derive_subkey(kek_, salt, "kavrel/keyring/mac/v1").view(),
                               keyring::mac_input(file));
  EXPECT_EQ(to_hex(view(mac)), file.mac);
}

TEST_F(KeyringTest, AdditionalDataAndMacInputLayouts) {
  std::array<std::uint8_t, 16> uuid{};
  for (std::size_t i = 0; i < uuid.size(); ++i) uuid[i] = static_cast<std::uint8_t>(i);
  const Bytes uuid_bytes(view(uuid));
  EXPECT_EQ(keyring::canary_aad(uuid, 0x01020304), uuid_bytes + "\x04\x03\x02\x01");
  EXPECT_EQ(keyring::wrap_aad(uuid, 7, "src"), uuid_bytes + Bytes("\x07\0\0\0", 4) + "src");
  EXPECT_EQ(keyring::wrap_aad(uuid, 0, "").size(), 20u);

  const KeyringFile file{1, true, "UU", "kek", 258, "ss", "w", "c", "not covered"};
  const Bytes want = Bytes("\x04\0\0\0\x01\0\0\0", 8) + Bytes("\x01\0\0\0\x01", 5) +
                     Bytes("\x02\0\0\0UU", 6) + Bytes("\x03\0\0\0kek", 7) +
                     Bytes("\x04\0\0\0\x02\x01\0\0", 8) + Bytes("\x02\0\0\0ss", 6) +
                     Bytes("\x01\0\0\0w", 5) + Bytes("\x01\0\0\0c", 5);
  EXPECT_EQ(keyring::mac_input(file), want);
  KeyringFile unencrypted = file;
  unencrypted.encrypted = false;
  unencrypted.mac = "other";
  EXPECT_EQ(keyring::mac_input(unencrypted)[12], '\0');
  EXPECT_EQ(keyring::mac_input(unencrypted).size(), want.size());
}

TEST_F(KeyringTest, DecodeFixed) {
  struct Case {
    std::string text;
    const char* error;  // nullptr: decodes
  };
  const Case cases[] = {
      {std::string(32, 'a'), nullptr},
      {std::string(32, 'F'), nullptr},
      {std::string(30, '0'), "Encryption error: keyring salt wrong length: 15 != 16"},
      {std::string(34, '0'), "Encryption error: keyring salt wrong length: 17 != 16"},
      {"", "Encryption error: keyring salt wrong length: 0 != 16"},
      {std::string(31, '0'), "Encryption error: malformed keyring salt"},
      {std::string(30, '0') + "zz", "Encryption error: malformed keyring salt"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    auto r = keyring::decode_fixed(c.text, "salt");
    if (c.error == nullptr) {
      ASSERT_TRUE(r.has_value());
      EXPECT_EQ(to_hex(view(*r)), std::string(32, static_cast<char>(std::tolower(c.text[0]))));
    } else {
      ASSERT_FALSE(r.has_value());
      EXPECT_EQ(r.error().message(), c.error);
    }
  }
}

TEST_F(KeyringTest, KeyForDatabaseWithoutKeyringIsRefusedUnlessNew) {
  write_file(tmp_ / "wal.log", "plaintext log");
  auto out = keyring::load_or_init(tmp_.path(), kek_, "env:KEK", false);
  ASSERT_FALSE(out.has_value());
  EXPECT_EQ(out.error().kind(), KavrelError::Kind::Encryption);
  EXPECT_EQ(out.error().message(), kRefuseInPlace);
  EXPECT_EQ(entries(tmp_.path()), std::vector<std::string>{"wal.log"});
}

TEST_F(KeyringTest, RefusalsOfAKeyringOnDisk) {
  const EncryptionKey wrong = filled_key('W');
  struct Case {
    const char* name;
    std::function<void(KeyringFile&, const EncryptionKey& kek)> change;
    bool with_key;
    std::string want;
  };
  const auto wrap16 = [](KeyringFile& f, const EncryptionKey& kek) {
    const EncryptionEngine wrapper(
        derive_subkey(kek, Bytes(view(decode16(f.salt))), keyring::kWrapLabel));
    f.wrapped_dek = to_hex(
        wrapper
            .encrypt_with_aad(Bytes(16, 'd'),
                              keyring::wrap_aad(decode16(f.db_uuid), f.key_epoch, f.kek_source_id))
            .value());
  };
  const auto other_token = [](KeyringFile& f, const EncryptionKey& kek) {
    const EncryptionEngine dek{EncryptionKey(unwrap_dek(f, kek))};
    f.canary = to_hex(dek.encrypt_with_aad("kavrel-keyring-canary-v2",
                                           keyring::canary_aad(decode16(f.db_uuid), f.key_epoch))
                          .value());
  };
  const Case cases[] = {
      {"no key", [](KeyringFile&, const EncryptionKey&) {}, false, kRefuseNoKek},
      {"version 2 before missing key",
       [](KeyringFile& f, const EncryptionKey&) { f.format_version = 2; }, false,
       "Encryption error: unsupported keyring format version 2 (expected 1)"},
      {"version 0 with key", [](KeyringFile& f, const EncryptionKey&) { f.format_version = 0; },
       true, "Encryption error: unsupported keyring format version 0 (expected 1)"},
      {"kek_source_id changed",
       [](KeyringFile& f, const EncryptionKey&) { f.kek_source_id = "env:OTHER"; }, true,
       kAuthFailed},
      {"key_epoch changed", [](KeyringFile& f, const EncryptionKey&) { f.key_epoch = 1; }, true,
       kAuthFailed},
      {"encrypted changed", [](KeyringFile& f, const EncryptionKey&) { f.encrypted = false; }, true,
       kAuthFailed},
      {"db_uuid case changed",
       [](KeyringFile& f, const EncryptionKey&) {
         for (char& ch : f.db_uuid) ch = static_cast<char>(std::toupper(ch));
         if (f.db_uuid.find_first_of("ABCDEF") == std::string::npos) f.db_uuid[0] = 'x';
       },
       true, kAuthFailed},
      {"mac not hex", [](KeyringFile& f, const EncryptionKey&) { f.mac[5] = 'g'; }, true,
       "Encryption error: malformed keyring mac"},
      {"mac 31 bytes", [](KeyringFile& f, const EncryptionKey&) { f.mac.resize(62); }, true,
       kAuthFailed},
      {"salt 30 characters", [](KeyringFile& f, const EncryptionKey&) { f.salt.resize(30); }, true,
       "Encryption error: keyring salt wrong length: 15 != 16"},
      {"salt odd length", [](KeyringFile& f, const EncryptionKey&) { f.salt.resize(31); }, true,
       "Encryption error: malformed keyring salt"},
      {"salt not hex", [](KeyringFile& f, const EncryptionKey&) { f.salt[0] = '-'; }, true,
       "Encryption error: malformed keyring salt"},
      // Below, a holder of the KEK re-MACs a damaged file: the later checks must still refuse.
      {"db_uuid short, re-MACed",
       [](KeyringFile& f, const EncryptionKey& k) {
         f.db_uuid.resize(30);
         remac(f, k);
       },
       true, "Encryption error: keyring db_uuid wrong length: 15 != 16"},
      {"wrapped_dek not hex, re-MACed",
       [](KeyringFile& f, const EncryptionKey& k) {
         f.wrapped_dek = "xyz";
         remac(f, k);
       },
       true, "Encryption error: malformed wrapped_dek"},
      {"key_epoch changed, re-MACed",
       [](KeyringFile& f, const EncryptionKey& k) {
         f.key_epoch = 3;
         remac(f, k);
       },
       true, kUnwrapFailed},
      {"kek_source_id changed, re-MACed",
       [](KeyringFile& f, const EncryptionKey& k) {
         f.kek_source_id = "other";
         remac(f, k);
       },
       true, kUnwrapFailed},
      {"wrapped_dek truncated, re-MACed",
       [](KeyringFile& f, const EncryptionKey& k) {
         f.wrapped_dek.resize(40);
         remac(f, k);
       },
       true, kUnwrapFailed},
      {"DEK of 16 bytes, re-MACed",
       [&](KeyringFile& f, const EncryptionKey& k) {
         wrap16(f, k);
         remac(f, k);
       },
       true, "Encryption error: unwrapped DEK is not 32 bytes"},
      {"canary not hex, re-MACed",
       [](KeyringFile& f, const EncryptionKey& k) {
         f.canary = "0";
         remac(f, k);
       },
       true, "Encryption error: malformed canary"},
      {"canary damaged, re-MACed",
       [](KeyringFile& f, const EncryptionKey& k) {
         f.canary[40] = f.canary[40] == '0' ? '1' : '0';
         remac(f, k);
       },
       true, "Encryption error: canary decryption failed: wrong encryption key; refusing to open"},
      {"canary of another token, re-MACed",
       [&](KeyringFile& f, const EncryptionKey& k) {
         other_token(f, k);
         remac(f, k);
       },
       true, "Encryption error: canary token mismatch; refusing to open"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::TempDir dir;
    create(dir.path());
    KeyringFile file = file_in(dir.path());
    c.change(file, kek_);
    rewrite(dir.path(), file);
    EXPECT_EQ(open_error(dir.path(), c.with_key ? std::optional(kek_) : std::nullopt), c.want);
  }
  testing::TempDir dir;
  create(dir.path());
  EXPECT_EQ(open_error(dir.path(), wrong), kAuthFailed);
}

TEST_F(KeyringTest, MalformedFilesAreRefusedWithTheParserMessage) {
  create(tmp_.path());
  const std::string good = read_file(tmp_ / "keyring.json");
  Json doc = Json::parse(good);
  const auto without = [&](const char* key) {
    Json d = doc;
    d.erase(key);
    return d.dump();
  };
  const auto with = [&](const char* key, Json value) {
    Json d = doc;
    d[key] = std::move(value);
    return d.dump();
  };
  struct Case {
    const char* name;
    std::string text;
    std::string want;  // the message, or its start when it ends in "..."
  };
  const Case cases[] = {
      {"missing mac", without("mac"), "Encryption error: malformed keyring: missing field `mac`"},
      {"missing format_version", without("format_version"),
       "Encryption error: malformed keyring: missing field `format_version`"},
      {"duplicate salt", good.substr(0, good.size() - 1) + ",\"salt\":\"00\"}",
       "Encryption error: malformed keyring: duplicate field `salt`"},
      {"empty file", "", "Encryption error: malformed keyring: parse error..."},
      {"trailing garbage", good + "x", "Encryption error: malformed keyring: parse error..."},
      {"not an object", "42", "Encryption error: malformed keyring: invalid type: number..."},
      {"array of 8", "[1,true,\"a\",\"b\",0,\"c\",\"d\",\"e\"]",
       "Encryption error: malformed keyring: invalid length 8..."},
      {"string key_epoch", with("key_epoch", "0"),
       "Encryption error: malformed keyring: invalid type for field `key_epoch`..."},
      {"negative key_epoch", with("key_epoch", -1),
       "Encryption error: malformed keyring: invalid value for field `key_epoch`..."},
      {"key_epoch above u32", with("key_epoch", 4294967296ull),
       "Encryption error: malformed keyring: invalid value for field `key_epoch`..."},
      {"float version", with("format_version", 1.0),
       "Encryption error: malformed keyring: invalid type for field `format_version`..."},
      {"numeric encrypted", with("encrypted", 1),
       "Encryption error: malformed keyring: invalid type for field `encrypted`..."},
      {"null mac", with("mac", nullptr),
       "Encryption error: malformed keyring: invalid type for field `mac`..."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    write_file(tmp_ / "keyring.json", c.text);
    for (bool with_key : {true, false}) {  // parse errors come before the key is looked at
      const std::string got =
          open_error(tmp_.path(), with_key ? std::optional(kek_) : std::nullopt);
      if (c.want.ends_with("...")) {
        EXPECT_TRUE(got.starts_with(c.want.substr(0, c.want.size() - 3))) << got;
      } else {
        EXPECT_EQ(got, c.want);
      }
    }
  }
}

TEST_F(KeyringTest, AcceptedVariantsOfTheFile) {
  const KeyringOutcome created = create(tmp_.path());
  const std::string good = read_file(tmp_ / "keyring.json");
  const Json doc = Json::parse(good);
  Json as_array = Json::array();
  for (const auto& [k, v] : doc.items()) as_array.push_back(v);
  Json extra = Json::object();
  extra["comment"] = "ignored";
  for (const auto& [k, v] : doc.items()) extra[k] = v;
  extra["zz_nested"] = Json::parse(R"({"salt":"not the salt","mac":[1,2]})");
  Json reversed = Json::object();
  std::vector<std::pair<std::string, Json>> members;
  for (const auto& [k, v] : doc.items()) members.emplace_back(k, v);
  for (auto it = members.rbegin(); it != members.rend(); ++it) reversed[it->first] = it->second;
  struct Case {
    const char* name;
    std::string text;
  };
  const Case cases[] = {
      {"as written", good},
      {"array of nine values", as_array.dump()},
      {"unknown members, known names nested", extra.dump()},
      {"unknown member twice", good.substr(0, good.size() - 1) + R"(,"x":1,"x":2})"},
      {"members reversed", reversed.dump()},
      {"pretty printed", doc.dump(2) + "\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    write_file(tmp_ / "keyring.json", c.text);
    auto out = keyring::load_or_init(tmp_.path(), kek_, "x", false);
    ASSERT_TRUE(out.has_value()) << out.error().message();
    EXPECT_EQ(out->db_uuid, created.db_uuid);
    expect_interoperate(*created.engine, *out->engine);
  }
}

TEST_F(KeyringTest, UppercaseHexWithMacOverUppercaseTextIsAccepted) {
  const KeyringOutcome created = create(tmp_.path());
  KeyringFile file = file_in(tmp_.path());
  for (std::string* hex : {&file.db_uuid, &file.salt, &file.wrapped_dek, &file.canary}) {
    for (char& ch : *hex) ch = static_cast<char>(std::toupper(ch));
  }
  // The MAC is over the texts as they appear: the lowercase MAC no longer fits...
  rewrite(tmp_.path(), file);
  EXPECT_EQ(open_error(tmp_.path(), kek_), kAuthFailed);
  // ...one computed over the uppercase texts (itself written in uppercase) does.
  remac(file, kek_);
  for (char& ch : file.mac) ch = static_cast<char>(std::toupper(ch));
  rewrite(tmp_.path(), file);
  auto out = keyring::load_or_init(tmp_.path(), kek_, "x", false);
  ASSERT_TRUE(out.has_value()) << out.error().message();
  EXPECT_EQ(out->db_uuid, created.db_uuid);
  expect_interoperate(*created.engine, *out->engine);
}

TEST_F(KeyringTest, EncryptedFalseWithValidMacOpensUnencrypted) {
  create(tmp_.path());
  KeyringFile file = file_in(tmp_.path());
  file.encrypted = false;
  remac(file, kek_);
  rewrite(tmp_.path(), file);
  auto out = keyring::load_or_init(tmp_.path(), kek_, "x", false);
  ASSERT_TRUE(out.has_value()) << out.error().message();
  expect_unencrypted(*out);
  // Still refused without a key, and with a wrong one.
  EXPECT_EQ(open_error(tmp_.path(), std::nullopt), kRefuseNoKek);
  EXPECT_EQ(open_error(tmp_.path(), filled_key('W')), kAuthFailed);
}

TEST_F(KeyringTest, UnreadableKeyringIsAnIoError) {
  fs::create_directory(tmp_ / "keyring.json");
  auto out = keyring::load_or_init(tmp_.path(), kek_, "x", true);
  ASSERT_FALSE(out.has_value());
  EXPECT_EQ(out.error().kind(), KavrelError::Kind::Io);
  EXPECT_EQ(out.error().message(), "IO error: Is a directory (os error 21)");
}

TEST_F(KeyringTest, CreateMakesMissingDirectories) {
  const fs::path dir = tmp_ / "a" / "b";
  const KeyringOutcome created = create(dir);
  EXPECT_TRUE(created.encrypted);
  EXPECT_EQ(entries(dir), std::vector<std::string>{"keyring.json"});
}

TEST_F(KeyringTest, SourceIdThatIsNotUtf8CannotBeSerialized) {
  auto out = keyring::load_or_init(tmp_.path(), kek_, "bad\xff", true);
  ASSERT_FALSE(out.has_value());
  EXPECT_TRUE(out.error().message().starts_with("Encryption error: serialize keyring: "))
      << out.error().message();
  EXPECT_TRUE(entries(tmp_.path()).empty());
}

TEST_F(KeyringTest, SourceIdIsStoredVerbatimAndBoundIntoTheWrapping) {
  const std::string source = "vault:\"kek\"\\path/\xc3\xa9\n";
  create(tmp_.path(), source);
  const KeyringFile file = file_in(tmp_.path());
  EXPECT_EQ(file.kek_source_id, source);
  EXPECT_EQ(unwrap_dek(file, kek_).size(), 32u);
}

TEST_F(KeyringTest, LoserOfThePublishRaceOpensTheWinnersKeyring) {
  // The winner's keyring, with `encrypted` false under a valid MAC: the race path opens it
  // encrypted all the same, since it never consults the flag.
  testing::TempDir winner_dir;
  const KeyringOutcome winner = create(winner_dir.path());
  KeyringFile winner_file = file_in(winner_dir.path());
  winner_file.encrypted = false;
  remac(winner_file, kek_);
  rewrite(winner_dir.path(), winner_file);

  // The file appears between the existence check and the move.
  const fs::path target = tmp_ / "keyring.json";
  std::atomic<bool> planted{false};
  io::set_fault_plan(io::FaultPlan{[&](io::Op op) -> std::optional<int> {
                                     if (op == io::Op::Rename && !planted.exchange(true)) {
                                       fs::copy_file(winner_dir / "keyring.json", target);
                                     }
                                     return std::nullopt;
                                   },
                                   nullptr});
  auto out = keyring::load_or_init(tmp_.path(), kek_, "env:KEK", true);
  io::set_fault_plan(std::nullopt);
  ASSERT_TRUE(planted.load());
  ASSERT_TRUE(out.has_value()) << out.error().message();
  EXPECT_TRUE(out->encrypted);
  EXPECT_EQ(out->db_uuid, winner.db_uuid);
  expect_interoperate(*winner.engine, *out->engine);
  EXPECT_EQ(read_file(target), read_file(winner_dir / "keyring.json"));
  EXPECT_EQ(entries(tmp_.path()), std::vector<std::string>{"keyring.json"});

  // A loser with another KEK is refused by the MAC check.
  testing::TempDir other;
  planted = false;
  const fs::path other_target = other / "keyring.json";
  io::set_fault_plan(io::FaultPlan{[&](io::Op op) -> std::optional<int> {
                                     if (op == io::Op::Rename && !planted.exchange(true)) {
                                       fs::copy_file(winner_dir / "keyring.json", other_target);
                                     }
                                     return std::nullopt;
                                   },
                                   nullptr});
  auto refused = keyring::load_or_init(other.path(), filled_key('W'), "env:KEK", true);
  io::set_fault_plan(std::nullopt);
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error().message(), kAuthFailed);
}

TEST_F(KeyringTest, ConcurrentCreatorsConvergeOnOneKeyring) {
  for (int round = 0; round < 20; ++round) {
    SCOPED_TRACE(round);
    testing::TempDir dir;
    std::latch start(2);
    std::optional<Result<KeyringOutcome>> results[2];
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
      threads.emplace_back([&, t] {
        start.arrive_and_wait();
        results[t].emplace(keyring::load_or_init(dir.path(), kek_, "env:KEK", true));
      });
    }
    for (auto& th : threads) th.join();
    ASSERT_TRUE(results[0]->has_value()) << results[0]->error().message();
    ASSERT_TRUE(results[1]->has_value()) << results[1]->error().message();
    const KeyringOutcome& a = results[0]->value();
    const KeyringOutcome& b = results[1]->value();
    EXPECT_EQ(a.db_uuid, b.db_uuid);
    expect_interoperate(*a.engine, *b.engine);
    EXPECT_EQ(entries(dir.path()), std::vector<std::string>{"keyring.json"});
    EXPECT_EQ(to_hex(view(a.db_uuid)), file_in(dir.path()).db_uuid);
  }
}

TEST_F(KeyringTest, FailedPublishLeavesNothingBehind) {
  struct Case {
    const char* name;
    std::function<std::optional<int>(io::Op)> fail;
    const char* want;
  };
  const auto on = [](io::Op which, int err) {
    return [which, err](io::Op op) -> std::optional<int> {
      if (op == which) return err;
      return std::nullopt;
    };
  };
  const Case cases[] = {
      {"temporary file", on(io::Op::OpenCreate, EACCES),
       "IO error: Permission denied (os error 13)"},
      {"write", on(io::Op::Write, ENOSPC), "IO error: No space left on device (os error 28)"},
      {"fsync of the temporary file", on(io::Op::Fsync, EIO),
       "IO error: Input/output error (os error 5)"},
      {"move", on(io::Op::Rename, EIO),
       "Encryption error: failed to publish keyring: Input/output error (os error 5)"},
      {"move across devices", on(io::Op::Rename, EXDEV),
       "Encryption error: failed to publish keyring: Invalid cross-device link (os error 18)"},
      {"link fallback",
       [](io::Op op) -> std::optional<int> {
         if (op == io::Op::Rename) return EINVAL;  // no renameat2: link + unlink instead
         if (op == io::Op::Link) return EPERM;
         return std::nullopt;
       },
       "Encryption error: failed to publish keyring: Operation not permitted (os error 1)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::TempDir dir;
    io::set_fault_plan(io::FaultPlan{c.fail, nullptr});
    auto out = keyring::load_or_init(dir.path(), kek_, "env:KEK", true);
    io::set_fault_plan(std::nullopt);
    ASSERT_FALSE(out.has_value());
    EXPECT_EQ(out.error().message(), c.want);
    EXPECT_TRUE(entries(dir.path()).empty());
  }
}

TEST_F(KeyringTest, LinkFallbackPublishes) {
  io::set_fault_plan(io::FaultPlan{[](io::Op op) -> std::optional<int> {
                                     if (op == io::Op::Rename) return ENOSYS;
                                     return std::nullopt;
                                   },
                                   nullptr});
  const KeyringOutcome created = create(tmp_.path());
  io::set_fault_plan(std::nullopt);
  EXPECT_EQ(entries(tmp_.path()), std::vector<std::string>{"keyring.json"});
  auto out = keyring::load_or_init(tmp_.path(), kek_, "x", false);
  ASSERT_TRUE(out.has_value()) << out.error().message();
  EXPECT_EQ(out->db_uuid, created.db_uuid);
}

TEST_F(KeyringTest, FailedFsyncAfterTheMoveIsAnIoErrorWithTheKeyringInPlace) {
  auto fsyncs = std::make_shared<int>(0);
  io::set_fault_plan(io::FaultPlan{[fsyncs](io::Op op) -> std::optional<int> {
                                     if (op == io::Op::Fsync && ++*fsyncs == 2) return EIO;
                                     return std::nullopt;
                                   },
                                   nullptr});
  auto out = keyring::load_or_init(tmp_.path(), kek_, "env:KEK", true);
  io::set_fault_plan(std::nullopt);
  ASSERT_FALSE(out.has_value());
  EXPECT_EQ(out.error().message(), "IO error: Input/output error (os error 5)");
  EXPECT_EQ(entries(tmp_.path()), std::vector<std::string>{"keyring.json"});
  auto reopened = keyring::load_or_init(tmp_.path(), kek_, "x", false);
  ASSERT_TRUE(reopened.has_value()) << reopened.error().message();
  EXPECT_TRUE(reopened->encrypted);
}

TEST_F(KeyringTest, CheckExistingRefusesAsTheOpenWouldAndWritesNothing) {
  struct Case {
    const char* name;
    bool with_keyring;
    std::optional<EncryptionKey> kek;
    std::string want;  // empty: accepted
  };
  const Case cases[] = {
      {"no keyring, no key", false, std::nullopt, ""},
      {"no keyring, a key (the open decides)", false, kek_, ""},
      {"the right key", true, kek_, ""},
      {"a wrong key", true, filled_key('W'), kAuthFailed},
      {"no key", true, std::nullopt, kRefuseNoKek},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::TempDir dir;
    write_file(dir.path() / "wal.log", "");
    if (c.with_keyring) create(dir.path());
    const auto names = entries(dir.path());
    const std::string text = read_file(dir.path() / "keyring.json");
    auto r = keyring::check_existing(dir.path(), c.kek);
    EXPECT_EQ(r.has_value() ? "" : r.error().message(), c.want);
    EXPECT_EQ(entries(dir.path()), names);
    EXPECT_EQ(read_file(dir.path() / "keyring.json"), text);
  }
}

// The same data key at another key epoch: wrapped_dek and canary sealed again with that epoch
// in their additional data, the MAC recomputed.
KeyringFile at_epoch(KeyringFile file, const EncryptionKey& kek, std::uint32_t epoch) {
  const Bytes dek = unwrap_dek(file, kek);
  const auto uuid = decode16(file.db_uuid);
  file.key_epoch = epoch;
  const EncryptionEngine wrapper(
      derive_subkey(kek, Bytes(view(decode16(file.salt))), keyring::kWrapLabel));
  file.wrapped_dek = to_hex(
      wrapper.encrypt_with_aad(dek, keyring::wrap_aad(uuid, epoch, file.kek_source_id)).value());
  file.canary =
      to_hex(EncryptionEngine(EncryptionKey(dek))
                 .encrypt_with_aad(keyring::kCanaryToken, keyring::canary_aad(uuid, epoch))
                 .value());
  remac(file, kek);
  return file;
}

TEST_F(KeyringTest, RotationRewrapsTheSameDataKeyUnderTheNewKek) {
  const KeyringOutcome created = create(tmp_.path(), "env");
  // A later epoch than creation gives, so that keeping it is seen.
  const KeyringFile before = at_epoch(file_in(tmp_.path()), kek_, 7);
  rewrite(tmp_.path(), before);
  const EncryptionKey next = filled_key('N');

  auto rotated = keyring::rotate(tmp_.path(), kek_, next, "key-file");
  ASSERT_TRUE(rotated.has_value()) << rotated.error().message();
  const KeyringFile after = file_in(tmp_.path());
  EXPECT_EQ(keyring::serialize_keyring(after).value(),
            keyring::serialize_keyring(*rotated).value());
  EXPECT_EQ(after.format_version, before.format_version);
  EXPECT_EQ(after.encrypted, before.encrypted);
  EXPECT_EQ(after.db_uuid, before.db_uuid);
  EXPECT_EQ(after.key_epoch, 7u);
  EXPECT_EQ(after.canary, before.canary);
  EXPECT_EQ(after.kek_source_id, "key-file");
  EXPECT_NE(after.salt, before.salt) << "a fresh salt: no subkey of the old key is reused";
  EXPECT_NE(after.wrapped_dek, before.wrapped_dek);
  EXPECT_EQ(unwrap_dek(after, next), unwrap_dek(before, kek_)) << "the same data key";

  EXPECT_TRUE(keyring::verify_mac(after, next).has_value());
  EXPECT_EQ(keyring::verify_mac(after, kek_).error().message(), kAuthFailed);
  EXPECT_EQ(open_error(tmp_.path(), kek_), kAuthFailed);
  auto opened = keyring::load_or_init(tmp_.path(), next, "x", false);
  ASSERT_TRUE(opened.has_value()) << opened.error().message();
  EXPECT_EQ(opened->db_uuid, created.db_uuid);
  EXPECT_EQ(opened->key_epoch, 7u);
  expect_interoperate(*opened->engine, *created.engine);
  EXPECT_EQ(entries(tmp_.path()), std::vector<std::string>{"keyring.json"});

  // And back: a second rotation starts from the first one's file.
  ASSERT_TRUE(keyring::rotate(tmp_.path(), next, kek_, "env").has_value());
  EXPECT_EQ(open_error(tmp_.path(), next), kAuthFailed);
  EXPECT_EQ(unwrap_dek(file_in(tmp_.path()), kek_), unwrap_dek(before, kek_));
}

TEST_F(KeyringTest, RotationRefusalsLeaveTheDirectoryAsItWas) {
  struct Case {
    const char* name;
    std::function<void(const fs::path&)> prepare;
    EncryptionKey current;
    std::function<std::optional<int>(io::Op)> fail;
    std::string want;
  };
  const auto edited = [this](const std::function<void(KeyringFile&)>& edit) {
    return [this, edit](const fs::path& dir) {
      create(dir);
      KeyringFile file = file_in(dir);
      edit(file);
      remac(file, kek_);
      rewrite(dir, file);
    };
  };
  const Case cases[] = {
      {"no keyring", [](const fs::path&) {}, kek_, nullptr,
       "Encryption error: database has no keyring (it is not encrypted); there is no data key "
       "to re-wrap"},
      {"wrong current key", [this](const fs::path& dir) { create(dir); }, filled_key('W'), nullptr,
       kAuthFailed},
      {"keyring of a plaintext database", edited([](KeyringFile& f) { f.encrypted = false; }), kek_,
       nullptr,
       "Encryption error: keyring says the database is not encrypted; there is no data key to "
       "re-wrap"},
      {"canary under another key", edited([](KeyringFile& f) {
         f.canary = to_hex(EncryptionEngine(filled_key('C'))
                               .encrypt_with_aad(keyring::kCanaryToken,
                                                 keyring::canary_aad(decode16(f.db_uuid), 0))
                               .value());
       }),
       kek_, nullptr,
       "Encryption error: canary decryption failed: wrong encryption key; refusing to open"},
      {"malformed keyring", [](const fs::path& dir) { write_file(dir / "keyring.json", "{}"); },
       kek_, nullptr, "Encryption error: malformed keyring: missing field `format_version`"},
      {"rename fails", [this](const fs::path& dir) { create(dir); }, kek_,
       [](io::Op op) -> std::optional<int> {
         if (op == io::Op::Rename) return EIO;
         return std::nullopt;
       },
       "IO error: Input/output error (os error 5)"},
      {"sync of the temporary file fails", [this](const fs::path& dir) { create(dir); }, kek_,
       [](io::Op op) -> std::optional<int> {
         if (op == io::Op::Fsync) return EIO;
         return std::nullopt;
       },
       "IO error: Input/output error (os error 5)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::TempDir dir;
    c.prepare(dir.path());
    const auto names = entries(dir.path());
    const std::string text = read_file(dir.path() / "keyring.json");
    if (c.fail) io::set_fault_plan(io::FaultPlan{c.fail, nullptr});
    auto r = keyring::rotate(dir.path(), c.current, filled_key('N'), "key-file");
    io::set_fault_plan(std::nullopt);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().message(), c.want);
    EXPECT_EQ(entries(dir.path()), names) << "no temporary file is left";
    EXPECT_EQ(read_file(dir.path() / "keyring.json"), text);
  }
}

TEST_F(KeyringTest, SerializeAndParseRoundTrip) {
  const KeyringFile file{1, false, "00ff", "src \"quoted\"", 4294967295u, "aa", "bb", "cc", "dd"};
  const std::string text = keyring::serialize_keyring(file).value();
  EXPECT_EQ(
      text,
      R"({"format_version":1,"encrypted":false,"db_uuid":"00ff","kek_source_id":"src \"quoted\"",)"
      R"("key_epoch":4294967295,"salt":"aa","wrapped_dek":"bb","canary":"cc","mac":"dd"})");
  auto parsed = keyring::parse_keyring(text);
  ASSERT_TRUE(parsed.has_value()) << parsed.error().message();
  EXPECT_EQ(keyring::serialize_keyring(*parsed).value(), text);
}

}  // namespace
}  // namespace kavrel
