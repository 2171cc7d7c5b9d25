#include "PasswordCipher.h"

#include <openssl/evp.h>

#include <climits>
#include <memory>
#include <stdexcept>

namespace corvane {

namespace {

struct TCipherCtxFree {
    void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};

} // namespace

std::vector<uint8_t> Aes256Ecb(const TPasswordKey& key, bool encrypt,
                               const std::vector<uint8_t>& blocks) {
    // OpenSSL only fails here when it cannot allocate.
    std::unique_ptr<EVP_CIPHER_CTX, TCipherCtxFree> ctx(EVP_CIPHER_CTX_new());
    if (!ctx ||
        EVP_CipherInit_ex(ctx.get(), EVP_aes_256_ecb(), nullptr, key.data(), nullptr,
                          encrypt ? 1 : 0) != 1 ||
        EVP_CIPHER_CTX_set_padding(ctx.get(), 0) != 1)
        throw std::runtime_error("AES-256 initialisation failed");
    std::vector<uint8_t> out(blocks.size());
    int len = 0;
    if (blocks.size() > INT_MAX ||
        EVP_CipherUpdate(ctx.get(), out.data(), &len, blocks.data(),
                         static_cast<int>(blocks.size())) != 1 ||
        len != static_cast<int>(blocks.size()))
        throw std::runtime_error("AES-256 block operation failed");
    return out;
}

} // namespace corvane
