#pragma once

// A throw-away ECDSA P-256 key made by the test, and the signatures and
// digests the maker's signing tool would make with it.

#include <openssl/evp.h>
#include <openssl/pem.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::test {

class TestSigningKey {
public:
    TestSigningKey() : FKey(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256")) {
        EXPECT_NE(FKey, nullptr) << "EVP_PKEY_Q_keygen";
    }
    ~TestSigningKey() { EVP_PKEY_free(FKey); }
    TestSigningKey(const TestSigningKey&) = delete;
    TestSigningKey& operator=(const TestSigningKey&) = delete;

    std::string PublicPem() const {
        std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), &BIO_free);
        PEM_write_bio_PUBKEY(bio.get(), FKey);
        char* data = nullptr;
        const long len = BIO_get_mem_data(bio.get(), &data);
        return std::string(data, static_cast<size_t>(len));
    }

    std::string PrivatePem() const {
        std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), &BIO_free);
        PEM_write_bio_PrivateKey(bio.get(), FKey, nullptr, nullptr, 0, nullptr, nullptr);
        char* data = nullptr;
        const long len = BIO_get_mem_data(bio.get(), &data);
        return std::string(data, static_cast<size_t>(len));
    }

    // Base64 of the DER signature over the SHA-256 of `data`, broken after
    // 64 characters as openssl base64 does.
    std::string Sign(std::string_view data) const {
        std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(),
                                                                    &EVP_MD_CTX_free);
        size_t len = 0;
        EXPECT_EQ(EVP_DigestSignInit(ctx.get(), nullptr, EVP_sha256(), nullptr, FKey), 1);
        const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());
        EXPECT_EQ(EVP_DigestSign(ctx.get(), nullptr, &len, bytes, data.size()), 1);
        std::vector<unsigned char> der(len);
        EXPECT_EQ(EVP_DigestSign(ctx.get(), der.data(), &len, bytes, data.size()), 1);
        std::string text(4 * ((len + 2) / 3) + 1, '\0');
        text.resize(static_cast<size_t>(EVP_EncodeBlock(
            reinterpret_cast<unsigned char*>(text.data()), der.data(), static_cast<int>(len))));
        if (text.size() > 64)
            text.insert(64, "\n");
        return text + "\n";
    }

private:
    EVP_PKEY* FKey;
};

// 64 lower-case hex digits of the SHA-256 of `data`.
inline std::string Sha256Hex(std::string_view data) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_Digest(data.data(), data.size(), digest, &len, EVP_sha256(), nullptr);
    static constexpr char kHex[] = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < len; ++i) {
        hex += kHex[digest[i] >> 4];
        hex += kHex[digest[i] & 15];
    }
    return hex;
}

} // namespace corvane::test
