#include "core/error.h"

#include <cstring>

#include <fmt/format.h>

#include "core/text.h"

namespace kavrel {

std::string os_error_text(int err) {
  char buf[256];
  // GNU strerror_r returns the message pointer, which may or may not be buf.
  const char* msg = strerror_r(err, buf, sizeof buf);
  return fmt::format("{} (os error {})", msg, err);
}

KavrelError KavrelError::io(int err) {
  KavrelError e(Kind::Io, os_error_text(err));
  e.os_error_ = err;
  return e;
}

KavrelError KavrelError::io_message(std::string message, int err) {
  KavrelError e(Kind::Io, std::move(message));
  e.os_error_ = err;
  return e;
}

KavrelError KavrelError::unexpected_eof() {
  KavrelError e(Kind::Io, "failed to fill whole buffer");
  e.eof_ = true;
  return e;
}

KavrelError KavrelError::make(Kind kind, std::string text) { return {kind, std::move(text)}; }

KavrelError KavrelError::from(const LockError& e) { return make(Kind::Lock, e.message()); }

KavrelError KavrelError::from(const EncryptionError& e) {
  return make(Kind::Encryption, e.message());
}

std::string KavrelError::message() const {
  switch (kind_) {
    case Kind::Io: return "IO error: " + text_;
    case Kind::Corruption: return "Corruption detected: " + text_;
    case Kind::InvalidArgument: return "Invalid argument: " + text_;
    case Kind::Internal:
    case Kind::WriteConflict: return "Internal error: " + text_;
    case Kind::Validation: return "Validation error: " + text_;
    case Kind::Lock: return "Lock error: " + text_;
    case Kind::Encryption: return "Encryption error: " + text_;
  }
  return text_;
}

IpcError IpcError::io(int err) { return {Kind::Io, os_error_text(err)}; }
IpcError IpcError::io_message(std::string message) { return {Kind::Io, std::move(message)}; }

IpcError IpcError::message_too_large(std::uint64_t size, std::uint64_t max) {
  return {Kind::MessageTooLarge, fmt::format("{} bytes (max: {})", size, max)};
}

IpcError IpcError::transaction_not_found(std::uint64_t txn_id) {
  return {Kind::TransactionNotFound, fmt::format("{}", txn_id)};
}

std::string IpcError::message() const {
  switch (kind_) {
    case Kind::Io: return "I/O error: " + text_;
    case Kind::Protocol: return "Protocol error: " + text_;
    case Kind::AlreadyRunning: return "Server already running";
    case Kind::MessageTooLarge: return "Message too large: " + text_;
    case Kind::TransactionNotFound: return "Transaction not found: " + text_;
  }
  return text_;
}

LockError LockError::timeout(std::chrono::nanoseconds waited, std::chrono::nanoseconds limit) {
  return {Kind::Timeout, fmt::format("Lock acquisition timed out after {} (timeout: {})",
                                     debug_duration(waited), debug_duration(limit))};
}

LockError LockError::io(int err) { return {Kind::Io, "Lock I/O error: " + os_error_text(err)}; }

std::string LockError::message() const { return text_; }

EncryptionError EncryptionError::unsupported_version(std::uint8_t version) {
  return {Kind::UnsupportedVersion, fmt::format("{}", version)};
}

std::string EncryptionError::message() const {
  switch (kind_) {
    case Kind::EncryptionFailed: return "Encryption failed";
    case Kind::DecryptionFailed: return "Decryption failed (wrong key or tampered data)";
    case Kind::InvalidFormat: return "Invalid format: " + text_;
    case Kind::UnsupportedVersion: return "Unsupported encryption version: " + text_;
  }
  return text_;
}

}  // namespace kavrel
