#include "test_tls.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <mutex>
#include <stdexcept>

#include "protocols/tls_stream.h"

namespace brivane::test {
namespace {

struct Material {
  std::string cert, key;
};

std::string bioText(BIO* bio) {
  char* data = nullptr;
  long n = BIO_get_mem_data(bio, &data);
  return std::string(data, static_cast<size_t>(n));
}

Material generate() {
  ensureOpenSsl();
  EVP_PKEY* key = EVP_EC_gen("P-256");
  X509* x = X509_new();
  if (!key || !x) throw std::runtime_error("cannot generate the test key");
  X509_set_version(x, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(x), 1);
  X509_gmtime_adj(X509_getm_notBefore(x), -3600);
  X509_gmtime_adj(X509_getm_notAfter(x), 3600L * 24 * 365);
  X509_set_pubkey(x, key);
  X509_NAME* name = X509_get_subject_name(x);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("localhost"), -1, -1, 0);
  X509_set_issuer_name(x, name);
  if (X509_sign(x, key, EVP_sha256()) == 0) throw std::runtime_error("cannot sign the test certificate");
  BIO* cb = BIO_new(BIO_s_mem());
  BIO* kb = BIO_new(BIO_s_mem());
  PEM_write_bio_X509(cb, x);
  PEM_write_bio_PrivateKey(kb, key, nullptr, nullptr, 0, nullptr, nullptr);
  Material m{bioText(cb), bioText(kb)};
  BIO_free(cb);
  BIO_free(kb);
  X509_free(x);
  EVP_PKEY_free(key);
  return m;
}

const Material& material() {
  static const Material m = generate();
  return m;
}

}  // namespace

const std::string& testCertificatePem() { return material().cert; }
const std::string& testPrivateKeyPem() { return material().key; }

SSL_CTX* newTestServerContext() {
  const Material& m = material();
  SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  BIO* cb = BIO_new_mem_buf(m.cert.data(), static_cast<int>(m.cert.size()));
  BIO* kb = BIO_new_mem_buf(m.key.data(), static_cast<int>(m.key.size()));
  X509* x = PEM_read_bio_X509(cb, nullptr, nullptr, nullptr);
  EVP_PKEY* key = PEM_read_bio_PrivateKey(kb, nullptr, nullptr, nullptr);
  bool ok = x && key && SSL_CTX_use_certificate(ctx, x) == 1 && SSL_CTX_use_PrivateKey(ctx, key) == 1;
  X509_free(x);
  EVP_PKEY_free(key);
  BIO_free(cb);
  BIO_free(kb);
  if (!ok) {
    SSL_CTX_free(ctx);
    throw std::runtime_error("cannot load the test certificate");
  }
  return ctx;
}

}  // namespace brivane::test
