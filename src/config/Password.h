#pragma once

// Protection of the recorder password in the settings file: AES-256 with a
// key made of a built-in passphrase, each 16-byte block enciphered on its own
// (ECB, zero-filled last block, no padding block), and every cipher byte
// written as two capital letters "A".."P", high four bits first.
//
// This only keeps the password from being read at a glance: the key is in the
// program. The format is fixed by the settings files already in use.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace corvane {

// The program's passphrase; its bytes, zero-filled to 32, are the AES key.
inline constexpr std::string_view PasswordPassphrase = "Hv4kPz8sWq2nE";

// Letter text of 32 * ceil(n / 16) characters; empty for an empty password.
std::string EncryptPassword(std::string_view plain, std::string_view passphrase);

// Inverse of EncryptPassword. Never fails: a last unpaired letter is ignored,
// a short last block is zero-filled, and each decrypted block ends at its
// first zero byte, so any text yields some password.
std::string DecryptPassword(std::string_view letters, std::string_view passphrase);

// Two letters per byte: 65 + high four bits, 65 + low four bits.
std::string LettersFromBytes(const uint8_t* bytes, size_t count);

// floor(length / 2) bytes, byte i = (c1 - 65) * 16 + (c2 - 65) modulo 256
// (letters outside "A".."P" are not rejected).
std::vector<uint8_t> BytesFromLetters(std::string_view letters);

} // namespace corvane
