#include "Password.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace corvane {
namespace {

template <typename Case> std::string CaseName(const testing::TestParamInfo<Case>& info) {
    return info.param.name;
}

std::string FromHex(const std::string& hex) {
    std::string bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return bytes;
}

std::string Letters(const std::string& bytes) {
    return LettersFromBytes(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

// --- Known answers ------------------------------------------------------------

struct VectorCase {
    std::string name;
    std::string key;       // hex; the passphrase bytes
    std::string plain;     // hex
    std::string cipher;    // hex
    std::string decrypted; // hex; a decrypted block ends at its first zero byte
};

class PasswordVectorTest : public testing::TestWithParam<VectorCase> {};

TEST_P(PasswordVectorTest, Encrypt) {
    const auto& c = GetParam();
    EXPECT_EQ(EncryptPassword(FromHex(c.plain), FromHex(c.key)), Letters(FromHex(c.cipher)));
}

TEST_P(PasswordVectorTest, Decrypt) {
    const auto& c = GetParam();
    EXPECT_EQ(DecryptPassword(Letters(FromHex(c.cipher)), FromHex(c.key)), FromHex(c.decrypted));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PasswordVectorTest,
    testing::ValuesIn(std::vector<VectorCase>{
        // FIPS-197 appendix C.3 (AES-256).
        {"Fips197C3", "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f",
         "00112233445566778899aabbccddeeff", "8ea2b7ca516745bfeafc49904b496089", ""},
        // NIST SP 800-38A F.1.5 (ECB-AES256): four blocks, each on its own.
        {"Sp80038aF15", "603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4",
         "6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
         "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710",
         "f3eed1bdb5d2a03c064b5a7e3db181f8591ccb10d410ed26dc5ba74a31362870"
         "b6ed21b99ca6f4f9f153e7b1beafed1d23304b7a39f9f3ff067d8d8f9e24ecc7",
         "6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
         "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710"},
        // The program's passphrase, zero-filled to 32 bytes, and a password
        // zero-filled to one block (computed with the openssl command).
        {"BuiltInPassphrase", "4876346b507a38735771326e45", "736563726574",
         "fa49fa259d62f64327b63f2f204b9e6d", "736563726574"},
    }),
    CaseName<VectorCase>);

// --- Letters ------------------------------------------------------------------

TEST(PasswordLettersTest, FromBytes) {
    EXPECT_EQ(Letters("abc"), "GBGCGD");
    EXPECT_EQ(Letters(std::string(1, '\0')), "AA");
    EXPECT_EQ(Letters("\xFF"), "PP");
    EXPECT_EQ(Letters(""), "");
}

TEST(PasswordLettersTest, ToBytes) {
    EXPECT_EQ(BytesFromLetters("GBGCGD"), (std::vector<uint8_t>{0x61, 0x62, 0x63}));
    EXPECT_EQ(BytesFromLetters("GBG"), (std::vector<uint8_t>{0x61})); // unpaired letter ignored
    EXPECT_EQ(BytesFromLetters("ZZ"), (std::vector<uint8_t>{0xA9}));  // (25*16+25) mod 256
    EXPECT_EQ(BytesFromLetters("aa"), (std::vector<uint8_t>{0x20}));  // (32*16+32) mod 256
    EXPECT_EQ(BytesFromLetters("0A"), (std::vector<uint8_t>{0xF0}));  // (-17*16+0) mod 256
    EXPECT_TRUE(BytesFromLetters("").empty());
}

// --- Round trips ----------------------------------------------------------------

struct RoundTripCase {
    std::string name;
    std::string plain;
};

class PasswordRoundTripTest : public testing::TestWithParam<RoundTripCase> {};

TEST_P(PasswordRoundTripTest, Survives) {
    const std::string& plain = GetParam().plain;
    const std::string letters = EncryptPassword(plain, PasswordPassphrase);
    EXPECT_EQ(letters.size(), 32 * ((plain.size() + 15) / 16));
    EXPECT_EQ(letters.find_first_not_of("ABCDEFGHIJKLMNOP"), std::string::npos);
    EXPECT_EQ(DecryptPassword(letters, PasswordPassphrase), plain);
}

INSTANTIATE_TEST_SUITE_P(Cases, PasswordRoundTripTest,
                         testing::ValuesIn(std::vector<RoundTripCase>{
                             {"Empty", ""},
                             {"OneByte", "x"},
                             {"Blanks", " pass word "},
                             {"Ampersand", "a&b=c%20+d"},
                             {"BytesAbove127", "p\xC3\xA4ss\xE2\x82\xAC\xFF\x80"},
                             {"Sixteen", "0123456789abcdef"},
                             {"Seventeen", "0123456789abcdefg"},
                             {"ThirtyTwo", "0123456789abcdef0123456789ABCDEF"},
                             {"ThirtyThree", "0123456789abcdef0123456789ABCDEF!"},
                         }),
                         CaseName<RoundTripCase>);

TEST(PasswordTest, DecryptUsesOnlyWholeLetterPairs) {
    const std::string letters = EncryptPassword("secret", PasswordPassphrase);
    EXPECT_EQ(DecryptPassword(letters + "X", PasswordPassphrase), "secret");
}

TEST(PasswordTest, OtherPassphraseGivesOtherText) {
    const std::string letters = EncryptPassword("secret", PasswordPassphrase);
    EXPECT_NE(DecryptPassword(letters, "another passphrase"), "secret");
}

TEST(PasswordTest, MalformedTextGivesAtMostOneBlockPerBlock) {
    // Short, odd and foreign-letter texts decrypt to something, never more
    // than 16 bytes per started block.
    EXPECT_LE(DecryptPassword("AB", PasswordPassphrase).size(), 16u);
    EXPECT_LE(DecryptPassword(std::string(33, 'z'), PasswordPassphrase).size(), 16u);
    EXPECT_LE(DecryptPassword(std::string(40, 'Q'), PasswordPassphrase).size(), 32u);
}

} // namespace
} // namespace corvane
