#include "tests/support/test_certs.h"

#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace kavrel::testing {
namespace {

using Key = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using Cert = std::unique_ptr<X509, decltype(&X509_free)>;

void check(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "test certificates: %s failed\n", what);
  std::abort();
}

Key new_key() {
  Key key(EVP_EC_gen("P-256"), EVP_PKEY_free);
  check(key != nullptr, "EVP_EC_gen");
  return key;
}

void add_extension(X509* cert, X509* issuer, int nid, const char* value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
  check(ext != nullptr, "X509V3_EXT_conf_nid");
  check(X509_add_ext(cert, ext, -1) == 1, "X509_add_ext");
  X509_EXTENSION_free(ext);
}

// A certificate for key named cn, signed by issuer_key (self-signed when issuer is null), valid
// from `from` to `to` seconds from now.
Cert make_cert(EVP_PKEY* key, const char* cn, X509* issuer, EVP_PKEY* issuer_key, bool ca,
               bool server, long from, long to) {
  static long serial = 1;
  Cert cert(X509_new(), X509_free);
  check(cert != nullptr, "X509_new");
  X509_set_version(cert.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial++);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), from);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), to);
  X509_set_pubkey(cert.get(), key);
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(cn),
                             -1, -1, 0);
  X509* signer = issuer != nullptr ? issuer : cert.get();
  X509_set_issuer_name(cert.get(), X509_get_subject_name(signer));
  add_extension(cert.get(), signer, NID_basic_constraints, ca ? "critical,CA:TRUE" : "CA:FALSE");
  add_extension(cert.get(), signer, NID_subject_key_identifier, "hash");
  if (ca) add_extension(cert.get(), signer, NID_key_usage, "critical,keyCertSign,cRLSign");
  if (server) {
    add_extension(cert.get(), signer, NID_subject_alt_name,
                  "DNS:localhost,IP:127.0.0.1,IP:0:0:0:0:0:0:0:1");
    add_extension(cert.get(), signer, NID_ext_key_usage, "serverAuth");
  } else if (!ca) {
    add_extension(cert.get(), signer, NID_ext_key_usage, "clientAuth");
  }
  check(X509_sign(cert.get(), issuer_key != nullptr ? issuer_key : key, EVP_sha256()) > 0,
        "X509_sign");
  return cert;
}

void write_cert(const std::filesystem::path& path, X509* cert) {
  FILE* f = std::fopen(path.c_str(), "w");
  check(f != nullptr, "fopen");
  check(PEM_write_X509(f, cert) == 1, "PEM_write_X509");
  std::fclose(f);
}

void write_key(const std::filesystem::path& path, EVP_PKEY* key) {
  FILE* f = std::fopen(path.c_str(), "w");
  check(f != nullptr, "fopen");
  check(PEM_write_PrivateKey(f, key, nullptr, nullptr, 0, nullptr, nullptr) == 1,
        "PEM_write_PrivateKey");
  std::fclose(f);
  std::filesystem::permissions(
      path, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
}

constexpr long kDay = 24 * 60 * 60;

}  // namespace

TestCerts make_test_certs(const std::filesystem::path& dir) {
  TestCerts out{dir / "ca.pem",      dir / "server.pem",   dir / "server.key",
                dir / "client.pem",  dir / "client.key",   dir / "expired.pem",
                dir / "expired.key", dir / "stranger.pem", dir / "stranger.key"};
  Key ca_key = new_key();
  Cert ca =
      make_cert(ca_key.get(), "Kavrel test CA", nullptr, nullptr, true, false, -kDay, 365 * kDay);
  write_cert(out.ca_cert, ca.get());

  Key server_key = new_key();
  write_cert(out.server_cert, make_cert(server_key.get(), "localhost", ca.get(), ca_key.get(),
                                        false, true, -kDay, 365 * kDay)
                                  .get());
  write_key(out.server_key, server_key.get());

  Key client_key = new_key();
  write_cert(out.client_cert, make_cert(client_key.get(), "alice", ca.get(), ca_key.get(), false,
                                        false, -kDay, 365 * kDay)
                                  .get());
  write_key(out.client_key, client_key.get());

  Key expired_key = new_key();
  write_cert(out.expired_cert, make_cert(expired_key.get(), "alice", ca.get(), ca_key.get(), false,
                                         false, -2 * kDay, -kDay)
                                   .get());
  write_key(out.expired_key, expired_key.get());

  Key other_ca_key = new_key();
  Cert other_ca =
      make_cert(other_ca_key.get(), "Another CA", nullptr, nullptr, true, false, -kDay, 365 * kDay);
  Key stranger_key = new_key();
  write_cert(out.stranger_cert, make_cert(stranger_key.get(), "alice", other_ca.get(),
                                          other_ca_key.get(), false, false, -kDay, 365 * kDay)
                                    .get());
  write_key(out.stranger_key, stranger_key.get());
  return out;
}

}  // namespace kavrel::testing
