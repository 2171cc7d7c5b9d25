// The Windows side of UpdateVerify.h, over CNG (bcrypt). The key and the
// signature come in OpenSSL's forms (a PEM SubjectPublicKeyInfo, a DER
// signature); CNG takes the bare point and r || s.

#include "UpdateVerify.h"

#include "PlatformWindows.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <vector>

#include <windows.h>

#include <bcrypt.h>

namespace corvane {

namespace {

using TBytes = std::vector<unsigned char>;

constexpr size_t kCoordinateSize = 32;
// STATUS_INVALID_SIGNATURE; ntstatus.h does not go with windows.h.
constexpr NTSTATUS kInvalidSignature = static_cast<NTSTATUS>(0xC000A000L);

std::string StatusText(const char* call, NTSTATUS status) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08lX", static_cast<unsigned long>(status));
    return std::string(call) + " failed with status " + hex;
}

class TAlgorithm {
public:
    explicit TAlgorithm(const wchar_t* name)
        : FStatus(BCryptOpenAlgorithmProvider(&FHandle, name, nullptr, 0)) {}
    ~TAlgorithm() {
        if (BCRYPT_SUCCESS(FStatus))
            BCryptCloseAlgorithmProvider(FHandle, 0);
    }
    TAlgorithm(const TAlgorithm&) = delete;
    TAlgorithm& operator=(const TAlgorithm&) = delete;
    NTSTATUS Status() const { return FStatus; }
    BCRYPT_ALG_HANDLE Get() const { return FHandle; }

private:
    BCRYPT_ALG_HANDLE FHandle = nullptr;
    NTSTATUS FStatus;
};

class THash {
public:
    THash() : FAlgorithm(BCRYPT_SHA256_ALGORITHM) {
        FStatus = FAlgorithm.Status();
        if (BCRYPT_SUCCESS(FStatus))
            FStatus = BCryptCreateHash(FAlgorithm.Get(), &FHandle, nullptr, 0, nullptr, 0, 0);
        FCall = BCRYPT_SUCCESS(FAlgorithm.Status()) ? "BCryptCreateHash"
                                                    : "BCryptOpenAlgorithmProvider";
    }
    ~THash() {
        if (FHandle)
            BCryptDestroyHash(FHandle);
    }
    THash(const THash&) = delete;
    THash& operator=(const THash&) = delete;

    bool Add(const void* data, size_t size) {
        auto* bytes = static_cast<PUCHAR>(const_cast<void*>(data));
        while (BCRYPT_SUCCESS(FStatus) && size > 0) {
            const ULONG chunk = static_cast<ULONG>(std::min<size_t>(size, 1u << 30));
            FStatus = BCryptHashData(FHandle, bytes, chunk, 0);
            FCall = "BCryptHashData";
            bytes += chunk;
            size -= chunk;
        }
        return BCRYPT_SUCCESS(FStatus);
    }
    // The digest; empty with Error() set when a step failed.
    TBytes Finish() {
        TBytes digest(32);
        if (BCRYPT_SUCCESS(FStatus)) {
            FStatus =
                BCryptFinishHash(FHandle, digest.data(), static_cast<ULONG>(digest.size()), 0);
            FCall = "BCryptFinishHash";
        }
        return BCRYPT_SUCCESS(FStatus) ? digest : TBytes();
    }
    std::string Error() const { return StatusText(FCall, FStatus); }

private:
    TAlgorithm FAlgorithm;
    BCRYPT_HASH_HANDLE FHandle = nullptr;
    NTSTATUS FStatus;
    const char* FCall;
};

int Base64Value(char c) {
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

// Whitespace is dropped (openssl base64 breaks lines at 64 characters);
// anything else outside the alphabet fails, as does '=' anywhere but in the
// last two places.
bool DecodeBase64(std::string_view text, TBytes& out) {
    std::string clean;
    for (const char c : text)
        if (!std::isspace(static_cast<unsigned char>(c)))
            clean += c;
    if (clean.empty() || clean.size() % 4 != 0 || clean.size() > 4096)
        return false;
    size_t padding = 0;
    while (padding < 2 && clean[clean.size() - 1 - padding] == '=')
        ++padding;
    out.clear();
    unsigned bits = 0;
    int count = 0;
    for (size_t i = 0; i < clean.size() - padding; ++i) {
        const int value = Base64Value(clean[i]);
        if (value < 0)
            return false;
        bits = (bits << 6) | static_cast<unsigned>(value);
        count += 6;
        if (count >= 8) {
            count -= 8;
            out.push_back(static_cast<unsigned char>(bits >> count));
        }
    }
    return true;
}

// The point of a P-256 SubjectPublicKeyInfo as OpenSSL writes it: the
// id-ecPublicKey and prime256v1 identifiers, then the uncompressed point.
bool PointFromPem(std::string_view pem, TBytes& point) {
    constexpr std::string_view begin = "-----BEGIN PUBLIC KEY-----";
    constexpr std::string_view end = "-----END PUBLIC KEY-----";
    const size_t from = pem.find(begin);
    const size_t to = from == std::string_view::npos ? from : pem.find(end, from);
    TBytes der;
    if (to == std::string_view::npos ||
        !DecodeBase64(pem.substr(from + begin.size(), to - from - begin.size()), der))
        return false;
    static constexpr std::array<unsigned char, 27> kPrefix{
        0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x02, 0x01, 0x06,
        0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07, 0x03, 0x42, 0x00, 0x04};
    if (der.size() != kPrefix.size() + 2 * kCoordinateSize ||
        !std::equal(kPrefix.begin(), kPrefix.end(), der.begin()))
        return false;
    point.assign(der.begin() + kPrefix.size(), der.end());
    return true;
}

// One DER INTEGER of a signature, as a 32-byte big-endian number; DER's
// rules hold (no needless leading zero, not negative), as OpenSSL demands.
bool ReadInteger(const TBytes& der, size_t& pos, TBytes& out) {
    if (pos + 2 > der.size() || der[pos] != 0x02)
        return false;
    size_t len = der[pos + 1];
    pos += 2;
    if (len == 0 || len > kCoordinateSize + 1 || pos + len > der.size())
        return false;
    const unsigned char* value = der.data() + pos;
    pos += len;
    if (value[0] & 0x80)
        return false;
    if (value[0] == 0) {
        if (len > 1 && (value[1] & 0x80) == 0)
            return false;
        ++value;
        --len;
    }
    if (len > kCoordinateSize)
        return false;
    out.insert(out.end(), kCoordinateSize - len, 0);
    out.insert(out.end(), value, value + len);
    return true;
}

// SEQUENCE { r INTEGER, s INTEGER } to the r || s that CNG verifies.
bool RawFromDer(const TBytes& der, TBytes& raw) {
    if (der.size() < 2 || der[0] != 0x30 || der[1] >= 0x80 || der[1] + 2u != der.size())
        return false;
    size_t pos = 2;
    raw.clear();
    return ReadInteger(der, pos, raw) && ReadInteger(der, pos, raw) && pos == der.size();
}

std::string HexOf(const TBytes& bytes) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string hex;
    for (const unsigned char b : bytes) {
        hex += kHex[b >> 4];
        hex += kHex[b & 15];
    }
    return hex;
}

} // namespace

bool VerifyUpdateSignature(std::string_view data, std::string_view signatureBase64,
                           std::string_view publicKeyPem, std::string& why) {
    TBytes point;
    if (!PointFromPem(publicKeyPem, point)) {
        why = publicKeyPem.find("-----BEGIN PUBLIC KEY-----") == std::string_view::npos
                  ? "the public key cannot be read: no PEM public key"
                  : "the public key is not an ECDSA P-256 key (uncompressed point)";
        return false;
    }
    TBytes der;
    if (!DecodeBase64(signatureBase64, der)) {
        why = "the signature is not base64 text";
        return false;
    }
    TBytes raw;
    if (!RawFromDer(der, raw)) {
        why = "the signature is malformed: no DER ECDSA signature of P-256";
        return false;
    }
    THash hash;
    hash.Add(data.data(), data.size());
    TBytes digest = hash.Finish();
    if (digest.empty()) {
        why = "SHA-256 of the manifest failed: " + hash.Error();
        return false;
    }

    TAlgorithm ecdsa(BCRYPT_ECDSA_P256_ALGORITHM);
    if (!BCRYPT_SUCCESS(ecdsa.Status())) {
        why = "the public key cannot be read: " +
              StatusText("BCryptOpenAlgorithmProvider", ecdsa.Status());
        return false;
    }
    BCRYPT_ECCKEY_BLOB header{BCRYPT_ECDSA_PUBLIC_P256_MAGIC, kCoordinateSize};
    TBytes blob(reinterpret_cast<const unsigned char*>(&header),
                reinterpret_cast<const unsigned char*>(&header) + sizeof header);
    blob.insert(blob.end(), point.begin(), point.end());
    BCRYPT_KEY_HANDLE key = nullptr;
    if (const NTSTATUS s = BCryptImportKeyPair(ecdsa.Get(), nullptr, BCRYPT_ECCPUBLIC_BLOB, &key,
                                               blob.data(), static_cast<ULONG>(blob.size()), 0);
        !BCRYPT_SUCCESS(s)) {
        why = "the public key cannot be read: " + StatusText("BCryptImportKeyPair", s);
        return false;
    }
    const NTSTATUS result =
        BCryptVerifySignature(key, nullptr, digest.data(), static_cast<ULONG>(digest.size()),
                              raw.data(), static_cast<ULONG>(raw.size()), 0);
    BCryptDestroyKey(key);
    if (!BCRYPT_SUCCESS(result)) {
        why = result == kInvalidSignature ? "the signature does not match the manifest"
                                          : "the signature cannot be checked: " +
                                                StatusText("BCryptVerifySignature", result);
        return false;
    }
    return true;
}

std::string FileSha256Hex(const std::string& path, std::string& why) {
    const HANDLE file = CreateFileW(WidePath(path).c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        why = "cannot open " + path + ": " + WindowsErrorText(GetLastError());
        return {};
    }
    THash hash;
    std::vector<char> buffer(64 * 1024);
    for (;;) {
        DWORD n = 0;
        if (!ReadFile(file, buffer.data(), static_cast<DWORD>(buffer.size()), &n, nullptr)) {
            why = "cannot read " + path + ": " + WindowsErrorText(GetLastError());
            CloseHandle(file);
            return {};
        }
        if (n == 0 || !hash.Add(buffer.data(), n))
            break;
    }
    CloseHandle(file);
    const TBytes digest = hash.Finish();
    if (digest.empty()) {
        why = "SHA-256 of " + path + " failed: " + hash.Error();
        return {};
    }
    return HexOf(digest);
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
