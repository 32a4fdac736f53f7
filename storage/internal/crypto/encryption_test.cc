#include "storage/internal/crypto/encryption.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/text.h"

namespace kavrel {
namespace {

using Kind = EncryptionError::Kind;

Bytes unhex(std::string_view hex) {
  auto bytes = from_hex(hex);
  EXPECT_TRUE(bytes.has_value()) << hex;
  return bytes.value_or(Bytes());
}

EncryptionKey key_of(std::string_view hex) { return EncryptionKey(unhex(hex)); }

EncryptionKey filled_key(char c) { return EncryptionKey(Bytes(EncryptionKey::kSize, c)); }

// RFC 8452, Appendix C.2 (AEAD_AES_256_GCM_SIV). Result = ciphertext followed by the tag.
TEST(EncryptionTest, MatchesRfc8452KnownAnswers) {
  struct Case {
    const char* name;
    const char* key;
    const char* nonce;
    const char* plaintext;
    const char* aad;
    const char* result;
  };
  constexpr const char* kKey1 = "0100000000000000000000000000000000000000000000000000000000000000";
  constexpr const char* kNonce1 = "030000000000000000000000";
  const Case cases[] = {
      {"empty plaintext", kKey1, kNonce1, "", "", "07f5f4169bbf55a8400cd47ea6fd400f"},
      {"8 bytes", kKey1, kNonce1, "0100000000000000", "",
       "c2ef328e5c71c83b843122130f7364b761e0b97427e3df28"},
      {"12 bytes", kKey1, kNonce1, "010000000000000000000000", "",
       "9aab2aeb3faa0a34aea8e2b18ca50da9ae6559e48fd10f6e5c9ca17e"},
      {"one block", kKey1, kNonce1, "01000000000000000000000000000000", "",
       "85a01b63025ba19b7fd3ddfc033b3e76c9eac6fa700942702e90862383c6c366"},
      {"empty plaintext, other key",
       "e66021d5eb8e4f4066d4adb9c33560e4f46e44bb3da0015c94f7088736864200",
       "e0eaf5284d884a0e77d31646", "", "", "169fbb2fbf389a995f6390af22228a62"},
      {"with additional data", "bae8e37fc83441b16034566b7a806c46bb91c3c5aedb64a6c590bc84d1a5e269",
       "e4b47801afc0577e34699b9e", "671fdd", "4fbdc66f14",
       "0eaccb93da9bb81333aee0c785b240d319719d"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const EncryptionEngine engine(key_of(c.key));
    const Bytes nonce = unhex(c.nonce), plaintext = unhex(c.plaintext), aad = unhex(c.aad);
    auto sealed = engine.encrypt_with_nonce(plaintext, aad, nonce);
    ASSERT_TRUE(sealed.has_value());
    EXPECT_EQ(*sealed, "\x01" + nonce + unhex(c.result));
    auto opened = engine.decrypt_with_aad(*sealed, aad);
    ASSERT_TRUE(opened.has_value()) << opened.error().message();
    EXPECT_EQ(*opened, plaintext);
  }
}

TEST(EncryptionTest, EmptyPlaintextSealsTo29BytesAndOpens) {
  const EncryptionEngine engine(filled_key('k'));
  auto sealed = engine.encrypt_with_aad("", "aad");
  ASSERT_TRUE(sealed.has_value());
  ASSERT_EQ(sealed->size(), 29u);
  EXPECT_EQ(static_cast<std::uint8_t>((*sealed)[0]), 0x01);
  auto opened = engine.decrypt_with_aad(*sealed, "aad");
  ASSERT_TRUE(opened.has_value());
  EXPECT_EQ(*opened, "");
}

TEST(EncryptionTest, FreshNonceEverySealAndBothOpen) {
  const EncryptionEngine engine(filled_key('k'));
  const Bytes plaintext(1000, 'p');
  auto a = engine.encrypt_with_aad(plaintext, "ad");
  auto b = engine.encrypt_with_aad(plaintext, "ad");
  ASSERT_TRUE(a.has_value() && b.has_value());
  ASSERT_EQ(a->size(), plaintext.size() + EncryptionEngine::kOverhead);
  EXPECT_NE(a->substr(1, 12), b->substr(1, 12));
  EXPECT_NE(*a, *b);
  EXPECT_EQ(engine.decrypt_with_aad(*a, "ad").value(), plaintext);
  EXPECT_EQ(engine.decrypt_with_aad(*b, "ad").value(), plaintext);
}

TEST(EncryptionTest, AnyTamperingOrWrongContextFailsToOpen) {
  const EncryptionEngine engine(filled_key('k'));
  const Bytes plaintext = "some plaintext of a log frame";
  const Bytes sealed = engine.encrypt_with_aad(plaintext, "aad").value();
  const std::size_t tag_at = sealed.size() - 16;
  struct Case {
    const char* name;
    std::size_t flip;  // byte index to flip, or npos for none
    Bytes aad;
  };
  const Case cases[] = {
      {"first nonce byte", 1, "aad"},
      {"last nonce byte", 12, "aad"},
      {"first ciphertext byte", 13, "aad"},
      {"last ciphertext byte", tag_at - 1, "aad"},
      {"first tag byte", tag_at, "aad"},
      {"last tag byte", sealed.size() - 1, "aad"},
      {"other additional data", Bytes::npos, "aae"},
      {"no additional data", Bytes::npos, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes input = sealed;
    if (c.flip != Bytes::npos) input[c.flip] = static_cast<char>(input[c.flip] ^ 0x01);
    auto opened = engine.decrypt_with_aad(input, c.aad);
    ASSERT_FALSE(opened.has_value());
    EXPECT_EQ(opened.error().kind(), Kind::DecryptionFailed);
    EXPECT_EQ(opened.error().message(), "Decryption failed (wrong key or tampered data)");
  }
  const EncryptionEngine other(filled_key('o'));
  auto wrong_key = other.decrypt_with_aad(sealed, "aad");
  ASSERT_FALSE(wrong_key.has_value());
  EXPECT_EQ(wrong_key.error().kind(), Kind::DecryptionFailed);
}

TEST(EncryptionTest, MalformedInputsAreRejectedBeforeDecrypting) {
  const EncryptionEngine engine(filled_key('k'));
  struct Case {
    const char* name;
    Bytes input;
    const char* message;
  };
  const Case cases[] = {
      {"empty", "", "Invalid format: Data too short for encrypted block"},
      {"28 bytes", Bytes(28, '\x01'), "Invalid format: Data too short for encrypted block"},
      {"29 bytes, version 2", "\x02" + Bytes(28, '\0'), "Unsupported encryption version: 2"},
      {"version 0", Bytes(40, '\0'), "Unsupported encryption version: 0"},
      {"version 255", "\xff" + Bytes(28, '\0'), "Unsupported encryption version: 255"},
      {"29 bytes, version 1, bad tag", "\x01" + Bytes(28, '\0'),
       "Decryption failed (wrong key or tampered data)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto opened = engine.decrypt_with_aad(c.input, "");
    ASSERT_FALSE(opened.has_value());
    EXPECT_EQ(opened.error().message(), c.message);
    // Converted for callers of the storage layer.
    EXPECT_EQ(KavrelError::from(opened.error()).message(),
              std::string("Encryption error: ") + c.message);
  }
}

TEST(EncryptionTest, InputsBeyondTheAlgorithmLimitAreRefused) {
  const EncryptionEngine engine(filled_key('k'));
  const Bytes small(64, 'x');
  // Only the length is looked at before refusing; the bytes behind the view are never read.
  const BytesView huge(small.data(), EncryptionEngine::kMaxInput + 1);
  const BytesView at_limit_aad(small.data(), 16);
  auto sealed = engine.encrypt_with_aad(huge, "");
  ASSERT_FALSE(sealed.has_value());
  EXPECT_EQ(sealed.error().message(), "Encryption failed");
  auto huge_aad = engine.encrypt_with_aad(at_limit_aad, huge);
  ASSERT_FALSE(huge_aad.has_value());
  EXPECT_EQ(huge_aad.error().kind(), Kind::EncryptionFailed);
  const Bytes good = engine.encrypt_with_aad("x", "").value();
  auto opened = engine.decrypt_with_aad(good, huge);
  ASSERT_FALSE(opened.has_value());
  EXPECT_EQ(opened.error().kind(), Kind::DecryptionFailed);
}

TEST(EncryptionTest, NonceOfWrongSizeIsRefused) {
  const EncryptionEngine engine(filled_key('k'));
  for (std::size_t n : {0u, 11u, 13u, 16u}) {
    auto sealed = engine.encrypt_with_nonce("x", "", Bytes(n, '\0'));
    ASSERT_FALSE(sealed.has_value()) << n;
    EXPECT_EQ(sealed.error().kind(), Kind::EncryptionFailed);
  }
}

TEST(EncryptionTest, DisabledEnginePassesDataThrough) {
  const auto engine = EncryptionEngine::disabled();
  ASSERT_FALSE(engine->enabled());
  EXPECT_EQ(engine, EncryptionEngine::disabled());  // one shared instance
  for (const Bytes& data : {Bytes(), Bytes("abc"), Bytes(5, '\0'), "\x01" + Bytes(40, 'z')}) {
    for (const Bytes& aad : {Bytes(), Bytes("anything")}) {
      EXPECT_EQ(engine->encrypt_with_aad(data, aad).value(), data);
      EXPECT_EQ(engine->decrypt_with_aad(data, aad).value(), data);
    }
  }
  EXPECT_TRUE(EncryptionEngine(filled_key('k')).enabled());
}

TEST(EncryptionTest, SharedEngineSealsAndOpensFromManyThreads) {
  const EncryptionEngine engine(filled_key('t'));
  std::vector<std::thread> threads;
  std::vector<int> failures(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) {
        const Bytes plaintext = std::to_string(t) + ":" + std::to_string(i);
        const Bytes aad = "thread" + std::to_string(t);
        auto sealed = engine.encrypt_with_aad(plaintext, aad);
        if (!sealed) {
          ++failures[t];
          continue;
        }
        auto opened = engine.decrypt_with_aad(*sealed, aad);
        if (!opened || *opened != plaintext) ++failures[t];
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures, std::vector<int>(4, 0));
}

TEST(EncryptionTest, KeyCopiesAndAssignmentKeepTheBytes) {
  const EncryptionKey a = filled_key('a');
  EncryptionKey b = filled_key('b');
  EncryptionKey c(a);
  EXPECT_EQ(c.view(), a.view());
  c = filled_key('c');  // the copy owns its bytes: changing it leaves the original alone
  EXPECT_EQ(a.view(), Bytes(32, 'a'));
  b = a;
  EXPECT_EQ(b.view(), Bytes(32, 'a'));
  EncryptionKey& alias = b;
  b = alias;  // self-assignment must not wipe the key
  EXPECT_EQ(b.view(), Bytes(32, 'a'));
  EXPECT_EQ(EncryptionKey().view(), Bytes(32, '\0'));
  EXPECT_FALSE(EncryptionKey::from_bytes(Bytes(31, 'x')).has_value());
  EXPECT_FALSE(EncryptionKey::from_bytes(Bytes(33, 'x')).has_value());
  ASSERT_TRUE(EncryptionKey::from_bytes(Bytes(32, 'x')).has_value());
  EXPECT_EQ(EncryptionKey::from_bytes(Bytes(32, 'x'))->view(), Bytes(32, 'x'));
}

// HKDF-SHA256 written out with one-shot HMACs, independently of the code under test.
Bytes reference_hkdf(BytesView ikm, BytesView salt, BytesView info) {
  unsigned char prk[32], okm[32];
  unsigned int len = 0;
  HMAC(EVP_sha256(), salt.data(), static_cast<int>(salt.size()),
       reinterpret_cast<const unsigned char*>(ikm.data()), ikm.size(), prk, &len);
  const Bytes t1 = Bytes(info) + '\x01';
  HMAC(EVP_sha256(), prk, 32, reinterpret_cast<const unsigned char*>(t1.data()), t1.size(), okm,
       &len);
  return Bytes(reinterpret_cast<const char*>(okm), 32);
}

TEST(EncryptionTest, DeriveSubkeyIsHkdfSha256) {
  const Bytes salt = unhex("000102030405060708090a0b0c0d0e0f");
  const EncryptionKey ikm(Bytes(32, '\x0b'));
  struct Case {
    const char* info;
    const char* want;  // computed with an independent HMAC implementation
  };
  const Case cases[] = {
      {"kavrel/keyring/wrap/v1",
       "25e08722f6a046d9cff7df047ba70c731739e0f3ed389e7d4f13982df9524407"},
      {"kavrel/keyring/mac/v1", "b0588d62ab8423b4d23e5e69d44b435f90e9b26e8629a31df77fe7642c2f6199"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.info);
    const EncryptionKey derived = derive_subkey(ikm, salt, c.info);
    EXPECT_EQ(to_hex(derived.view()), c.want);
    EXPECT_EQ(derived.view(), reference_hkdf(ikm.view(), salt, c.info));
  }
  // Random inputs against the reference; every input changes the output.
  const EncryptionKey key = filled_key('r');
  const Bytes salt2 = "0123456789abcdef";
  const Bytes base = Bytes(derive_subkey(key, salt2, "label-a").view());
  EXPECT_EQ(base, reference_hkdf(key.view(), salt2, "label-a"));
  EXPECT_NE(base, Bytes(derive_subkey(key, salt2, "label-b").view()));
  EXPECT_NE(base, Bytes(derive_subkey(key, "0123456789abcdeF", "label-a").view()));
  EXPECT_NE(base, Bytes(derive_subkey(filled_key('s'), salt2, "label-a").view()));
  EXPECT_EQ(Bytes(derive_subkey(key, salt2, "").view()), reference_hkdf(key.view(), salt2, ""));
}

TEST(EncryptionTest, HmacSha256KnownAnswer) {
  const auto mac = hmac_sha256("key", "The quick brown fox jumps over the lazy dog");
  EXPECT_EQ(to_hex(BytesView(reinterpret_cast<const char*>(mac.data()), mac.size())),
            "f7bc83f430538424b13298e6aa6fb143ef4d59a14946175997479dbc2d1a3cd8");
  // An empty key is a valid HMAC key (padded with zeros), not "reuse the previous key".
  const auto empty = hmac_sha256("", "data");
  unsigned char want[32];
  unsigned int len = 0;
  const unsigned char zero = 0;
  HMAC(EVP_sha256(), &zero, 0, reinterpret_cast<const unsigned char*>("data"), 4, want, &len);
  EXPECT_EQ(Bytes(reinterpret_cast<const char*>(empty.data()), 32),
            Bytes(reinterpret_cast<const char*>(want), 32));
}

TEST(EncryptionTest, SecureWipeClearsBytes) {
  Bytes secret(40, 's');
  secure_wipe(secret);
  EXPECT_EQ(secret, Bytes(40, '\0'));
  Bytes empty;
  secure_wipe(empty);  // no bytes, no crash
  EXPECT_TRUE(empty.empty());
}

}  // namespace
}  // namespace kavrel
