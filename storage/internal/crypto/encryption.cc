#include "storage/internal/crypto/encryption.h"

#include <gcrypt.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/params.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "storage/internal/io/fs_util.h"

// AES-256-GCM-SIV (RFC 8452) comes from libgcrypt: the OpenSSL release of this platform has no
// GCM-SIV. HKDF, HMAC, the constant-time compare and the cleansing come from OpenSSL.
#if GCRYPT_VERSION_NUMBER < 0x010a00
#error "libgcrypt 1.10 or newer is required for AES-256-GCM-SIV"
#endif

namespace kavrel {
namespace {

[[noreturn]] void fatal(const char* what) {
  std::fprintf(stderr, "fatal: %s\n", what);
  std::abort();
}

// libgcrypt must be initialised once per process before its first use from any thread. Secure
// memory stays off: it needs locked pages, which containers often refuse, and the cipher
// contexts are wiped by gcry_cipher_close anyway.
void ensure_gcrypt() {
  static const bool ready = [] {
    if (gcry_check_version("1.10.0") == nullptr) fatal("libgcrypt 1.10 or newer is required");
    if (!gcry_control(GCRYCTL_INITIALIZATION_FINISHED_P)) {
      gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
      gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
    }
    return true;
  }();
  (void)ready;
}

// One AES-256-GCM-SIV context, opened per call so that engines hold no mutable state and any
// number of threads can seal and open at once. Closing wipes the expanded key.
class Cipher {
 public:
  Cipher() = default;
  Cipher(const Cipher&) = delete;
  Cipher& operator=(const Cipher&) = delete;
  ~Cipher() {
    if (hd_ != nullptr) gcry_cipher_close(hd_);
  }
  // Opens the context and loads key, nonce and additional data. False on any failure.
  bool start(const EncryptionKey& key, BytesView nonce, BytesView aad) {
    if (gcry_cipher_open(&hd_, GCRY_CIPHER_AES256, GCRY_CIPHER_MODE_GCM_SIV, 0) != 0) {
      hd_ = nullptr;
      return false;
    }
    if (gcry_cipher_setkey(hd_, key.bytes().data(), key.bytes().size()) != 0) return false;
    if (gcry_cipher_setiv(hd_, nonce.data(), nonce.size()) != 0) return false;
    return aad.empty() || gcry_cipher_authenticate(hd_, aad.data(), aad.size()) == 0;
  }
  [[nodiscard]] gcry_cipher_hd_t get() const { return hd_; }

 private:
  gcry_cipher_hd_t hd_ = nullptr;
};

// libgcrypt reads a null input pointer as "in place"; give it a real address for empty input.
const void* input_ptr(BytesView v) {
  static const char kEmpty = 0;
  return v.empty() ? &kEmpty : v.data();
}

EVP_KDF* hkdf_algorithm() {
  // Fetched once and kept for the life of the process; fetched algorithms are thread-safe.
  static EVP_KDF* const kdf = EVP_KDF_fetch(nullptr, "HKDF", nullptr);
  if (kdf == nullptr) fatal("OpenSSL offers no HKDF");
  return kdf;
}

EVP_MAC* hmac_algorithm() {
  static EVP_MAC* const mac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
  if (mac == nullptr) fatal("OpenSSL offers no HMAC");
  return mac;
}

// OpenSSL reads a null key as "keep the previous key" and OSSL_PARAM takes non-const pointers
// for parameters it only reads; this gives every view, even an empty one, a real address.
unsigned char* octets(BytesView v) {
  return static_cast<unsigned char*>(const_cast<void*>(input_ptr(v)));
}

}  // namespace

void secure_wipe(void* data, std::size_t size) {
  if (size != 0) OPENSSL_cleanse(data, size);
}

// ---- EncryptionKey ----

EncryptionKey::EncryptionKey() = default;

EncryptionKey::EncryptionKey(BytesView bytes) {
  if (bytes.size() != kSize) fatal("an encryption key must be exactly 32 bytes");
  std::memcpy(bytes_.data(), bytes.data(), kSize);
}

std::optional<EncryptionKey> EncryptionKey::from_bytes(BytesView bytes) {
  if (bytes.size() != kSize) return std::nullopt;
  return EncryptionKey(bytes);
}

EncryptionKey::EncryptionKey(const EncryptionKey& o) : bytes_(o.bytes_) {}

EncryptionKey& EncryptionKey::operator=(const EncryptionKey& o) {
  if (this != &o) {
    secure_wipe(bytes_.data(), bytes_.size());
    bytes_ = o.bytes_;
  }
  return *this;
}

EncryptionKey::~EncryptionKey() { secure_wipe(bytes_.data(), bytes_.size()); }

// ---- EncryptionEngine ----

EncryptionEngine::EncryptionEngine(const EncryptionKey& key) : key_(key), enabled_(true) {
  ensure_gcrypt();
}

EncryptionEngine::EncryptionEngine(Disabled) : enabled_(false) {}

EncryptionEngine::~EncryptionEngine() = default;

std::shared_ptr<const EncryptionEngine> EncryptionEngine::disabled() {
  static const std::shared_ptr<const EncryptionEngine> engine(new EncryptionEngine(Disabled{}));
  return engine;
}

Result<Bytes, EncryptionError> EncryptionEngine::encrypt_with_aad(BytesView plaintext,
                                                                  BytesView aad) const {
  if (!enabled_) return Bytes(plaintext);
  const Bytes nonce = random_bytes(kNonceSize);
  return encrypt_with_nonce(plaintext, aad, nonce);
}

Result<Bytes, EncryptionError> EncryptionEngine::encrypt_with_nonce(BytesView plaintext,
                                                                    BytesView aad,
                                                                    BytesView nonce12) const {
  if (!enabled_) return Bytes(plaintext);
  if (nonce12.size() != kNonceSize || plaintext.size() > kMaxInput || aad.size() > kMaxInput) {
    return std::unexpected(EncryptionError::encryption_failed());
  }
  const std::size_t n = plaintext.size();
  Bytes out(kOverhead + n, '\0');
  out[0] = static_cast<char>(kVersion);
  std::memcpy(out.data() + 1, nonce12.data(), kNonceSize);
  char* const ciphertext = out.data() + 1 + kNonceSize;
  Cipher cipher;
  const bool ok = cipher.start(key_, nonce12, aad) && gcry_cipher_final(cipher.get()) == 0 &&
                  gcry_cipher_encrypt(cipher.get(), ciphertext, n, input_ptr(plaintext), n) == 0 &&
                  gcry_cipher_gettag(cipher.get(), ciphertext + n, kTagSize) == 0;
  if (!ok) {
    secure_wipe(out);  // never hand out partial output
    return std::unexpected(EncryptionError::encryption_failed());
  }
  return out;
}

Result<Bytes, EncryptionError> EncryptionEngine::decrypt_with_aad(BytesView sealed,
                                                                  BytesView aad) const {
  if (!enabled_) return Bytes(sealed);
  if (sealed.size() < kOverhead) {
    return std::unexpected(EncryptionError::invalid_format("Data too short for encrypted block"));
  }
  if (const auto version = static_cast<std::uint8_t>(sealed[0]); version != kVersion) {
    return std::unexpected(EncryptionError::unsupported_version(version));
  }
  const std::size_t n = sealed.size() - kOverhead;
  if (n > kMaxInput || aad.size() > kMaxInput) {
    return std::unexpected(EncryptionError::decryption_failed());
  }
  const BytesView nonce = sealed.substr(1, kNonceSize);
  const BytesView ciphertext = sealed.substr(1 + kNonceSize, n);
  const BytesView tag = sealed.substr(1 + kNonceSize + n, kTagSize);
  Bytes out(n, '\0');
  // The tag is handed over before decrypting: GCM-SIV derives the keystream from it, and
  // libgcrypt compares the recomputed tag in constant time, clearing the output on a mismatch.
  Cipher cipher;
  const bool ok = cipher.start(key_, nonce, aad) &&
                  gcry_cipher_set_decryption_tag(cipher.get(), tag.data(), kTagSize) == 0 &&
                  gcry_cipher_final(cipher.get()) == 0 &&
                  gcry_cipher_decrypt(cipher.get(), out.data(), n, input_ptr(ciphertext), n) == 0;
  if (!ok) {
    secure_wipe(out);
    return std::unexpected(EncryptionError::decryption_failed());
  }
  return out;
}

// ---- Subkeys and MACs ----

EncryptionKey derive_subkey(const EncryptionKey& key, BytesView salt16, BytesView info) {
  EVP_KDF_CTX* ctx = EVP_KDF_CTX_new(hkdf_algorithm());
  if (ctx == nullptr) fatal("cannot create an HKDF context");
  char digest[] = "SHA256";
  const OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0),
      OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY, octets(key.view()), key.view().size()),
      OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT, octets(salt16), salt16.size()),
      OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_INFO, octets(info), info.size()),
      OSSL_PARAM_construct_end(),
  };
  std::array<std::uint8_t, EncryptionKey::kSize> out{};
  const int ok = EVP_KDF_derive(ctx, out.data(), out.size(), params);
  EVP_KDF_CTX_free(ctx);  // clears the context's copy of the key
  if (ok != 1) fatal("HKDF-SHA256 derivation failed");
  EncryptionKey derived(BytesView(reinterpret_cast<const char*>(out.data()), out.size()));
  secure_wipe(out.data(), out.size());
  return derived;
}

std::array<std::uint8_t, 32> hmac_sha256(BytesView key, BytesView data) {
  EVP_MAC_CTX* ctx = EVP_MAC_CTX_new(hmac_algorithm());
  if (ctx == nullptr) fatal("cannot create an HMAC context");
  char digest[] = "SHA256";
  const OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
      OSSL_PARAM_construct_end(),
  };
  std::array<std::uint8_t, 32> out{};
  std::size_t len = 0;
  const bool ok = EVP_MAC_init(ctx, octets(key), key.size(), params) == 1 &&
                  EVP_MAC_update(ctx, octets(data), data.size()) == 1 &&
                  EVP_MAC_final(ctx, out.data(), &len, out.size()) == 1 && len == out.size();
  EVP_MAC_CTX_free(ctx);
  if (!ok) fatal("HMAC-SHA256 failed");
  return out;
}

}  // namespace kavrel
