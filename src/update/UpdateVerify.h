#pragma once

// Checks that an update is the maker's: the ECDSA P-256 signature of the
// manifest and the SHA-256 digests of the files it names. Plain functions
// over OpenSSL (the system's CNG on Windows); any thread.

#include <string>
#include <string_view>

namespace corvane {

// The PEM text of the public key compiled in (CMake cache variable
// CORVANE_UPDATE_KEY); empty when the build has none.
const char* CompiledUpdateKey();

// True when `signatureBase64` (base64 of a DER-encoded ECDSA signature, line
// breaks allowed) signs the SHA-256 of exactly `data` with the P-256 key in
// `publicKeyPem`; otherwise false with `why` naming what failed.
bool VerifyUpdateSignature(std::string_view data, std::string_view signatureBase64,
                           std::string_view publicKeyPem, std::string& why);

// 64 lower-case hex digits of the SHA-256 of the file at `path`; empty with
// `why` set when it cannot be read.
std::string FileSha256Hex(const std::string& path, std::string& why);

// True for exactly 64 hex digits (either case).
bool IsSha256Hex(std::string_view text);

} // namespace corvane
