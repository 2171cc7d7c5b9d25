#pragma once

// A self-signed certificate for "localhost" and 127.0.0.1, made at start when
// the simulator serves HTTPS without a given certificate.

#include <memory>
#include <string>

#include <openssl/evp.h>
#include <openssl/x509.h>

namespace corvane::sim {

struct TX509Free {
    void operator()(X509* x) const { X509_free(x); }
};
struct TPKeyFree {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
using TX509Ptr = std::unique_ptr<X509, TX509Free>;
using TPKeyPtr = std::unique_ptr<EVP_PKEY, TPKeyFree>;

struct TCertificate {
    TX509Ptr cert;
    TPKeyPtr key;
};

// An EC P-256 key and a certificate valid from a day ago for ten years, with
// the subject alternative names DNS:localhost and IP:127.0.0.1. Throws
// std::runtime_error naming the OpenSSL call that failed.
TCertificate GenerateSelfSigned();

std::string CertificatePem(X509* cert);

} // namespace corvane::sim
