#pragma once
#include <string>

typedef struct ssl_ctx_st SSL_CTX;

// TLS material for test servers: a self-signed certificate for "localhost"
// (EC P-256), generated once per process with the OpenSSL API.
namespace brivane::test {

// A new server context using the test certificate (TLS 1.2 and 1.3).
// The caller frees it with SSL_CTX_free.
SSL_CTX* newTestServerContext();

// The certificate and key in PEM form.
const std::string& testCertificatePem();
const std::string& testPrivateKeyPem();

}  // namespace brivane::test
