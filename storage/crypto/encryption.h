// AES-256-GCM-SIV sealing of byte strings, and HKDF-SHA256 subkeys.
//
// Sealed format: 0x01 | 12-byte random nonce | ciphertext | 16-byte tag (plaintext + 29 bytes).
// The additional data is bound into the tag but not stored; the opener supplies the same bytes.
// Engines are immutable after construction and may be shared by any number of threads.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "core/bytes.h"
#include "core/error.h"

namespace kavrel {

// Exactly 32 bytes of key material, overwritten with zeros when dropped.
class EncryptionKey {
 public:
  static constexpr std::size_t kSize = 32;
  EncryptionKey();  // all zero
  explicit EncryptionKey(BytesView bytes);  // bytes.size() must be 32
  EncryptionKey(const EncryptionKey& o);
  EncryptionKey& operator=(const EncryptionKey& o);
  ~EncryptionKey();
  const std::array<std::uint8_t, kSize>& bytes() const { return bytes_; }
  BytesView view() const {
    return {reinterpret_cast<const char*>(bytes_.data()), bytes_.size()};
  }

 private:
  std::array<std::uint8_t, kSize> bytes_{};
};

class EncryptionEngine {
 public:
  static constexpr std::uint8_t kVersion = 0x01;
  static constexpr std::size_t kNonceSize = 12;
  static constexpr std::size_t kTagSize = 16;
  static constexpr std::size_t kOverhead = 1 + kNonceSize + kTagSize;  // 29

  explicit EncryptionEngine(const EncryptionKey& key);  // enabled
  static std::shared_ptr<const EncryptionEngine> disabled();
  ~EncryptionEngine();
  EncryptionEngine(const EncryptionEngine&) = delete;
  EncryptionEngine& operator=(const EncryptionEngine&) = delete;

  bool enabled() const { return enabled_; }
  // Disabled: a copy of the plaintext. Enabled: the sealed bytes.
  Result<Bytes, EncryptionError> encrypt_with_aad(BytesView plaintext, BytesView aad) const;
  // Disabled: a copy of the input. Enabled: the plaintext, or InvalidFormat ("Data too short for
  // encrypted block"), UnsupportedVersion, DecryptionFailed.
  Result<Bytes, EncryptionError> decrypt_with_aad(BytesView sealed, BytesView aad) const;

 private:
  struct Disabled {};
  explicit EncryptionEngine(Disabled);
  EncryptionKey key_;
  bool enabled_;
};

// HKDF-SHA256 (RFC 5869) with a 16-byte salt and a purpose label; 32 bytes of output.
EncryptionKey derive_subkey(const EncryptionKey& key, BytesView salt16, BytesView info);

}  // namespace kavrel
