#include "protocol/scram.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>
#include <openssl/sha.h>

#include <array>
#include <charconv>
#include <cstdlib>
#include <vector>

#include <fmt/format.h>

namespace kavrel::scram {
namespace {

constexpr std::size_t kKeySize = 32;
constexpr std::size_t kSaltSize = 16;
constexpr std::string_view kBase64 =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
// base64("n,,"): the client's header, no channel binding.
constexpr std::string_view kChannelBinding = "biws";

Bytes random_bytes(std::size_t n) {
  Bytes out(n, '\0');
  // A failing random source leaves no safe way on.
  if (RAND_bytes(reinterpret_cast<unsigned char*>(out.data()), static_cast<int>(n)) != 1) {
    std::abort();
  }
  return out;
}

Bytes hmac(BytesView key, BytesView data) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned len = 0;
  HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
       reinterpret_cast<const unsigned char*>(data.data()), data.size(), out, &len);
  return Bytes(reinterpret_cast<const char*>(out), len);
}

Bytes sha256(BytesView data) {
  unsigned char out[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char*>(data.data()), data.size(), out);
  return Bytes(reinterpret_cast<const char*>(out), sizeof out);
}

Bytes salted_password(std::string_view password, BytesView salt, std::uint32_t iterations) {
  Bytes out(kKeySize, '\0');
  PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()),
                    reinterpret_cast<const unsigned char*>(salt.data()),
                    static_cast<int>(salt.size()), static_cast<int>(iterations), EVP_sha256(),
                    static_cast<int>(kKeySize), reinterpret_cast<unsigned char*>(out.data()));
  return out;
}

Bytes xor_of(BytesView a, BytesView b) {
  Bytes out(a);
  for (std::size_t i = 0; i < out.size() && i < b.size(); ++i) out[i] ^= b[i];
  return out;
}

bool equal_secret(BytesView a, BytesView b) {
  return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

// The attributes of a message, "k=value" separated by ','; an attribute given twice, or a
// part without '=', makes it malformed (nullopt).
std::optional<std::vector<std::pair<char, std::string_view>>> attributes(std::string_view msg) {
  std::vector<std::pair<char, std::string_view>> out;
  while (!msg.empty()) {
    const auto comma = msg.find(',');
    const std::string_view part = msg.substr(0, comma);
    if (part.size() < 2 || part[1] != '=') return std::nullopt;
    out.emplace_back(part[0], part.substr(2));
    if (comma == std::string_view::npos) break;
    msg.remove_prefix(comma + 1);
  }
  return out;
}

std::optional<std::string_view> attribute(
    const std::vector<std::pair<char, std::string_view>>& attrs, std::size_t at, char name) {
  if (at >= attrs.size() || attrs[at].first != name) return std::nullopt;
  return attrs[at].second;
}

std::string escape_user(std::string_view user) {
  std::string out;
  for (const char c : user) {
    if (c == '=') {
      out += "=3D";
    } else if (c == ',') {
      out += "=2C";
    } else {
      out += c;
    }
  }
  return out;
}

std::optional<std::string> unescape_user(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '=') {
      out += text[i];
      continue;
    }
    const std::string_view code = text.substr(i + 1, 2);
    if (code == "3D") {
      out += '=';
    } else if (code == "2C") {
      out += ',';
    } else {
      return std::nullopt;
    }
    i += 2;
  }
  return out;
}

std::string client_final_without_proof(std::string_view nonce) {
  return fmt::format("c={},r={}", kChannelBinding, nonce);
}

}  // namespace

std::string base64(BytesView data) {
  std::string out;
  out.reserve((data.size() + 2) / 3 * 4);
  for (std::size_t i = 0; i < data.size(); i += 3) {
    const std::size_t n = std::min<std::size_t>(3, data.size() - i);
    std::uint32_t v = 0;
    for (std::size_t k = 0; k < 3; ++k) {
      v = (v << 8) | (k < n ? static_cast<unsigned char>(data[i + k]) : 0u);
    }
    for (std::size_t k = 0; k < 4; ++k) {
      out += k <= n ? kBase64[(v >> (18 - 6 * k)) & 63] : '=';
    }
  }
  return out;
}

std::optional<Bytes> from_base64(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  Bytes out;
  for (std::size_t i = 0; i < text.size(); i += 4) {
    std::uint32_t v = 0;
    std::size_t pad = 0;
    for (std::size_t k = 0; k < 4; ++k) {
      const char c = text[i + k];
      if (c == '=' && i + 4 == text.size() && k >= 2) {
        ++pad;
        v <<= 6;
        continue;
      }
      const auto at = kBase64.find(c);
      if (at == std::string_view::npos || pad != 0) return std::nullopt;
      v = (v << 6) | static_cast<std::uint32_t>(at);
    }
    for (std::size_t k = 0; k < 3 - pad; ++k) out += static_cast<char>((v >> (16 - 8 * k)) & 255);
  }
  // Canonical: the bits the padding leaves over are zero.
  if (base64(out) != text) return std::nullopt;
  return out;
}

std::string make_nonce() { return base64(random_bytes(18)); }

// ---- Verifier -------------------------------------------------------------------------------

Verifier Verifier::of(std::string_view password, std::optional<Bytes> salt,
                      std::uint32_t iterations) {
  Verifier v;
  v.iterations = iterations;
  v.salt = salt ? std::move(*salt) : random_bytes(kSaltSize);
  Bytes salted = salted_password(password, v.salt, iterations);
  v.stored_key = sha256(hmac(salted, "Client Key"));
  v.server_key = hmac(salted, "Server Key");
  OPENSSL_cleanse(salted.data(), salted.size());
  return v;
}

Verifier Verifier::decoy(std::string_view user) {
  static const Bytes secret = random_bytes(kKeySize);
  Verifier v;
  v.salt = hmac(secret, fmt::format("salt:{}", user)).substr(0, kSaltSize);
  v.stored_key = hmac(secret, fmt::format("stored:{}", user));
  v.server_key = hmac(secret, fmt::format("server:{}", user));
  return v;
}

std::string Verifier::text() const {
  return fmt::format("{}${}:{}${}:{}", kMechanism, iterations, base64(salt), base64(stored_key),
                     base64(server_key));
}

Result<Verifier, std::string> Verifier::parse(std::string_view text) {
  const auto bad = [] { return std::unexpected(std::string("malformed password verifier")); };
  const std::string prefix = std::string(kMechanism) + "$";
  if (!text.starts_with(prefix)) return bad();
  text.remove_prefix(prefix.size());
  const auto dollar = text.find('$');
  if (dollar == std::string_view::npos) return bad();
  const std::string_view first = text.substr(0, dollar), second = text.substr(dollar + 1);
  const auto colon1 = first.find(':'), colon2 = second.find(':');
  if (colon1 == std::string_view::npos || colon2 == std::string_view::npos) return bad();
  Verifier v;
  const std::string_view iter = first.substr(0, colon1);
  const auto [ptr, ec] = std::from_chars(iter.data(), iter.data() + iter.size(), v.iterations);
  auto salt = from_base64(first.substr(colon1 + 1));
  auto stored = from_base64(second.substr(0, colon2));
  auto server = from_base64(second.substr(colon2 + 1));
  if (ec != std::errc() || ptr != iter.data() + iter.size() || v.iterations == 0 ||
      v.iterations > kMaxIterations || !salt || salt->empty() || !stored ||
      stored->size() != kKeySize || !server || server->size() != kKeySize) {
    return bad();
  }
  v.salt = std::move(*salt);
  v.stored_key = std::move(*stored);
  v.server_key = std::move(*server);
  return v;
}

// ---- The client's side ----------------------------------------------------------------------

ClientExchange::ClientExchange(std::string user, std::string password, std::string nonce)
    : user_(std::move(user)),
      password_(std::move(password)),
      nonce_(nonce.empty() ? make_nonce() : std::move(nonce)) {}

std::string ClientExchange::first() const {
  return fmt::format("n,,n={},r={}", escape_user(user_), nonce_);
}

Result<std::string, std::string> ClientExchange::final(std::string_view server_first) {
  const auto attrs = attributes(server_first);
  const auto fail = [](std::string why) { return std::unexpected(std::move(why)); };
  if (!attrs) return fail("malformed server message");
  const auto nonce = attribute(*attrs, 0, 'r');
  const auto salt_text = attribute(*attrs, 1, 's');
  const auto iter_text = attribute(*attrs, 2, 'i');
  if (!nonce || !salt_text || !iter_text) return fail("malformed server message");
  if (!nonce->starts_with(nonce_) || nonce->size() == nonce_.size()) {
    return fail("the server's nonce does not extend the client's");
  }
  const auto salt = from_base64(*salt_text);
  std::uint32_t iterations = 0;
  const auto [ptr, ec] =
      std::from_chars(iter_text->data(), iter_text->data() + iter_text->size(), iterations);
  if (!salt || ec != std::errc() || ptr != iter_text->data() + iter_text->size() ||
      iterations == 0 || iterations > kMaxIterations) {
    return fail("malformed server message");
  }
  Bytes salted = salted_password(password_, *salt, iterations);
  const Bytes client_key = hmac(salted, "Client Key");
  const Bytes server_key = hmac(salted, "Server Key");
  OPENSSL_cleanse(salted.data(), salted.size());
  const std::string without_proof = client_final_without_proof(*nonce);
  const std::string auth_message =
      fmt::format("{},{},{}", first().substr(3), server_first, without_proof);
  const Bytes signature = hmac(sha256(client_key), auth_message);
  server_signature_ = hmac(server_key, auth_message);
  return fmt::format("{},p={}", without_proof, base64(xor_of(client_key, signature)));
}

Result<void, std::string> ClientExchange::verify(std::string_view server_final) const {
  const auto attrs = attributes(server_final);
  if (attrs) {
    if (const auto error = attribute(*attrs, 0, 'e')) {
      return std::unexpected(fmt::format("the server refused: {}", *error));
    }
    if (const auto v = attribute(*attrs, 0, 'v')) {
      const auto signature = from_base64(*v);
      if (signature && !server_signature_.empty() && equal_secret(*signature, server_signature_)) {
        return {};
      }
      return std::unexpected(std::string("the server's signature does not hold"));
    }
  }
  return std::unexpected(std::string("malformed server message"));
}

// ---- The server's side ----------------------------------------------------------------------

Result<ServerExchange::ClientFirst, std::string> ServerExchange::parse_first(
    std::string_view client_first) {
  // Only "n,," (no channel binding, no authorization identity).
  if (!client_first.starts_with("n,,")) {
    return std::unexpected(std::string("unsupported channel binding or authorization identity"));
  }
  const std::string_view bare = client_first.substr(3);
  const auto attrs = attributes(bare);
  if (!attrs || attrs->size() != 2) return std::unexpected(std::string("malformed message"));
  const auto user = attribute(*attrs, 0, 'n');
  const auto nonce = attribute(*attrs, 1, 'r');
  if (!user || !nonce || nonce->empty()) return std::unexpected(std::string("malformed message"));
  auto name = unescape_user(*user);
  if (!name || name->empty()) return std::unexpected(std::string("malformed user name"));
  return ClientFirst{std::move(*name), std::string(*nonce), std::string(bare)};
}

ServerExchange::ServerExchange(ClientFirst client, Verifier verifier, std::string nonce)
    : client_(std::move(client)),
      verifier_(std::move(verifier)),
      nonce_(client_.nonce + (nonce.empty() ? make_nonce() : std::move(nonce))) {}

std::string ServerExchange::first() const {
  return fmt::format("r={},s={},i={}", nonce_, base64(verifier_.salt), verifier_.iterations);
}

Result<std::string, std::string> ServerExchange::final(std::string_view client_final) const {
  const auto attrs = attributes(client_final);
  const auto fail = [](const char* why) { return std::unexpected(std::string(why)); };
  if (!attrs || attrs->size() != 3) return fail("malformed message");
  const auto binding = attribute(*attrs, 0, 'c');
  const auto nonce = attribute(*attrs, 1, 'r');
  const auto proof_text = attribute(*attrs, 2, 'p');
  if (!binding || !nonce || !proof_text) return fail("malformed message");
  if (*binding != kChannelBinding) return fail("unsupported channel binding");
  if (*nonce != nonce_) return fail("the nonce is not this exchange's");
  const auto proof = from_base64(*proof_text);
  if (!proof || proof->size() != kKeySize) return fail("malformed proof");
  const std::string auth_message =
      fmt::format("{},{},{}", client_.bare, first(), client_final_without_proof(*nonce));
  const Bytes client_key = xor_of(*proof, hmac(verifier_.stored_key, auth_message));
  if (!equal_secret(sha256(client_key), verifier_.stored_key)) return fail("wrong password");
  return "v=" + base64(hmac(verifier_.server_key, auth_message));
}

}  // namespace kavrel::scram
