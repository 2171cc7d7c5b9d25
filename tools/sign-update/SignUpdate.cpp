// The maker's signing tool for update releases.
//   sign-update KEY.pem corvane.ini   writes corvane.ini.sig: base64 of the
//                                     DER ECDSA signature over the SHA-256 of
//                                     the manifest's exact bytes
//   sign-update --digest FILE         prints the SHA256 value of a file section
// KEY.pem is the private ECDSA P-256 key whose public half the program is
// built with (CORVANE_UPDATE_KEY).

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

struct FileClose {
    void operator()(FILE* f) const { std::fclose(f); }
};
struct PkeyFree {
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct MdCtxFree {
    void operator()(EVP_MD_CTX* p) const { EVP_MD_CTX_free(p); }
};

int Fail(const std::string& what) {
    std::string detail;
    if (const unsigned long code = ERR_get_error()) {
        char text[256];
        ERR_error_string_n(code, text, sizeof text);
        detail = std::string(" (") + text + ")";
    }
    std::cerr << "sign-update: " << what << detail << "\n";
    return 1;
}

std::optional<std::string> ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad())
        return std::nullopt;
    return bytes;
}

int Digest(const std::string& path) {
    const std::optional<std::string> bytes = ReadAll(path);
    if (!bytes)
        return Fail("cannot read " + path + ": " + std::strerror(errno));
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (EVP_Digest(bytes->data(), bytes->size(), digest, &len, EVP_sha256(), nullptr) != 1)
        return Fail("SHA-256 of " + path + " failed");
    for (unsigned int i = 0; i < len; ++i)
        std::printf("%02x", digest[i]);
    std::printf("\n");
    return 0;
}

int Sign(const std::string& keyPath, const std::string& manifestPath) {
    std::unique_ptr<FILE, FileClose> keyFile(std::fopen(keyPath.c_str(), "rb"));
    if (!keyFile)
        return Fail("cannot open " + keyPath + ": " + std::strerror(errno));
    std::unique_ptr<EVP_PKEY, PkeyFree> key(
        PEM_read_PrivateKey(keyFile.get(), nullptr, nullptr, nullptr));
    if (!key)
        return Fail(keyPath + " holds no private key");
    char group[64] = {};
    size_t groupLen = 0;
    if (!EVP_PKEY_is_a(key.get(), "EC") ||
        EVP_PKEY_get_group_name(key.get(), group, sizeof group, &groupLen) != 1 ||
        std::strcmp(group, "prime256v1") != 0)
        return Fail(keyPath + " is not an ECDSA P-256 key");

    const std::optional<std::string> manifest = ReadAll(manifestPath);
    if (!manifest)
        return Fail("cannot read " + manifestPath + ": " + std::strerror(errno));
    std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
    const auto* data = reinterpret_cast<const unsigned char*>(manifest->data());
    size_t len = 0;
    if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, EVP_sha256(), nullptr, key.get()) != 1 ||
        EVP_DigestSign(ctx.get(), nullptr, &len, data, manifest->size()) != 1)
        return Fail("EVP_DigestSign failed");
    std::vector<unsigned char> der(len);
    if (EVP_DigestSign(ctx.get(), der.data(), &len, data, manifest->size()) != 1)
        return Fail("EVP_DigestSign failed");
    std::string text(4 * ((len + 2) / 3) + 1, '\0');
    text.resize(static_cast<size_t>(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()),
                                                    der.data(), static_cast<int>(len))));

    const std::string sigPath = manifestPath + ".sig";
    std::ofstream out(sigPath, std::ios::binary | std::ios::trunc);
    out << text << "\n";
    out.close();
    if (!out)
        return Fail("cannot write " + sigPath);
    std::cout << sigPath << "\n";
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--digest")
        return Digest(argv[2]);
    if (argc == 3 && argv[1][0] != '-')
        return Sign(argv[1], argv[2]);
    std::cerr << "usage: sign-update KEY.pem MANIFEST   (writes MANIFEST.sig)\n"
                 "       sign-update --digest FILE      (prints the SHA256 of FILE)\n";
    return 2;
}
