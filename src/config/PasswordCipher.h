#pragma once

// The block cipher of the password protection (Password.h): AES-256 over
// whole 16-byte blocks, each enciphered on its own (ECB), no padding. Over
// OpenSSL (PasswordCipher.cpp) or, on Windows, the system's CNG
// (PasswordCipherWindows.cpp). Any thread.

#include <array>
#include <cstdint>
#include <vector>

namespace corvane {

using TPasswordKey = std::array<uint8_t, 32>;

// `blocks` (a multiple of 16 bytes long) enciphered or deciphered. The
// cipher fails only when it cannot be set up, which is no problem of the
// stored text: that throws std::runtime_error.
std::vector<uint8_t> Aes256Ecb(const TPasswordKey& key, bool encrypt,
                               const std::vector<uint8_t>& blocks);

} // namespace corvane
