// Certificates for tests of TLS: a CA, a server certificate it signed (for "localhost",
// 127.0.0.1 and ::1), and client certificates, written as PEM files into a directory. Keys are
// P-256, made fresh on every call.
#pragma once

#include <filesystem>
#include <string>

namespace kavrel::testing {

struct TestCerts {
  std::filesystem::path ca_cert;      // the CA
  std::filesystem::path server_cert;  // signed by the CA
  std::filesystem::path server_key;   // mode 0600
  std::filesystem::path client_cert;  // CN "alice", signed by the CA
  std::filesystem::path client_key;
  std::filesystem::path expired_cert;  // CN "alice", signed by the CA, expired a day ago
  std::filesystem::path expired_key;
  std::filesystem::path stranger_cert;  // CN "alice", signed by another CA
  std::filesystem::path stranger_key;
};

// Writes the files into dir (which must exist); aborts the test program on an OpenSSL failure.
TestCerts make_test_certs(const std::filesystem::path& dir);

}  // namespace kavrel::testing
