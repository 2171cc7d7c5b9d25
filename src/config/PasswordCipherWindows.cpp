// The Windows side of PasswordCipher.h, over CNG (bcrypt).

#include "PasswordCipher.h"

#include <climits>
#include <cstdio>
#include <stdexcept>
#include <string>

#include <windows.h>

#include <bcrypt.h>

namespace corvane {

namespace {

std::string StatusText(const char* call, NTSTATUS status) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08lX", static_cast<unsigned long>(status));
    return std::string(call) + " failed with status " + hex;
}

class TAlgorithm {
public:
    TAlgorithm() {
        if (const NTSTATUS s =
                BCryptOpenAlgorithmProvider(&FHandle, BCRYPT_AES_ALGORITHM, nullptr, 0);
            !BCRYPT_SUCCESS(s))
            throw std::runtime_error("AES-256 initialisation failed: " +
                                     StatusText("BCryptOpenAlgorithmProvider", s));
    }
    ~TAlgorithm() { BCryptCloseAlgorithmProvider(FHandle, 0); }
    TAlgorithm(const TAlgorithm&) = delete;
    TAlgorithm& operator=(const TAlgorithm&) = delete;
    BCRYPT_ALG_HANDLE Get() const { return FHandle; }

private:
    BCRYPT_ALG_HANDLE FHandle = nullptr;
};

class TKey {
public:
    TKey(BCRYPT_ALG_HANDLE algorithm, const TPasswordKey& key) {
        std::vector<UCHAR> secret(key.begin(), key.end());
        if (const NTSTATUS s =
                BCryptGenerateSymmetricKey(algorithm, &FHandle, nullptr, 0, secret.data(),
                                           static_cast<ULONG>(secret.size()), 0);
            !BCRYPT_SUCCESS(s))
            throw std::runtime_error("AES-256 initialisation failed: " +
                                     StatusText("BCryptGenerateSymmetricKey", s));
    }
    ~TKey() { BCryptDestroyKey(FHandle); }
    TKey(const TKey&) = delete;
    TKey& operator=(const TKey&) = delete;
    BCRYPT_KEY_HANDLE Get() const { return FHandle; }

private:
    BCRYPT_KEY_HANDLE FHandle = nullptr;
};

} // namespace

std::vector<uint8_t> Aes256Ecb(const TPasswordKey& key, bool encrypt,
                               const std::vector<uint8_t>& blocks) {
    TAlgorithm algorithm;
    // The chaining mode belongs to the algorithm object; keys made from it take it over.
    const auto* mode = reinterpret_cast<const UCHAR*>(BCRYPT_CHAIN_MODE_ECB);
    if (const NTSTATUS s =
            BCryptSetProperty(algorithm.Get(), BCRYPT_CHAINING_MODE, const_cast<UCHAR*>(mode),
                              sizeof BCRYPT_CHAIN_MODE_ECB, 0);
        !BCRYPT_SUCCESS(s))
        throw std::runtime_error("AES-256 initialisation failed: " +
                                 StatusText("BCryptSetProperty", s));
    TKey cipher(algorithm.Get(), key);
    if (blocks.size() > ULONG_MAX)
        throw std::runtime_error("AES-256 block operation failed: too much text");
    std::vector<uint8_t> in(blocks);
    std::vector<uint8_t> out(blocks.size());
    const auto size = static_cast<ULONG>(blocks.size());
    ULONG done = 0;
    const NTSTATUS s = encrypt ? BCryptEncrypt(cipher.Get(), in.data(), size, nullptr, nullptr, 0,
                                               out.data(), size, &done, 0)
                               : BCryptDecrypt(cipher.Get(), in.data(), size, nullptr, nullptr, 0,
                                               out.data(), size, &done, 0);
    if (!BCRYPT_SUCCESS(s) || done != size)
        throw std::runtime_error("AES-256 block operation failed: " +
                                 StatusText(encrypt ? "BCryptEncrypt" : "BCryptDecrypt", s));
    return out;
}

} // namespace corvane
