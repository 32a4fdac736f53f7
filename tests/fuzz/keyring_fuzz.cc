// Fuzzes "keyring.json": parsing, the compact rendering, the MAC check and the open. A keyring
// that parses must render and parse back to the same members; one whose MAC verifies under the
// key-encryption key must open; the storage open's keyring step reports only its own errors.
#include <cstddef>
#include <cstdint>
#include <filesystem>

#include "storage/internal/crypto/keyring.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

using namespace kavrel;

bool same(const KeyringFile& a, const KeyringFile& b) {
  return a.format_version == b.format_version && a.encrypted == b.encrypted &&
         a.db_uuid == b.db_uuid && a.kek_source_id == b.kek_source_id &&
         a.key_epoch == b.key_epoch && a.salt == b.salt && a.wrapped_dek == b.wrapped_dek &&
         a.canary == b.canary && a.mac == b.mac;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const auto dir = [] {
    auto d = fuzz::scratch_dir() / "keyring";
    std::filesystem::create_directories(d);
    return d;
  }();
  const BytesView text = fuzz::view(data, size);
  auto parsed = keyring::parse_keyring(text);
  if (!parsed) {
    FUZZ_CHECK(parsed.error().kind() == KavrelError::Kind::Encryption);
    FUZZ_CHECK(parsed.error().text().starts_with("malformed keyring: "));
  } else {
    auto rendered = keyring::serialize_keyring(*parsed);
    if (rendered) {
      auto again = keyring::parse_keyring(*rendered);
      FUZZ_CHECK(again && same(*again, *parsed));
    }
    if (keyring::verify_mac(*parsed, fuzz::fuzz_kek())) {
      auto opened = keyring::open_encrypted(*parsed, fuzz::fuzz_kek());
      FUZZ_CHECK(opened.has_value() || !parsed->encrypted);
    }
  }
  fuzz::write_file(dir / keyring::kFileName, text);
  auto outcome = keyring::load_or_init(dir, fuzz::fuzz_kek(), "fuzz", false);
  if (!outcome) {
    FUZZ_CHECK(outcome.error().kind() == KavrelError::Kind::Encryption);
  } else {
    FUZZ_CHECK(parsed.has_value());
    FUZZ_CHECK(outcome->encrypted == parsed->encrypted);
    FUZZ_CHECK(outcome->engine != nullptr && outcome->engine->enabled() == outcome->encrypted);
  }
  return 0;
}
