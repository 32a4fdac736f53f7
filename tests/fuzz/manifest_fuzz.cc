// Fuzzes "wal.manifest": the input is the file. A manifest that loads must survive its own
// compact rendering unchanged, and a checkpoint's publish over it must keep its identity and
// leave a manifest that loads with the new LSN (an unreadable one is replaced by a fresh one).
#include <cstddef>
#include <cstdint>
#include <filesystem>

#include "core/text.h"
#include "storage/internal/wal/wal_manifest.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kavrel;
  static const auto dir = [] {
    auto d = fuzz::scratch_dir() / "manifest";
    std::filesystem::create_directories(d);
    return d;
  }();
  const auto file = dir / WalManifest::kFileName;
  fuzz::write_file(file, fuzz::view(data, size));
  auto loaded = WalManifest::load(dir);
  if (!loaded) {
    FUZZ_CHECK(loaded.error().kind() == KavrelError::Kind::Corruption);
    FUZZ_CHECK(loaded.error().text().starts_with("malformed wal.manifest: ") ||
               loaded.error().text().starts_with("unsupported wal.manifest version "));
  } else {
    FUZZ_CHECK(loaded->format_version == WalManifest::kFormatVersion);
    if (is_valid_utf8(loaded->db_uuid)) {
      fuzz::write_file(file, loaded->to_json());
      auto again = WalManifest::load(dir);
      FUZZ_CHECK(again && *again == *loaded);
      fuzz::write_file(file, fuzz::view(data, size));
    }
  }
  const std::uint64_t lsn = size * 7919;
  auto published = WalManifest::publish(dir, lsn);
  if (loaded && !is_valid_utf8(loaded->db_uuid)) {
    // Such an identity cannot be written as JSON text; the old file stays.
    FUZZ_CHECK(!published);
    return 0;
  }
  FUZZ_CHECK(published.has_value());
  auto after = WalManifest::load(dir);
  FUZZ_CHECK(after && after->last_checkpoint_lsn == lsn);
  if (loaded) {
    FUZZ_CHECK(after->db_uuid == loaded->db_uuid);
  } else {
    FUZZ_CHECK(after->db_uuid.size() == 32);
  }
  return 0;
}
