#include "Password.h"

#include "PasswordCipher.h"

#include <algorithm>
#include <cstring>

namespace corvane {

namespace {

constexpr size_t BlockSize = 16;

TPasswordKey KeyFrom(std::string_view passphrase) {
    TPasswordKey key{};
    std::memcpy(key.data(), passphrase.data(), std::min(passphrase.size(), key.size()));
    return key;
}

// `bytes` zero-filled to whole blocks.
std::vector<uint8_t> Blocks(const uint8_t* bytes, size_t size) {
    std::vector<uint8_t> blocks((size + BlockSize - 1) / BlockSize * BlockSize, 0);
    std::memcpy(blocks.data(), bytes, size);
    return blocks;
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
    const std::vector<uint8_t> cipher =
        Aes256Ecb(KeyFrom(passphrase), true,
                  Blocks(reinterpret_cast<const uint8_t*>(plain.data()), plain.size()));
    return LettersFromBytes(cipher.data(), cipher.size());
}

std::string DecryptPassword(std::string_view letters, std::string_view passphrase) {
    const std::vector<uint8_t> bytes = BytesFromLetters(letters);
    if (bytes.empty())
        return {};
    const std::vector<uint8_t> out =
        Aes256Ecb(KeyFrom(passphrase), false, Blocks(bytes.data(), bytes.size()));
    std::string plain;
    plain.reserve(out.size());
    for (auto block = out.begin(); block != out.end(); block += BlockSize) {
        // The encrypting side zero-fills the last block; a block's text ends
        // at its first zero byte.
        const auto end = std::find(block, block + BlockSize, uint8_t{0});
        plain.append(reinterpret_cast<const char*>(&*block), static_cast<size_t>(end - block));
    }
    return plain;
}

} // namespace corvane
