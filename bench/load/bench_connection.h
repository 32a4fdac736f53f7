// One load connection of kavrel-bench, speaking either Kavrel's frames or RESP over a Unix
// socket or TCP, with or without TLS, logged in when a user is given (Kavrel: SCRAM-SHA-256
// through AUTH; RESP: its AUTH command). Requests are given as Kavrel messages (PUT, GET, PING and,
// for Kavrel, any other); RESP turns PUT into SET, GET into GET and PING into PING, and its replies
// come back as the Kavrel answers they stand for: +OK as OK, +PONG as PONG, an error as ERROR with
// its text, a bulk string (or an integer, as its decimal text) as VALUE, and nil as an empty VALUE
// (a Kavrel GET of an absent key answers an empty VALUE too).
//
// Requests are queued in an output buffer and go out in one send at flush(), so that a pipeline
// of requests costs one system call on both protocols. Not thread-safe: one worker thread each.
#pragma once

#include <openssl/ssl.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "core/error.h"
#include "core/unique_fd.h"
#include "protocol/wire.h"

namespace kavrel::bench {

enum class Protocol { Kavrel, Resp };

const char* protocol_name(Protocol p);
std::optional<Protocol> parse_protocol(const std::string& name);

// The RESP command of a request, appended to out; false for a request RESP cannot carry.
bool append_resp_request(std::string& out, const Message& request);
// The Kavrel answer a RESP reply stands for (see the header comment).
Message answer_of_resp(const struct RespReply& reply);

// Where and how to connect.
struct Target {
  std::string socket = "./kavrel_data/kavrel.sock";  // unless tcp is given
  std::optional<std::string> tcp;                    // HOST:PORT
  bool tls = false;
  std::string ca;  // the CA file the server's certificate is checked by (empty: the system's)
  std::string user, password;  // empty user: no login
  Protocol protocol = Protocol::Kavrel;

  // Where, for messages: the socket's path or HOST:PORT.
  std::string where() const { return tcp ? *tcp : socket; }
};

class BenchConnection {
 public:
  // Connects (with the TLS handshake and the login); the error text says why not.
  static Result<std::unique_ptr<BenchConnection>, std::string> connect(const Target& target);
  virtual ~BenchConnection();

  // Appends a request to the output buffer (refused: the protocol cannot carry it).
  virtual Result<void, std::string> queue(const Message& request) = 0;
  // Sends the whole output buffer.
  Result<void, std::string> flush();
  // The next answer, reading from the socket when no whole answer is buffered.
  Result<Message, std::string> read();
  // True when a whole answer is already buffered (read() then does not block).
  bool answer_buffered();
  // Sends request alone and reads its answer.
  Result<Message, std::string> call(const Message& request);

 protected:
  explicit BenchConnection(UniqueFd fd) : fd_(std::move(fd)) {}
  // One answer from the front of in_ (pos_ onwards), consuming it; nullopt when incomplete;
  // an error when the stream is broken.
  virtual Result<std::optional<Message>, std::string> take_answer() = 0;

  std::string out_;
  std::string in_;
  std::size_t pos_ = 0;

 private:
  Result<void, std::string> start_tls(const Target& target);
  Result<void, std::string> login(const Target& target);
  // One send or receive on the socket, through TLS when it is on: bytes moved, 0 at the end.
  Result<std::size_t, std::string> send_some(const char* data, std::size_t n);
  Result<std::size_t, std::string> receive_some(char* data, std::size_t n);

  UniqueFd fd_;
  SSL_CTX* ctx_ = nullptr;
  SSL* ssl_ = nullptr;
  std::optional<Message> peeked_;
};

}  // namespace kavrel::bench
