#include "Password.h"

#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <stdexcept>

namespace corvane {

namespace {

constexpr size_t BlockSize = 16;
using TBlock = std::array<uint8_t, BlockSize>;

struct TCipherCtxFree {
    void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};

// One AES-256-ECB context without padding, for single blocks. OpenSSL only
// fails here when it cannot allocate; that is not a stored-text problem, so
// it is thrown rather than turned into a wrong password.
class TBlockCipher {
public:
    TBlockCipher(std::string_view passphrase, bool encrypt) : FCtx(EVP_CIPHER_CTX_new()) {
        std::array<uint8_t, 32> key{};
        std::memcpy(key.data(), passphrase.data(), std::min(passphrase.size(), key.size()));
        if (!FCtx ||
            EVP_CipherInit_ex(FCtx.get(), EVP_aes_256_ecb(), nullptr, key.data(), nullptr,
                              encrypt ? 1 : 0) != 1 ||
            EVP_CIPHER_CTX_set_padding(FCtx.get(), 0) != 1)
            throw std::runtime_error("AES-256 initialisation failed");
    }

    TBlock Run(const TBlock& in) {
        TBlock out{};
        int len = 0;
        if (EVP_CipherUpdate(FCtx.get(), out.data(), &len, in.data(), BlockSize) != 1 ||
            len != static_cast<int>(BlockSize))
            throw std::runtime_error("AES-256 block operation failed");
        return out;
    }

private:
    std::unique_ptr<EVP_CIPHER_CTX, TCipherCtxFree> FCtx;
};

// Block b of `bytes`, zero-filled past the end.
TBlock BlockAt(const uint8_t* bytes, size_t size, size_t b) {
    TBlock block{};
    const size_t offset = b * BlockSize;
    std::memcpy(block.data(), bytes + offset, std::min(BlockSize, size - offset));
    return block;
}

} // namespace

std::string LettersFromBytes(const uint8_t* bytes, size_t count) {
    std::string letters;
    letters.reserve(2 * count);
    for (size_t i = 0; i < count; ++i) {
        letters.push_back(static_cast<char>('A' + (bytes[i] >> 4)));
        letters.push_back(static_cast<char>('A' + (bytes[i] & 0x0F)));
    }
    return letters;
}

std::vector<uint8_t> BytesFromLetters(std::string_view letters) {
    std::vector<uint8_t> bytes(letters.size() / 2);
    for (size_t i = 0; i < bytes.size(); ++i) {
        const auto hi = static_cast<unsigned>(static_cast<uint8_t>(letters[2 * i])) - 65u;
        const auto lo = static_cast<unsigned>(static_cast<uint8_t>(letters[2 * i + 1])) - 65u;
        bytes[i] = static_cast<uint8_t>(hi * 16u + lo);
    }
    return bytes;
}

std::string EncryptPassword(std::string_view plain, std::string_view passphrase) {
    if (plain.empty())
        return {};
    TBlockCipher cipher(passphrase, true);
    const auto* bytes = reinterpret_cast<const uint8_t*>(plain.data());
    const size_t blocks = (plain.size() + BlockSize - 1) / BlockSize;
    std::string letters;
    letters.reserve(blocks * 2 * BlockSize);
    for (size_t b = 0; b < blocks; ++b) {
        const TBlock out = cipher.Run(BlockAt(bytes, plain.size(), b));
        letters += LettersFromBytes(out.data(), out.size());
    }
    return letters;
}

std::string DecryptPassword(std::string_view letters, std::string_view passphrase) {
    const std::vector<uint8_t> bytes = BytesFromLetters(letters);
    if (bytes.empty())
        return {};
    TBlockCipher cipher(passphrase, false);
    const size_t blocks = (bytes.size() + BlockSize - 1) / BlockSize;
    std::string plain;
    plain.reserve(blocks * BlockSize);
    for (size_t b = 0; b < blocks; ++b) {
        const TBlock out = cipher.Run(BlockAt(bytes.data(), bytes.size(), b));
        // The encrypting side zero-fills the last block; a block's text ends
        // at its first zero byte.
        const auto end = std::find(out.begin(), out.end(), uint8_t{0});
        plain.append(reinterpret_cast<const char*>(out.data()),
                     static_cast<size_t>(end - out.begin()));
    }
    return plain;
}

} // namespace corvane
