#include "G711.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/wait.h>
#endif

using namespace corvane;

namespace {

enum class Law { A, U };

struct KnownValue {
    Law law;
    uint8_t code;
    int16_t value;
};

class G711KnownValue : public testing::TestWithParam<KnownValue> {};

TEST_P(G711KnownValue, ExpandsToTheScaledTableValue) {
    const KnownValue& k = GetParam();
    int16_t out = 0;
    if (k.law == Law::A) {
        EXPECT_EQ(ALawToLinear(k.code), k.value);
        ExpandALaw(&k.code, &out, 1);
    } else {
        EXPECT_EQ(ULawToLinear(k.code), k.value);
        ExpandULaw(&k.code, &out, 1);
    }
    EXPECT_EQ(out, k.value);
}

INSTANTIATE_TEST_SUITE_P(Codes, G711KnownValue,
                         testing::Values(KnownValue{Law::A, 0xD5, 8}, KnownValue{Law::A, 0x55, -8},
                                         KnownValue{Law::A, 0xAA, 32256},
                                         KnownValue{Law::A, 0x2A, -32256},
                                         KnownValue{Law::U, 0xFF, 0}, KnownValue{Law::U, 0x7F, 0},
                                         KnownValue{Law::U, 0x80, 32124},
                                         KnownValue{Law::U, 0x00, -32124}));

// The independent decoders (Python's audioop, sox) run on the build machine;
// a Windows build checks the known values and the block expansion only.
#ifndef _WIN32
// Runs the reference decoder script; empty when the decoder is not available.
std::vector<int> RunReference(const std::string& law, const std::string& tool, int& status) {
    const std::string command = std::string("'") + PYTHON3_EXECUTABLE + "' '" +
                                G711_REFERENCE_SCRIPT + "' " + law + " " + tool + " '" +
                                SOX_EXECUTABLE + "'";
    std::vector<int> values;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) {
        status = -1;
        return values;
    }
    int v = 0;
    while (std::fscanf(pipe, "%d", &v) == 1)
        values.push_back(v);
    const int raw = pclose(pipe);
    status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return values;
}

struct Reference {
    const char* law;
    const char* tool;
};

class G711Reference : public testing::TestWithParam<Reference> {};

TEST_P(G711Reference, EveryCodeMatchesAnIndependentDecoder) {
    const Reference& r = GetParam();
    int status = 0;
    const std::vector<int> expected = RunReference(r.law, r.tool, status);
    if (status == 77)
        GTEST_SKIP() << r.tool << " is not available";
    ASSERT_EQ(status, 0) << "reference script failed";
    ASSERT_EQ(expected.size(), 256u);

    std::vector<uint8_t> codes(256);
    for (int i = 0; i < 256; ++i)
        codes[static_cast<size_t>(i)] = static_cast<uint8_t>(i);
    std::vector<int16_t> out(256);
    const bool alaw = std::string(r.law) == "alaw";
    if (alaw)
        ExpandALaw(codes.data(), out.data(), codes.size());
    else
        ExpandULaw(codes.data(), out.data(), codes.size());
    const auto& table = alaw ? ALawTable : ULawTable;
    for (size_t i = 0; i < 256; ++i) {
        EXPECT_EQ(out[i], expected[i]) << r.law << " code 0x" << std::hex << i;
        EXPECT_EQ(table[i], expected[i]) << r.law << " table entry 0x" << std::hex << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Decoders, G711Reference,
                         testing::Values(Reference{"alaw", "audioop"}, Reference{"ulaw", "audioop"},
                                         Reference{"alaw", "sox"}, Reference{"ulaw", "sox"}),
                         [](const testing::TestParamInfo<Reference>& info) {
                             return std::string(info.param.law) + "_" + info.param.tool;
                         });
#endif

// Block lengths around any unrolling width, from unaligned addresses; the
// samples just past the block stay untouched.
TEST(G711Block, AnyLengthAndAlignmentExpandsEveryByteAndNothingMore) {
    std::mt19937 random(711);
    std::vector<uint8_t> input(200);
    for (auto& b : input)
        b = static_cast<uint8_t>(random());
    for (size_t offset = 0; offset < 3; ++offset) {
        for (size_t n = 0; n <= 70; ++n) {
            std::vector<int16_t> a(n + 2, 0x1234), u(n + 2, 0x1234);
            ExpandALaw(input.data() + offset, a.data() + 1, n);
            ExpandULaw(input.data() + offset, u.data() + 1, n);
            for (size_t i = 0; i < n; ++i) {
                ASSERT_EQ(a[i + 1], ALawTable[input[offset + i]]) << n << "/" << i;
                ASSERT_EQ(u[i + 1], ULawTable[input[offset + i]]) << n << "/" << i;
            }
            EXPECT_EQ(a[0], 0x1234);
            EXPECT_EQ(a[n + 1], 0x1234);
            EXPECT_EQ(u[0], 0x1234);
            EXPECT_EQ(u[n + 1], 0x1234);
        }
    }
}

} // namespace
