// Error values of every layer. Each kind renders to one fixed text; those texts are what the
// server logs and what clients receive, so their wording is external behaviour.
#pragma once

#include <chrono>
#include <cstdint>
#include <expected>
#include <string>
#include <utility>

namespace kavrel {

class LockError;
class EncryptionError;

// The storage and core error. Only the kinds the system raises are here: a kind is what a
// caller decides on (retry, wait, refuse), the text what it shows.
class KavrelError {
 public:
  enum class Kind : std::uint8_t {
    Io,
    Corruption,       // a stored file is damaged or inconsistent
    InvalidArgument,  // the request is refused as it stands
    Internal,
    Validation,  // serializable validation refused a commit (a serialization failure)
    Lock,        // the directory lock could not be taken
    Encryption,
    // A write met another transaction's pending write of its key. Its own kind, so that callers
    // decide to wait, retry or fail on it; it renders as the Internal error it was shown as
    // ("Internal error: Write-write conflict detected"), which clients recognise.
    WriteConflict,
  };

  // A system I/O error: renders as "IO error: <system message> (os error N)".
  static KavrelError io(int err);
  // An I/O error with a message attached by the raising code instead of the system's text.
  static KavrelError io_message(std::string message, int err = 0);
  // The end of input reached inside a read that needed more bytes ("failed to fill whole buffer").
  static KavrelError unexpected_eof();
  // Every kind whose payload is one text.
  static KavrelError make(Kind kind, std::string text);
  static KavrelError corruption(std::string text) {
    return make(Kind::Corruption, std::move(text));
  }
  static KavrelError internal(std::string text) { return make(Kind::Internal, std::move(text)); }
  static KavrelError write_conflict() {
    return make(Kind::WriteConflict, "Write-write conflict detected");
  }
  static KavrelError invalid_argument(std::string text) {
    return make(Kind::InvalidArgument, std::move(text));
  }
  static KavrelError validation(std::string text) {
    return make(Kind::Validation, std::move(text));
  }
  static KavrelError encryption(std::string text) {
    return make(Kind::Encryption, std::move(text));
  }
  static KavrelError from(const LockError& e);
  static KavrelError from(const EncryptionError& e);

  Kind kind() const { return kind_; }
  // For Io errors: the errno (0 when none) and whether it is the unexpected end of input.
  int os_error() const { return os_error_; }
  bool is_unexpected_eof() const { return kind_ == Kind::Io && eof_; }
  // The payload text as stored (for Io: the system message with its "(os error N)" suffix).
  const std::string& text() const { return text_; }
  // The one rendering, used by logs and replies.
  std::string message() const;

 private:
  KavrelError(Kind kind, std::string text) : kind_(kind), text_(std::move(text)) {}
  Kind kind_;
  std::string text_;
  int os_error_ = 0;
  bool eof_ = false;
};

// The socket service's error (the kinds it raises).
class IpcError {
 public:
  enum class Kind : std::uint8_t {
    Io,
    Protocol,
    AlreadyRunning,
    MessageTooLarge,
    TransactionNotFound,
  };
  static IpcError io(int err);
  static IpcError io_message(std::string message);
  static IpcError protocol(std::string text) { return {Kind::Protocol, std::move(text)}; }
  static IpcError already_running() { return {Kind::AlreadyRunning, {}}; }
  static IpcError message_too_large(std::uint64_t size, std::uint64_t max);
  static IpcError transaction_not_found(std::uint64_t txn_id);

  Kind kind() const { return kind_; }
  std::string message() const;

 private:
  IpcError(Kind kind, std::string text) : kind_(kind), text_(std::move(text)) {}
  Kind kind_;
  std::string text_;
};

// Failures of acquiring the directory lock.
class LockError {
 public:
  enum class Kind : std::uint8_t { Timeout, Io };
  static LockError timeout(std::chrono::nanoseconds waited, std::chrono::nanoseconds limit);
  static LockError io(int err);
  Kind kind() const { return kind_; }
  std::string message() const;

 private:
  LockError(Kind kind, std::string text) : kind_(kind), text_(std::move(text)) {}
  Kind kind_;
  std::string text_;
};

// Failures of the sealing engine.
class EncryptionError {
 public:
  enum class Kind : std::uint8_t {
    EncryptionFailed,
    DecryptionFailed,
    InvalidFormat,
    UnsupportedVersion
  };
  static EncryptionError encryption_failed() { return {Kind::EncryptionFailed, {}}; }
  static EncryptionError decryption_failed() { return {Kind::DecryptionFailed, {}}; }
  static EncryptionError invalid_format(std::string text) {
    return {Kind::InvalidFormat, std::move(text)};
  }
  static EncryptionError unsupported_version(std::uint8_t version);
  Kind kind() const { return kind_; }
  std::string message() const;

 private:
  EncryptionError(Kind kind, std::string text) : kind_(kind), text_(std::move(text)) {}
  Kind kind_;
  std::string text_;
};

// The system's message for an errno followed by " (os error N)".
std::string os_error_text(int err);

// A result that holds a value or an error. A class, not an alias: [[nodiscard]] on the type
// warns wherever a Result is dropped.
template <class T = void, class E = KavrelError>
class [[nodiscard]] Result : public std::expected<T, E> {
 public:
  using std::expected<T, E>::expected;
  Result(std::expected<T, E>&& e) : std::expected<T, E>(std::move(e)) {}  // NOLINT
};

template <class T, class E>
void ignore_error(const Result<T, E>& /*result*/, const char* /*why*/) {}

inline std::unexpected<KavrelError> fail(KavrelError e) { return std::unexpected(std::move(e)); }

}  // namespace kavrel
