// Shared pieces of the fuzz targets: a scratch directory, fixed key material, file helpers and a
// check that aborts (so that libFuzzer records the input) with a message.
#pragma once

#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>

#include "core/bytes.h"
#include "storage/internal/crypto/encryption.h"

// Aborts with the failed condition when a property of the code under test does not hold.
#define FUZZ_CHECK(cond)                                                               \
  do {                                                                                 \
    if (!(cond)) {                                                                     \
      std::fprintf(stderr, "%s:%d: property failed: %s\n", __FILE__, __LINE__, #cond); \
      std::abort();                                                                    \
    }                                                                                  \
  } while (0)

namespace kavrel::fuzz {

// A directory of this process, in memory when /dev/shm exists (fsync costs nothing there),
// created at the first call and removed at exit.
inline const std::filesystem::path& scratch_dir() {
  // Never destroyed: the removal at exit runs after the destructors of function statics.
  static const std::filesystem::path* dir = [] {
    std::string tmpl =
        std::filesystem::is_directory("/dev/shm") ? "/dev/shm/kvfuzz.XXXXXX" : "/tmp/kvfuzz.XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr) {
      std::perror("mkdtemp");
      std::abort();
    }
    return new std::filesystem::path(tmpl);
  }();
  static const bool removal_registered = [] {
    std::atexit([] {
      std::error_code ec;
      std::filesystem::remove_all(*dir, ec);
    });
    return true;
  }();
  (void)removal_registered;
  return *dir;
}

inline void write_file(const std::filesystem::path& p, std::string_view bytes) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline BytesView view(const std::uint8_t* data, std::size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

// The key material the encrypted seeds were made with (tests/fuzz/seed_corpus.cc).
inline const EncryptionKey& fuzz_dek() {
  static const EncryptionKey key(Bytes(32, '\x5d'));
  return key;
}
inline const EncryptionKey& fuzz_kek() {
  static const EncryptionKey key(Bytes(32, '\x6b'));
  return key;
}
inline constexpr std::array<std::uint8_t, 16> kFuzzDbUuid = {1, 2,  3,  4,  5,  6,  7,  8,
                                                             9, 10, 11, 12, 13, 14, 15, 16};
inline constexpr std::uint32_t kFuzzKeyEpoch = 3;
inline std::shared_ptr<const EncryptionEngine> fuzz_engine() {
  static const auto engine = std::make_shared<const EncryptionEngine>(fuzz_dek());
  return engine;
}

}  // namespace kavrel::fuzz
