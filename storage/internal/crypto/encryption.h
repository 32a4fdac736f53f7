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
#include <optional>

#include "core/bytes.h"
#include "core/error.h"

namespace kavrel {

// Exactly 32 bytes of key material, overwritten with zeros when dropped.
class EncryptionKey {
 public:
  static constexpr std::size_t kSize = 32;
  EncryptionKey();                          // all zero
  explicit EncryptionKey(BytesView bytes);  // bytes.size() must be 32 (else the process aborts)
  // The key when bytes holds exactly 32 bytes, else nullopt.
  static std::optional<EncryptionKey> from_bytes(BytesView bytes);
  EncryptionKey(const EncryptionKey& o);
  EncryptionKey& operator=(const EncryptionKey& o);
  ~EncryptionKey();
  const std::array<std::uint8_t, kSize>& bytes() const { return bytes_; }
  BytesView view() const { return {reinterpret_cast<const char*>(bytes_.data()), bytes_.size()}; }

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
  // The sealing step itself with a caller-chosen 12-byte nonce. encrypt_with_aad calls it with a
  // fresh random nonce; tests call it directly to check known answers. Never reuse a nonce under
  // one key outside tests. A nonce of another size, or a plaintext or additional data longer than
  // kMaxInput, gives EncryptionFailed. Disabled: a copy of the plaintext.
  Result<Bytes, EncryptionError> encrypt_with_nonce(BytesView plaintext, BytesView aad,
                                                    BytesView nonce12) const;

  // The longest plaintext, ciphertext or additional data the algorithm accepts (2^36 bytes).
  static constexpr std::uint64_t kMaxInput = std::uint64_t{1} << 36;

 private:
  struct Disabled {};
  explicit EncryptionEngine(Disabled);
  EncryptionKey key_;
  bool enabled_;
};

// HKDF-SHA256 (RFC 5869) with a 16-byte salt and a purpose label; 32 bytes of output.
EncryptionKey derive_subkey(const EncryptionKey& key, BytesView salt16, BytesView info);

// HMAC-SHA256 of data under key.
std::array<std::uint8_t, 32> hmac_sha256(BytesView key, BytesView data);

// Overwrites the bytes with zeros in a way the compiler does not remove.
void secure_wipe(void* data, std::size_t size);
inline void secure_wipe(Bytes& bytes) { secure_wipe(bytes.data(), bytes.size()); }

}  // namespace kavrel
