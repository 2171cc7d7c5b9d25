#include "UpdateVerify.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

namespace corvane {

namespace {

struct PkeyFree {
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct MdCtxFree {
    void operator()(EVP_MD_CTX* p) const { EVP_MD_CTX_free(p); }
};
struct BioFree {
    void operator()(BIO* p) const { BIO_free(p); }
};

std::string OpenSslError() {
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0)
        return "no detail";
    std::array<char, 256> text{};
    ERR_error_string_n(code, text.data(), text.size());
    return text.data();
}

// Whitespace is dropped (openssl base64 breaks lines at 64 characters);
// anything else outside the alphabet fails.
bool DecodeBase64(std::string_view text, std::vector<unsigned char>& out) {
    std::string clean;
    for (const char c : text)
        if (!std::isspace(static_cast<unsigned char>(c)))
            clean += c;
    if (clean.empty() || clean.size() % 4 != 0 || clean.size() > 4096)
        return false;
    out.assign(clean.size() / 4 * 3, 0);
    const int n = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(clean.data()),
                                  static_cast<int>(clean.size()));
    if (n < 0)
        return false;
    size_t len = static_cast<size_t>(n);
    for (size_t i = clean.size(); i > 0 && clean[i - 1] == '='; --i)
        --len;
    out.resize(len);
    return true;
}

} // namespace

bool VerifyUpdateSignature(std::string_view data, std::string_view signatureBase64,
                           std::string_view publicKeyPem, std::string& why) {
    ERR_clear_error();
    std::unique_ptr<BIO, BioFree> bio(
        BIO_new_mem_buf(publicKeyPem.data(), static_cast<int>(publicKeyPem.size())));
    std::unique_ptr<EVP_PKEY, PkeyFree> key(
        bio ? PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    if (!key) {
        why = "the public key cannot be read: " + OpenSslError();
        return false;
    }
    std::array<char, 64> group{};
    size_t groupLen = 0;
    if (!EVP_PKEY_is_a(key.get(), "EC") ||
        EVP_PKEY_get_group_name(key.get(), group.data(), group.size(), &groupLen) != 1 ||
        std::strcmp(group.data(), "prime256v1") != 0) {
        why = "the public key is not an ECDSA P-256 key";
        return false;
    }
    std::vector<unsigned char> signature;
    if (!DecodeBase64(signatureBase64, signature)) {
        why = "the signature is not base64 text";
        return false;
    }
    std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
    if (!ctx || EVP_DigestVerifyInit(ctx.get(), nullptr, EVP_sha256(), nullptr, key.get()) != 1) {
        why = "EVP_DigestVerifyInit failed: " + OpenSslError();
        return false;
    }
    const int result =
        EVP_DigestVerify(ctx.get(), signature.data(), signature.size(),
                         reinterpret_cast<const unsigned char*>(data.data()), data.size());
    if (result != 1) {
        // 0 is a signature that does not match; below 0 one that is no
        // ECDSA signature at all.
        why = result == 0 ? "the signature does not match the manifest"
                          : "the signature is malformed: " + OpenSslError();
        return false;
    }
    return true;
}

std::string FileSha256Hex(const std::string& path, std::string& why) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        why = "cannot open " + path + ": " + std::strerror(errno);
        return {};
    }
    std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
    bool ok = ctx && EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) == 1;
    std::vector<char> buffer(64 * 1024);
    while (ok) {
        const ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            why = "cannot read " + path + ": " + std::strerror(errno);
            ::close(fd);
            return {};
        }
        if (n == 0)
            break;
        ok = EVP_DigestUpdate(ctx.get(), buffer.data(), static_cast<size_t>(n)) == 1;
    }
    ::close(fd);
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int len = 0;
    if (!ok || EVP_DigestFinal_ex(ctx.get(), digest.data(), &len) != 1) {
        why = "SHA-256 of " + path + " failed: " + OpenSslError();
        return {};
    }
    static constexpr char kHex[] = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < len; ++i) {
        hex += kHex[digest[i] >> 4];
        hex += kHex[digest[i] & 15];
    }
    return hex;
}

bool IsSha256Hex(std::string_view text) {
    if (text.size() != 64)
        return false;
    for (const char c : text)
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return false;
    return true;
}

} // namespace corvane
