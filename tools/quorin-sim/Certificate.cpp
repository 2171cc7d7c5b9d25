#include "Certificate.h"

#include <stdexcept>

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>

namespace corvane::sim {

namespace {

[[noreturn]] void Fail(const char* call) {
    char text[256] = {};
    ERR_error_string_n(ERR_get_error(), text, sizeof text);
    throw std::runtime_error(std::string(call) + " failed: " + text);
}

void AddExtension(X509* cert, int nid, const char* value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    if (!ext)
        Fail("X509V3_EXT_conf_nid");
    const int ok = X509_add_ext(cert, ext, -1);
    X509_EXTENSION_free(ext);
    if (ok != 1)
        Fail("X509_add_ext");
}

} // namespace

TCertificate GenerateSelfSigned() {
    TCertificate out;
    out.key.reset(EVP_EC_gen("P-256"));
    if (!out.key)
        Fail("EVP_EC_gen");
    out.cert.reset(X509_new());
    X509* cert = out.cert.get();
    if (!cert)
        Fail("X509_new");
    if (X509_set_version(cert, 2) != 1)
        Fail("X509_set_version");

    unsigned char serial[16];
    if (RAND_bytes(serial, sizeof serial) != 1)
        Fail("RAND_bytes");
    serial[0] &= 0x7F; // a positive serial number
    BIGNUM* bn = BN_bin2bn(serial, sizeof serial, nullptr);
    if (!bn || !BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert))) {
        BN_free(bn);
        Fail("BN_to_ASN1_INTEGER");
    }
    BN_free(bn);

    if (!X509_gmtime_adj(X509_getm_notBefore(cert), -24L * 3600) ||
        !X509_gmtime_adj(X509_getm_notAfter(cert), 10L * 365 * 24 * 3600))
        Fail("X509_gmtime_adj");

    X509_NAME* name = X509_get_subject_name(cert);
    if (X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>("quorin-sim"), -1, -1,
                                   0) != 1 ||
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>("localhost"), -1, -1,
                                   0) != 1)
        Fail("X509_NAME_add_entry_by_txt");
    if (X509_set_issuer_name(cert, name) != 1)
        Fail("X509_set_issuer_name");
    if (X509_set_pubkey(cert, out.key.get()) != 1)
        Fail("X509_set_pubkey");

    // Marked as its own authority so that a client may trust it directly as
    // its CA file.
    AddExtension(cert, NID_basic_constraints, "critical,CA:TRUE");
    AddExtension(cert, NID_key_usage, "critical,digitalSignature,keyCertSign");
    AddExtension(cert, NID_ext_key_usage, "serverAuth");
    AddExtension(cert, NID_subject_alt_name, "DNS:localhost,IP:127.0.0.1");
    AddExtension(cert, NID_subject_key_identifier, "hash");

    if (X509_sign(cert, out.key.get(), EVP_sha256()) <= 0)
        Fail("X509_sign");
    return out;
}

std::string CertificatePem(X509* cert) {
    BIO* bio = BIO_new(BIO_s_mem());
    if (!bio)
        Fail("BIO_new");
    if (PEM_write_bio_X509(bio, cert) != 1) {
        BIO_free(bio);
        Fail("PEM_write_bio_X509");
    }
    char* data = nullptr;
    const long len = BIO_get_mem_data(bio, &data);
    std::string pem(data, static_cast<size_t>(len));
    BIO_free(bio);
    return pem;
}

} // namespace corvane::sim
