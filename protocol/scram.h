// SCRAM-SHA-256 (RFC 5802, RFC 7677): a password login in which the server keeps a salted
// verifier, never the password, and no password or password equivalent crosses the wire. Both
// sides prove they know the secret: the client by its proof, the server by its signature. Fresh
// nonces of both sides make every exchange different, so a recorded one cannot be replayed.
//
// Messages (no channel binding: the client sends "n,,"; TLS protects the exchange):
//   client-first  "n,,n=USER,r=CNONCE"
//   server-first  "r=CNONCE+SNONCE,s=SALT(base64),i=ITERATIONS"
//   client-final  "c=biws,r=CNONCE+SNONCE,p=PROOF(base64)"
//   server-final  "v=SIGNATURE(base64)"
// User names are written with "=" as "=3D" and "," as "=2C". Passwords are used as their UTF-8
// bytes, without normalisation.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/bytes.h"
#include "core/error.h"

namespace kavrel::scram {

inline constexpr const char* kMechanism = "SCRAM-SHA-256";
// The iterations of a new verifier (the RFC's minimum); at most kMaxIterations are accepted
// from a server, so that a hostile one cannot make a client spin.
inline constexpr std::uint32_t kIterations = 4096;
inline constexpr std::uint32_t kMaxIterations = 1'000'000;

// What the server stores for a password.
struct Verifier {
  std::uint32_t iterations = kIterations;
  Bytes salt;        // 16 random bytes for a new one
  Bytes stored_key;  // H(HMAC(SaltedPassword, "Client Key")), 32 bytes
  Bytes server_key;  // HMAC(SaltedPassword, "Server Key"), 32 bytes

  // A verifier of password under a fresh random salt (or the one given).
  static Verifier of(std::string_view password, std::optional<Bytes> salt = std::nullopt,
                     std::uint32_t iterations = kIterations);
  // A verifier no password matches, the same for a name throughout the process: a server
  // answers a login of an unknown user with it, so that the exchange looks like a known one's.
  static Verifier decoy(std::string_view user);
  // "SCRAM-SHA-256$ITERATIONS:SALT$STOREDKEY:SERVERKEY", the parts in base64.
  std::string text() const;
  static Result<Verifier, std::string> parse(std::string_view text);
  bool operator==(const Verifier&) const = default;
};

std::string base64(BytesView data);
// nullopt for text that is not canonical base64.
std::optional<Bytes> from_base64(std::string_view text);
// A nonce of printable characters other than ',' from the system's random source.
std::string make_nonce();

// The client's side of one exchange.
class ClientExchange {
 public:
  // nonce: empty for a fresh one (tests give the RFC's).
  ClientExchange(std::string user, std::string password, std::string nonce = {});
  std::string first() const;
  // The client-final message for the server's first message, or why it is refused (a nonce
  // that does not extend ours, too many iterations, a malformed message).
  Result<std::string, std::string> final(std::string_view server_first);
  // Checks the server's signature: success only for a server that knows the verifier.
  Result<void, std::string> verify(std::string_view server_final) const;

 private:
  std::string user_, password_, nonce_;
  Bytes server_signature_;
};

// The server's side of one exchange.
class ServerExchange {
 public:
  // The parts of a client-first message.
  struct ClientFirst {
    std::string user;
    std::string nonce;
    std::string bare;  // without the "n,," header
  };
  static Result<ClientFirst, std::string> parse_first(std::string_view client_first);

  // nonce: empty for a fresh one.
  ServerExchange(ClientFirst client, Verifier verifier, std::string nonce = {});
  const std::string& user() const { return client_.user; }
  std::string first() const;
  // The server-final message when the client's proof holds, else an error (the text says what
  // was wrong, for the log; clients are told less).
  Result<std::string, std::string> final(std::string_view client_final) const;

 private:
  ClientFirst client_;
  Verifier verifier_;
  std::string nonce_;  // the client's and ours
};

}  // namespace kavrel::scram
