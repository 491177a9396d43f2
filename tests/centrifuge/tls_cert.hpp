#pragma once
// A self-signed certificate for 127.0.0.1 and localhost, made at run time for TLS tests.

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <stdexcept>
#include <string>

namespace tolbu_test {

struct TestCertificate {
  std::string cert_pem;
  std::string key_pem;
};

inline std::string bio_text(BIO* bio) {
  char* data = nullptr;
  const long n = BIO_get_mem_data(bio, &data);
  return std::string(data, static_cast<std::size_t>(n));
}

inline TestCertificate make_test_certificate() {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  X509* cert = X509_new();
  if (!key || !cert) throw std::runtime_error("OpenSSL: cannot make a test key");
  X509_set_version(cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
  X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
  X509_gmtime_adj(X509_getm_notAfter(cert), 86400);
  X509_set_pubkey(cert, key);
  X509_NAME* name = X509_get_subject_name(cert);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("localhost"), -1, -1, 0);
  X509_set_issuer_name(cert, name);
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
  X509_EXTENSION* san =
      X509V3_EXT_conf_nid(nullptr, &ctx, NID_subject_alt_name, "DNS:localhost,IP:127.0.0.1");
  X509_add_ext(cert, san, -1);
  X509_EXTENSION_free(san);
  X509_sign(cert, key, EVP_sha256());

  TestCertificate out;
  BIO* cb = BIO_new(BIO_s_mem());
  PEM_write_bio_X509(cb, cert);
  out.cert_pem = bio_text(cb);
  BIO_free(cb);
  BIO* kb = BIO_new(BIO_s_mem());
  PEM_write_bio_PrivateKey(kb, key, nullptr, nullptr, 0, nullptr, nullptr);
  out.key_pem = bio_text(kb);
  BIO_free(kb);
  X509_free(cert);
  EVP_PKEY_free(key);
  return out;
}

}  // namespace tolbu_test
