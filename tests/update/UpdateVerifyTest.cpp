// The update signature and file digest checks against fixed data made with
// the openssl command line, so the OpenSSL side and the Windows (CNG) side are
// held to the same answers:
//   openssl ecparam -name prime256v1 -genkey -noout -out key.pem
//   openssl dgst -sha256 -sign key.pem manifest | base64 -w0

#include "UpdateVerify.h"
#include "TestSupport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

namespace corvane::test {
namespace {

using ::testing::HasSubstr;

constexpr const char* kKey = "-----BEGIN PUBLIC KEY-----\n"
                             "MFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAEksSc42QO+sTt1YOiJ3FjfXtR8GEb\n"
                             "25kiHoUAUTLa97WANsE/39FUkLy7QbsavRPSSCnsjoK00Yg8u99MJ7ZVFQ==\n"
                             "-----END PUBLIC KEY-----\n";
constexpr const char* kOtherKey =
    "-----BEGIN PUBLIC KEY-----\n"
    "MFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAE5A3tQ4o0nj4IHt9JTyqB+1dsFxhE\n"
    "kUWtX9e/EIHByZbcMHZawD0tjskduoBdXNrB19fCUKt3gUGCydUjcTrY4w==\n"
    "-----END PUBLIC KEY-----\n";
constexpr const char* kP384Key =
    "-----BEGIN PUBLIC KEY-----\n"
    "MHYwEAYHKoZIzj0CAQYFK4EEACIDYgAEtoc8AgT0Ktg7egl0AKpAfdJpdivtWQGT\n"
    "6/4kcT4trvfJ3j45KXefr6Sf7EZJwxp79TtiIRtYcMpjyteu76J6ZigS6BNpk6fq\n"
    "GWy02ajvFxFmyaBwcfC4k2pH8aIEzmD1\n"
    "-----END PUBLIC KEY-----\n";
constexpr const char* kRsaKey = "-----BEGIN PUBLIC KEY-----\n"
                                "MIGfMA0GCSqGSIb3DQEBAQUAA4GNADCBiQKBgQCdxAS61lzPDTDUCqVtLLpsiNP+\n"
                                "kHWxFQlgqz1vX6J8JnGcu7pQp8tGa124S/WM3ReNTjtlAMJcGTce6ph7xxT/HZmE\n"
                                "87qbwdpAUD6oYPMhovcVvFiykidcwbgkpMNtZ68S649Cnm9OQB+s7nAd1dbQJGzD\n"
                                "8TJYbSye62FyNUIu/QIDAQAB\n"
                                "-----END PUBLIC KEY-----\n";

constexpr const char* kManifest = "[Version]\r\nVersion=2.1.0\r\n";
// kManifest signed with kKey's private half, and with kOtherKey's.
constexpr const char* kSignature =
    "MEYCIQDBKKKCQz5fYp3m4313ojudEapfJ1aIJ8rBtUGA0zIiYgIhAMGXhhI5yQWF"
    "JnO4pvCCC98WTk9fp40QMeG62YoPWPzm";
constexpr const char* kOtherSignature = "MEQCIC04OhB0B5zGbaiAFyzJEkKqWW6EYbr2uLXT4MhSJsHeAiBp7aahIt"
                                        "k/3+sZNwwJ6aTEO6p43FxYyiSS0oMl4PZ7JA==";

struct SignatureCase {
    const char* Name;
    std::string Data;
    std::string Signature;
    const char* Key;
    bool Valid;
    const char* Why; // part of the reason given when not valid
};

class UpdateSignatureTest : public ::testing::TestWithParam<SignatureCase> {};

TEST_P(UpdateSignatureTest, IsCheckedAsOpensslMadeIt) {
    const SignatureCase& c = GetParam();
    std::string why;
    EXPECT_EQ(VerifyUpdateSignature(c.Data, c.Signature, c.Key, why), c.Valid) << why;
    if (c.Valid)
        EXPECT_EQ(why, "");
    else
        EXPECT_THAT(why, HasSubstr(c.Why));
}

const std::string kSigned = kManifest;
const std::string kSig = kSignature;

INSTANTIATE_TEST_SUITE_P(
    Table, UpdateSignatureTest,
    ::testing::Values(
        SignatureCase{"Signed", kSigned, kSig, kKey, true, ""},
        SignatureCase{"SignatureAcrossLines", kSigned,
                      kSig.substr(0, 64) + "\r\n" + kSig.substr(64) + "\n", kKey, true, ""},
        SignatureCase{"ManifestChangedByOneByte", "[Version]\r\nVersion=2.1.1\r\n", kSig, kKey,
                      false, "does not match"},
        SignatureCase{"LineEndingsChanged", "[Version]\nVersion=2.1.0\n", kSig, kKey, false,
                      "does not match"},
        SignatureCase{"SignedWithAnotherKey", kSigned, kOtherSignature, kKey, false,
                      "does not match"},
        SignatureCase{"CheckedWithAnotherKey", kSigned, kSig, kOtherKey, false, "does not match"},
        SignatureCase{"SignatureNotBase64", kSigned, "not*base64!", kKey, false, "not base64"},
        SignatureCase{"SignatureCutShort", kSigned, kSig.substr(0, 40), kKey, false, "signature"},
        SignatureCase{"KeyNotPem", kSigned, kSig, "not a key", false, "cannot be read"},
        SignatureCase{"KeyP384", kSigned, kSig, kP384Key, false, "not an ECDSA P-256 key"},
        SignatureCase{"KeyRsa", kSigned, kSig, kRsaKey, false, "not an ECDSA P-256 key"}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST(UpdateFileDigest, IsTheSha256OfTheFilesBytes) {
    TempDir dir;
    const std::string path = dir.File("corvane");
    WriteFile(path, "abc");
    std::string why;
    EXPECT_EQ(FileSha256Hex(path, why),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(why, "");

    EXPECT_EQ(FileSha256Hex(dir.File("missing"), why), "");
    EXPECT_THAT(why, HasSubstr("cannot open"));
    EXPECT_THAT(why, HasSubstr("missing"));
}

} // namespace
} // namespace corvane::test
