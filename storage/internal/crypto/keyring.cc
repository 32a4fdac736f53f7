#include "storage/internal/crypto/keyring.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "core/text.h"
#include "storage/internal/io/fs_util.h"

namespace kavrel::keyring {
namespace {

using Json = nlohmann::ordered_json;  // keeps members in file order

constexpr std::string_view kRefuseInPlace =
    "an encryption key was provided for a database that has no keyring (existing plaintext data "
    "must be migrated explicitly, not encrypted in place); refusing to open";
constexpr std::string_view kRefuseNoKek =
    "database has a keyring (encryption configured) but no encryption key was provided (set the "
    "KEK, e.g. KAVREL_ENCRYPTION_KEY); refusing to open";
constexpr std::string_view kAuthFailed =
    "keyring authentication failed: wrong encryption key or tampered keyring; refusing to open";
constexpr std::string_view kNoKeyringToRotate =
    "database has no keyring (it is not encrypted); there is no data key to re-wrap";
constexpr std::string_view kPlaintextKeyring =
    "keyring says the database is not encrypted; there is no data key to re-wrap";

// The members in file order; a member's index here is also its position in the array form.
constexpr std::array<std::string_view, 9> kFields = {
    "format_version", "encrypted",   "db_uuid", "kek_source_id", "key_epoch",
    "salt",           "wrapped_dek", "canary",  "mac",
};

std::unexpected<KavrelError> refuse(std::string text) {
  return fail(KavrelError::encryption(std::move(text)));
}

std::unexpected<KavrelError> malformed(std::string_view text) {
  return refuse(fmt::format("malformed keyring: {}", text));
}

// Clears a byte string holding key material when the scope ends, whatever the exit path.
class WipeOnExit {
 public:
  explicit WipeOnExit(Bytes& bytes) : bytes_(bytes) {}
  WipeOnExit(const WipeOnExit&) = delete;
  WipeOnExit& operator=(const WipeOnExit&) = delete;
  ~WipeOnExit() { secure_wipe(bytes_); }

 private:
  Bytes& bytes_;
};

template <std::size_t N>
BytesView view(const std::array<std::uint8_t, N>& bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

KeyringOutcome no_encryption() {
  return KeyringOutcome{EncryptionEngine::disabled(), {}, 0, false};
}

// The library's message without its "[json.exception.xxx.nnn] " prefix.
std::string json_message(const nlohmann::json::exception& e) {
  std::string_view what = e.what();
  if (const auto end = what.find("] "); !what.empty() && what[0] == '[' && end != what.npos) {
    what.remove_prefix(end + 2);
  }
  return std::string(what);
}

// Thrown by the parse callback to stop at a member given twice; caught in parse_keyring.
struct DuplicateField {
  std::string_view name;
};

int field_index(std::string_view name) {
  for (std::size_t i = 0; i < kFields.size(); ++i) {
    if (kFields[i] == name) return static_cast<int>(i);
  }
  return -1;
}

std::optional<std::string> read_u32(const Json& v, std::string_view name, std::uint32_t& out) {
  if (!v.is_number_integer()) {
    return fmt::format("invalid type for field `{}`: {}, expected u32", name, v.type_name());
  }
  if (!v.is_number_unsigned() || v.get<std::uint64_t>() > UINT32_MAX) {
    return fmt::format("invalid value for field `{}`: {}, expected u32", name, v.dump());
  }
  out = static_cast<std::uint32_t>(v.get<std::uint64_t>());
  return std::nullopt;
}

std::optional<std::string> read_string(const Json& v, std::string_view name, std::string& out) {
  if (!v.is_string()) {
    return fmt::format("invalid type for field `{}`: {}, expected a string", name, v.type_name());
  }
  out = v.get<std::string>();
  return std::nullopt;
}

// Stores member `index` of kFields into file; an error text when its JSON type is wrong.
std::optional<std::string> read_field(const Json& v, int index, KeyringFile& file) {
  const std::string_view name = kFields[static_cast<std::size_t>(index)];
  switch (index) {
    case 0: return read_u32(v, name, file.format_version);
    case 1:
      if (!v.is_boolean()) {
        return fmt::format("invalid type for field `{}`: {}, expected a boolean", name,
                           v.type_name());
      }
      file.encrypted = v.get<bool>();
      return std::nullopt;
    case 2: return read_string(v, name, file.db_uuid);
    case 3: return read_string(v, name, file.kek_source_id);
    case 4: return read_u32(v, name, file.key_epoch);
    case 5: return read_string(v, name, file.salt);
    case 6: return read_string(v, name, file.wrapped_dek);
    case 7: return read_string(v, name, file.canary);
    default: return read_string(v, name, file.mac);
  }
}

Result<KeyringFile> fields_from_object(const Json& doc) {
  KeyringFile file;
  std::array<bool, kFields.size()> seen{};
  for (const auto& [key, value] : doc.items()) {
    const int index = field_index(key);
    if (index < 0) continue;  // unknown members are ignored
    if (auto err = read_field(value, index, file)) return malformed(*err);
    seen[static_cast<std::size_t>(index)] = true;
  }
  for (std::size_t i = 0; i < kFields.size(); ++i) {
    if (!seen[i]) return malformed(fmt::format("missing field `{}`", kFields[i]));
  }
  return file;
}

Result<KeyringFile> fields_from_array(const Json& doc) {
  if (doc.size() != kFields.size()) {
    return malformed(fmt::format("invalid length {}, expected an array of {} values", doc.size(),
                                 kFields.size()));
  }
  KeyringFile file;
  for (std::size_t i = 0; i < kFields.size(); ++i) {
    if (auto err = read_field(doc[i], static_cast<int>(i), file)) return malformed(*err);
  }
  return file;
}

Result<> check_version(const KeyringFile& file) {
  if (file.format_version != kFormatVersion) {
    return refuse(fmt::format("unsupported keyring format version {} (expected {})",
                              file.format_version, kFormatVersion));
  }
  return {};
}

// The path taken for a keyring on disk once a KEK is known to be present: read, version check,
// MAC, unwrap. `encrypted` is not consulted here (the caller decides whether it matters).
Result<KeyringFile> read_checked(const std::filesystem::path& path) {
  auto file = read_keyring(path);
  if (!file) return fail(std::move(file.error()));
  if (auto r = check_version(*file); !r) return fail(std::move(r.error()));
  return file;
}

// Sets salt (drawn afresh) and wrapped_dek: dek sealed under kek's wrapping subkey, bound to the
// file's db_uuid (uuid, decoded), key_epoch and kek_source_id. Returns the salt's bytes.
Result<Bytes> wrap_dek(KeyringFile& file, const EncryptionKey& kek, BytesView dek,
                       const std::array<std::uint8_t, 16>& uuid) {
  Bytes salt = random_bytes(16);
  const EncryptionEngine wrapper(derive_subkey(kek, salt, kWrapLabel));
  auto wrapped = wrapper.encrypt_with_aad(dek, wrap_aad(uuid, file.key_epoch, file.kek_source_id));
  if (!wrapped) return fail(KavrelError::from(wrapped.error()));
  file.salt = to_hex(salt);
  file.wrapped_dek = to_hex(*wrapped);
  return salt;
}

// The MAC of every other member under kek's MAC subkey, as hex.
std::string mac_hex(const KeyringFile& file, const EncryptionKey& kek, BytesView salt) {
  return to_hex(view(compute_mac(derive_subkey(kek, salt, kMacLabel), file)));
}

// The data key of a keyring whose MAC verified under kek, with the decoded db_uuid. The caller
// wipes the key.
struct UnwrappedDek {
  Bytes dek;
  std::array<std::uint8_t, 16> uuid;
};
Result<UnwrappedDek> unwrap_dek(const KeyringFile& file, const EncryptionKey& kek) {
  auto salt = decode_fixed(file.salt, "salt");
  if (!salt) return fail(std::move(salt.error()));
  auto uuid = decode_fixed(file.db_uuid, "db_uuid");
  if (!uuid) return fail(std::move(uuid.error()));
  const EncryptionEngine wrapper(derive_subkey(kek, view(*salt), kWrapLabel));
  const auto wrapped = from_hex(file.wrapped_dek);
  if (!wrapped) return refuse("malformed wrapped_dek");
  auto dek =
      wrapper.decrypt_with_aad(*wrapped, wrap_aad(*uuid, file.key_epoch, file.kek_source_id));
  if (!dek) return refuse("failed to unwrap data key: wrong encryption key; refusing to open");
  if (dek->size() != EncryptionKey::kSize) {
    secure_wipe(*dek);
    return refuse("unwrapped DEK is not 32 bytes");
  }
  return UnwrappedDek{std::move(*dek), *uuid};
}

// Builds a new keyring under kek and publishes it without replacing one that already exists.
Result<KeyringOutcome> create(const std::filesystem::path& dir, const EncryptionKey& kek,
                              std::string_view kek_source_id) {
  const Bytes uuid_bytes = random_bytes(16);
  Bytes dek = random_bytes(EncryptionKey::kSize);
  WipeOnExit wipe_dek(dek);
  std::array<std::uint8_t, 16> uuid{};
  std::memcpy(uuid.data(), uuid_bytes.data(), uuid.size());

  KeyringFile file;
  file.format_version = kFormatVersion;
  file.encrypted = true;
  file.db_uuid = to_hex(uuid_bytes);
  file.kek_source_id = std::string(kek_source_id);
  file.key_epoch = 0;
  auto salt = wrap_dek(file, kek, dek, uuid);
  if (!salt) return fail(std::move(salt.error()));
  auto engine = std::make_shared<const EncryptionEngine>(EncryptionKey(dek));
  secure_wipe(dek);  // the engine holds the only copy from here on
  auto canary = engine->encrypt_with_aad(kCanaryToken, canary_aad(uuid, 0));
  if (!canary) return fail(KavrelError::from(canary.error()));
  file.canary = to_hex(*canary);
  file.mac = mac_hex(file, kek, *salt);

  if (auto r = create_dir_all(dir); !r) return fail(std::move(r.error()));
  auto text = serialize_keyring(file);
  if (!text) return fail(std::move(text.error()));
  auto published = publish_file(dir, kFileName, *text, PublishMode::NoOverwrite);
  if (!published) {
    const PublishError& e = published.error();
    if (e.stage == PublishError::Stage::Move) {
      return refuse(fmt::format("failed to publish keyring: {}", os_error_text(e.err)));
    }
    return fail(KavrelError::io(e.err));
  }
  if (*published == PublishOutcome::AlreadyExists) {
    // Another opener won the race: drop what was built and open its keyring with this KEK.
    auto existing = read_checked(dir / kFileName);
    if (!existing) return fail(std::move(existing.error()));
    if (auto r = verify_mac(*existing, kek); !r) return fail(std::move(r.error()));
    return open_encrypted(*existing, kek);
  }
  return KeyringOutcome{std::move(engine), uuid, 0, true};
}

}  // namespace

Result<KeyringOutcome> load_or_init(const std::filesystem::path& dir,
                                    const std::optional<EncryptionKey>& kek,
                                    std::string_view kek_source_id, bool new_database) {
  const std::filesystem::path path = dir / kFileName;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {  // metadata that cannot be read counts as absent
    if (!kek) return no_encryption();
    if (!new_database) return refuse(std::string(kRefuseInPlace));
    return create(dir, *kek, kek_source_id);
  }
  auto file = read_checked(path);
  if (!file) return fail(std::move(file.error()));
  if (!kek) return refuse(std::string(kRefuseNoKek));
  if (auto r = verify_mac(*file, *kek); !r) return fail(std::move(r.error()));
  if (!file->encrypted) return no_encryption();
  return open_encrypted(*file, *kek);
}

Result<> check_existing(const std::filesystem::path& dir, const std::optional<EncryptionKey>& kek) {
  struct stat st {};
  if (::stat((dir / kFileName).c_str(), &st) != 0) return {};
  // With new_database false, load_or_init only reads: it creates a keyring for a new database
  // alone, and refuses a key for a directory without one.
  auto out = load_or_init(dir, kek, "", false);
  if (!out) return fail(std::move(out.error()));
  return {};
}

Result<KeyringFile> rotate(const std::filesystem::path& dir, const EncryptionKey& old_kek,
                           const EncryptionKey& new_kek, std::string_view new_source_id) {
  auto file = read_checked(dir / kFileName);
  if (!file) {
    const KavrelError& e = file.error();
    if (e.kind() == KavrelError::Kind::Io && e.os_error() == ENOENT) {
      return refuse(std::string(kNoKeyringToRotate));
    }
    return fail(std::move(file.error()));
  }
  if (auto r = verify_mac(*file, old_kek); !r) return fail(std::move(r.error()));
  if (!file->encrypted) return refuse(std::string(kPlaintextKeyring));
  // The whole proof an open makes (the canary too), so that a keyring that would not open is
  // never re-wrapped into one that looks sound.
  if (auto r = open_encrypted(*file, old_kek); !r) return fail(std::move(r.error()));
  auto unwrapped = unwrap_dek(*file, old_kek);
  if (!unwrapped) return fail(std::move(unwrapped.error()));
  WipeOnExit wipe_dek(unwrapped->dek);

  KeyringFile next = *file;
  next.kek_source_id = std::string(new_source_id);
  auto salt = wrap_dek(next, new_kek, unwrapped->dek, unwrapped->uuid);
  if (!salt) return fail(std::move(salt.error()));
  next.mac = mac_hex(next, new_kek, *salt);
  if (auto r = verify_mac(next, new_kek); !r) return fail(std::move(r.error()));
  if (auto r = open_encrypted(next, new_kek); !r) return fail(std::move(r.error()));

  auto text = serialize_keyring(next);
  if (!text) return fail(std::move(text.error()));
  auto published = publish_file(dir, kFileName, *text, PublishMode::Replace);
  if (!published) return fail(KavrelError::io(published.error().err));
  return next;
}

Result<KeyringFile> read_keyring(const std::filesystem::path& path) {
  auto text = read_whole_file(path);
  if (!text) return fail(std::move(text.error()));
  return parse_keyring(*text);
}

Result<KeyringFile> parse_keyring(std::string_view text) {
  std::array<bool, kFields.size()> seen{};
  // Top-level member names arrive as key events at depth 1; the parsed document cannot show a
  // duplicate any more (the later value would silently win), so it is caught here.
  const auto on_event = [&seen](int depth, Json::parse_event_t event, Json& parsed) {
    if (depth == 1 && event == Json::parse_event_t::key) {
      const int index = field_index(parsed.get_ref<const std::string&>());
      if (index >= 0 && std::exchange(seen[static_cast<std::size_t>(index)], true)) {
        throw DuplicateField{kFields[static_cast<std::size_t>(index)]};
      }
    }
    return true;
  };
  Json doc;
  try {
    doc = Json::parse(text, on_event);
  } catch (const DuplicateField& d) {
    return malformed(fmt::format("duplicate field `{}`", d.name));
  } catch (const nlohmann::json::exception& e) {
    return malformed(json_message(e));
  }
  if (doc.is_object()) return fields_from_object(doc);
  if (doc.is_array()) return fields_from_array(doc);
  return malformed(fmt::format("invalid type: {}, expected a keyring object", doc.type_name()));
}

Result<std::string> serialize_keyring(const KeyringFile& file) {
  Json doc = Json::object();
  doc["format_version"] = file.format_version;
  doc["encrypted"] = file.encrypted;
  doc["db_uuid"] = file.db_uuid;
  doc["kek_source_id"] = file.kek_source_id;
  doc["key_epoch"] = file.key_epoch;
  doc["salt"] = file.salt;
  doc["wrapped_dek"] = file.wrapped_dek;
  doc["canary"] = file.canary;
  doc["mac"] = file.mac;
  try {
    return doc.dump();  // compact: no whitespace, no trailing newline
  } catch (const nlohmann::json::exception& e) {
    return refuse(fmt::format("serialize keyring: {}", json_message(e)));
  }
}

Result<> verify_mac(const KeyringFile& file, const EncryptionKey& kek) {
  auto salt = decode_fixed(file.salt, "salt");
  if (!salt) return fail(std::move(salt.error()));
  const EncryptionKey mac_key = derive_subkey(kek, view(*salt), kMacLabel);
  const auto stored = from_hex(file.mac);
  if (!stored) return refuse("malformed keyring mac");
  const auto computed = compute_mac(mac_key, file);
  if (stored->size() != computed.size() ||
      CRYPTO_memcmp(stored->data(), computed.data(), computed.size()) != 0) {
    return refuse(std::string(kAuthFailed));
  }
  return {};
}

Result<KeyringOutcome> open_encrypted(const KeyringFile& file, const EncryptionKey& kek) {
  auto unwrapped = unwrap_dek(file, kek);
  if (!unwrapped) return fail(std::move(unwrapped.error()));
  WipeOnExit wipe_dek(unwrapped->dek);
  const auto& uuid = unwrapped->uuid;
  auto engine = std::make_shared<const EncryptionEngine>(EncryptionKey(unwrapped->dek));
  const auto canary = from_hex(file.canary);
  if (!canary) return refuse("malformed canary");
  const auto token = engine->decrypt_with_aad(*canary, canary_aad(uuid, file.key_epoch));
  if (!token) return refuse("canary decryption failed: wrong encryption key; refusing to open");
  if (*token != kCanaryToken) return refuse("canary token mismatch; refusing to open");
  return KeyringOutcome{std::move(engine), uuid, file.key_epoch, true};
}

std::array<std::uint8_t, 32> compute_mac(const EncryptionKey& mac_key, const KeyringFile& file) {
  return hmac_sha256(mac_key.view(), mac_input(file));
}

Bytes mac_input(const KeyringFile& file) {
  Bytes out;
  const auto item = [&out](BytesView bytes) {
    put_u32(out, static_cast<std::uint32_t>(bytes.size()));
    out.append(bytes);
  };
  put_u32(out, 4);
  put_u32(out, file.format_version);
  put_u32(out, 1);
  put_u8(out, file.encrypted ? 1 : 0);
  item(file.db_uuid);
  item(file.kek_source_id);
  put_u32(out, 4);
  put_u32(out, file.key_epoch);
  item(file.salt);
  item(file.wrapped_dek);
  item(file.canary);
  return out;
}

Bytes wrap_aad(const std::array<std::uint8_t, 16>& db_uuid, std::uint32_t key_epoch,
               std::string_view kek_source_id) {
  Bytes out = canary_aad(db_uuid, key_epoch);
  out.append(kek_source_id);
  return out;
}

Bytes canary_aad(const std::array<std::uint8_t, 16>& db_uuid, std::uint32_t key_epoch) {
  Bytes out(view(db_uuid));
  put_u32(out, key_epoch);
  return out;
}

Result<std::array<std::uint8_t, 16>> decode_fixed(std::string_view text, std::string_view name) {
  const auto bytes = from_hex(text);
  if (!bytes) return refuse(fmt::format("malformed keyring {}", name));
  std::array<std::uint8_t, 16> out{};
  if (bytes->size() != out.size()) {
    return refuse(
        fmt::format("keyring {} wrong length: {} != {}", name, bytes->size(), out.size()));
  }
  std::memcpy(out.data(), bytes->data(), out.size());
  return out;
}

}  // namespace kavrel::keyring
